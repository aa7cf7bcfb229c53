#include "index/watcher.h"

#include <chrono>
#include <ostream>
#include <set>
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

#include "ipc.h"
#include "names.h"
#endif

namespace kestil::folder {
namespace {

constexpr auto LOOK_EVERY = std::chrono::milliseconds(1000);

using Changed = std::function<void(const FolderChange&)>;

[[noreturn]] void look_every_second(const Changed& changed, const std::function<void()>& idle) {
  for (;;) {
    std::this_thread::sleep_for(LOOK_EVERY);
    idle();
    changed(FolderChange{});
  }
}

#ifdef __linux__

constexpr uint32_t WATCHED = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                             IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                             IN_DONT_FOLLOW;
// Events that come within this long of each other are handled together.
constexpr int GATHER_MS = 20;
constexpr auto GATHER_AT_MOST = std::chrono::milliseconds(200);
constexpr std::string_view NOTE_EXTENSION = ".md";

std::string joined(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
}

class Inotify {
 public:
  explicit Inotify(const Space& space)
      : space_(space), fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {}

  bool usable() const { return fd_.valid() && !full_; }

  // Watches `folder` (space-relative) and every real, visible folder below it, however deep.
  void watch_tree(const std::string& top) {
    std::vector<std::string> folders = {top};
    while (!folders.empty() && !full_) {
      std::string folder = std::move(folders.back());
      folders.pop_back();
      std::string full = folder.empty() ? space_.root : space_.root + "/" + folder;
      int wd = ::inotify_add_watch(fd_.get(), full.c_str(), WATCHED);
      if (wd < 0) {
        full_ = errno == ENOSPC;
        continue;
      }
      folders_[wd] = folder;
      DIR* handle = ::opendir(full.c_str());
      if (handle == nullptr) continue;
      std::vector<std::string> names;
      while (dirent* entry = ::readdir(handle)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
      }
      ::closedir(handle);
      for (const std::string& name : names) {
        struct stat info {};
        if (::lstat((full + "/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
          folders.push_back(joined(folder, name));
        }
      }
    }
  }

  void unwatch_tree(const std::string& folder) {
    for (auto it = folders_.begin(); it != folders_.end();) {
      if (it->second == folder || it->second.starts_with(folder + "/")) {
        ::inotify_rm_watch(fd_.get(), it->first);
        it = folders_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Waits up to `timeout_ms` for events, then gathers those that follow closely. Returns false
  // when nothing came.
  bool gather(int timeout_ms, std::set<std::string>& notes, bool& everything) {
    pollfd ready{fd_.get(), POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0) return false;
    auto until = std::chrono::steady_clock::now() + GATHER_AT_MOST;
    do {
      read_events(notes, everything);
    } while (std::chrono::steady_clock::now() < until && ::poll(&ready, 1, GATHER_MS) > 0);
    return true;
  }

 private:
  void read_events(std::set<std::string>& notes, bool& everything) {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      ssize_t got = ::read(fd_.get(), buffer, sizeof buffer);
      if (got <= 0) return;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        handle(*event, notes, everything);
      }
    }
  }

  void handle(const inotify_event& event, std::set<std::string>& notes, bool& everything) {
    if (event.mask & IN_Q_OVERFLOW) everything = true;
    if (event.mask & IN_IGNORED) folders_.erase(event.wd);
    auto folder = folders_.find(event.wd);
    if (folder == folders_.end()) return;
    std::string_view name = event.len > 0 ? std::string_view(event.name) : std::string_view();
    if (name.empty()) {
      // The watched folder itself went away or moved: its notes are looked for everywhere.
      if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) everything = true;
      return;
    }
    if (name.front() == '.') return;
    std::string path = joined(folder->second, name);
    if (event.mask & IN_ISDIR) {
      if (event.mask & (IN_DELETE | IN_MOVED_FROM)) unwatch_tree(path);
      if (event.mask & (IN_CREATE | IN_MOVED_TO)) watch_tree(path);
      everything = true;
    } else if (name.size() > NOTE_EXTENSION.size() && name.ends_with(NOTE_EXTENSION)) {
      notes.insert(path.substr(0, path.size() - NOTE_EXTENSION.size()));
    }
  }

  const Space& space_;
  UniqueFd fd_;
  std::map<int, std::string> folders_;  // watch -> space-relative folder
  bool full_ = false;                   // the system's watch limit was reached
};

#endif

}  // namespace

void yield_to_calls() {
#ifdef __linux__
  // On Linux a priority set with who = 0 is the calling thread's alone.
  ::setpriority(PRIO_PROCESS, 0, 10);
#endif
}

void follow_changes(const Space& space, std::ostream* warnings, const Changed& changed,
                    const std::function<void()>& idle) {
#ifdef __linux__
  Inotify inotify(space);
  inotify.watch_tree("");
  if (!inotify.usable()) {
    if (warnings) {
      *warnings << "kestil-folder: cannot watch every folder of " << space.name
                << " (the system's limit, fs.inotify.max_user_watches, is reached); looking for "
                   "changes every second instead\n"
                << std::flush;
    }
    look_every_second(changed, idle);
  }
  // Whatever changed while the folders were being watched is caught by this first look.
  changed(FolderChange{});
  for (;;) {
    std::set<std::string> notes;
    bool everything = false;
    if (!inotify.gather(static_cast<int>(LOOK_EVERY.count()), notes, everything)) {
      idle();
      continue;
    }
    if (!inotify.usable()) {
      if (warnings) {
        *warnings << "kestil-folder: the system's limit on watched folders "
                     "(fs.inotify.max_user_watches) is reached; looking for changes in "
                  << space.name << " every second instead\n"
                  << std::flush;
      }
      look_every_second(changed, idle);
    }
    if (everything) {
      changed(FolderChange{});
    } else {
      // Folders are watched by their names on disk; the index knows notes by their listed paths.
      for (const std::string& note : notes) changed(FolderChange{listed_path(note)});
    }
  }
#else
  (void)space;
  (void)warnings;
  look_every_second(changed, idle);
#endif
}

}  // namespace kestil::folder
