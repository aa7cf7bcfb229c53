// One input line through the request dispatch of a bridge that has no app to reach.
#include <cstddef>
#include <cstdint>

#include "bridge.h"
#include "check.h"

using namespace kestil;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  Bridge bridge(false, std::nullopt);
  std::vector<Json> out;
  for (const Message& message : bridge.handle_line(line))
    out.push_back(fuzz::output_value(message));

  const std::optional<Json> message = parse_json(line);
  if (!message) {
    KESTIL_CHECK(out.size() == 1);
    KESTIL_CHECK(to_compact(out[0]) ==
                 R"({"error":{"code":-32700,"message":"parse error"},"id":null,"jsonrpc":"2.0"})");
    return 0;
  }
  if (!message->is_object() || !message->contains("id")) {
    KESTIL_CHECK(out.empty());
    return 0;
  }
  // A request: exactly one answer, to its id, holding either a result or an error.
  KESTIL_CHECK(out.size() == 1);
  const Json& answer = out[0];
  KESTIL_CHECK(answer.is_object() && answer.size() == 3);
  KESTIL_CHECK(answer.contains("id") && answer["id"] == (*message)["id"]);
  KESTIL_CHECK(answer.contains("jsonrpc") && answer["jsonrpc"] == "2.0");
  KESTIL_CHECK(answer.contains("result") != answer.contains("error"));
  return 0;
}
