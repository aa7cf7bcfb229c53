#include "store.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "catalog.h"
#include "deadline.h"
#include "ipc.h"
#include "names.h"

namespace kestil::folder {
namespace {

constexpr std::string_view NOTE_EXTENSION = ".md";
// Temporary files: one being written over a note, and a new note not in place yet. Both are
// hidden, so nothing takes them for notes, and named by process, count and note name.
constexpr std::string_view TEMP_PREFIX = ".kestil-tmp-";
constexpr std::string_view NEW_PREFIX = ".kestil-new-";
// A file another program saved over a note in the instant it was written, kept until its text
// is merged into the note.
constexpr std::string_view OLD_PREFIX = ".kestil-old-";
constexpr size_t MAX_NAME_BYTES = 255;
// A temporary file this old belongs to no write still going on.
constexpr int64_t ABANDONED_AFTER_NS = int64_t{10} * 60 * 1000000000;
constexpr int MAX_ATTEMPTS = 5;
constexpr int CARRY_ROUNDS = 3;
// How long a note that reads empty (or shorter than it read before) is given to be saved whole.
constexpr std::chrono::milliseconds SAVE_SETTLES{100};
constexpr std::string_view NOT_WRITTEN =
    "The note could not be written (no room or no permission).";
constexpr std::string_view NOT_RENAMED = "The note could not be written (the rename failed).";
constexpr std::string_view STOPPED = "The write was stopped before the rename.";
constexpr const char* RACED =
    "was changed by another program in the instant it was written, twice; read it again: "
    "part of what that program wrote may have to be written again.";
constexpr size_t HEAD_BYTES = 8192;

bool is_hidden_or_temp(std::string_view name) {
  return name.empty() || name.front() == '.';
}

std::optional<std::string> real_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

bool inside(const Space& space, const std::string& real) {
  return real == space.root || (real.starts_with(space.root) && real.size() > space.root.size() &&
                                real[space.root.size()] == '/');
}

int64_t mtime_ns_of(const struct stat& info) {
#ifdef __APPLE__
  return int64_t{info.st_mtimespec.tv_sec} * 1000000000 + info.st_mtimespec.tv_nsec;
#else
  return int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
#endif
}

// Says `text` on stderr the first time it comes up in this run: a scan meets the same problem on
// every call.
void warn_once(const std::string& text) {
  static std::mutex mutex;
  static std::set<std::string> said;
  std::lock_guard lock(mutex);
  if (said.insert(text).second) std::cerr << "kestil-folder: " << text << "\n" << std::flush;
}

// What one folder holds that the tools show: its real subfolders (a linked folder could lead
// outside or back up into a loop) and its notes, by the names the tools show; or why it cannot
// be read.
struct Held {
  std::vector<std::pair<std::string, std::string>> folders;  // shown name, name on disk
  std::vector<NoteFile> notes;
  int error = 0;
};

Held held_in(const Space& space, const std::string& dir, const std::string& prefix) {
  Held held;
  std::vector<std::string> names;
  {
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) {
      held.error = errno;
      return held;
    }
    while (dirent* entry = ::readdir(handle)) {
      if (!is_hidden_or_temp(entry->d_name)) names.emplace_back(entry->d_name);
    }
    ::closedir(handle);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    check_deadline();
    std::string shown = listed_name(name);
    if (shown != name && std::binary_search(names.begin(), names.end(), shown)) {
      warn_once("'" + prefix + shown +
                "' is the name of one entry and the listed form of another, " +
                "whose name is not UTF-8; that one is left out: rename it.");
      continue;
    }
    std::string full = dir + "/" + name;
    struct stat link_info {};
    struct stat info {};
    if (::lstat(full.c_str(), &link_info) != 0 || ::stat(full.c_str(), &info) != 0) continue;
    bool is_link = S_ISLNK(link_info.st_mode);
    if (S_ISDIR(info.st_mode)) {
      if (!is_link) held.folders.emplace_back(std::move(shown), name);
    } else if (S_ISREG(info.st_mode) && shown.size() > NOTE_EXTENSION.size() &&
               shown.ends_with(NOTE_EXTENSION)) {
      if (is_link) {
        std::optional<std::string> real = real_path(full);
        if (!real || !inside(space, *real)) continue;
      }
      std::string path = prefix + shown.substr(0, shown.size() - NOTE_EXTENSION.size());
      held.notes.push_back(NoteFile{std::move(path), std::move(full), mtime_ns_of(info)});
    }
  }
  return held;
}

// The first `max_bytes` of `file`; none when it cannot be read, and then `error` says why.
std::optional<std::string> read_file(const std::string& file, size_t max_bytes,
                                     int* error = nullptr) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid() && error) *error = errno;
  if (!fd.valid()) return std::nullopt;
  std::string bytes;
  struct stat info {};
  if (::fstat(fd.get(), &info) == 0 && info.st_size > 0) {
    bytes.reserve(std::min<size_t>(static_cast<size_t>(info.st_size), max_bytes));
  }
  char buffer[65536];
  while (bytes.size() < max_bytes) {
    ssize_t got = ::read(fd.get(), buffer, std::min(sizeof buffer, max_bytes - bytes.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && error) *error = errno;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  return bytes;
}

bool sync_folder(const std::string& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.valid() && ::fsync(fd.get()) == 0;
}

std::string read_only_text(const Space& space) {
  return "The space '" + space.name +
         "' is open read-only (kestil-folder --read-only); nothing was changed.";
}

Note note_from(const NoteFile& where, std::string raw) {
  Note note{where, std::move(raw), {}, 0, {}};
  note.body_start = read_front_matter(note.raw, note.meta);
  // A byte order mark belongs to the file, not to the first block.
  if (note.body_start == 0 && note.raw.starts_with("\xEF\xBB\xBF")) note.body_start = 3;
  note.id = note.meta.id.empty() ? derived_id(where.path) : note.meta.id;
  return note;
}

// What tells whether a file is still the one that was read.
struct FileState {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t mtime_ns = 0;
  mode_t mode = 0;

  bool operator==(const FileState&) const = default;
  bool same_file(const FileState& other) const {
    return device == other.device && inode == other.inode;
  }
};

FileState state_from(const struct stat& info) {
  return FileState{info.st_dev, info.st_ino, info.st_size, mtime_ns_of(info),
                   static_cast<mode_t>(info.st_mode & 07777)};
}

std::optional<FileState> state_of_fd(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return state_from(info);
}

std::optional<FileState> state_of_path(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return state_from(info);
}

// All of an open file, from its start.
std::optional<std::string> read_whole(int fd) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(got));
  }
}

