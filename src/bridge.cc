#include "bridge.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>
#include <variant>

#include "catalog.h"
#include "compact_json.h"

extern char** environ;

namespace kestil {
namespace {

const Json LIST_CHANGED = {{"jsonrpc", "2.0"}, {"method", "notifications/tools/list_changed"}};
constexpr std::string_view UNAVAILABLE_MARKER = "unavailable:";

// The member at `path` below `value`; null when a step is absent or not an object.
const Json* member_at(const Json& value, std::initializer_list<std::string_view> path) {
  const Json* current = &value;
  for (std::string_view name : path) {
    if (!current->is_object()) return nullptr;
    const auto found = current->find(name);
    if (found == current->end()) return nullptr;
    current = &*found;
  }
  return current;
}

std::string string_at(const Json& value, std::initializer_list<std::string_view> path,
                      std::string_view fallback) {
  const Json* found = member_at(value, path);
  return found && found->is_string() ? found->get<std::string>() : std::string(fallback);
}

// Runs the launcher and waits for it. Its stdin is /dev/null and its stdout goes to stderr,
// so it can neither read the host's requests nor write into the protocol stream.
void launch_app(const std::string& launcher) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  // An ignored SIGPIPE would stay ignored across exec.
  sigset_t default_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &default_signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  std::string bundle_id(APP_BUNDLE_ID);
  char* argv[] = {const_cast<char*>(launcher.c_str()), const_cast<char*>("-g"),
                  const_cast<char*>("-b"), bundle_id.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, launcher.c_str(), &actions, &attributes, argv, environ) == 0) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

// The app has sent nothing and not hung up since the last reply was read.
bool is_reusable(const Conn& conn) {
  return !conn.reader.has_buffered() && is_quiet(conn.writer.get());
}

// The app's way of saying it cannot serve this connection any more.
bool carries_unavailable_marker(const Json& reply) {
  const Json* is_error = member_at(reply, {"result", "isError"});
  const Json* content = member_at(reply, {"result", "content"});
  if (!is_error || !is_error->is_boolean() || !is_error->get<bool>() || !content ||
      !content->is_array() || content->empty()) {
    return false;
  }
  const Json* text = member_at(content->front(), {"text"});
  return text && text->is_string() &&
         text->get_ref<const std::string&>().starts_with(UNAVAILABLE_MARKER);
}

}  // namespace

std::string timeout_text(milliseconds call_timeout) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(call_timeout).count();
  return "timeout: kestil did not answer within " + std::to_string(seconds) +
         " s. It may be busy (a big sync or index pass) or stuck; a change may still be "
         "applied, so check the note before retrying.";
}

UniqueFd dial(const std::string& config_dir) {
  const std::optional<Endpoint> endpoint = read_endpoint(config_dir);
  if (!endpoint) return UniqueFd();
  return connect_unix_socket(endpoint->socket);
}

Bridge::Bridge(bool allow_launch) : Bridge(allow_launch, default_config_dir()) {}

Bridge::Bridge(bool allow_launch, std::optional<std::string> config_dir)
    : config_dir(std::move(config_dir)), allow_launch(allow_launch) {}

std::vector<Message> Bridge::handle_line(std::string_view line) {
  std::vector<Message> out;
  std::optional<Json> request = parse_json(line);
  if (!request) {
    out.emplace_back(error(nullptr, PARSE_ERROR, "parse error"));
    return out;
  }
  const Json* id = member_at(*request, {"id"});
  if (!id) return out;
  const std::string method = string_at(*request, {"method"}, "");
  if (method == "tools/call") return forward_tool_call(*this, *request, *id);
  out.push_back(answer(*request, *id, method));
  return out;
}

namespace {

// {"id":<id>,"jsonrpc":"2.0","result":<result>} with the result already in compact form, as
// its opening, a cached body and its closing; no value is built for the answer.
CompactText answer_text(const Json& id, std::string_view result_opening, std::string_view body,
                        std::string_view result_closing) {
  std::string head = "{\"id\":" + to_compact(id) + ",\"jsonrpc\":\"2.0\",\"result\":";
  head += result_opening;
  return CompactText{.head = std::move(head), .body = body, .tail = result_closing};
}

}  // namespace

Message Bridge::answer(const Json& request, const Json& id, std::string_view method) {
  if (method == "initialize") return initialize(request, id);
  if (method == "ping") return answer_text(id, "{}", "", "}");
  if (method == "tools/list") return answer_text(id, "{\"tools\":", tools_text(), "}}");
  if (method == "prompts/list") return answer_text(id, "{\"prompts\":", prompts_text(), "}}");
  if (method == "prompts/get") {
    const Json* arguments = member_at(request, {"params", "arguments"});
    std::optional<Json> messages = prompt_messages(string_at(request, {"params", "name"}, ""),
                                                   arguments ? *arguments : Json(nullptr));
    if (!messages) return error(id, INVALID_PARAMS, "unknown prompt or missing argument");
    return response(id, std::move(*messages));
  }
  return error(id, METHOD_NOT_FOUND, "method not found: " + std::string(method));
}

