#include "tools.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>
#include <map>
#include <set>

#include "markdown.h"
#include "search.h"
#include "store.h"

namespace kestil::folder {
namespace {

constexpr int64_t DEFAULT_MAX_CHARS = 20000;
constexpr int64_t MIN_MAX_CHARS = 1000;
constexpr size_t MAX_TITLE_BYTES = 200;
constexpr size_t AMBIGUOUS_SHOWN = 5;
constexpr std::string_view LINK_PREFIX = "kestil://note/";

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
};

ToolResult success(const Json& value) {
  return ToolResult{to_compact(value), false};
}
ToolResult failure(const Failure& failed) {
  return ToolResult{failed.text, true};
}

// Unwraps an Outcome into `into`, or returns its failure from the tool.
#define TAKE_OR_RETURN(into, outcome)                                                \
  auto into##_outcome = (outcome);                                                   \
  if (auto* failed = std::get_if<Failure>(&into##_outcome)) return failure(*failed); \
  auto& into = std::get<0>(into##_outcome)

bool same_folded(std::string_view a, std::string_view b) {
  return tag_key(a) == tag_key(b);
}

Json note_summary(const NoteFile& where, const std::string& id) {
  return Json{{"id", id},
              {"title", title_of(where.path)},
              {"path", where.path},
              {"folder", folder_of(where.path)},
              {"modified", utc_time(where.mtime_ns)}};
}

Outcome<NoteFile> find_note(const Space& space, const std::string& given) {
  if (given.empty()) return Failure{"The argument note is empty; give a note id, path or title."};
  Outcome<std::string> cleaned = clean_path(given, true);
  if (auto* failed = std::get_if<Failure>(&cleaned)) return *failed;
  Outcome<std::optional<NoteFile>> at = note_at(space, std::get<std::string>(cleaned));
  if (auto* failed = std::get_if<Failure>(&at)) return *failed;
  if (auto& found = std::get<std::optional<NoteFile>>(at)) return *found;
  std::vector<NoteFile> all = list_notes(space);
  for (const NoteFile& note : all) {
    if (id_of(note) == given) return note;
  }
  std::vector<const NoteFile*> titled;
  for (const NoteFile& note : all) {
    if (title_of(note.path) == given) titled.push_back(&note);
  }
  if (titled.empty()) {
    for (const NoteFile& note : all) {
      if (same_folded(title_of(note.path), given)) titled.push_back(&note);
    }
  }
  if (titled.size() == 1) return *titled[0];
  if (titled.empty()) {
    return Failure{"No note '" + given +
                   "' in this space; give an id, path or title that search_notes or list_folder "
                   "shows."};
  }
  std::string names;
  for (size_t i = 0; i < titled.size() && i < AMBIGUOUS_SHOWN; ++i) {
    names += (i ? ", " : "") + titled[i]->path;
  }
  return Failure{"The title '" + given + "' names " + std::to_string(titled.size()) + " notes (" +
                 names + "); give the path or id instead."};
}

Outcome<Note> find_and_load(const Space& space, const std::string& given) {
  Outcome<NoteFile> where = find_note(space, given);
  if (auto* failed = std::get_if<Failure>(&where)) return *failed;
  return load_note(std::get<NoteFile>(where));
}

// The space-relative folder named by an argument, which must exist.
Outcome<std::string> find_folder(const Space& space, const std::string& given) {
  Outcome<std::string> cleaned = clean_path(given, false);
  if (auto* failed = std::get_if<Failure>(&cleaned)) return *failed;
  Outcome<std::string> full = existing_folder(space, std::get<std::string>(cleaned));
  if (auto* failed = std::get_if<Failure>(&full)) return *failed;
  return std::get<std::string>(cleaned);
}

void add_tags(FrontMatter& meta, const std::vector<std::string>& tags) {
  for (const std::string& tag : tags) {
    bool present = std::any_of(meta.tags.begin(), meta.tags.end(),
                               [&](const std::string& t) { return same_folded(t, tag); });
    if (!present) meta.tags.push_back(tag);
  }
}

// Tags given as words: a leading '#' dropped, empty ones skipped; a tag that would break the
// tag line is refused.
Outcome<std::vector<std::string>> tag_words(const std::vector<std::string>& given) {
  std::vector<std::string> tags;
  for (std::string tag : given) {
    if (!tag.empty() && tag.front() == '#') tag.erase(0, 1);
    std::string_view trimmed = trim_white_space(tag);
    if (trimmed.empty()) continue;
    if (trimmed.find_first_of(",\n\r") != std::string_view::npos) {
      return Failure{"The tag '" + std::string(trimmed) +
                     "' holds a comma or line break; give each tag as one word."};
    }
    tags.emplace_back(trimmed);
  }
  return tags;
}

// Writes the note unless nothing changed, keeping the id it read with. Returns the version.
Outcome<std::string> save(const Call& call, const Note& note, FrontMatter meta,
                          std::string_view body) {
  if (meta.id.empty()) meta.id = note.id;
  std::string raw = join_front_matter(meta, body);
  if (raw == note.raw) return version_of(raw);
  if (std::optional<Failure> failed = write_atomically(note.where.file, raw, call.before_rename)) {
    return *failed;
  }
  return version_of(raw);
}

// Writes a new note at `note_path`, never over an existing one. Returns its id and version.
Outcome<std::pair<std::string, std::string>> create(const Call& call, const std::string& note_path,
                                                    FrontMatter meta, std::string_view body) {
  if (path_taken(call.space, note_path)) {
    return Failure{"A note '" + note_path +
                   "' already exists; choose another title or use append_to_note."};
  }
  if (meta.id.empty()) meta.id = fresh_id(note_path);
  std::string raw = join_front_matter(meta, body);
  std::string file = note_file(call.space, note_path);
  if (std::optional<Failure> failed = write_atomically(file, raw, call.before_rename)) {
    return *failed;
  }
  return std::make_pair(meta.id, version_of(raw));
}

std::string with_appended(std::string_view body, std::string_view markdown) {
  std::string text(body);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '\t')) {
    text.pop_back();
  }
  if (!text.empty()) text += "\n\n";
  text += markdown;
  text += "\n";
  return text;
}

Outcome<std::string> title_argument(const std::string& given) {
  std::string_view title = trim_white_space(given);
  if (title.empty()) return Failure{"The title is empty; give the note a title."};
  if (title.size() > MAX_TITLE_BYTES || title.front() == '.' ||
      title.find_first_of("/\n\r\t") != std::string_view::npos ||
      title.find('\0') != std::string_view::npos) {
    return Failure{
        "The title '" + std::string(title) +
        "' cannot be a file name; leave out '/', line breaks and a leading '.', and keep "
        "it under 200 bytes."};
  }
  return std::string(title);
}

std::string joined_path(std::string_view folder, std::string_view title) {
  return folder.empty() ? std::string(title) : std::string(folder) + "/" + std::string(title);
}

// Sets, removes (null) and merges ("visible") style keys.
void merge_style(Json& style, const Json& changes) {
  if (!style.is_object()) style = Json::object();
  for (const auto& [key, value] : changes.items()) {
    if (value.is_null()) {
      style.erase(key);
    } else if (key == "visible" && value.is_object() && style.contains(key) &&
               style[key].is_object()) {
      merge_style(style[key], value);
    } else {
      style[key] = value;
    }
  }
}

size_t characters(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  }));
}

