#include <gtest/gtest.h>

#include <string>

#include "compact_json.h"
#include "ipc.h"

namespace kestil {
namespace {

struct Row {
  std::string text;
  CompactCheck expected;
};

std::string nested_arrays(int levels) {
  return "{\"a\":" + std::string(levels, '[') + std::string(levels, ']') + "}";
}

constexpr CompactCheck AS_SENT = CompactCheck::compact;
constexpr CompactCheck DECLINED = CompactCheck::declined;
constexpr CompactCheck MARKED = CompactCheck::compact_unavailable;

// Each way a reply differs from its rewritten form declines; its nearest neighbour that the
// writer leaves alone goes out as sent.
TEST(FastReply, GoesOutAsSentExactlyWhenRewritingWouldNotChangeIt) {
  const Row rows[] = {
      {R"({"a":1,"b":{}})", AS_SENT},
      {R"({"b":1,"a":2})", DECLINED},
      {R"({"a":1,"a":2})", DECLINED},
      {R"({"a\n":1,"a#":2})", AS_SENT},  // keys compare by their decoded bytes
      {R"({"a#":1,"a\n":2})", DECLINED},
      {R"({"s":"\" \\ \b \f \n \r \t \u0000 \u001f é 😀"})", AS_SENT},
      {R"({"s":"\u007f"})", DECLINED},
      {R"({"s":"\/"})", DECLINED},
      {R"({"s":"\u00e9"})", DECLINED},
      {R"({"s":"\u001F"})", DECLINED},
      {R"({"s":"\u0008"})", DECLINED},
      {R"({"s":"\ud83d\ude00"})", DECLINED},
      {"{\"s\":\"\x7f\"}", AS_SENT},
      {"{\"s\":\"\xC3\"}", DECLINED},
      {std::string("{\"s\":\"\0\"}", 9), DECLINED},
      {R"({"n":[0,-1,18446744073709551615,-9223372036854775808]})", AS_SENT},
      {R"({"n":18446744073709551616})", DECLINED},
      {R"({"n":-9223372036854775809})", DECLINED},
      {R"({"n":-0})", DECLINED},
      {R"({"n":[1.5,1e+30,-0.25,1.0]})", AS_SENT},
      {R"({"n":1e30})", DECLINED},
      {R"({"n":1.50})", DECLINED},
      {R"({"n":1e400})", DECLINED},
      {R"({"a":[1,true,null]})", AS_SENT},
      {R"({"a": [1,true,null]})", DECLINED},
      {R"({"a":[1, true,null]})", DECLINED},
      {R"({"a":[1,true,null ]})", DECLINED},
      {R"({"a":[1,true,null]} )", DECLINED},
      {"\xEF\xBB\xBF{\"a\":1}", DECLINED},
      {nested_arrays(126), AS_SENT},  // 127 levels with the outer object
      {nested_arrays(127), DECLINED},
      {R"({"result":{"content":[{"text":"unavailable: locked"}],"isError":true}})", MARKED},
      {R"({"result":{"content":[{"text":"unavailable: locked"}],"isError":false}})", AS_SENT},
      {R"({"result":{"content":[{"text":"unavailable"}],"isError":true}})", AS_SENT},
      {R"({"result":{"content":{"0":{"text":"unavailable:"}},"isError":true}})", AS_SENT},
  };
  for (const Row& row : rows) {
    // The line reader's guarantee: readable padding after the line.
    const std::string buffer = row.text + std::string(LINE_PADDING, '\0');
    const std::string_view line(buffer.data(), row.text.size());
    EXPECT_EQ(check_compact_reply(line, buffer.size()), row.expected) << row.text;
  }
}

}  // namespace
}  // namespace kestil
