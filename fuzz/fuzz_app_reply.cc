// The bytes an app sends back for one tool call, read by the bridge from a real socket.
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "bridge.h"
#include "check.h"

using namespace kestil;

namespace {

const Json REQUEST = {{"jsonrpc", "2.0"},
                      {"id", 7},
                      {"method", "tools/call"},
                      {"params", {{"name", "read_note"}, {"arguments", {{"note", "Inbox"}}}}}};

std::string tool_error_line(std::string_view text) {
  return R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":")" + std::string(text) +
         R"(","type":"text"}],"isError":true}})";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
  const UniqueFd app(ends[1]);
  Bridge bridge(false, std::nullopt);
  bridge.call_timeout = milliseconds(2'000);  // bounds a stalled run only; no input waits
  bridge.conn.emplace(UniqueFd(ends[0]), duplicate_fd(ends[0]));

  // The app reads the call line, answers with the input and closes its sending side.
  std::string received;
  std::thread peer([&] {
    set_send_timeout(app.get(), milliseconds(2'000));
    LineReader reader(app.get(), 512);
    std::string_view line;
    if (reader.read_line(line) == ReadStatus::line) received = line;
    send_all(app.get(), bytes);
    ::shutdown(app.get(), SHUT_WR);
  });
  const std::vector<Message> messages = forward_tool_call(bridge, REQUEST, REQUEST["id"]);
  peer.join();

  // The call went out once, whole; exactly one answer came back.
  KESTIL_CHECK(received == to_compact(REQUEST));
  KESTIL_CHECK(messages.size() == 1);
  const Json answer = fuzz::output_value(messages[0]);
  // The answer is the first line as the app wrote it, or the lost-connection tool error.
  const std::optional<Json> reply = parse_json(trim_white_space(bytes.substr(0, bytes.find('\n'))));
  if (reply) {
    KESTIL_CHECK(answer == *reply);
    // Only the unavailable marker gives the connection up.
    KESTIL_CHECK(bridge.conn.has_value() != fuzz::carries_unavailable_marker(*reply));
  } else {
    KESTIL_CHECK(to_compact(answer) == tool_error_line(LOST_TEXT) && !bridge.conn);
  }

  // The app has closed its side: the next call gives the connection up before writing.
  const std::vector<Message> next = forward_tool_call(bridge, REQUEST, REQUEST["id"]);
  KESTIL_CHECK(next.size() == 1 && compact_line(next[0]) == tool_error_line(NOT_RUNNING_TEXT));
  KESTIL_CHECK(!bridge.conn);
  // Nothing more came; the bridge closed, which shows as a reset when it left bytes unread
  // (a reply longer than its first read, dropped for a bad first line).
  char byte;
  const ssize_t got = ::recv(app.get(), &byte, 1, MSG_DONTWAIT);
  KESTIL_CHECK(got == 0 || (got < 0 && errno == ECONNRESET));
  return 0;
}
