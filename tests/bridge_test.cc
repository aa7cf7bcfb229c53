#include "bridge.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "catalog.h"
#include "fake_app.h"

namespace kestil {
namespace {

using namespace std::chrono_literals;
using testing::CallAction;
using testing::FakeApp;
using testing::HelloAction;
using testing::TempDir;

// A bridge that can reach no app: no config dir, no launch.
Bridge offline_bridge() {
  return Bridge(false, std::nullopt);
}

// The messages of one answer, as values.
std::vector<Json> values(const std::vector<Message>& out) {
  std::vector<Json> result;
  for (const Message& message : out) result.push_back(parse_json(compact_line(message)).value());
  return result;
}

Json only_answer(Bridge& bridge, std::string_view line) {
  std::vector<Json> out = values(bridge.handle_line(line));
  EXPECT_EQ(out.size(), 1u) << line;
  return out.empty() ? Json() : out.front();
}

TEST(Dispatch, CopiesIdsOfEveryType) {
  Bridge bridge = offline_bridge();
  for (std::string_view id :
       {"7", "\"7\"", "null", "-1.5", "1e30", "true", "[1,{\"a\":null}]", "{\"b\":[2]}", "\"\""}) {
    const Json answer =
        only_answer(bridge, R"({"jsonrpc":"2.0","method":"ping","id":)" + std::string(id) + "}");
    EXPECT_EQ(answer, response(*parse_json(id), Json::object())) << id;
  }
}

TEST(Dispatch, LeavesMessagesWithoutIdUnanswered) {
  Bridge bridge = offline_bridge();
  for (std::string_view line :
       {R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
        R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"list_spaces"}})",
        R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", "[]", "1", "\"id\"", "null"}) {
    EXPECT_TRUE(bridge.handle_line(line).empty()) << line;
  }
}

TEST(Dispatch, ParseErrorsCarryNullIdEvenWhenAnIdWasReadable) {
  Bridge bridge = offline_bridge();
  const Json parse_error = error(nullptr, PARSE_ERROR, "parse error");
  for (std::string_view line : {R"({"id":5,"method":"ping")", R"({"id":5,"method":"ping"} x)",
                                R"({"id":5,"method":"ping"}{})", "\f{\"id\":5}"}) {
    EXPECT_EQ(only_answer(bridge, line), parse_error) << line;
  }
}

TEST(Dispatch, UnknownMethodsNameTheMethodExactly) {
  Bridge bridge = offline_bridge();
  const auto not_found = [](const Json& id, std::string_view message) {
    return error(id, METHOD_NOT_FOUND, message);
  };
  EXPECT_EQ(only_answer(bridge, R"({"id":1})"), not_found(1, "method not found: "));
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":7})"), not_found(1, "method not found: "));
  EXPECT_EQ(only_answer(bridge, R"({"id":2,"method":"Ping"})"),
            not_found(2, "method not found: Ping"));
  EXPECT_EQ(only_answer(bridge, R"({"id":3,"method":"notifications/initialized"})"),
            not_found(3, "method not found: notifications/initialized"));
  EXPECT_EQ(only_answer(bridge, R"({"id":4,"method":"resources/list \u00e9\"x"})"),
            not_found(4, "method not found: resources/list \xC3\xA9\"x"));
}

TEST(Dispatch, LaterDuplicateIdWins) {
  Bridge bridge = offline_bridge();
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"ping","id":"second"})")["id"], "second");
}

TEST(Dispatch, CatalogMethodsIgnoreParamsAndWorkBeforeInitialize) {
  Bridge bridge = offline_bridge();
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"tools/list","params":{"cursor":"x"}})"),
            response(1, {{"tools", tools()}}));
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"prompts/list","params":[1]})"),
            response(1, {{"prompts", prompts()}}));
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"ping","params":"x"})"),
            response(1, Json::object()));
}

TEST(Dispatch, PromptsGetAnswersMessagesOrInvalidParams) {
  Bridge bridge = offline_bridge();
  const Json missing = error(1, INVALID_PARAMS, "unknown prompt or missing argument");
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"prompts/get"})"), missing);
  EXPECT_EQ(only_answer(bridge, R"({"id":1,"method":"prompts/get","params":{"name":"x"}})"),
            missing);
  EXPECT_EQ(
      only_answer(bridge, R"({"id":1,"method":"prompts/get","params":{"name":"summarize-note"}})"),
      missing);
  EXPECT_EQ(
      only_answer(
          bridge,
          R"({"id":1,"method":"prompts/get","params":{"name":"summarize-note","arguments":{"note":"a"}}})"),
      response(1, *prompt_messages("summarize-note", {{"note", "a"}})));
}

