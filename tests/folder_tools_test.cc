#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools.h"

namespace kestil::folder {
namespace {

namespace fs = std::filesystem;

// A tiny space in a fresh temporary folder, with a folder outside it that links point to.
class FolderTools : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestil-folder-test-XXXXXX";
    base_ = mkdtemp(pattern);
    root_ = base_ / "space";
    write("Projects/Plan.md",
          "---\nid: aaaaaaaaaaaa\ndescription: Roadmap for q3\ntags: planning, q3\n---\n"
          "# Plan\n\nShip the folder app by Friday.\n\n- [ ] write tests\n- [x] draft design\n\n"
          "See [Ideas](kestil://note/bbbbbbbbbbbb).\n");
    write("Archive/Plan.md", "---\ntags:\n  - planning\n---\nOld plan.\n");
    write("Ideas.md",
          "---\nid: bbbbbbbbbbbb\n---\nRandom ideas about #gardening and search.\n\n"
          "The folder app needs a demo.\n");
    write("Journal/기록.md", "기록 습관을 만들자.\n\n매일 기록하기.\n");
    write("Daily/2026-03-09.md", "Met with Ana.\n");
    write("Journal/Code.md", "Intro.\n\n```\ncode #notatag\n\nmore\n```\n\nAfter.\n");
    write(".hidden/Secret.md", "secret\n");
    std::string long_body;
    for (int i = 1; i <= 300; ++i)
      long_body += "Paragraph " + std::to_string(i) + " of filler.\n\n";
    write("Long.md", long_body);
    fs::create_directories(base_ / "outside");
    std::ofstream(base_ / "outside/Secret.md") << "secret\n";
    fs::create_directory_symlink(base_ / "outside", root_ / "Link");
    fs::create_symlink(base_ / "outside/Secret.md", root_ / "Escape.md");
    // Plan is the newest note.
    auto now = fs::file_time_type::clock::now();
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      if (!entry.is_symlink()) fs::last_write_time(entry.path(), now - std::chrono::hours(1));
    }
    fs::last_write_time(root_ / "Projects/Plan.md", now);
    spaces_ = std::get<std::vector<Space>>(open_spaces({root_.string()}));
  }

  void TearDown() override { fs::remove_all(base_); }

  void write(const std::string& path, const std::string& text) {
    fs::create_directories((root_ / path).parent_path());
    std::ofstream(root_ / path) << text;
  }

  std::string file(const std::string& path) {
    std::ifstream in(root_ / path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  ToolResult call(const std::string& tool, const std::string& arguments) {
    return call_tool(spaces_, tool, Json::parse(arguments));
  }

  // Calls a tool that must succeed and returns its result object.
  Json ok(const std::string& tool, const std::string& arguments) {
    ToolResult result = call(tool, arguments);
    EXPECT_FALSE(result.is_error) << tool << " " << arguments << ": " << result.text;
    return result.is_error ? Json::object() : Json::parse(result.text);
  }

  fs::path base_;
  fs::path root_;
  std::vector<Space> spaces_;
};

struct Case {
  const char* tool;
  const char* arguments;
  const char* expected;          // in the result text
  const char* absent = nullptr;  // not in the result text
};

TEST_F(FolderTools, ReadToolsAnswerFromTheFiles) {
  const Case cases[] = {
      {"list_spaces", "{}", R"({"open":"space","spaces":[{"name":"space","open":true}]})"},
      {"search_notes", R"({"query":"ship FOLDER"})", R"("snippet":"# Plan Ship the folder app)"},
      // Titles first: both Plans match in the title as often, and Projects/Plan is newer.
      {"search_notes", R"({"query":"plan"})", R"("title":"Plan"},{"folder":"Archive")",
       R"("path":"Ideas")"},
      {"search_notes", R"({"query":"\"기록 습관\""})", R"("path":"Journal/기록")"},
      {"search_notes", R"({"query":"습관"})", R"("total":1)"},
      {"search_notes", R"({"query":"관"})", R"("total":0)"},
      {"search_notes", R"({"query":"\"습관 기록\""})", R"("total":0)"},
      {"search_notes", R"({"query":"app demo"})", R"("path":"Ideas")", "Projects"},
      {"search_notes", R"({"query":"secret"})", R"("total":0)"},
      {"read_note", R"({"note":"aaaaaaaaaaaa"})",
       R"("markdown":"<!-- b1~4a177d -->\n# Plan\n\n<!-- b2~)"},
      {"read_note", R"({"note":"Projects/Plan"})", R"("description":"Roadmap for q3")"},
      // A fenced block is one block, blank lines and all, and holds no tags.
      {"read_note", R"({"note":"Journal/Code"})", R"(more\n```\n\n<!-- b3~)", "b4~"},
      {"list_tags", R"({"query":"nota"})", R"({"tags":[]})"},
      {"read_note", R"({"note":"Long","max_chars":1000})", R"("next_cursor":)"},
      {"read_note", R"({"note":"Long","cursor":299})", R"(Paragraph 300 of filler.\n")",
       "next_cursor"},
      {"get_backlinks", R"({"note":"Ideas"})", R"("path":"Projects/Plan")"},
      {"list_tags", "{}", R"([{"notes":2,"tag":"planning"},)"},
      {"list_tags", R"({"query":"#gard"})", R"({"tags":[{"notes":1,"tag":"gardening"}]})"},
      {"notes_with_tag", R"({"tag":"#Gardening"})", R"("path":"Ideas")", "Plan"},
      {"list_tasks", "{}", R"("ref":"b3~)", "draft design"},
      {"list_tasks", R"({"include_done":true,"folder":"Projects"})", "draft design"},
      {"list_folder", "{}",
       R"({"entries":[{"kind":"section","name":"Archive","path":"Archive"},)"
       R"({"kind":"daily","name":"Daily","path":"Daily"},)"},
      {"list_folder", R"({"limit":2,"cursor":3})", R"("kind":"section","name":"Projects")"},
      {"list_folder", R"({"limit":2,"cursor":3})", R"("kind":"note","modified":)"},
      {"list_folder", R"({"limit":2,"cursor":3})", R"("next_cursor":5)"},
      {"list_folder", R"({"folder":"Projects"})", R"("id":"aaaaaaaaaaaa","kind":"note")"},
      {"list_recent", R"({"limit":1})", R"({"notes":[{"folder":"Projects","id":"aaaaaaaaaaaa")"},
      {"get_context", "{}", R"("selection":null,"space":"space")"},
  };
  for (const Case& c : cases) {
    ToolResult result = call(c.tool, c.arguments);
    EXPECT_FALSE(result.is_error) << c.tool << " " << c.arguments << ": " << result.text;
    EXPECT_NE(result.text.find(c.expected), std::string::npos)
        << c.tool << " " << c.arguments << ": " << result.text;
    if (c.absent) {
      EXPECT_EQ(result.text.find(c.absent), std::string::npos)
          << c.tool << " " << c.arguments << ": " << result.text;
    }
  }
}

TEST_F(FolderTools, BadArgumentsSayWhatToFix) {
  std::string seventeen = "a b c d e f g h i j k l m n o p q";
  const Case cases[] = {
      {"no_such_tool", "{}", "Unknown tool 'no_such_tool'"},
      {"read_note", "[]", "arguments must be a JSON object"},
      {"read_note", "{}", "argument note is missing"},
      {"read_note", R"({"note":5})", "note must be a string"},
      {"read_note", R"({"note":"Nope"})", "No note 'Nope'"},
      {"read_note", R"({"note":"Plan"})", "names 2 notes (Archive/Plan, Projects/Plan)"},
      {"read_note", R"({"note":"Ideas","max_chars":999})", "max_chars must be at least 1000"},
      {"read_note", R"({"note":"Ideas","cursor":3})", "cursor 3 is past"},
      {"read_note", R"({"note":"Ideas","space":"other"})", "No space 'other'"},
      {"search_notes", R"({"query":"a b c d e f g h i j k l m n o p q"})",
       "17 words; use at most 16"},
      {"search_notes", R"({"query":"\"a b c d e f g h i j k l m n o\" p q"})", "17 words"},
      {"search_notes", R"({"query":"x-y.z/a b c d e f g h i j k l m n"})", "17 words"},
      {"search_notes", R"({"query":" ?! "})", "no words"},
      {"list_recent", R"({"limit":0})", "limit must be at least 1"},
      {"list_recent", R"({"limit":1.5})", "limit must be a whole number"},
      {"list_tasks", R"({"include_done":"yes"})", "include_done must be true or false"},
      {"append_to_daily_note", R"({"markdown":"x","date":"2026-02-29"})", "not a real date"},
      {"append_to_daily_note", R"({"markdown":"x","date":"2026-2-03"})", "not a real date"},
      {"append_to_daily_note", R"({"markdown":"x","date":"2026-13-01"})", "not a real date"},
      {"edit_note", R"({"note":"Ideas","version":"v"})", "ops must be a non-empty array"},
      {"edit_note", R"({"note":"Ideas","version":"v","ops":[{"op":"move","ref":"b1~000000"}]})",
       "use replace, insert_after, delete or append"},
      {"edit_note", R"({"note":"Ideas","version":"v","ops":[{"op":"delete","ref":"1~abc"}]})",
       "not a ref like b3~1a2b3c"},
      {"edit_note", R"({"note":"Ideas","version":"v","ops":[{"op":"delete"}]})", "needs ref"},
      {"create_note", R"({"title":"a/b"})", "cannot be a file name"},
      {"create_note", R"({"title":"Ideas"})", "note 'Ideas' already exists"},
      {"create_note", R"({"title":"New","folder":"Nowhere"})", "no folder 'Nowhere'"},
      {"set_tags", R"({"note":"Ideas","add":["a,b"]})", "holds a comma"},
      {"set_note_info", R"({"note":"Ideas"})", "Give description or style"},
  };
  for (const Case& c : cases) {
    ToolResult result = call(c.tool, c.arguments);
    EXPECT_TRUE(result.is_error) << c.tool << " " << c.arguments << ": " << result.text;
    EXPECT_NE(result.text.find(c.expected), std::string::npos)
        << c.tool << " " << c.arguments << ": " << result.text;
  }
  // The nearest accepted neighbours: 16 words, a repeated word counted once, a leap day.
  EXPECT_FALSE(call("search_notes", R"({"query":"a b c d e f g h i j k l m n o p a a"})").is_error);
  EXPECT_FALSE(call("read_note", R"({"note":"Ideas","max_chars":1000})").is_error);
  EXPECT_FALSE(call("append_to_daily_note", R"({"markdown":"x","date":"2024-02-29"})").is_error);
}

TEST_F(FolderTools, PathsStayInsideTheSpace) {
  const Case cases[] = {
      {"read_note", R"({"note":"../outside/Secret"})", "'.' or '..' part"},
      {"read_note", R"({"note":"Projects/../../outside/Secret"})", "'.' or '..' part"},
      {"read_note", R"({"note":"/etc/hostname"})", "is absolute"},
      {"read_note", R"({"note":"Link/Secret"})", "leads outside the space"},
      {"read_note", R"({"note":"Escape"})", "leads outside the space"},
      {"list_folder", R"({"folder":"Link"})", "leads outside the space"},
      {"list_folder", R"({"folder":".."})", "'.' or '..' part"},
      {"create_note", R"({"title":"New","folder":"Link"})", "leads outside the space"},
      {"create_note", R"({"title":"..","folder":"Projects"})", "cannot be a file name"},
      {"append_to_note", R"({"note":"Link/Secret","markdown":"x"})", "leads outside the space"},
  };
  for (const Case& c : cases) {
    ToolResult result = call(c.tool, c.arguments);
    EXPECT_TRUE(result.is_error) << c.tool << " " << c.arguments << ": " << result.text;
    EXPECT_NE(result.text.find(c.expected), std::string::npos)
        << c.tool << " " << c.arguments << ": " << result.text;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(base_ / "outside"), fs::directory_iterator()), 1);
  EXPECT_EQ(file("../outside/Secret.md"), "secret\n");
}

