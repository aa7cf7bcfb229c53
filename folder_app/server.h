// The app's side of the socket: accepts bridges, answers each hello, and answers every call
// line with exactly one reply line.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ipc.h"
#include "tools.h"

namespace kestil::folder {

class Server {
 public:
  explicit Server(std::vector<Space> spaces);

  // Accepts connections on `listener` and serves each on its own thread, so a host that keeps
  // its connection open for hours never makes a second host wait. Returns only when the
  // listening socket fails.
  void serve(const UniqueFd& listener);

  // The reply line (without its LF) to one line received after the hello: the tool's result
  // for a tools/call request, a JSON-RPC error for anything else.
  std::string answer(std::string_view line);

  // Held while a tool runs; whoever holds it knows no note is half-written.
  std::mutex& tools_mutex() { return tools_mutex_; }

 private:
  void serve_connection(UniqueFd connection);

  std::vector<Space> spaces_;
  std::string hello_reply_;
  std::mutex tools_mutex_;
};

}  // namespace kestil::folder
