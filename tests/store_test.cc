#include "store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "markdown.h"
#include "tools.h"

namespace kestil::folder {
namespace {

namespace fs = std::filesystem;

class Store : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestil-store-test-XXXXXX";
    root_ = mkdtemp(pattern);
    write("Log.md", "# Log\n");
    spaces_ = std::get<std::vector<Space>>(open_spaces({root_.string()}));
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const std::string& path, const std::string& text) {
    fs::create_directories((root_ / path).parent_path());
    std::ofstream(root_ / path, std::ios::binary) << text;
  }
  std::string file(const std::string& path) {
    std::ifstream in(root_ / path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Appends a line the way an editor or a sync tool in another process would.
  void append_outside(const std::string& path, const std::string& line) {
    int fd = ::open((root_ / path).c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    std::string text = line + "\n";
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
  }

  fs::path root_;
  std::vector<Space> spaces_;
};

// An outside write lands in the instant between the read and putting the new file in place,
// in place or as a save by rename (a new file), with the swap and with the check and rename
// that stand in for it. The note keeps its mode.
TEST_F(Store, AWriteInTheLastInstantIsMergedIn) {
  struct Row {
    const char* tool;
    const char* arguments;
    const char* outside;  // what the other program makes of the note then
    const char* expected;
    const char* refusal = nullptr;
    const char* expected_by_rename = nullptr;  // when theirs is not taken for an append
  };
  const Row rows[] = {
      {"append_to_note", R"({"note":"Log","markdown":"Mine."})", "# Log\nTheirs.\n",
       "# Log\n\nMine.\nTheirs.\n", nullptr, "# Log\nTheirs.\n\nMine.\n"},
      {"append_to_note", R"({"note":"Log","markdown":"Mine."})", "# Their log\n",
       "# Their log\n\nMine.\n"},
      {"edit_note",
       R"({"note":"Log","version":"v","ops":[{"op":"replace","ref":"b1~3b9a3c","markdown":"# Mine"}]})",
       "# Log\nTheirs.\n", "# Mine\nTheirs.\n"},
      // Their change takes away the block the edit named: theirs stays, the edit fails.
      {"edit_note",
       R"({"note":"Log","version":"v","ops":[{"op":"replace","ref":"b1~3b9a3c","markdown":"# Mine"}]})",
       "# Their log\n", "# Their log\n", "stale_ref"},
  };
  for (bool swap : {true, false}) {
    swap_files_for_testing(swap);
    for (bool by_rename : {false, true}) {
      for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.tool) + " -> " + row.outside + (swap ? " swap" : "") +
                     (by_rename ? " by rename" : " in place"));
        write("Log.md", "# Log\n");
        fs::permissions(root_ / "Log.md", fs::perms::owner_read | fs::perms::owner_write);
        int calls = 0;
        auto outside_write = [&] {
          if (calls++ == 0) {
            write(by_rename ? "Log.saved" : "Log.md", row.outside);
            if (by_rename) fs::rename(root_ / "Log.saved", root_ / "Log.md");
          }
          return true;
        };
        ToolResult result = call_tool(spaces_, row.tool, Json::parse(row.arguments), outside_write);
        EXPECT_EQ(result.is_error, row.refusal != nullptr) << result.text;
        EXPECT_NE(result.text.find(row.refusal ? row.refusal : "version"), std::string::npos)
            << result.text;
        EXPECT_EQ(file("Log.md"),
                  by_rename && row.expected_by_rename ? row.expected_by_rename : row.expected);
        EXPECT_EQ(fs::status(root_ / "Log.md").permissions() & fs::perms::all,
                  by_rename ? fs::perms(0644) : fs::perms(0600));
        EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
      }
    }
  }
  swap_files_for_testing(true);
}