TEST_F(FolderTools, EditAppliesAllOpsOrNone) {
  Json read = ok("read_note", R"({"note":"Projects/Plan"})");
  std::string before = file("Projects/Plan.md");
  // b2 is "Ship the folder app by Friday."; the second op names a block that does not exist.
  std::string markdown = read["markdown"];
  std::string b2 = markdown.substr(markdown.find("b2~"), 9);
  std::string b3 = markdown.substr(markdown.find("b3~"), 9);
  std::string version = read["version"];
  Json ops = Json::array({{{"op", "replace"}, {"ref", b2}, {"markdown", "Ship it."}},
                          {{"op", "delete"}, {"ref", "b9~000000"}}});
  ToolResult stale = call_tool(spaces_, "edit_note",
                               {{"note", "aaaaaaaaaaaa"}, {"version", version}, {"ops", ops}});
  EXPECT_TRUE(stale.is_error);
  EXPECT_EQ(stale.text.rfind("stale_ref", 0), 0u) << stale.text;
  EXPECT_NE(stale.text.find("b9~000000"), std::string::npos);
  EXPECT_EQ(file("Projects/Plan.md"), before);

  ops = Json::array({{{"op", "replace"}, {"ref", b2}, {"markdown", "Ship it. #launch"}},
                     {{"op", "delete"}, {"ref", b3}},
                     {{"op", "insert_after"}, {"ref", "start"}, {"markdown", "Intro."}},
                     {{"op", "append"}, {"markdown", "<!-- b7~123456 -->\nThe end."}}});
  ToolResult edited = call_tool(spaces_, "edit_note",
                                {{"note", "Projects/Plan"}, {"version", version}, {"ops", ops}});
  ASSERT_FALSE(edited.is_error) << edited.text;
  EXPECT_NE(edited.text.find(R"("changed_since_read":false)"), std::string::npos);
  EXPECT_EQ(file("Projects/Plan.md"),
            "---\nid: aaaaaaaaaaaa\ndescription: Roadmap for q3\ntags: planning, q3, launch\n---\n"
            "Intro.\n\n# Plan\n\nShip it. #launch\n\n"
            "See [Ideas](kestil://note/bbbbbbbbbbbb).\n\nThe end.\n");

  // A note without blocks still takes the ops that need none.
  Json empty = ok("create_note", R"({"title":"Empty"})");
  ops = Json::array({{{"op", "append"}, {"markdown", "Hello."}}});
  ok("edit_note", to_compact({{"note", "Empty"}, {"version", empty["version"]}, {"ops", ops}}));
  EXPECT_EQ(file("Empty.md"), "---\nid: " + empty["id"].get<std::string>() + "\n---\nHello.\n");
}