// A note as read_note shows it, from block `cursor` on, whole blocks up to `max_chars`.
Outcome<Json> read_view(const Note& note, int64_t cursor, int64_t max_chars) {
  std::vector<Block> blocks = split_blocks(note.body());
  if (static_cast<size_t>(cursor) > blocks.size()) {
    return Failure{"The cursor " + std::to_string(cursor) + " is past the note's " +
                   std::to_string(blocks.size()) + " blocks; start again at 0."};
  }
  std::string markdown;
  size_t used = 0;
  size_t index = static_cast<size_t>(cursor);
  for (; index < blocks.size(); ++index) {
    std::string piece = "<!-- " + block_ref(index, blocks[index].text) + " -->\n";
    piece += blocks[index].text;
    piece += "\n\n";
    size_t size = characters(piece);
    if (!markdown.empty() && used + size > static_cast<size_t>(max_chars)) break;
    markdown += piece;
    used += size;
  }
  if (!markdown.empty()) markdown.pop_back();
  Json view{{"id", note.id},
            {"title", title_of(note.where.path)},
            {"path", note.where.path},
            {"folder", folder_of(note.where.path)},
            {"modified", utc_time(note.where.mtime_ns)},
            {"version", version_of(note.raw)},
            {"tags", note.meta.tags},
            {"markdown", markdown}};
  if (!note.meta.description.empty()) view["description"] = note.meta.description;
  if (!note.meta.style.empty()) view["style"] = note.meta.style;
  if (index < blocks.size()) view["next_cursor"] = index;
  return view;
}

