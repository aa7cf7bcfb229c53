// The app's side of the socket: accepts bridges, answers each hello, and answers every call
// line with exactly one reply line.
//
// Calls on different connections run at once. Reads take no lock: every write replaces a note
// whole by a rename, so a read sees the note before or after a write, never within it, just as
// it sees an editor's save. Writes take one lock, one at a time, so that a write's check and its
// rename (a version, a free name) never interleave with another's. Neither kind waits on the
// other, so a slow call on one connection never holds a read on another, and no stream of reads
// can starve a write. Every call runs under a deadline; a write still waiting for the lock when
// its deadline passes answers the same clear error as a call stopped by it.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "deadline.h"
#include "ipc.h"
#include "tools.h"

namespace kestil::folder {

// Runs one call's tool: call_tool, unless a test puts a slower one in its place.
using ToolRunner = std::function<ToolResult(const std::vector<Space>& spaces, std::string_view name,
                                            const Json& arguments)>;

class Server {
 public:
  // `call_budget` is how long each call may run, counted from when its line arrived.
  explicit Server(std::vector<Space> spaces,
                  std::chrono::milliseconds call_budget = DEFAULT_CALL_BUDGET,
                  ToolRunner run_tool = nullptr);

  // Accepts connections on `listener` and serves each on its own thread, so a host that keeps
  // its connection open for hours never makes a second host wait. Returns only when the
  // listening socket fails.
  void serve(const UniqueFd& listener);

  // The reply line (without its LF) to one line received after the hello: the tool's result
  // for a tools/call request, a JSON-RPC error for anything else. Safe to call from several
  // threads at once.
  std::string answer(std::string_view line);

  // Held while a tool that writes runs; whoever holds it knows no note is half-written.
  std::timed_mutex& writes_mutex() { return writes_mutex_; }

 private:
  void serve_connection(UniqueFd connection);
  ToolResult run_call(const std::string& name, const Json& arguments);

  std::vector<Space> spaces_;
  std::chrono::milliseconds call_budget_;
  ToolRunner run_tool_;
  std::unordered_set<std::string> writing_tools_;
  std::string hello_reply_;
  std::timed_mutex writes_mutex_;
};

}  // namespace kestil::folder