Json Bridge::initialize(const Json& request, const Json& id) {
  client_name = string_at(request, {"params", "clientInfo", "name"}, "unknown");
  client_version = string_at(request, {"params", "clientInfo", "version"}, "");
  return response(id, initialize_result(string_at(request, {"params", "protocolVersion"}, "")));
}

bool Bridge::connect(std::vector<Message>& out) {
  if (!config_dir) return false;
  UniqueFd socket = dial(*config_dir);
  if (!socket.valid()) socket = launch_and_dial();
  if (!socket.valid()) return false;

  set_receive_timeout(socket.get(), std::min(call_timeout, HELLO_TIMEOUT));
  UniqueFd duplicate = duplicate_fd(socket.get());
  if (!duplicate.valid()) return false;
  Conn fresh(std::move(socket), std::move(duplicate));
  const std::optional<HelloReply> reply = greet(fresh);
  if (!reply || !reply->ok) return false;
  set_receive_timeout(fresh.socket.get(), call_timeout);
  set_send_timeout(fresh.writer.get(), call_timeout);
  conn.emplace(std::move(fresh));
  check_catalog(reply->catalog_hash, out);
  return true;
}

UniqueFd Bridge::launch_and_dial() {
  if (!allow_launch || launch_tried) return UniqueFd();
  // Set first, so that a launch that fails in any way is never repeated.
  launch_tried = true;
  launch_app(launcher);
  const auto deadline = std::chrono::steady_clock::now() + launch_wait;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(LAUNCH_RETRY_INTERVAL);
    UniqueFd socket = dial(*config_dir);
    if (socket.valid()) return socket;
  }
  return UniqueFd();
}

std::optional<HelloReply> Bridge::greet(Conn& fresh) {
  const Hello hello{.client_name = client_name, .client_version = client_version};
  if (!send_all(fresh.writer.get(), to_line(hello) + '\n')) return std::nullopt;
  std::string_view line;
  if (fresh.reader.read_line(line) != ReadStatus::line) return std::nullopt;
  return parse_hello_reply(line);
}

void Bridge::check_catalog(const std::string& app_catalog_hash, std::vector<Message>& out) {
  if (app_catalog_hash == catalog_hash() || notified_catalog_hash == app_catalog_hash) return;
  out.push_back(LIST_CHANGED);
  notified_catalog_hash = app_catalog_hash;
}

namespace {

// An answer from the app, and whether it carries the unavailable marker.
struct Reply {
  Message message;
  bool unavailable = false;
};

// What goes out for the app's reply `line`: its own bytes when they already are the compact
// form of its value, otherwise that form written anew; none when it is no JSON value.
std::optional<Reply> read_reply(std::string_view line) {
  switch (check_compact_reply(line, line.size() + LINE_PADDING)) {
    case CompactCheck::compact:
      return Reply{CompactText{.body = line}};
    case CompactCheck::compact_unavailable:
      // The connection, and with it the buffer holding the line, is about to go.
      return Reply{CompactText{.head = std::string(line)}, true};
    case CompactCheck::declined:
      break;
  }
  std::optional<Json> reply = parse_json(line);
  if (!reply) return std::nullopt;
  const bool unavailable = carries_unavailable_marker(*reply);
  return Reply{std::move(*reply), unavailable};
}

// The app's reply to `request`, or the text of the tool error that stands for it.
std::variant<Reply, std::string> exchange(Conn& conn, const Json& request,
                                          milliseconds call_timeout) {
  if (!send_all(conn.writer.get(), to_compact(request) + '\n')) return std::string(LOST_TEXT);
  std::string_view line;
  switch (conn.reader.read_line(line)) {
    case ReadStatus::line:
      break;
    case ReadStatus::timed_out:
      return timeout_text(call_timeout);
    case ReadStatus::failed:
    case ReadStatus::end_of_stream:
      return std::string(LOST_TEXT);
  }
  std::optional<Reply> reply = read_reply(trim_white_space(line));
  if (!reply) return std::string(LOST_TEXT);
  return std::move(*reply);
}

}  // namespace

std::vector<Message> forward_tool_call(Bridge& bridge, const Json& request, const Json& id) {
  std::vector<Message> out;
  if (bridge.conn && !is_reusable(*bridge.conn)) bridge.conn.reset();
  if (!bridge.conn && !bridge.connect(out)) {
    out.emplace_back(response(id, tool_error(NOT_RUNNING_TEXT)));
    return out;
  }
  std::variant<Reply, std::string> outcome = exchange(*bridge.conn, request, bridge.call_timeout);
  if (const std::string* failure = std::get_if<std::string>(&outcome)) {
    bridge.conn.reset();
    out.emplace_back(response(id, tool_error(*failure)));
    return out;
  }
  Reply& reply = std::get<Reply>(outcome);
  if (reply.unavailable) bridge.conn.reset();
  out.push_back(std::move(reply.message));
  return out;
}

}  // namespace kestil
