#include "protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kestil {
namespace {

using namespace std::string_literals;

bool parses(std::string_view text) {
  return parse_json(text).has_value();
}

std::string nested(int levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

TEST(JsonReading, RejectsWhatIsNotExactlyOneValue) {
  for (std::string_view text : {"", " ", "{", "[1,]", "{\"a\":1,}", "{} {}", "{}x", "1 2", "'a'",
                                "{\"a\" 1}", "[01]", "NaN", "\"\\x\""}) {
    EXPECT_FALSE(parses(text)) << text;
  }
}

TEST(JsonReading, AllowsOnlyJsonWhiteSpaceAroundTheValue) {
  EXPECT_TRUE(parses(" \t\r\n{} \t\r\n"));
  EXPECT_FALSE(parses("\v{}"));
  EXPECT_FALSE(parses("\f{}"));
  EXPECT_FALSE(parses("\xC2\xA0{}"));
  EXPECT_FALSE(parses("{}\xC2\xA0"));
}

TEST(JsonReading, RejectsByteOrderMarkAndNul) {
  EXPECT_FALSE(parses("\xEF\xBB\xBF{}"));
  EXPECT_FALSE(parses("{}\0{\"more\":1}"s));
  EXPECT_FALSE(parses("{}\0"s));
  EXPECT_FALSE(parses("[\"a\0b\"]"s));
  EXPECT_FALSE(parses("\0{}"s));
}

TEST(JsonReading, RejectsBadStrings) {
  EXPECT_FALSE(parses("\"\\ud800\""));
  EXPECT_FALSE(parses("\"\\udc00x\""));
  EXPECT_FALSE(parses("\"a\tb\""));
  EXPECT_FALSE(parses("\"\x1f\""));
  EXPECT_FALSE(parses("\"\xff\""));
  EXPECT_FALSE(parses("\"\xed\xa0\x80\""));  // a surrogate encoded directly
  EXPECT_FALSE(parses("\"\xc0\xaf\""));      // overlong
  EXPECT_EQ(parse_json("\"\\ud83d\\ude00\x7f\"")->get<std::string>(), "\xF0\x9F\x98\x80\x7f");
}

TEST(JsonReading, NumbersBeyondDoubleRangeAreInvalid) {
  EXPECT_FALSE(parses("1e400"));
  EXPECT_FALSE(parses("-1e400"));
  EXPECT_FALSE(parses("[1, 1e309]"));
  EXPECT_TRUE(parses("1e308"));
  EXPECT_TRUE(parses("1e-400"));  // underflow is not beyond the range
  EXPECT_EQ(parse_json("18446744073709551615")->get<uint64_t>(), 18446744073709551615u);
  EXPECT_EQ(parse_json("-9223372036854775808")->get<int64_t>(), INT64_MIN);
}

TEST(JsonReading, NestingStopsAt127Levels) {
  EXPECT_TRUE(parses(nested(127)));
  EXPECT_FALSE(parses(nested(128)));
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  EXPECT_TRUE(parses(objects + "1" + std::string(127, '}')));
  EXPECT_FALSE(parses("[" + objects + "1" + std::string(127, '}') + "]"));
  // Far deeper input is refused early, not built.
  EXPECT_FALSE(parses(std::string(1'000'000, '[')));
}

TEST(JsonReading, LaterDuplicateKeyWins) {
  EXPECT_EQ(*parse_json(R"({"id":1,"x":{"a":1,"a":[2]},"id":"two"})"),
            Json({{"id", "two"}, {"x", {{"a", {2}}}}}));
}

TEST(JsonReading, RecordsRefuseRepeatedMembersAndNonObjects) {
  EXPECT_FALSE(parse_record(R"({"a":1,"a":1})"));
  EXPECT_FALSE(parse_record("[]"));
  EXPECT_TRUE(parse_record(R"({"a":{"b":1,"b":2}})"));  // only the record's own members count
}

TEST(JsonWriting, IsCompactSortedAndEscapedMinimally) {
  Json value = parse_json(R"({"b":[1, -2, true, null], "B":{}, "a":"x", "ab":0, "":1.5})").value();
  EXPECT_EQ(to_compact(value), R"({"":1.5,"B":{},"a":"x","ab":0,"b":[1,-2,true,null]})");
  EXPECT_EQ(to_compact("\"\\/\b\t\n\f\r\x01\x1f\x7f\xC3\xA9\xE2\x80\x94"),
            "\"\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xC3\xA9\xE2\x80\x94\"");
  EXPECT_EQ(to_compact(std::string("\0", 1)), "\"\\u0000\"");
}

TEST(JsonWriting, NeverThrowsOnInvalidUtf8) {
  EXPECT_NO_THROW(to_compact("\xff"));
}

TEST(JsonWriting, NonIntegerNumbersReadBackEqual) {
  for (std::string_view text : {"1.5", "1e30", "-0.1", "5e-324", "1.7976931348623157e308"}) {
    const Json value = *parse_json(text);
    EXPECT_EQ(parse_json(to_compact(value))->get<double>(), value.get<double>()) << text;
  }
}

TEST(WhiteSpace, TrimsTheUnicodeSet) {
  EXPECT_EQ(trim_white_space("\t\n\v\f\r \xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A"
                             "x y\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"),
            "x y");
  // Look-alikes that are not white space stay: zero width space, BOM, U+200B.
  EXPECT_EQ(trim_white_space("\xE2\x80\x8B"), "\xE2\x80\x8B");
  EXPECT_EQ(trim_white_space("\xEF\xBB\xBF"), "\xEF\xBB\xBF");
  EXPECT_EQ(trim_white_space("\xC2"), "\xC2");
  EXPECT_EQ(trim_white_space(" \xC2\xA0 "), "");
}

TEST(Builders, ProduceTheWireShapes) {
  EXPECT_EQ(to_compact(error(nullptr, PARSE_ERROR, "parse error")),
            R"({"error":{"code":-32700,"message":"parse error"},"id":null,"jsonrpc":"2.0"})");
  EXPECT_EQ(to_compact(response(Json::array({1, "x"}), tool_error(""))),
            R"({"id":[1,"x"],"jsonrpc":"2.0","result":{"content":[{"text":"","type":"text"}],)"
            R"("isError":true}})");
  EXPECT_EQ(to_compact(error("7", METHOD_NOT_FOUND, "m\"\xC3\xA9")),
            R"({"error":{"code":-32601,"message":"m\"é"},"id":"7","jsonrpc":"2.0"})");
}

