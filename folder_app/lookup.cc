#include "lookup.h"

#include <algorithm>
#include <cctype>

#include "index/note_index.h"
#include "markdown.h"

namespace kestil::folder {
namespace {

constexpr size_t AMBIGUOUS_SHOWN = 5;
constexpr std::string_view LINK_PREFIX = "kestil://note/";

// The notes `given` names: as an id (the first by path), else as a title, exact and then
// case-folded.
struct Named {
  std::vector<NoteFile> notes;
  bool by_id = false;
};

std::optional<Named> named_in_index(NoteIndex& index, const std::string& given) {
  std::optional<std::vector<IndexedNote>> with_id = index.with_id(given);
  if (!with_id) return std::nullopt;
  if (!with_id->empty()) return Named{{with_id->front().where}, true};
  for (bool folded : {false, true}) {
    std::optional<std::vector<IndexedNote>> titled = index.titled(given, folded);
    if (!titled) return std::nullopt;
    if (titled->empty()) continue;
    Named named;
    for (const IndexedNote& note : *titled) named.notes.push_back(note.where);
    return named;
  }
  return Named{};
}

Named named_in_files(const Space& space, const std::string& given) {
  std::vector<NoteFile> all = list_notes(space);
  for (const NoteFile& note : all) {
    if (id_of(note) == given) return Named{{note}, true};
  }
  Named named;
  for (const NoteFile& note : all) {
    if (title_of(note.path) == given) named.notes.push_back(note);
  }
  if (named.notes.empty()) {
    for (const NoteFile& note : all) {
      if (same_folded(title_of(note.path), given)) named.notes.push_back(note);
    }
  }
  return named;
}

}  // namespace

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
  std::optional<Named> named;
  if (NoteIndex* index = ready_index(space)) named = named_in_index(*index, given);
  if (!named) named = named_in_files(space, given);
  const std::vector<NoteFile>& titled = named->notes;
  if (titled.size() == 1) return titled[0];
  if (titled.empty()) {
    return Failure{"No note '" + given +
                   "' in this space; give an id, path or title that search_notes or list_folder "
                   "shows."};
  }
  std::string names;
  for (size_t i = 0; i < titled.size() && i < AMBIGUOUS_SHOWN; ++i) {
    names += (i ? ", " : "") + titled[i].path;
  }
  return Failure{"The title '" + given + "' names " + std::to_string(titled.size()) + " notes (" +
                 names + "); give the path or id instead."};
}

Outcome<Note> find_and_load(const Space& space, const std::string& given) {
  Outcome<NoteFile> where = find_note(space, given);
  if (auto* failed = std::get_if<Failure>(&where)) return *failed;
  return load_note(std::get<NoteFile>(where));
}

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

std::string joined_path(std::string_view folder, std::string_view title) {
  return folder.empty() ? std::string(title) : std::string(folder) + "/" + std::string(title);
}

bool links_to(std::string_view body, std::string_view id) {
  std::string link = std::string(LINK_PREFIX) + std::string(id);
  for (size_t at = body.find(link); at != std::string_view::npos; at = body.find(link, at + 1)) {
    size_t after = at + link.size();
    if (after == body.size() || !std::isalnum(static_cast<unsigned char>(body[after]))) return true;
  }
  return false;
}

std::vector<std::string> all_tags(const Note& note) {
  FrontMatter merged;
  merged.tags = note.meta.tags;
  add_tags(merged, hashtags(note.body()));
  return merged.tags;
}

}  // namespace kestil::folder
