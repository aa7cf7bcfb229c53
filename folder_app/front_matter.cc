#include "front_matter.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace kestil::folder {
namespace {

// A block larger than this is not read: its keys count as none (its note says why).
constexpr size_t MAX_FRONT_MATTER_BYTES = 1 << 20;

// Where the block sits in a note's bytes.
struct BlockPlace {
  size_t yaml_begin = 0;  // after the opening line
  size_t yaml_end = 0;    // where the closing line begins
  size_t end = 0;         // after the closing line
  std::string newline;    // as the opening line ends: "\n" or "\r\n"
};

bool is_closing_line(std::string_view line) {
  if (!line.starts_with("---")) return false;
  line.remove_prefix(3);
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// The byte order mark some editors put at the top of a file.
constexpr std::string_view BOM = "\xEF\xBB\xBF";

std::optional<BlockPlace> place_of_block(std::string_view raw) {
  BlockPlace place;
  size_t bom = raw.starts_with(BOM) ? BOM.size() : 0;
  if (raw.substr(bom).starts_with("---\n")) {
    place.newline = "\n";
  } else if (raw.substr(bom).starts_with("---\r\n")) {
    place.newline = "\r\n";
  } else {
    return std::nullopt;
  }
  place.yaml_begin = bom + 3 + place.newline.size();
  for (size_t pos = place.yaml_begin; pos < raw.size();) {
    size_t newline = raw.find('\n', pos);
    size_t next = newline == std::string_view::npos ? raw.size() : newline + 1;
    if (is_closing_line(raw.substr(pos, next - pos))) {
      place.yaml_end = pos;
      place.end = next;
      return place;
    }
    pos = next;
  }
  return std::nullopt;
}

// The lines of `text`, each with its line break.
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t newline = text.find('\n');
    size_t length = newline == std::string_view::npos ? text.size() : newline + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

bool is_blank_or_comment(std::string_view line) {
  size_t first = line.find_first_not_of(" \t");
  return first == std::string_view::npos || line[first] == '\r' || line[first] == '\n' ||
         line[first] == '#';
}

std::string_view trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

struct Parsed {
  YAML::Node root;  // a map, or null for an empty block
  std::string problem;
};

// `yaml` read by the YAML library; the problem names lines as the note counts them, where the
// opening line is line 1.
Parsed parse(std::string_view yaml) {
  Parsed parsed;
  try {
    parsed.root = YAML::Load(std::string(yaml));
  } catch (const YAML::Exception& error) {
    parsed.problem =
        "it is not valid YAML (" +
        (error.mark.is_null() ? "" : "line " + std::to_string(error.mark.line + 2) + ": ") +
        error.msg + ")";
    return parsed;
  }
  if (parsed.root.IsDefined() && !parsed.root.IsNull() && !parsed.root.IsMap()) {
    parsed.problem = "it holds no keys, only a " +
                     std::string(parsed.root.IsSequence() ? "list" : "single value");
  }
  return parsed;
}

// The tags or aliases a value holds: the items of a list, or a single value, which for tags
// may be a comma line.
std::vector<std::string> list_values(const YAML::Node& value, bool are_tags) {
  std::vector<std::string> values;
  auto add = [&](std::string_view text) {
    text = trimmed(text);
    if (are_tags && text.starts_with('#')) text.remove_prefix(1);
    if (!text.empty()) values.emplace_back(text);
  };
  if (value.IsSequence()) {
    for (const YAML::Node& item : value) {
      if (item.IsScalar()) add(item.Scalar());
    }
  } else if (value.IsScalar() && are_tags) {
    std::string_view rest = value.Scalar();
    for (size_t comma = rest.find(','); comma != std::string_view::npos; comma = rest.find(',')) {
      add(rest.substr(0, comma));
      rest.remove_prefix(comma + 1);
    }
    add(rest);
  } else if (value.IsScalar()) {
    add(value.Scalar());
  }
  return values;
}

// A YAML value as JSON: a plain scalar that JSON reads as a number, true, false or null is one;
// every other scalar is a string.
Json json_of(const YAML::Node& value) {
  if (value.IsMap()) {
    Json object = Json::object();
    for (const auto& entry : value) {
      if (entry.first.IsScalar()) object[entry.first.Scalar()] = json_of(entry.second);
    }
    return object;
  }
  if (value.IsSequence()) {
    Json array = Json::array();
    for (const YAML::Node& item : value) array.push_back(json_of(item));
    return array;
  }
  if (!value.IsScalar()) return nullptr;
  if (value.Tag() == "?") {
    std::optional<Json> typed = parse_json(value.Scalar());
    if (typed && (typed->is_number() || typed->is_boolean() || typed->is_null())) return *typed;
  }
  return value.Scalar();
}

// Reads the keys the app knows; where a key is written twice, the first counts.
void read_keys(const YAML::Node& root, FrontMatter& meta) {
  if (!root.IsMap()) return;
  // Only the keys read below are remembered: a block may hold a great many others.
  std::vector<std::string> seen;
  for (const auto& entry : root) {
    if (!entry.first.IsScalar()) continue;
    const std::string& key = entry.first.Scalar();
    if (key != "id" && key != "description" && key != "tags" && key != "aliases" && key != "style")
      continue;
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(key);
    const YAML::Node& value = entry.second;
    if (key == "id" && value.IsScalar()) {
      meta.id = trimmed(value.Scalar());
    } else if (key == "description" && value.IsScalar()) {
      meta.description = value.Scalar();
    } else if (key == "tags") {
      meta.tags = list_values(value, true);
    } else if (key == "aliases") {
      meta.aliases = list_values(value, false);
    } else if (key == "style" && value.IsMap()) {
      meta.style = json_of(value);
    }
  }
}

// Whether the YAML library reads `document` as `expected` (checked on the parsed root).
bool reads_as(const std::string& document, const std::function<bool(const YAML::Node&)>& expected) {
  try {
    return expected(YAML::Load(document));
  } catch (const std::exception&) {
    return false;
  }
}

bool is_text(const YAML::Node& node, const std::string& text) {
  return node.IsScalar() && node.Scalar() == text;
}

// `text` written where the YAML library reads it back as exactly that string: plain where it
// can be, else double-quoted (a JSON string is a valid YAML one). `before` and `after` place it
// in the smallest document of its context, whose root `unwrap` takes it out of.
std::string scalar_yaml(const std::string& text, std::string_view before, std::string_view after,
                        const std::function<YAML::Node(const YAML::Node&)>& unwrap) {
  bool plain =
      !text.empty() && reads_as(std::string(before) + text + std::string(after),
                                [&](const YAML::Node& n) { return is_text(unwrap(n), text); });
  return plain ? text : to_compact(Json(text));
}

std::string value_yaml(const std::string& text) {
  return scalar_yaml(text, "k: ", "", [](const YAML::Node& n) {
    return n.IsMap() && n.size() == 1 ? n["k"] : YAML::Node();
  });
}

std::string item_yaml(const std::string& text, bool flow) {
  return scalar_yaml(text, flow ? "[" : "- ", flow ? "]" : "", [](const YAML::Node& n) {
    return n.IsSequence() && n.size() == 1 ? n[0] : YAML::Node();
  });
}

std::string flow_list(const std::vector<std::string>& values) {
  std::string text = "[";
  for (size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + item_yaml(values[i], true);
  return text + "]";
}

std::string comma_line(const std::vector<std::string>& values) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + values[i];
  return text;
}

// A JSON value in the YAML library's block style; a string that would read back as a number,
// true, false or null is quoted.
void emit_block(YAML::Emitter& out, const Json& value) {
  if (value.is_object()) {
    out << YAML::BeginMap;
    for (const auto& [key, item] : value.items()) {
      out << YAML::Key << key << YAML::Value;
      emit_block(out, item);
    }
    out << YAML::EndMap;
  } else if (value.is_array()) {
    out << YAML::BeginSeq;
    for (const Json& item : value) emit_block(out, item);
    out << YAML::EndSeq;
  } else if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    std::optional<Json> typed = parse_json(text);
    if (typed && !typed->is_string()) out << YAML::DoubleQuoted;
    out << text;
  } else {
    out << to_compact(value);
  }
}

// The lines of `value` as a block map below its key, each indented by `indent`.
std::string block_map(const Json& value, std::string_view indent, const std::string& newline) {
  YAML::Emitter out;
  emit_block(out, value);
  std::string text;
  for (std::string_view line : lines_of(out.c_str())) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    text += std::string(indent) + std::string(line) + newline;
  }
  return text;
}

