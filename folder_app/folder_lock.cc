#include "folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

namespace kestil::folder {
namespace {

// Who holds a lock that refused ours.
struct Holder {
  long pid = 0;            // 0 when the system cannot tell
  bool serves_it = false;  // holds the folder itself, not one inside it
};

// The holder of a lock on the folder open as `fd`, other than this process. The one place that
// knows how each system tells: Linux lists every lock in /proc/locks; elsewhere F_GETLK names
// the holder where the system records it.
Holder holder_of(int fd) {
  Holder holder;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return holder;
#ifdef __linux__
  char device[32];
  std::snprintf(device, sizeof device, "%02x:%02x:", major(info.st_dev), minor(info.st_dev));
  const std::string wanted = device + std::to_string(info.st_ino);
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, mode, file;
    long pid = 0;
    fields >> number >> kind >> advisory >> mode >> pid >> file;
    if (kind != "FLOCK" || file != wanted || pid == ::getpid()) continue;
    if (holder.pid == 0 || mode == "WRITE") holder = Holder{pid, mode == "WRITE"};
  }
#else
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK && probe.l_pid > 0) {
    holder.pid = probe.l_pid;
  }
#endif
  return holder;
}

std::string named(const Holder& holder) {
  return holder.pid > 0 ? "another kestil-folder (pid " + std::to_string(holder.pid) + ")"
                        : "another kestil-folder";
}

// The folders above `root`, without "/" (a space there would hold every other one anyway).
std::vector<std::string> folders_above(const std::string& root) {
  std::vector<std::string> above;
  for (size_t slash = root.rfind('/'); slash != std::string::npos && slash > 0;
       slash = root.rfind('/', slash - 1)) {
    above.push_back(root.substr(0, slash));
  }
  return above;
}

}  // namespace

std::variant<FolderLocks, std::string> FolderLocks::take(const std::vector<std::string>& roots) {
  FolderLocks locks;
  std::set<std::string> shared;
  for (const std::string& root : roots) {
    for (std::string& folder : folders_above(root)) shared.insert(std::move(folder));
  }
  for (const std::string& root : roots) shared.erase(root);
  // A folder that cannot be opened (no permission) is not locked: no server can lock it either.
  for (const std::string& folder : shared) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) continue;
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
      auto inside = std::find_if(roots.begin(), roots.end(), [&](const std::string& root) {
        return root.starts_with(folder + "/");
      });
      return *inside + " lies inside " + folder + ", which " + named(holder_of(fd.get())) +
             " serves; stop it first, or serve " + folder + " from it";
    }
    locks.held_.push_back(std::move(fd));
  }
  std::set<std::string> served(roots.begin(), roots.end());
  for (const std::string& root : served) {
    UniqueFd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return "cannot open " + root;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      Holder holder = holder_of(fd.get());
      if (holder.serves_it) return named(holder) + " already serves " + root + "; stop it first";
      return named(holder) + " serves a folder inside " + root +
             "; stop it first, or serve only that folder";
    }
    locks.held_.push_back(std::move(fd));
  }
  return locks;
}

}  // namespace kestil::folder
