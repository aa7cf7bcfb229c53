#include "index/watcher.h"

#include <atomic>
#include <ostream>
#include <thread>

#ifdef __linux__
#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "ipc.h"
#include "names.h"
#endif

namespace kestil::folder {

#ifdef __linux__

namespace {

constexpr uint32_t WATCHED = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                             IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                             IN_DONT_FOLLOW;
constexpr std::string_view NOTE_EXTENSION = ".md";

std::string joined(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
}

bool is_note_name(std::string_view name) {
  return name.size() > NOTE_EXTENSION.size() && name.ends_with(NOTE_EXTENSION);
}

}  // namespace

class Watcher::Inotify {
 public:
  Inotify(const Space& space, std::ostream* warnings)
      : space_(space), warnings_(warnings), fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    FolderChanges ignored;
    watch_tree("", ignored);
  }

  bool live() const { return fd_.valid() && !full_; }

  bool wait(std::chrono::milliseconds timeout) {
    pollfd ready{fd_.get(), POLLIN, 0};
    return ::poll(&ready, 1, static_cast<int>(timeout.count())) > 0;
  }

  FolderChanges take() {
    FolderChanges changes;
    if (!lost_ && !root_still_there()) lose_root(changes);
    if (lost_) find_root_again(changes);
    read_events(changes);
    return changes;
  }

  void tell_full_once() {
    if (told_full_ || !warnings_) return;
    told_full_ = true;
    *warnings_ << "kestil-folder: cannot watch every folder of " << space_.name
               << " (the system's limit, fs.inotify.max_user_watches, is reached); looking "
                  "for changes every second instead\n"
               << std::flush;
  }