TEST(Dispatch, InitializeRecordsTheClientAndNegotiates) {
  Bridge bridge = offline_bridge();
  Json answer = only_answer(
      bridge,
      R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26","clientInfo":{"name":"host","version":"1.2"}}})");
  EXPECT_EQ(answer, response(1, initialize_result("2025-03-26")));
  EXPECT_EQ(bridge.client_name, "host");
  EXPECT_EQ(bridge.client_version, "1.2");

  answer =
      only_answer(bridge, R"({"id":2,"method":"initialize","params":{"protocolVersion":20250618,)"
                          R"("clientInfo":{"name":5,"version":"9"}}})");
  EXPECT_EQ(answer["result"]["protocolVersion"], "2025-06-18");
  EXPECT_EQ(bridge.client_name, "unknown");
  EXPECT_EQ(bridge.client_version, "9");

  only_answer(bridge, R"({"id":3,"method":"initialize","params":{"clientInfo":{"name":""}}})");
  EXPECT_EQ(bridge.client_name, "");
  EXPECT_EQ(bridge.client_version, "");
  only_answer(bridge, R"({"id":4,"method":"initialize"})");
  EXPECT_EQ(bridge.client_name, "unknown");
}

TEST(Dispatch, ToolCallWithoutConfigDirIsTheNotRunningToolError) {
  Bridge bridge = offline_bridge();
  EXPECT_EQ(only_answer(bridge, R"({"id":"c","method":"tools/call","params":{"name":"x"}})"),
            response("c", tool_error(NOT_RUNNING_TEXT)));
  EXPECT_EQ(NOT_RUNNING_TEXT.size(), 142u);
  EXPECT_EQ(LOST_TEXT.size(), 95u);
}

Json call_request(const Json& id, std::string_view tool = "read_note") {
  return {{"jsonrpc", "2.0"},
          {"id", id},
          {"method", "tools/call"},
          {"params", {{"name", tool}, {"arguments", {{"note", "Inbox/Plans"}}}}}};
}

Json call_error(const Json& id, std::string_view text) {
  return response(id, tool_error(text));
}

const Json LIST_CHANGED = {{"jsonrpc", "2.0"}, {"method", "notifications/tools/list_changed"}};

// A bridge wired to a stand-in app in a fresh config dir; launching is off unless a test
// turns it on and points `launcher` at a script.
class WithApp : public ::testing::Test {
 protected:
  std::vector<Json> call(const Json& id) {
    return values(bridge.handle_line(to_compact(call_request(id))));
  }

  // The single answer of a call that must not announce anything.
  Json answer(const Json& id) {
    std::vector<Json> out = call(id);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? Json() : out.back();
  }

  static bool is_echo(const Json& reply, const Json& id) {
    return reply["id"] == id && reply["result"]["isError"] == false &&
           reply["result"]["content"][0]["text"] == "read_note {\"note\":\"Inbox/Plans\"}";
  }

  // Every call line the app ever received carried a distinct id: nothing was sent twice.
  void expect_no_call_twice() {
    std::set<Json> ids;
    for (const std::string& line : app.calls()) {
      EXPECT_TRUE(ids.insert(parse_json(line).value()["id"]).second) << "sent twice: " << line;
    }
  }

  TempDir dir;
  FakeApp app{dir.path(), catalog_hash()};
  Bridge bridge{false, dir.path()};
};

