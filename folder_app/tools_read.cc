#include "tools_read.h"

#include <algorithm>
#include <map>

#include "lookup.h"
#include "markdown.h"
#include "search.h"

namespace kestil::folder {
namespace {

constexpr int64_t DEFAULT_MAX_CHARS = 20000;
constexpr int64_t MIN_MAX_CHARS = 1000;

size_t characters(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  }));
}

// A note as read_note shows it, from block `cursor` on, whole blocks up to `max_chars`. Links to
// notes of the space show as id links, which is how the assistant writes them; refs and the
// version stay those of the file's bytes.
Outcome<Json> read_view(const Note& note, int64_t cursor, int64_t max_chars,
                        const NoteLookup& notes) {
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
    piece += links_for_assistant(blocks[index].text, note.where.path, notes);
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

}  // namespace

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
  TAKE_OR_RETURN(view, read_view(note, 0, DEFAULT_MAX_CHARS, SpaceNotes(call.space)));
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
  TAKE_OR_RETURN(view, read_view(note, cursor, max_chars, SpaceNotes(call.space)));
  return success(view);
}

ToolResult get_backlinks(Call& call) {
  std::string given = call.arguments.text("note", true);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(target, find_note(call.space, given));
  std::string id = id_of(target);
  SpaceNotes notes(call.space);
  Json links = Json::array();
  for (const NoteFile& where : notes.all()) {
    if (where.path == target.path) continue;
    Outcome<Note> note = load_note(where);
    auto* loaded = std::get_if<Note>(&note);
    if (loaded && links_to(loaded->body(), where, target, id, notes)) {
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

}  // namespace kestil::folder