 private:
  // Watches `top` (space-relative) and every real, visible folder below it; the notes found in
  // them go into `changes`, since they may have come before the watch did.
  void watch_tree(const std::string& top, FolderChanges& changes) {
    std::vector<std::string> folders = {top};
    while (!folders.empty() && !full_) {
      std::string folder = std::move(folders.back());
      folders.pop_back();
      std::string full = folder.empty() ? space_.root : space_.root + "/" + folder;
      int wd = ::inotify_add_watch(fd_.get(), full.c_str(), WATCHED);
      if (wd < 0) {
        full_ = errno == ENOSPC;
        if (folder.empty()) lost_ = true;
        continue;
      }
      folders_[wd] = folder;
      if (folder.empty()) root_ = identity_of(full);
      DIR* handle = ::opendir(full.c_str());
      if (handle == nullptr) continue;
      std::vector<std::string> names;
      while (dirent* entry = ::readdir(handle)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
      }
      ::closedir(handle);
      for (const std::string& name : names) {
        struct stat info {};
        if (::lstat((full + "/" + name).c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) folders.push_back(joined(folder, name));
        if (is_note_name(name)) changes.notes.insert(note_path(joined(folder, name)));
      }
    }
  }

  // Folders are watched by their names on disk; the index knows notes by their listed paths.
  static std::string note_path(const std::string& file) {
    return listed_path(file.substr(0, file.size() - NOTE_EXTENSION.size()));
  }

  void unwatch_tree(const std::string& folder) {
    for (auto it = folders_.begin(); it != folders_.end();) {
      if (folder.empty() || it->second == folder || it->second.starts_with(folder + "/")) {
        ::inotify_rm_watch(fd_.get(), it->first);
        it = folders_.erase(it);
      } else {
        ++it;
      }
    }
  }

  static std::optional<std::pair<dev_t, ino_t>> identity_of(const std::string& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return std::nullopt;
    return std::make_pair(info.st_dev, info.st_ino);
  }

  // Whether the folder watched as the space's is still at its place. A deleted folder that
  // something still holds open (the app's own lock on it) sends no event of its own.
  bool root_still_there() const {
    std::optional<std::pair<dev_t, ino_t>> now = identity_of(space_.root);
    return now && now == root_;
  }

  void lose_root(FolderChanges& changes) {
    unwatch_tree("");
    lost_ = true;
    changes.everything = true;
  }

  // The space's folder went, moved or could not be watched: once a readable folder stands at
  // its place again, it is watched anew and every note looked at.
  void find_root_again(FolderChanges& changes) {
    DIR* handle = ::opendir(space_.root.c_str());
    if (handle == nullptr) return;
    ::closedir(handle);
    lost_ = false;
    unwatch_tree("");
    watch_tree("", changes);
    changes.everything = true;
  }

  void read_events(FolderChanges& changes) {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      ssize_t got = ::read(fd_.get(), buffer, sizeof buffer);
      if (got <= 0) return;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        handle(*event, changes);
      }
    }
  }

  void handle(const inotify_event& event, FolderChanges& changes) {
    if (event.mask & IN_Q_OVERFLOW) changes.everything = true;
    auto folder = folders_.find(event.wd);
    if (folder == folders_.end()) return;
    std::string_view name = event.len > 0 ? std::string_view(event.name) : std::string_view();
    if (name.empty()) {
      handle_self(event, folder->second, changes);
      return;
    }
    if (name.front() == '.') return;
    std::string path = joined(folder->second, name);
    if (event.mask & IN_ISDIR) {
      if (event.mask & (IN_DELETE | IN_MOVED_FROM)) unwatch_tree(path);
      // A folder made readable again is watched now; one that came brings its notes.
      if (event.mask & (IN_CREATE | IN_MOVED_TO | IN_ATTRIB)) watch_tree(path, changes);
      if (event.mask & (IN_DELETE | IN_MOVED_FROM | IN_ATTRIB)) changes.everything = true;
    } else if (is_note_name(name)) {
      changes.notes.insert(note_path(path));
    }
  }

  // An event about a watched folder itself.
  void handle_self(const inotify_event& event, const std::string& folder, FolderChanges& changes) {
    bool root = folder.empty();
    if (event.mask & IN_IGNORED) folders_.erase(event.wd);
    if (root && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) {
      // The watches now follow a folder that is not (or no longer) at the space's place.
      lose_root(changes);
      find_root_again(changes);
    } else if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB)) {
      changes.everything = true;
    }
  }

  const Space& space_;
  std::ostream* warnings_;
  UniqueFd fd_;
  std::map<int, std::string> folders_;  // watch -> space-relative folder
  std::atomic<bool> full_{false};  // the system's watch limit was reached (read unlocked by wait)
  bool told_full_ = false;
  bool lost_ = false;  // the space's folder is not watched: gone, moved or unreadable
  std::optional<std::pair<dev_t, ino_t>> root_;  // the folder watched as the space's
};

Watcher::Watcher(const Space& space, std::ostream* warnings)
    : inotify_(std::make_unique<Inotify>(space, warnings)) {}

bool Watcher::live() const {
  return inotify_->live();
}

bool Watcher::wait(std::chrono::milliseconds timeout) {
  if (live()) return inotify_->wait(timeout);
  std::this_thread::sleep_for(timeout);
  return false;
}

FolderChanges Watcher::take() {
  if (live()) return inotify_->take();
  inotify_->tell_full_once();
  return FolderChanges{{}, true};
}

#else

class Watcher::Inotify {};

Watcher::Watcher(const Space&, std::ostream*) {}

bool Watcher::live() const {
  return false;
}

bool Watcher::wait(std::chrono::milliseconds timeout) {
  std::this_thread::sleep_for(timeout);
  return false;
}

FolderChanges Watcher::take() {
  return FolderChanges{{}, true};
}

#endif

Watcher::~Watcher() = default;

void yield_to_calls() {
#ifdef __linux__
  // On Linux a priority set with who = 0 is the calling thread's alone.
  ::setpriority(PRIO_PROCESS, 0, 10);
#endif
}

}  // namespace kestil::folder
