// One app per folder. A serving kestil-folder holds an advisory lock on each folder it serves
// and a shared one on every folder above it, so another one started on the same folder, on a
// folder inside it or on one around it is refused while the first runs, whatever its config
// dir. The locks write nothing anywhere and end with the process; commands that only write a
// note (never a second server) take none.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "ipc.h"

namespace kestil::folder {

class FolderLocks {
 public:
  // Locks the canonical folders `roots` for this process. On refusal, the message naming the
  // folder and the process that serves it.
  static std::variant<FolderLocks, std::string> take(const std::vector<std::string>& roots);

 private:
  std::vector<UniqueFd> held_;
};

}  // namespace kestil::folder