bool links_to(std::string_view body, std::string_view id) {
  std::string link = std::string(LINK_PREFIX) + std::string(id);
  for (size_t at = body.find(link); at != std::string_view::npos; at = body.find(link, at + 1)) {
    size_t after = at + link.size();
    if (after == body.size() || !std::isalnum(static_cast<unsigned char>(body[after]))) return true;
  }
  return false;
}

// The tag line's entries and the note's #hashtags, each once.
std::vector<std::string> all_tags(const Note& note) {
  FrontMatter merged;
  merged.tags = note.meta.tags;
  add_tags(merged, hashtags(note.body()));
  return merged.tags;
}

std::optional<std::string> valid_date(const std::string& date) {
  auto digit = [&](size_t i) { return date[i] >= '0' && date[i] <= '9'; };
  if (date.size() != 10 || date[4] != '-' || date[7] != '-') return std::nullopt;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!digit(i)) return std::nullopt;
  }
  int year = std::stoi(date.substr(0, 4));
  int month = std::stoi(date.substr(5, 2));
  int day = std::stoi(date.substr(8, 2));
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return std::nullopt;
  if (day > DAYS[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
  return date;
}

std::string local_today() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::localtime_r(&now, &parts);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
  return text;
}

// ---- the tools ----

ToolResult list_spaces(Call& call) {
  Json spaces = Json::array();
  for (size_t i = 0; i < call.spaces.size(); ++i) {
    spaces.push_back(Json{{"name", call.spaces[i].name}, {"open", i == 0}});
  }
  return success(Json{{"spaces", spaces}, {"open", call.spaces.front().name}});
}

ToolResult get_context(Call& call) {
  std::vector<NoteFile> notes = list_notes(call.space);
  auto newest = std::max_element(notes.begin(), notes.end(), [](const auto& a, const auto& b) {
    return a.mtime_ns < b.mtime_ns || (a.mtime_ns == b.mtime_ns && a.path > b.path);
  });
  Json context{{"space", call.space.name}, {"note", nullptr}, {"selection", nullptr}};
  if (newest == notes.end()) return success(context);
  TAKE_OR_RETURN(note, load_note(*newest));
  TAKE_OR_RETURN(view, read_view(note, 0, DEFAULT_MAX_CHARS));
  context["note"] = view;
  return success(context);
}

ToolResult search_notes(Call& call) {
  std::string text = call.arguments.text("query", true);
  int64_t limit = call.arguments.integer("limit", 1, 20);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  std::variant<Query, std::string> parsed = parse_query(text);
  if (auto* problem = std::get_if<std::string>(&parsed)) return failure(Failure{*problem});
  const Query& query = std::get<Query>(parsed);
  struct Hit {
    Note note;
    Match match;
  };
  std::vector<Hit> hits;
  for (const NoteFile& where : list_notes(call.space)) {
    Outcome<Note> note = load_note(where);
    if (!std::holds_alternative<Note>(note)) continue;
    Note& loaded = std::get<Note>(note);
    if (std::optional<Match> match = match_note(query, title_of(where.path), loaded.body())) {
      loaded.raw.clear();
      hits.push_back(Hit{std::move(loaded), std::move(*match)});
    }
  }
  // Notes whose titles hold more of the query's terms first, then those where the terms occur
  // more often, then the more recently changed.
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
    if (a.match.title_terms != b.match.title_terms)
      return a.match.title_terms > b.match.title_terms;
    if (a.match.occurrences != b.match.occurrences)
      return a.match.occurrences > b.match.occurrences;
    if (a.note.where.mtime_ns != b.note.where.mtime_ns) {
      return a.note.where.mtime_ns > b.note.where.mtime_ns;
    }
    return a.note.where.path < b.note.where.path;
  });
  Json results = Json::array();
  for (size_t i = 0; i < hits.size() && i < static_cast<size_t>(limit); ++i) {
    Json result = note_summary(hits[i].note.where, hits[i].note.id);
    result["snippet"] = hits[i].match.snippet;
    results.push_back(result);
  }
  return success(Json{{"results", results}, {"total", hits.size()}});
}

