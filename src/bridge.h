// The server's one long-lived object: MCP request dispatch and the link to the note app.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ipc.h"
#include "protocol.h"

namespace kestil {

using std::chrono::milliseconds;

// Upper bound of the wait for the app's hello reply.
constexpr milliseconds HELLO_TIMEOUT{10'000};
// How long after starting the app the bridge keeps dialling, and the pause before each dial.
constexpr milliseconds LAUNCH_WAIT{10'000};
constexpr milliseconds LAUNCH_RETRY_INTERVAL{250};
// Each wait for data of a forwarded call.
constexpr milliseconds CALL_TIMEOUT{50'000};

// Starts the app in the background by its bundle identifier.
constexpr std::string_view LAUNCHER = "/usr/bin/open";

constexpr std::string_view NOT_RUNNING_TEXT =
    "unavailable: kestil is not running, or its AI connection is off. Open kestil, turn on "
    "Settings > AI connection, open the space, and try again.";
constexpr std::string_view LOST_TEXT =
    "unavailable: the connection to kestil was lost during the call. Check the note before "
    "retrying.";

// The text for a call that got no data within `call_timeout`, naming it in whole seconds.
std::string timeout_text(milliseconds call_timeout);

// A socket connected to the socket that <config_dir>/mcp/endpoint.json names; invalid when
// the endpoint is missing or invalid or nobody accepts there.
UniqueFd dial(const std::string& config_dir);

// The live connection to the app: lines are read through a buffer on one descriptor and
// written through a duplicate of it. Destroying it closes both, without a goodbye.
struct Conn {
  Conn(UniqueFd socket, UniqueFd duplicate)
      : socket(std::move(socket)),
        writer(std::move(duplicate)),
        reader(this->socket.get(), READ_BUFFER_SIZE) {}

  UniqueFd socket;
  UniqueFd writer;
  LineReader reader;
};

class Bridge {
 public:
  // Resolves the app's configuration directory; opens nothing.
  explicit Bridge(bool allow_launch);
  Bridge(bool allow_launch, std::optional<std::string> config_dir);

  // Answers one input line: nothing for a message without an id, otherwise one answer,
  // for "tools/call" possibly preceded by the tool-list-changed notification. Never fails.
  // An answer may point into the connection's buffer: write it before the next call.
  std::vector<Message> handle_line(std::string_view line);

  // Establishes `conn` (dialling, launching the app once if allowed, greeting it). On
  // success a changed app catalog may append the list-changed notification to `out`.
  // REQUIRES: !conn. Returns false when no connection could be made.
  bool connect(std::vector<Message>& out);

  std::string client_name = "unknown";
  std::string client_version;
  std::optional<std::string> config_dir;
  std::optional<std::string> notified_catalog_hash;
  milliseconds call_timeout = CALL_TIMEOUT;
  std::optional<Conn> conn;
  bool allow_launch;
  bool launch_tried = false;

  // Fixed in the product; tests shorten or redirect them.
  std::string launcher{LAUNCHER};
  milliseconds launch_wait = LAUNCH_WAIT;

 private:
  Message answer(const Json& request, const Json& id, std::string_view method);
  Json initialize(const Json& request, const Json& id);
  UniqueFd launch_and_dial();
  std::optional<HelloReply> greet(Conn& fresh);
  void check_catalog(const std::string& app_catalog_hash, std::vector<Message>& out);
};

// Sends a "tools/call" request to the app, whole, and returns the output messages: an
// optional list-changed notification, then the app's reply or a tool error. A call is
// written at most once. The reply may point into the connection's buffer.
std::vector<Message> forward_tool_call(Bridge& bridge, const Json& request, const Json& id);

}  // namespace kestil
