#include "catalog.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace kestil {
namespace {

const Json& find_tool(const Json& list, const std::string& name) {
  for (const Json& definition : list) {
    if (definition["name"] == name) return definition;
  }
  ADD_FAILURE() << "no tool " << name;
  return list;
}

std::string message_text(const std::optional<Json>& messages) {
  return messages ? messages->at("messages").at(0).at("content").at("text").get<std::string>()
                  : "<none>";
}

TEST(ToolBuilder, AddsSpaceToEveryToolButListSpaces) {
  Json spaceless = tool("list_spaces", "T", "D", Json::object(), {}, true, false);
  EXPECT_EQ(spaceless["inputSchema"],
            Json::parse(R"({"properties":{},"required":[],"type":"object"})"));

  // The comparison is exact, so a near miss still gets "space"; a non-object counts as none.
  for (const Json& properties : {Json::object(), Json::array({"x"}), Json(5), Json()}) {
    Json definition = tool("List_spaces", "T", "D", properties, {}, true, false);
    const Json& arguments = definition["inputSchema"]["properties"];
    ASSERT_EQ(arguments.size(), 1u) << properties;
    EXPECT_EQ(arguments["space"]["type"], "string");
    EXPECT_EQ(definition["inputSchema"]["required"], Json::array());
  }

  // A caller's own "space" is replaced, and "space" sorts among the tool's own arguments.
  Json definition = tool("t", "T", "D", {{"tag", {{"type", "string"}}}, {"space", 1}, {"query", 2}},
                         {"tag", "query"}, false, false);
  std::string schema = to_compact(definition["inputSchema"]);
  EXPECT_LT(schema.find("\"query\""), schema.find("\"space\""));
  EXPECT_LT(schema.find("\"space\""), schema.find("\"tag\""));
  EXPECT_EQ(definition["inputSchema"]["properties"]["space"].size(), 2u);
  EXPECT_EQ(definition["inputSchema"]["required"], Json::array({"tag", "query"}));
}

TEST(ToolBuilder, AnnotationsFollowTheTwoFlags) {
  struct Case {
    bool read_only, destructive;
  };
  for (Case flags : {Case{true, false}, Case{false, true}, Case{false, false}}) {
    Json definition =
        tool("t", "Title", "D", Json::object(), {}, flags.read_only, flags.destructive);
    EXPECT_EQ(definition.size(), 5u);
    EXPECT_EQ(definition["annotations"], Json({{"destructiveHint", flags.destructive},
                                               {"idempotentHint", flags.read_only},
                                               {"openWorldHint", false},
                                               {"readOnlyHint", flags.read_only},
                                               {"title", "Title"}}));
    EXPECT_EQ(definition["title"], "Title");
  }
}

TEST(ToolBuilder, SharedArgumentSchemas) {
  EXPECT_EQ(to_compact(limit_arg()), R"({"minimum":1,"type":"integer"})");
  EXPECT_EQ(
      to_compact(note_arg()),
      R"({"description":"Note id, or its path 'Folder/Sub/Title' (a bare title works when unique).","type":"string"})");
  EXPECT_EQ(
      to_compact(style_arg()),
      R"({"description":"A note's look, as read_note's style: line shows it.","type":"object"})");
}

TEST(ToolCatalog, SeventeenToolsInOrderWithTheirHints) {
  const std::vector<std::string> NAMES = {
      "list_spaces",   "get_context",    "search_notes",   "list_folder",          "list_recent",
      "read_note",     "get_backlinks",  "list_tags",      "notes_with_tag",       "list_tasks",
      "create_note",   "duplicate_note", "append_to_note", "append_to_daily_note", "edit_note",
      "set_note_info", "set_tags"};
  Json list = tools();
  ASSERT_EQ(list.size(), NAMES.size());
  for (size_t i = 0; i < NAMES.size(); ++i) {
    const Json& definition = list[i];
    const Json& hints = definition["annotations"];
    SCOPED_TRACE(NAMES[i]);
    EXPECT_EQ(definition["name"], NAMES[i]);
    bool reads = i < 10;
    EXPECT_EQ(hints["readOnlyHint"], reads);
    EXPECT_EQ(hints["idempotentHint"], reads);
    EXPECT_EQ(hints["destructiveHint"], NAMES[i] == "edit_note");
    EXPECT_EQ(hints["openWorldHint"], false);
    EXPECT_EQ(hints["title"], definition["title"]);
    EXPECT_TRUE(definition["inputSchema"]["required"].is_array());
    EXPECT_EQ(definition["inputSchema"]["properties"].contains("space"), i != 0);
  }
}

TEST(ToolCatalog, ArgumentDetails) {
  Json list = tools();
  EXPECT_EQ(find_tool(list, "get_context")["inputSchema"]["properties"].size(), 1u);
  EXPECT_EQ(find_tool(list, "create_note")["inputSchema"]["required"], Json::array({"title"}));
  EXPECT_EQ(find_tool(list, "append_to_note")["inputSchema"]["required"],
            Json::array({"note", "markdown"}));
  EXPECT_EQ(find_tool(list, "edit_note")["inputSchema"]["required"],
            Json::array({"note", "version", "ops"}));

  const Json& read_note = find_tool(list, "read_note")["inputSchema"]["properties"];
  EXPECT_EQ(to_compact(read_note["cursor"]), R"({"minimum":0,"type":"integer"})");
  EXPECT_EQ(to_compact(read_note["max_chars"]), R"({"minimum":1000,"type":"integer"})");
  EXPECT_EQ(to_compact(find_tool(list, "list_folder")["inputSchema"]["properties"]["cursor"]),
            R"({"minimum":0,"type":"integer"})");

  EXPECT_EQ(to_compact(find_tool(list, "edit_note")["inputSchema"]["properties"]["ops"]["items"]),
            R"({"properties":{"markdown":{"type":"string"},"op":{"enum":["replace","insert_after",)"
            R"("delete","append"],"type":"string"},"ref":{"type":"string"}},"required":["op"],)"
            R"("type":"object"})");

  // One backslash before each d, and anchored at both ends.
  std::string pattern =
      find_tool(list, "append_to_daily_note")["inputSchema"]["properties"]["date"]["pattern"];
  EXPECT_EQ(pattern, R"(^\d{4}-\d{2}-\d{2}$)");
  std::regex date(pattern);
  EXPECT_TRUE(std::regex_search("2026-02-30", date));
  EXPECT_FALSE(std::regex_search("x2026-02-03", date));
  EXPECT_FALSE(std::regex_search("2026-02-033", date));
}

TEST(ToolCatalog, TextsComeOutByteForByte) {
  std::string tool_text = to_compact(tools());
  std::string prompt_text = to_compact(prompts());
  EXPECT_EQ(tool_text.size(), 13877u);
  EXPECT_EQ(prompt_text.size(), 422u);
  EXPECT_EQ(to_compact(response(1, {{"tools", tools()}})).size(), 13921u);

  // Non-ASCII stays raw UTF-8; the only escapes are the inner quotes and the pattern's backslashes.
  EXPECT_NE(tool_text.find("e.g. \\\"기록 습관\\\";"), std::string::npos);
  EXPECT_NE(tool_text.find("replace the block — and"), std::string::npos);
  EXPECT_NE(tool_text.find("PDFs…)"), std::string::npos);
  EXPECT_EQ(tool_text.find("\\u"), std::string::npos);
  EXPECT_NE(tool_text.find(R"("pattern":"^\\d{4}-\\d{2}-\\d{2}$")"), std::string::npos);

  // The two arrays meet in the one place where "][" occurs.
  std::string canonical = tool_text + prompt_text;
  EXPECT_EQ(canonical.find("]["), tool_text.size() - 1);
  EXPECT_EQ(canonical.rfind("]["), tool_text.size() - 1);
}

TEST(PromptCatalog, Definitions) {
  Json list = prompts();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]["name"], "daily-review");
  EXPECT_EQ(list[2]["name"], "weekly-digest");
  EXPECT_FALSE(list[0].contains("arguments"));
  EXPECT_FALSE(list[2].contains("arguments"));
  EXPECT_EQ(
      to_compact(list[1]),
      R"({"arguments":[{"description":"Note title, path or id","name":"note","required":true}],)"
      R"("description":"Summarize one kestil note.","name":"summarize-note","title":"Summarize a note"})");
}

