#include "tools_read.h"

#include <algorithm>
#include <map>

#include "deadline.h"
#include "index/note_index.h"
#include "lookup.h"
#include "markdown.h"
#include "search.h"

namespace kestil::folder {
namespace {

constexpr int64_t DEFAULT_MAX_CHARS = 20000;
constexpr int64_t MIN_MAX_CHARS = 1000;
constexpr size_t MAX_QUERY_CHARACTERS = 1000;
constexpr size_t MAX_BACKLINKS = 100;
// A block longer than the smallest reply is read in pieces of this many characters.
constexpr size_t PIECE_CHARS = 1000;

size_t characters(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  }));
}

// The byte offset in `text` after its first `count` characters (its size when it has fewer).
size_t after_characters(std::string_view text, size_t count) {
  for (size_t at = 0; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xc0) != 0x80 && count-- == 0) return at;
  }
  return text.size();
}

// How many places a cursor may stand at in a block of `size` characters: its start, and in a
// block too long for the smallest reply, each PIECE_CHARS after it.
size_t places_in(size_t size) {
  return size <= PIECE_CHARS ? 1 : (size + PIECE_CHARS - 1) / PIECE_CHARS;
}

// Where a cursor stands in a note: the block and the piece of it, and how many places there are.
struct Place {
  std::vector<size_t> sizes;  // characters per block
  size_t places = 0;
  size_t block = 0;
  size_t piece = 0;
};

Place place_of(const std::vector<Block>& blocks, size_t cursor) {
  Place place;
  place.block = blocks.size();
  for (size_t i = 0; i < blocks.size(); ++i) {
    place.sizes.push_back(characters(blocks[i].text));
    size_t here = places_in(place.sizes.back());
    if (place.block == blocks.size() && cursor < place.places + here) {
      place.block = i;
      place.piece = cursor - place.places;
    }
    place.places += here;
  }
  return place;
}

// Of the block `text` of `size` characters, with ref `ref`, the pieces from `piece` on that fit
// `budget`, at least one; then where to read on when more follows. `cursor` moves past them.
struct Cut {
  std::string shown;
  bool more = false;  // the block goes on after what is shown
};
Cut cut_block(std::string_view text, size_t size, const std::string& ref, size_t piece,
              size_t budget, size_t& cursor, const NoteFile& where, const NoteLookup& notes) {
  size_t last = std::min(places_in(size), piece + std::max<size_t>(1, budget / PIECE_CHARS));
  size_t begin = after_characters(text, piece * PIECE_CHARS);
  size_t end = begin + after_characters(text.substr(begin), (last - piece) * PIECE_CHARS);
  std::string shown = "<!-- " + ref;
  if (piece > 0) shown += " from character " + std::to_string(piece * PIECE_CHARS + 1);
  shown += " -->\n" + links_for_assistant(text.substr(begin, end - begin), where.path, notes);
  cursor += last - piece;
  if (end == text.size()) return Cut{shown + "\n\n", false};
  return Cut{shown + "\n<!-- " + ref + " cut: " + std::to_string(size - last * PIECE_CHARS) +
                 " more characters of this block; read on with cursor " + std::to_string(cursor) +
                 " -->\n\n",
             true};
}