// Whether the file read as `read` in state `read_state` still holds it, perhaps followed by more.
bool only_grown(int fd, const FileState& read_state, std::string_view read) {
  std::optional<FileState> now = state_of_fd(fd);
  if (now && *now == read_state) return true;
  std::optional<std::string> bytes = read_whole(fd);
  return bytes && bytes->starts_with(read);
}

// Appends to `into` what was added to the file read as `read` since, and to `carried` what
// it appended. False when that file changed otherwise.
bool carry_appends(int source, const FileState& read_state, std::string_view read, int into,
                   std::string& carried) {
  size_t start = carried.size();
  FileState seen = read_state;
  for (int round = 0; round < CARRY_ROUNDS; ++round) {
    std::optional<FileState> now = state_of_fd(source);
    if (now && *now == seen) break;
    std::optional<std::string> bytes = read_whole(source);
    size_t from = read.size() + carried.size() - start;
    if (!now || !bytes || !bytes->starts_with(read) || bytes->size() < from) return false;
    std::string_view more = std::string_view(*bytes).substr(from);
    // Appended as the other program appends, so text it adds to this file meanwhile stays.
    if (::fcntl(into, F_SETFL, O_APPEND) != 0 || !write_all(into, more)) return false;
    carried += more;
    seen = *now;
  }
  if (carried.size() > start) ::fsync(into);
  return true;
}

// The temporary file name for `name` with `prefix`; a name too long to fit is cut at a
// character boundary.
std::string temp_name(std::string_view prefix, std::string_view name) {
  static std::atomic<uint64_t> counter{0};
  std::string temp =
      std::string(prefix) + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-";
  size_t room = MAX_NAME_BYTES > temp.size() ? MAX_NAME_BYTES - temp.size() : 0;
  if (name.size() > room) {
    while (room > 0 && (static_cast<unsigned char>(name[room]) & 0xC0) == 0x80) --room;
    name = name.substr(0, room);
  }
  return temp + std::string(name);
}

// A temporary file written beside a note; removed when it goes out of scope unless it was
// renamed or is left behind as a crash would leave it.
class TempFile {
 public:
  // `exact`: the file gets `mode` whatever the umask, as a note rewritten keeps its own mode.
  TempFile(const std::string& folder, std::string_view prefix, std::string_view name,
           std::string_view bytes, mode_t mode, bool exact)
      : path_(folder + "/" + temp_name(prefix, name)),
        fd_(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode)) {
    if (!fd_.valid()) {
      path_.clear();
      return;
    }
    written_ = (!exact || ::fchmod(fd_.get(), mode) == 0) && write_all(fd_.get(), bytes);
  }
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool written() const { return written_; }
  bool flush() { return ::fsync(fd_.get()) == 0; }
  bool rename_to(const std::string& file) {
    if (::rename(path_.c_str(), file.c_str()) != 0) return false;
    path_.clear();
    return true;
  }
  void leave() { path_.clear(); }
  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  UniqueFd take_fd() { return std::move(fd_); }

 private:
  std::string path_;
  UniqueFd fd_;
  bool written_ = false;
};

// A temporary file name taken apart: what it holds, the process that wrote it and the note's
// file name.
struct TempName {
  std::string_view prefix;
  pid_t pid = 0;
  std::string note_name;
};

