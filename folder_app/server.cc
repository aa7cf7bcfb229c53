#include "server.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "catalog.h"
#include "protocol.h"

namespace kestil::folder {
namespace {

constexpr int64_t INVALID_REQUEST = -32600;

Json tool_reply(const Json& id, const ToolResult& result) {
  return response(id,
                  Json{{"content", Json::array({Json{{"text", result.text}, {"type", "text"}}})},
                       {"isError", result.is_error}});
}

// The tools the catalog marks as changing notes.
std::unordered_set<std::string> writing_tools() {
  std::unordered_set<std::string> names;
  for (const Json& tool : tools()) {
    if (!tool["annotations"]["readOnlyHint"].get<bool>())
      names.insert(tool["name"].get<std::string>());
  }
  return names;
}

// The id to answer a request with: its own when it has a usable one, else null.
Json id_of(const Json& request) {
  auto it = request.find("id");
  if (it == request.end() || !(it->is_string() || it->is_number())) return nullptr;
  return *it;
}

}  // namespace

Server::Server(std::vector<Space> spaces, std::chrono::milliseconds call_budget,
               ToolRunner run_tool)
    : spaces_(std::move(spaces)),
      call_budget_(call_budget),
      run_tool_(std::move(run_tool)),
      writing_tools_(writing_tools()),
      hello_reply_(to_compact(Json{{"catalog_hash", catalog_hash()}, {"ok", true}}) + "\n") {}

std::string Server::answer(std::string_view line) {
  std::optional<Json> request = parse_json(trim_white_space(line));
  if (!request) return to_compact(error(nullptr, PARSE_ERROR, "parse error"));
  if (!request->is_object()) {
    return to_compact(error(nullptr, INVALID_REQUEST, "invalid request: not an object"));
  }
  const Json id = id_of(*request);
  auto method = request->find("method");
  if (method == request->end() || !method->is_string()) {
    return to_compact(error(id, INVALID_REQUEST, "invalid request: no method"));
  }
  if (*method != "tools/call") {
    return to_compact(
        error(id, METHOD_NOT_FOUND, "method not found: " + method->get<std::string>()));
  }
  auto params = request->find("params");
  if (params == request->end() || !params->is_object() || !params->contains("name") ||
      !(*params)["name"].is_string()) {
    return to_compact(error(id, INVALID_PARAMS, "invalid params: a tool name is required"));
  }
  auto arguments = params->find("arguments");
  const Json& given = arguments == params->end() ? Json::object() : *arguments;
  const std::string name = (*params)["name"].get<std::string>();
  return to_compact(tool_reply(id, run_call(name, given)));
}

ToolResult Server::run_call(const std::string& name, const Json& arguments) {
  const CallDeadline deadline(call_budget_);
  std::unique_lock<std::timed_mutex> write_lock;
  if (writing_tools_.contains(name)) {
    write_lock = std::unique_lock(writes_mutex_, deadline.expiry());
    if (!write_lock.owns_lock()) return stopped_at_deadline(name);
  }
  return run_tool_ ? run_tool_(spaces_, name, arguments) : call_tool(spaces_, name, arguments);
}

void Server::serve(const UniqueFd& listener) {
  for (;;) {
    UniqueFd connection = accept_connection(listener.get());
    if (!connection.valid()) {
      if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) return;
      // Out of descriptors or memory: wait for some to come back rather than spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    try {
      std::thread([this, fd = std::move(connection)]() mutable {
        serve_connection(std::move(fd));
      }).detach();
    } catch (const std::exception&) {
      // No thread to be had: the connection closes and the bridge reconnects on its next call.
    }
  }
}

void Server::serve_connection(UniqueFd connection) {
  try {
    LineReader reader(connection.get(), READ_BUFFER_SIZE);
    std::string_view line;
    if (reader.read_line(line) != ReadStatus::line) return;
    std::optional<Json> hello = parse_record(trim_white_space(line));
    if (!hello) {
      send_all(connection.get(), to_compact(Json{{"catalog_hash", ""}, {"ok", false}}) + "\n");
      return;
    }
    if (!send_all(connection.get(), hello_reply_)) return;
    while (reader.read_line(line) == ReadStatus::line) {
      if (!send_all(connection.get(), answer(line) + "\n")) return;
    }
  } catch (const std::exception&) {
    // Out of memory on a huge line: closing this connection is all that can be done.
  }
}

}  // namespace kestil::folder
