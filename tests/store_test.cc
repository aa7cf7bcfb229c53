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
#include <thread>

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

// An outside write lands in the instant between the last check and the rename, where nothing
// but the descriptor of the file that was read can see it.
TEST_F(Store, AWriteInTheLastInstantIsMergedIn) {
  struct Row {
    const char* tool;
    const char* arguments;
    const char* outside;  // what the other program makes of the note then
    const char* expected;
    const char* refusal = nullptr;
  };
  const Row rows[] = {
      {"append_to_note", R"({"note":"Log","markdown":"Mine."})", "# Log\nTheirs.\n",
       "# Log\n\nMine.\nTheirs.\n"},
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
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.tool) + " -> " + row.outside);
    write("Log.md", "# Log\n");
    int calls = 0;
    auto outside_write = [&] {
      if (calls++ == 0) {
        int fd = ::open((root_ / "Log.md").c_str(), O_WRONLY | O_TRUNC);
        EXPECT_EQ(::write(fd, row.outside, strlen(row.outside)),
                  static_cast<ssize_t>(strlen(row.outside)));
        ::close(fd);
      }
      return true;
    };
    ToolResult result = call_tool(spaces_, row.tool, Json::parse(row.arguments), outside_write);
    EXPECT_EQ(result.is_error, row.refusal != nullptr) << result.text;
    EXPECT_NE(result.text.find(row.refusal ? row.refusal : "version"), std::string::npos)
        << result.text;
    EXPECT_EQ(file("Log.md"), row.expected);
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

// Writes stopped where a crash would stop them, then what the next start makes of them.
TEST_F(Store, RestartTidiesWhatCrashedWritesLeft) {
  auto crash = [] { return false; };
  call_tool(spaces_, "append_to_note", {{"note", "Log"}, {"markdown", "Lost."}}, crash);
  call_tool(spaces_, "create_note", {{"title", "Fresh"}, {"markdown", "Kept."}}, crash);
  call_tool(spaces_, "create_note", {{"title", "Taken"}, {"markdown", "Mine."}}, crash);
  write("Taken.md", "The person's.\n");
  write(".kestil-tmp-1-2-Other.md", "not ours to judge: a live writer may hold it\n");
  Tidied tidied = tidy_temporary_files(spaces_[0]);
  EXPECT_EQ(tidied.removed, 1u);
  EXPECT_EQ(tidied.recovered, std::vector<std::string>{"Fresh"});
  ASSERT_EQ(tidied.kept.size(), 1u);
  EXPECT_NE(tidied.kept[0].find("/.kestil-new-"), std::string::npos);
  EXPECT_EQ(file("Log.md"), "# Log\n");
  EXPECT_EQ(file("Fresh.md"), "Kept.\n");
  EXPECT_EQ(file("Taken.md"), "The person's.\n");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(root_)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  ASSERT_EQ(left.size(), 5u);
  EXPECT_EQ(left[0].substr(0, 12), ".kestil-new-");
  EXPECT_EQ(left[1], ".kestil-tmp-1-2-Other.md");
  EXPECT_EQ(left[2], "Fresh.md");
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

TEST_F(StoreSlow, AppendsFromBothSidesAreAllKept) {
  std::atomic<bool> done{false};
  std::atomic<int> outside{0};
  std::thread person([&] {
    while (!done) {
      append_outside("Log.md", "person " + std::to_string(outside++));
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  int failed = 0;
  for (int i = 0; i < 200; ++i) {
    ToolResult result =
        call_tool(spaces_, "append_to_note",
                  {{"note", "Log"}, {"markdown", "assistant " + std::to_string(i)}});
    failed += result.is_error;
  }
  done = true;
  person.join();
  std::map<std::string, int> counts = line_counts(file("Log.md"));
  int lost_person = 0;
  int lost_assistant = 0;
  for (int i = 0; i < outside; ++i) lost_person += counts["person " + std::to_string(i)] != 1;
  for (int i = 0; i < 200; ++i) lost_assistant += counts["assistant " + std::to_string(i)] != 1;
  std::cout << "lines lost: " << lost_person << " of " << outside << " of the person's, "
            << lost_assistant << " of 200 of the assistant's (" << failed << " calls failed)\n";
  EXPECT_EQ(lost_person, 0);
  EXPECT_EQ(lost_assistant, 0);
}

}  // namespace
}  // namespace kestil::folder
