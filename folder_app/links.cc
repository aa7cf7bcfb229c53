#include "links.h"

#include <algorithm>

#include "markdown.h"
#include "names.h"

namespace kestil::folder {
namespace {

constexpr std::string_view ID_SCHEME = "kestil://note/";
constexpr std::string_view NOTE_EXTENSION = ".md";

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string_view folder_part(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash);
}

std::string_view title_part(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::vector<std::string_view> parts_of(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    size_t slash = path.find('/');
    if (slash != 0) parts.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

std::string joined(std::string_view folder, std::string_view name) {
  if (folder.empty() || name.empty()) return std::string(folder.empty() ? name : folder);
  return std::string(folder) + "/" + std::string(name);
}

bool ends_with_extension(std::string_view text) {
  if (text.size() <= NOTE_EXTENSION.size()) return false;
  std::string_view tail = text.substr(text.size() - NOTE_EXTENSION.size());
  return tail[0] == '.' && (tail[1] == 'm' || tail[1] == 'M') && (tail[2] == 'd' || tail[2] == 'D');
}

bool is_id_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
        hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string percent_encoded(std::string_view text) {
  static constexpr std::string_view RESERVED = " %()<>[]#?^`{}|\\\"";
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || RESERVED.find(c) != std::string_view::npos) {
      out += '%';
      out += HEX[byte >> 4];
      out += HEX[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

// The space path a relative link's decoded file path leads to from `folder`, without ".md";
// none when it climbs out of the space.
std::optional<std::string> space_path(std::string_view folder, std::string_view file) {
  std::vector<std::string_view> parts;
  if (!file.starts_with('/')) parts = parts_of(folder);
  for (std::string_view part : parts_of(file)) {
    if (part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
    } else {
      parts.push_back(part);
    }
  }
  if (parts.empty()) return std::nullopt;
  std::string path;
  for (std::string_view part : parts) {
    if (!path.empty()) path += '/';
    path += part;
  }
  return path.substr(0, path.size() - NOTE_EXTENSION.size());
}

// Where a Markdown link's destination starts at `open` (just after "](") ends, or none when no
// link closes there. Sets `begin` and `end` to the destination's bytes.
bool destination_at(std::string_view body, size_t open, size_t& begin, size_t& end) {
  size_t at = open;
  while (at < body.size() && body[at] == ' ') ++at;
  if (at < body.size() && body[at] == '<') {
    size_t close = body.find_first_of(">\n<", at + 1);
    if (close == std::string_view::npos || body[close] != '>') return false;
    begin = at + 1;
    end = close;
    at = close + 1;
  } else {
    int depth = 0;
    begin = at;
    for (; at < body.size(); ++at) {
      char c = body[at];
      if (c == '\\' && at + 1 < body.size()) {
        ++at;
      } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        break;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')') {
        if (depth-- == 0) break;
      }
    }
    end = at;
  }
  while (at < body.size() && body[at] == ' ') ++at;
  if (at < body.size() && (body[at] == '"' || body[at] == '\'')) {
    size_t close = body.find(body[at], at + 1);
    if (close == std::string_view::npos) return false;
    at = close + 1;
    while (at < body.size() && body[at] == ' ') ++at;
  }
  return at < body.size() && body[at] == ')' && end > begin;
}

// The note a Markdown destination names, or none when it leads elsewhere (a web page, a file
// that is no note, outside the space).
std::optional<std::string> file_target(std::string_view destination, std::string_view from_path) {
  std::string_view file = destination.substr(0, destination.find_first_of("#?"));
  size_t colon = file.find(':');
  if (colon != std::string_view::npos && file.find('/') > colon) return std::nullopt;  // a scheme
  std::string decoded = percent_decoded(file);
  if (!ends_with_extension(decoded)) return std::nullopt;
  return space_path(folder_part(from_path), decoded);
}

// The wiki link whose "[[" is at `at`, if one is written there.
std::optional<Link> wiki_link_at(std::string_view body, size_t at) {
  // The name holds no '[' and no line break: the look for "]]" stops at the first of them, so
  // a note of many unclosed "[[" is read in one pass.
  size_t close = at + 2;
  for (;; ++close) {
    close = body.find_first_of("[\n]", close);
    if (close == std::string_view::npos || body[close] != ']') return std::nullopt;
    if (close + 1 < body.size() && body[close + 1] == ']') break;
  }
  std::string_view inside = body.substr(at + 2, close - at - 2);
  std::string_view name = inside.substr(0, inside.find_first_of("|#"));
  if (name.ends_with('\\')) name.remove_suffix(1);  // "[[Note\|text]]" inside a table
  name = trimmed(name);
  if (name.empty()) return std::nullopt;  // [[#Heading]] leads within the same note
  return Link{LinkKind::name, std::string(name), at + 2, close};
}

bool is_inside(const std::vector<Span>& code, size_t at, size_t& next) {
  while (next < code.size() && code[next].end <= at) ++next;
  return next < code.size() && code[next].begin <= at;
}

// Whether the id link at [begin, end) is the destination of a Markdown link.
bool is_destination(std::string_view text, size_t begin, size_t end) {
  std::string_view before = text.substr(0, begin);
  if (before.ends_with('<')) before.remove_suffix(1);
  char after = end < text.size() ? text[end] : '\0';
  return before.ends_with("](") && (after == ')' || after == ' ' || after == '>');
}

// Of the notes `paths`, the one in `folder`, else the one with the shortest path.
std::optional<std::string> nearest(const std::vector<std::string>& paths, std::string_view folder) {
  if (paths.empty()) return std::nullopt;
  std::string folder_key = name_key(folder);
  for (const std::string& path : paths) {
    if (name_key(folder_part(path)) == folder_key) return path;
  }
  auto shorter = [](const std::string& a, const std::string& b) {
    auto depth_a = std::count(a.begin(), a.end(), '/');
    auto depth_b = std::count(b.begin(), b.end(), '/');
    if (depth_a != depth_b) return depth_a < depth_b;
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
  };
  return *std::min_element(paths.begin(), paths.end(), shorter);
}

// The note named `title` as a bare [[title]] finds it: in the folder `near` first, then by the
// shortest path.
std::optional<std::string> by_title(std::string_view title, std::string_view near,
                                    const NoteLookup& notes) {
  return nearest(notes.titled(name_key(title)), near);
}

std::optional<std::string> resolve_name(std::string_view written, std::string_view from_path,
                                        const NoteLookup& notes) {
  std::string name = nfc(written);
  if (ends_with_extension(name)) name.resize(name.size() - NOTE_EXTENSION.size());
  while (name.starts_with('/')) name.erase(0, 1);
  if (name.empty()) return std::nullopt;
  if (std::optional<std::string> exact = notes.existing(name)) return exact;
  std::string key = name_key(name);
  std::vector<std::string> titled = notes.titled(name_key(title_part(name)));
  std::erase_if(titled, [&](const std::string& path) {
    std::string path_key = name_key(path);
    return path_key != key && !path_key.ends_with("/" + key);
  });
  std::string_view from_folder = folder_part(from_path);
  if (!titled.empty()) return nearest(titled, joined(from_folder, folder_part(name)));
  if (std::optional<std::string> aliased = nearest(notes.aliased(key), from_folder)) {
    return aliased;
  }
  // [[Folder/Title]] whose note was moved to another folder.
  if (name.find('/') == std::string::npos) return std::nullopt;
  return by_title(title_part(name), from_folder, notes);
}

}  // namespace

std::vector<Link> links_in(std::string_view body, std::string_view from_path) {
  std::vector<Link> links;
  std::vector<Span> code = code_spans(body);
  size_t next_code = 0;
  // Every form starts at '[', "](" or "kestil:"; the bytes between are skipped in one go.
  constexpr std::string_view STARTS = "[]k";
  for (size_t at = body.find_first_of(STARTS); at != std::string_view::npos;
       at = body.find_first_of(STARTS, at + 1)) {
    if (is_inside(code, at, next_code)) {
      at = code[next_code].end - 1;
      continue;
    }
    if (body.compare(at, 2, "[[") == 0) {
      if (std::optional<Link> link = wiki_link_at(body, at)) {
        at = link->end + 1;
        links.push_back(std::move(*link));
      }
    } else if (body.compare(at, ID_SCHEME.size(), ID_SCHEME) == 0) {
      size_t end = at + ID_SCHEME.size();
      while (end < body.size() && is_id_character(body[end])) ++end;
      if (end > at + ID_SCHEME.size()) {
        std::string id(body.substr(at + ID_SCHEME.size(), end - at - ID_SCHEME.size()));
        links.push_back(Link{LinkKind::id, std::move(id), at, end});
      }
      at = end - 1;
    } else if (body.compare(at, 2, "](") == 0) {
      size_t begin = 0;
      size_t end = 0;
      if (!destination_at(body, at + 2, begin, end)) continue;
      std::string_view destination = body.substr(begin, end - begin);
      if (destination.starts_with(ID_SCHEME)) continue;  // found as an id link next
      if (std::optional<std::string> target = file_target(destination, from_path)) {
        links.push_back(Link{LinkKind::file, std::move(*target), begin, end});
      }
      at = end - 1;
    }
  }
  return links;
}

std::optional<std::string> resolve_link(const Link& link, std::string_view from_path,
                                        const NoteLookup& notes) {
  switch (link.kind) {
    case LinkKind::id:
      return notes.with_id(link.target);
    case LinkKind::file:
      // A file link whose note was moved (with mv, by an editor) finds it by its file name.
      if (std::optional<std::string> exact = notes.existing(link.target)) return exact;
      return by_title(title_part(link.target), folder_part(from_path), notes);
    case LinkKind::name:
      return resolve_name(link.target, from_path, notes);
  }
  return std::nullopt;
}

std::string relative_link(std::string_view from_path, std::string_view to_path) {
  std::vector<std::string_view> from = parts_of(folder_part(from_path));
  std::vector<std::string_view> to = parts_of(to_path);
  size_t common = 0;
  while (common < from.size() && common + 1 < to.size() && from[common] == to[common]) ++common;
  std::string link;
  for (size_t i = common; i < from.size(); ++i) link += "../";
  for (size_t i = common; i < to.size(); ++i) {
    link += percent_encoded(to[i]);
    link += i + 1 < to.size() ? "/" : NOTE_EXTENSION;
  }
  return link;
}

std::string links_for_editor(std::string_view markdown, std::string_view from_path,
                             const NoteLookup& notes) {
  std::string out;
  size_t copied = 0;
  for (const Link& link : links_in(markdown, from_path)) {
    if (link.kind != LinkKind::id || !is_destination(markdown, link.begin, link.end)) continue;
    std::optional<std::string> path = notes.with_id(link.target);
    if (!path) continue;
    out.append(markdown.substr(copied, link.begin - copied));
    out += relative_link(from_path, *path);
    copied = link.end;
  }
  out.append(markdown.substr(copied));
  return out;
}

std::string links_for_assistant(std::string_view markdown, std::string_view from_path,
                                const NoteLookup& notes) {
  std::string out;
  size_t copied = 0;
  for (const Link& link : links_in(markdown, from_path)) {
    if (link.kind != LinkKind::file) continue;
    std::string_view written = markdown.substr(link.begin, link.end - link.begin);
    if (written.find_first_of("#?") != std::string_view::npos) continue;  // keeps its anchor
    std::optional<std::string> path = resolve_link(link, from_path, notes);
    std::optional<std::string> id = path ? notes.id_at(*path) : std::nullopt;
    if (!id) continue;
    out.append(markdown.substr(copied, link.begin - copied));
    out += ID_SCHEME;
    out += *id;
    copied = link.end;
  }
  out.append(markdown.substr(copied));
  return out;
}

}  // namespace kestil::folder