std::optional<TempName> parse_temp_name(std::string_view name) {
  TempName parsed;
  for (std::string_view prefix : {TEMP_PREFIX, NEW_PREFIX, OLD_PREFIX}) {
    if (name.starts_with(prefix)) parsed.prefix = prefix;
  }
  if (parsed.prefix.empty()) return std::nullopt;
  name.remove_prefix(parsed.prefix.size());
  size_t dash = name.find('-');
  size_t second = dash == std::string_view::npos ? dash : name.find('-', dash + 1);
  if (second == std::string_view::npos || dash == 0 || dash > 9) return std::nullopt;
  std::string_view pid = name.substr(0, dash);
  if (!std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  parsed.pid = static_cast<pid_t>(std::stol(std::string(pid)));
  parsed.note_name = name.substr(second + 1);
  return parsed;
}

// Whether another process may still be writing the temporary file.
bool may_be_in_use(const TempName& name, const struct stat& info) {
  int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  bool alive = name.pid != ::getpid() && (::kill(name.pid, 0) == 0 || errno == EPERM);
  return alive && now - mtime_ns_of(info) < ABANDONED_AFTER_NS;
}

// Whether the note `note` already holds what the temporary file `temp` holds: the link that
// put a new note in place was made, or a merge was written.
bool in_the_note(const std::string& temp, const std::string& note) {
  std::optional<FileState> a = state_of_path(temp);
  std::optional<FileState> b = state_of_path(note);
  if (!a || !b) return false;
  if (a->same_file(*b)) return true;
  std::optional<std::string> first = read_file(temp, SIZE_MAX);
  std::optional<std::string> second = read_file(note, SIZE_MAX);
  return first && second && *first == *second;
}

// `name` in `folder`, or "name (2).md", "name (3).md"... when that is taken.
std::string free_name(const std::string& folder, std::string_view name) {
  size_t dot = name.rfind('.');
  std::string_view stem = name.substr(0, dot);
  std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot);
  std::string file = folder + "/" + std::string(name);
  struct stat info {};
  for (int n = 2; ::lstat(file.c_str(), &info) == 0; ++n) {
    file =
        folder + "/" + std::string(stem) + " (" + std::to_string(n) + ")" + std::string(extension);
  }
  return file;
}

// A copy of `from` at the new file `to`, flushed.
bool copy_file(const std::string& from, const std::string& to) {
  std::optional<std::string> bytes = read_file(from, SIZE_MAX);
  UniqueFd fd(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  return bytes && fd.valid() && write_all(fd.get(), *bytes) && ::fsync(fd.get()) == 0;
}

void tidy_temp_file(const std::string& dir, const std::string& name, const TempName& parsed,
                    const std::string& recovered_dir, Tidied& tidied) {
  std::string temp = dir + "/" + name;
  // An unfinished write over a note leaves the note whole; a new note never put in place and
  // a file saved over a note while it was written are their only copies.
  if (parsed.prefix == TEMP_PREFIX || parsed.note_name.empty() ||
      in_the_note(temp, dir + "/" + parsed.note_name)) {
    if (::unlink(temp.c_str()) == 0) ++tidied.removed;
  } else if (std::optional<std::string> moved =
                 move_to_recovered(temp, recovered_dir, parsed.note_name)) {
    tidied.recovered.push_back(*moved);
  } else {
    tidied.kept.push_back(temp);
  }
}

void tidy_one_folder(const std::string& dir, const std::string& recovered_dir, Tidied& tidied,
                     std::vector<std::string>& folders) {
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(handle)) names.emplace_back(entry->d_name);
  ::closedir(handle);
  bool changed = false;
  for (const std::string& name : names) {
    struct stat info {};
    if (::lstat((dir + "/" + name).c_str(), &info) != 0) continue;
    std::optional<TempName> parsed = parse_temp_name(name);
    if (parsed && S_ISREG(info.st_mode)) {
      if (may_be_in_use(*parsed, info)) continue;
      tidy_temp_file(dir, name, *parsed, recovered_dir, tidied);
      changed = true;
    } else if (S_ISDIR(info.st_mode) && !is_hidden_or_temp(name)) {
      folders.push_back(dir + "/" + name);
    }
  }
  if (changed) sync_folder(dir);
}

// Every folder of the space however deep, as the listing reads them; a folder mounted inside
// itself is tidied once.
void tidy_folders(const std::string& root, const std::string& recovered_dir, Tidied& tidied) {
  std::vector<std::string> folders = {root};
  std::set<std::pair<dev_t, ino_t>> seen;
  while (!folders.empty()) {
    std::string dir = std::move(folders.back());
    folders.pop_back();
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0 || !seen.emplace(info.st_dev, info.st_ino).second) continue;
    tidy_one_folder(dir, recovered_dir, tidied, folders);
  }
}

// The entry of `folder` named `name` in another Unicode normal form (a Mac writes names
// decomposed), or none.
std::optional<std::string> entry_spelled(const std::string& folder, std::string_view name) {
  std::string wanted = nfc(name);
  DIR* handle = ::opendir(folder.c_str());
  if (handle == nullptr) return std::nullopt;
  std::optional<std::string> found;
  while (dirent* entry = ::readdir(handle)) {
    if (!found && nfc(entry->d_name) == wanted) found = entry->d_name;
  }
  ::closedir(handle);
  return found;
}