// Every write tool on every form of line endings: the whole file is compared byte for byte.
// In the note and the results, '~' and '^' are line breaks: both LF, both CRLF, or LF and CRLF
// in the mixed form, so what new text takes from its neighbours is written out.
TEST_F(Store, EditsKeepEveryByteAroundThem) {
  const std::string note = "# Plan^^First para  ~line two\t^^^- item~- item 2~~Last para~";
  const std::string blocks[] = {"# Plan", "First para  ~line two\t", "- item~- item 2"};
  const std::pair<const char*, std::string> ops[] = {
      {R"([{"op":"replace","ref":"b2","markdown":"New\ntext"}])",
       "# Plan^^New~text^^^- item~- item 2~~Last para~"},
      {R"([{"op":"insert_after","ref":"start","markdown":"Top"}])", "Top^^" + note},
      {R"([{"op":"insert_after","ref":"b3","markdown":"Added"}])",
       "# Plan^^First para  ~line two\t^^^- item~- item 2~~Added~~Last para~"},
      {R"([{"op":"delete","ref":"b2"}])", "# Plan^^- item~- item 2~~Last para~"},
      {R"([{"op":"append","markdown":"End"}])", note + "~End~"},
      {"append_to_note", note + "~End~"},
      {"set_tags", "---^tags: ops^---^" + note},
      {"set_note_info", "---^description: \"Plan: q3\"^---^" + note},
  };
  struct Form {
    const char* name;
    const char* lf;
    const char* crlf;
    bool final_newline;
    const char* bom;
  };
  const Form forms[] = {{"LF", "\n", "\n", true, ""},
                        {"CRLF", "\r\n", "\r\n", true, ""},
                        {"mixed", "\n", "\r\n", true, ""},
                        {"no final newline", "\n", "\n", false, ""},
                        {"BOM", "\n", "\n", true, "\xEF\xBB\xBF"}};
  for (const Form& form : forms) {
    auto in_form = [&](const std::string& text, bool whole) {
      std::string out = whole ? form.bom : "";
      for (char c : text) out += c == '~' ? form.lf : c == '^' ? form.crlf : std::string(1, c);
      if (whole && !form.final_newline) out.resize(out.size() - 1);
      return out;
    };
    for (const auto& [op, expected] : ops) {
      SCOPED_TRACE(std::string(form.name) + ": " + op);
      write("Plan.md", in_form(note, true));
      std::string tool = op;
      Json arguments = {{"note", "Plan"}};
      if (tool == "append_to_note") {
        arguments["markdown"] = "End";
      } else if (tool == "set_tags") {
        arguments["add"] = {"ops"};
      } else if (tool == "set_note_info") {
        arguments["description"] = "Plan: q3";
      } else {
        tool = "edit_note";
        arguments["version"] = "v";
        arguments["ops"] = Json::parse(op);
        for (Json& one : arguments["ops"]) {
          if (!one.contains("ref") || one["ref"] == "start") continue;
          size_t index = std::stoul(one["ref"].get<std::string>().substr(1)) - 1;
          one["ref"] = block_ref(index, in_form(blocks[index], false));
        }
      }
      ToolResult result = call_tool(spaces_, tool, arguments);
      EXPECT_FALSE(result.is_error) << result.text;
      EXPECT_EQ(file("Plan.md"), in_form(expected, true));
    }
  }
}

TEST_F(Store, LinksInsideTheSpaceAreWrittenThrough) {
  write("Real/Target.md", "Target.\n");
  fs::create_symlink("Real/Target.md", root_ / "Linked.md");
  fs::create_symlink("/etc/hostname", root_ / "Outside.md");
  ToolResult through =
      call_tool(spaces_, "append_to_note", {{"note", "Linked"}, {"markdown", "More."}});
  EXPECT_FALSE(through.is_error) << through.text;
  EXPECT_TRUE(fs::is_symlink(root_ / "Linked.md"));
  EXPECT_EQ(file("Real/Target.md"), "Target.\n\nMore.\n");
  ToolResult outside =
      call_tool(spaces_, "append_to_note", {{"note", "Outside"}, {"markdown", "x"}});
  EXPECT_NE(outside.text.find("leads outside the space"), std::string::npos) << outside.text;
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "Real"), fs::directory_iterator()), 1);
}