TEST_F(FolderTools, RefsFollowTheirBlockOrGoStale) {
  Json read = ok("read_note", R"({"note":"Ideas"})");
  std::string markdown = read["markdown"];
  std::string b1 = markdown.substr(markdown.find("b1~"), 9);
  std::string b2 = markdown.substr(markdown.find("b2~"), 9);
  // The person adds a block on top and rewrites the first one in an editor meanwhile.
  write("Ideas.md",
        "---\nid: bbbbbbbbbbbb\n---\nNew top.\n\nRandom ideas, changed.\n\n"
        "The folder app needs a demo.\n");
  Json ops = Json::array({{{"op", "replace"}, {"ref", b2}, {"markdown", "A demo."}}});
  Json edited =
      ok("edit_note", to_compact({{"note", "Ideas"}, {"version", read["version"]}, {"ops", ops}}));
  EXPECT_EQ(edited["changed_since_read"], true);
  EXPECT_EQ(file("Ideas.md"),
            "---\nid: bbbbbbbbbbbb\n---\nNew top.\n\nRandom ideas, changed.\n\nA demo.\n");

  ops = Json::array({{{"op", "delete"}, {"ref", b1}}});
  ToolResult stale = call_tool(spaces_, "edit_note",
                               {{"note", "Ideas"}, {"version", read["version"]}, {"ops", ops}});
  EXPECT_TRUE(stale.is_error);
  EXPECT_EQ(stale.text.rfind("stale_ref: the block " + b1, 0), 0u) << stale.text;
}

