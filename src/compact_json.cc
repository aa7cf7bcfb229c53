// The compact-reply checker on simdjson's on-demand parser: the line is validated and walked
// once, adding up the bytes its compact form would take; any token the writer would write
// differently declines, and so does any byte left over (white space between tokens).
#include "compact_json.h"

#include <simdjson.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "ipc.h"
#include "protocol.h"

namespace kestil {
namespace {

namespace od = simdjson::ondemand;

static_assert(LINE_PADDING >= simdjson::SIMDJSON_PADDING,
              "lines must carry the validator's padding");

constexpr std::string_view JSON_SPACE = " \t\n\r";
constexpr std::string_view UNAVAILABLE_TEXT_START = "\"unavailable:";

// Lines up to this size are checked by a parser kept between calls; a longer line gets a
// parser of its own, freed after it, so its index does not stay allocated.
constexpr std::size_t KEPT_PARSER_CAPACITY = 1 << 20;

std::string_view without_trailing_space(std::string_view token) {
  const std::size_t last = token.find_last_not_of(JSON_SPACE);
  return token.substr(0, last == std::string_view::npos ? 0 : last + 1);
}

// Length of the escape at the start of `text` when it is the one the writer makes for its
// character: the short escapes, and \u00xx in lower case for the other control characters.
// 0 otherwise.
std::size_t compact_escape_length(std::string_view text) {
  if (text.size() < 2) return 0;
  switch (text[1]) {
    case '"':
    case '\\':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return 2;
    case 'u':
      break;
    default:
      return 0;
  }
  if (text.size() < 6 || text.substr(2, 2) != "00") return 0;
  const char high = text[4], low = text[5];
  const bool low_is_hex = (low >= '0' && low <= '9') || (low >= 'a' && low <= 'f');
  if ((high != '0' && high != '1') || !low_is_hex) return 0;
  const int code = (high - '0') * 16 + (low <= '9' ? low - '0' : low - 'a' + 10);
  const bool has_short_escape =
      code == 0x08 || code == 0x09 || code == 0x0A || code == 0x0C || code == 0x0D;
  return has_short_escape ? 0 : 6;
}

// Every escape in `content`, a string's text between its quotes, is the writer's own.
bool has_compact_escapes(std::string_view content) {
  std::size_t at = content.find('\\');
  while (at != std::string_view::npos) {
    const std::size_t length = compact_escape_length(content.substr(at));
    if (length == 0) return false;
    at = content.find('\\', at + length);
  }
  return true;
}

// The closing quote of the string whose text starts at `text`. The validator has already
// seen the string closed, and a backslash always takes the next byte with it.
const char* closing_quote(const char* text) {
  while (*text != '"') text += *text == '\\' ? 2 : 1;
  return text;
}

// Walks a document, adding up the length of its compact form; each step returns false at
// the first token the writer would write differently.
class CompactWalk {
 public:
  std::size_t length = 0;

  bool object(od::object members, int depth) {
    if (depth > MAX_JSON_DEPTH) return false;
    std::size_t count = 0;
    std::string_view previous_key;
    for (auto entry : members) {
      od::field field;
      if (std::move(entry).get(field) != simdjson::SUCCESS) return false;
      const char* raw_key = field.key().raw();
      const std::string_view escaped(raw_key,
                                     static_cast<std::size_t>(closing_quote(raw_key) - raw_key));
      std::string_view key;
      if (!has_compact_escapes(escaped) || field.unescaped_key().get(key) != simdjson::SUCCESS) {
        return false;
      }
      // The writer orders keys by their bytes; a repeated key is not ascending either.
      if (count > 0 && !(previous_key < key)) return false;
      previous_key = key;
      length += escaped.size() + 3;  // the quotes and the colon
      if (!value(field.value(), depth)) return false;
      ++count;
    }
    length += count > 0 ? count + 1 : 2;  // braces and commas
    return true;
  }

