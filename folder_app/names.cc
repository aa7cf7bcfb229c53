#include "names.h"

#include <utf8proc.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kestil::folder {
namespace {

constexpr size_t MAX_QUOTED_CHARACTERS = 200;
constexpr size_t MAX_TITLE_BYTES = 200;
constexpr size_t MAX_TAG_BYTES = 100;

struct FreeDeleter {
  void operator()(utf8proc_uint8_t* bytes) const { std::free(bytes); }
};

std::optional<std::string> mapped(std::string_view text, int options) {
  utf8proc_uint8_t* out = nullptr;
  utf8proc_ssize_t size = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                       static_cast<utf8proc_ssize_t>(text.size()), &out,
                                       static_cast<utf8proc_option_t>(options));
  std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(out);
  if (size < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(size));
}

bool is_ascii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool is_control(char32_t c) {
  return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

bool is_bidi_control(char32_t c) {
  return (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

bool is_white_space(char32_t c) {
  if (c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == 0x85) return true;
  utf8proc_category_t category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

std::string code_point_name(char32_t c) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
  return text;
}

// The first code point of `text` for which `bad` holds, or none; also fails on invalid UTF-8
// (reported as U+FFFD).
template <typename Predicate>
std::optional<char32_t> first_where(std::string_view text, Predicate bad) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t c = 0;
    utf8proc_ssize_t used = utf8proc_iterate(bytes, left, &c);
    if (used <= 0) return U'\uFFFD';
    if (bad(static_cast<char32_t>(c))) return static_cast<char32_t>(c);
    bytes += used;
    left -= used;
  }
  return std::nullopt;
}

// The problem shared by every kind of name: a character that hides or disguises text.
std::optional<std::string> hidden_character_problem(std::string_view what, std::string_view name) {
  std::optional<char32_t> bad =
      first_where(name, [](char32_t c) { return is_control(c) || is_bidi_control(c); });
  if (!bad) return std::nullopt;
  std::string kind = *bad == U'\uFFFD' ? "text that is not UTF-8"
                     : is_bidi_control(*bad)
                         ? "a direction override or isolate (" + code_point_name(*bad) + ")"
                         : "a control character (" + code_point_name(*bad) + ")";
  return "The " + std::string(what) + " '" + excerpt(name) + "' holds " + kind + "; leave it out.";
}

// The length of the UTF-8 character at the start of `text`, or 0 when none starts there.
size_t character_length(std::string_view text) {
  utf8proc_int32_t c = 0;
  utf8proc_ssize_t used = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                           static_cast<utf8proc_ssize_t>(text.size()), &c);
  return used > 0 ? static_cast<size_t>(used) : 0;
}

bool is_utf8(std::string_view text) {
  while (!text.empty()) {
    size_t length = character_length(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <typename EachPart>
std::string path_by_parts(std::string_view path, EachPart each) {
  std::string out;
  for (;;) {
    size_t slash = path.find('/');
    out += each(path.substr(0, slash));
    if (slash == std::string_view::npos) return out;
    out += '/';
    path.remove_prefix(slash + 1);
  }
}

}  // namespace

std::string listed_name(std::string_view name) {
  if (is_ascii(name) || is_utf8(name)) return std::string(name);
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string listed;
  while (!name.empty()) {
    size_t length = character_length(name);
    if (length > 0 && name.front() != '%') {
      listed += name.substr(0, length);
      name.remove_prefix(length);
      continue;
    }
    auto byte = static_cast<unsigned char>(name.front());
    listed += '%';
    listed += HEX[byte >> 4];
    listed += HEX[byte & 0xf];
    name.remove_prefix(1);
  }
  return listed;
}

std::string unlisted_name(std::string_view listed) {
  if (listed.find('%') == std::string_view::npos) return std::string(listed);
  std::string name;
  for (size_t at = 0; at < listed.size(); ++at) {
    int high = at + 2 < listed.size() && listed[at] == '%' ? hex_digit(listed[at + 1]) : -1;
    int low = high >= 0 ? hex_digit(listed[at + 2]) : -1;
    if (low >= 0) {
      name += static_cast<char>(high * 16 + low);
      at += 2;
    } else {
      name += listed[at];
    }
  }
  // Only a name that listed_name writes this way was written this way.
  return listed_name(name) == listed ? name : std::string(listed);
}

std::string listed_path(std::string_view path) {
  if (is_ascii(path)) return std::string(path);
  return path_by_parts(path, listed_name);
}

std::string unlisted_path(std::string_view listed) {
  if (listed.find('%') == std::string_view::npos) return std::string(listed);
  return path_by_parts(listed, unlisted_name);
}

std::string nfc(std::string_view text) {
  if (is_ascii(text)) return std::string(text);
  std::optional<std::string> composed = mapped(text, UTF8PROC_STABLE | UTF8PROC_COMPOSE);
  return composed ? *composed : std::string(text);
}

std::string name_key(std::string_view text) {
  if (is_ascii(text)) {
    std::string key(text);
    for (char& c : key) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
  }
  std::optional<std::string> folded =
      mapped(text, UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_CASEFOLD);
  return folded ? *folded : std::string(text);
}

std::string excerpt(std::string_view text) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xc0) == 0x80) continue;
    if (characters++ == MAX_QUOTED_CHARACTERS) return std::string(text.substr(0, i)) + "…";
  }
  return std::string(text);
}

bool is_tag_character(char32_t c) {
  if (c == '_' || c == '-' || c == '/') return true;
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND:
      return true;
    default:
      return false;
  }
}

std::optional<std::string> title_problem(std::string_view title) {
  if (title.size() > MAX_TITLE_BYTES) {
    return "The title '" + excerpt(title) + "' is " + std::to_string(title.size()) +
           " bytes long; keep it to 200 bytes.";
  }
  return hidden_character_problem("title", title);
}

std::optional<std::string> folder_name_problem(std::string_view name) {
  return hidden_character_problem("folder name", name);
}

std::optional<std::string> tag_problem(std::string_view tag) {
  if (tag.size() > MAX_TAG_BYTES) {
    return "The tag '" + excerpt(tag) + "' is " + std::to_string(tag.size()) +
           " bytes long; keep it to 100 bytes.";
  }
  if (std::optional<std::string> problem = hidden_character_problem("tag", tag)) return problem;
  if (first_where(tag, is_white_space)) {
    return "The tag '" + excerpt(tag) + "' holds white space; give each tag as one word.";
  }
  return std::nullopt;
}

}  // namespace kestil::folder
