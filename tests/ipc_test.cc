// The records the app writes and reads, socket path limits and the line reader.
#include "ipc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace kestil {
namespace {

using namespace std::chrono_literals;
using namespace std::literals;

TEST(Records, EndpointNeedsFourPlainMembersOnce) {
  const std::string VALID = R"({"v":1,"socket":"/s","pid":1,"app_version":"1"})";
  const std::string INVALID[] = {
      "",
      R"({"socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":1,"pid":1,"app_version":"1"})",
      R"({"v":1,"socket":"/s","app_version":"1"})",
      R"({"v":1,"socket":"/s","pid":1})",
      R"({"v":1,"v":1,"socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":1,"socket":"/s","pid":-1,"app_version":"1"})",
      R"({"v":1,"socket":"/s","pid":4294967296,"app_version":"1"})",
      R"({"v":1.0,"socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":"1","socket":"/s","pid":1,"app_version":"1"})",
      R"({"v":1,"socket":null,"pid":1,"app_version":"1"})",
      R"({"v":1,"socket":"/s","pid":1,"app_version":2})",
      "[" + VALID + "]",
      VALID + " {}",
      "\xEF\xBB\xBF" + VALID,
  };
  for (const std::string& text : INVALID) EXPECT_FALSE(parse_endpoint(text)) << text;
  const auto endpoint = parse_endpoint(
      "\r\n {\"x\":{\"at\":[1]},\"v\":0,\"socket\":\"/tmp/\\u0061.sock\",\"pid\":4294967295,"
      "\"app_version\":\"\"} \n");
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->v, 0u);
  EXPECT_EQ(endpoint->socket, "/tmp/a.sock");
  EXPECT_EQ(endpoint->pid, 4294967295u);
  EXPECT_EQ(endpoint->app_version, "");
}

TEST(Records, HelloAndItsReply) {
  const Hello hello{.client_name = "C\"l\\ \xC3\xA9\n", .client_version = "1.0"};
  EXPECT_EQ(to_line(hello), R"({"ipc":1,"bridge_version":"0.1.0","client_name":"C\"l\\ )"
                            "\xC3\xA9"
                            R"(\n","client_version":"1.0"})");
  const auto reply = parse_hello_reply(" {\"ok\":false,\"catalog_hash\":\"ab\",\"x\":[1]}\r\n");
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->ok);
  EXPECT_EQ(reply->catalog_hash, "ab");
  for (const char* invalid :
       {"", R"({"ok":true})", R"({"catalog_hash":"ab"})", R"({"ok":"true","catalog_hash":"ab"})",
        R"({"ok":true,"catalog_hash":null})", R"({"ok":true,"ok":true,"catalog_hash":"ab"})",
        R"({"ok":true,"catalog_hash":"ab"} {})", "[true]"}) {
    EXPECT_FALSE(parse_hello_reply(invalid)) << invalid;
  }
}

TEST(UnixSocket, PathsEndAt103BytesEvenWhereTheSystemTakesMore) {
  char pattern[] = "/tmp/kst-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  const std::string longest = dir + "/" + std::string(103 - dir.size() - 1, 's');
  const std::string too_long = longest + "s";
  UniqueFd listener = listen_unix_socket(longest);
  EXPECT_TRUE(connect_unix_socket(longest).valid());
  // Linux takes 107 bytes: listen there without the limit, which must still refuse to connect.
  UniqueFd raw(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, too_long.data(),
              std::min(too_long.size(), sizeof address.sun_path - 1));
  ::bind(raw.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(raw.get(), 1);
  EXPECT_FALSE(connect_unix_socket(too_long).valid());
  std::filesystem::remove_all(dir);
}

struct SocketPair {
  SocketPair() {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    reader = UniqueFd(fds[0]);
    writer = UniqueFd(fds[1]);
  }
  UniqueFd reader, writer;
};

TEST(LineReader, LongLinesEmptyLinesAndALastLineWithoutLf) {
  SocketPair pair;
  std::string long_line(10000, 'x');
  long_line[7777] = '\r';
  ASSERT_TRUE(send_all(pair.writer.get(), long_line + "\n\nlast"));
  pair.writer = UniqueFd();
  LineReader reader(pair.reader.get(), 16);
  std::string_view line;
  for (std::string_view expected : {std::string_view(long_line), std::string_view(), "last"sv}) {
    ASSERT_EQ(reader.read_line(line), ReadStatus::line);
    EXPECT_EQ(line, expected);
  }
  EXPECT_EQ(reader.read_line(line), ReadStatus::end_of_stream);
  EXPECT_EQ(reader.read_line(line), ReadStatus::end_of_stream);
}

TEST(LineReader, KnowsWhatIsBufferedAndKeepsAPartialLineOverATimeOut) {
  SocketPair pair;
  ASSERT_TRUE(set_receive_timeout(pair.reader.get(), 50ms));
  LineReader reader(pair.reader.get(), 8192);
  std::string_view line;
  ASSERT_TRUE(send_all(pair.writer.get(), "one\ntwo\npar"));
  ASSERT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_TRUE(reader.has_buffered());
  ASSERT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_EQ(reader.read_line(line), ReadStatus::timed_out);
  ASSERT_TRUE(send_all(pair.writer.get(), "tial\n"));
  ASSERT_EQ(reader.read_line(line), ReadStatus::line);
  EXPECT_EQ(line, "partial");
  EXPECT_FALSE(reader.has_buffered());
  EXPECT_EQ(LineReader(-1, 16).read_line(line), ReadStatus::failed);
}

}  // namespace
}  // namespace kestil
