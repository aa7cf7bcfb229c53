#include "ipc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_app.h"

namespace kestil {
namespace {

using testing::TempDir;

using namespace std::chrono_literals;

constexpr std::string_view VALID_ENDPOINT =
    R"({"v":1,"socket":"/tmp/a.sock","pid":42,"app_version":"1.2"})";

void write_endpoint(const std::string& config_dir, std::string_view text) {
  std::filesystem::create_directories(config_dir + "/mcp");
  UniqueFd fd(::open((config_dir + "/mcp/endpoint.json").c_str(), O_WRONLY | O_CREAT, 0600));
  ASSERT_TRUE(write_all(fd.get(), text));
}

TEST(EndpointFile, RejectsEveryMalformedFile) {
  const std::vector<std::string> invalid = {
      "",
      " \n\t\r ",
      R"({"socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":1,"pid":1,"app_version":"1"})",
      R"({"v":1,"socket":"/s","app_version":"1"})",
      R"({"v":1,"socket":"/s","pid":1})",
      R"({"V":1,"socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":1,"v":1,"socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":1,"socket":"/s","socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":1,"socket":"/s","pid":-1,"app_version":"1"})",
      R"({"v":1,"socket":"/s","pid":4294967296,"app_version":"1"})",
      R"({"v":1.0,"socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":1e3,"socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":"1","socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":true,"socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":1,"socket":null,"pid":1,"app_version":"1"})",
      R"({"v":1,"socket":"/s","pid":1,"app_version":2})",
      R"([{"v":1,"socket":"/s","pid":1,"app_version":"1"}])",
      std::string(VALID_ENDPOINT) + " {}",
      std::string(VALID_ENDPOINT) + " x",
      "\xEF\xBB\xBF" + std::string(VALID_ENDPOINT),
      std::string(VALID_ENDPOINT) + std::string(1, '\0'),
  };
  for (const std::string& text : invalid) {
    EXPECT_FALSE(parse_endpoint(text)) << text;
  }
}

TEST(EndpointFile, AcceptsExtrasAndSurroundingWhiteSpace) {
  auto endpoint = parse_endpoint(
      "\r\n {\"started\":{\"at\":[1,2]},\"v\":0,\"socket\":\"/tmp/\\u0061.sock\","
      "\"pid\":4294967295,\"app_version\":\"\",\"extra\":null} \n\t");
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->v, 0u);
  EXPECT_EQ(endpoint->socket, "/tmp/a.sock");
  EXPECT_EQ(endpoint->pid, 4294967295u);
  EXPECT_EQ(endpoint->app_version, "");
}

TEST(EndpointFile, ReadsFromTheConfigDir) {
  TempDir dir;
  EXPECT_FALSE(read_endpoint(dir.path()));
  write_endpoint(dir.path(), VALID_ENDPOINT);
  EXPECT_EQ(read_endpoint(dir.path())->pid, 42u);
  EXPECT_EQ(read_endpoint(dir.path() + "/")->pid, 42u);
  EXPECT_EQ(join_path("a/", "mcp"), "a/mcp");
  EXPECT_EQ(join_path("", "mcp"), "mcp");
}

TEST(EndpointFile, EmptyConfigDirIsTheWorkingDirectory) {
  TempDir dir;
  write_endpoint(dir.path(), VALID_ENDPOINT);
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  auto endpoint = read_endpoint("");
  std::filesystem::current_path(previous);
  EXPECT_TRUE(endpoint);
}

TEST(EndpointFile, DirectoryInsteadOfFileIsNoEndpoint) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() + "/mcp/endpoint.json");
  EXPECT_FALSE(read_endpoint(dir.path()));
}

// Sets or unsets one environment variable for a scope, restoring it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ConfigDir, FollowsTheEnvironment) {
  const std::string support = "Library/Application Support/" + std::string(APP_SUPPORT_ID);
  struct Case {
    const char* config_dir;
    const char* home;
    std::optional<std::string> expected;
  };
  for (const Case& c : std::vector<Case>{{"/cfg/", "/Users/x", "/cfg/"},
                                         {"", nullptr, ""},
                                         {nullptr, "/Users/x/", "/Users/x/" + support},
                                         {nullptr, "", support},
                                         {nullptr, nullptr, std::nullopt}}) {
    ScopedEnv dir("KESTIL_CONFIG_DIR", c.config_dir);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(default_config_dir(), c.expected) << (c.config_dir ? c.config_dir : "unset");
  }
}

TEST(HelloRecords, HelloIsWrittenInItsFixedOrderWithEscapes) {
  Hello hello;
  hello.client_name = "Cl\"au\\de \xC3\xA9\n";
  hello.client_version = "1.0";
  EXPECT_EQ(to_line(hello),
            "{\"ipc\":1,\"bridge_version\":\"0.1.0\",\"client_name\":\"Cl\\\"au\\\\de "
            "\xC3\xA9\\n\",\"client_version\":\"1.0\"}");
}

TEST(HelloRecords, ReplyNeedsOkAndCatalogHashOnce) {
  auto reply = parse_hello_reply(" {\"ok\":true,\"catalog_hash\":\"ab\",\"x\":[1]}\r\n");
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->ok);
  EXPECT_EQ(reply->catalog_hash, "ab");
  EXPECT_FALSE(parse_hello_reply(R"({"ok":false,"catalog_hash":"ab"})")->ok);

  for (const char* invalid :
       {"", "  ", R"({"ok":true})", R"({"catalog_hash":"ab"})",
        R"({"ok":"true","catalog_hash":"ab"})", R"({"ok":true,"catalog_hash":null})",
        R"({"ok":true,"ok":true,"catalog_hash":"ab"})", R"({"ok":true,"catalog_hash":"ab"} {})",
        "[true]"}) {
    EXPECT_FALSE(parse_hello_reply(invalid)) << invalid;
  }
}

