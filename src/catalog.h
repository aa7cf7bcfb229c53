// The tools and prompts the server offers, and the fingerprint the app compares them by.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace kestil {

// One tool definition. Adds the optional "space" argument to every tool but "list_spaces",
// the outer input schema and the annotations. `properties` that is not an object counts
// as no arguments.
Json tool(std::string_view name, std::string_view title, std::string_view description,
          Json properties, const std::vector<std::string_view>& required, bool read_only,
          bool destructive);

// Shared argument schemas.
Json note_arg();
Json limit_arg();
Json style_arg();

// The 17 tool definitions, in catalog order.
Json tools();

// The 3 prompt definitions, in catalog order.
Json prompts();

// The compact text of tools() and of prompts(), made on first use and kept.
const std::string& tools_text();
const std::string& prompts_text();

// The messages of prompt `name` for `arguments`, or none when the prompt is unknown or a
// required argument is missing, not a string, or empty.
std::optional<Json> prompt_messages(std::string_view name, const Json& arguments);

// 64-bit FNV-1a of `bytes`.
uint64_t fnv1a_64(std::string_view bytes);

// The low `digits` hexadecimal digits of `value`, lower case, most significant first, padded
// with zeros, so that equal values always compare equal as text.
std::string to_hex(uint64_t value, int digits);

// 16 lower-case hex digits of FNV-1a over the compact tool list followed by the compact
// prompt list, computed on first use and kept.
const std::string& catalog_hash();

}  // namespace kestil
