#include "fake_app.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "protocol.h"

namespace kestil::testing {

TempDir::TempDir() {
  char pattern[] = "/tmp/kst-XXXXXX";
  if (::mkdtemp(pattern)) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}
namespace {

// How long a wait of the serving thread lasts before it looks at quit() and delayed
// publishing again; blocking calls cannot be interrupted portably.
constexpr std::chrono::milliseconds TICK{10};

Json member(const Json& value, const char* key) {
  if (!value.is_object()) return Json();
  auto it = value.find(key);
  return it == value.end() ? Json() : *it;
}

Json echo_result(const Json& request) {
  Json params = member(request, "params");
  Json name = member(params, "name");
  std::string text = (name.is_string() ? name.get<std::string>() : to_compact(name)) + " " +
                     to_compact(member(params, "arguments"));
  return Json{{"content", Json::array({Json{{"type", "text"}, {"text", text}}})},
              {"isError", false}};
}

// The line that `action` answers `request` with; empty for none.
std::string answer_line(const CallAction& action, const Json& request) {
  Json id = member(request, "id");
  switch (action.answer) {
    case CallAction::Answer::echo:
      return to_compact(response(id, echo_result(request))) + "\n";
    case CallAction::Answer::wrong_id:
      return to_compact(response("not " + to_compact(id), echo_result(request))) + "\n";
    case CallAction::Answer::rpc_error:
      return to_compact(error(id, -32000, action.text)) + "\n";
    case CallAction::Answer::tool_failure:
      return to_compact(response(id, tool_error(action.text))) + "\n";
    case CallAction::Answer::raw:
      return action.text;
    case CallAction::Answer::none:
      break;
  }
  return "";
}

}  // namespace

HelloAction HelloAction::reply(bool ok, std::string catalog_hash) {
  return {Answer::reply, ok, std::move(catalog_hash), ""};
}
HelloAction HelloAction::silent() {
  return {Answer::none, false, "", ""};
}
HelloAction HelloAction::raw(std::string bytes) {
  return {Answer::raw, false, "", std::move(bytes)};
}

CallAction CallAction::echo() {
  return {};
}
CallAction CallAction::delayed(std::chrono::milliseconds delay) {
  CallAction action;
  action.delay = delay;
  return action;
}
CallAction CallAction::silent() {
  CallAction action;
  action.answer = Answer::none;
  return action;
}
CallAction CallAction::hang_up() {
  CallAction action = silent();
  action.close_after = true;
  return action;
}
CallAction CallAction::wrong_id() {
  CallAction action;
  action.answer = Answer::wrong_id;
  return action;
}
CallAction CallAction::rpc_error(std::string message) {
  CallAction action;
  action.answer = Answer::rpc_error;
  action.text = std::move(message);
  return action;
}
CallAction CallAction::tool_failure(std::string text) {
  CallAction action;
  action.answer = Answer::tool_failure;
  action.text = std::move(text);
  return action;
}
CallAction CallAction::raw(std::string bytes, bool close_after) {
  CallAction action;
  action.answer = Answer::raw;
  action.text = std::move(bytes);
  action.close_after = close_after;
  return action;
}
CallAction CallAction::echo_then(std::string unsolicited_line) {
  CallAction action;
  action.unsolicited = std::move(unsolicited_line);
  return action;
}

FakeApp::FakeApp(std::string config_dir, std::string catalog_hash, Publish publish)
    : config_dir_(std::move(config_dir)),
      hello_(HelloAction::reply(true, std::move(catalog_hash))) {
  start(SOCKET_NAME, publish == Publish::now);
}

FakeApp::~FakeApp() {
  quit();
}

bool FakeApp::running() const {
  return listener_.valid();
}

std::string FakeApp::socket_path() const {
  std::lock_guard lock(mutex_);
  return socket_path_;
}

bool FakeApp::publish_endpoint() {
  std::lock_guard lock(mutex_);
  publish_at_.reset();
  std::string dir = join_path(config_dir_, "mcp");
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  Json endpoint{{"v", 1},
                {"socket", socket_path_},
                {"pid", static_cast<uint32_t>(::getpid())},
                {"app_version", APP_VERSION}};
  std::string path = join_path(dir, "endpoint.json");
  std::string temporary = path + ".tmp";
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  return fd.valid() && write_all(fd.get(), to_compact(endpoint) + "\n") &&
         std::rename(temporary.c_str(), path.c_str()) == 0;
}

void FakeApp::publish_endpoint_after(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  publish_at_ = std::chrono::steady_clock::now() + delay;
}

void FakeApp::quit() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  listener_ = UniqueFd();
  stopping_ = false;
}

