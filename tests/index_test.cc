#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "deadline.h"
#include "index/note_index.h"
#include "tools.h"

namespace kestil::folder {
namespace {

namespace fs = std::filesystem;

const std::pair<const char*, const char*> NOTES[] = {
    {"Projects/Plan.md",
     "---\nid: aaaaaaaaaaaa\ntags: planning, Q3\n---\n# Plan\n\nShip the folder app by Friday.\n\n"
     "- [ ] write tests\n- [x] draft design\n\nSee [Ideas](kestil://note/bbbbbbbbbbbb).\n"},
    {"Archive/Plan.md",
     "---\ntags:\n  - Planning\n---\nOld plan, see kestil://note/bbbbbbbbbbbbX.\n"},
    {"Ideas.md",
     "---\nid: bbbbbbbbbbbb\naliases: [Thoughts]\n---\nRandom ideas about #gardening and "
     "search_index.\n"},
    {"Journal/Links.md", "[[Ideas]], [more](../Ideas.md) and [[thoughts|them]]; [[Nowhere]]\n"},
    {"Journal/Alias.md", "Only [[THOUGHTS]].\n"},
    {"Journal/기록.md",
     "기록 습관을 만들자. [x](kestil://note/bbbbbbbbbbbb)\n\n- [ ] 매일 기록하기\n"},
    {"Daily/2026-03-09.md", "Met with Ana about the plan. #planning\n"},
    {".hidden/Secret.md", "secret plan\n"},
    // Deeper than any limit there was, and named in Latin-1.
    {"Journal/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/"
     "Caf\xe9.md",
     "Deep plan. #planning [[Ideas]]\n"},
};

// The answers of every tool that looks across notes; search results as sorted paths, since the
// index ranks by BM25 and the scan by counting.
std::string answers(const std::vector<Space>& spaces) {
  const char* const CALLS[][2] = {
      {"list_recent", R"({"limit":100})"},
      {"list_tags", "{}"},
      {"list_tags", R"({"query":"pla","limit":1})"},
      {"notes_with_tag", R"({"tag":"planning"})"},
      {"list_tasks", R"({"include_done":true})"},
      {"list_tasks", R"({"folder":"Journal","limit":1})"},
      {"get_backlinks", R"({"note":"bbbbbbbbbbbb"})"},
      {"read_note", R"({"note":"aaaaaaaaaaaa"})"},
      {"read_note", R"({"note":"ideas"})"},
      {"read_note", R"({"note":"Plan"})"},
      {"read_note", R"({"note":"thoughts"})"},
      {"read_note", R"({"note":"caf%e9"})"},
      {"get_context", "{}"},
      {"search_notes", R"({"query":"plan"})"},
      {"search_notes", R"({"query":"\"the plan\" ana"})"},
      {"search_notes", R"({"query":"\"plan the\""})"},
      {"search_notes", R"({"query":"기록"})"},
      {"search_notes", R"({"query":"search_ind"})"},
      {"search_notes", R"({"query":"index"})"},
      {"search_notes", R"({"query":"NEAR(plan OR ship*) NOT \"x AND title:ship ^s"})"},
      {"search_notes", R"({"query":"new words"})"},
  };
  std::string all;
  for (const auto& [tool, arguments] : CALLS) {
    ToolResult result = call_tool(spaces, tool, Json::parse(arguments));
    std::string text = result.text;
    if (std::string_view(tool) == "search_notes" && !result.is_error) {
      Json found = Json::parse(text);
      std::vector<std::string> paths;
      for (const Json& hit : found["results"]) paths.push_back(hit["path"]);
      std::sort(paths.begin(), paths.end());
      text = Json{{"paths", paths}, {"total", found["total"]}}.dump();
    }
    all += std::string(tool) + " " + arguments + (result.is_error ? " ERROR " : " ") + text + "\n";
  }
  return all;
}

class NoteIndexTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestil-index-test-XXXXXX";
    base_ = mkdtemp(pattern);
    root_ = base_ / "space";
    for (const auto& [path, text] : NOTES) write(path, text);
    scan_ = std::get<std::vector<Space>>(open_spaces({root_.string()}));
    indexed_ = scan_;
    open_index();
    indexed_[0].index->reconcile(nullptr);
  }

  void TearDown() override { fs::remove_all(base_); }

  void open_index() {
    indexed_[0].index.reset();
    auto opened = NoteIndex::open(scan_[0], (base_ / "space.sqlite").string());
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<NoteIndex>>(opened));
    indexed_[0].index = std::get<std::shared_ptr<NoteIndex>>(opened);
  }

  void write(const std::string& path, const std::string& text) {
    fs::create_directories((root_ / path).parent_path());
    std::ofstream(root_ / path) << text;
  }

  Json ok(const std::string& tool, const std::string& arguments) {
    ToolResult result = call_tool(indexed_, tool, Json::parse(arguments));
    EXPECT_FALSE(result.is_error) << tool << ": " << result.text;
    return result.is_error ? Json::object() : Json::parse(result.text);
  }

  NoteIndex& index() { return *indexed_[0].index; }

  fs::path base_, root_;
  std::vector<Space> scan_, indexed_;
};

// Each row runs on what the rows before it left. The app's own writes reach the index through
// call_tool; outside changes through a reconcile, as the watcher makes one.
TEST_F(NoteIndexTest, AnswersAsTheScanAfterEachChange) {
  struct Step {
    const char* name;
    std::function<void()> run;
  };
  const Step steps[] = {
      {"first build", [] {}},
      {"create",
       [&] {
         ok("create_note",
            R"({"title":"New","folder":"Projects","markdown":"new words #fresh\n- [ ] go"})");
       }},
      {"append",
       [&] { ok("append_to_note", R"({"note":"Ideas","markdown":"more about the plan"})"); }},
      {"edit",
       [&] {
         Json read = ok("read_note", R"({"note":"Projects/New"})");
         std::string ref = read["markdown"].get<std::string>().substr(5, 9);
         ok("edit_note", R"({"note":"Projects/New","version":")" +
                             read["version"].get<std::string>() +
                             R"(","ops":[{"op":"replace","ref":")" + ref +
                             R"(","markdown":"other words kestil://note/bbbbbbbbbbbb"}]})");
       }},
      {"set_tags", [&] { ok("set_tags", R"({"note":"Ideas","add":["planning"]})"); }},
      {"outside edit",
       [&] {
         write("Journal/기록.md", "기록 습관을 바꾸자. #planning\n");
         index().reconcile(nullptr);
       }},
      {"outside rename-over",
       [&] {
         write("Projects/.tmp-plan", "---\nid: aaaaaaaaaaaa\n---\nThe plan, saved by an editor.\n");
         fs::rename(root_ / "Projects/.tmp-plan", root_ / "Projects/Plan.md");
         index().refresh("Projects/Plan");
       }},
      {"move",
       [&] {
         fs::create_directories(root_ / "Later");
         fs::rename(root_ / "Archive", root_ / "Later/Archive");
         index().reconcile(nullptr);
       }},
      {"delete",
       [&] {
         fs::remove(root_ / "Ideas.md");
         index().refresh("Ideas");
       }},
      {"restart", [&] { open_index(); }},
  };
  for (const Step& step : steps) {
    step.run();
    ASSERT_TRUE(index().ready()) << step.name;
    EXPECT_EQ(answers(indexed_), answers(scan_)) << "after " << step.name;
  }
}

// Ranked by the index: a title word first, then the note where the word weighs most; a note
// deleted since it was indexed is never listed, even before the index hears of it.
TEST_F(NoteIndexTest, SearchRanksByTheIndexAndNeverListsADeletedNote) {
  write("Orchard.md", "trees and apples\n");
  write("Farm.md", "the orchard road, the orchard gate and the long fence by the barn\n");
  write("Shed.md", "orchard tools\n");
  index().reconcile(nullptr);
  auto ranked = [&] {
    std::vector<std::string> paths;
    Json found = ok("search_notes", R"({"query":"orchard"})");
    for (const Json& hit : found["results"]) {
      paths.push_back(hit["path"]);
    }
    return paths;
  };
  EXPECT_EQ(ranked(), (std::vector<std::string>{"Orchard", "Shed", "Farm"}));
  fs::remove(root_ / "Shed.md");
  EXPECT_EQ(ranked(), (std::vector<std::string>{"Orchard", "Farm"}));
}