// `relative` (a path below the space root) as the disk spells it, when a part of it is stored
// in another normal form than given; none when nothing is there either way.
std::optional<std::string> respelled(const Space& space, std::string_view relative) {
  std::string folder = space.root;
  std::string spelled;
  bool changed = false;
  while (!relative.empty()) {
    size_t slash = relative.find('/');
    std::string part(relative.substr(0, slash));
    struct stat info {};
    if (::lstat((folder + "/" + part).c_str(), &info) != 0) {
      std::optional<std::string> other = entry_spelled(folder, part);
      if (!other) return std::nullopt;
      part = *other;
      changed = true;
    }
    folder += "/" + part;
    spelled += (spelled.empty() ? "" : "/") + part;
    if (slash == std::string_view::npos) break;
    relative.remove_prefix(slash + 1);
  }
  if (!changed) return std::nullopt;
  return spelled;
}

// How the note's name came to lead to a new file.
enum class Swap { DONE, UNSUPPORTED, FAILED };

std::atomic<bool> swap_disabled{false};

// Swaps the files that `a` and `b` name in one step, so that `a` then names exactly the file
// `b` named the instant before. The one place that knows how each system does it.
Swap exchange_files(const std::string& a, const std::string& b) {
  if (swap_disabled) return Swap::UNSUPPORTED;
#if defined(__linux__) && defined(RENAME_EXCHANGE)
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) {
    return Swap::DONE;
  }
#elif defined(__APPLE__)
  if (::renamex_np(a.c_str(), b.c_str(), RENAME_SWAP) == 0) return Swap::DONE;
#else
  errno = ENOSYS;
#endif
  return errno == EINVAL || errno == ENOSYS || errno == ENOTSUP || errno == EOPNOTSUPP
             ? Swap::UNSUPPORTED
             : Swap::FAILED;
}

void say_once_that_swaps_fail() {
  static std::once_flag said;
  std::call_once(said, [] {
    std::cerr << "kestil-folder: this file system cannot swap two files in one step; notes are "
                 "written by checking them right before the rename, so an editor's save in that "
                 "instant can still be overwritten\n";
  });
}

// This write's previous try, in place under the note's name while what another program wrote
// meanwhile is merged into the next one (where files cannot be swapped).
struct Placed {
  UniqueFd fd;
  FileState state;
  std::string bytes;
};

// Renames `temp` over `target` when the name still leads to `expected`, which may have grown
// but not otherwise changed, and returns `expected` (the file it replaced) open again; none
// when the name leads elsewhere now. Stands in for the swap where files cannot be swapped: a
// save in the instant between the check and the rename is lost.
Outcome<std::optional<UniqueFd>> rename_into_place(TempFile& temp, const std::string& target,
                                                   int expected_fd, const FileState& expected,
                                                   std::string_view expected_bytes) {
  say_once_that_swaps_fail();
  std::optional<FileState> at_name = state_of_path(target);
  if (!at_name || !at_name->same_file(expected) ||
      !only_grown(expected_fd, expected, expected_bytes)) {
    return std::optional<UniqueFd>();
  }
  if (!temp.rename_to(target)) return Failure{std::string(NOT_RENAMED)};
  UniqueFd fd(::dup(expected_fd));
  if (!fd.valid()) return Failure{std::string(NOT_RENAMED)};
  return std::optional<UniqueFd>(std::move(fd));
}