TEST_F(WithApp, ForwardsTheRequestWholeAndKeepsTheConnection) {
  Json request = call_request(1);
  request["extra"] = {{"b", 1}, {"a", "\xE2\x80\x94"}};
  request.erase("jsonrpc");
  std::vector<Json> out = values(bridge.handle_line(to_compact(request)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(is_echo(out[0], 1));
  EXPECT_TRUE(is_echo(answer("two"), "two"));
  ASSERT_EQ(app.calls().size(), 2u);
  EXPECT_EQ(app.calls()[0], to_compact(request));
  EXPECT_EQ(app.connection_count(), 1);
  EXPECT_EQ(
      app.hellos(),
      std::vector<std::string>{
          R"({"ipc":1,"bridge_version":"0.1.0","client_name":"unknown","client_version":""})"});
}

TEST_F(WithApp, HelloCarriesTheLatestClientOnNewConnectionsOnly) {
  bridge.handle_line(
      R"({"id":0,"method":"initialize","params":{"clientInfo":{"name":"a \"b\"","version":"1"}}})");
  answer(1);
  bridge.handle_line(
      R"({"id":2,"method":"initialize","params":{"clientInfo":{"name":"c","version":"2"}}})");
  answer(3);
  app.push_call(CallAction::hang_up());
  answer(4);
  answer(5);
  EXPECT_EQ(
      app.hellos(),
      (std::vector<std::string>{
          R"({"ipc":1,"bridge_version":"0.1.0","client_name":"a \"b\"","client_version":"1"})",
          R"({"ipc":1,"bridge_version":"0.1.0","client_name":"c","client_version":"2"})"}));
}

TEST_F(WithApp, AnnouncesEachDistinctForeignCatalogOnce) {
  app.set_hello(HelloAction::reply(true, "0000000000000001"));
  app.push_call(CallAction::hang_up());
  std::vector<Json> out = call(1);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], LIST_CHANGED);
  EXPECT_EQ(out[1], call_error(1, LOST_TEXT));
  EXPECT_TRUE(is_echo(answer(2), 2));  // same foreign hash on the new connection: silent

  app.set_hello(HelloAction::reply(true, catalog_hash()));
  app.restart();
  EXPECT_TRUE(is_echo(answer(3), 3));  // our own hash: nothing
  EXPECT_EQ(bridge.notified_catalog_hash, "0000000000000001");

  app.set_hello(HelloAction::reply(true, "0000000000000002"));
  app.restart();
  out = call(4);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], LIST_CHANGED);
  EXPECT_TRUE(is_echo(out[1], 4));
}

TEST_F(WithApp, FailedHellosAreNotRunningAndRetriedWithoutLaunch) {
  for (HelloAction hello : {HelloAction::reply(false, catalog_hash()),
                            HelloAction::raw("not json\n"), HelloAction::raw("{\"ok\":true}\n"),
                            HelloAction::raw("{\"ok\":true,\"catalog_hash\":\"x\",\"ok\":true}\n"),
                            HelloAction::raw("{\"ok\":\"true\",\"catalog_hash\":\"x\"}\n")}) {
    app.set_hello(hello);
    EXPECT_EQ(answer(1), call_error(1, NOT_RUNNING_TEXT)) << hello.bytes;
    EXPECT_FALSE(bridge.conn);
  }
  app.set_hello(HelloAction::raw(" {\"catalog_hash\":\"" + catalog_hash() +
                                 "\",\"ok\":true,\"extra\":[1]}\r\n"));
  EXPECT_TRUE(is_echo(answer(2), 2));
  EXPECT_EQ(app.hellos().size(), 6u);
  EXPECT_FALSE(bridge.launch_tried);
  EXPECT_EQ(app.calls().size(), 1u);
}

TEST_F(WithApp, SilentHelloTimesOut) {
  bridge.call_timeout = 200ms;
  app.set_hello(HelloAction::silent());
  EXPECT_EQ(answer(1), call_error(1, NOT_RUNNING_TEXT));
  EXPECT_TRUE(app.calls().empty());
}

TEST_F(WithApp, RepliesThatAreNotAnswersLoseTheConnection) {
  app.push_call(CallAction::hang_up());
  app.push_call(CallAction::raw(" \t\r\n"));
  app.push_call(CallAction::raw("{\"id\":3,\n"));
  app.push_call(CallAction::raw("[" + std::string(128, '[') + std::string(129, ']') + "\n"));
  app.push_call(CallAction::raw("{\"id\":5} trailing\n"));
  app.push_call(CallAction::raw("\"\xff\"\n"));
  for (int id = 1; id <= 6; ++id) {
    EXPECT_EQ(answer(id), call_error(id, LOST_TEXT)) << id;
    EXPECT_FALSE(bridge.conn);
  }
  EXPECT_EQ(app.connection_count(), 6);
  expect_no_call_twice();
}

TEST_F(WithApp, SilenceBeyondTheCallTimeoutIsTheTimeoutText) {
  bridge.call_timeout = 300ms;
  app.push_call(CallAction::delayed(900ms));
  EXPECT_EQ(answer(1), call_error(1, timeout_text(300ms)));
  EXPECT_FALSE(bridge.conn);
  // The late answer to 1 is never read: call 2 gets its own answer on a new connection
  // (which the one-connection stand-in accepts once it has given up on the old one).
  bridge.call_timeout = 5s;
  EXPECT_TRUE(is_echo(answer(2), 2));
  EXPECT_EQ(app.connection_count(), 2);
  expect_no_call_twice();
}