TEST(PromptCatalog, FixedTextsIgnoreTheirArguments) {
  for (const char* name : {"daily-review", "weekly-digest"}) {
    std::optional<Json> plain = prompt_messages(name, Json());
    ASSERT_TRUE(plain.has_value()) << name;
    EXPECT_EQ(message_text(plain).size(), 225u) << name;
    EXPECT_EQ(plain->size(), 1u);
    EXPECT_EQ(plain->at("messages").size(), 1u);
    EXPECT_EQ(plain->at("messages")[0]["role"], "user");
    EXPECT_EQ(plain->at("messages")[0]["content"]["type"], "text");
    for (const Json& arguments : {Json::array({1}), Json({{"note", 3}}), Json("x")}) {
      EXPECT_EQ(prompt_messages(name, arguments), plain) << name << arguments;
    }
  }
}

TEST(PromptCatalog, SummarizeNoteQuotesTheNoteAsGiven) {
  const std::string CLOSING =
      " with read_note (follow cursor to the end) and summarize it in a few bullet points, in "
      "the note's language. Do not change the note.";
  auto text_for = [](const Json& note) {
    return message_text(prompt_messages("summarize-note", {{"note", note}, {"other", 1}}));
  };
  EXPECT_EQ(text_for("Inbox/Plans"), "Read the kestil note \"Inbox/Plans\"" + CLOSING);
  EXPECT_EQ(text_for("   "), "Read the kestil note \"   \"" + CLOSING);
  EXPECT_EQ(text_for("a \"b\"\nc"), "Read the kestil note \"a \"b\"\nc\"" + CLOSING);
  EXPECT_NE(to_compact(*prompt_messages("summarize-note", {{"note", "a \"b\"\nc"}}))
                .find(R"(\"a \"b\"\nc\")"),
            std::string::npos);
}

