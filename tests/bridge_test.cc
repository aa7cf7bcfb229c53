#include "bridge.h"

#include <gtest/gtest.h>

#include "catalog.h"

namespace kestil {
namespace {

// A bridge that can reach no app: no config dir, no launch.
Bridge offline_bridge() {
  return Bridge(false, std::nullopt);
}

Json only_answer(Bridge& bridge, std::string_view line) {
  std::vector<Json> out = bridge.handle_line(line);
  EXPECT_EQ(out.size(), 1u) << line;
  return out.empty() ? Json() : out.front();
}

TEST(Dispatch, CopiesIdsOfEveryType) {
  Bridge bridge = offline_bridge();
  for (std::string_view id :
       {"7", "\"7\"", "null", "-1.5", "1e30", "true", "[1,{\"a\":null}]", "{\"b\":[2]}", "\"\""}) {
    const Json answer =
        only_answer(bridge, R"({"jsonrpc":"2.0","method":"ping","id":)" + std::string(id) + "}");
    EXPECT_EQ(answer, response(*parse_json(id), Json::object())) << id;
  }
}

TEST(Dispatch, LeavesMessagesWithoutIdUnanswered) {
  Bridge bridge = offline_bridge();
  for (std::string_view line :
       {R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
        R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"list_spaces"}})",
        R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", "[]", "1", "\"id\"", "null"}) {
    EXPECT_TRUE(bridge.handle_line(line).empty()) << line;
  }
}

TEST(Dispatch, ParseErrorsCarryNullIdEvenWhenAnIdWasReadable) {
  Bridge bridge = offline_bridge();
  const Json parse_error = error(nullptr, PARSE_ERROR, "parse error");
  for (std::string_view line : {R"({"id":5,"method":"ping")", R"({"id":5,"method":"ping"} x)",
                                R"({"id":5,"method":"ping"}{})", "\f{\"id\":5}"}) {
    EXPECT_EQ(only_answer(bridge, line), parse_error) << line;
  }
}

TEST(Dispatch, UnknownMethodsNameTheMethodExactly) {
  Bridge bridge = offline_bridge();
  const auto not_found = [](const Json& id, std::string_view message) {
    return error(id, METHOD_NOT_FOUND, message);
  };
  EXPECT_EQ(only_answer(bridge, R"({"id":1})"), not_found(1, "method not found: "));
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":7})"), not_found(1, "method not found: "));
  EXPECT_EQ(only_answer(bridge, R"({"id":2,"method":"Ping"})"),
            not_found(2, "method not found: Ping"));
  EXPECT_EQ(only_answer(bridge, R"({"id":3,"method":"notifications/initialized"})"),
            not_found(3, "method not found: notifications/initialized"));
  EXPECT_EQ(only_answer(bridge, R"({"id":4,"method":"resources/list \u00e9\"x"})"),
            not_found(4, "method not found: resources/list \xC3\xA9\"x"));
}

TEST(Dispatch, LaterDuplicateIdWins) {
  Bridge bridge = offline_bridge();
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"ping","id":"second"})")["id"], "second");
}

TEST(Dispatch, CatalogMethodsIgnoreParamsAndWorkBeforeInitialize) {
  Bridge bridge = offline_bridge();
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"tools/list","params":{"cursor":"x"}})"),
            response(1, {{"tools", tools()}}));
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"prompts/list","params":[1]})"),
            response(1, {{"prompts", prompts()}}));
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"ping","params":"x"})"),
            response(1, Json::object()));
}

TEST(Dispatch, PromptsGetAnswersMessagesOrInvalidParams) {
  Bridge bridge = offline_bridge();
  const Json missing = error(1, INVALID_PARAMS, "unknown prompt or missing argument");
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"prompts/get"})"), missing);
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"prompts/get","params":{"name":"x"}})"),
            missing);
  EXPECT_EQ(
      only_answer(bridge, R"({"id":1,"method":"prompts/get","params":{"name":"summarize-note"}})"),
      missing);
  EXPECT_EQ(
      only_answer(
          bridge,
          R"({"id":1,"method":"prompts/get","params":{"name":"summarize-note","arguments":{"note":"a"}}})"),
      response(1, *prompt_messages("summarize-note", {{"note", "a"}})));
}

TEST(Dispatch, InitializeRecordsTheClientAndNegotiates) {
  Bridge bridge = offline_bridge();
  Json answer = only_answer(
      bridge,
      R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26","clientInfo":{"name":"host","version":"1.2"}}})");
  EXPECT_EQ(answer, response(1, initialize_result("2025-03-26")));
  EXPECT_EQ(bridge.client_name, "host");
  EXPECT_EQ(bridge.client_version, "1.2");

  answer =
      only_answer(bridge, R"({"id":2,"method":"initialize","params":{"protocolVersion":20250618,)"
                          R"("clientInfo":{"name":5,"version":"9"}}})");
  EXPECT_EQ(answer["result"]["protocolVersion"], "2025-06-18");
  EXPECT_EQ(bridge.client_name, "unknown");
  EXPECT_EQ(bridge.client_version, "9");

  only_answer(bridge, R"({"id":3,"method":"initialize","params":{"clientInfo":{"name":""}}})");
  EXPECT_EQ(bridge.client_name, "");
  EXPECT_EQ(bridge.client_version, "");
  only_answer(bridge, R"({"id":4,"method":"initialize"})");
  EXPECT_EQ(bridge.client_name, "unknown");
}

TEST(Dispatch, ToolCallWithoutConfigDirIsTheNotRunningToolError) {
  Bridge bridge = offline_bridge();
  EXPECT_EQ(only_answer(bridge, R"({"id":"c","method":"tools/call","params":{"name":"x"}})"),
            response("c", tool_error(NOT_RUNNING_TEXT)));
  EXPECT_EQ(NOT_RUNNING_TEXT.size(), 142u);
  EXPECT_EQ(LOST_TEXT.size(), 95u);
}

}  // namespace
}  // namespace kestil
