// kestil-folder end to end: the real app on a small space, reached through the real kestil-mcp
// (or its socket directly where the bridge would hide what is tested).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "catalog.h"
#include "ipc.h"
#include "protocol.h"
#include "server_process.h"

namespace kestil::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A small space: enough notes for every tool family, small enough to write out per test.
const std::vector<std::pair<std::string, std::string>> SPACE_FILES = {
    {"Welcome.md",
     "---\nid: welcome\ndescription: Start here\ntags: intro\n---\n# Welcome\n\nThis space holds "
     "the garden plans. See [Garden](kestil://note/garden).\n\n- [ ] water the basil\n"},
    {"Projects/Garden.md",
     "---\nid: garden\ntags: project, outdoors\n---\n# Garden\n\nRaised beds by the fence. "
     "#spring\n\n- [x] buy soil\n- [ ] build the beds\n\nBack to "
     "[Welcome](kestil://note/welcome).\n"},
    {"Daily/2026-01-05.md", "# 2026-01-05\n\nPlanted tomatoes.\n"},
    {"메모.md", "# 메모\n\n서울에서 회의가 있었다.\n"},
};

Json parse_line(const std::optional<std::string>& line) {
  if (!line) return Json();
  return parse_json(*line).value_or(Json());
}

class FolderApp : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/kestil-folder-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    space_ = root_ + "/Notes";
    config_dir_ = root_ + "/config";
    for (const auto& [path, text] : SPACE_FILES) {
      fs::create_directories(fs::path(space_ + "/" + path).parent_path());
      std::ofstream(space_ + "/" + path) << text;
    }
    app_ = start_app();
    ASSERT_TRUE(wait_for_endpoint(0));
    bridge_.emplace(
        KESTIL_MCP_BINARY, std::vector<std::string>{"--no-launch"},
        std::map<std::string, std::optional<std::string>>{{"KESTIL_CONFIG_DIR", config_dir_}});
  }

  void TearDown() override {
    bridge_.reset();
    app_.reset();
    fs::remove_all(root_);
  }

  std::unique_ptr<ServerProcess> start_app() {
    return std::make_unique<ServerProcess>(
        KESTIL_FOLDER_BINARY, std::vector<std::string>{"--config-dir", config_dir_, space_});
  }

  // True once an endpoint is published (by a pid other than `not_pid`, when given).
  bool wait_for_endpoint(uint32_t not_pid) {
    for (int tries = 0; tries < 200; ++tries) {
      auto endpoint = read_endpoint(config_dir_);
      if (endpoint && endpoint->pid != not_pid) return true;
      std::this_thread::sleep_for(25ms);
    }
    return false;
  }

  // The parsed reply to one tools/call through the bridge.
  Json call(const std::string& tool, const std::string& arguments_json) {
    const std::string params = to_compact(
        Json{{"name", tool}, {"arguments", parse_json(arguments_json).value_or(Json())}});
    bridge_->send(request_line(std::to_string(++last_id_), "tools/call", params));
    return parse_line(bridge_->read_line());
  }

  // A raw connection to the app's socket, greeted; the reply to the hello in `hello_reply`.
  UniqueFd connect_raw(std::string& hello_reply) {
    auto endpoint = read_endpoint(config_dir_);
    if (!endpoint) return UniqueFd();
    UniqueFd fd = connect_unix_socket(endpoint->socket);
    set_receive_timeout(fd.get(), 5s);
    send_all(fd.get(), to_line(Hello{}) + "\n");
    hello_reply = read_raw(fd).value_or("");
    return fd;
  }

  static std::optional<std::string> read_raw(const UniqueFd& fd) {
    std::string line;
    char byte;
    while (read(fd.get(), &byte, 1) == 1) {
      if (byte == '\n') return line;
      line += byte;
    }
    return std::nullopt;
  }

  std::string root_, space_, config_dir_;
  std::unique_ptr<ServerProcess> app_;
  std::optional<ServerProcess> bridge_;
  int last_id_ = 0;
};

