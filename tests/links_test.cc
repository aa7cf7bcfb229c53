#include "links.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "index/note_index.h"
#include "names.h"
#include "tools.h"

namespace kestil::folder {
namespace {

// A space held in a table of notes.
struct TableNote {
  std::string path, id;
  std::vector<std::string> aliases;
};
class TableNotes : public NoteLookup {
 public:
  explicit TableNotes(std::vector<TableNote> notes) : notes_(std::move(notes)) {}
  std::optional<std::string> existing(std::string_view path) const override {
    return first([&](const TableNote& n) { return nfc(n.path) == nfc(path); });
  }
  std::vector<std::string> titled(std::string_view key) const override {
    return all(
        [&](const TableNote& n) { return name_key(n.path.substr(n.path.rfind('/') + 1)) == key; });
  }
  std::vector<std::string> aliased(std::string_view key) const override {
    return all([&](const TableNote& n) {
      return std::any_of(n.aliases.begin(), n.aliases.end(),
                         [&](auto& a) { return name_key(a) == key; });
    });
  }
  std::optional<std::string> with_id(std::string_view id) const override {
    return first([&](const TableNote& n) { return n.id == id; });
  }
  std::optional<std::string> id_at(std::string_view path) const override {
    for (const TableNote& note : notes_) {
      if (note.path == path) return note.id;
    }
    return std::nullopt;
  }

