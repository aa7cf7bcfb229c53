// kestil-folder end to end: only what needs the real processes, the real app reached through
// the real kestil-mcp or its socket. What each tool answers is in folder_tools_test.cc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "catalog.h"
#include "ipc.h"
#include "protocol.h"

extern char** environ;

namespace kestil::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A child whose stdin and stdout are one socket, so that reads from it time out.
struct Child {
  pid_t pid = -1;
  UniqueFd io;
  ~Child() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
  // The exit status, or -1 when the child has not ended within ten seconds (it is killed later).
  int exit_status() {
    int status = 0;
    for (int tries = 0; tries < 400; ++tries, std::this_thread::sleep_for(25ms)) {
      if (waitpid(pid, &status, WNOHANG) != pid) continue;
      pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return -1;
  }
};

std::unique_ptr<Child> spawn(std::vector<std::string> args,
                             const std::string& error_file = "/dev/null") {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_file.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  auto child = std::make_unique<Child>();
  posix_spawn(&child->pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pair[1]);
  child->io = UniqueFd(pair[0]);
  set_receive_timeout(pair[0], 20s);
  return child;
}

// The next line from `fd` without its LF; "" when none comes.
std::string read_line(int fd) {
  std::string line;
  char byte;
  while (read(fd, &byte, 1) == 1 && byte != '\n') line += byte;
  return line;
}

class FolderApp : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = "/tmp/kestil-folder-test-XXXXXX";
    ASSERT_NE(mkdtemp(root_.data()), nullptr);
    fs::create_directories(root_ + "/Notes");
    std::ofstream(root_ + "/Notes/Garden.md") << "# Garden\n\nRaised beds by the fence.\n";
    // Left by a write that a crash cut short: the app tidies it at start.
    std::ofstream(root_ + "/Notes/.kestil-tmp-999999-1-Garden.md") << "half a note";
    app_ = start_app();
    for (int tries = 0; tries < 200 && !read_endpoint(root_ + "/config"); ++tries) {
      std::this_thread::sleep_for(25ms);
    }
    ASSERT_TRUE(read_endpoint(root_ + "/config"));
    bridge_ = spawn({"/usr/bin/env", "KESTIL_CONFIG_DIR=" + root_ + "/config", KESTIL_MCP_BINARY,
                     "--no-launch"});
  }

  // The children are killed after: nothing of theirs writes into the folder meanwhile.
  void TearDown() override { fs::remove_all(root_); }

  std::unique_ptr<Child> start_app(const std::string& config = "/config",
                                   const std::string& notes = "/Notes") {
    return spawn({KESTIL_FOLDER_BINARY, "--config-dir", root_ + config, root_ + notes},
                 root_ + "/app.err");
  }

  // Sends one request to the bridge and returns the next line it writes.
  std::string request(const std::string& method, const std::string& params = "{}") {
    send_all(bridge_->io.get(), R"({"jsonrpc":"2.0","id":)" + std::to_string(++last_id_) +
                                    R"(,"method":")" + method + R"(","params":)" + params + "}\n");
    return read_line(bridge_->io.get());
  }

  std::string root_;
  std::unique_ptr<Child> app_, bridge_;
  int last_id_ = 0;
};

