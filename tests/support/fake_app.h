// A stand-in for the note app in tests: it publishes an endpoint file, accepts the bridge's
// connections on a Unix socket, answers the hello and each call as the test scripted, and
// records every line it receives.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipc.h"

namespace kestil::testing {

// A fresh short directory under /tmp (socket paths stay far below their limit), removed with
// everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// How the app answers a hello.
struct HelloAction {
  enum class Answer { reply, none, raw };
  Answer answer = Answer::reply;
  bool ok = true;
  std::string catalog_hash;
  std::string bytes;  // for Answer::raw, written exactly as given

  static HelloAction reply(bool ok, std::string catalog_hash);
  static HelloAction silent();  // never answers and keeps the connection open
  static HelloAction raw(std::string bytes);
};

// How the app answers one call line. The named constructors cover the usual cases; the fields
// combine freely (a delay before a raw answer, say). Steps: wait `delay`, write the answer,
// write `unsolicited`, then close the connection when `close_after`.
struct CallAction {
  enum class Answer {
    echo,          // result text "<name> <compact arguments>", isError false
    wrong_id,      // the echo under a different id
    rpc_error,     // a JSON-RPC error object with `text` as its message
    tool_failure,  // an isError result whose one text is `text`
    raw,           // `text`, written exactly as given
    none,          // nothing
  };
  Answer answer = Answer::echo;
  std::string text;
  std::chrono::milliseconds delay{0};
  // A whole line, LF included, sent in the same write as the answer, so the bridge has it
  // before its next call.
  std::string unsolicited;
  bool close_after = false;

  static CallAction echo();
  static CallAction delayed(std::chrono::milliseconds delay);
  static CallAction silent();   // never answers and keeps the connection open
  static CallAction hang_up();  // closes the connection without answering
  static CallAction wrong_id();
  static CallAction rpc_error(std::string message = "app failure");
  // For example "unavailable: the space is locked", which makes the bridge reconnect.
  static CallAction tool_failure(std::string text);
  static CallAction raw(std::string bytes, bool close_after = false);
  static CallAction echo_then(std::string unsolicited_line);
};

// Serves one connection at a time, like the bridge needs: a second one waits in the listen
// queue until the first is closed by either side.
class FakeApp {
 public:
  static constexpr const char* SOCKET_NAME = "app.sock";
  static constexpr const char* APP_VERSION = "0.0.0-fake";

  enum class Publish { now, later };

  // Listens on <config_dir>/app.sock (replacing a socket file left there; keep config_dir
  // short, as socket paths end at 103 bytes) and serves on a thread of its own. Hellos are
  // answered ok with `catalog_hash`. With Publish::later no endpoint file is written until
  // publish_endpoint() or publish_endpoint_after() asks for it.
  FakeApp(std::string config_dir, std::string catalog_hash, Publish publish = Publish::now);
  FakeApp(const FakeApp&) = delete;
  FakeApp& operator=(const FakeApp&) = delete;
  // Stops serving and closes its sockets; leaves every file in place.
  ~FakeApp();

  // True while listening.
  bool running() const;
  std::string socket_path() const;

  // Writes <config_dir>/mcp/endpoint.json naming the current socket (atomically, by rename).
  bool publish_endpoint();
  // Publishes from the serving thread once `delay` has passed, while the test's thread is
  // blocked in the bridge.
  void publish_endpoint_after(std::chrono::milliseconds delay);

  // The app is gone: closes the listener and the current connection and stops the thread.
  // The endpoint file and the socket file stay, as after a crash.
  void quit();
  // Quits if running, then listens on <config_dir>/<socket_name> and republishes.
  bool restart(const std::string& socket_name = SOCKET_NAME);

  // The answer to every later hello.
  void set_hello(HelloAction action);
  // Appended to the queue of call answers, used in order; an empty queue echoes.
  void push_call(CallAction action);

  // Lines received, without their LF, in order across connections.
  std::vector<std::string> hellos() const;
  std::vector<std::string> calls() const;
  int connection_count() const;

 private:
  bool start(const std::string& socket_name, bool publish);
  void serve();
  void serve_connection(int fd);
  bool answer_hello(int fd, const std::string& line);
  bool answer_call(int fd, const std::string& line);
  bool pause(std::chrono::milliseconds delay);
  bool tick();

  const std::string config_dir_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  UniqueFd listener_;  // touched by the serving thread only while it runs

  mutable std::mutex mutex_;  // guards everything below
  std::string socket_path_;
  std::optional<std::chrono::steady_clock::time_point> publish_at_;
  HelloAction hello_;
  std::deque<CallAction> call_queue_;
  std::vector<std::string> hellos_;
  std::vector<std::string> calls_;
  int connection_count_ = 0;
};

}  // namespace kestil::testing
