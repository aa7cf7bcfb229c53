// What needs a seam or the real clock: launching the app (the launcher is redirected to a
// script) and the real time limits (slow).
#include "bridge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "catalog.h"

namespace kestil {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string CALL = R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"x"}})";
const std::string NOT_RUNNING =
    R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"unavailable: kestil is not running, or its AI connection is off. Open kestil, turn on Settings > AI connection, open the space, and try again.","type":"text"}],"isError":true}})";

std::string answer(Bridge& bridge) {
  return compact_line(bridge.handle_line(CALL).back());
}

struct TempDir {
  TempDir() {
    char pattern[] = "/tmp/kst-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

// A stand-in app in a child process: listens in `dir` at once, publishes its endpoint after
// `publish_after`, answers the hello unless `greets` is false and the first call with an empty
// result unless `answers` is false, then holds the connection until destroyed.
class App {
 public:
  App(const std::string& dir, Clock::duration publish_after, bool greets = true,
      bool answers = true) {
    UniqueFd listener = listen_unix_socket(dir + "/app.sock");
    if ((pid_ = ::fork()) != 0) return;
    std::this_thread::sleep_for(publish_after);
    std::filesystem::create_directories(dir + "/mcp");
    std::ofstream(dir + "/mcp/endpoint.json")
        << R"({"v":1,"socket":")" << dir << R"(/app.sock","pid":1,"app_version":"t"})";
    UniqueFd connection = accept_connection(listener.get());
    LineReader reader(connection.get(), 4096);
    std::string_view line;
    if (reader.read_line(line) == ReadStatus::line && greets) {
      send_all(connection.get(), R"({"ok":true,"catalog_hash":")" + catalog_hash() + "\"}\n");
    }
    if (reader.read_line(line) == ReadStatus::line && answers) {
      send_all(connection.get(), "{\"id\":1,\"result\":{}}\n");
    }
    ::pause();
    ::_exit(0);
  }
  ~App() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

// A launcher that notes its arguments, and where its stdin and stdout lead, in <dir>/launches.
std::string write_launcher(const std::string& dir) {
  const std::string path = dir + "/launcher";
  std::ofstream(path) << "#!/bin/sh\necho \"$@\" >> " << dir << "/launches\n"
                      << "[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ] || echo stdin >> " << dir
                      << "/launches\n"
                      << "[ \"$(readlink /proc/$$/fd/1)\" = \"$(readlink /proc/$$/fd/2)\" ] || "
                      << "echo stdout >> " << dir << "/launches\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

TEST(Launching, StartsTheAppOnceAndDialsUntilItPublishes) {
  TempDir dir;
  std::optional<App> app(std::in_place, dir.path, 600ms);
  Bridge bridge(true, dir.path);
  bridge.launcher = write_launcher(dir.path);
  bridge.launch_wait = 1500ms;
  // The host's requests arrive on stdin, which the launcher must not share.
  int host[2];
  ASSERT_EQ(::pipe(host), 0);
  const int saved_stdin = ::dup(STDIN_FILENO);
  ::dup2(host[0], STDIN_FILENO);
  EXPECT_EQ(answer(bridge), R"({"id":1,"result":{}})");
  ::dup2(saved_stdin, STDIN_FILENO);
  for (int fd : {saved_stdin, host[0], host[1]}) ::close(fd);
  const auto launches = [&] {
    std::ifstream file(dir.path + "/launches");
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  EXPECT_EQ(launches(), "-g -b app.kestil.mac\n");

  app.reset();  // the app quits
  const auto started = Clock::now();
  EXPECT_EQ(answer(bridge), NOT_RUNNING);
  EXPECT_LT(Clock::now() - started, 1s);  // no second launch, no wait
  EXPECT_EQ(launches(), "-g -b app.kestil.mac\n");
}

// The real limits, each proven once; about 80 s together. The upper bounds allow for timers
// that fire a few percent late on a loaded or virtual machine.
TEST(BridgeSlow, HelloWaitIsTenSeconds) {
  TempDir dir;
  App app(dir.path, 0s, /*greets=*/false);
  Bridge bridge(false, dir.path);
  std::this_thread::sleep_for(100ms);
  const auto started = Clock::now();
  EXPECT_EQ(answer(bridge), NOT_RUNNING);
  EXPECT_GE(Clock::now() - started, 10s);
  EXPECT_LT(Clock::now() - started, 11'500ms);
}

TEST(BridgeSlow, LaunchWindowIsTenSecondsOfDialsEveryQuarterSecond) {
  TempDir dir, late_dir;
  Bridge bridge(true, dir.path);
  bridge.launcher = dir.path + "/missing-launcher";
  auto started = Clock::now();
  EXPECT_EQ(answer(bridge), NOT_RUNNING);
  EXPECT_GE(Clock::now() - started, 10s);
  EXPECT_LT(Clock::now() - started, 11'500ms);

  App late(late_dir.path, 8s);
  Bridge patient(true, late_dir.path);
  patient.launcher = bridge.launcher;
  started = Clock::now();
  EXPECT_EQ(answer(patient), R"({"id":1,"result":{}})");
  EXPECT_GE(Clock::now() - started, 8s);
  EXPECT_LT(Clock::now() - started, 9s);
}

TEST(BridgeSlow, CallWaitIsFiftySeconds) {
  TempDir dir;
  App app(dir.path, 0s, /*greets=*/true, /*answers=*/false);
  Bridge bridge(false, dir.path);
  std::this_thread::sleep_for(100ms);
  const auto started = Clock::now();
  EXPECT_EQ(
      answer(bridge),
      R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"timeout: kestil did not answer within 50 s. It may be busy (a big sync or index pass) or stuck; a change may still be applied, so check the note before retrying.","type":"text"}],"isError":true}})");
  EXPECT_GE(Clock::now() - started, 50s);
  EXPECT_LT(Clock::now() - started, 55s);
}

}  // namespace
}  // namespace kestil
