#include "server_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace kestil::testing {
namespace {

std::vector<std::string> merged_environment(
    const std::map<std::string, std::optional<std::string>>& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (!overrides.contains(text.substr(0, text.find('=')))) result.push_back(text);
  }
  for (const auto& [name, value] : overrides) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ServerProcess::ServerProcess(const std::string& binary, const std::vector<std::string>& args,
                             const std::map<std::string, std::optional<std::string>>& env) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::vector<std::string> argv_texts{binary};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts = merged_environment(env);
  posix_spawn(&pid_, binary.c_str(), &actions, nullptr, pointers_to(argv_texts).data(),
              pointers_to(env_texts).data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  stdin_ = UniqueFd(in[1]);
  stdout_ = UniqueFd(out[0]);
  stderr_ = UniqueFd(err[0]);
  reader_.emplace(stdout_.get(), 65536);
}

ServerProcess::~ServerProcess() {
  close_stdin();
  if (pid_ > 0 && status_ == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool ServerProcess::send(std::string_view bytes) {
  return write_all(stdin_.get(), bytes);
}

std::optional<std::string> ServerProcess::read_line(std::chrono::milliseconds timeout) {
  // The reader may already hold a whole line; otherwise wait for more bytes.
  if (!reader_->has_buffered()) {
    pollfd readable{stdout_.get(), POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  }
  std::string_view line;
  if (reader_->read_line(line) != ReadStatus::line) return std::nullopt;
  return std::string(line);
}

void ServerProcess::close_stdin() {
  stdin_ = UniqueFd();
}

void ServerProcess::close_stdout() {
  reader_.reset();
  stdout_ = UniqueFd();
}

bool ServerProcess::send_signal(int signal_number) {
  return pid_ > 0 && status_ == -1 && kill(pid_, signal_number) == 0;
}

int ServerProcess::wait() {
  if (status_ == -1 && pid_ > 0) waitpid(pid_, &status_, 0);
  return status_;
}

std::string ServerProcess::drain_stderr() {
  std::string text;
  char buffer[4096];
  ssize_t count;
  while ((count = read(stderr_.get(), buffer, sizeof buffer)) > 0) text.append(buffer, count);
  return text;
}

std::string request_line(const std::string& id_json, const std::string& method,
                         const std::string& params_json) {
  std::string line = R"({"jsonrpc":"2.0","id":)" + id_json + R"(,"method":")" + method + "\"";
  if (!params_json.empty()) line += R"(,"params":)" + params_json;
  return line + "}\n";
}

}  // namespace kestil::testing