ToolResult list_folder(Call& call) {
  std::string given = call.arguments.text("folder", false);
  int64_t cursor = call.arguments.integer("cursor", 0, 0);
  int64_t limit = call.arguments.integer("limit", 1, 100);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(folder, find_folder(call.space, given));
  std::string full = folder.empty() ? call.space.root : call.space.root + "/" + folder;
  FolderEntries entries = read_folder(call.space, full, folder.empty() ? "" : folder + "/");
  size_t total = entries.folders.size() + entries.notes.size();
  if (static_cast<size_t>(cursor) > total) {
    return failure(Failure{"The cursor " + std::to_string(cursor) + " is past the folder's " +
                           std::to_string(total) + " entries; start again at 0."});
  }
  Json items = Json::array();
  size_t end = std::min(total, static_cast<size_t>(cursor) + static_cast<size_t>(limit));
  for (size_t i = static_cast<size_t>(cursor); i < end; ++i) {
    if (i < entries.folders.size()) {
      const std::string& name = entries.folders[i];
      std::string kind = !folder.empty() ? "folder" : name == DAILY_FOLDER ? "daily" : "section";
      items.push_back(Json{{"kind", kind}, {"name", name}, {"path", joined_path(folder, name)}});
    } else {
      const NoteFile& note = entries.notes[i - entries.folders.size()];
      Json item = note_summary(note, id_of(note));
      item["kind"] = "note";
      items.push_back(item);
    }
  }
  Json listing{{"folder", folder}, {"entries", items}};
  if (end < total) listing["next_cursor"] = end;
  return success(listing);
}

ToolResult list_recent(Call& call) {
  int64_t limit = call.arguments.integer("limit", 1, 20);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  std::vector<NoteFile> notes = list_notes(call.space);
  std::stable_sort(notes.begin(), notes.end(),
                   [](const auto& a, const auto& b) { return a.mtime_ns > b.mtime_ns; });
  Json items = Json::array();
  for (size_t i = 0; i < notes.size() && i < static_cast<size_t>(limit); ++i) {
    items.push_back(note_summary(notes[i], id_of(notes[i])));
  }
  return success(Json{{"notes", items}});
}

ToolResult read_note(Call& call) {
  std::string given = call.arguments.text("note", true);
  int64_t cursor = call.arguments.integer("cursor", 0, 0);
  int64_t max_chars = call.arguments.integer("max_chars", MIN_MAX_CHARS, DEFAULT_MAX_CHARS);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(note, find_and_load(call.space, given));
  TAKE_OR_RETURN(view, read_view(note, cursor, max_chars));
  return success(view);
}

ToolResult get_backlinks(Call& call) {
  std::string given = call.arguments.text("note", true);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(target, find_note(call.space, given));
  std::string id = id_of(target);
  Json links = Json::array();
  for (const NoteFile& where : list_notes(call.space)) {
    if (where.path == target.path) continue;
    Outcome<Note> note = load_note(where);
    if (auto* loaded = std::get_if<Note>(&note); loaded && links_to(loaded->body(), id)) {
      links.push_back(note_summary(where, loaded->id));
    }
  }
  return success(Json{{"id", id}, {"title", title_of(target.path)}, {"backlinks", links}});
}