  bool array(od::array elements, int depth) {
    if (depth > MAX_JSON_DEPTH) return false;
    std::size_t count = 0;
    for (auto entry : elements) {
      od::value element;
      if (std::move(entry).get(element) != simdjson::SUCCESS || !value(element, depth)) {
        return false;
      }
      ++count;
    }
    length += count > 0 ? count + 1 : 2;  // brackets and commas
    return true;
  }

  bool value(od::value item, int depth) {
    od::json_type type;
    if (item.type().get(type) != simdjson::SUCCESS) return false;
    if (type == od::json_type::object) {
      od::object members;
      return item.get_object().get(members) == simdjson::SUCCESS && object(members, depth + 1);
    }
    if (type == od::json_type::array) {
      od::array elements;
      return item.get_array().get(elements) == simdjson::SUCCESS && array(elements, depth + 1);
    }
    const std::string_view token = without_trailing_space(item.raw_json_token());
    length += token.size();
    switch (type) {
      case od::json_type::string:
        return token.size() >= 2 && token.back() == '"' &&
               has_compact_escapes(token.substr(1, token.size() - 2));
      case od::json_type::number:
        return is_written_as(item, token);
      case od::json_type::boolean: {
        bool flag = false;
        return item.get_bool().get(flag) == simdjson::SUCCESS && token == (flag ? "true" : "false");
      }
      case od::json_type::null:
        return token == "null";
      default:
        return false;
    }
  }

 private:
  // The writer would print the number exactly as `token`. Integers keep their value and
  // are printed in decimal; any other number is printed as the shortest text that reads back
  // as the same double, which only the same printer can say.
  static bool is_written_as(od::value& number, std::string_view token) {
    if (token.find_first_of(".eE") == std::string_view::npos) {
      if (token.starts_with('-')) {
        int64_t signed_value = 0;
        return number.get_int64().get(signed_value) == simdjson::SUCCESS &&
               std::to_string(signed_value) == token;
      }
      uint64_t unsigned_value = 0;
      return number.get_uint64().get(unsigned_value) == simdjson::SUCCESS &&
             std::to_string(unsigned_value) == token;
    }
    double real = 0;
    return number.get_double().get(real) == simdjson::SUCCESS && Json(real).dump() == token;
  }
};

bool is_true_at(od::document& reply, std::string_view pointer) {
  bool flag = false;
  return reply.at_pointer(pointer).get_bool().get(flag) == simdjson::SUCCESS && flag;
}

// result.isError is true and result.content is an array whose first element's "text" is a
// string starting with "unavailable:". On a confirmed line a string's first bytes are its
// text, since the marker needs no escape.
bool carries_unavailable_marker(od::document& reply) {
  od::json_type content_type;
  std::string_view text;
  return is_true_at(reply, "/result/isError") &&
         reply.at_pointer("/result/content").type().get(content_type) == simdjson::SUCCESS &&
         content_type == od::json_type::array &&
         reply.at_pointer("/result/content/0/text").raw_json_token().get(text) ==
             simdjson::SUCCESS &&
         text.starts_with(UNAVAILABLE_TEXT_START);
}

int check_with(od::parser& parser, std::string_view text, std::size_t readable) {
  od::document reply;
  if (parser.iterate(text.data(), text.size(), readable).get(reply) != simdjson::SUCCESS) return 0;
  od::object members;
  if (reply.get_object().get(members) != simdjson::SUCCESS) return 0;
  CompactWalk walk;
  if (!walk.object(members, 1) || walk.length != text.size()) return 0;
  return carries_unavailable_marker(reply) ? 2 : 1;
}

}  // namespace
}  // namespace kestil

extern "C" int kestil_check_compact_reply(const char* text, std::size_t size,
                                          std::size_t readable) {
  using namespace kestil;
  // A reply is an object; the first byte being its brace also keeps out a byte order mark.
  if (size == 0 || text[0] != '{' || readable < size + simdjson::SIMDJSON_PADDING) return 0;
  try {
    const std::string_view line(text, size);
    if (size <= KEPT_PARSER_CAPACITY) {
      static od::parser kept;
      return check_with(kept, line, readable);
    }
    od::parser once;
    return check_with(once, line, readable);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