TEST(PromptCatalog, NothingForUnknownNamesOrBadArguments) {
  for (const char* name : {"Daily-Review", "daily-review ", "", "summarize"}) {
    EXPECT_FALSE(prompt_messages(name, Json::object()).has_value()) << '"' << name << '"';
  }
  for (const Json& arguments :
       {Json(), Json::object(), Json::array({"x"}), Json({{"note", ""}}), Json({{"note", 7}}),
        Json({{"note", nullptr}}), Json({{"Note", "x"}})}) {
    EXPECT_FALSE(prompt_messages("summarize-note", arguments).has_value()) << arguments;
  }
}

TEST(CatalogHash, Fnv1aMatchesPublishedVectors) {
  EXPECT_EQ(fnv1a_64(""), 0xcbf29ce484222325u);
  EXPECT_EQ(fnv1a_64("a"), 0xaf63dc4c8601ec8cu);
  EXPECT_EQ(fnv1a_64("fo"), 0x08985907b541d342u);
  EXPECT_EQ(fnv1a_64("foobar"), 0x85944171f73967e8u);
  // High bytes count as unsigned and NUL bytes are hashed like any other.
  EXPECT_EQ(fnv1a_64(std::string_view("\xff\x00\x00\x01", 4)), 0x6961196491cc682du);
}

TEST(CatalogHash, SixteenHexDigitsOverBothLists) {
  std::string hash = catalog_hash();
  char expected[17];
  std::snprintf(expected, sizeof expected, "%016" PRIx64,
                fnv1a_64(to_compact(tools()) + to_compact(prompts())));
  EXPECT_EQ(hash, expected);
  EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), std::string::npos);

  // Changing any catalog text, flag, number or order changes this value, and the app compares
  // it with its own to decide whether the assistant must be told that the tool list changed.
  EXPECT_EQ(hash, "2e3abedecaa1a0e6");
}

}  // namespace
}  // namespace kestil
