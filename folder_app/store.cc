#include "store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "catalog.h"
#include "deadline.h"
#include "ipc.h"
#include "names.h"

namespace kestil::folder {
namespace {

constexpr std::string_view NOTE_EXTENSION = ".md";
constexpr std::string_view TEMP_PREFIX = ".kestil-tmp-";
constexpr size_t HEAD_BYTES = 8192;
constexpr int MAX_FOLDER_DEPTH = 32;

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string_view unquote(std::string_view text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

std::vector<std::string> parse_tag_line(std::string_view value) {
  if (value.size() >= 2 && value.front() == '[' && value.back() == ']') {
    value = value.substr(1, value.size() - 2);
  }
  std::vector<std::string> tags;
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view entry = unquote(trim(value.substr(0, comma)));
    if (!entry.empty() && entry.front() == '#') entry.remove_prefix(1);
    if (!entry.empty()) tags.emplace_back(entry);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return tags;
}

void read_front_matter_line(std::string_view line, FrontMatter& meta) {
  size_t colon = line.find(':');
  std::string_view key = colon == std::string_view::npos ? "" : trim(line.substr(0, colon));
  std::string_view value = colon == std::string_view::npos ? "" : trim(line.substr(colon + 1));
  if (key == "id") {
    meta.id = unquote(value);
  } else if (key == "description") {
    meta.description = unquote(value);
  } else if (key == "tags") {
    meta.tags = parse_tag_line(value);
  } else if (key == "style") {
    std::optional<Json> style = parse_json(value);
    if (style && style->is_object()) meta.style = std::move(*style);
  } else {
    meta.other_lines.emplace_back(line);
  }
}

// Where the front matter's closing line ends, or npos when `raw` has no complete block.
size_t front_matter_end(std::string_view raw) {
  if (!raw.starts_with("---\n") && !raw.starts_with("---\r\n")) return std::string_view::npos;
  size_t pos = raw.find('\n') + 1;
  while (pos < raw.size()) {
    size_t end = raw.find('\n', pos);
    std::string_view line = raw.substr(pos, end == std::string_view::npos ? end : end - pos);
    if (trim(line) == "---") return end == std::string_view::npos ? raw.size() : end + 1;
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  return std::string_view::npos;
}

std::string one_line(std::string_view text) {
  std::string line(text);
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  return line;
}

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

void walk(const Space& space, const std::string& dir, const std::string& prefix, int depth,
          std::vector<NoteFile>& notes) {
  if (depth > MAX_FOLDER_DEPTH) return;
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(handle)) {
    if (!is_hidden_or_temp(entry->d_name)) names.emplace_back(entry->d_name);
  }
  ::closedir(handle);
  for (const std::string& name : names) {
    check_deadline();
    std::string full = dir + "/" + name;
    struct stat link_info {};
    struct stat info {};
    if (::lstat(full.c_str(), &link_info) != 0 || ::stat(full.c_str(), &info) != 0) continue;
    bool is_link = S_ISLNK(link_info.st_mode);
    if (S_ISDIR(info.st_mode)) {
      // A linked folder could lead outside or back up into a loop; only real folders are walked.
      if (!is_link) walk(space, full, prefix + name + "/", depth + 1, notes);
    } else if (S_ISREG(info.st_mode) && name.size() > NOTE_EXTENSION.size() &&
               name.ends_with(NOTE_EXTENSION)) {
      if (is_link) {
        std::optional<std::string> real = real_path(full);
        if (!real || !inside(space, *real)) continue;
      }
      std::string path = prefix + name.substr(0, name.size() - NOTE_EXTENSION.size());
      notes.push_back(NoteFile{std::move(path), std::move(full), mtime_ns_of(info)});
    }
  }
}

std::optional<std::string> read_file(const std::string& file, size_t max_bytes) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
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

std::string fresh_id(std::string_view note_path) {
  static std::atomic<uint64_t> counter{0};
  auto now = std::chrono::system_clock::now().time_since_epoch().count();
  std::string seed = std::string(note_path) + "\n" + std::to_string(now) + "\n" +
                     std::to_string(::getpid()) + "\n" + std::to_string(counter++);
  return to_hex(fnv1a_64(seed), 12);
}

size_t split_front_matter(std::string_view raw, FrontMatter& meta) {
  size_t end = front_matter_end(raw);
  if (end == std::string_view::npos) return 0;
  std::string_view lines = raw.substr(0, end);
  lines.remove_prefix(lines.find('\n') + 1);
  // Tags may also come as a list below an empty "tags:" line, one "- tag" per line.
  bool in_tag_list = false;
  while (!lines.empty()) {
    size_t newline = lines.find('\n');
    std::string_view line = trim(lines.substr(0, newline));
    if (line == "---") break;
    if (in_tag_list && line.starts_with("- ")) {
      std::vector<std::string> tags = parse_tag_line(trim(line.substr(2)));
      meta.tags.insert(meta.tags.end(), tags.begin(), tags.end());
    } else if (!line.empty()) {
      read_front_matter_line(line, meta);
      in_tag_list = line == "tags:";
    }
    if (newline == std::string_view::npos) break;
    lines.remove_prefix(newline + 1);
  }
  return end;
}

std::string join_front_matter(const FrontMatter& meta, std::string_view body) {
  std::string text = "---\n";
  if (!meta.id.empty()) text += "id: " + meta.id + "\n";
  if (!meta.description.empty()) text += "description: " + one_line(meta.description) + "\n";
  if (!meta.tags.empty()) {
    text += "tags: ";
    for (size_t i = 0; i < meta.tags.size(); ++i) text += (i ? ", " : "") + meta.tags[i];
    text += "\n";
  }
  if (meta.style.is_object() && !meta.style.empty()) {
    text += "style: " + to_compact(meta.style) + "\n";
  }
  for (const std::string& line : meta.other_lines) text += line + "\n";
  text += "---\n";
  text += body;
  return text;
}

std::vector<NoteFile> list_notes(const Space& space) {
  std::vector<NoteFile> notes;
  walk(space, space.root, "", 0, notes);
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

std::string note_file(const Space& space, std::string_view note_path) {
  return space.root + "/" + std::string(note_path) + std::string(NOTE_EXTENSION);
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
  std::string full = folder.empty() ? space.root : space.root + "/" + std::string(folder);
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
  return std::optional<NoteFile>{NoteFile{spelled, full, mtime_ns_of(info)}};
}

FolderEntries read_folder(const Space& space, const std::string& folder, std::string_view prefix) {
  FolderEntries entries;
  // At the deepest level the walk takes the notes of this folder and goes no further down.
  walk(space, folder, std::string(prefix), MAX_FOLDER_DEPTH, entries.notes);
  DIR* handle = ::opendir(folder.c_str());
  if (handle == nullptr) return entries;
  while (dirent* entry = ::readdir(handle)) {
    std::string name = entry->d_name;
    struct stat info {};
    if (is_hidden_or_temp(name) || ::lstat((folder + "/" + name).c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) entries.folders.push_back(name);
  }
  ::closedir(handle);
  std::sort(entries.folders.begin(), entries.folders.end());
  std::sort(entries.notes.begin(), entries.notes.end(),
            [](const NoteFile& a, const NoteFile& b) { return a.path < b.path; });
  return entries;
}

Outcome<Note> load_note(const NoteFile& where) {
  check_deadline();
  std::optional<std::string> raw = read_file(where.file, SIZE_MAX);
  if (!raw) return Failure{"The note '" + where.path + "' could not be read; try again."};
  Note note{where, std::move(*raw), {}, 0, {}};
  note.body_start = split_front_matter(note.raw, note.meta);
  note.id = note.meta.id.empty() ? derived_id(where.path) : note.meta.id;
  return note;
}

std::string id_of(const NoteFile& where) {
  std::optional<std::string> head = read_file(where.file, HEAD_BYTES);
  if (head && head->size() == HEAD_BYTES && front_matter_end(*head) == std::string_view::npos &&
      head->starts_with("---")) {
    head = read_file(where.file, SIZE_MAX);
  }
  FrontMatter meta;
  if (head) split_front_matter(*head, meta);
  return meta.id.empty() ? derived_id(where.path) : meta.id;
}

std::optional<Failure> write_atomically(const std::string& file, std::string_view bytes,
                                        const BeforeRename& before_rename) {
  static std::atomic<uint64_t> counter{0};
  size_t slash = file.rfind('/');
  std::string folder = file.substr(0, slash);
  std::string temp = folder + "/" + std::string(TEMP_PREFIX) + std::to_string(::getpid()) + "-" +
                     std::to_string(counter++) + "-" + file.substr(slash + 1);
  mode_t mode = 0644;
  struct stat old {};
  if (::stat(file.c_str(), &old) == 0) mode = old.st_mode & 07777;
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.valid()) return Failure{"The note could not be written (no room or no permission)."};
  bool written = write_all(fd.get(), bytes) && ::fsync(fd.get()) == 0 &&
                 ::close(fd.release()) == 0;  // a failed close can lose the data
  if (!written) {
    ::unlink(temp.c_str());
    return Failure{"The note could not be written (no room or no permission)."};
  }
  if (before_rename && !before_rename()) return Failure{"The write was stopped before the rename."};
  if (::rename(temp.c_str(), file.c_str()) != 0) {
    ::unlink(temp.c_str());
    return Failure{"The note could not be written (the rename failed)."};
  }
  sync_folder(folder);
  return std::nullopt;
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

std::string utc_time(int64_t mtime_ns) {
  std::time_t seconds = static_cast<std::time_t>(mtime_ns / 1000000000);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace kestil::folder