// The catalog hash in the hello spares the bridge a list_changed, so each call yields one line;
// the bridge's connection is served while this first one stays open.
TEST_F(FolderApp, TheBridgeRelaysCallsWithoutAnnouncingAChange) {
  UniqueFd raw = connect_unix_socket(read_endpoint(root_ + "/config")->socket);
  set_receive_timeout(raw.get(), 5s);
  send_all(raw.get(), to_line(Hello{}) + "\n");
  EXPECT_EQ(read_line(raw.get()), R"({"catalog_hash":")" + catalog_hash() + R"(","ok":true})");
  EXPECT_EQ(
      request("tools/call", R"({"name":"list_spaces"})"),
      R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"{\"open\":\"Notes\",)"
      R"(\"spaces\":[{\"name\":\"Notes\",\"open\":true}]}","type":"text"}],"isError":false}})");
  EXPECT_EQ(request("ping"), R"({"id":2,"jsonrpc":"2.0","result":{}})");

  // One call per tool family: a write, a read of it, a failure.
  const std::pair<const char*, const char*> cases[] = {
      {R"({"name":"append_to_note","arguments":{"note":"Garden","markdown":"Water it."}})",
       R"(\"path\":\"Garden\")"},
      {R"({"name":"read_note","arguments":{"note":"Garden"}})", "Water it."},
      {R"({"name":"read_note","arguments":{"note":"../secret"}})",
       R"('.' or '..' part; give a path inside the space.","type":"text"}],"isError":true}})"},
  };
  for (const auto& [params, expected] : cases) {
    const std::string reply = request("tools/call", params);
    EXPECT_NE(reply.find(expected), std::string::npos) << reply;
  }
}

// A second instance is refused while the first lives, on the same config dir or on the same
// folder (or one inside it) with another, and so is one facing another app's live endpoint;
// SIGTERM takes the endpoint and the socket away.
TEST_F(FolderApp, ASecondInstanceIsRefusedAndSigtermRemovesTheEndpoint) {
  const Endpoint first = *read_endpoint(root_ + "/config");
  EXPECT_EQ(start_app()->exit_status(), 1);
  fs::create_directories(root_ + "/Notes/Sub");
  for (const char* notes : {"/Notes", "/Notes/Sub"}) {
    EXPECT_EQ(start_app("/other-config", notes)->exit_status(), 1);
    std::ifstream error(root_ + "/app.err");
    std::string said(std::istreambuf_iterator<char>(error), {});
    EXPECT_NE(said.find("(pid " + std::to_string(app_->pid) + ")"), std::string::npos) << said;
    EXPECT_NE(said.find(fs::canonical(root_ + "/Notes").string()), std::string::npos) << said;
  }
  ASSERT_EQ(kill(app_->pid, SIGTERM), 0);
  EXPECT_EQ(app_->exit_status(), 0);
  EXPECT_FALSE(fs::exists(root_ + "/config/mcp/endpoint.json"));
  EXPECT_FALSE(fs::exists(first.socket));

  UniqueFd other = listen_unix_socket(root_ + "/other.sock");
  std::ofstream(root_ + "/config/mcp/endpoint.json")
      << R"({"app_version":"9","pid":)" << getpid() << R"(,"socket":")" << root_
      << "/other.sock\",\"v\":1}";
  EXPECT_EQ(start_app()->exit_status(), 1);
}

// Every path named anywhere in a tool's result.
void collect_paths(const Json& value, std::vector<std::string>& paths) {
  if (value.is_object() && value.contains("path") && value["path"].is_string()) {
    paths.push_back(value["path"]);
  }
  if (value.is_structured()) {
    for (const Json& item : value) collect_paths(item, paths);
  }
}

