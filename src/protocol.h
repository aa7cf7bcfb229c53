// JSON text form and the JSON-RPC messages the server composes itself.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kestil {

using Json = nlohmann::json;

// Deepest nesting of arrays and objects that a text may have.
constexpr int MAX_JSON_DEPTH = 127;

// Reads `text` as exactly one JSON value: only JSON white space around it, no byte order
// mark, no NUL byte, numbers within the double range, at most MAX_JSON_DEPTH levels.
// A key given twice keeps its later value. Returns nullopt for anything else.
std::optional<Json> parse_json(std::string_view text);

// Like parse_json, but for the fixed records the app writes: the text must be an object
// and no member of that object may be given twice.
std::optional<Json> parse_record(std::string_view text);

// Writes `value` compactly: no white space outside strings, keys in byte order, only the
// escapes JSON requires (control characters as \u00xx in lower case). Never throws.
std::string to_compact(const Json& value);

// Text that already is a message's compact form, written as its pieces back to back: a
// cached catalog list between an answer's opening and closing, or an app's reply as sent.
struct CompactText {
  std::string head = {};
  std::string_view body = {};  // not owned: cached catalog text, or the app connection's buffer
  std::string_view tail = {};
};

// One message for standard output: a value to write compactly, or its compact text.
using Message = std::variant<Json, CompactText>;

// The compact form of `message`, without a line feed.
std::string compact_line(const Message& message);

// Strips Unicode White_Space characters (as UTF-8) from both ends of `text`.
std::string_view trim_white_space(std::string_view text);

// The JSON-RPC error codes the server answers with.
constexpr int64_t PARSE_ERROR = -32700;
constexpr int64_t METHOD_NOT_FOUND = -32601;
constexpr int64_t INVALID_PARAMS = -32602;

// Builds {"id","jsonrpc":"2.0","result"}.
Json response(const Json& id, Json result);

// Builds {"error":{"code","message"},"id","jsonrpc":"2.0"}.
Json error(const Json& id, int64_t code, std::string_view message);

// Builds the MCP tool result {"content":[{"text","type":"text"}],"isError":true}.
Json tool_error(std::string_view text);

// Protocol versions the server speaks, newest first.
constexpr std::array<std::string_view, 3> SUPPORTED_PROTOCOL_VERSIONS = {"2025-06-18", "2025-03-26",
                                                                         "2024-11-05"};

// The result of "initialize" for the version the client asked for; an unsupported or
// empty request gets the newest version.
Json initialize_result(std::string_view requested_version);

}  // namespace kestil
