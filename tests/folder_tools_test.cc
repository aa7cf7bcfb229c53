#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

#include <filesystem>
#include <fstream>

#include "tools.h"

namespace kestil::folder {
namespace {

namespace fs = std::filesystem;

// Projects/Plan is the newest note; 기록 has no id yet; Code holds a fenced block.
const std::pair<const char*, const char*> SPACE[] = {
    {"Projects/Plan.md",
     "---\nid: aaaaaaaaaaaa\ndescription: Roadmap for q3\ntags: planning, q3\n---\n# Plan\n\n"
     "Ship the folder app by Friday.\n\n- [ ] write tests\n- [x] draft design\n\n"
     "See [Ideas](kestil://note/bbbbbbbbbbbb).\n"},
    {"Archive/Plan.md", "---\ntags:\n  - planning\n---\nOld plan.\n"},
    {"Ideas.md",
     "---\nid: bbbbbbbbbbbb\n---\nRandom ideas about #gardening and search.\n\n"
     "The folder app needs a demo.\n"},
    {"Journal/기록.md", "기록 습관을 만들자.\n\n매일 기록하기.\n"},
    {"Daily/2026-03-09.md", "Met with Ana.\n"},
    {"Journal/Code.md", "Intro.\n\n```\ncode #notatag\n\nmore\n```\n\nAfter.\n"},
    {".hidden/Secret.md", "secret\n"},
};

// A tiny space in a fresh temporary folder, with a folder outside it that links point to.
class FolderTools : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestil-folder-test-XXXXXX";
    base_ = mkdtemp(pattern);
    root_ = base_ / "space";
    for (const auto& [path, text] : SPACE) write(path, text);
    std::string long_body;
    for (int i = 1; i <= 300; ++i) long_body += "Paragraph " + std::to_string(i) + ".\n\n";
    write("Long.md", long_body);
    write("../outside/Secret.md", "secret\n");
    fs::create_directory_symlink(base_ / "outside", root_ / "Link");
    fs::create_symlink(base_ / "outside/Secret.md", root_ / "Escape.md");
    fs::last_write_time(root_ / "Projects/Plan.md",
                        fs::file_time_type::clock::now() + std::chrono::hours(1));
    spaces_ = std::get<std::vector<Space>>(open_spaces({root_.string()}));
  }

  void TearDown() override { fs::remove_all(base_); }

  void write(const std::string& path, const std::string& text) {
    fs::create_directories((root_ / path).parent_path());
    std::ofstream(root_ / path) << text;
  }

