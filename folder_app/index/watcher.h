// Following a space's files while the app runs: inotify on Linux (every folder watched), and a
// look at the whole folder every second where that is not to be had: on other systems, when the
// kernel's watch limit is reached, or after its event queue overflowed.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "tools.h"

namespace kestil::folder {

// What changed: one note (its space-relative path, which may be gone now), or anything (none).
struct FolderChange {
  std::optional<std::string> note_path;
};

// Lowers the calling thread's priority, so tool calls are answered first while it builds or
// reconciles an index (Linux; elsewhere the priority is per process and left alone).
void yield_to_calls();

// Calls `changed` for each change to the notes of `space`, shortly after it happens, and `idle`
// about once a second; never returns. Says once on `warnings` when it falls back to looking.
void follow_changes(const Space& space, std::ostream* warnings,
                    const std::function<void(const FolderChange&)>& changed,
                    const std::function<void()>& idle);

}  // namespace kestil::folder