TEST_F(Store, AppendsKeepTheNotesLineBreaks) {
  write("Crlf.md", "---\r\ntags: a\r\n---\r\nText.\r\n");
  call_tool(spaces_, "append_to_note", {{"note", "Crlf"}, {"markdown", "More #b\r\nAnd more."}});
  EXPECT_EQ(file("Crlf.md"), "---\r\ntags: a, b\r\n---\r\nText.\r\n\r\nMore #b\r\nAnd more.\r\n");
}

// Every file of the space with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::ifstream in(entry.path(), std::ios::binary);
    files[entry.path().string()] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

TEST_F(Store, ReadOnlyRefusesEveryWrite) {
  spaces_[0].read_only = true;
  const std::pair<const char*, const char*> writes[] = {
      {"create_note", R"({"title":"New"})"},
      {"duplicate_note", R"({"note":"Log"})"},
      {"append_to_note", R"({"note":"Log","markdown":"x"})"},
      {"append_to_daily_note", R"({"markdown":"x"})"},
      {"edit_note", R"({"note":"Log","version":"v","ops":[{"op":"append","markdown":"x"}]})"},
      {"set_note_info", R"({"note":"Log","description":"x"})"},
      {"set_tags", R"({"note":"Log","add":["x"]})"},
  };
  std::map<std::string, std::string> before = snapshot(root_);
  for (const auto& [tool, arguments] : writes) {
    ToolResult result = call_tool(spaces_, tool, Json::parse(arguments));
    EXPECT_TRUE(result.is_error) << tool;
    EXPECT_NE(result.text.find("read-only"), std::string::npos) << tool << ": " << result.text;
  }
  EXPECT_EQ(snapshot(root_), before);
  EXPECT_FALSE(call_tool(spaces_, "read_note", {{"note", "Log"}}).is_error);
}

// Writes stopped where a crash would stop them, then what the next start makes of them: no
// new note appears, its only copy goes to the recovered dir.
TEST_F(Store, RestartTidiesWhatCrashedWritesLeft) {
  auto crash = [] { return false; };
  call_tool(spaces_, "append_to_note", {{"note", "Log"}, {"markdown", "Lost."}}, crash);
  call_tool(spaces_, "create_note", {{"title", "Fresh"}, {"markdown", "Kept."}}, crash);
  call_tool(spaces_, "create_note", {{"title", "Taken"}, {"markdown", "Mine."}}, crash);
  std::string deep = "d";
  for (int i = 0; i < 40; ++i) deep += "/d";
  fs::create_directories(root_ / deep);
  call_tool(spaces_, "create_note", {{"title", "Deep"}, {"folder", deep}, {"markdown", "Low."}},
            crash);
  write("Taken.md", "The person's.\n");
  write(".kestil-tmp-1-2-Other.md", "not ours to judge: a live writer may hold it\n");
  const fs::path recovered = root_ / ".config/recovered";
  Tidied tidied = tidy_temporary_files(spaces_[0], recovered.string());
  EXPECT_EQ(tidied.removed, 1u);
  std::sort(tidied.recovered.begin(), tidied.recovered.end());
  EXPECT_EQ(tidied.recovered, (std::vector<std::string>{(recovered / "Deep.md").string(),
                                                        (recovered / "Fresh.md").string(),
                                                        (recovered / "Taken.md").string()}));
  EXPECT_EQ(file(".config/recovered/Fresh.md"), "Kept.\n");
  EXPECT_EQ(file(".config/recovered/Taken.md"), "Mine.\n");
  EXPECT_EQ(file("Log.md"), "# Log\n");
  EXPECT_EQ(file("Taken.md"), "The person's.\n");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(root_)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".config", ".kestil-tmp-1-2-Other.md", "Log.md",
                                            "Taken.md", "d"}));
}

class StoreSlow : public Store {};

// How often each line occurs in `text`.
std::map<std::string, int> line_counts(const std::string& text) {
  std::map<std::string, int> counts;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    ++counts[text.substr(pos, end - pos)];
    pos = end + 1;
  }
  return counts;
}