// The lines one key spans, its trailing blank and comment lines left to what follows.
struct KeySpan {
  size_t first = 0;
  size_t end = 0;
  YAML::Node value;
};

size_t line_of(const YAML::Node& node) {
  return static_cast<size_t>(std::max(node.Mark().line, 0));
}

std::optional<KeySpan> find_key(const YAML::Node& root, const std::vector<std::string_view>& lines,
                                std::string_view key) {
  std::optional<KeySpan> span;
  for (const auto& entry : root) {
    if (entry.first.IsScalar() && entry.first.Scalar() == key) {
      span = KeySpan{line_of(entry.first), 0, entry.second};
      break;
    }
  }
  if (!span) return std::nullopt;
  size_t next = lines.size();
  for (const auto& entry : root) {
    if (line_of(entry.first) > span->first) next = std::min(next, line_of(entry.first));
  }
  span->end = next;
  while (span->end > span->first + 1 && is_blank_or_comment(lines[span->end - 1])) --span->end;
  return span;
}

// The key's line up to where its value begins, like "tags: ".
std::string value_prefix(std::string_view key_line, const KeySpan& span) {
  const YAML::Mark mark = span.value.Mark();
  if (!span.value.IsNull() && line_of(span.value) == span.first && mark.column > 0 &&
      static_cast<size_t>(mark.column) <= key_line.size()) {
    return std::string(key_line.substr(0, static_cast<size_t>(mark.column)));
  }
  for (size_t i = 0; i < key_line.size(); ++i) {
    if (key_line[i] == ':' &&
        (i + 1 == key_line.size() ||
         std::string_view(" \t\r\n").find(key_line[i + 1]) != std::string_view::npos)) {
      return std::string(key_line.substr(0, i + 1)) + " ";
    }
  }
  return std::string(trimmed(key_line)) + " ";
}

