#include "tools_write.h"

#include <algorithm>
#include <ctime>

#include "lookup.h"
#include "markdown.h"
#include "names.h"

namespace kestil::folder {
namespace {

constexpr size_t MAX_TITLE_BYTES = 200;

// Tags given as words: a leading '#' dropped, empty ones skipped; a tag that would break the
// tag line is refused.
Outcome<std::vector<std::string>> tag_words(const std::vector<std::string>& given) {
  std::vector<std::string> tags;
  for (std::string tag : given) {
    if (!tag.empty() && tag.front() == '#') tag.erase(0, 1);
    std::string_view trimmed = trim_white_space(tag);
    if (trimmed.empty()) continue;
    if (std::optional<std::string> problem = tag_problem(trimmed)) return Failure{*problem};
    if (trimmed.find_first_of(",\n\r") != std::string_view::npos) {
      return Failure{"The tag '" + std::string(trimmed) +
                     "' holds a comma or line break; give each tag as one word."};
    }
    tags.emplace_back(trimmed);
  }
  return tags;
}

// The write tools refuse at once in a read-only space.
std::optional<Failure> refused(const Call& call) {
  if (!call.space.read_only) return std::nullopt;
  return Failure{"The space '" + call.space.name +
                 "' is open read-only (kestil-folder --read-only); nothing was changed."};
}

// The note's bytes with the front matter of `wanted` and `body`. Where the front matter cannot
// be changed, a write that adds text keeps it as it is and says why in `kept_because`; a write
// that is about the front matter (no `kept_because`) fails.
Outcome<std::string> note_bytes(const Note& current, const FrontMatter& wanted,
                                std::string_view body, std::string* kept_because) {
  std::string_view head = std::string_view(current.raw).substr(0, current.body_start);
  Outcome<std::string> bytes = with_front_matter(head, wanted, body);
  if (auto* failed = std::get_if<Failure>(&bytes); failed && kept_because) {
    *kept_because = failed->text;
    return with_front_matter(head, current.meta, body);
  }
  return bytes;
}

// Writes a new note at `note_path` from its front matter and body. Returns its id and version.
Outcome<std::pair<std::string, std::string>> create(const Call& call, const std::string& note_path,
                                                    std::string_view head, const FrontMatter& meta,
                                                    std::string_view body) {
  if (path_taken(call.space, note_path)) {
    return Failure{"A note '" + note_path +
                   "' already exists; choose another title or use append_to_note."};
  }
  Outcome<std::string> bytes = with_front_matter(head, meta, body);
  if (auto* failed = std::get_if<Failure>(&bytes)) return *failed;
  const std::string& raw = std::get<std::string>(bytes);
  if (std::optional<Failure> failed =
          create_note_file(call.space, note_path, raw, call.before_rename, call.record)) {
    return *failed;
  }
  return std::make_pair(derived_id(note_path), version_of(raw));
}

// The result of a write that changed the note `written`.
Json written_note(const Update& written) {
  return Json{{"id", written.before.id},
              {"path", written.before.where.path},
              {"version", version_of(written.after)}};
}

// The line break a note's first line ends with, which new text takes where nothing nearer
// tells.
std::string_view line_break_of(std::string_view raw) {
  size_t first = raw.find('\n');
  return first != std::string_view::npos && first > 0 && raw[first - 1] == '\r' ? "\r\n" : "\n";
}

// Adds `markdown` at the end of a note, and its #hashtags to the tag line.
NoteChange appending(const std::string& markdown, std::string& warning) {
  return [&markdown, &warning](const Note& current) {
    warning.clear();
    FrontMatter meta = current.meta;
    add_tags(meta, hashtags(markdown));
    return note_bytes(current, meta, appended(current.body(), markdown, line_break_of(current.raw)),
                      &warning);
  };
}

Outcome<std::string> title_argument(const std::string& given) {
  std::string_view title = trim_white_space(given);
  if (title.empty()) return Failure{"The title is empty; give the note a title."};
  if (std::optional<std::string> problem = title_problem(title)) return Failure{*problem};
  if (title.size() > MAX_TITLE_BYTES || title.front() == '.' ||
      title.find_first_of("/\n\r\t") != std::string_view::npos ||
      title.find('\0') != std::string_view::npos) {
    return Failure{
        "The title '" + std::string(title) +
        "' cannot be a file name; leave out '/', line breaks and a leading '.', and keep "
        "it under 200 bytes."};
  }
  return nfc(title);
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

Outcome<size_t> resolve_ref(const std::vector<Block>& blocks, const std::string& text) {
  std::optional<Ref> ref = parse_ref(text);
  if (!ref) {
    return Failure{"The ref '" + excerpt(text) + "' is not a ref like b3~1a2b3c from read_note."};
  }
  if (std::optional<size_t> index = find_block(blocks, *ref)) return *index;
  return Failure{"stale_ref: the block " + excerpt(text) +
                 " changed or is gone since it was read; read_note the note again."};
}

struct Edit {
  BlockEdit change;
  std::vector<std::string> written;  // all new Markdown, for its hashtags
};

Outcome<Edit> plan_edit(const Json& ops, const std::vector<Block>& blocks, const NoteLookup& notes,
                        std::string_view path) {
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
      return Failure{"The " + where + " has op '" + excerpt(kind) +
                     "'; use replace, insert_after, delete or append."};
    }
    if (needs_ref && (!op.contains("ref") || !op["ref"].is_string())) {
      return Failure{"The " + where + " (" + kind + ") needs ref, a ref from read_note."};
    }
    if (needs_markdown && (!op.contains("markdown") || !op["markdown"].is_string())) {
      return Failure{"The " + where + " (" + kind + ") needs markdown, a string."};
    }
    std::string markdown =
        needs_markdown
            ? editor_markdown(clean_markdown(op["markdown"].get<std::string>()), path, notes)
            : "";
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

}  // namespace

ToolResult create_note(Call& call) {
  if (auto no = refused(call)) return failure(*no);
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
  markdown = editor_markdown(markdown, path, SpaceNotes(call.space));
  TAKE_OR_RETURN(made, create(call, path, "", meta, markdown.empty() ? "" : markdown + "\n"));
  return success(
      Json{{"id", made.first}, {"title", title}, {"path", path}, {"version", made.second}});
}

ToolResult duplicate_note(Call& call) {
  if (auto no = refused(call)) return failure(*no);
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
    std::string base = nfc(title_of(note.where.path)) + " copy";
    title = base;
    for (int n = 2; path_taken(call.space, joined_path(folder, title)); ++n) {
      title = base + " " + std::to_string(n);
    }
  }
  // The copy reads with an id of its own, derived from its path.
  FrontMatter meta = note.meta;
  meta.id.clear();
  if (described) meta.description = description;
  std::string path = joined_path(folder, title);
  std::string_view head = std::string_view(note.raw).substr(0, note.body_start);
  TAKE_OR_RETURN(made, create(call, path, head, meta, note.body()));
  return success(
      Json{{"id", made.first}, {"title", title}, {"path", path}, {"version", made.second}});
}

ToolResult append_to_note(Call& call) {
  if (auto no = refused(call)) return failure(*no);
  std::string given = call.arguments.text("note", true);
  std::string markdown = clean_markdown(call.arguments.text("markdown", true));
  bool versioned = call.arguments.has("version");
  std::string version = call.arguments.text("version", false);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  if (markdown.empty()) return failure(Failure{"The markdown is empty; give the text to add."});
  TAKE_OR_RETURN(where, find_note(call.space, given));
  markdown = editor_markdown(markdown, where.path, SpaceNotes(call.space));
  std::string warning;
  TAKE_OR_RETURN(written, update_note(call.space, where, appending(markdown, warning),
                                      call.before_rename, call.record));
  Json result = written_note(written);
  if (versioned) result["changed_since_read"] = version != version_of(written.before.raw);
  if (!warning.empty()) result["warning"] = warning;
  return success(result);
}

ToolResult append_to_daily_note(Call& call) {
  if (auto no = refused(call)) return failure(*no);
  std::string markdown = clean_markdown(call.arguments.text("markdown", true));
  bool dated = call.arguments.has("date");
  std::string given_date = call.arguments.text("date", false);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  if (markdown.empty()) return failure(Failure{"The markdown is empty; give the text to add."});
  std::optional<std::string> date = dated ? valid_date(given_date) : local_today();
  if (!date) {
    return failure(Failure{"The date '" + excerpt(given_date) +
                           "' is not a real date written YYYY-MM-DD, like 2026-03-09."});
  }
  if (std::optional<Failure> failed = ensure_folder(call.space.root, DAILY_FOLDER)) {
    return failure(*failed);
  }
  std::string path = std::string(DAILY_FOLDER) + "/" + *date;
  markdown = editor_markdown(markdown, path, SpaceNotes(call.space));
  TAKE_OR_RETURN(existing, note_at(call.space, path));
  if (!existing) {
    FrontMatter meta;
    add_tags(meta, hashtags(markdown));
    TAKE_OR_RETURN(made, create(call, path, "", meta, markdown + "\n"));
    return success(Json{{"id", made.first},
                        {"path", path},
                        {"date", *date},
                        {"version", made.second},
                        {"created", true}});
  }
  std::string warning;
  TAKE_OR_RETURN(written, update_note(call.space, *existing, appending(markdown, warning),
                                      call.before_rename, call.record));
  Json result = written_note(written);
  result["date"] = *date;
  result["created"] = false;
  if (!warning.empty()) result["warning"] = warning;
  return success(result);
}

ToolResult edit_note(Call& call) {
  if (auto no = refused(call)) return failure(*no);
  std::string given = call.arguments.text("note", true);
  std::string version = call.arguments.text("version", true);
  if (!call.arguments.failure() &&
      (!call.arguments.has("ops") || !call.arguments.raw("ops").is_array() ||
       call.arguments.raw("ops").empty())) {
    call.arguments.fail("The argument ops must be a non-empty array of ops.");
  }
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(where, find_note(call.space, given));
  const Json& ops = call.arguments.raw("ops");
  std::string warning;
  // One lookup for every op and every try: without the index it lists the space once.
  const SpaceNotes notes(call.space);
  // Planned again on each read: the ops apply while their refs still match.
  NoteChange change = [&](const Note& current) -> Outcome<std::string> {
    warning.clear();
    std::vector<Block> blocks = split_blocks(current.body());
    Outcome<Edit> planned = plan_edit(ops, blocks, notes, where.path);
    if (auto* failed = std::get_if<Failure>(&planned)) return *failed;
    const Edit& edit = std::get<Edit>(planned);
    FrontMatter meta = current.meta;
    for (const std::string& text : edit.written) add_tags(meta, hashtags(text));
    return note_bytes(
        current, meta,
        apply_block_edit(current.body(), blocks, edit.change, line_break_of(current.raw)),
        &warning);
  };
  TAKE_OR_RETURN(written, update_note(call.space, where, change, call.before_rename, call.record));
  Json result = written_note(written);
  result["changed_since_read"] = version != version_of(written.before.raw);
  if (!warning.empty()) result["warning"] = warning;
  return success(result);
}

ToolResult set_note_info(Call& call) {
  if (auto no = refused(call)) return failure(*no);
  std::string given = call.arguments.text("note", true);
  bool described = call.arguments.has("description");
  std::string description = call.arguments.text("description", false);
  std::optional<Json> style = call.arguments.object("style");
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  if (!described && !style) {
    return failure(Failure{"Give description or style (or both) to change."});
  }
  TAKE_OR_RETURN(where, find_note(call.space, given));
  FrontMatter meta;
  NoteChange change = [&](const Note& current) {
    meta = current.meta;
    if (described) meta.description = description;
    if (style) merge_style(meta.style, *style);
    return note_bytes(current, meta, current.body(), nullptr);
  };
  TAKE_OR_RETURN(written, update_note(call.space, where, change, call.before_rename, call.record));
  Json result = written_note(written);
  result["description"] = meta.description;
  result["style"] = meta.style;
  return success(result);
}

ToolResult set_tags(Call& call) {
  if (auto no = refused(call)) return failure(*no);
  std::string given = call.arguments.text("note", true);
  std::vector<std::string> add = call.arguments.texts("add");
  std::vector<std::string> remove = call.arguments.texts("remove");
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(added, tag_words(add));
  TAKE_OR_RETURN(removed, tag_words(remove));
  TAKE_OR_RETURN(where, find_note(call.space, given));
  FrontMatter meta;
  NoteChange change = [&](const Note& current) {
    meta = current.meta;
    std::erase_if(meta.tags, [&](const std::string& tag) {
      return std::any_of(removed.begin(), removed.end(),
                         [&](const std::string& r) { return same_folded(r, tag); });
    });
    add_tags(meta, added);
    return note_bytes(current, meta, current.body(), nullptr);
  };
  TAKE_OR_RETURN(written, update_note(call.space, where, change, call.before_rename, call.record));
  Json result = written_note(written);
  result["tags"] = meta.tags;
  return success(result);
}

}  // namespace kestil::folder