// The real watcher: each change is made from outside and the calls right after it must see it,
// whatever kind of save it was, with no wait in between.
TEST_F(FolderApp, CallsSeeEveryOutsideChangeAtOnce) {
  const std::string notes = root_ + "/Notes";
  auto write = [&](const std::string& path, const std::string& text) {
    std::ofstream(notes + "/" + path) << text;
  };
  auto paths_of = [&](const std::string& tool, const std::string& arguments) {
    Json reply = Json::parse(
        request("tools/call", R"({"name":")" + tool + R"(","arguments":)" + arguments + "}"));
    std::vector<std::string> paths;
    collect_paths(Json::parse(reply["result"]["content"][0]["text"].get<std::string>()), paths);
    return paths;
  };
  struct Check {
    const char* tool;
    const char* arguments;
    const char* path;
    bool listed;
  };
  struct Step {
    const char* name;
    std::function<void()> change;
    std::vector<Check> checks;
  };
  const Check SEARCH_ALPHA = {"search_notes", R"({"query":"alpha"})", "Alpha", true};
  const Check TAGGED_ALPHA = {"notes_with_tag", R"({"tag":"fresh"})", "Alpha", true};
  const Check LINKS_ALPHA = {"get_backlinks", R"({"note":"Garden"})", "Alpha", true};
  const Step steps[] = {
      {"plain write",
       [&] { write("Alpha.md", "alpha words #fresh, see [[Garden]]\n"); },
       {SEARCH_ALPHA, TAGGED_ALPHA, LINKS_ALPHA}},
      {"temp and rename",
       [&] {
         write(".Beta.md.swp", "beta words #fresh [[Garden]]\n");
         fs::rename(notes + "/.Beta.md.swp", notes + "/Beta.md");
       },
       {{"search_notes", R"({"query":"beta"})", "Beta", true},
        {"notes_with_tag", R"({"tag":"fresh"})", "Beta", true}}},
      {"append",
       [&] { std::ofstream(notes + "/Alpha.md", std::ios::app) << "gamma rays\n"; },
       {{"search_notes", R"({"query":"gamma"})", "Alpha", true}}},
      {"delete",
       [&] { fs::remove(notes + "/Alpha.md"); },
       {{SEARCH_ALPHA.tool, SEARCH_ALPHA.arguments, "Alpha", false},
        {TAGGED_ALPHA.tool, TAGGED_ALPHA.arguments, "Alpha", false},
        {LINKS_ALPHA.tool, LINKS_ALPHA.arguments, "Alpha", false}}},
      {"mv into a new folder",
       [&] {
         fs::create_directory(notes + "/Old");
         fs::rename(notes + "/Beta.md", notes + "/Old/Beta.md");
       },
       {{"search_notes", R"({"query":"beta"})", "Old/Beta", true},
        {"search_notes", R"({"query":"beta"})", "Beta", false}}},
      {"new folder with a note",
       [&] {
         fs::create_directories(notes + "/New/Deeper");
         write("New/Deeper/Delta.md", "delta words\n");
       },
       {{"search_notes", R"({"query":"delta"})", "New/Deeper/Delta", true}}},
      {"space folder gone and back",
       [&] {
         fs::rename(notes, root_ + "/Away");
         std::ofstream(root_ + "/Away/Epsilon.md") << "epsilon words\n";
         fs::rename(root_ + "/Away", notes);
       },
       {{"search_notes", R"({"query":"epsilon"})", "Epsilon", true},
        {"search_notes", R"({"query":"delta"})", "New/Deeper/Delta", true}}},
      {"folder unreadable and back",
       [&] {
         fs::permissions(notes + "/New", fs::perms::none);
         fs::permissions(notes + "/New", fs::perms::owner_all);
         write("New/Zeta.md", "zeta words\n");
       },
       {{"search_notes", R"({"query":"zeta"})", "New/Zeta", true},
        {"search_notes", R"({"query":"delta"})", "New/Deeper/Delta", true}}},
  };
  // Answered from the index from here on, not by scanning the files.
  for (int tries = 0; tries < 200; ++tries, std::this_thread::sleep_for(25ms)) {
    std::ifstream log(root_ + "/app.err");
    std::string said((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    if (said.find(" ready: ") != std::string::npos) break;
  }
  for (const Step& step : steps) {
    step.change();
    for (const Check& check : step.checks) {
      std::vector<std::string> paths = paths_of(check.tool, check.arguments);
      bool listed = std::find(paths.begin(), paths.end(), check.path) != paths.end();
      EXPECT_EQ(listed, check.listed) << step.name << ": " << check.tool << " " << check.arguments;
    }
  }
  // The leftover of a cut-short write was tidied by the app's own start.
  for (int tries = 0; tries < 200 && fs::exists(notes + "/.kestil-tmp-999999-1-Garden.md");
       ++tries) {
    std::this_thread::sleep_for(25ms);
  }
  EXPECT_FALSE(fs::exists(notes + "/.kestil-tmp-999999-1-Garden.md"));
}

}  // namespace
}  // namespace kestil::testing