TEST_F(WithApp, ReplyArrivingInPiecesWithinTheTimeoutIsRead) {
  bridge.call_timeout = 300ms;
  app.push_call(CallAction::delayed(150ms));
  EXPECT_TRUE(is_echo(answer(1), 1));
}

TEST_F(WithApp, AppRepliesPassUnchanged) {
  const std::string odd =
      R"({"jsonrpc":"2.0","id":"other","result":{"isError":true,"content":[{"type":"text","text":"Unavailable: no"},{"type":"text","text":"unavailable: second"}]}})";
  app.push_call(CallAction::wrong_id());
  app.push_call(CallAction::rpc_error("no such tool"));
  app.push_call(CallAction::tool_failure("note not found"));
  app.push_call(CallAction::raw(odd + "\n"));
  app.push_call(
      CallAction::raw(R"({"result":{"isError":"true","content":[{"text":"unavailable:"}]}})"
                      "\n"));
  app.push_call(CallAction::raw(R"({"result":{"isError":true,"content":[]}})"
                                "\n"));
  Json reply = answer(1);
  EXPECT_NE(reply["id"], 1);
  EXPECT_TRUE(answer(2).contains("error"));
  EXPECT_EQ(answer(3)["result"], tool_error("note not found"));
  EXPECT_EQ(answer(4), parse_json(odd).value());
  answer(5);
  answer(6);
  EXPECT_EQ(app.connection_count(), 1);
}

TEST_F(WithApp, UnavailableMarkerIsPassedOnAndReconnects) {
  app.push_call(CallAction::tool_failure("unavailable:"));
  app.push_call(CallAction::tool_failure("unavailable: the space is locked"));
  EXPECT_EQ(answer(1)["result"], tool_error("unavailable:"));
  EXPECT_FALSE(bridge.conn);
  EXPECT_EQ(answer(2)["result"], tool_error("unavailable: the space is locked"));
  EXPECT_TRUE(is_echo(answer(3), 3));
  EXPECT_EQ(app.hellos().size(), 3u);
}

TEST_F(WithApp, ClosedOrChattyConnectionsAreReplacedBeforeTheCall) {
  app.push_call(CallAction::raw(R"({"id":1,"result":{}})", /*close_after=*/true));
  EXPECT_EQ(answer(1), parse_json(R"({"id":1,"result":{}})").value());
  EXPECT_TRUE(is_echo(answer(2), 2));  // the reuse check saw the end of the stream

  app.push_call(CallAction::echo_then("{\"unsolicited\":true}\n"));
  EXPECT_TRUE(is_echo(answer(3), 3));
  EXPECT_TRUE(is_echo(answer(4), 4));  // the unsolicited line was dropped unread

  app.restart("other.sock");  // the app restarts on a new socket
  EXPECT_TRUE(is_echo(answer(5), 5));
  EXPECT_EQ(app.connection_count(), 4);
  expect_no_call_twice();
}

TEST_F(WithApp, QuitAppIsNotRunningWithoutLaunch) {
  EXPECT_TRUE(is_echo(answer(1), 1));
  app.quit();
  EXPECT_EQ(answer(2), call_error(2, NOT_RUNNING_TEXT));
  EXPECT_EQ(app.calls().size(), 1u);
}

// A launcher that records its arguments and where its stdin and stdout lead.
std::string write_launcher(const std::string& dir) {
  const std::string path = dir + "/launcher";
  const std::string script =
      "#!/bin/sh\n"
      "echo \"$@\" >> " +
      dir +
      "/launches\n"
      "[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ] || echo stdin-not-null >> " +
      dir +
      "/launches\n"
      "[ \"$(readlink /proc/$$/fd/1)\" = \"$(readlink /proc/$$/fd/2)\" ] || echo "
      "stdout-not-stderr >> " +
      dir + "/launches\n";
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
  write_all(fd.get(), script);
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

class Launching : public ::testing::Test {
 protected:
  Launching() {
    bridge.launcher = write_launcher(dir.path());
    bridge.launch_wait = 1500ms;
  }
  std::string launches() { return read_file(dir.path() + "/launches"); }

  TempDir dir;
  Bridge bridge{true, dir.path()};
};

TEST_F(Launching, StartsTheAppOnceAndDialsUntilItPublishes) {
  FakeApp app(dir.path(), catalog_hash(), FakeApp::Publish::later);
  app.publish_endpoint_after(600ms);
  std::vector<Json> out = values(bridge.handle_line(to_compact(call_request(1))));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]["result"]["isError"], false);
  EXPECT_EQ(launches(), "-g -b app.kestil.mac\n");

  app.quit();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(values(bridge.handle_line(to_compact(call_request(2)))).back(),
            call_error(2, NOT_RUNNING_TEXT));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);  // no second launch, no wait
  EXPECT_EQ(launches(), "-g -b app.kestil.mac\n");
}

