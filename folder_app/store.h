// The notes on disk: where they are, what their front matter says, and how they are written
// without ever leaving a half-written note behind. The only part of the app that touches files.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol.h"
#include "tools.h"

namespace kestil::folder {

// A failed step, carrying the one sentence the assistant reads.
struct Failure {
  std::string text;
};

template <typename T>
using Outcome = std::variant<T, Failure>;

// The folder that holds daily notes, at the top of a space.
inline constexpr std::string_view DAILY_FOLDER = "Daily";

// The small block at the top of a note between two "---" lines.
struct FrontMatter {
  std::string id;  // empty when the file has none yet
  std::string description;
  std::vector<std::string> tags;
  std::vector<std::string> aliases;
  Json style = Json::object();
  std::vector<std::string> other_lines;  // lines of keys this app does not know, kept as they are
};

// A note file found in a space. `path` is space-relative without ".md": "Folder/Sub/Title".
struct NoteFile {
  std::string path;
  std::string file;  // absolute
  int64_t mtime_ns = 0;
};

// A note as read from disk.
struct Note {
  NoteFile where;
  std::string raw;  // the file's bytes, which the version is taken over
  FrontMatter meta;
  size_t body_start = 0;  // where the Markdown after the front matter begins in `raw`
  std::string id;  // the front matter's id, or one derived from the path until the first write

  std::string_view body() const { return std::string_view(raw).substr(body_start); }
};

std::string title_of(std::string_view note_path);
std::string folder_of(std::string_view note_path);  // "" for a note at the top of the space

// 16 hex digits of the content hash of a note file's bytes.
std::string version_of(std::string_view raw);

// The id a note without one in its front matter reads with (and keeps on its first write).
std::string derived_id(std::string_view note_path);

// A fresh id for a new note at `note_path`.
std::string fresh_id(std::string_view note_path);

// Reads a file's front matter into `meta` and returns where its body begins; a file without a
// complete block has none and its body is all of it.
size_t split_front_matter(std::string_view raw, FrontMatter& meta);

// The file text for `meta` and `body`.
std::string join_front_matter(const FrontMatter& meta, std::string_view body);

// Every note of the space, sorted by path. Hidden entries and symlinks that lead outside are
// skipped.
std::vector<NoteFile> list_notes(const Space& space);

// The canonical absolute path of the existing folder `dir`, without a trailing "/".
std::optional<std::string> folder_root(const std::string& dir);

// The file of the note at space-relative `note_path`.
std::string note_file(const Space& space, std::string_view note_path);

// Whether anything (a note, a folder, a link) already has the name of the note `note_path`.
bool path_taken(const Space& space, std::string_view note_path);

// Checks a folder or note path given in an argument: relative, no "." or ".." parts, no hidden
// parts. Returns it without leading or trailing "/" (and without ".md" when `is_note`).
Outcome<std::string> clean_path(std::string_view given, bool is_note);

// The absolute folder for space-relative `folder` ("" for the top), which must exist and lie
// inside the space once symlinks are followed.
Outcome<std::string> existing_folder(const Space& space, std::string_view folder);

// The note file at space-relative `note_path` (checked by clean_path), or none when there is no
// such note. A note that leads outside the space through a symlink is refused.
Outcome<std::optional<NoteFile>> note_at(const Space& space, std::string_view note_path);

// The entries right inside the absolute folder `folder` of the space, each list sorted by name.
struct FolderEntries {
  std::vector<std::string> folders;
  std::vector<NoteFile> notes;
};
FolderEntries read_folder(const Space& space, const std::string& folder, std::string_view prefix);

// Reads and splits a note file.
Outcome<Note> load_note(const NoteFile& where);

// Reads only as much of a note as its id needs.
std::string id_of(const NoteFile& where);

// Called after the temporary file is flushed and before it is renamed over the note. Returning
// false stops the write there, as a crash would (tests use it).
using BeforeRename = std::function<bool()>;

// Writes `bytes` to `file` through a temporary file in the same folder: write, fsync, rename,
// fsync the folder. A crash at any point leaves the old file or the new one.
std::optional<Failure> write_atomically(const std::string& file, std::string_view bytes,
                                        const BeforeRename& before_rename = nullptr);

// Creates the folder `name` inside the existing absolute folder `parent` if missing.
std::optional<Failure> ensure_folder(const std::string& parent, std::string_view name);

// Seconds-precision UTC time "2026-12-06T22:50:06Z".
std::string utc_time(int64_t mtime_ns);

}  // namespace kestil::folder