TEST_F(FolderTools, WritesKeepIdsAndReportChanges) {
  // A note without an id reads with one, and its first write stores that same id.
  Json first = ok("read_note", R"({"note":"기록"})");
  std::string id = first["id"];
  EXPECT_EQ(file("Journal/기록.md"), "기록 습관을 만들자.\n\n매일 기록하기.\n");
  Json appended =
      ok("append_to_note",
         to_compact({{"note", "기록"}, {"markdown", "Later."}, {"version", first["version"]}}));
  EXPECT_EQ(appended["changed_since_read"], false);
  EXPECT_EQ(file("Journal/기록.md"),
            "---\nid: " + id + "\n---\n기록 습관을 만들자.\n\n매일 기록하기.\n\nLater.\n");
  EXPECT_EQ(ok("read_note", R"({"note":"Journal/기록"})")["id"], id);
  appended = ok("append_to_note",
                to_compact({{"note", id}, {"markdown", "Again."}, {"version", first["version"]}}));
  EXPECT_EQ(appended["changed_since_read"], true);

  Json daily = ok("append_to_daily_note", R"({"markdown":"Call Bo.","date":"2026-03-10"})");
  EXPECT_EQ(daily["created"], true);
  EXPECT_EQ(file("Daily/2026-03-10.md"),
            "---\nid: " + daily["id"].get<std::string>() + "\n---\nCall Bo.\n");
  daily = ok("append_to_daily_note", R"({"markdown":"Lunch.","date":"2026-03-09"})");
  EXPECT_EQ(daily["created"], false);
  EXPECT_NE(file("Daily/2026-03-09.md").find("Met with Ana.\n\nLunch.\n"), std::string::npos);
}

