#include "undo.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "store.h"

namespace kestil::folder {
namespace {

std::string label(const Change& change) {
  return "change " + std::to_string(change.number);
}

std::string line_range(size_t first, size_t last) {
  return first == last ? std::to_string(first + 1)
                       : std::to_string(first + 1) + "-" + std::to_string(last + 1);
}

// The lines of the note, as the change left it, of each hunk that no longer applies: those the
// change wrote, or the lines around the place of those it removed.
std::string conflicting_lines(const Change& change, const std::vector<const Hunk*>& conflicts) {
  std::string lines;
  for (const Hunk* hunk : conflicts) {
    const size_t start = hunk->old_start + static_cast<size_t>(change.first_line);
    std::optional<size_t> first;
    size_t last = start;
    size_t line = start;
    for (const DiffLine& diff : hunk->lines) {
      if (diff.kind == '+') continue;
      if (diff.kind == '-') {
        if (!first) first = line;
        last = line;
      }
      ++line;
    }
    if (!first) {
      first = start;
      last = line > start ? line - 1 : start;
    }
    lines += (lines.empty() ? "" : ", ") + line_range(*first, last);
  }
  return lines;
}

Outcome<Space> space_of(const Change& change) {
  std::optional<std::string> root = folder_root(change.root);
  if (!root || *root != change.root) {
    return Failure{"the space folder " + change.root + " of " + label(change) + " is gone"};
  }
  Space space;
  space.name = change.space;
  space.root = change.root;
  return space;
}

// The note at `path` now, or none; fails when a folder has its name or it leads outside.
Outcome<std::optional<NoteFile>> note_now(const Space& space, const std::string& path) {
  const std::string file = note_file(space, path);
  struct stat info {};
  if (::stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return Failure{file + " is a folder now"};
  }
  Outcome<std::optional<NoteFile>> found = note_at(space, path);
  if (auto* failed = std::get_if<Failure>(&found)) return Failure{file + ": " + failed->text};
  return found;
}

// A note of the space holding exactly what `change` wrote, for a note moved since.
std::optional<NoteFile> moved_note(const Space& space, const Change& change) {
  for (const NoteFile& note : list_notes(space)) {
    struct stat info {};
    if (::stat(note.file.c_str(), &info) != 0 || info.st_size != change.size_after) continue;
    Outcome<Note> loaded = load_note(note);
    const Note* held = std::get_if<Note>(&loaded);
    if (held && version_of(held->raw) == change.version_after) return note;
  }
  return std::nullopt;
}

Outcome<std::optional<std::string>> bytes_of(const std::optional<NoteFile>& note) {
  if (!note) return std::optional<std::string>();
  Outcome<Note> loaded = load_note(*note);
  if (auto* failed = std::get_if<Failure>(&loaded)) return *failed;
  return std::optional<std::string>(std::move(std::get<Note>(loaded).raw));
}

// Where a note taken out of the space is kept: DIR/recovered/<space>/<path>.md, or with the
// change's number when that is taken.
std::string kept_at(const std::string& recovered_dir, const Change& change) {
  namespace fs = std::filesystem;
  const fs::path base = fs::path(recovered_dir) / change.space / change.path;
  std::error_code ignored;
  fs::create_directories(base.parent_path(), ignored);
  fs::path file = base.string() + ".md";
  if (fs::exists(file, ignored))
    file = base.string() + " (change " + std::to_string(change.number) + ").md";
  return file.string();
}

// What undoing does to the note, in a few words.
std::string effect(const Change& change, const std::optional<std::string>& now,
                   const std::optional<std::string>& after, const std::string& path) {
  const std::string note = change.space + "/" + path;
  if (!now && !after) return note + " is gone already";
  if (!now) return note + " put back";
  if (!after) return note + " moved to the recovered folder";
  if (now->size() == static_cast<size_t>(change.size_after) &&
      version_of(*now) == change.version_after) {
    return note + " holds what it held before";
  }
  return note + ": its lines reverted, later changes kept";
}

// Takes back one change whose note is now at `path`. Returns the undo's own number (0 when
// there was nothing to do).
Outcome<int64_t> undo_one(Journal& journal, const Change& change, const std::string& path,
                          const std::string& recovered_dir) {
  Outcome<Space> opened = space_of(change);
  if (auto* failed = std::get_if<Failure>(&opened)) return *failed;
  const Space& space = std::get<Space>(opened);
  JournalRecord record(journal, space, "undo", "undo: " + std::to_string(change.number));
  Outcome<std::optional<NoteFile>> found = note_now(space, path);
  if (auto* failed = std::get_if<Failure>(&found)) return *failed;
  const std::optional<NoteFile>& note = std::get<std::optional<NoteFile>>(found);
  Outcome<std::optional<std::string>> now = bytes_of(note);
  if (auto* failed = std::get_if<Failure>(&now)) return *failed;
  const std::optional<std::string>& held = std::get<std::optional<std::string>>(now);
  Outcome<std::optional<std::string>> wanted = undone(change, held);
  if (auto* failed = std::get_if<Failure>(&wanted)) return *failed;
  const std::optional<std::string>& after = std::get<std::optional<std::string>>(wanted);
  std::optional<Failure> failed;
  if (!held && after) {
    failed = create_note_file(space, path, *after, nullptr, &record);
  } else if (held && !after) {
    failed = move_note_out(*note, *held, kept_at(recovered_dir, change), &record);
  } else if (held) {
    // Worked out again from what the note holds at the moment it is written.
    NoteChange revert = [&change](const Note& current) -> Outcome<std::string> {
      Outcome<std::optional<std::string>> reverted = undone(change, current.raw);
      if (auto* problem = std::get_if<Failure>(&reverted)) return *problem;
      if (!std::get<std::optional<std::string>>(reverted)) {
        return Failure{"the note changed while it was written"};
      }
      return *std::get<std::optional<std::string>>(reverted);
    };
    Outcome<Update> written = update_note(space, *note, revert, nullptr, &record);
    if (auto* problem = std::get_if<Failure>(&written)) failed = *problem;
  }
  if (failed) return *failed;
  return record.last();
}

}  // namespace

Outcome<std::optional<std::string>> undone(const Change& change,
                                           const std::optional<std::string>& now) {
  const std::string note = "'" + change.path + "' (" + change.space + ")";
  if (!change.exists_after) {
    if (now) {
      return Failure{label(change) + " took the note " + note +
                     " out of the space, and a note has its name now"};
    }
    return std::optional<std::string>(change.before_from(""));
  }
  if (!now) {
    if (!change.existed_before) return std::optional<std::string>();  // gone already
    return Failure{label(change) + ": the note " + note + " is no longer in the space"};
  }
  if (now->size() == static_cast<size_t>(change.size_after) &&
      version_of(*now) == change.version_after) {
    if (!change.existed_before) return std::optional<std::string>();
    return std::optional<std::string>(change.before_from(*now));
  }
  if (!change.existed_before) {
    return Failure{label(change) + " created the note " + note +
                   ", which has changed since; move it away yourself if it should go"};
  }
  // One line of context: enough to find each hunk, few enough that a change the person made
  // near, but not at, the lines the change wrote does not stop it.
  const std::vector<Hunk> hunks = change.hunks(true, 1);
  Patched patched = apply_hunks(*now, hunks, static_cast<size_t>(change.first_line));
  if (!patched.conflicts.empty()) {
    const std::string lines = conflicting_lines(change, patched.conflicts);
    return Failure{label(change) + " cannot be taken back: " + note +
                   " changed since at the lines it wrote (" +
                   (lines.find_first_of(",-") == std::string::npos ? "line " : "lines ") + lines +
                   ")"};
  }
  return std::optional<std::string>(std::move(patched.text));
}

Outcome<std::vector<std::string>> undo_changes(Journal& journal, std::vector<int64_t> numbers,
                                               const std::string& recovered_dir, bool dry_run) {
  std::sort(numbers.rbegin(), numbers.rend());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::vector<Change> changes;
  for (int64_t number : numbers) {
    std::optional<Change> change = journal.find(number);
    if (!change || !change->done) {
      return Failure{"there is no change " + std::to_string(number) + " in " + journal.file()};
    }
    changes.push_back(std::move(*change));
  }
  // Planned whole first, each undo on what the ones before it leave, so that all apply or none.
  std::map<std::string, std::optional<std::string>> held;  // by space folder and note path
  std::map<std::string, std::string> moved_to;
  std::vector<std::string> paths;
  std::vector<std::string> lines;
  for (const Change& change : changes) {
    Outcome<Space> opened = space_of(change);
    if (auto* failed = std::get_if<Failure>(&opened)) return *failed;
    const Space& space = std::get<Space>(opened);
    const std::string key = change.root + "/" + change.path;
    if (!held.contains(key)) {
      Outcome<std::optional<NoteFile>> found = note_now(space, change.path);
      if (auto* failed = std::get_if<Failure>(&found)) return *failed;
      std::optional<NoteFile> note = std::get<std::optional<NoteFile>>(found);
      if (!note && change.exists_after) note = moved_note(space, change);
      if (note && note->path != change.path) moved_to[key] = note->path;
      Outcome<std::optional<std::string>> bytes = bytes_of(note);
      if (auto* failed = std::get_if<Failure>(&bytes)) return *failed;
      held[key] = std::get<std::optional<std::string>>(bytes);
    }
    Outcome<std::optional<std::string>> after = undone(change, held[key]);
    if (auto* failed = std::get_if<Failure>(&after)) return *failed;
    const std::string path = moved_to.contains(key) ? moved_to[key] : change.path;
    lines.push_back(label(change) + " (" + change.summary + "): " +
                    effect(change, held[key], std::get<std::optional<std::string>>(after), path));
    held[key] = std::get<std::optional<std::string>>(after);
    paths.push_back(path);
  }
  if (dry_run) return lines;
  std::vector<int64_t> made;
  for (size_t i = 0; i < changes.size(); ++i) {
    Outcome<int64_t> number = undo_one(journal, changes[i], paths[i], recovered_dir);
    if (auto* failed = std::get_if<Failure>(&number)) {
      // Something changed between the plan and the write: the undos made so far go back too.
      for (auto undo = made.rbegin(); undo != made.rend(); ++undo) {
        std::optional<Change> own = journal.find(*undo);
        if (own) undo_one(journal, *own, own->path, recovered_dir);
      }
      return *failed;
    }
    made.push_back(std::get<int64_t>(number));
    if (made.back() != 0) lines[i] += " (change " + std::to_string(made.back()) + ")";
  }
  return lines;
}

}  // namespace kestil::folder
