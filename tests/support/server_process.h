// Runs the real kestil-mcp binary the way an MCP host does: pipes on its three streams.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ipc.h"

namespace kestil::testing {

class ServerProcess {
 public:
  // Starts `binary` with `args`; `env` entries are set (or, with nullopt, removed) on top of
  // this process's environment.
  ServerProcess(const std::string& binary, const std::vector<std::string>& args,
                const std::map<std::string, std::optional<std::string>>& env = {});
  ~ServerProcess();

  // Writes raw bytes to the server's stdin.
  bool send(std::string_view bytes);
  // The next line of stdout without its LF, or none if nothing comes within `timeout`.
  std::optional<std::string> read_line(
      std::chrono::milliseconds timeout = std::chrono::milliseconds(20'000));
  void close_stdin();
  void close_stdout();
  // Sends `signal_number` to the process; false when it could not be sent.
  bool send_signal(int signal_number);
  // Waits for the process to end; the raw wait status.
  int wait();
  // All of stderr, once the process has ended.
  std::string drain_stderr();

 private:
  pid_t pid_ = -1;
  UniqueFd stdin_;
  UniqueFd stdout_;
  UniqueFd stderr_;
  std::optional<LineReader> reader_;
  int status_ = -1;
};

// The compact line the server writes for `request` with `id`, for building inputs.
std::string request_line(const std::string& id_json, const std::string& method,
                         const std::string& params_json = "");

}  // namespace kestil::testing