// A note deleted after the index listed it reads as gone, not as a failure to try again.
TEST_F(NoteIndexTest, ANoteGoneSinceItWasIndexedSaysNoNote) {
  fs::remove(root_ / "Ideas.md");
  EXPECT_EQ(call_tool(indexed_, "read_note", {{"note", "bbbbbbbbbbbb"}}).text,
            "No note 'Ideas' in this space any more; search_notes or list_folder shows what is "
            "there.");
}

// A damaged or foreign index file is never served: it is built anew before the index is ready.
TEST_F(NoteIndexTest, DamagedIndexIsBuiltAnew) {
  const std::string expected = answers(scan_);
  const std::string file = (base_ / "space.sqlite").string();
  struct Damage {
    const char* name;
    std::function<void()> apply;
  };
  const Damage damages[] = {
      {"garbage", [&] { std::ofstream(file, std::ios::trunc) << std::string(9000, 'x'); }},
      {"truncated", [&] { fs::resize_file(file, fs::file_size(file) / 2); }},
      {"empty", [&] { std::ofstream(file, std::ios::trunc); }},
  };
  for (const Damage& damage : damages) {
    indexed_[0].index.reset();
    fs::remove(file + "-wal");
    fs::remove(file + "-shm");
    damage.apply();
    open_index();
    if (index().ready()) {
      // Only a file whose layout and finished build still read back may be ready at once; the
      // first reconcile checks it whole.
      EXPECT_EQ(answers(indexed_), expected) << damage.name;
    }
    index().reconcile(nullptr);
    EXPECT_TRUE(index().ready()) << damage.name;
    EXPECT_EQ(answers(indexed_), expected) << damage.name;
  }
}

TEST_F(NoteIndexTest, QueriesStopAtTheDeadline) {
  ToolResult result;
  {
    CallDeadline passed(std::chrono::milliseconds(0));
    result = call_tool(indexed_, "search_notes", Json::parse(R"({"query":"plan"})"));
  }
  EXPECT_TRUE(result.is_error) << result.text;
  EXPECT_FALSE(call_tool(indexed_, "search_notes", Json::parse(R"({"query":"plan"})")).is_error);
}

TEST_F(NoteIndexTest, LongQueriesAreRefusedBeforeAnyWork) {
  const std::pair<size_t, bool> cases[] = {{1000, false}, {1001, true}};
  for (const auto& [length, refused] : cases) {
    std::string query = "plan " + std::string(length - 5, ' ');
    ToolResult result = call_tool(scan_, "search_notes", Json{{"query", query}});
    EXPECT_EQ(result.is_error, refused) << length << ": " << result.text;
  }
  // Counted in characters: 1000 Korean letters are 3000 bytes and still a query.
  ToolResult korean = call_tool(indexed_, "search_notes", Json{{"query", [] {
                                                                  std::string text;
                                                                  for (int i = 0; i < 1000; ++i)
                                                                    text += "기";
                                                                  return text;
                                                                }()}});
  EXPECT_FALSE(korean.is_error) << korean.text;
}

TEST_F(NoteIndexTest, BacklinksStopAtOneHundredAndSayHowManyMore) {
  for (int i = 0; i < 103; ++i) {
    write("Many/" + std::to_string(i) + ".md", "[Plan](kestil://note/aaaaaaaaaaaa)\n");
  }
  index().reconcile(nullptr);
  for (const auto* spaces : {&indexed_, &scan_}) {
    Json found = Json::parse(
        call_tool(*spaces, "get_backlinks", Json::parse(R"({"note":"aaaaaaaaaaaa"})")).text);
    EXPECT_EQ(found["backlinks"].size(), 100u) << found.dump().substr(0, 300);
    EXPECT_EQ(found["more"], 3);
  }
}

}  // namespace
}  // namespace kestil::folder