enum class Field { ID, DESCRIPTION, TAGS, STYLE };

constexpr Field FIELDS[] = {Field::ID, Field::DESCRIPTION, Field::TAGS, Field::STYLE};

std::string_view key_of(Field field) {
  switch (field) {
    case Field::ID:
      return "id";
    case Field::DESCRIPTION:
      return "description";
    case Field::TAGS:
      return "tags";
    case Field::STYLE:
      return "style";
  }
  return "";
}

bool same_field(const FrontMatter& a, const FrontMatter& b, Field field) {
  switch (field) {
    case Field::ID:
      return a.id == b.id;
    case Field::DESCRIPTION:
      return a.description == b.description;
    case Field::TAGS:
      return a.tags == b.tags;
    case Field::STYLE:
      return a.style == b.style;
  }
  return true;
}

bool is_empty_field(const FrontMatter& meta, Field field) {
  switch (field) {
    case Field::ID:
      return meta.id.empty();
    case Field::DESCRIPTION:
      return meta.description.empty();
    case Field::TAGS:
      return meta.tags.empty();
    case Field::STYLE:
      return !meta.style.is_object() || meta.style.empty();
  }
  return true;
}

// The YAML text with lines [first, end) replaced by `replacement`.
std::string spliced(const std::vector<std::string_view>& lines, size_t first, size_t end,
                    std::string_view replacement) {
  std::string text;
  for (size_t i = 0; i < first; ++i) text += lines[i];
  text += replacement;
  for (size_t i = end; i < lines.size(); ++i) text += lines[i];
  return text;
}

// A block list with the items no longer wanted taken out and the new ones added after the
// last, each line of a kept item as it was.
std::string edited_block_list(const std::vector<std::string_view>& lines, const KeySpan& span,
                              const std::vector<std::string>& wanted, const std::string& newline) {
  struct Item {
    size_t first;
    size_t end;
    bool kept;
  };
  std::vector<Item> items;
  std::vector<bool> used(wanted.size(), false);
  for (const YAML::Node& node : span.value) {
    if (!items.empty()) items.back().end = line_of(node);
    bool kept = true;
    if (node.IsScalar()) {
      std::vector<std::string> value = list_values(node, true);
      auto match = std::find_if(wanted.begin(), wanted.end(), [&](const std::string& tag) {
        return !used[&tag - wanted.data()] && !value.empty() && tag == value[0];
      });
      kept = match != wanted.end();
      if (kept) used[match - wanted.begin()] = true;
    }
    items.push_back(Item{line_of(node), span.end, kept});
  }
  for (Item& item : items) {
    while (item.end > item.first + 1 && is_blank_or_comment(lines[item.end - 1])) --item.end;
  }
  const YAML::Node first_item = *span.value.begin();
  std::string_view item_prefix =
      lines[items.front().first].substr(0, static_cast<size_t>(first_item.Mark().column));
  std::string added;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (!used[i]) added += std::string(item_prefix) + item_yaml(wanted[i], false) + newline;
  }
  std::string text;
  size_t insert_at = items.back().end;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == insert_at) text += added;
    auto owner = std::find_if(items.begin(), items.end(),
                              [&](const Item& item) { return i >= item.first && i < item.end; });
    if (owner == items.end() || owner->kept) text += lines[i];
  }
  if (insert_at >= lines.size()) text += added;
  return text;
}

