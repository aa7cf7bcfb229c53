// The change journal: what undo does to a note for each write tool and each way the note may
// have changed since, whole files compared byte for byte; the crash rule; retention; and the
// log, show and undo verbs of the real binary, bad input included.
#include "journal.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tools.h"
#include "undo.h"

namespace kestil::folder {
namespace {

namespace fs = std::filesystem;

const std::string PLAN =
    "---\ntags: [a]\n---\n# Plan\n\nPara one.\n\nPara two.\n\nPara three.\n\nPara four.\n";
const std::string DAY = "# Day\n\nMorning.\n\nNoon.\n\nEvening.\n";

class JournalTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestil-journal-test-XXXXXX";
    base_ = mkdtemp(pattern);
    fs::create_directories(base_ / "Notes" / "Daily");
    fs::create_directories(base_ / "config");
    write("Plan.md", PLAN);
    write("Daily/2026-01-02.md", DAY);
    spaces_ = std::get<std::vector<Space>>(open_spaces({(base_ / "Notes").string()}));
    journal_ = open_journal(JournalLimits{});
    spaces_[0].journal = journal_;
  }
  void TearDown() override { fs::remove_all(base_); }

  std::shared_ptr<Journal> open_journal(std::optional<JournalLimits> limits) {
    auto opened = Journal::open(config(), limits);
    EXPECT_TRUE(std::holds_alternative<std::unique_ptr<Journal>>(opened));
    return std::move(std::get<std::unique_ptr<Journal>>(opened));
  }
  std::string config() const { return (base_ / "config").string(); }
  void write(const std::string& path, const std::string& text) {
    std::ofstream(base_ / "Notes" / path, std::ios::binary) << text;
  }
  std::optional<std::string> file(const fs::path& path) {
    if (!fs::exists(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::optional<std::string> note(const std::string& path) { return file(base_ / "Notes" / path); }
  ToolResult call(const std::string& tool, Json arguments) {
    if (tool == "edit_note") {
      // The ref of "Para three." as read_note shows it.
      Json read = Json::parse(call_tool(spaces_, "read_note", {{"note", "Plan"}}).text);
      std::string markdown = read["markdown"];
      size_t at = markdown.rfind("<!-- b", markdown.find("Para three."));
      arguments["version"] = read["version"];
      arguments["ops"][0]["ref"] = markdown.substr(at + 5, 9);
    }
    return call_tool(spaces_, tool, arguments);
  }
  // Runs kestil-folder with `args`; its exit status, stdout and stderr.
  std::tuple<int, std::string, std::string> run(const std::string& args) {
    const fs::path out = base_ / "out", err = base_ / "err";
    int status = std::system((std::string(KESTIL_FOLDER_BINARY) + " " + args + " >" + out.string() +
                              " 2>" + err.string())
                                 .c_str());
    return {WEXITSTATUS(status), *file(out), *file(err)};
  }

  fs::path base_;
  std::vector<Space> spaces_;
  std::shared_ptr<Journal> journal_;
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

enum class Since { unchanged, appended, edited_elsewhere, edited_same_lines, moved, deleted };

struct ToolRow {
  const char* tool;
  const char* arguments;
  const char* note;       // the file it writes
  const char* wrote;      // a line it writes, which the person edits for edited_same_lines
  const char* elsewhere;  // a line far from what it writes
  bool creates;
};

// Every write tool against every way its note can change before the undo. A change to an
// existing note is taken back wherever the lines it wrote still stand as it left them, and
// refused, the note untouched, where they do not; a created note leaves the space for the
// recovered folder only as it was made.
TEST_F(JournalTest, UndoOfEachToolAfterEachLaterChangeOfTheNote) {
  const ToolRow tools[] = {
      {"append_to_note", R"({"note":"Plan","markdown":"Added."})", "Plan.md", "Added.", "Para one.",
       false},
      {"append_to_daily_note", R"({"date":"2026-01-02","markdown":"Night."})",
       "Daily/2026-01-02.md", "Night.", "Morning.", false},
      {"edit_note", R"({"ops":[{"op":"replace","markdown":"Para THREE."}],"note":"Plan"})",
       "Plan.md", "Para THREE.", "# Plan", false},
      {"set_tags", R"({"note":"Plan","add":["b"]})", "Plan.md", "tags: [a, b]", "Para four.",
       false},
      {"set_note_info", R"({"note":"Plan","description":"D"})", "Plan.md", "description: D",
       "Para four.", false},
      {"create_note", R"({"title":"New","markdown":"Hello.\n\nWorld."})", "New.md", "Hello.",
       "World.", true},
      {"duplicate_note", R"({"note":"Plan"})", "Plan copy.md", "Para three.", "Para one.", true},
  };
  const Since states[] = {Since::unchanged,         Since::appended, Since::edited_elsewhere,
                          Since::edited_same_lines, Since::moved,    Since::deleted};
  for (const ToolRow& row : tools) {
    for (Since since : states) {
      TearDown();
      SetUp();
      const std::string trace = std::string(row.tool) + " state " + std::to_string(int(since));
      const std::optional<std::string> before = note(row.note);
      ToolResult written = call(row.tool, Json::parse(row.arguments));
      ASSERT_FALSE(written.is_error) << trace << ": " << written.text;
      const std::string after = *note(row.note);
      ASSERT_EQ(journal_->list({}).size(), 1u) << trace;
      EXPECT_EQ(journal_->list({}).front().path + ".md", row.note) << trace;

      // What the person does, and what the undo must leave.
      std::string now = after;
      std::string person_note = row.note;
      std::optional<std::string> expected = before;
      bool refused = false;
      if (since == Since::appended) {
        now = after + "Person.\n";
        expected = before ? *before + "Person.\n" : before;
        refused = row.creates;
      } else if (since == Since::edited_elsewhere) {
        now = replaced(after, row.elsewhere, "Changed.");
        expected = before ? replaced(*before, row.elsewhere, "Changed.") : before;
        refused = row.creates;
      } else if (since == Since::edited_same_lines) {
        now = replaced(after, row.wrote, std::string(row.wrote) + "!");
        refused = true;
      } else if (since == Since::moved) {
        person_note = "Moved.md";
      } else if (since == Since::deleted) {
        refused = !row.creates;
      }
      fs::remove(base_ / "Notes" / row.note);
      if (since != Since::deleted) write(person_note, now);

      auto undone = undo_changes(*journal_, {1}, config() + "/recovered", false);
      EXPECT_EQ(std::holds_alternative<Failure>(undone), refused) << trace;
      if (refused) {
        EXPECT_EQ(note(person_note), since == Since::deleted ? std::nullopt : std::optional(now))
            << trace;
        EXPECT_EQ(journal_->list({}).size(), 1u) << trace;
        continue;
      }
      EXPECT_EQ(note(person_note), expected) << trace;
      if (row.creates && since != Since::deleted) {
        EXPECT_EQ(file(base_ / "config/recovered/Notes" / row.note), after) << trace;
      }
      if (since == Since::unchanged) {
        // The undo is a change of its own, and taking it back gives the change back.
        ASSERT_EQ(journal_->list({}).size(), 2u) << trace;
        ASSERT_FALSE(std::holds_alternative<Failure>(
            undo_changes(*journal_, {2}, config() + "/recovered", false)))
            << trace;
        EXPECT_EQ(note(row.note), after) << trace;
      }
    }
  }
}

// Of three changes to one note, the middle one is taken back alone; undoing several goes newest
// first, and one that cannot be undone stops them all.
TEST_F(JournalTest, UndoTakesBackOneChangeAmongLaterOnesOrSeveralAllOrNone) {
  for (const char* markdown : {"First.", "Second.", "Third."}) {
    call("append_to_note", {{"note", "Plan"}, {"markdown", markdown}});
  }
  call("set_tags", {{"note", "Plan"}, {"add", {"b"}}});
  const std::string all = *note("Plan.md");
  auto middle = undo_changes(*journal_, {2}, config() + "/recovered", false);
  ASSERT_FALSE(std::holds_alternative<Failure>(middle));
  EXPECT_EQ(note("Plan.md"), replaced(all, "Second.\n\n", ""));

  write("Plan.md", replaced(*note("Plan.md"), "Third.", "Third, edited."));
  const std::string edited = *note("Plan.md");
  auto blocked = undo_changes(*journal_, {1, 4, 3}, config() + "/recovered", false);
  ASSERT_TRUE(std::holds_alternative<Failure>(blocked));
  EXPECT_EQ(std::get<Failure>(blocked).text,
            "change 3 cannot be taken back: 'Plan' (Notes) changed since at the lines it wrote "
            "(lines 17-18)");
  EXPECT_EQ(note("Plan.md"), edited);
  ASSERT_FALSE(std::holds_alternative<Failure>(
      undo_changes(*journal_, {4, 1}, config() + "/recovered", false)));
  EXPECT_EQ(note("Plan.md"),
            replaced(replaced(edited, "First.\n\n", ""), "tags: [a, b]", "tags: [a]"));
}

// A crash between the journal and the rename leaves a pending entry and the old note; the next
// start drops it. One that crashed after the rename is marked done then.
TEST_F(JournalTest, APendingEntryIsSettledByWhatTheNoteHolds) {
  ToolResult crashed = call_tool(spaces_, "append_to_note", {{"note", "Plan"}, {"markdown", "X"}},
                                 [] { return false; });
  ASSERT_TRUE(crashed.is_error);
  EXPECT_EQ(note("Plan.md"), PLAN);
  ASSERT_TRUE(journal_->find(1));
  EXPECT_FALSE(journal_->find(1)->done);
  EXPECT_TRUE(journal_->list({}).empty());

  // The second write reaches the disk but its entry is never marked done.
  struct Unfinished : JournalRecord {
    using JournalRecord::JournalRecord;
    void finished(bool) override {}
  } record(*journal_, spaces_[0], "append_to_note", "append_to_note: 1 bytes");
  auto where = note_at(spaces_[0], "Plan");
  NoteChange append = [](const Note& current) { return Outcome<std::string>(current.raw + "Y\n"); };
  ASSERT_FALSE(std::holds_alternative<Failure>(update_note(
      spaces_[0], **std::get_if<std::optional<NoteFile>>(&where), append, nullptr, &record)));
  journal_ = open_journal(JournalLimits{});
  journal_->settle_pending();
  EXPECT_FALSE(journal_->find(1));
  ASSERT_TRUE(journal_->find(2));
  EXPECT_TRUE(journal_->find(2)->done);
}

// Changes older than the days kept go, and past the size kept the oldest go first.
TEST_F(JournalTest, TheJournalKeepsItsBounds) {
  journal_ = open_journal(JournalLimits{90, 64 * 1024});
  spaces_[0].journal = journal_;
  const std::string line(1000, 'x');
  for (int n = 0; n < 100; ++n) call("append_to_note", {{"note", "Plan"}, {"markdown", line}});
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((base_ / "config/journal.sqlite").c_str(), &db), SQLITE_OK);
  sqlite3_exec(db,
               "UPDATE changes SET time_ms = time_ms - 91 * 86400000 WHERE number = 100;"
               "UPDATE changes SET time_ms = time_ms - 89 * 86400000 WHERE number = 99;",
               nullptr, nullptr, nullptr);
  sqlite3_close(db);
  journal_->trim();
  std::vector<Change> kept = journal_->list({});
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.front().number, 99);
  size_t bytes = 0;  // each change holds its line and a line of context
  for (const Change& change : kept) {
    bytes += change.lead.size() + change.removed.size() + change.added.size() + change.tail.size();
  }
  EXPECT_LE(bytes, 64u * 1024);
  EXPECT_GT(bytes * 2, 64u * 1024);
}

// The verbs as a person types them, each answer whole; bad input says why on one line, exits
// 1 and changes nothing.
TEST_F(JournalTest, LogShowAndUndoFromTheCommandLine) {
  call("set_tags", {{"note", "Plan"}, {"add", {"b"}}});
  call("create_note", {{"title", "New"}, {"markdown", "Hi."}});
  const std::string dir = " --config-dir " + config();
  auto [status, out, err] = run("show" + dir + " 1");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.substr(out.find('\n', out.find('\n') + 1) + 1),
            "--- a/Plan.md\n+++ b/Plan.md\n@@ -1,5 +1,5 @@\n ---\n-tags: [a]\n+tags: [a, b]\n"
            " ---\n # Plan\n \n");
  std::tie(status, out, err) = run("log" + dir + " Plan.md");
  EXPECT_EQ(out.substr(out.find("Notes")), "Notes  Plan  set_tags: +b  +1 -1\n");
  std::tie(status, out, err) = run("undo" + dir + " 2 --dry-run");
  EXPECT_EQ(out,
            "would take back change 2 (create_note: \"New\"): Notes/New moved to the "
            "recovered folder\n");
  EXPECT_TRUE(note("New.md"));
  // An undo beside the app: what the app records afterwards still reaches the journal.
  std::tie(status, out, err) = run("undo" + dir + " 1");
  EXPECT_EQ(note("Plan.md"), PLAN);
  call("append_to_note", {{"note", "Plan"}, {"markdown", "After."}});
  std::tie(status, out, err) = run("log" + dir + " --limit 2");
  EXPECT_NE(out.find("  Plan  append_to_note: 6 bytes  +2 -0\n"), std::string::npos) << out;

  fs::create_directories(base_ / "folder.md");
  fs::create_directories(base_ / "Notes" / "Gone.md");
  // A change to a note whose name a folder has taken since.
  auto gone = journal_->begin(spaces_[0], "Gone", "set_tags", "x", "a\n", "b\n");
  journal_->finish(std::get<int64_t>(gone), true);
  const std::pair<std::string, std::string> bad[] = {
      {"undo" + dir + " 9", "there is no change 9 in " + config() +
                                "/journal.sqlite; nothing "
                                "was changed"},
      {"show --config-dir " + (base_ / "folder.md").string() + " 1",
       (base_ / "folder.md").string() + " is not a kestil-folder config dir (it holds no "
                                        "journal.sqlite and no mcp)"},
      {"undo" + dir + " 5", (base_ / "Notes/Gone.md").string() + " is a folder now; nothing was "
                                                                 "changed"},
  };
  for (const auto& [args, said] : bad) {
    std::tie(status, out, err) = run(args);
    EXPECT_EQ(status, 1) << args;
    EXPECT_EQ(err, "kestil-folder: " + said + "\n") << args;
  }
  sqlite3* db = nullptr;
  sqlite3_open((base_ / "config/journal.sqlite").c_str(), &db);
  sqlite3_exec(db, "PRAGMA user_version = 2", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  std::tie(status, out, err) = run("log" + dir);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "kestil-folder: the change journal " + config() +
                     "/journal.sqlite was written by a newer kestil-folder (layout 2; this one "
                     "reads 1)\n");
  EXPECT_TRUE(note("New.md"));
}

}  // namespace
}  // namespace kestil::folder
