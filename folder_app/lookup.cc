#include "lookup.h"

#include <algorithm>
#include <unordered_set>

#include "index/note_index.h"
#include "markdown.h"
#include "names.h"

namespace kestil::folder {
namespace {

constexpr size_t AMBIGUOUS_SHOWN = 5;

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

namespace {

// The notes `wanted` names as a title (in NFC, else case-folded), else as an alias.
std::vector<const NoteFile*> notes_named(const std::vector<NoteFile>& all,
                                         const std::string& wanted) {
  std::vector<const NoteFile*> named;
  std::string spelled = nfc(wanted);
  for (const NoteFile& note : all) {
    if (nfc(title_of(note.path)) == spelled) named.push_back(&note);
  }
  std::string key = name_key(wanted);
  if (named.empty()) {
    for (const NoteFile& note : all) {
      if (name_key(title_of(note.path)) == key) named.push_back(&note);
    }
  }
  if (named.empty()) {
    for (const NoteFile& note : all) {
      for (const std::string& alias : aliases_of(note)) {
        if (name_key(alias) == key) {
          named.push_back(&note);
          break;
        }
      }
    }
  }
  return named;
}

// The notes `wanted` names, as find_note looks for them, from the index: none when it is not
// ready or failed.
std::optional<std::vector<NoteFile>> named_in_index(const Space& space, const std::string& wanted) {
  NoteIndex* index = ready_index(space);
  if (index == nullptr) return std::nullopt;
  std::optional<std::vector<IndexedNote>> found = index->with_id(wanted);
  if (found && found->empty()) found = index->titled(nfc(wanted));
  if (found && found->empty()) found = index->titled_folded(name_key(wanted));
  if (found && found->empty()) found = index->aliased(name_key(wanted));
  if (!found) return std::nullopt;
  std::vector<NoteFile> notes;
  for (const IndexedNote& note : *found) notes.push_back(note.where);
  return notes;
}

// Paths of the notes the index lists, or none when it is not ready or failed.
std::optional<std::vector<std::string>> indexed_paths(
    const Space& space,
    std::optional<std::vector<IndexedNote>> (NoteIndex::*query)(const std::string&),
    std::string_view argument) {
  NoteIndex* index = ready_index(space);
  if (index == nullptr) return std::nullopt;
  std::optional<std::vector<IndexedNote>> found = (index->*query)(std::string(argument));
  if (!found) return std::nullopt;
  std::vector<std::string> paths;
  for (const IndexedNote& note : *found) paths.push_back(note.where.path);
  return paths;
}

}  // namespace

Outcome<NoteFile> find_note(const Space& space, const std::string& given) {
  if (given.empty()) return Failure{"The argument note is empty; give a note id, path or title."};
  Outcome<std::string> cleaned = clean_path(given, true);
  if (auto* failed = std::get_if<Failure>(&cleaned)) return *failed;
  Outcome<std::optional<NoteFile>> at = note_at(space, std::get<std::string>(cleaned));
  if (auto* failed = std::get_if<Failure>(&at)) return *failed;
  if (auto& found = std::get<std::optional<NoteFile>>(at)) return *found;
  std::vector<NoteFile> all;
  std::vector<const NoteFile*> titled;
  if (std::optional<std::vector<NoteFile>> named = named_in_index(space, given)) {
    all = std::move(*named);
    for (const NoteFile& note : all) titled.push_back(&note);
  } else {
    all = list_notes(space);
    for (const NoteFile& note : all) {
      if (id_of(note) == given) return note;
    }
    titled = notes_named(all, given);
  }
  if (titled.size() == 1) return *titled[0];
  if (titled.empty()) {
    return Failure{"No note '" + excerpt(given) +
                   "' in this space; give an id, path or title that search_notes or list_folder "
                   "shows."};
  }
  std::string names;
  for (size_t i = 0; i < titled.size() && i < AMBIGUOUS_SHOWN; ++i) {
    names += (i ? ", " : "") + titled[i]->path;
  }
  return Failure{"The title '" + excerpt(given) + "' names " + std::to_string(titled.size()) +
                 " notes (" + names + "); give the path or id instead."};
}

Outcome<Note> find_and_load(const Space& space, const std::string& given) {
  Outcome<NoteFile> where = find_note(space, given);
  if (auto* failed = std::get_if<Failure>(&where)) return *failed;
  return load_note(std::get<NoteFile>(where));
}

Outcome<std::string> find_folder(const Space& space, const std::string& given) {
  Outcome<std::string> cleaned = clean_path(given, false);
  if (auto* failed = std::get_if<Failure>(&cleaned)) return *failed;
  for (std::string_view rest = std::get<std::string>(cleaned); !rest.empty();) {
    size_t slash = rest.find('/');
    if (std::optional<std::string> problem = folder_name_problem(rest.substr(0, slash))) {
      return Failure{*problem};
    }
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
  }
  Outcome<std::string> full = existing_folder(space, std::get<std::string>(cleaned));
  if (auto* failed = std::get_if<Failure>(&full)) return *failed;
  // The folder as the disk spells it, which may be another normal form than given.
  const std::string& spelled = std::get<std::string>(full);
  return spelled.size() > space.root.size() ? listed_path(spelled.substr(space.root.size() + 1))
                                            : "";
}

void add_tags(FrontMatter& meta, const std::vector<std::string>& tags) {
  // By key in a set: a note may carry many thousands of tags.
  std::unordered_set<std::string> present;
  for (const std::string& tag : meta.tags) present.insert(tag_key(tag));
  for (const std::string& tag : tags) {
    if (present.insert(tag_key(tag)).second) meta.tags.push_back(tag);
  }
}

std::string joined_path(std::string_view folder, std::string_view title) {
  return folder.empty() ? std::string(title) : std::string(folder) + "/" + std::string(title);
}

LinkTarget::LinkTarget(const NoteFile& where) : where(where), id(id_of(where)) {
  keys.push_back(name_key(title_of(where.path)));
  for (const std::string& alias : aliases_of(where)) keys.push_back(name_key(alias));
}

bool links_to(std::string_view body, const NoteFile& from, const LinkTarget& target,
              const NoteLookup& notes) {
  for (const Link& link : links_in(body, from.path)) {
    bool may_lead_there = false;
    switch (link.kind) {
      case LinkKind::id:
        if (link.target == target.id) return true;
        break;
      case LinkKind::file:
        // A link to a file that is gone finds a note of its file name.
        may_lead_there = nfc(link.target) == nfc(target.where.path) ||
                         name_key(title_of(link.target)) == target.keys.front();
        break;
      case LinkKind::name: {
        // Only a link spelling the note's title or an alias can lead there; most links are
        // told apart without asking the space.
        std::string_view title = link.target;
        title = title.substr(title.rfind('/') == std::string_view::npos ? 0 : title.rfind('/') + 1);
        may_lead_there = std::find(target.keys.begin(), target.keys.end(), name_key(title)) !=
                             target.keys.end() ||
                         std::find(target.keys.begin(), target.keys.end(), name_key(link.target)) !=
                             target.keys.end();
        break;
      }
    }
    if (may_lead_there && resolve_link(link, from.path, notes) == target.where.path) return true;
  }
  return false;
}

std::string editor_markdown(std::string_view markdown, std::string_view path,
                            const NoteLookup& notes) {
  if (markdown.find("kestil://note/") == std::string_view::npos) return std::string(markdown);
  return links_for_editor(markdown, path, notes);
}

std::vector<std::string> aliases_of(const NoteFile& where) {
  Outcome<Note> note = load_note(where);
  if (auto* loaded = std::get_if<Note>(&note)) return loaded->meta.aliases;
  return {};
}

SpaceNotes::SpaceNotes(const Space& space) : space_(space) {}

const std::vector<NoteFile>& SpaceNotes::all() const {
  if (!listed_) {
    notes_ = list_notes(space_);
    for (size_t i = 0; i < notes_.size(); ++i) {
      by_title_.emplace(name_key(title_of(notes_[i].path)), i);
    }
    listed_ = true;
  }
  return notes_;
}

std::optional<std::string> SpaceNotes::existing(std::string_view path) const {
  Outcome<std::string> cleaned = clean_path(path, true);
  if (!std::holds_alternative<std::string>(cleaned)) return std::nullopt;
  Outcome<std::optional<NoteFile>> at = note_at(space_, std::get<std::string>(cleaned));
  auto* found = std::get_if<std::optional<NoteFile>>(&at);
  if (found == nullptr || !*found) return std::nullopt;
  return (*found)->path;
}

std::vector<std::string> SpaceNotes::titled(std::string_view key) const {
  if (auto paths = indexed_paths(space_, &NoteIndex::titled_folded, key)) return *paths;
  all();
  std::vector<std::string> paths;
  auto [first, last] = by_title_.equal_range(std::string(key));
  for (auto it = first; it != last; ++it) paths.push_back(notes_[it->second].path);
  return paths;
}

std::vector<std::string> SpaceNotes::aliased(std::string_view key) const {
  if (auto paths = indexed_paths(space_, &NoteIndex::aliased, key)) return *paths;
  if (!aliases_read_) {
    for (size_t i = 0; i < all().size(); ++i) {
      for (const std::string& alias : aliases_of(notes_[i])) by_alias_.emplace(name_key(alias), i);
    }
    aliases_read_ = true;
  }
  std::vector<std::string> paths;
  auto [first, last] = by_alias_.equal_range(std::string(key));
  for (auto it = first; it != last; ++it) paths.push_back(notes_[it->second].path);
  return paths;
}

std::optional<std::string> SpaceNotes::with_id(std::string_view id) const {
  if (auto paths = indexed_paths(space_, &NoteIndex::with_id, id)) {
    return paths->empty() ? std::nullopt : std::optional<std::string>(paths->front());
  }
  if (!ids_read_) {
    for (const NoteFile& note : all()) by_id_.emplace(id_of(note), note.path);
    ids_read_ = true;
  }
  auto found = by_id_.find(std::string(id));
  if (found == by_id_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> SpaceNotes::id_at(std::string_view path) const {
  Outcome<std::optional<NoteFile>> at = note_at(space_, path);
  auto* found = std::get_if<std::optional<NoteFile>>(&at);
  if (found == nullptr || !*found) return std::nullopt;
  return id_of(**found);
}

std::vector<std::string> all_tags(const Note& note) {
  FrontMatter merged;
  merged.tags = note.meta.tags;
  add_tags(merged, hashtags(note.body()));
  return merged.tags;
}

}  // namespace kestil::folder
