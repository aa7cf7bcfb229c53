// The notes on disk: where they are, what their front matter says, and how they are written
// without ever leaving a half-written note behind. The only part of the app that touches files.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "front_matter.h"
#include "outcome.h"
#include "protocol.h"
#include "tools.h"

namespace kestil::folder {

// The folder that holds daily notes, at the top of a space.
inline constexpr std::string_view DAILY_FOLDER = "Daily";

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
  std::string id;         // the front matter's id, or one derived from the path when it has none

  std::string_view body() const { return std::string_view(raw).substr(body_start); }
};

std::string title_of(std::string_view note_path);
std::string folder_of(std::string_view note_path);  // "" for a note at the top of the space

// 16 hex digits of the content hash of a note file's bytes.
std::string version_of(std::string_view raw);

// The id a note without one in its front matter reads with; no write adds it to the file.
std::string derived_id(std::string_view note_path);

// A folder a listing could not read: its notes are unknown, not gone.
struct UnreadFolder {
  std::string prefix;  // space-relative with a trailing "/", "" for the top of the space
  std::string why;     // "permission denied"
};

// Every note of the space, sorted by path, however deep. Hidden entries and symlinks that lead
// outside are skipped. Paths are as listed_path shows them. The folders that could not be read
// are added to `unread` when given, and said once on stderr when not.
std::vector<NoteFile> list_notes(const Space& space, std::vector<UnreadFolder>* unread = nullptr);

// The canonical absolute path of the existing folder `dir`, without a trailing "/".
std::optional<std::string> folder_root(const std::string& dir);

// The absolute path of `relative` (below the space root) as listings show it: the path itself
// when something has that name, else the one whose listed form it is.
std::string on_disk(const Space& space, std::string_view relative);

// The file of the note at space-relative `note_path`, as a listing shows it (see listed_path).
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
  int error = 0;  // why the folder could not be read (errno), or 0
};
FolderEntries read_folder(const Space& space, const std::string& folder, std::string_view prefix);

// Reads and splits a note file. A note that is gone says "No note"; one that cannot be read
// says why.
Outcome<Note> load_note(const NoteFile& where);

// Reads only as much of a note as its id needs.
std::string id_of(const NoteFile& where);

// Called after the temporary file is flushed, right before it is put in place of the note.
// Returning false stops the write there, as a crash would (tests use it).
using BeforeRename = std::function<bool()>;

// Told of each write a moment before its bytes are put in place and right after, so that a
// journal of changes holds every change that reaches the disk. `before` is none for a new note,
// `after` none for a note taken out of the space.
class WriteRecord {
 public:
  virtual ~WriteRecord() = default;
  // A failure stops the write before anything changed.
  virtual std::optional<Failure> pending(const std::string& file,
                                         std::optional<std::string_view> before,
                                         std::optional<std::string_view> after) = 0;
  // Whether the bytes announced by the last pending() were put in place.
  virtual void finished(bool put) = 0;
};

// Writes `bytes` to `file` through a temporary file in the same folder: write, fsync, rename,
// fsync the folder. A crash at any point leaves the old file or the new one.
std::optional<Failure> write_atomically(const std::string& file, std::string_view bytes,
                                        const BeforeRename& before_rename = nullptr);

// What a write makes of a note: its new bytes, computed from the note as it is on disk at that
// moment, or why the change cannot be made to it.
using NoteChange = std::function<Outcome<std::string>(const Note& current)>;

// A note before and after a write.
struct Update {
  Note before;        // the note `change` was last applied to
  std::string after;  // the bytes the note now holds
};

// Applies `change` to the note at `where` and writes the result as write_atomically does,
// without losing what another program writes to the note meanwhile. The new file is swapped
// with the note in one step, which tells exactly what it replaced: when that is not the file
// that was read, `change` is applied to what it is and the result swapped in again, a few
// times at most; text appended to the replaced file follows the write. Where the file system
// cannot swap, the note is checked right before a plain rename instead. A note that is a link
// inside the space is written at its target, the link kept. Nothing is written when `change`
// leaves the bytes as they are.
Outcome<Update> update_note(const Space& space, const NoteFile& where, const NoteChange& change,
                            const BeforeRename& before_rename = nullptr,
                            WriteRecord* record = nullptr);

// Writes a new note at space-relative `note_path`, never over anything that has its name.
std::optional<Failure> create_note_file(const Space& space, std::string_view note_path,
                                        std::string_view bytes,
                                        const BeforeRename& before_rename = nullptr,
                                        WriteRecord* record = nullptr);

// Moves the note at `where` out of the space to the file `destination` (never over one), when it
// still holds exactly `expected`.
std::optional<Failure> move_note_out(const NoteFile& where, std::string_view expected,
                                     const std::string& destination, WriteRecord* record);

// What tidy_temporary_files did with the temporary files an earlier run left behind.
struct Tidied {
  size_t removed = 0;
  std::vector<std::string> recovered;  // only copies moved to the recovered dir, by file
  std::vector<std::string> kept;       // only copies left where they were, by file
};

// Removes the temporary files of unfinished writes in the space, which leave the old note as
// it was. A new note never put in place and a file another program saved over a note while it
// was written are their only copies: they go to `recovered_dir` (kept in place when that
// cannot take them), never into the space as notes. Skips those of a write that may still be
// going on.
Tidied tidy_temporary_files(const Space& space, const std::string& recovered_dir);

// Moves `file` out of the space into `recovered_dir` (created if missing) as `name`, or
// "name (2)"... when taken. Returns where it is now.
std::optional<std::string> move_to_recovered(const std::string& file,
                                             const std::string& recovered_dir,
                                             std::string_view name);

// Tests: false writes as on a file system that cannot swap two files.
void swap_files_for_testing(bool swap);

// Creates the folder `name` inside the existing absolute folder `parent` if missing.
std::optional<Failure> ensure_folder(const std::string& parent, std::string_view name);

// Why a file could not be read, for a message: "permission denied".
std::string error_text(int error);

// Seconds-precision UTC time "2026-12-06T22:50:06Z".
std::string utc_time(int64_t mtime_ns);

}  // namespace kestil::folder