bool FakeApp::restart(const std::string& socket_name) {
  quit();
  return start(socket_name, true);
}

bool FakeApp::start(const std::string& socket_name, bool publish) {
  std::string path = join_path(config_dir_, socket_name);
  ::unlink(path.c_str());  // a socket file left behind by an earlier run
  listener_ = listen_unix_socket(path);
  if (!listener_.valid()) return false;
  {
    std::lock_guard lock(mutex_);
    socket_path_ = path;
  }
  bool published = !publish || publish_endpoint();
  thread_ = std::thread([this] { serve(); });
  return published;
}

void FakeApp::set_hello(HelloAction action) {
  std::lock_guard lock(mutex_);
  hello_ = std::move(action);
}

void FakeApp::push_call(CallAction action) {
  std::lock_guard lock(mutex_);
  call_queue_.push_back(std::move(action));
}

std::vector<std::string> FakeApp::hellos() const {
  std::lock_guard lock(mutex_);
  return hellos_;
}

std::vector<std::string> FakeApp::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int FakeApp::connection_count() const {
  std::lock_guard lock(mutex_);
  return connection_count_;
}

// One wait step is over: false when quitting, and publishes the endpoint when it is due.
bool FakeApp::tick() {
  if (stopping_) return false;
  bool due;
  {
    std::lock_guard lock(mutex_);
    due = publish_at_ && std::chrono::steady_clock::now() >= *publish_at_;
  }
  if (due) publish_endpoint();
  return true;
}

bool FakeApp::pause(std::chrono::milliseconds delay) {
  auto deadline = std::chrono::steady_clock::now() + delay;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!tick()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        TICK, deadline - std::chrono::steady_clock::now()));
  }
  return true;
}

void FakeApp::serve() {
  while (tick()) {
    pollfd entry{listener_.get(), POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(TICK.count())) <= 0) continue;
    UniqueFd connection = accept_connection(listener_.get());
    if (!connection.valid()) continue;
    {
      std::lock_guard lock(mutex_);
      ++connection_count_;
    }
    serve_connection(connection.get());
  }
}

void FakeApp::serve_connection(int fd) {
  set_receive_timeout(fd, TICK);
  LineReader reader(fd, READ_BUFFER_SIZE);
  bool greeted = false;
  for (;;) {
    std::string_view line;
    ReadStatus status = reader.read_line(line);
    if (status == ReadStatus::timed_out) {
      if (!tick()) return;
      continue;
    }
    if (status != ReadStatus::line) return;
    std::string text(line);
    bool answered = greeted ? answer_call(fd, text) : answer_hello(fd, text);
    if (!answered) return;
    greeted = true;
  }
}

bool FakeApp::answer_hello(int fd, const std::string& line) {
  HelloAction action;
  {
    std::lock_guard lock(mutex_);
    hellos_.push_back(line);
    action = hello_;
  }
  switch (action.answer) {
    case HelloAction::Answer::reply:
      return send_all(
          fd, to_compact(Json{{"ok", action.ok}, {"catalog_hash", action.catalog_hash}}) + "\n");
    case HelloAction::Answer::raw:
      return send_all(fd, action.bytes);
    case HelloAction::Answer::none:
      break;
  }
  return true;
}

bool FakeApp::answer_call(int fd, const std::string& line) {
  CallAction action;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(line);
    if (!call_queue_.empty()) {
      action = std::move(call_queue_.front());
      call_queue_.pop_front();
    }
  }
  if (!pause(action.delay)) return false;
  std::string answer = answer_line(action, parse_json(line).value_or(Json()));
  if (!send_all(fd, answer + action.unsolicited)) return false;
  return !action.close_after;
}

}  // namespace kestil::testing