// The value of `field` in `wanted` written after `prefix`, in each form worth trying, the form
// the key already has first.
std::vector<std::string> value_forms(Field field, const FrontMatter& wanted,
                                     const YAML::Node* value) {
  switch (field) {
    case Field::ID:
      return {value_yaml(wanted.id)};
    case Field::DESCRIPTION:
      return {value_yaml(wanted.description)};
    case Field::STYLE:
      return {to_compact(wanted.style)};
    case Field::TAGS:
      if (value && value->IsSequence()) return {flow_list(wanted.tags)};
      return {comma_line(wanted.tags), flow_list(wanted.tags)};
  }
  return {};
}

// The YAML text with `field` set as in `wanted`, in each way worth trying, best first.
std::vector<std::string> candidates(const std::string& yaml, const YAML::Node& root, Field field,
                                    const FrontMatter& wanted, const std::string& newline) {
  std::vector<std::string_view> lines = lines_of(yaml);
  std::optional<KeySpan> span = root.IsMap() ? find_key(root, lines, key_of(field)) : std::nullopt;
  if (is_empty_field(wanted, field)) {
    return {span ? spliced(lines, span->first, span->end, "") : yaml};
  }
  std::vector<std::string> texts;
  if (!span) {
    for (const std::string& form : value_forms(field, wanted, nullptr)) {
      texts.push_back(yaml + std::string(key_of(field)) + ": " + form + newline);
    }
    return texts;
  }
  if (field == Field::TAGS && span->value.IsSequence() &&
      span->value.Style() != YAML::EmitterStyle::Flow && span->value.size() > 0) {
    return {edited_block_list(lines, *span, wanted.tags, newline)};
  }
  if (field == Field::STYLE && span->value.IsMap() &&
      span->value.Style() != YAML::EmitterStyle::Flow && span->value.size() > 0) {
    std::string_view key_line = lines[span->first];
    size_t column = static_cast<size_t>(std::max(span->value.begin()->first.Mark().column, 1));
    texts.push_back(spliced(
        lines, span->first, span->end,
        std::string(key_line) + block_map(wanted.style, std::string(column, ' '), newline)));
  }
  std::string prefix = value_prefix(lines[span->first], *span);
  for (const std::string& form : value_forms(field, wanted, &span->value)) {
    texts.push_back(spliced(lines, span->first, span->end, prefix + form + newline));
  }
  return texts;
}

// Front matter read before, by its YAML text: the YAML library takes tens of microseconds a
// block, and scans of a space read the same blocks again and again.
class ReadBefore {
 public:
  std::optional<FrontMatter> find(const std::string& yaml) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = read_.find(yaml);
    if (found == read_.end()) return std::nullopt;
    return found->second;
  }
  void keep(std::string yaml, const FrontMatter& meta) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (read_.size() >= MAX_KEPT) read_.clear();
    read_.emplace(std::move(yaml), meta);
  }

 private:
  static constexpr size_t MAX_KEPT = 20000;
  std::mutex mutex_;
  std::unordered_map<std::string, FrontMatter> read_;
};

ReadBefore& read_before() {
  static ReadBefore cache;
  return cache;
}

std::string join_note(std::string_view head, std::string_view body) {
  std::string note(head);
  // A closing line at the very end of the file gets its line break before the body does.
  if (!note.empty() && note.back() != '\n' && note != BOM && !body.empty()) note += '\n';
  note += body;
  return note;
}

std::string field_names(const FrontMatter& read, const FrontMatter& wanted) {
  std::string names;
  for (Field field : FIELDS) {
    if (same_field(read, wanted, field)) continue;
    names += (names.empty() ? "" : " and ") + std::string(key_of(field));
  }
  return names;
}

// The keys of a map with their values as the YAML library writes them, `except` left out.
std::map<std::string, std::string> keys_but(const YAML::Node& root, std::string_view except) {
  std::map<std::string, std::string> keys;
  if (!root.IsMap()) return keys;
  for (const auto& entry : root) {
    std::string key = entry.first.IsScalar() ? entry.first.Scalar() : YAML::Dump(entry.first);
    if (key != except) keys.emplace(key, YAML::Dump(entry.second));
  }
  return keys;
}

// Whether every key but `changed` reads the same in both: a rewrite that would change any
// other (the app's own or the person's) is not made.
bool same_other_keys(const YAML::Node& before, const YAML::Node& after, std::string_view changed) {
  return keys_but(before, changed) == keys_but(after, changed);
}