TEST(Initialize, NegotiatesTheVersionByExactMatch) {
  for (std::string_view version : SUPPORTED_PROTOCOL_VERSIONS) {
    EXPECT_EQ(initialize_result(version)["protocolVersion"], version);
  }
  for (std::string_view other :
       {"", "2025-06-19", "2024-01-01", " 2025-03-26", "2025-03-26 ", "2025/03/26", "2099-01-01"}) {
    EXPECT_EQ(initialize_result(other)["protocolVersion"], "2025-06-18") << other;
  }
}

TEST(Initialize, ResultIsFixedApartFromTheVersion) {
  const std::string text = to_compact(initialize_result("2024-11-05"));
  EXPECT_TRUE(text.starts_with(
      R"({"capabilities":{"prompts":{"listChanged":false},"tools":{"listChanged":true}},)"
      R"("instructions":"kestil is the person's local)"));
  EXPECT_TRUE(text.ends_with(
      R"("protocolVersion":"2024-11-05","serverInfo":{"name":"kestil","version":"0.1.0"}})"));
  const std::string instructions = initialize_result("")["instructions"];
  EXPECT_EQ(instructions.size(), 695u);
  EXPECT_NE(instructions.find("copy \xE2\x80\x94 it keeps"), std::string::npos);
}

}  // namespace
}  // namespace kestil
