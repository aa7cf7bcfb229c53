// Properties shared by the fuzz targets. A violated one aborts, so libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "protocol.h"

#define KESTIL_CHECK(condition) \
  ((condition) ? void() : ::kestil::fuzz::fail(#condition, __FILE__, __LINE__))

namespace kestil::fuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, condition);
  std::abort();
}

// Every object's keys, in the order the text gives them, ascend strictly byte by byte.
inline bool keys_in_byte_order(const nlohmann::ordered_json& value) {
  const std::string* previous = nullptr;
  for (auto it = value.begin(); value.is_object() && it != value.end(); ++it) {
    if (previous && !(*previous < it.key())) return false;
    previous = &it.key();
  }
  for (const auto& element : value) {
    if (element.is_structured() && !keys_in_byte_order(element)) return false;
  }
  return true;
}

// `value` goes out as one compact line that reads back as an equal value with sorted keys.
inline void check_output_value(const Json& value) {
  const std::string line = to_compact(value);
  KESTIL_CHECK(line.find('\n') == std::string::npos);
  const std::optional<Json> back = parse_json(line);
  KESTIL_CHECK(back && *back == value);
  KESTIL_CHECK(to_compact(*back) == line);
  const auto as_written = nlohmann::ordered_json::parse(line, nullptr, false);
  KESTIL_CHECK(!as_written.is_discarded() && keys_in_byte_order(as_written));
}

// The app's reply says it cannot serve the connection any more, by the value's rule.
inline bool carries_unavailable_marker(const Json& reply) {
  const auto result = reply.find("result");
  if (result == reply.end() || !result->is_object()) return false;
  const auto is_error = result->find("isError");
  const auto content = result->find("content");
  if (is_error == result->end() || *is_error != true || content == result->end() ||
      !content->is_array() || content->empty() || !content->front().is_object()) {
    return false;
  }
  const auto text = content->front().find("text");
  return text != content->front().end() && text->is_string() &&
         text->get_ref<const std::string&>().starts_with("unavailable:");
}

// The value of an output message, after checking how it goes out.
inline Json output_value(const Message& message) {
  const std::string line = compact_line(message);
  const std::optional<Json> value = parse_json(line);
  KESTIL_CHECK(value.has_value());
  check_output_value(*value);
  KESTIL_CHECK(to_compact(*value) == line);
  return *value;
}

}  // namespace kestil::fuzz