Outcome<std::string> rewritten_yaml(std::string yaml, const FrontMatter& wanted,
                                    const std::string& newline) {
  Parsed parsed = parse(yaml);
  FrontMatter read;
  read_keys(parsed.root, read);
  bool unchanged = true;
  for (Field field : FIELDS) unchanged = unchanged && same_field(read, wanted, field);
  if (unchanged) return yaml;
  if (parsed.problem.empty() && parsed.root.IsMap() &&
      parsed.root.Style() == YAML::EmitterStyle::Flow) {
    parsed.problem = "it is written as one {…} map";
  }
  if (!parsed.problem.empty()) {
    return Failure{"The note's " + field_names(read, wanted) + " could not be changed: its " +
                   "front matter was left as it is because " + parsed.problem +
                   ". Fix it in an editor, then try again."};
  }
  for (Field field : FIELDS) {
    if (same_field(read, wanted, field)) continue;
    bool done = false;
    for (std::string& text : candidates(yaml, parsed.root, field, wanted, newline)) {
      // Each rewrite is read back: the key holds what was asked and every other key is as it was.
      Parsed check = parse(text);
      FrontMatter after;
      read_keys(check.root, after);
      bool right = check.problem.empty() && same_field(after, wanted, field) &&
                   same_other_keys(parsed.root, check.root, key_of(field));
      if (!right) continue;
      yaml = std::move(text);
      parsed = std::move(check);
      read = std::move(after);
      done = true;
      break;
    }
    if (!done) {
      return Failure{"The note's " + std::string(key_of(field)) +
                     " could not be changed without touching the rest of its front matter; "
                     "nothing was written."};
    }
  }
  return yaml;
}

}  // namespace

size_t front_matter_end(std::string_view raw) {
  std::optional<BlockPlace> place = place_of_block(raw);
  return place ? place->end : 0;
}

size_t read_front_matter(std::string_view raw, FrontMatter& meta) {
  std::optional<BlockPlace> place = place_of_block(raw);
  if (!place) return 0;
  std::string yaml(raw.substr(place->yaml_begin, place->yaml_end - place->yaml_begin));
  if (yaml.size() > MAX_FRONT_MATTER_BYTES) {
    meta.problem = "it is larger than 1 MB, so it was not read";
    return place->end;
  }
  if (std::optional<FrontMatter> known = read_before().find(yaml)) {
    meta = std::move(*known);
    return place->end;
  }
  try {
    Parsed parsed = parse(yaml);
    meta.problem = parsed.problem;
    if (parsed.problem.empty()) read_keys(parsed.root, meta);
  } catch (const std::exception& error) {
    meta.problem = std::string("it could not be read (") + error.what() + ")";
  }
  read_before().keep(std::move(yaml), meta);
  return place->end;
}

Outcome<std::string> with_front_matter(std::string_view head, const FrontMatter& wanted,
                                       std::string_view body) {
  std::optional<BlockPlace> place = place_of_block(head);
  std::string yaml;
  std::string newline = "\n";
  if (place) {
    yaml = head.substr(place->yaml_begin, place->yaml_end - place->yaml_begin);
    newline = place->newline;
  } else {
    size_t first_break = body.find('\n');
    if (first_break != std::string_view::npos && first_break > 0 && body[first_break - 1] == '\r') {
      newline = "\r\n";
    }
  }
  Outcome<std::string> rewritten = Failure{};
  try {
    rewritten = rewritten_yaml(yaml, wanted, newline);
  } catch (const std::exception& error) {
    return Failure{std::string("The note's front matter could not be changed (") + error.what() +
                   "); nothing was written."};
  }
  if (auto* failed = std::get_if<Failure>(&rewritten)) return *failed;
  const std::string& new_yaml = std::get<std::string>(rewritten);
  if (place) {
    std::string new_head(head.substr(0, place->yaml_begin));
    new_head += new_yaml;
    new_head += head.substr(place->yaml_end);
    return join_note(new_head, body);
  }
  if (new_yaml.empty()) return join_note(head, body);
  // A new block goes after the byte order mark, which stays the first thing in the file.
  std::string_view text = head.empty() ? body : head;
  std::string_view bom = text.starts_with(BOM) ? BOM : "";
  std::string block = std::string(bom) + "---" + newline + new_yaml + "---" + newline;
  if (head.empty()) return block + std::string(body.substr(bom.size()));
  return join_note(block + std::string(head.substr(bom.size())), body);
}

}  // namespace kestil::folder
