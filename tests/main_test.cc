// The real binary driven through pipes, as a host drives it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "bridge.h"
#include "catalog.h"
#include "fake_app.h"
#include "server_process.h"

namespace kestil::testing {
namespace {

constexpr const char* PARSE_ERROR_LINE =
    R"({"error":{"code":-32700,"message":"parse error"},"id":null,"jsonrpc":"2.0"})";

std::string pong(const std::string& id) {
  return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{}})";
}

ServerProcess start_server(std::vector<std::string> args = {"--no-launch"}) {
  return ServerProcess(KESTIL_MCP_BINARY, args,
                       {{"KESTIL_CONFIG_DIR", std::nullopt}, {"HOME", std::nullopt}});
}

// Closing stdin must end the server with status 0 and no word on stderr.
void expect_orderly_exit(ServerProcess& server) {
  server.close_stdin();
  const int status = server.wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(server.drain_stderr(), "");
}

TEST(LineLoop, SkipsBlankLinesAndAcceptsCrLfAndAMissingFinalLf) {
  ServerProcess server = start_server();
  server.send("\n  \t\n\r\n\xC2\xA0\xE3\x80\x80\n\v\f\n");
  server.send(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"
              "\r\n");
  server.send(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
  server.close_stdin();
  EXPECT_EQ(server.read_line(), pong("1"));
  EXPECT_EQ(server.read_line(), pong("2"));
  EXPECT_EQ(server.read_line(std::chrono::milliseconds(200)), std::nullopt);
  expect_orderly_exit(server);
}

TEST(LineLoop, AnswersInvalidUtf8AsParseErrorAndKeepsServing) {
  ServerProcess server = start_server();
  server.send("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\xfe\"}\n\xc3\n");
  server.send(request_line("3", "ping"));
  EXPECT_EQ(server.read_line(), PARSE_ERROR_LINE);
  EXPECT_EQ(server.read_line(), PARSE_ERROR_LINE);
  EXPECT_EQ(server.read_line(), pong("3"));
  expect_orderly_exit(server);
}

TEST(LineLoop, PassesLinesUntrimmedAndAnswersOnlyRequests) {
  ServerProcess server = start_server();
  server.send("\v" + request_line("1", "ping"));  // not JSON white space
  server.send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
              "\n");
  server.send(R"([{"jsonrpc":"2.0","id":9,"method":"ping"}])"
              "\n");
  server.send(" \t" + request_line("\"x\"", "ping"));
  EXPECT_EQ(server.read_line(), PARSE_ERROR_LINE);
  EXPECT_EQ(server.read_line(), pong("\"x\""));
  expect_orderly_exit(server);
}

TEST(LineLoop, ServesAVeryLongLine) {
  ServerProcess server = start_server();
  const std::string padding(20'000'000, 'a');
  std::string line = request_line("1", "ping", "{\"pad\":\"" + padding + "\"}");
  server.send(line + request_line("2", "ping"));
  EXPECT_EQ(server.read_line(), pong("1"));
  EXPECT_EQ(server.read_line(), pong("2"));
  expect_orderly_exit(server);
}

TEST(LineLoop, ExitsCleanlyWhenTheHostClosesStdout) {
  ServerProcess server = start_server();
  server.close_stdout();
  for (int i = 0; i < 100 && server.send(request_line(std::to_string(i), "ping")); ++i) {
  }
  server.close_stdin();
  const int status = server.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(LineLoop, NoLaunchFlagTurnsLaunchingOffWhereverItStands) {
  // With a config dir that holds no endpoint, an allowed launch would run the launcher and
  // dial for ten seconds; with the flag the call fails at once.
  ServerProcess server(KESTIL_MCP_BINARY, {"--verbose", "--no-launch", "x"},
                       {{"KESTIL_CONFIG_DIR", "/nonexistent-kestil-dir"}});
  server.send(request_line("1", "tools/call", R"({"name":"list_spaces","arguments":{}})"));
  const std::optional<std::string> answer = server.read_line(std::chrono::milliseconds(5'000));
  ASSERT_TRUE(answer);
  EXPECT_NE(answer->find("kestil is not running"), std::string::npos);
  EXPECT_NE(answer->find("\"isError\":true"), std::string::npos);
  expect_orderly_exit(server);
}

}  // namespace
}  // namespace kestil::testing

namespace kestil::testing {
namespace {

// The binary against the stand-in app, as a host and the app see it.
class EndToEnd : public ::testing::Test {
 protected:
  ServerProcess start(const std::string& app_hash) {
    app.emplace(dir.path(), app_hash);
    return ServerProcess(KESTIL_MCP_BINARY, {"--no-launch"}, {{"KESTIL_CONFIG_DIR", dir.path()}});
  }

  TempDir dir;
  std::optional<FakeApp> app;
};

const std::string CALL_PARAMS = R"({"name":"search_notes","arguments":{"query":"기록 \"습관\""}})";

TEST_F(EndToEnd, CallsReachTheAppAndComeBack) {
  ServerProcess server = start(catalog_hash());
  server.send(request_line(
      "0", "initialize",
      R"({"protocolVersion":"2025-03-26","clientInfo":{"name":"host","version":"9"}})"));
  server.send(request_line("1", "tools/call", CALL_PARAMS));
  server.send(request_line("2", "tools/call", CALL_PARAMS));
  EXPECT_NE(server.read_line()->find(R"("protocolVersion":"2025-03-26")"), std::string::npos);
  const std::string echo =
      R"("result":{"content":[{"text":"search_notes {\"query\":\"기록 \\\"습관\\\"\"}","type":"text"}],"isError":false})";
  EXPECT_EQ(server.read_line(), R"({"id":1,"jsonrpc":"2.0",)" + echo + "}");
  EXPECT_EQ(server.read_line(), R"({"id":2,"jsonrpc":"2.0",)" + echo + "}");
  EXPECT_EQ(app->hellos(),
            std::vector<std::string>{
                R"({"ipc":1,"bridge_version":"0.1.0","client_name":"host","client_version":"9"})"});
  EXPECT_EQ(app->connection_count(), 1);
  expect_orderly_exit(server);
}

TEST_F(EndToEnd, AnnouncesAChangedCatalogBeforeTheAnswer) {
  ServerProcess server = start("ffffffffffffffff");
  server.send(request_line("1", "tools/call", CALL_PARAMS));
  EXPECT_EQ(server.read_line(), R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
  EXPECT_NE(server.read_line()->find(R"("id":1)"), std::string::npos);
  expect_orderly_exit(server);
}

TEST_F(EndToEnd, ReconnectsToARestartedAppWithoutAnError) {
  ServerProcess server = start(catalog_hash());
  server.send(request_line("1", "tools/call", CALL_PARAMS));
  EXPECT_NE(server.read_line()->find(R"("isError":false)"), std::string::npos);
  app->restart("new.sock");
  app->push_call(CallAction::hang_up());
  server.send(request_line("2", "tools/call", CALL_PARAMS));
  server.send(request_line("3", "tools/call", CALL_PARAMS));
  EXPECT_EQ(server.read_line(), R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":")" +
                                    std::string(LOST_TEXT) +
                                    R"(","type":"text"}],"isError":true}})");
  EXPECT_NE(server.read_line()->find(R"("isError":false)"), std::string::npos);
  EXPECT_EQ(app->calls().size(), 3u);
  EXPECT_EQ(app->connection_count(), 3);
  expect_orderly_exit(server);
}

}  // namespace
}  // namespace kestil::testing