// Appends to the file at `target` what reached the file open as `from` past its first `size`
// bytes.
void carry_tail(int from, size_t size, const std::string& target) {
  std::optional<std::string> bytes = read_whole(from);
  if (!bytes || bytes->size() <= size) return;
  UniqueFd into(::open(target.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (into.valid() && write_all(into.get(), std::string_view(*bytes).substr(size))) {
    ::fsync(into.get());
  }
}

// Swaps the file at `held` (the one a write's swap took off the note's name) back under
// `target`, in place of the write's own file (open as `ours`, `ours_size` bytes as written),
// and returns what the name leads to then, open. Text that reached the write's file meanwhile
// follows. Should another save take the name in that instant, it stays there, and the file
// put back a moment before is kept under a hidden name for the next start to move out.
std::optional<UniqueFd> put_back(const std::string& held, const std::string& target, int ours,
                                 size_t ours_size, const std::string& folder,
                                 std::string_view name) {
  if (exchange_files(held, target) != Swap::DONE) return std::nullopt;
  std::optional<FileState> out = state_of_path(held);
  std::optional<FileState> mine = state_of_fd(ours);
  if (out && mine && out->same_file(*mine)) {
    ::unlink(held.c_str());
  } else if (exchange_files(held, target) == Swap::DONE) {
    ::rename(held.c_str(), (folder + "/" + temp_name(OLD_PREFIX, name)).c_str());
  }
  sync_folder(folder);
  carry_tail(ours, ours_size, target);
  UniqueFd now(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
  if (!now.valid()) return std::nullopt;
  return now;
}

}  // namespace

std::string title_of(std::string_view note_path) {
  size_t slash = note_path.rfind('/');
  return std::string(slash == std::string_view::npos ? note_path : note_path.substr(slash + 1));
}

std::string folder_of(std::string_view note_path) {
  size_t slash = note_path.rfind('/');
  return std::string(slash == std::string_view::npos ? "" : note_path.substr(0, slash));
}

std::string version_of(std::string_view raw) {
  return to_hex(fnv1a_64(raw), 16);
}

std::string derived_id(std::string_view note_path) {
  return to_hex(fnv1a_64(note_path), 12);
}

std::vector<NoteFile> list_notes(const Space& space, std::vector<UnreadFolder>* unread) {
  std::vector<NoteFile> notes;
  // Folders still to read, deepest last: no depth is too deep but the system's own path limit.
  std::vector<std::pair<std::string, std::string>> folders = {{space.root, ""}};
  std::set<std::pair<dev_t, ino_t>> seen;  // a folder mounted inside itself is read once
  while (!folders.empty()) {
    auto [dir, prefix] = std::move(folders.back());
    folders.pop_back();
    struct stat info {};
    if (::stat(dir.c_str(), &info) == 0 && !seen.emplace(info.st_dev, info.st_ino).second) continue;
    Held held = held_in(space, dir, prefix);
    if (held.error != 0 && unread) {
      unread->push_back(UnreadFolder{prefix, error_text(held.error)});
    } else if (held.error != 0) {
      warn_once("the folder '" + (prefix.empty() ? space.root : prefix) + "' of " + space.name +
                " cannot be read (" + error_text(held.error) + "); its notes are left out");
    }
    if (held.error != 0) continue;
    std::move(held.notes.begin(), held.notes.end(), std::back_inserter(notes));
    for (auto& [shown, name] : held.folders)
      folders.emplace_back(dir + "/" + name, prefix + shown + "/");
  }
  std::sort(notes.begin(), notes.end(),
            [](const NoteFile& a, const NoteFile& b) { return a.path < b.path; });
  return notes;
}

std::optional<std::string> folder_root(const std::string& dir) {
  std::optional<std::string> root = real_path(dir);
  struct stat info {};
  if (!root || ::stat(root->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  return root;
}

std::string on_disk(const Space& space, std::string_view relative) {
  if (relative.empty()) return space.root;
  std::string literal = space.root + "/" + std::string(relative);
  if (relative.find('%') == std::string_view::npos) return literal;
  std::string unlisted = unlisted_path(relative);
  struct stat info {};
  if (unlisted == relative || ::lstat(literal.c_str(), &info) == 0) return literal;
  return space.root + "/" + unlisted;
}

std::string error_text(int error) {
  std::string text = std::generic_category().message(error);
  if (!text.empty() && text.front() >= 'A' && text.front() <= 'Z') text.front() += 'a' - 'A';
  return text;
}

std::string note_file(const Space& space, std::string_view note_path) {
  return on_disk(space, std::string(note_path) + std::string(NOTE_EXTENSION));
}

bool path_taken(const Space& space, std::string_view note_path) {
  struct stat info {};
  return ::lstat(note_file(space, note_path).c_str(), &info) == 0 ||
         respelled(space, std::string(note_path) + std::string(NOTE_EXTENSION));
}

Outcome<std::string> clean_path(std::string_view given, bool is_note) {
  std::string_view what = is_note ? "note path" : "folder";
  if (given.starts_with('/')) {
    return Failure{"The " + std::string(what) + " '" + excerpt(given) +
                   "' is absolute; give it relative to the space, like 'Projects/Plan'."};
  }
  while (given.ends_with('/')) given.remove_suffix(1);
  if (is_note && given.ends_with(NOTE_EXTENSION)) given.remove_suffix(NOTE_EXTENSION.size());
  std::string cleaned;
  std::string_view rest = given;
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (part.empty() || part.front() == '.' || part.find('\0') != std::string_view::npos) {
      return Failure{"The " + std::string(what) + " '" + excerpt(given) +
                     "' has an empty, hidden, '.' or '..' part; give a path inside the space."};
    }
    if (!cleaned.empty()) cleaned += '/';
    cleaned += part;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return cleaned;
}

Outcome<std::string> existing_folder(const Space& space, std::string_view folder) {
  std::string full = folder.empty() ? space.root : on_disk(space, folder);
  std::optional<std::string> real = real_path(full);
  std::optional<std::string> other = real ? std::nullopt : respelled(space, folder);
  if (other) {
    full = space.root + "/" + *other;
    real = real_path(full);
  }
  struct stat info {};
  if (real && !inside(space, *real)) {
    return Failure{"The folder '" + excerpt(folder) +
                   "' leads outside the space; give a folder inside it."};
  }
  if (!real || ::stat(real->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Failure{"There is no folder '" + excerpt(folder) +
                   "' in the space; list_folder shows the folders."};
  }
  return full;
}

Outcome<std::optional<NoteFile>> note_at(const Space& space, std::string_view note_path) {
  std::string full = note_file(space, note_path);
  std::optional<std::string> real = real_path(full);
  std::string spelled(note_path);
  if (!real) {
    std::optional<std::string> other =
        respelled(space, std::string(note_path) + std::string(NOTE_EXTENSION));
    if (!other) return std::optional<NoteFile>{};
    spelled = other->substr(0, other->size() - NOTE_EXTENSION.size());
    full = note_file(space, spelled);
    real = real_path(full);
    if (!real) return std::optional<NoteFile>{};
  }
  if (!inside(space, *real)) {
    return Failure{"The note path '" + excerpt(note_path) +
                   "' leads outside the space; give a note inside it."};
  }
  struct stat info {};
  if (::stat(real->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::optional<NoteFile>{};
  return std::optional<NoteFile>{NoteFile{listed_path(spelled), full, mtime_ns_of(info)}};
}

FolderEntries read_folder(const Space& space, const std::string& folder, std::string_view prefix) {
  Held held = held_in(space, folder, std::string(prefix));
  FolderEntries entries{{}, std::move(held.notes), held.error};
  for (auto& [shown, name] : held.folders) entries.folders.push_back(std::move(shown));
  std::sort(entries.folders.begin(), entries.folders.end());
  std::sort(entries.notes.begin(), entries.notes.end(),
            [](const NoteFile& a, const NoteFile& b) { return a.path < b.path; });
  return entries;
}

Outcome<Note> load_note(const NoteFile& where) {
  check_deadline();
  int error = 0;
  std::optional<std::string> raw = read_file(where.file, SIZE_MAX, &error);
  if (!raw && (error == ENOENT || error == ENOTDIR)) {
    return Failure{"No note '" + where.path +
                   "' in this space any more; search_notes or list_folder shows what is there."};
  }
  if (!raw) {
    return Failure{"The note '" + where.path + "' cannot be read (" + error_text(error) + ")."};
  }
  return note_from(where, std::move(*raw));
}

std::string id_of(const NoteFile& where) {
  std::optional<std::string> head = read_file(where.file, HEAD_BYTES);
  // A byte order mark may come before the block.
  if (!head || (!head->starts_with("---") && !head->starts_with("\xEF\xBB\xBF---"))) {
    return derived_id(where.path);
  }
  size_t end = front_matter_end(*head);
  if (end == 0 && head->size() == HEAD_BYTES) {
    head = read_file(where.file, SIZE_MAX);
    end = head ? front_matter_end(*head) : 0;
  }
  // Most notes carry no id: their YAML is read only when one may be there.
  FrontMatter meta;
  if (end != 0 && std::string_view(*head).substr(0, end).find("id") != std::string_view::npos) {
    read_front_matter(*head, meta);
  }
  return meta.id.empty() ? derived_id(where.path) : meta.id;
}

std::optional<Failure> write_atomically(const std::string& file, std::string_view bytes,
                                        const BeforeRename& before_rename) {
  size_t slash = file.rfind('/');
  std::string folder = file.substr(0, slash);
  struct stat old {};
  bool existed = ::stat(file.c_str(), &old) == 0;
  TempFile temp(folder, TEMP_PREFIX, file.substr(slash + 1), bytes,
                existed ? old.st_mode & 07777 : 0644, existed);
  if (!temp.written() || !temp.flush()) return Failure{std::string(NOT_WRITTEN)};
  if (before_rename && !before_rename()) {
    temp.leave();
    return Failure{std::string(STOPPED)};
  }
  if (!temp.rename_to(file)) return Failure{std::string(NOT_RENAMED)};
  sync_folder(folder);
  return std::nullopt;
}

Outcome<Update> update_note(const Space& space, const NoteFile& where, const NoteChange& change,
                            const BeforeRename& before_rename, WriteRecord* record) {
  if (space.read_only) return Failure{read_only_text(space)};
  const Failure unreadable{"The note '" + where.path + "' could not be read; try again."};
  std::optional<std::string> target = real_path(where.file);
  if (!target) return unreadable;
  if (!inside(space, *target)) {
    return Failure{"The note path '" + where.path +
                   "' leads outside the space; give a note inside it."};
  }
  UniqueFd source(::open(target->c_str(), O_RDONLY | O_CLOEXEC));
  if (!source.valid()) return unreadable;
  const std::string folder = target->substr(0, target->rfind('/'));
  const std::string name = target->substr(target->rfind('/') + 1);
  // Set once this write is renamed into place and what another program wrote must be merged
  // into it (where files cannot be swapped).
  std::optional<Placed> ours;
  std::optional<Failure> refused;
  size_t largest_read = 0;
  std::chrono::milliseconds waited{};
  for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
    refused.reset();
    std::optional<FileState> read_state = state_of_fd(source.get());
    std::optional<std::string> raw = read_whole(source.get());
    if (!read_state || !raw) return unreadable;
    if (state_of_fd(source.get()) != read_state) continue;  // written to while it was read
    // An empty note, or one that shrank since this write first read it, may be an editor's save
    // caught between emptying the file and writing it (which can take a while when the disk is
    // busy): it is read again until it holds more or has stayed so for a moment.
    if ((raw->empty() || raw->size() < largest_read) && waited < SAVE_SETTLES) {
      waited += SAVE_SETTLES / 20;
      --attempt;
      std::this_thread::sleep_for(SAVE_SETTLES / 20);
      continue;
    }
    largest_read = std::max(largest_read, raw->size());
    waited = {};
    Note current = note_from(where, std::move(*raw));
    Outcome<std::string> changed = Failure{};
    if (ours && attempt + 1 == MAX_ATTEMPTS) {
      // The last try puts back what the other program wrote, without this change.
      changed = Failure{"The note '" + where.path + "' " + RACED};
    } else {
      try {
        changed = change(current);
      } catch (const std::exception& problem) {
        if (!ours) throw;  // nothing is written yet: the call fails as any other would
        changed = Failure{std::string("The note could not be merged (") + problem.what() + ")."};
      }
    }
    if (auto* failed = std::get_if<Failure>(&changed)) {
      if (!ours) return *failed;
      // The change no longer applies to what the other program wrote: that goes back in place
      // of this write, which then did not happen.
      refused = std::move(*failed);
      changed = current.raw;
    }
    std::string& bytes = std::get<std::string>(changed);
    if (!ours && bytes == current.raw) return Update{std::move(current), std::move(bytes)};
    TempFile temp(folder, TEMP_PREFIX, name, bytes, read_state->mode, true);
    if (!temp.written() || !temp.flush()) return Failure{std::string(NOT_WRITTEN)};
    // A save that landed while the new file was written is read at once, before any swap: a
    // swap shows this write under the name for an instant, and an editor reading then would
    // build on it.
    if (!ours) {
      std::optional<FileState> at_name = state_of_path(*target);
      if (!at_name || !at_name->same_file(*read_state)) {
        source = UniqueFd(::open(target->c_str(), O_RDONLY | O_CLOEXEC));
        if (!source.valid()) return unreadable;
        continue;
      }
    }
    const int expected_fd = ours ? ours->fd.get() : source.get();
    const FileState& expected = ours ? ours->state : *read_state;
    std::string_view expected_bytes = ours ? std::string_view(ours->bytes) : current.raw;
    // Right before the new file is put in place.
    if (record) {
      if (auto failed = record->pending(*target, expected_bytes, bytes)) return *failed;
    }
    if (before_rename && !before_rename()) {
      temp.leave();
      return Failure{std::string(STOPPED)};
    }
    Swap swap = exchange_files(temp.path(), *target);
    // A failed swap may yet have swapped: its record stays pending, for the next start to settle.
    if (swap == Swap::FAILED) return Failure{std::string(NOT_RENAMED)};
    if (swap == Swap::DONE) {
      // Right after: the note's name leads to `bytes`, and `held` to exactly what it led to.
      const std::string held = temp.path();
      temp.leave();
      UniqueFd displaced(::open(held.c_str(), O_RDONLY | O_CLOEXEC));
      std::optional<FileState> state =
          displaced.valid() ? state_of_fd(displaced.get()) : std::nullopt;
      // The file that was read, perhaps with text appended since, which then follows this write.
      std::string carried;
      if (state && state->same_file(*read_state) &&
          carry_appends(displaced.get(), *read_state, current.raw, temp.fd(), carried)) {
        ::unlink(held.c_str());
        sync_folder(folder);
        if (record) record->finished(true);
        return Update{std::move(current), bytes + carried};
      }
      // Another program saved meanwhile: its file goes back under the name as it is, after
      // this instant away, and the change is applied to it.
      std::optional<UniqueFd> now =
          put_back(held, *target, temp.fd(), bytes.size() + carried.size(), folder, name);
      if (!now) {
        return Failure{"The note '" + where.path + "' " + RACED + " What it wrote is kept at " +
                       held + "."};
      }
      if (record) record->finished(false);
      source = std::move(*now);
      continue;
    }
    Outcome<std::optional<UniqueFd>> put =
        rename_into_place(temp, *target, expected_fd, expected, expected_bytes);
    if (auto* failed = std::get_if<Failure>(&put)) return *failed;
    std::optional<UniqueFd>& replaced = std::get<std::optional<UniqueFd>>(put);
    if (!replaced) {
      if (record) record->finished(false);
      // Another file is at the name: that file is read next.
      if (ours) return Failure{"The note '" + where.path + "' " + RACED};
      source = UniqueFd(::open(target->c_str(), O_RDONLY | O_CLOEXEC));
      if (!source.valid()) return unreadable;
      continue;
    }
    sync_folder(folder);
    if (record) record->finished(true);
    // What reached the replaced file (and, when merging, the file whose text was merged) since
    // it was read follows this write, as if written just after it.
    std::string carried;
    bool settled =
        carry_appends(replaced->get(), expected, expected_bytes, temp.fd(), carried) &&
        (!ours || carry_appends(source.get(), *read_state, current.raw, temp.fd(), carried));
    if (settled) {
      if (refused) return *refused;
      return Update{std::move(current), bytes + carried};
    }
    // The replaced file changed otherwise: the change is applied to it again and this write is
    // what the next try must replace.
    if (ours) source = std::move(*replaced);
    std::optional<FileState> placed = state_of_fd(temp.fd());
    if (!placed) return Failure{std::string(NOT_WRITTEN)};
    // The size written, so that whatever reaches the file from now on counts as grown.
    placed->size = static_cast<off_t>(bytes.size() + carried.size());
    ours = Placed{temp.take_fd(), *placed, bytes + carried};
  }
  if (ours) return Failure{"The note '" + where.path + "' " + RACED};
  return Failure{"The note '" + where.path + "' kept changing while it was written (" +
                 std::to_string(MAX_ATTEMPTS) + " tries); it was left as it was: try again."};
}

std::optional<Failure> create_note_file(const Space& space, std::string_view note_path,
                                        std::string_view bytes, const BeforeRename& before_rename,
                                        WriteRecord* record) {
  if (space.read_only) return Failure{read_only_text(space)};
  const Failure taken{"A note '" + std::string(note_path) +
                      "' already exists; choose another title or use append_to_note."};
  // The folder as listings show it; the new note's own name as given.
  std::string file = on_disk(space, folder_of(note_path)) + "/" + title_of(note_path) +
                     std::string(NOTE_EXTENSION);
  size_t slash = file.rfind('/');
  std::string folder = file.substr(0, slash);
  TempFile temp(folder, NEW_PREFIX, file.substr(slash + 1), bytes, 0644, false);
  if (!temp.written() || !temp.flush()) return Failure{std::string(NOT_WRITTEN)};
  // Right before the new note is put in place: a crash from here to the link leaves a
  // temporary file that the next start moves out of the space.
  if (record) {
    if (auto failed = record->pending(file, std::nullopt, bytes)) return *failed;
  }
  if (before_rename && !before_rename()) {
    temp.leave();
    return Failure{std::string(STOPPED)};
  }
  // A link fails when the name is taken, where a rename would replace what has it.
  if (::link(temp.path().c_str(), file.c_str()) != 0) {
    struct stat info {};
    const bool free = errno != EEXIST && ::lstat(file.c_str(), &info) != 0;
    const bool put = free && temp.rename_to(file);  // no hard links here
    if (!put) {
      if (record) record->finished(false);
      return free ? Failure{std::string(NOT_RENAMED)} : taken;
    }
  }
  // Right after: the note is in place; its temporary name is removed with `temp`.
  sync_folder(folder);
  if (record) record->finished(true);
  return std::nullopt;
}

std::optional<Failure> move_note_out(const NoteFile& where, std::string_view expected,
                                     const std::string& destination, WriteRecord* record) {
  const Failure changed{"The note '" + where.path + "' changed meanwhile; it was left in place."};
  const size_t slash = where.file.rfind('/');
  const std::string folder = where.file.substr(0, slash);
  std::optional<std::string> held = read_file(where.file, SIZE_MAX);
  if (!held || *held != expected) return changed;
  struct stat info {};
  if (::lstat(destination.c_str(), &info) == 0) return Failure{destination + " already exists."};
  if (record) {
    if (auto failed = record->pending(where.file, expected, std::nullopt)) return *failed;
  }
  // Renamed aside first, so the file checked is the one taken even while an editor saves; a
  // crash leaves it as a new note never put in place, which the next start moves to the
  // recovered dir.
  const std::string aside = folder + "/" + temp_name(NEW_PREFIX, where.file.substr(slash + 1));
  std::optional<std::string> moved;
  if (::rename(where.file.c_str(), aside.c_str()) == 0) moved = read_file(aside, SIZE_MAX);
  const bool kept = moved && *moved == expected && !write_atomically(destination, expected);
  if (moved && !kept) {
    // A link never replaces a note saved under the name meanwhile.
    if (::link(aside.c_str(), where.file.c_str()) == 0) ::unlink(aside.c_str());
  }
  if (kept) ::unlink(aside.c_str());
  sync_folder(folder);
  if (record) record->finished(kept);
  if (!moved) return Failure{"The note '" + where.path + "' could not be moved."};
  if (!kept) return *moved == expected ? Failure{"Could not write " + destination + "."} : changed;
  return std::nullopt;
}

Tidied tidy_temporary_files(const Space& space, const std::string& recovered_dir) {
  Tidied tidied;
  tidy_folders(space.root, recovered_dir, tidied);
  return tidied;
}

std::optional<std::string> move_to_recovered(const std::string& file,
                                             const std::string& recovered_dir,
                                             std::string_view name) {
  if (recovered_dir.empty()) return std::nullopt;
  std::error_code failed;
  std::filesystem::create_directories(recovered_dir, failed);
  if (failed) return std::nullopt;
  std::string moved = free_name(recovered_dir, name);
  if (::rename(file.c_str(), moved.c_str()) != 0) {
    // The config dir is on another file system: copied, then taken out of the space.
    if (errno != EXDEV) return std::nullopt;
    if (!copy_file(file, moved)) {
      ::unlink(moved.c_str());
      return std::nullopt;
    }
    ::unlink(file.c_str());
  }
  sync_folder(recovered_dir);
  sync_folder(file.substr(0, file.rfind('/')));
  return moved;
}

std::optional<Failure> ensure_folder(const std::string& parent, std::string_view name) {
  std::string full = parent + "/" + std::string(name);
  if (::mkdir(full.c_str(), 0755) == 0) {
    sync_folder(parent);
    return std::nullopt;
  }
  struct stat info {};
  if (errno == EEXIST && ::lstat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return std::nullopt;
  }
  return Failure{"The folder '" + std::string(name) + "' could not be created."};
}

void swap_files_for_testing(bool swap) {
  swap_disabled = !swap;
}

std::string utc_time(int64_t mtime_ns) {
  std::time_t seconds = static_cast<std::time_t>(mtime_ns / 1000000000);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace kestil::folder
