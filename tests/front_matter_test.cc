#include "front_matter.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tools.h"

namespace kestil::folder {
namespace {

namespace fs = std::filesystem;

// A note as the person wrote it, and the lines the write tools may change in it: `tags_before`
// becomes `tags_after` when the tag "ops" is added, `info_before` becomes `info_after` when the
// description is set to "Plan: q3". Every other byte stays. Null afters: the block is left as
// it is and the tools that are about it fail with `refusal`.
struct FrontMatterCase {
  const char* name;
  const char* note;
  const char* tags_before;
  const char* tags_after;
  const char* info_before;
  const char* info_after;
  const char* refusal = nullptr;
};

const FrontMatterCase CASES[] = {
    {"nested map, comments, block list",
     "---\ntitle: Plan  # working title\nauthor:\n  name: Ana\n  email: ana@example.com\n"
     "# what it is about\ntags:\n  - planning\n  - \"q3\"   # quarter\n\ndescription: Old\n"
     "---\nText.\n",
     "  - \"q3\"   # quarter\n", "  - \"q3\"   # quarter\n  - ops\n", "description: Old\n",
     "description: \"Plan: q3\"\n"},
    {"block list at the key's indent", "---\ntags:\n- planning\nid: abc\n---\nText.\n",
     "- planning\n", "- planning\n- ops\n", "id: abc\n---",
     "id: abc\ndescription: \"Plan: q3\"\n---"},
    {"flow list", "---\ntags: [planning, 'q3']\nstyle: {\"width\":\"wide\"}\n---\nText.\n",
     "tags: [planning, 'q3']\n", "tags: [planning, q3, ops]\n", "}\n---",
     "}\ndescription: \"Plan: q3\"\n---"},
    {"comma line", "---\ntags: planning, q3\nurl: 'http://x.example/a: b'\n---\nText.\n",
     "tags: planning, q3\n", "tags: planning, q3, ops\n", "'\n---",
     "'\ndescription: \"Plan: q3\"\n---"},
    {"quoted values with colons",
     "---\ntitle: \"Plan: the sequel\"\ndescription: 'Old: one'\nnote: a # b: c\n---\nText.\n",
     "c\n---", "c\ntags: ops\n---", "description: 'Old: one'\n", "description: \"Plan: q3\"\n"},
    {"CRLF", "---\r\ntitle: Plan\r\ntags:\r\n  - planning\r\n---\r\nText.\r\n", "  - planning\r\n",
     "  - planning\r\n  - ops\r\n", "planning\r\n---",
     "planning\r\ndescription: \"Plan: q3\"\r\n---"},
    {"no front matter", "Text.\n", "Text.", "---\ntags: ops\n---\nText.", "Text.",
     "---\ndescription: \"Plan: q3\"\n---\nText."},
    {"comment lines under the changed keys",
     "---\ntags:\n  - planning\n  # the quarter\n  - q3\n  # more to come\ndescription: Old\n"
     "# said by Ana\nid: x1\n---\nText.\n",
     "  - q3\n", "  - q3\n  - ops\n", "description: Old\n", "description: \"Plan: q3\"\n"},
    {"invalid YAML", "---\ntags: [planning\ntitle: x\n---\nText.\n", "", nullptr, "", nullptr,
     "not valid YAML (line 3"},
};

struct ToolRow {
  const char* tool;
  const char* arguments;
  bool about_tags;  // else about the description
  bool adds_text;   // a tool that adds text still works when the block cannot change
};

const ToolRow TOOLS[] = {
    {"set_tags", R"({"note":"Plan","add":["ops"]})", true, false},
    {"append_to_note", R"({"note":"Plan","markdown":"Done #ops"})", true, true},
    {"edit_note", R"({"note":"Plan","version":"v","ops":[{"op":"append","markdown":"Done #ops"}]})",
     true, true},
    {"set_note_info", R"({"note":"Plan","description":"Plan: q3"})", false, false},
};

class FrontMatterWrites : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestil-front-matter-test-XXXXXX";
    root_ = mkdtemp(pattern);
    spaces_ = std::get<std::vector<Space>>(open_spaces({root_.string()}));
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string run(const char* note, const ToolRow& row, ToolResult& result) {
    std::ofstream(root_ / "Plan.md", std::ios::binary) << note;
    result = call_tool(spaces_, row.tool, Json::parse(row.arguments));
    std::ifstream in(root_ / "Plan.md", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path root_;
  std::vector<Space> spaces_;
};

TEST_F(FrontMatterWrites, OnlyTheChangedKeysLinesChange) {
  for (const FrontMatterCase& c : CASES) {
    for (const ToolRow& row : TOOLS) {
      SCOPED_TRACE(std::string(c.name) + " / " + row.tool);
      ToolResult result;
      std::string written = run(c.note, row, result);
      std::string expected = c.note;
      const char* before = row.about_tags ? c.tags_before : c.info_before;
      const char* after = row.about_tags ? c.tags_after : c.info_after;
      if (after) expected.replace(expected.find(before), std::string(before).size(), after);
      if (!after && !row.adds_text) {
        EXPECT_TRUE(result.is_error);
        EXPECT_NE(result.text.find(c.refusal), std::string::npos) << result.text;
        EXPECT_EQ(written, c.note);
        continue;
      }
      EXPECT_FALSE(result.is_error) << result.text;
      if (!after) {
        EXPECT_NE(result.text.find(c.refusal), std::string::npos) << result.text;
      }
      // The body is not this test's matter: the text up to its first line is compared.
      size_t head = expected.find("Text.");
      EXPECT_EQ(written.substr(0, head + 5), expected.substr(0, head + 5));
      EXPECT_EQ(written.find("Done #ops") != std::string::npos, row.adds_text);
    }
  }
}

// A tag that its key's plain form would turn into something else: each rewrite is read back,
// and one that changes any other key, or leaves the block unreadable, is not written.
TEST_F(FrontMatterWrites, TagsThePlainFormCannotHoldAreQuoted) {
  const std::pair<const char*, const char*> rows[] = {
      {"---\ntitle: x\n---\nText.\n", "---\ntitle: x\ntags: [\"@home\"]\n---\nText.\n"},
      {"---\ntags: work\nx: 1\n---\nText.\n", "---\ntags: work, @home\nx: 1\n---\nText.\n"},
  };
  const ToolRow add_home = {"set_tags", R"({"note":"Plan","add":["@home"]})", true, false};
  for (const auto& [note, expected] : rows) {
    ToolResult result;
    EXPECT_EQ(run(note, add_home, result), expected) << result.text;
  }
}

TEST(FrontMatter, ListsAreReadInEveryForm) {
  struct Row {
    const char* yaml;
    std::vector<std::string> tags;
    std::vector<std::string> aliases;
  };
  const Row rows[] = {
      {"tags: [a, '#b']\naliases: [One, \"Two: 2\"]", {"a", "b"}, {"One", "Two: 2"}},
      {"tags:\n  - a\n  - c/d\naliases:\n  - One", {"a", "c/d"}, {"One"}},
      {"tags: a, b ,c\naliases: One, Two", {"a", "b", "c"}, {"One, Two"}},
      {"tags: a\naliases:", {"a"}, {}},
      {"tags: [a\naliases: One", {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.yaml);
    FrontMatter meta;
    std::string note = std::string("---\n") + row.yaml + "\n---\nBody";
    EXPECT_EQ(read_front_matter(note, meta), note.size() - 4);
    EXPECT_EQ(meta.tags, row.tags);
    EXPECT_EQ(meta.aliases, row.aliases);
  }
}

TEST(FrontMatter, AStyleWrittenAsABlockStaysOne) {
  const std::string head = "---\nstyle:   # the look\n    icon: star\n    zoom: 2\ntitle: x\n---\n";
  FrontMatter wanted;
  read_front_matter(head, wanted);
  wanted.style["width"] = "100";
  Outcome<std::string> written = with_front_matter(head, wanted, "Body");
  EXPECT_EQ(std::get<std::string>(written),
            "---\nstyle:   # the look\n    icon: star\n    width: \"100\"\n    zoom: 2\ntitle: x\n"
            "---\nBody");
}

}  // namespace
}  // namespace kestil::folder