// A note as read_note shows it from `cursor` on, whole blocks up to `max_chars`; a block longer
// than that is cut inside and read on from where it was cut. The cursor counts blocks, a long
// block once for every PIECE_CHARS characters begun. Links to notes of the space show as id
// links, which is how the assistant writes them; refs and the version stay those of the file's
// bytes.
Outcome<Json> read_view(const Note& note, int64_t cursor, int64_t max_chars,
                        const NoteLookup& notes) {
  std::vector<Block> blocks = split_blocks(note.body());
  auto next = static_cast<size_t>(cursor);
  Place place = place_of(blocks, next);
  if (next > place.places) {
    return Failure{"The cursor " + std::to_string(cursor) + " is past the note's end (" +
                   std::to_string(place.places) + "); start again at 0."};
  }
  const auto budget = static_cast<size_t>(max_chars);
  std::string markdown;
  size_t used = 0;
  for (size_t index = place.block, piece = place.piece; index < blocks.size(); ++index, piece = 0) {
    std::string_view text = blocks[index].text;
    std::string ref = block_ref(index, text);
    size_t size = place.sizes[index];
    if (piece == 0 && size <= budget) {
      std::string shown =
          "<!-- " + ref + " -->\n" + links_for_assistant(text, note.where.path, notes) + "\n\n";
      size_t shown_size = characters(shown);
      if (!markdown.empty() && used + shown_size > budget) break;
      markdown += shown;
      used += shown_size;
      next += places_in(size);
      continue;
    }
    if (!markdown.empty()) break;  // a long block is cut only where a reply starts
    Cut cut = cut_block(text, size, ref, piece, budget, next, note.where, notes);
    markdown = std::move(cut.shown);
    used = characters(markdown);
    if (cut.more) break;
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
  if (next < place.places) view["next_cursor"] = next;
  return view;
}

Json search_result(const NoteFile& where, const std::string& id, const Match& match) {
  Json result = note_summary(where, id);
  result["snippet"] = match.snippet;
  return result;
}

// The note's match read from its file, or none when it no longer matches (or is gone).
std::optional<Match> confirmed(const Query& query, const IndexedNote& candidate) {
  check_deadline();
  Outcome<Note> note = load_note(candidate.where);
  if (!std::holds_alternative<Note>(note)) return std::nullopt;
  return match_note(query, title_of(candidate.where.path), std::get<Note>(note).body());
}

// search_notes from the index, ranked as NoteIndex::search says; none when the index failed.
// The index's count is the total; the notes shown are read to cut their snippets, and one that
// changed since it was indexed is passed over until the watcher catches up.
std::optional<Json> search_index(NoteIndex& index, const Query& query, size_t limit) {
  std::optional<size_t> total = index.search_count(query);
  if (!total) return std::nullopt;
  Json results = Json::array();
  for (size_t offset = 0; results.size() < limit;) {
    auto page = index.search(query, offset, limit - results.size());
    if (!page) return std::nullopt;
    if (page->empty()) break;
    offset += page->size();
    for (const IndexedNote& candidate : *page) {
      if (std::optional<Match> match = confirmed(query, candidate)) {
        results.push_back(search_result(candidate.where, candidate.id, *match));
      } else if (*total > 0) {
        --*total;
      }
    }
  }
  return Json{{"results", results}, {"total", *total}};
}

// search_notes by reading every note: titles holding more of the query's terms first, then
// notes where the terms occur more often, then the more recently changed.
Json search_files(const Space& space, const Query& query, size_t limit) {
  // A hit keeps what its result shows, not the note's text: a common word matches most notes.
  struct Hit {
    IndexedNote note;
    Match match;
  };
  std::vector<Hit> hits;
  for (const NoteFile& where : list_notes(space)) {
    check_deadline();
    Outcome<Note> note = load_note(where);
    if (!std::holds_alternative<Note>(note)) continue;
    const Note& loaded = std::get<Note>(note);
    if (std::optional<Match> match = match_note(query, title_of(where.path), loaded.body())) {
      hits.push_back(Hit{IndexedNote{where, loaded.id}, std::move(*match)});
    }
  }
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
  for (size_t i = 0; i < hits.size() && i < limit; ++i) {
    results.push_back(search_result(hits[i].note.where, hits[i].note.id, hits[i].match));
  }
  return Json{{"results", results}, {"total", hits.size()}};
}

// Every note with its id, read from the files, for the listings the index could not answer.
template <typename Visit>
void scan_notes(const Space& space, Visit&& visit) {
  for (const NoteFile& where : list_notes(space)) {
    check_deadline();
    Outcome<Note> note = load_note(where);
    if (const Note* loaded = std::get_if<Note>(&note)) visit(*loaded);
  }
}

// The notes linking to `target`, by path, from the index's candidate links each resolved as
// links_to resolves it, without `target` itself; only the first MAX_BACKLINKS carry their id
// and time, the rest are counted. None when the index cannot answer.
std::optional<std::vector<IndexedNote>> indexed_backlinks(const Space& space,
                                                          const NoteFile& target,
                                                          const std::string& id,
                                                          const NoteLookup& notes) {
  NoteIndex* index = ready_index(space);
  if (index == nullptr) return std::nullopt;
  auto candidates = index->links_to(target.path, id, aliases_of(target));
  if (!candidates) return std::nullopt;
  std::vector<std::string> linking;
  // Where a link leads depends only on the folder it is written in: many notes share one answer.
  std::map<std::string, bool> resolved;
  for (const NoteIndex::LinkFrom& candidate : *candidates) {
    const Link& link = candidate.link;
    bool leads_there = link.target == id;
    if (link.kind != LinkKind::id) {
      std::string from =
          (link.kind == LinkKind::name ? "name\n" : "file\n") + folder_of(candidate.from);
      auto [known, fresh] = resolved.try_emplace(link.target + '\n' + from, false);
      if (fresh) {
        check_deadline();
        known->second = resolve_link(link, candidate.from, notes) == target.path;
      }
      leads_there = known->second;
    }
    if (leads_there && candidate.from != target.path) linking.push_back(candidate.from);
  }
  std::sort(linking.begin(), linking.end());
  linking.erase(std::unique(linking.begin(), linking.end()), linking.end());
  std::vector<std::string> shown(linking.begin(),
                                 linking.begin() + std::min(linking.size(), MAX_BACKLINKS));
  std::optional<std::vector<IndexedNote>> found = index->notes_at(shown);
  if (!found) return std::nullopt;
  for (size_t i = shown.size(); i < linking.size(); ++i) {
    found->push_back(IndexedNote{NoteFile{linking[i], "", 0}, ""});
  }
  return found;
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
  std::optional<NoteFile> newest;
  std::optional<std::vector<IndexedNote>> indexed;
  if (NoteIndex* index = ready_index(call.space)) indexed = index->recent(1);
  if (indexed) {
    if (!indexed->empty()) newest = indexed->front().where;
  } else {
    std::vector<NoteFile> notes = list_notes(call.space);
    auto found = std::max_element(notes.begin(), notes.end(), [](const auto& a, const auto& b) {
      return a.mtime_ns < b.mtime_ns || (a.mtime_ns == b.mtime_ns && a.path > b.path);
    });
    if (found != notes.end()) newest = *found;
  }
  Json context{{"space", call.space.name}, {"note", nullptr}, {"selection", nullptr}};
  if (!newest) return success(context);
  TAKE_OR_RETURN(note, load_note(*newest));
  TAKE_OR_RETURN(view, read_view(note, 0, DEFAULT_MAX_CHARS, SpaceNotes(call.space)));
  context["note"] = view;
  return success(context);
}

ToolResult search_notes(Call& call) {
  std::string text = call.arguments.text("query", true);
  int64_t limit = call.arguments.integer("limit", 1, 20);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  if (size_t length = characters(text); length > MAX_QUERY_CHARACTERS) {
    return failure(Failure{"The query is " + std::to_string(length) +
                           " characters long; give at most 1000, a few words to find."});
  }
  std::variant<Query, std::string> parsed = parse_query(text);
  if (auto* problem = std::get_if<std::string>(&parsed)) return failure(Failure{*problem});
  const Query& query = std::get<Query>(parsed);
  if (NoteIndex* index = ready_index(call.space)) {
    if (std::optional<Json> found = search_index(*index, query, static_cast<size_t>(limit))) {
      return success(*found);
    }
  }
  return success(search_files(call.space, query, static_cast<size_t>(limit)));
}

ToolResult list_folder(Call& call) {
  std::string given = call.arguments.text("folder", false);
  int64_t cursor = call.arguments.integer("cursor", 0, 0);
  int64_t limit = call.arguments.integer("limit", 1, 100);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(folder, find_folder(call.space, given));
  FolderEntries entries =
      read_folder(call.space, on_disk(call.space, folder), folder.empty() ? "" : folder + "/");
  if (entries.error != 0) {
    return failure(Failure{"The folder '" + (folder.empty() ? call.space.root : folder) +
                           "' cannot be read (" + error_text(entries.error) + ")."});
  }
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
  Json items = Json::array();
  std::optional<std::vector<IndexedNote>> indexed;
  if (NoteIndex* index = ready_index(call.space))
    indexed = index->recent(static_cast<size_t>(limit));
  if (indexed) {
    for (const IndexedNote& note : *indexed) items.push_back(note_summary(note.where, note.id));
    return success(Json{{"notes", items}});
  }
  std::vector<NoteFile> notes = list_notes(call.space);
  std::stable_sort(notes.begin(), notes.end(),
                   [](const auto& a, const auto& b) { return a.mtime_ns > b.mtime_ns; });
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
  LinkTarget wanted(target);
  SpaceNotes notes(call.space);
  std::optional<std::vector<IndexedNote>> linking =
      indexed_backlinks(call.space, target, wanted.id, notes);
  if (!linking) {
    linking.emplace();
    for (const NoteFile& where : notes.all()) {
      check_deadline();
      Outcome<Note> note = load_note(where);
      auto* loaded = std::get_if<Note>(&note);
      if (loaded && links_to(loaded->body(), where, wanted, notes)) {
        linking->push_back(IndexedNote{where, loaded->id});
      }
    }
  }
  std::erase_if(*linking, [&](const IndexedNote& note) { return note.where.path == target.path; });
  Json links = Json::array();
  for (size_t i = 0; i < linking->size() && i < MAX_BACKLINKS; ++i) {
    links.push_back(note_summary((*linking)[i].where, (*linking)[i].id));
  }
  Json result{{"id", wanted.id}, {"title", title_of(target.path)}, {"backlinks", links}};
  if (linking->size() > MAX_BACKLINKS) result["more"] = linking->size() - MAX_BACKLINKS;
  return success(result);
}

ToolResult list_tags(Call& call) {
  std::string query = tag_key(call.arguments.text("query", false));
  int64_t limit = call.arguments.integer("limit", 1, 50);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  std::optional<std::vector<TagCount>> ranked;
  if (NoteIndex* index = ready_index(call.space)) {
    ranked = index->tags(query, static_cast<size_t>(limit));
  }
  if (!ranked) {
    std::map<std::string, TagCount> counts;  // by key
    scan_notes(call.space, [&](const Note& note) {
      for (const std::string& tag : all_tags(note)) {
        TagCount& entry = counts[tag_key(tag)];
        if (entry.tag.empty()) entry.tag = tag;
        ++entry.notes;
      }
    });
    ranked.emplace();
    for (const auto& [key, entry] : counts) {
      if (key.starts_with(query)) ranked->push_back(entry);
    }
    std::stable_sort(ranked->begin(), ranked->end(),
                     [](const auto& a, const auto& b) { return a.notes > b.notes; });
  }
  Json tags = Json::array();
  for (size_t i = 0; i < ranked->size() && i < static_cast<size_t>(limit); ++i) {
    tags.push_back(Json{{"tag", (*ranked)[i].tag}, {"notes", (*ranked)[i].notes}});
  }
  return success(Json{{"tags", tags}});
}

ToolResult notes_with_tag(Call& call) {
  std::string tag = tag_key(call.arguments.text("tag", true));
  int64_t limit = call.arguments.integer("limit", 1, 50);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  if (tag.empty()) return failure(Failure{"The tag is empty; give a tag like 'planning'."});
  std::optional<std::vector<IndexedNote>> tagged;
  if (NoteIndex* index = ready_index(call.space)) {
    tagged = index->tagged(tag, static_cast<size_t>(limit));
  }
  if (!tagged) {
    tagged.emplace();
    scan_notes(call.space, [&](const Note& note) {
      std::vector<std::string> tags = all_tags(note);
      if (tagged->size() < static_cast<size_t>(limit) &&
          std::any_of(tags.begin(), tags.end(), [&](const auto& t) { return tag_key(t) == tag; })) {
        tagged->push_back(IndexedNote{note.where, note.id});
      }
    });
  }
  Json notes = Json::array();
  for (const IndexedNote& note : *tagged) notes.push_back(note_summary(note.where, note.id));
  return success(Json{{"tag", tag}, {"notes", notes}});
}

ToolResult list_tasks(Call& call) {
  bool include_done = call.arguments.boolean("include_done");
  std::string given = call.arguments.text("folder", false);
  int64_t limit = call.arguments.integer("limit", 1, 100);
  if (call.arguments.failure()) return failure(*call.arguments.failure());
  TAKE_OR_RETURN(folder, find_folder(call.space, given));
  std::optional<NoteIndex::Tasks> found;
  if (NoteIndex* index = ready_index(call.space)) {
    found = index->tasks(folder, include_done, static_cast<size_t>(limit));
  }
  if (!found) {
    found.emplace();
    scan_notes(call.space, [&](const Note& note) {
      if (!folder.empty() && !note.where.path.starts_with(folder + "/")) return;
      std::vector<Block> blocks = split_blocks(note.body());
      for (const Task& task : tasks(blocks)) {
        if (task.done && !include_done) continue;
        if (++found->total > static_cast<size_t>(limit)) continue;
        found->items.push_back(IndexedTask{IndexedNote{note.where, note.id},
                                           block_ref(task.block, blocks[task.block].text),
                                           task.text, task.done});
      }
    });
  }
  Json items = Json::array();
  for (const IndexedTask& task : found->items) {
    items.push_back(Json{{"note", task.note.id},
                         {"title", title_of(task.note.where.path)},
                         {"path", task.note.where.path},
                         {"ref", task.ref},
                         {"text", task.text},
                         {"done", task.done}});
  }
  return success(Json{{"tasks", items}, {"total", found->total}});
}

}  // namespace kestil::folder