ToolResult list_tags(Call& call) {
  std::string query = tag_key(call.arguments.text("query", false));
  int64_t limit = call.arguments.integer("limit", 1, 50);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  std::map<std::string, std::pair<std::string, size_t>> counts;  // key -> spelling, notes
  for (const NoteFile& where : list_notes(call.space)) {
    Outcome<Note> note = load_note(where);
    if (!std::holds_alternative<Note>(note)) continue;
    for (const std::string& tag : all_tags(std::get<Note>(note))) {
      auto& entry = counts[tag_key(tag)];
      if (entry.first.empty()) entry.first = tag;
      ++entry.second;
    }
  }
  std::vector<std::pair<std::string, size_t>> ranked;
  for (const auto& [key, entry] : counts) {
    if (key.starts_with(query)) ranked.push_back(entry);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  Json tags = Json::array();
  for (size_t i = 0; i < ranked.size() && i < static_cast<size_t>(limit); ++i) {
    tags.push_back(Json{{"tag", ranked[i].first}, {"notes", ranked[i].second}});
  }
  return success(Json{{"tags", tags}});
}

ToolResult notes_with_tag(Call& call) {
  std::string tag = tag_key(call.arguments.text("tag", true));
  int64_t limit = call.arguments.integer("limit", 1, 50);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  if (tag.empty()) return failure(Failure{"The tag is empty; give a tag like 'planning'."});
  Json notes = Json::array();
  for (const NoteFile& where : list_notes(call.space)) {
    if (notes.size() >= static_cast<size_t>(limit)) break;
    Outcome<Note> note = load_note(where);
    if (!std::holds_alternative<Note>(note)) continue;
    const Note& loaded = std::get<Note>(note);
    std::vector<std::string> tags = all_tags(loaded);
    if (std::any_of(tags.begin(), tags.end(), [&](const auto& t) { return tag_key(t) == tag; })) {
      notes.push_back(note_summary(where, loaded.id));
    }
  }
  return success(Json{{"tag", tag}, {"notes", notes}});
}

ToolResult list_tasks(Call& call) {
  bool include_done = call.arguments.boolean("include_done");
  std::string given = call.arguments.text("folder", false);
  int64_t limit = call.arguments.integer("limit", 1, 100);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(folder, find_folder(call.space, given));
  Json items = Json::array();
  size_t total = 0;
  for (const NoteFile& where : list_notes(call.space)) {
    if (!folder.empty() && !where.path.starts_with(folder + "/")) continue;
    Outcome<Note> note = load_note(where);
    if (!std::holds_alternative<Note>(note)) continue;
    const Note& loaded = std::get<Note>(note);
    std::vector<Block> blocks = split_blocks(loaded.body());
    for (const Task& task : tasks(blocks)) {
      if (task.done && !include_done) continue;
      if (++total > static_cast<size_t>(limit)) continue;
      items.push_back(Json{{"note", loaded.id},
                           {"title", title_of(where.path)},
                           {"path", where.path},
                           {"ref", block_ref(task.block, blocks[task.block].text)},
                           {"text", task.text},
                           {"done", task.done}});
    }
  }
  return success(Json{{"tasks", items}, {"total", total}});
}

ToolResult create_note(Call& call) {
  std::string given_title = call.arguments.text("title", true);
  std::string markdown = clean_markdown(call.arguments.text("markdown", false));
  std::string description = call.arguments.text("description", false);
  std::optional<Json> style = call.arguments.object("style");
  std::string given_folder = call.arguments.text("folder", false);
  std::vector<std::string> given_tags = call.arguments.texts("tags");
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(title, title_argument(given_title));
  TAKE_OR_RETURN(folder, find_folder(call.space, given_folder));
  TAKE_OR_RETURN(tags, tag_words(given_tags));
  FrontMatter meta;
  meta.description = description;
  if (style) merge_style(meta.style, *style);
  add_tags(meta, tags);
  add_tags(meta, hashtags(markdown));
  std::string path = joined_path(folder, title);
  TAKE_OR_RETURN(made, create(call, path, meta, markdown.empty() ? "" : markdown + "\n"));
  return success(
      Json{{"id", made.first}, {"title", title}, {"path", path}, {"version", made.second}});
}

ToolResult duplicate_note(Call& call) {
  std::string given = call.arguments.text("note", true);
  bool titled = call.arguments.has("title");
  std::string given_title = call.arguments.text("title", false);
  bool described = call.arguments.has("description");
  std::string description = call.arguments.text("description", false);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(note, find_and_load(call.space, given));
  std::string folder = folder_of(note.where.path);
  std::string title;
  if (titled) {
    TAKE_OR_RETURN(chosen, title_argument(given_title));
    title = chosen;
  } else {
    // "Plan copy", "Plan copy 2", ...: sorted by name, the copy comes right below the note.
    std::string base = title_of(note.where.path) + " copy";
    title = base;
    for (int n = 2; path_taken(call.space, joined_path(folder, title)); ++n) {
      title = base + " " + std::to_string(n);
    }
  }
  FrontMatter meta = note.meta;
  meta.id.clear();
  if (described) meta.description = description;
  std::string path = joined_path(folder, title);
  TAKE_OR_RETURN(made, create(call, path, meta, note.body()));
  return success(
      Json{{"id", made.first}, {"title", title}, {"path", path}, {"version", made.second}});
}

ToolResult append_to_note(Call& call) {
  std::string given = call.arguments.text("note", true);
  std::string markdown = clean_markdown(call.arguments.text("markdown", true));
  bool versioned = call.arguments.has("version");
  std::string version = call.arguments.text("version", false);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  if (markdown.empty()) return failure(Failure{"The markdown is empty; give the text to add."});
  TAKE_OR_RETURN(note, find_and_load(call.space, given));
  FrontMatter meta = note.meta;
  add_tags(meta, hashtags(markdown));
  TAKE_OR_RETURN(written, save(call, note, meta, with_appended(note.body(), markdown)));
  Json result{{"id", note.id}, {"path", note.where.path}, {"version", written}};
  if (versioned) result["changed_since_read"] = version != version_of(note.raw);
  return success(result);
}

ToolResult append_to_daily_note(Call& call) {
  std::string markdown = clean_markdown(call.arguments.text("markdown", true));
  bool dated = call.arguments.has("date");
  std::string given_date = call.arguments.text("date", false);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  if (markdown.empty()) return failure(Failure{"The markdown is empty; give the text to add."});
  std::optional<std::string> date = dated ? valid_date(given_date) : local_today();
  if (!date) {
    return failure(Failure{"The date '" + given_date +
                           "' is not a real date written YYYY-MM-DD, like 2026-03-09."});
  }
  if (std::optional<Failure> failed = ensure_folder(call.space.root, DAILY_FOLDER)) {
    return failure(*failed);
  }
  std::string path = std::string(DAILY_FOLDER) + "/" + *date;
  TAKE_OR_RETURN(existing, note_at(call.space, path));
  FrontMatter meta;
  if (!existing) {
    add_tags(meta, hashtags(markdown));
    TAKE_OR_RETURN(made, create(call, path, meta, markdown + "\n"));
    return success(Json{{"id", made.first},
                        {"path", path},
                        {"date", *date},
                        {"version", made.second},
                        {"created", true}});
  }
  TAKE_OR_RETURN(note, load_note(*existing));
  meta = note.meta;
  add_tags(meta, hashtags(markdown));
  TAKE_OR_RETURN(written, save(call, note, meta, with_appended(note.body(), markdown)));
  return success(Json{
      {"id", note.id}, {"path", path}, {"date", *date}, {"version", written}, {"created", false}});
}

Outcome<size_t> resolve_ref(const std::vector<Block>& blocks, const std::string& text) {
  std::optional<Ref> ref = parse_ref(text);
  if (!ref) {
    return Failure{"The ref '" + text + "' is not a ref like b3~1a2b3c from read_note."};
  }
  if (std::optional<size_t> index = find_block(blocks, *ref)) return *index;
  return Failure{"stale_ref: the block " + text +
                 " changed or is gone since it was read; read_note the note again."};
}

struct Edit {
  BlockEdit change;
  std::vector<std::string> written;  // all new Markdown, for its hashtags
};

Outcome<Edit> plan_edit(const Json& ops, const std::vector<Block>& blocks) {
  Edit edit;
  edit.change.removed.assign(blocks.size(), false);
  edit.change.replaced.resize(blocks.size());
  edit.change.after.resize(blocks.size());
  std::vector<size_t> changed_by(blocks.size(), 0);
  for (size_t n = 0; n < ops.size(); ++n) {
    const Json& op = ops[n];
    std::string where = "op " + std::to_string(n + 1);
    if (!op.is_object() || !op.contains("op") || !op["op"].is_string()) {
      return Failure{"The " + where +
                     " must be an object with op set to replace, insert_after, "
                     "delete or append."};
    }
    std::string kind = op["op"].get<std::string>();
    bool needs_ref = kind != "append";
    bool needs_markdown = kind != "delete";
    if (kind != "replace" && kind != "insert_after" && kind != "delete" && kind != "append") {
      return Failure{"The " + where + " has op '" + kind +
                     "'; use replace, insert_after, delete or append."};
    }
    if (needs_ref && (!op.contains("ref") || !op["ref"].is_string())) {
      return Failure{"The " + where + " (" + kind + ") needs ref, a ref from read_note."};
    }
    if (needs_markdown && (!op.contains("markdown") || !op["markdown"].is_string())) {
      return Failure{"The " + where + " (" + kind + ") needs markdown, a string."};
    }
    std::string markdown = needs_markdown ? clean_markdown(op["markdown"].get<std::string>()) : "";
    if (needs_markdown && markdown.empty()) {
      return Failure{"The " + where + " (" + kind +
                     ") has empty markdown; use delete to remove "
                     "a block."};
    }
    edit.written.push_back(markdown);
    if (kind == "append") {
      edit.change.at_end.push_back(markdown);
      continue;
    }
    std::string ref = op["ref"].get<std::string>();
    if (kind == "insert_after" && ref == "start") {
      edit.change.at_start.push_back(markdown);
      continue;
    }
    Outcome<size_t> resolved = resolve_ref(blocks, ref);
    if (auto* failed = std::get_if<Failure>(&resolved)) return *failed;
    size_t index = std::get<size_t>(resolved);
    if (kind == "insert_after") {
      edit.change.after[index].push_back(markdown);
      continue;
    }
    if (changed_by[index] != 0) {
      return Failure{"Ops " + std::to_string(changed_by[index]) + " and " + std::to_string(n + 1) +
                     " both change " + ref + "; give one replace or delete per block."};
    }
    changed_by[index] = n + 1;
    if (kind == "delete") edit.change.removed[index] = true;
    if (kind == "replace") edit.change.replaced[index] = markdown;
  }
  return edit;
}

ToolResult edit_note(Call& call) {
  std::string given = call.arguments.text("note", true);
  std::string version = call.arguments.text("version", true);
  if (!call.arguments.failure() &&
      (!call.arguments.has("ops") || !call.arguments.raw("ops").is_array() ||
       call.arguments.raw("ops").empty())) {
    call.arguments.fail("The argument ops must be a non-empty array of ops.");
  }
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(note, find_and_load(call.space, given));
  std::vector<Block> blocks = split_blocks(note.body());
  TAKE_OR_RETURN(edit, plan_edit(call.arguments.raw("ops"), blocks));
  FrontMatter meta = note.meta;
  for (const std::string& text : edit.written) add_tags(meta, hashtags(text));
  TAKE_OR_RETURN(written,
                 save(call, note, meta, apply_block_edit(note.body(), blocks, edit.change)));
  return success(Json{{"id", note.id},
                      {"path", note.where.path},
                      {"version", written},
                      {"changed_since_read", version != version_of(note.raw)}});
}

ToolResult set_note_info(Call& call) {
  std::string given = call.arguments.text("note", true);
  bool described = call.arguments.has("description");
  std::string description = call.arguments.text("description", false);
  std::optional<Json> style = call.arguments.object("style");
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  if (!described && !style) {
    return failure(Failure{"Give description or style (or both) to change."});
  }
  TAKE_OR_RETURN(note, find_and_load(call.space, given));
  FrontMatter meta = note.meta;
  if (described) meta.description = description;
  if (style) merge_style(meta.style, *style);
  TAKE_OR_RETURN(written, save(call, note, meta, note.body()));
  Json result{{"id", note.id},
              {"path", note.where.path},
              {"version", written},
              {"description", meta.description},
              {"style", meta.style}};
  return success(result);
}

ToolResult set_tags(Call& call) {
  std::string given = call.arguments.text("note", true);
  std::vector<std::string> add = call.arguments.texts("add");
  std::vector<std::string> remove = call.arguments.texts("remove");
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(added, tag_words(add));
  TAKE_OR_RETURN(removed, tag_words(remove));
  TAKE_OR_RETURN(note, find_and_load(call.space, given));
  FrontMatter meta = note.meta;
  std::erase_if(meta.tags, [&](const std::string& tag) {
    return std::any_of(removed.begin(), removed.end(),
                       [&](const std::string& r) { return same_folded(r, tag); });
  });
  add_tags(meta, added);
  TAKE_OR_RETURN(written, save(call, note, meta, note.body()));
  return success(
      Json{{"id", note.id}, {"path", note.where.path}, {"version", written}, {"tags", meta.tags}});
}

using Tool = ToolResult (*)(Call&);

const std::map<std::string, Tool, std::less<>>& tool_table() {
  static const std::map<std::string, Tool, std::less<>> TOOLS = {
      {"list_spaces", list_spaces},
      {"get_context", get_context},
      {"search_notes", search_notes},
      {"list_folder", list_folder},
      {"list_recent", list_recent},
      {"read_note", read_note},
      {"get_backlinks", get_backlinks},
      {"list_tags", list_tags},
      {"notes_with_tag", notes_with_tag},
      {"list_tasks", list_tasks},
      {"create_note", create_note},
      {"duplicate_note", duplicate_note},
      {"append_to_note", append_to_note},
      {"append_to_daily_note", append_to_daily_note},
      {"edit_note", edit_note},
      {"set_note_info", set_note_info},
      {"set_tags", set_tags},
  };
  return TOOLS;
}

ToolResult run(const std::vector<Space>& spaces, std::string_view name, const Json& arguments,
               const BeforeRename& before_rename) {
  auto tool = tool_table().find(name);
  if (tool == tool_table().end()) {
    return ToolResult{"Unknown tool '" + std::string(name) + "'; tools/list names the tools.",
                      true};
  }
  if (spaces.empty())
    return ToolResult{"No space is open; start the app with a notes folder.", true};
  Arguments checked(arguments);
  const Space* space = &spaces.front();
  if (name != "list_spaces" && checked.has("space")) {
    std::string wanted = checked.text("space", false);
    auto found = std::find_if(spaces.begin(), spaces.end(),
                              [&](const Space& s) { return s.name == wanted; });
    if (found == spaces.end() && !checked.failure()) {
      std::string names;
      for (const Space& s : spaces) names += (names.empty() ? "" : ", ") + s.name;
      checked.fail("No space '" + wanted + "'; list_spaces shows them: " + names + ".");
    }
    if (found != spaces.end()) space = &*found;
  }
  if (checked.failure()) return failure(*checked.failure());
  Call call{spaces, *space, checked, before_rename};
  return tool->second(call);
}

}  // namespace

std::variant<std::vector<Space>, std::string> open_spaces(const std::vector<std::string>& dirs) {
  std::vector<Space> spaces;
  if (dirs.empty()) return std::string("Give at least one notes folder.");
  for (const std::string& dir : dirs) {
    std::optional<std::string> root = folder_root(dir);
    if (!root) return "The notes folder '" + dir + "' does not exist or is not a folder.";
    std::string name = *root == "/" ? "/" : root->substr(root->rfind('/') + 1);
    for (const Space& other : spaces) {
      if (other.name == name) {
        return "Two notes folders are both named '" + name + "'; give folders with distinct names.";
      }
    }
    spaces.push_back(Space{name, *root});
  }
  return spaces;
}

ToolResult call_tool(const std::vector<Space>& spaces, std::string_view name,
                     const Json& arguments) {
  return call_tool(spaces, name, arguments, nullptr);
}

ToolResult call_tool(const std::vector<Space>& spaces, std::string_view name, const Json& arguments,
                     const std::function<bool()>& before_rename) {
  try {
    return run(spaces, name, arguments, before_rename);
  } catch (const std::exception& problem) {
    return ToolResult{
        std::string("The call failed inside the app (") + problem.what() + "); try again.", true};
  }
}

}  // namespace kestil::folder