  std::string file(const std::string& path) {
    std::ifstream in(root_ / path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  ToolResult call(const std::string& tool, const Json& arguments) {
    return call_tool(spaces_, tool,
                     arguments.is_string() ? Json::parse(arguments.get<std::string>()) : arguments);
  }

  // Calls a tool that must succeed and returns its result object.
  Json ok(const std::string& tool, const Json& arguments) {
    ToolResult result = call(tool, arguments);
    EXPECT_FALSE(result.is_error) << tool << " " << arguments << ": " << result.text;
    return result.is_error ? Json::object() : Json::parse(result.text);
  }

  // The ref of the block that read_note's `markdown` shows as number `n`.
  static std::string ref(const Json& read, int n) {
    std::string markdown = read["markdown"];
    std::string start = "b";  // not "b" + ...: GCC 12 warns falsely about that at -O2
    start += std::to_string(n);
    start += '~';
    return markdown.substr(markdown.find(start), 9);
  }

  fs::path base_, root_;
  std::vector<Space> spaces_;
};

struct Case {
  const char* tool;
  const char* arguments;
  const char* expected;           // in the result text
  const char* absent = nullptr;   // not in the result text
  const char* file = nullptr;     // for a write, the file it wrote
  const char* content = nullptr;  // in that file
};

// Each row runs on what the rows before it wrote.
TEST_F(FolderTools, ToolsAnswerFromTheFilesAndWriteThem) {
  const Case cases[] = {
      {"search_notes", R"({"query":"ship FOLDER"})", R"("snippet":"# Plan Ship the folder app)"},
      // Titles first: both Plans match in the title as often, and Projects/Plan is newer.
      {"search_notes", R"({"query":"plan"})", R"("title":"Plan"},{"folder":"Archive")",
       R"("path":"Ideas")"},
      {"search_notes", R"({"query":"\"기록 습관\""})", R"("path":"Journal/기록")"},
      {"search_notes", R"({"query":"관"})", R"("total":0)"},
      {"search_notes", R"({"query":"\"습관 기록\""})", R"("total":0)"},
      {"search_notes", R"({"query":"app demo"})", R"("path":"Ideas")", "Projects"},
      {"search_notes", R"({"query":"secret"})", R"("total":0)"},
      {"read_note", R"({"note":"aaaaaaaaaaaa"})",
       R"("markdown":"<!-- b1~4a177d -->\n# Plan\n\n<!-- b2~)"},
      // A fenced block is one block, blank lines and all, and holds no tags.
      {"read_note", R"({"note":"Journal/Code"})", R"(more\n```\n\n<!-- b3~)", "b4~"},
      {"read_note", R"({"note":"Long","max_chars":1000})", R"("next_cursor":)"},
      {"read_note", R"({"note":"Long","cursor":299})", R"(Paragraph 300.\n")", "next_cursor"},
      {"get_backlinks", R"({"note":"Ideas"})", R"("path":"Projects/Plan")"},
      {"list_tags", "{}", R"([{"notes":2,"tag":"planning"},)", "notatag"},
      {"notes_with_tag", R"({"tag":"#Gardening"})", R"("path":"Ideas")", "Plan"},
      {"list_tasks", "{}", R"("ref":"b3~)", "draft design"},
      {"list_tasks", R"({"include_done":true,"folder":"Projects"})", "draft design"},
      {"list_folder", "{}", R"({"kind":"daily","name":"Daily","path":"Daily"},)"},
      {"list_folder", R"({"limit":2,"cursor":3})",
       R"("name":"Projects","path":"Projects"},{"folder":"","id":"bbbbbbbbbbbb","kind":"note")"},
      {"list_recent", R"({"limit":1})", R"({"notes":[{"folder":"Projects","id":"aaaaaaaaaaaa")"},
      // The nearest accepted neighbours of failures: 16 words (a repeated one counts once) and a
      // leap day; max_chars 1000 is above.
      {"search_notes", R"({"query":"a b c d e f g h i j k l m n o p a a"})", R"("total":0)"},
      {"append_to_daily_note", R"({"markdown":"x","date":"2024-02-29"})", R"("created":true)"},
      // 기록 has no id: it reads with one derived from its path, and no write adds one.
      {"read_note", R"({"note":"기록"})", R"("id":"ba282fb0789c")"},
      {"append_to_note", R"({"note":"기록","markdown":"Later.","version":"6b46302185396492"})",
       R"("changed_since_read":false)", nullptr, "Journal/기록.md",
       "기록 습관을 만들자.\n\n매일 기록하기.\n\nLater.\n"},
      {"append_to_note",
       R"({"note":"ba282fb0789c","markdown":"Again.","version":"6b46302185396492"})",
       R"("changed_since_read":true)"},
      {"create_note",
       R"({"title":"Trip","folder":"Projects","markdown":"Pack #travel\n","tags":["#q4"],)"
       R"("description":"Summer","style":{"width":"wide","icon":null}})",
       R"("path":"Projects/Trip")", nullptr, "Projects/Trip.md",
       "description: Summer\ntags: q4, travel\nstyle: {\"width\":\"wide\"}\n---\nPack #travel\n"},
      {"set_tags", R"({"note":"Projects/Plan","add":["#Ops","ops"],"remove":["Q3"]})",
       R"("tags":["planning","Ops"])", nullptr, "Projects/Plan.md", "tags: planning, Ops\n"},
      {"append_to_daily_note", R"({"markdown":"Call Bo. #x","date":"2026-03-10"})",
       R"("created":true)", nullptr, "Daily/2026-03-10.md", "tags: x\n---\nCall Bo. #x\n"},
      {"append_to_daily_note", R"({"markdown":"Lunch.","date":"2026-03-09"})", R"("created":false)",
       nullptr, "Daily/2026-03-09.md", "Met with Ana.\n\nLunch.\n"},
      // A copy is a note of its own: its id is not the original's.
      {"duplicate_note", R"({"note":"Ideas"})", R"("path":"Ideas copy")", "bbbbbbbbbbbb",
       "Ideas copy.md", "---\n---\nRandom ideas"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.arguments);
    ToolResult result = call(c.tool, c.arguments);
    EXPECT_FALSE(result.is_error) << result.text;
    EXPECT_NE(result.text.find(c.expected), std::string::npos) << result.text;
    EXPECT_EQ(c.absent ? result.text.find(c.absent) : std::string::npos, std::string::npos)
        << result.text;
    EXPECT_NE(c.file ? file(c.file).find(c.content) : 0, std::string::npos) << c.content;
  }
}

TEST_F(FolderTools, FailuresSayWhatToFixAndPathsStayInsideTheSpace) {
  const Case cases[] = {
      {"no_such_tool", "{}", "Unknown tool 'no_such_tool'"},
      {"read_note", "{}", "argument note is missing"},
      {"read_note", R"({"note":"Nope"})", "No note 'Nope'"},
      {"read_note", R"({"note":"Plan"})", "names 2 notes (Archive/Plan, Projects/Plan)"},
      {"read_note", R"({"note":"Ideas","max_chars":999})", "max_chars must be at least 1000"},
      {"read_note", R"({"note":"Ideas","cursor":3})", "cursor 3 is past"},
      {"search_notes", R"({"query":"a b c d e f g h i j k l m n o p q"})", "use at most 16"},
      {"search_notes", R"({"query":" ?! "})", "no words"},
      {"list_recent", R"({"limit":0})", "limit must be at least 1"},
      {"append_to_daily_note", R"({"markdown":"x","date":"2026-02-29"})", "not a real date"},
      {"edit_note", R"({"note":"Ideas","version":"v"})", "ops must be a non-empty array"},
      {"edit_note", R"({"note":"Long","version":"v","ops":[{"op":"move"}]})", "use replace"},
      {"edit_note", R"({"note":"Ideas","version":"v","ops":[{"op":"delete","ref":"1~a"}]})",
       "not a ref"},
      {"create_note", R"({"title":"Ideas"})", "note 'Ideas' already exists"},
      {"create_note", R"({"title":"New","folder":"Nowhere"})", "no folder 'Nowhere'"},
      {"set_tags", R"({"note":"Ideas","add":["a,b"]})", "holds a comma"},
      {"set_note_info", R"({"note":"Ideas"})", "Give description or style"},
      {"read_note", R"({"note":"../outside/Secret"})", "'.' or '..' part"},
      {"read_note", R"({"note":"/etc/hostname"})", "is absolute"},
      {"read_note", R"({"note":"Escape"})", "leads outside the space"},
      {"list_folder", R"({"folder":"Link"})", "leads outside the space"},
      {"create_note", R"({"title":"New","folder":"Link"})", "leads outside the space"},
      {"create_note", R"({"title":"..","folder":"Projects"})", "cannot be a file name"},
      {"append_to_note", R"({"note":"Link/Secret","markdown":"x"})", "leads outside the space"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.arguments);
    ToolResult result = call(c.tool, c.arguments);
    EXPECT_TRUE(result.is_error) << result.text;
    EXPECT_NE(result.text.find(c.expected), std::string::npos) << result.text;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(base_ / "outside"), fs::directory_iterator()), 1);
  EXPECT_EQ(file("../outside/Secret.md"), "secret\n");
}

TEST_F(FolderTools, EditsApplyAllOpsOrNoneAndRefsFollowTheirBlocks) {
  Json read = ok("read_note", R"({"note":"Projects/Plan"})");
  // b2 is "Ship the folder app by Friday."; the second op names a block that does not exist.
  Json ops = Json::array({{{"op", "replace"}, {"ref", ref(read, 2)}, {"markdown", "Ship it."}},
                          {{"op", "delete"}, {"ref", "b9~000000"}}});
  ToolResult stale =
      call("edit_note", {{"note", "aaaaaaaaaaaa"}, {"version", read["version"]}, {"ops", ops}});
  EXPECT_EQ(stale.text.rfind("stale_ref: the block b9~000000", 0), 0u) << stale.text;
  EXPECT_EQ(file("Projects/Plan.md"), SPACE[0].second);

  ops = Json::array({{{"op", "replace"}, {"ref", ref(read, 2)}, {"markdown", "Ship it. #launch"}},
                     {{"op", "delete"}, {"ref", ref(read, 3)}},
                     {{"op", "insert_after"}, {"ref", "start"}, {"markdown", "Intro."}},
                     {{"op", "append"}, {"markdown", "<!-- b7~123456 -->\nThe end."}}});
  Json edited =
      ok("edit_note", {{"note", "Projects/Plan"}, {"version", read["version"]}, {"ops", ops}});
  EXPECT_EQ(edited["changed_since_read"], false);
  EXPECT_EQ(file("Projects/Plan.md"),
            "---\nid: aaaaaaaaaaaa\ndescription: Roadmap for q3\ntags: planning, q3, launch\n---\n"
            "Intro.\n\n# Plan\n\nShip it. #launch\n\n"
            "See [Ideas](kestil://note/bbbbbbbbbbbb).\n\nThe end.\n");

  read = ok("read_note", R"({"note":"Ideas"})");
  // A ref follows its block when the person adds a block on top and rewrites the first one in an
  // editor meanwhile.
  write("Ideas.md",
        "---\nid: bbbbbbbbbbbb\n---\nNew top.\n\nRandom ideas, changed.\n\n"
        "The folder app needs a demo.\n");
  ops = Json::array({{{"op", "replace"}, {"ref", ref(read, 2)}, {"markdown", "A demo."}}});
  edited = ok("edit_note", {{"note", "Ideas"}, {"version", read["version"]}, {"ops", ops}});
  EXPECT_EQ(edited["changed_since_read"], true);
  EXPECT_EQ(file("Ideas.md"),
            "---\nid: bbbbbbbbbbbb\n---\nNew top.\n\nRandom ideas, changed.\n\nA demo.\n");
  ops = Json::array({{{"op", "delete"}, {"ref", ref(read, 1)}}});
  stale = call("edit_note", {{"note", "Ideas"}, {"version", read["version"]}, {"ops", ops}});
  EXPECT_EQ(stale.text.rfind("stale_ref: the block " + ref(read, 1), 0), 0u) << stale.text;
}

TEST_F(FolderTools, CrashBeforeRenameLeavesTheOldNote) {
  bool reached = false;  // the seam stops the write after the temporary file, before the rename
  auto crash = [&] { return !(reached = true); };
  ToolResult crashed = call_tool(spaces_, "append_to_note",
                                 {{"note", "Projects/Plan"}, {"markdown", "Lost."}}, crash);
  EXPECT_TRUE(reached && crashed.is_error);
  EXPECT_EQ(file("Projects/Plan.md"), SPACE[0].second);
  // The temporary file a crash leaves behind is never taken for a note.
  EXPECT_EQ(ok("list_folder", R"({"folder":"Projects"})")["entries"].size(), 1u);
}

// Every note is reached however deep it lies, and a name that is not UTF-8 is listed in a form
// every tool takes back.
TEST_F(FolderTools, EveryNoteIsReachableByItsListedName) {
  std::string deep = "Journal";
  for (int i = 0; i < 40; ++i) deep += "/d";
  write(deep + "/Deep.md", "abyssal\n");
  write("Journal/Caf\xe9.md", "latin one\n");
  write("Journal/Bytes\xff/50%\xfe.md", "latin two [[Caf%E9]]\n");
  write("Journal/Caf%E9.md.txt", "no note\n");
  const std::string deep_path = "\"path\":\"" + deep + "/Deep\"";
  const Case cases[] = {
      {"search_notes", R"({"query":"abyssal"})", deep_path.c_str()},
      {"list_folder", R"({"folder":"Journal"})",
       R"({"kind":"folder","name":"Bytes%FF","path":"Journal/Bytes%FF"},{"kind":"folder","name":"d")"},
      {"list_folder", R"({"folder":"Journal/Bytes%FF"})", R"("path":"Journal/Bytes%FF/50%25%FE")"},
      {"read_note", R"({"note":"Journal/Caf%E9"})",
       R"("markdown":"<!-- b1~075751 -->\nlatin one\n")"},
      {"read_note", R"({"note":"Journal/Bytes%FF/50%25%FE"})", "latin two"},
      {"search_notes", R"({"query":"latin"})", R"("path":"Journal/Bytes%FF/50%25%FE")"},
      {"get_backlinks", R"({"note":"Caf%E9"})", R"("path":"Journal/Bytes%FF/50%25%FE")"},
      {"append_to_note", R"({"note":"Journal/Caf%E9","markdown":"two"})",
       R"("path":"Journal/Caf%E9")", nullptr, "Journal/Caf\xe9.md", "latin one\n\ntwo\n"},
      {"create_note", R"({"folder":"Journal/Bytes%FF","title":"Caf%E9","markdown":"new"})",
       R"("path":"Journal/Bytes%FF/Caf%E9")", nullptr, "Journal/Bytes\xff/Caf%E9.md", "new\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.arguments);
    ToolResult result = call(c.tool, c.arguments);
    EXPECT_FALSE(result.is_error) << result.text;
    EXPECT_NE(result.text.find(c.expected), std::string::npos) << result.text;
    EXPECT_NE(c.file ? file(c.file).find(c.content) : 0, std::string::npos) << c.content;
  }
}

// A block longer than max_chars is cut inside, and the cursor reads on from the cut.
TEST_F(FolderTools, RepliesStayWithinMaxChars) {
  std::string e1000;
  for (int i = 0; i < 1000; ++i) e1000 += "\xc3\xa9";  // é: characters are counted, not bytes
  write("Big.md", e1000 + e1000 + e1000.substr(0, 1000) + "\n\nAfter.\n");
  write("Image.md", "![](data:image/png;base64," + std::string(1500000, 'A') + ")\n");
  const std::string head = "<!-- b1~7a9035";
  struct Read {
    const char* arguments;
    std::string markdown;
    int next_cursor;  // -1: none
  };
  const Read reads[] = {
      {R"({"note":"Big","max_chars":1000})",
       head + " -->\n" + e1000 + "\n" + head +
           " cut: 1500 more characters of this block; read on with cursor 1 -->\n",
       1},
      {R"({"note":"Big","max_chars":2100,"cursor":1})",
       head + " from character 1001 -->\n" + e1000 + e1000.substr(0, 1000) +
           "\n\n<!-- b2~c48e05 -->\nAfter.\n",
       -1},
      {R"({"note":"Big","cursor":3})", "<!-- b2~c48e05 -->\nAfter.\n", -1},
      {R"({"note":"Big","max_chars":3000})",
       head + " -->\n" + e1000 + e1000 + e1000.substr(0, 1000) + "\n\n<!-- b2~c48e05 -->\nAfter.\n",
       -1},
  };
  for (const Read& r : reads) {
    Json read = ok("read_note", r.arguments);
    std::string markdown = read.value("markdown", "");
    EXPECT_TRUE(markdown == r.markdown)
        << r.arguments << "\n"
        << markdown.substr(0, 40) << "…"
        << markdown.substr(markdown.size() - std::min<size_t>(markdown.size(), 140));
    EXPECT_EQ(read.value("next_cursor", -1), r.next_cursor) << r.arguments;
  }
  EXPECT_LT(call("read_note", R"({"note":"Image","max_chars":1000})").text.size(), 1500u);
  EXPECT_EQ(call("read_note", R"({"note":"Big","cursor":5})").text,
            "The cursor 5 is past the note's end (4); start again at 0.");
}

#ifdef __linux__
// While it lives, this thread reads files as a person's own account does, even as root.
class WithoutReadingRights {
 public:
  WithoutReadingRights() {
    if (syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    syscall(SYS_capset, &header_, reduced);
  }
  ~WithoutReadingRights() { syscall(SYS_capset, &header_, saved_); }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};
#endif

// A folder or note that cannot be read says so and why.
TEST_F(FolderTools, UnreadableFoldersAndNotesSaySo) {
#ifdef __linux__
  WithoutReadingRights as_a_person;
#else
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
#endif
  fs::permissions(root_ / "Journal", fs::perms::none);
  fs::permissions(root_ / "Ideas.md", fs::perms::none);
  EXPECT_EQ(call("list_folder", R"({"folder":"Journal"})").text,
            "The folder 'Journal' cannot be read (permission denied).");
  EXPECT_EQ(call("read_note", R"({"note":"Ideas"})").text,
            "The note 'Ideas' cannot be read (permission denied).");
  fs::permissions(root_ / "Journal", fs::perms::owner_all);
}

}  // namespace
}  // namespace kestil::folder
