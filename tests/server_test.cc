// The folder app's server: calls on different threads, each under its deadline.
#include "server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestil::folder {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string call_line(int id, const char* tool, const char* arguments) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" + arguments +
         "}}";
}

std::string file_text(const fs::path& file) {
  std::ostringstream text;
  text << std::ifstream(file).rdbuf();
  return text.str();
}

// Waits until `done` holds, for at most `most`; says whether it came.
template <typename Predicate>
bool wait_for(Predicate done, std::chrono::milliseconds most) {
  const auto give_up = std::chrono::steady_clock::now() + most;
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A write held up past its deadline (the runner stands in for a slow scan) ends with the error
// that says what to narrow and leaves its note as it was; meanwhile a read on another thread is
// answered, and a second write gives up waiting for its turn at its own deadline.
TEST(Server, ASlowCallEndsWithTheClearErrorWhileOthersAreAnswered) {
  const fs::path root = fs::temp_directory_path() / ("kestil-server-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "Notes");
  const std::string plan = "# Plan\n\nShip it.\n";
  std::ofstream(root / "Notes" / "Plan.md") << plan;
  std::ofstream(root / "Notes" / "Other.md") << "# Other\n";
  auto spaces = std::get<std::vector<Space>>(open_spaces({(root / "Notes").string()}));

  std::atomic<bool> slow_started{false}, others_answered{false}, held_until_answered{false};
  auto runner = [&](const std::vector<Space>& given, std::string_view name, const Json& arguments) {
    if (name == "append_to_note") {
      slow_started = true;
      held_until_answered = wait_for([&] { return others_answered.load(); }, 5s);
      wait_for(deadline_passed, 5s);
    }
    return call_tool(given, name, arguments);
  };
  Server server(spaces, 300ms, runner);

  std::string slow_reply;
  std::thread slow([&] {
    slow_reply = server.answer(call_line(1, "append_to_note", R"({"note":"Plan","markdown":"x"})"));
  });
  ASSERT_TRUE(wait_for([&] { return slow_started.load(); }, 5s));
  std::string waiting_reply;
  std::thread waiting([&] {
    waiting_reply = server.answer(call_line(2, "set_tags", R"({"note":"Other","add":["t"]})"));
  });
  const std::string read_reply = server.answer(call_line(3, "read_note", R"({"note":"Plan"})"));
  waiting.join();
  others_answered = true;
  slow.join();

  EXPECT_TRUE(held_until_answered);
  EXPECT_NE(read_reply.find(R"(Ship it.)"), std::string::npos) << read_reply;
  EXPECT_NE(read_reply.find(R"("isError":false)"), std::string::npos) << read_reply;
  EXPECT_EQ(slow_reply,
            R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"append_to_note took too long )"
            R"(and was stopped; narrow it: give the note's path instead of its title or id.",)"
            R"("type":"text"}],"isError":true}})");
  EXPECT_EQ(waiting_reply,
            R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"set_tags took too long and )"
            R"(was stopped; narrow it: give the note's path instead of its title or id.",)"
            R"("type":"text"}],"isError":true}})");
  EXPECT_EQ(file_text(root / "Notes" / "Plan.md"), plan);
  EXPECT_EQ(file_text(root / "Notes" / "Other.md"), "# Other\n");
  fs::remove_all(root);
}

}  // namespace
}  // namespace kestil::folder