TEST_F(FolderTools, NoteInfoTagsAndCopies) {
  struct Write {
    const char* tool;
    const char* arguments;
    const char* expected;  // in the result
    const char* path;      // the file it wrote
    const char* content;   // in that file
  };
  const Write writes[] = {
      {"create_note",
       R"({"title":"Trip","folder":"Projects","markdown":"Pack #travel\n","tags":["#q4"],)"
       R"("description":"Summer","style":{"width":"wide","icon":null}})",
       R"("path":"Projects/Trip")", "Projects/Trip.md",
       "description: Summer\ntags: q4, travel\nstyle: {\"width\":\"wide\"}\n---\nPack #travel\n"},
      {"duplicate_note", R"({"note":"Projects/Plan"})", R"("path":"Projects/Plan copy")",
       "Projects/Plan copy.md", "description: Roadmap for q3\ntags: planning, q3\n---\n# Plan\n"},
      {"duplicate_note", R"({"note":"Projects/Plan","description":"B"})",
       R"("path":"Projects/Plan copy 2")", "Projects/Plan copy 2.md", "description: B\n"},
      {"set_note_info", R"({"note":"Ideas","style":{"width":"wide","visible":{"header":true}}})",
       R"("style":{"visible":{"header":true},"width":"wide"})", "Ideas.md", "width"},
      {"set_note_info",
       R"({"note":"Ideas","description":"Sub","style":{"width":null,"visible":{"cover":false}}})",
       R"("style":{"visible":{"cover":false,"header":true}})", "Ideas.md",
       "description: Sub\nstyle: {\"visible\":{\"cover\":false,\"header\":true}}\n"},
      {"set_tags", R"({"note":"Projects/Plan","add":["#Ops","ops"],"remove":["Q3"]})",
       R"("tags":["planning","Ops"])", "Projects/Plan.md", "tags: planning, Ops\n"},
  };
  for (const Write& w : writes) {
    ToolResult result = call(w.tool, w.arguments);
    EXPECT_FALSE(result.is_error) << w.tool << ": " << result.text;
    EXPECT_NE(result.text.find(w.expected), std::string::npos) << w.tool << ": " << result.text;
    EXPECT_NE(file(w.path).find(w.content), std::string::npos) << w.tool << ": " << file(w.path);
  }
  EXPECT_NE(ok("read_note", R"({"note":"Projects/Plan copy"})")["id"], "aaaaaaaaaaaa");
}

TEST_F(FolderTools, CrashBeforeRenameLeavesTheOldNote) {
  std::string before = file("Projects/Plan.md");
  bool reached = false;
  ToolResult crashed =
      call_tool(spaces_, "append_to_note", {{"note", "Projects/Plan"}, {"markdown", "Lost."}}, [&] {
        reached = true;
        return false;
      });
  EXPECT_TRUE(reached);
  EXPECT_TRUE(crashed.is_error);
  EXPECT_EQ(file("Projects/Plan.md"), before);
  // The temporary file a crash leaves behind is never taken for a note.
  EXPECT_EQ(ok("list_folder", R"({"folder":"Projects"})")["entries"].size(), 1u);
  EXPECT_FALSE(call("append_to_note", R"({"note":"Projects/Plan","markdown":"Kept."})").is_error);
  EXPECT_NE(file("Projects/Plan.md").find("Kept.\n"), std::string::npos);
}

}  // namespace
}  // namespace kestil::folder