// 200 appends by the assistant while another writer saves every 3 ms: one that appends, an
// editor that saves by renaming a new file over the note or by rewriting it in place (each
// reads, adds a line and saves), or a second assistant through the same app. Nothing the other
// writer saved is lost, nor an acknowledged append; an assistant line that an editor's save
// replaced, because the editor read the note before that line came and saved after, is the
// editor's doing. The figures are printed.
TEST_F(StoreSlow, EveryOtherWritersSaveIsKept) {
  using Clock = std::chrono::steady_clock;
  struct Save {
    Clock::time_point read, saved;
    std::string text;  // what the editor read
  };
  enum Writer { APPENDS, SAVES_BY_RENAME, SAVES_IN_PLACE, ASSISTANT };
  const std::pair<Writer, const char*> writers[] = {{APPENDS, "appending program"},
                                                    {SAVES_BY_RENAME, "editor saving by rename"},
                                                    {SAVES_IN_PLACE, "editor saving in place"},
                                                    {ASSISTANT, "second assistant"}};
  for (const auto& [kind, name] : writers) {
    const Writer writer = kind;  // a plain variable, which lambdas may capture
    for (int round = 0; round < (writer == SAVES_BY_RENAME || writer == SAVES_IN_PLACE ? 3 : 1);
         ++round) {
      write("Log.md", "# Log\n");
      std::atomic<bool> done{false};
      std::atomic<int> others{0};
      std::vector<Save> saves;
      std::vector<bool> acknowledged;
      std::mutex app;  // one app answers one write at a time, as the server does
      auto append = [&](const std::string& line) {
        std::lock_guard one_at_a_time(app);
        return !call_tool(spaces_, "append_to_note", {{"note", "Log"}, {"markdown", line}})
                    .is_error;
      };
      std::thread other([&] {
        for (int n = 0; !done; ++n) {
          std::string line = "person " + std::to_string(n);
          if (writer == APPENDS) append_outside("Log.md", line);
          if (writer == ASSISTANT) acknowledged.push_back(append(line));
          if (writer == SAVES_BY_RENAME || writer == SAVES_IN_PLACE) {
            Save save{Clock::now(), {}, file("Log.md")};
            write(writer == SAVES_IN_PLACE ? "Log.md" : ".Log.md.swp", save.text + line + "\n");
            if (writer == SAVES_BY_RENAME) fs::rename(root_ / ".Log.md.swp", root_ / "Log.md");
            save.saved = Clock::now();
            saves.push_back(std::move(save));
          }
          ++others;
          std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
      });
      std::vector<std::pair<Clock::time_point, Clock::time_point>> calls;
      int failed = 0;
      for (int i = 0; i < 200; ++i) {
        Clock::time_point start = Clock::now();
        failed += !append("assistant " + std::to_string(i));
        calls.emplace_back(start, Clock::now());
      }
      done = true;
      other.join();
      std::map<std::string, int> counts = line_counts(file("Log.md"));
      int lost_other = 0, lost_assistant = 0, replaced_by_editor = 0;
      for (int n = 0; n < others; ++n) {
        bool kept = counts["person " + std::to_string(n)] > 0;
        lost_other += !kept && (writer != ASSISTANT || acknowledged[n]);
      }
      for (int i = 0; i < 200; ++i) {
        std::string line = "assistant " + std::to_string(i);
        if (counts[line] > 0) continue;
        bool by_editor = std::any_of(saves.begin(), saves.end(), [&](const Save& save) {
          return save.saved > calls[i].first && save.read < calls[i].second &&
                 save.text.find(line + "\n") == std::string::npos;
        });
        (by_editor ? replaced_by_editor : lost_assistant) += 1;
      }
      std::cout << name << ", round " << round + 1 << ": " << lost_other << " of " << others
                << " of its saves lost; " << lost_assistant << " of 200 assistant lines lost, "
                << replaced_by_editor << " replaced by the editor's own later save; " << failed
                << " calls failed\n";
      // An editor that empties the file and then writes it can still lose a save that lands
      // after its last check, into the file the write replaced: that one is only counted.
      EXPECT_TRUE(writer == SAVES_IN_PLACE || lost_other == 0) << lost_other;
      EXPECT_EQ(lost_assistant, 0);
    }
  }
}

}  // namespace
}  // namespace kestil::folder