TEST_F(FolderApp, HelloCarriesTheCatalogHashSoTheBridgeAnnouncesNothing) {
  std::string hello_reply;
  UniqueFd raw = connect_raw(hello_reply);
  EXPECT_EQ(hello_reply, R"({"catalog_hash":")" + catalog_hash() + R"(","ok":true})");

  // The first call through the bridge yields its reply alone: the next line answers the ping.
  Json reply = call("list_spaces", "{}");
  EXPECT_EQ(reply["id"], 1) << reply;
  bridge_->send(request_line("2", "ping"));
  EXPECT_EQ(bridge_->read_line(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
}

TEST_F(FolderApp, EveryLineGetsExactlyOneCompactReply) {
  const struct {
    std::string line;
    std::string reply_prefix;
  } cases[] = {
      {"not json", R"({"error":{"code":-32700,"message":"parse error"},"id":null,)"},
      {"[1]", R"({"error":{"code":-32600,)"},
      {R"({"jsonrpc":"2.0","id":7,"method":"ping"})",
       R"({"error":{"code":-32601,"message":"method not found: ping"},"id":7,)"},
      {R"({"jsonrpc":"2.0","id":"a","method":"tools/call","params":{}})",
       R"({"error":{"code":-32602,)"},
      {R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"no_such_tool"}})",
       R"({"id":8,"jsonrpc":"2.0","result":{"content":[{"text":")"},
  };
  std::string hello_reply;
  UniqueFd raw = connect_raw(hello_reply);
  for (const auto& c : cases) {
    ASSERT_TRUE(send_all(raw.get(), c.line + "\n"));
    const std::string reply = read_raw(raw).value_or("<none>");
    EXPECT_TRUE(reply.starts_with(c.reply_prefix)) << c.line << " -> " << reply;
    EXPECT_EQ(to_compact(parse_json(reply).value_or(Json())), reply) << c.line;
  }
  // Nothing is sent between calls.
  EXPECT_TRUE(is_quiet(raw.get()));
}

TEST_F(FolderApp, ServesASecondConnectionWhileTheFirstStaysOpen) {
  std::string hello_reply;
  UniqueFd idle = connect_raw(hello_reply);
  ASSERT_NE(hello_reply, "");
  EXPECT_EQ(call("list_spaces", "{}")["id"], 1);
  ASSERT_TRUE(send_all(idle.get(), "[]\n"));
  EXPECT_NE(read_raw(idle), std::nullopt);
}

TEST_F(FolderApp, SigtermRemovesTheEndpointAndTheSocket) {
  const std::string socket = read_endpoint(config_dir_)->socket;
  std::string hello_reply;
  UniqueFd open_connection = connect_raw(hello_reply);
  ASSERT_TRUE(app_->send_signal(SIGTERM));
  const int status = app_->wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(config_dir_ + "/mcp/endpoint.json"));
  EXPECT_FALSE(fs::exists(socket));
}

TEST_F(FolderApp, ASecondInstanceIsRefusedWhileTheFirstLivesAndTakesOverAfterACrash) {
  const uint32_t first_pid = read_endpoint(config_dir_)->pid;
  auto second = start_app();
  const int status = second->wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(second->drain_stderr().find("another instance"), std::string::npos);
  EXPECT_EQ(read_endpoint(config_dir_)->pid, first_pid);

  ASSERT_TRUE(app_->send_signal(SIGKILL));
  app_->wait();
  ASSERT_TRUE(fs::exists(config_dir_ + "/mcp/endpoint.json"));  // stale, left by the crash
  auto third = start_app();
  ASSERT_TRUE(wait_for_endpoint(first_pid));
  EXPECT_EQ(call("list_spaces", "{}")["id"], 1);
}

TEST(FolderAppUsage, BadUsageExitsWithStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"--config-dir"}, {"--config-dir", "/tmp"}, {"/tmp"}, {"--bogus", "x", "/tmp"}};
  for (const auto& args : cases) {
    ServerProcess app(KESTIL_FOLDER_BINARY, args);
    const int status = app.wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << ::testing::PrintToString(args);
    EXPECT_NE(app.drain_stderr().find("usage:"), std::string::npos);
  }
}

}  // namespace
}  // namespace kestil::testing