 private:
  template <typename Test>
  std::vector<std::string> all(Test test) const {
    std::vector<std::string> paths;
    for (const TableNote& note : notes_) {
      if (test(note)) paths.push_back(note.path);
    }
    return paths;
  }
  template <typename Test>
  std::optional<std::string> first(Test test) const {
    std::vector<std::string> paths = all(test);
    return paths.empty() ? std::nullopt : std::optional<std::string>(paths.front());
  }
  std::vector<TableNote> notes_;
};

const TableNotes NOTES({
    {"Plan", "id-top", {}},
    {"Projects/Plan", "id-projects", {}},
    {"Projects/Deep/Plan", "id-deep", {}},
    {"Archive/Old/Plan", "id-old", {}},
    {"Projects/Other note", "id-other", {"Roadmap"}},
    {"Journal/서울 여행", "id-seoul", {}},
    {"Solo/Unique", "id-unique", {"Only One"}},
    {"Solo/Idea", "id-idea", {}},
    {"Projects/Deep/Idea", "id-deep-idea", {}},
});

// The notes the links written in the note `from` lead to, in order.
std::vector<std::string> targets(std::string_view body, std::string_view from) {
  std::vector<std::string> found;
  for (const Link& link : links_in(body, from)) {
    std::optional<std::string> path = resolve_link(link, from, NOTES);
    found.push_back(path ? *path : "(none)");
  }
  return found;
}

TEST(Links, FormsAndResolution) {
  struct Case {
    const char* body;
    const char* from;
    std::vector<std::string> expected;
  };
  const Case CASES[] = {
      // A bare name: exact path, then the linking note's folder, then the shortest path.
      {"[[Plan]]", "Projects/Deep/From", {"Plan"}},
      {"[[Projects/Plan]]", "Archive/From", {"Projects/Plan"}},
      {"[[Deep/Plan]]", "Projects/From", {"Projects/Deep/Plan"}},
      {"[[Unique]]", "Projects/From", {"Solo/Unique"}},
      {"[[Idea]]", "Projects/Deep/From", {"Projects/Deep/Idea"}},
      {"[[Idea]]", "Projects/From", {"Solo/Idea"}},
      {"[[Old/Plan#Heading]] ![[Unique]] [[Unique#^ab12cd]]",
       "From",
       {"Archive/Old/Plan", "Solo/Unique", "Solo/Unique"}},
      {"[[Other note|text]] [[Roadmap]] [[Only One]]",
       "Solo/From",
       {"Projects/Other note", "Projects/Other note", "Solo/Unique"}},
      {"[[Missing]] [[#Heading]] [[]]", "From", {"(none)"}},
      // NFD spelling of 서울 여행 finds the NFC note.
      {"[[\xe1\x84\x89\xe1\x85\xa5\xe1\x84\x8b\xe1\x85\xae\xe1\x86\xaf \xec\x97\xac\xed\x96\x89]]",
       "From",
       {"Journal/서울 여행"}},
      // Relative Markdown links, percent-decoded, against the linking note's folder.
      {"[a](Other%20note.md) [b](../Plan.md) [c](<../Projects/Other note.md>)",
       "Projects/From",
       {"Projects/Other note", "Plan", "Projects/Other note"}},
      {"[a](./Deep/Plan.md#part \"title\") [b](/Plan.md)",
       "Projects/From",
       {"Projects/Deep/Plan", "Plan"}},
      {"[a](../../Plan.md) [b](https://x.org/Plan.md) [c](Plan.txt) [d](Plan.md", "Projects/F", {}},
      // A note moved away: a link to a file or folder that is not there finds it by its name.
      {"[a](Gone/Idea.md) [b](../Unique.md) [[Gone/Unique]] [[Gone/Missing]] [c](Missing.md)",
       "Projects/Deep/From",
       {"Projects/Deep/Idea", "Solo/Unique", "Solo/Unique", "(none)", "(none)"}},
      {"[a](kestil://note/id-other) and kestil://note/id-seoul, kestil://note/nope",
       "From",
       {"Projects/Other note", "Journal/서울 여행", "(none)"}},
      // Nothing inside code counts.
      {"`[[Plan]]` ``a ` [[Unique]]`` [[Plan]]\n\n```\n[[Unique]]\n```\n", "From", {"Plan"}},
      {"` [[Plan]]", "From", {"Plan"}},
  };
  for (const Case& c : CASES) {
    EXPECT_EQ(targets(c.body, c.from), c.expected) << c.body;
  }
}

TEST(Links, EditorAndAssistantForms) {
  struct Case {
    const char* from;
    const char* assistant;  // as the assistant writes and reads it
    const char* editor;     // as it is stored in the file
  };
  const Case CASES[] = {
      {"Projects/New", "See [x](kestil://note/id-other).", "See [x](Other%20note.md)."},
      {"New", "[x](kestil://note/id-deep)", "[x](Projects/Deep/Plan.md)"},
      {"Archive/Old/New", "[x](kestil://note/id-top)", "[x](../../Plan.md)"},
      {"Projects/Deep/New", "[x](kestil://note/id-seoul)", "[x](../../Journal/서울%20여행.md)"},
  };
  for (const Case& c : CASES) {
    EXPECT_EQ(links_for_editor(c.assistant, c.from, NOTES), c.editor) << c.assistant;
    EXPECT_EQ(links_for_assistant(c.editor, c.from, NOTES), c.assistant) << c.editor;
  }
  // Left as written: an unknown id, a bare id link outside a Markdown link, a link with an anchor.
  for (const char* kept :
       {"[x](kestil://note/unknown)", "kestil://note/id-top", "`[x](kestil://note/id-top)`"}) {
    EXPECT_EQ(links_for_editor(kept, "New", NOTES), kept);
  }
  for (const char* kept : {"[x](Plan.md#Part)", "[x](Missing.md)", "`[x](Plan.md)`"}) {
    EXPECT_EQ(links_for_assistant(kept, "New", NOTES), kept);
  }
}

namespace fs = std::filesystem;

// "서울 여행" as a Mac names files (NFD) and as it is typed (NFC).
const std::string SEOUL_NFD =
    "\xe1\x84\x89\xe1\x85\xa5\xe1\x84\x8b\xe1\x85\xae\xe1\x86\xaf "
    "\xe1\x84\x8b\xe1\x85\xa7\xe1\x84\x92\xe1\x85\xa2\xe1\x86\xbc";
const std::string SEOUL_NFC = "서울 여행";

// A space whose notes link to Projects/Target in every form, and some that only look like it.
const std::pair<std::string, std::string> LINKING_SPACE[] = {
    {"Projects/Target.md", "---\nid: tttttttttttt\naliases: [Goal]\n---\nThe target.\n"},
    {"Journal/Assistant.md", "[t](../Projects/Target.md)\n"},  // as the write tools store it
    {"Relative.md", "[t](Projects/Target.md)\n"},
    {"Projects/Sibling.md", "[t](<Target.md> \"title\")\n"},
    {"Wiki.md", "See [[Target]].\n"},
    {"Folder.md", "[[Projects/Target]]\n"},
    {"Alias.md", "[[Goal]]\n"},
    {"Embed.md", "![[target]]\n"},
    {"Heading.md", "[[Target#Part]]\n"},
    {"Block.md", "[[Target#^ab12cd]]\n"},
    {"Pipe.md", "| [[Target\\|the target]] |\n"},
    {"IdLink.md", "[t](kestil://note/tttttttttttt)\n"},
    {"Code.md", "`[[Target]]`\n\n```\n[t](Projects/Target.md)\n```\n"},
    {"Elsewhere.md", "[[Targets]] [t](Targets.md) [w](https://x.org/Projects/Target.md)\n"},
    {".trash/Old.md", "[[Target]] hiddenword\n"},
    {"Journal/" + SEOUL_NFD + ".md", "Trip.\n"},
};

class LinkedSpace : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestil-links-test-XXXXXX";
    base_ = mkdtemp(pattern);
    root_ = base_ / "space";
    for (const auto& [path, text] : LINKING_SPACE) {
      fs::create_directories((root_ / path).parent_path());
      std::ofstream(root_ / path) << text;
    }
    spaces_ = std::get<std::vector<Space>>(open_spaces({root_.string()}));
  }
  void TearDown() override { fs::remove_all(base_); }

