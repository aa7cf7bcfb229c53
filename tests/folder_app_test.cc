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

void write_file(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The one text of a tool result.
std::string text_of(const Json& reply) {
  const Json* text = &reply;
  for (const char* key : {"result", "content"}) {
    if (!text->is_object() || !text->contains(key)) return "<no " + std::string(key) + ">";
    text = &(*text)[key];
  }
  if (!text->is_array() || text->empty() || !(*text)[0].contains("text")) return "<no text>";
  return (*text)[0]["text"].get<std::string>();
}

bool is_error(const Json& reply) {
  return reply.contains("result") && reply["result"].value("isError", false);
}

// The ref comment right before the block that starts with `start`, from read_note's Markdown.
std::string ref_before(const std::string& markdown, const std::string& start) {
  const std::size_t block = markdown.find("-->\n" + start);
  const std::size_t open = markdown.rfind("<!-- ", block);
  if (block == std::string::npos || open == std::string::npos) return "<no ref>";
  const std::string comment = markdown.substr(open + 5, block - open - 5);
  return comment.substr(0, comment.find(' '));
}

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
    for (const auto& [path, text] : SPACE_FILES) write_file(space_ + "/" + path, text);
    // Ways out of the space that every path argument must refuse.
    write_file(root_ + "/secret.md", "# Secret\n\nthe key is 1234\n");
    fs::create_directory_symlink(root_, space_ + "/Escape");
    fs::create_symlink(root_ + "/secret.md", space_ + "/Leak.md");
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

TEST_F(FolderApp, ToolsAnswerThroughTheBridgeAndStayInsideTheSpace) {
  const struct {
    std::string tool;
    std::string arguments;
    bool is_error;
    std::string contains;  // in the text; "" to check nothing
  } cases[] = {
      // Reading: a Korean word matches with its particle attached.
      {"search_notes", R"({"query":"서울"})", false, "메모"},
      {"read_note", R"({"note":"Projects/Garden"})", false, "Raised beds by the fence"},
      {"get_backlinks", R"({"note":"Welcome"})", false, "Projects/Garden"},
      {"list_tasks", R"({})", false, "build the beds"},
      {"list_tags", R"({})", false, "spring"},
      // Failures are tool errors, never JSON-RPC errors or crashes.
      {"read_note", R"({"note":"No Such Note"})", true, ""},
      {"read_note", R"({"note":"../secret"})", true, ""},
      {"read_note", R"({"note":"/etc/passwd"})", true, ""},
      {"read_note", R"({"note":"Leak"})", true, ""},
      {"read_note", R"({"note":"Escape/secret"})", true, ""},
      {"list_folder", R"({"folder":"Escape"})", true, ""},
      {"create_note", R"({"title":"Planted","markdown":"x","folder":"Escape"})", true, ""},
      {"append_to_daily_note", R"({"markdown":"x","date":"2026-13-01"})", true, ""},
      {"list_recent", R"({"limit":0})", true, ""},
      {"read_note", R"({})", true, ""},
  };
  for (const auto& c : cases) {
    const Json reply = call(c.tool, c.arguments);
    const std::string text = text_of(reply);
    EXPECT_EQ(is_error(reply), c.is_error) << c.tool << " " << c.arguments << ": " << reply;
    EXPECT_NE(text.find(c.contains), std::string::npos)
        << c.tool << " " << c.arguments << ": " << text;
    EXPECT_EQ(text.find("1234"), std::string::npos) << c.tool << " " << c.arguments;
  }
  EXPECT_FALSE(fs::exists(root_ + "/Planted.md"));
  EXPECT_EQ(read_file(root_ + "/secret.md"), "# Secret\n\nthe key is 1234\n");
}

TEST_F(FolderApp, AnEditWithAStaleRefChangesNothingAndAFreshOneAppliesWhole) {
  const std::string garden = space_ + "/Projects/Garden.md";
  const Json read = parse_json(text_of(call("read_note", R"({"note":"Projects/Garden"})")))
                        .value_or(Json::object());
  const std::string markdown = read.value("markdown", "");
  const std::string title_ref = ref_before(markdown, "# Garden");
  std::string beds_ref = ref_before(markdown, "Raised beds");

  // The person changes one block after the read: its ref goes stale, the other stays good.
  std::string changed = read_file(garden);
  changed.replace(changed.find("by the fence"), 12, "by the gate");
  write_file(garden, changed);
  const auto edit = [&](const std::string& version) {
    return call(
        "edit_note",
        to_compact(
            Json{{"note", "Projects/Garden"},
                 {"version", version},
                 {"ops",
                  Json::array(
                      {{{"op", "replace"}, {"ref", title_ref}, {"markdown", "# Garden plan"}},
                       {{"op", "replace"}, {"ref", beds_ref}, {"markdown", "Two beds only."}}})}}));
  };
  const Json stale = edit(read.value("version", ""));
  EXPECT_TRUE(is_error(stale)) << stale;
  EXPECT_NE(text_of(stale).find("stale_ref"), std::string::npos) << stale;
  EXPECT_NE(text_of(stale).find(beds_ref), std::string::npos) << stale;
  EXPECT_EQ(read_file(garden), changed);

  const Json reread = parse_json(text_of(call("read_note", R"({"note":"Projects/Garden"})")))
                          .value_or(Json::object());
  EXPECT_EQ(title_ref, ref_before(reread.value("markdown", ""), "# Garden"));
  const std::string fresh_beds_ref = ref_before(reread.value("markdown", ""), "Raised beds");
  EXPECT_NE(fresh_beds_ref, beds_ref);
  beds_ref = fresh_beds_ref;
  const Json applied = edit(reread.value("version", ""));
  EXPECT_FALSE(is_error(applied)) << applied;
  const std::string now = read_file(garden);
  EXPECT_NE(now.find("# Garden plan\n"), std::string::npos) << now;
  EXPECT_NE(now.find("Two beds only."), std::string::npos) << now;
  EXPECT_EQ(now.find("Raised beds"), std::string::npos) << now;
}

// The endpoint of some other app: refused while its process lives and its socket accepts,
// taken over once it no longer accepts.
TEST(FolderAppStart, RefusesALiveEndpointAndTakesOverAStaleOne) {
  std::string root = "/tmp/kestil-folder-test-XXXXXX";
  ASSERT_NE(mkdtemp(root.data()), nullptr);
  fs::create_directories(root + "/Notes");
  fs::create_directories(root + "/config/mcp");
  const std::string socket = root + "/other.sock";
  write_file(
      root + "/config/mcp/endpoint.json",
      to_compact(Json{{"app_version", "9"}, {"pid", getpid()}, {"socket", socket}, {"v", 1}}));
  const std::vector<std::string> args{"--config-dir", root + "/config", root + "/Notes"};
  {
    UniqueFd other = listen_unix_socket(socket);
    ServerProcess refused(KESTIL_FOLDER_BINARY, args);
    const int status = refused.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(refused.drain_stderr().find("another instance"), std::string::npos);
  }
  ServerProcess taking_over(KESTIL_FOLDER_BINARY, args);
  bool taken = false;
  for (int tries = 0; tries < 200 && !taken; ++tries) {
    std::this_thread::sleep_for(25ms);
    auto endpoint = read_endpoint(root + "/config");
    taken = endpoint && endpoint->socket != socket;
  }
  EXPECT_TRUE(taken);
  fs::remove_all(root);
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