// A path of exactly `size` bytes inside `dir`.
std::string path_of_size(const std::string& dir, std::size_t size) {
  std::string path = dir + "/";
  return path + std::string(size - path.size(), 's');
}

// Listens at `path` directly, without the length limit under test, where sun_path allows.
UniqueFd raw_listener(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return UniqueFd();
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 1) != 0) {
    return UniqueFd();
  }
  return fd;
}

bool close_on_exec(int fd) {
  return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

TEST(UnixSocket, PathsUpToTheLimitConnect) {
  TempDir dir;
  std::string path = path_of_size(dir.path(), MAX_SOCKET_PATH_BYTES);
  UniqueFd listener = listen_unix_socket(path);
  ASSERT_TRUE(listener.valid());
  UniqueFd client = connect_unix_socket(path);
  ASSERT_TRUE(client.valid());
  UniqueFd server = accept_connection(listener.get());
  ASSERT_TRUE(server.valid());
  EXPECT_TRUE(close_on_exec(client.get()));
  EXPECT_TRUE(close_on_exec(server.get()));
  EXPECT_TRUE(close_on_exec(duplicate_fd(client.get()).get()));
}

TEST(UnixSocket, LongEmptyOrNulPathsFailEvenWithAListener) {
  TempDir dir;
  std::string too_long = path_of_size(dir.path(), MAX_SOCKET_PATH_BYTES + 1);
  UniqueFd listener = raw_listener(too_long);  // possible on Linux, not on macOS
  EXPECT_FALSE(connect_unix_socket(too_long).valid());
  EXPECT_FALSE(listen_unix_socket(too_long).valid());

  std::string short_path = dir.path() + "/a";
  UniqueFd short_listener = listen_unix_socket(short_path);
  ASSERT_TRUE(short_listener.valid());
  EXPECT_FALSE(connect_unix_socket(short_path + std::string(1, '\0') + "b").valid());
  EXPECT_FALSE(connect_unix_socket("").valid());
  EXPECT_FALSE(connect_unix_socket(dir.path() + "/nobody").valid());
}

struct SocketPair {
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      reader = UniqueFd(fds[0]);
      writer = UniqueFd(fds[1]);
    }
  }
  UniqueFd reader;
  UniqueFd writer;
};

TEST(UnixSocket, QuietUntilDataOrHangUpAndNoSigpipe) {
  SocketPair pair;
  EXPECT_TRUE(is_quiet(pair.reader.get()));
  ASSERT_TRUE(send_all(pair.writer.get(), "x"));
  EXPECT_FALSE(is_quiet(pair.reader.get()));

  SocketPair closed;
  closed.writer = UniqueFd();
  EXPECT_FALSE(is_quiet(closed.reader.get()));
  // Would end the test process with SIGPIPE if send_all did not suppress it.
  EXPECT_FALSE(send_all(closed.reader.get(), "x"));
}

TEST(LineReader, JoinsALineSentInManySmallWrites) {
  SocketPair pair;
  std::thread writer([&] {
    for (char c : std::string("split line\r\n")) {
      send_all(pair.writer.get(), std::string(1, c));
      std::this_thread::sleep_for(1ms);
    }
  });
  LineReader reader(pair.reader.get(), READ_BUFFER_SIZE);
  std::string_view line;
  EXPECT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_EQ(line, "split line\r");
  writer.join();
}

TEST(LineReader, LinesLongerThanTheChunkAndALastLineWithoutLf) {
  SocketPair pair;
  std::string long_line(10000, 'x');
  long_line[7777] = '\r';
  ASSERT_TRUE(send_all(pair.writer.get(), long_line + "\n\nlast"));
  pair.writer = UniqueFd();

  LineReader reader(pair.reader.get(), 16);
  std::string_view line;
  ASSERT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_EQ(line, long_line);
  ASSERT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_EQ(line, "");
  ASSERT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_EQ(line, "last");
  EXPECT_EQ(reader.read_line(line), ReadStatus::end_of_stream);
  EXPECT_EQ(reader.read_line(line), ReadStatus::end_of_stream);
}

TEST(LineReader, KnowsWhatIsBufferedBeyondTheLine) {
  SocketPair pair;
  ASSERT_TRUE(send_all(pair.writer.get(), "one\ntwo\n"));
  LineReader reader(pair.reader.get(), READ_BUFFER_SIZE);
  std::string_view line;
  ASSERT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_EQ(line, "one");
  EXPECT_TRUE(reader.has_buffered());
  ASSERT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_EQ(line, "two");
  EXPECT_FALSE(reader.has_buffered());
}

TEST(LineReader, TimesOutAndKeepsThePartialLine) {
  SocketPair pair;
  ASSERT_TRUE(set_receive_timeout(pair.reader.get(), 50ms));
  LineReader reader(pair.reader.get(), READ_BUFFER_SIZE);
  std::string_view line;
  ASSERT_TRUE(send_all(pair.writer.get(), "par"));
  EXPECT_EQ(reader.read_line(line), ReadStatus::timed_out);
  ASSERT_TRUE(send_all(pair.writer.get(), "tial\n"));
  ASSERT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_EQ(line, "partial");
}

TEST(LineReader, ReadErrorIsAFailure) {
  LineReader reader(-1, READ_BUFFER_SIZE);
  std::string_view line;
  EXPECT_EQ(reader.read_line(line), ReadStatus::failed);
}

}  // namespace
}  // namespace kestil
