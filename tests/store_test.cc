#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