TEST_F(Launching, GivesUpWhenTheAppNeverAppears) {
  bridge.launcher = dir.path() + "/missing-launcher";
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(values(bridge.handle_line(to_compact(call_request(1)))).back(),
            call_error(1, NOT_RUNNING_TEXT));
  EXPECT_GE(std::chrono::steady_clock::now() - started, bridge.launch_wait);
  EXPECT_TRUE(bridge.launch_tried);
}

TEST_F(Launching, NothingIsLaunchedWhenForbiddenOrWithoutConfigDir) {
  Bridge forbidden(false, dir.path());
  forbidden.launcher = bridge.launcher;
  Bridge homeless(true, std::nullopt);
  homeless.launcher = bridge.launcher;
  for (Bridge* subject : {&forbidden, &homeless}) {
    EXPECT_EQ(values(subject->handle_line(to_compact(call_request(1)))).back(),
              call_error(1, NOT_RUNNING_TEXT));
    EXPECT_FALSE(subject->launch_tried);
  }
  EXPECT_EQ(launches(), "");
}

using Clock = std::chrono::steady_clock;

// The real limits, each proven once; these take about 80 s together. The upper bounds allow
// for timers that fire late on a loaded or virtual machine (a few percent is seen here).
TEST(BridgeSlow, HelloWaitIsTenSeconds) {
  TempDir dir;
  FakeApp app(dir.path(), catalog_hash());
  app.set_hello(HelloAction::silent());
  Bridge bridge(false, dir.path());
  const auto started = Clock::now();
  EXPECT_EQ(values(bridge.handle_line(to_compact(call_request(1)))).back(),
            call_error(1, NOT_RUNNING_TEXT));
  EXPECT_GE(Clock::now() - started, 10s);
  EXPECT_LT(Clock::now() - started, 11'500ms);
}

TEST(BridgeSlow, LaunchWindowIsTenSecondsOfDialsEveryQuarterSecond) {
  TempDir dir;
  Bridge bridge(true, dir.path());
  bridge.launcher = dir.path() + "/missing-launcher";
  auto started = Clock::now();
  EXPECT_EQ(values(bridge.handle_line(to_compact(call_request(1)))).back(),
            call_error(1, NOT_RUNNING_TEXT));
  EXPECT_GE(Clock::now() - started, 10s);
  EXPECT_LT(Clock::now() - started, 11'500ms);

  // An app that appears late in the window is found by the next dial, a quarter second on.
  TempDir late_dir;
  Bridge patient(true, late_dir.path());
  patient.launcher = bridge.launcher;
  FakeApp app(late_dir.path(), catalog_hash(), FakeApp::Publish::later);
  app.publish_endpoint_after(8'000ms);
  started = Clock::now();
  EXPECT_EQ(values(patient.handle_line(to_compact(call_request(2)))).back()["result"]["isError"],
            false);
  EXPECT_GE(Clock::now() - started, 8'000ms);
  EXPECT_LT(Clock::now() - started, 9'000ms);
}

TEST(BridgeSlow, CallWaitIsFiftySeconds) {
  TempDir dir;
  FakeApp app(dir.path(), catalog_hash());
  app.push_call(CallAction::silent());
  Bridge bridge(false, dir.path());
  const auto started = Clock::now();
  const Json answer = values(bridge.handle_line(to_compact(call_request(1)))).back();
  EXPECT_EQ(answer, call_error(1, timeout_text(50s)));
  EXPECT_NE(to_compact(answer).find("within 50 s."), std::string::npos);
  EXPECT_GE(Clock::now() - started, 50s);
  EXPECT_LT(Clock::now() - started, 55s);
}

}  // namespace
}  // namespace kestil