  ToolResult call(const std::string& tool, const Json& arguments) {
    return call_tool(spaces_, tool, arguments);
  }
  std::string file(const std::string& path) {
    std::ifstream in(root_ / path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path base_, root_;
  std::vector<Space> spaces_;
};

std::vector<std::string> backlinks(const std::vector<Space>& spaces, const std::string& note) {
  Json found = Json::parse(call_tool(spaces, "get_backlinks", {{"note", note}}).text);
  std::vector<std::string> paths;
  for (const Json& link : found["backlinks"]) paths.push_back(link["path"]);
  return paths;
}

// Every form links, by scan and by the index, and still does once the note is moved with mv:
// nothing on disk is rewritten for it, and read_note shows the stale link as an id link.
TEST_F(LinkedSpace, EveryLinkFormIsABacklinkAndSurvivesAMove) {
  std::vector<Space> indexed = spaces_;
  auto opened = NoteIndex::open(spaces_[0], (base_ / "index.sqlite").string());
  indexed[0].index = std::get<std::shared_ptr<NoteIndex>>(opened);
  indexed[0].index->reconcile(nullptr);
  const std::vector<std::string> linking = {"Alias",
                                            "Block",
                                            "Embed",
                                            "Folder",
                                            "Heading",
                                            "IdLink",
                                            "Journal/Assistant",
                                            "Pipe",
                                            "Projects/Sibling",
                                            "Relative",
                                            "Wiki"};
  EXPECT_EQ(backlinks(spaces_, "Target"), linking);
  EXPECT_EQ(backlinks(indexed, "Target"), linking);
  fs::create_directories(root_ / "Archive");
  fs::rename(root_ / "Projects/Target.md", root_ / "Archive/Target.md");
  indexed[0].index->reconcile(nullptr);
  EXPECT_EQ(backlinks(spaces_, "Target"), linking);
  EXPECT_EQ(backlinks(indexed, "Target"), linking);
  for (const std::vector<Space>* spaces : {&spaces_, &indexed}) {
    EXPECT_EQ(
        Json::parse(
            call_tool(*spaces, "read_note", {{"note", "Journal/Assistant"}}).text)["markdown"],
        "<!-- b1~8a95b4 -->\n[t](kestil://note/tttttttttttt)\n");
  }
  EXPECT_EQ(file("Journal/Assistant.md"), "[t](../Projects/Target.md)\n");
}

TEST_F(LinkedSpace, NamesInEitherNormalFormFindTheNote) {
  struct Case {
    const char* tool;
    Json arguments;
    std::string expected;  // in the result
  };
  const Case CASES[] = {
      {"read_note", {{"note", SEOUL_NFC}}, "Trip."},
      {"read_note", {{"note", "Journal/" + SEOUL_NFC}}, "Trip."},
      {"read_note", {{"note", "goal"}}, "The target."},
      {"read_note", {{"note", SEOUL_NFD}}, "Trip."},
      {"list_folder", {{"folder", "Journal"}}, "\"title\":\"" + SEOUL_NFD + "\""},
      {"get_backlinks", {{"note", "Journal/" + SEOUL_NFC}}, "\"backlinks\":[]"},
      {"create_note", {{"title", SEOUL_NFC}, {"folder", "Journal"}}, "already exists"},
      {"duplicate_note", {{"note", SEOUL_NFD}}, "\"path\":\"Journal/" + SEOUL_NFC + " copy\""},
      // Links to notes read as the id links the assistant writes; others as written.
      {"read_note", {{"note", "Projects/Sibling"}}, "[t](<kestil://note/tttttttttttt>"},
      {"read_note", {{"note", "Relative"}}, "[t](kestil://note/tttttttttttt)"},
      {"read_note", {{"note", "Elsewhere"}}, "[[Targets]] [t](Targets.md) [w](https://"},
      {"read_note", {{"note", "Code"}}, "```\\n[t](Projects/Target.md)\\n```"},
      // Dot folders hold no notes.
      {"read_note", {{"note", "Old"}}, "No note 'Old'"},
      {"search_notes", {{"query", "hiddenword"}}, "\"total\":0"},
      {"list_folder", Json::object(), "\"name\":\"Journal\""},
  };
  for (const Case& c : CASES) {
    ToolResult result = call(c.tool, c.arguments);
    EXPECT_NE(result.text.find(c.expected), std::string::npos) << c.arguments << result.text;
  }
  EXPECT_EQ(call("list_folder", Json::object()).text.find(".trash"), std::string::npos);
}

TEST_F(LinkedSpace, TheAssistantWritesIdLinksThePersonsEditorFollowsFileLinks) {
  auto ok = [&](const std::string& tool, const Json& arguments) {
    ToolResult result = call(tool, arguments);
    EXPECT_FALSE(result.is_error) << tool << arguments << result.text;
    return result.is_error ? Json::object() : Json::parse(result.text);
  };
  ok("create_note",
     {{"title", "New"},
      {"folder", "Journal"},
      {"markdown", "Go [there](kestil://note/tttttttttttt), [x](kestil://note/gone)."}});
  EXPECT_EQ(file("Journal/New.md"),
            "Go [there](../Projects/Target.md), [x](kestil://note/gone).\n");
  Json read = ok("read_note", {{"note", "Journal/New"}});
  std::string shown = read["markdown"];
  EXPECT_NE(shown.find("Go [there](kestil://note/tttttttttttt), [x]"), std::string::npos) << shown;
  // The ref read_note showed still names the block: it is taken over the file's bytes.
  std::string ref = shown.substr(5, shown.find(" -->") - 5);
  Json ops = Json::array(
      {{{"op", "replace"}, {"ref", ref}, {"markdown", "[it](kestil://note/tttttttttttt)"}},
       {{"op", "append"},
        {"markdown",
         "[home](kestil://note/" + std::string(ok("read_note", {{"note", "Wiki"}})["id"]) + ")"}}});
  Json edited =
      ok("edit_note", {{"note", "Journal/New"}, {"version", read["version"]}, {"ops", ops}});
  EXPECT_EQ(file("Journal/New.md"), "[it](../Projects/Target.md)\n\n[home](../Wiki.md)\n");
  EXPECT_EQ(ok("read_note", {{"note", "Journal/New"}})["version"], edited["version"]);
  ok("append_to_note", {{"note", "Wiki"}, {"markdown", "[t](kestil://note/tttttttttttt)"}});
  ok("append_to_daily_note",
     {{"markdown", "[t](kestil://note/tttttttttttt)"}, {"date", "2026-01-02"}});
  EXPECT_EQ(file("Wiki.md"), "See [[Target]].\n\n[t](Projects/Target.md)\n");
  EXPECT_EQ(file("Daily/2026-01-02.md"), "[t](../Projects/Target.md)\n");
}

TEST_F(LinkedSpace, NamesThatCouldMisleadAreRefusedAndLongOnesNotEchoed) {
  const std::string huge(10 << 20, 'x');
  struct Case {
    const char* tool;
    Json arguments;
    const char* expected;
  };
  const Case CASES[] = {
      {"create_note", {{"title", "red \x1b[31m"}}, "control character (U+001B)"},
      {"create_note", {{"title", "gnp\u202e.exe"}}, "direction override or isolate (U+202E)"},
      {"create_note", {{"title", huge}}, "keep it to 200 bytes"},
      {"create_note", {{"title", "New"}, {"folder", ".trash"}}, "hidden"},
      {"create_note", {{"title", "New"}, {"folder", huge}}, "no folder"},
      {"set_tags", {{"note", "Wiki"}, {"add", {std::string("a\0b", 3)}}}, "control character"},
      {"set_tags", {{"note", "Wiki"}, {"add", {"two words"}}}, "white space"},
      {"set_tags", {{"note", "Wiki"}, {"add", {huge}}}, "keep it to 100 bytes"},
      {"read_note", {{"note", huge}}, "No note 'xxx"},
      {"get_backlinks", {{"note", "/" + huge}}, "is absolute"},
      {"edit_note",
       {{"note", "Wiki"}, {"version", "v"}, {"ops", {{{"op", "delete"}, {"ref", huge}}}}},
       "not a ref"},
      {"edit_note", {{"note", "Wiki"}, {"version", "v"}, {"ops", {{{"op", huge}}}}}, "use replace"},
      {"append_to_daily_note", {{"markdown", "x"}, {"date", huge}}, "not a real date"},
      {huge.c_str(), Json::object(), "Unknown tool"},
      {"read_note", {{"note", "Wiki"}, {"space", huge}}, "No space"},
  };
  for (const Case& c : CASES) {
    ToolResult result = call(c.tool, c.arguments);
    EXPECT_TRUE(result.is_error);
    EXPECT_NE(result.text.find(c.expected), std::string::npos) << result.text.substr(0, 300);
    EXPECT_LT(result.text.size(), 600u) << c.tool;
  }
  EXPECT_EQ(file("Wiki.md"), "See [[Target]].\n");
  EXPECT_FALSE(fs::exists(root_ / "New.md"));
  // A title typed decomposed names its file composed.
  Json made = Json::parse(call("create_note", {{"title", SEOUL_NFD}}).text);
  EXPECT_EQ(made["path"], SEOUL_NFC);
  EXPECT_TRUE(fs::exists(root_ / (SEOUL_NFC + ".md")));
  EXPECT_EQ(Json::parse(call("read_note", {{"note", SEOUL_NFD}}).text)["path"], SEOUL_NFC);
}

}  // namespace
}  // namespace kestil::folder
