// What every tool starts from: its checked arguments, the space it works on, and the two ways
// it answers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol.h"
#include "store.h"
#include "tools.h"

namespace kestil::folder {

// Reads a call's arguments and keeps the first problem found, so a tool checks all it needs
// and then asks once whether anything was wrong.
class Arguments {
 public:
  explicit Arguments(const Json& arguments) : arguments_(arguments) {
    if (!arguments_.is_null() && !arguments_.is_object()) {
      fail("The arguments must be a JSON object.");
    }
  }

  bool has(const char* key) const {
    return arguments_.is_object() && arguments_.contains(key) && !arguments_[key].is_null();
  }

  std::string text(const char* key, bool required) {
    if (!has(key)) {
      if (required) fail("The argument " + std::string(key) + " is missing; give it as a string.");
      return {};
    }
    if (!arguments_[key].is_string()) {
      fail("The argument " + std::string(key) + " must be a string.");
      return {};
    }
    return arguments_[key].get<std::string>();
  }

  int64_t integer(const char* key, int64_t minimum, int64_t fallback) {
    if (!has(key)) return fallback;
    const Json& value = arguments_[key];
    if (!value.is_number_integer()) {
      fail("The argument " + std::string(key) + " must be a whole number.");
      return fallback;
    }
    int64_t number = value.is_number_unsigned() && value.get<uint64_t>() > INT64_MAX
                         ? INT64_MAX
                         : value.get<int64_t>();
    if (number < minimum) {
      fail("The argument " + std::string(key) + " must be at least " + std::to_string(minimum) +
           ".");
      return fallback;
    }
    return number;
  }

  bool boolean(const char* key) {
    if (!has(key)) return false;
    if (!arguments_[key].is_boolean())
      fail("The argument " + std::string(key) + " must be true or false.");
    return arguments_[key].is_boolean() && arguments_[key].get<bool>();
  }

  std::vector<std::string> texts(const char* key) {
    std::vector<std::string> values;
    if (!has(key)) return values;
    const Json& list = arguments_[key];
    bool all_strings = list.is_array() && std::all_of(list.begin(), list.end(),
                                                      [](const Json& v) { return v.is_string(); });
    if (!all_strings) {
      fail("The argument " + std::string(key) + " must be an array of strings.");
      return values;
    }
    for (const Json& value : list) values.push_back(value.get<std::string>());
    return values;
  }

  std::optional<Json> object(const char* key) {
    if (!has(key)) return std::nullopt;
    if (!arguments_[key].is_object()) {
      fail("The argument " + std::string(key) + " must be a JSON object.");
      return std::nullopt;
    }
    return arguments_[key];
  }

  const Json& raw(const char* key) const { return arguments_[key]; }

  void fail(std::string text) {
    if (!failure_) failure_ = Failure{std::move(text)};
  }
  const std::optional<Failure>& failure() const { return failure_; }

 private:
  const Json& arguments_;
  std::optional<Failure> failure_;
};

// What every tool works with.
struct Call {
  const std::vector<Space>& spaces;
  const Space& space;
  Arguments& arguments;
  const BeforeRename& before_rename;
  WriteRecord* record = nullptr;  // the journal's, when the space keeps one
};

inline ToolResult success(const Json& value) {
  return ToolResult{to_compact(value), false};
}
inline ToolResult failure(const Failure& failed) {
  return ToolResult{failed.text, true};
}

// Unwraps an Outcome into `into`, or returns its failure from the tool.
#define TAKE_OR_RETURN(into, outcome)                                                \
  auto into##_outcome = (outcome);                                                   \
  if (auto* failed = std::get_if<Failure>(&into##_outcome)) return failure(*failed); \
  auto& into = std::get<0>(into##_outcome)

}  // namespace kestil::folder
