// The JSON reading and writing rules, each accepted text beside its nearest rejected one.
#include "protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kestil {
namespace {

using namespace std::string_literals;

std::string nested(int levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

TEST(JsonReading, ExactlyOneValueWithinTheLimits) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case CASES[] = {
      {" \t\r\n{} \t\r\n", true},
      {"\v{}", false},
      {"{}\xC2\xA0", false},
      {"{} {}", false},
      {"{}x", false},
      {"", false},
      {"{}", true},
      {"\xEF\xBB\xBF{}", false},
      {"[\"a\"]", true},
      {"[\"a\0b\"]"s, false},
      {"{}\0{\"more\":1}"s, false},
      {"\"\\ud83d\\ude00\xE2\x80\x94\"", true},
      {"\"\\ud800\"", false},
      {"\"\xed\xa0\x80\"", false},
      {"\"\xff\"", false},
      {"\"\xc0\xaf\"", false},
      {"\"a\tb\"", false},
      {"1e308", true},
      {"1e-400", true},
      {"[1, -1e309]", false},
      {nested(127), true},
      {nested(128), false},
      {std::string(1'000'000, '['), false},
  };
  for (const Case& c : CASES) {
    EXPECT_EQ(parse_json(c.text).has_value(), c.valid) << c.text.substr(0, 40);
  }
}

TEST(JsonReading, LaterDuplicateKeyWinsButRecordsRefuseRepeatedMembers) {
  EXPECT_EQ(*parse_json(R"({"id":1,"x":{"a":1,"a":[2]},"id":"two"})"),
            Json({{"id", "two"}, {"x", {{"a", {2}}}}}));
  EXPECT_FALSE(parse_record(R"({"a":1,"a":1})"));
  EXPECT_TRUE(parse_record(R"({"a":{"b":1,"b":2}})"));
  EXPECT_FALSE(parse_record("[]"));
}

TEST(JsonWriting, CompactSortedWithOnlyTheRequiredEscapes) {
  EXPECT_EQ(
      to_compact(*parse_json(
          R"({"b":[1, -2.5, null], "B":{}, "a":"\"\\/\b\t\n\f\r\u0001\u001f\u007f\u00e9\u2014"})")),
      "{\"B\":{},\"a\":\"\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xC3\xA9\xE2\x80\x94\","
      "\"b\":[1,-2.5,null]}");
}

}  // namespace
}  // namespace kestil
