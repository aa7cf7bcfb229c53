// Following a space's files while the app runs: inotify on Linux (every folder watched), and a
// look at the whole folder every second where that is not to be had: on other systems, or when
// the kernel's watch limit is reached.
//
// The kernel queues an event before the write that causes it returns, so a caller that takes
// what is queued sees every change that finished before it asked. When the space's folder
// itself goes (deleted, moved away, made unreadable) the watcher says so, looks for it again at
// each take, and once it is back watches it anew and asks for a full look.
#pragma once

#include <chrono>
#include <iosfwd>
#include <memory>
#include <set>
#include <string>

#include "tools.h"

namespace kestil::folder {

// What changed since the last take.
struct FolderChanges {
  std::set<std::string> notes;  // space-relative note paths, which may be gone now
  bool everything = false;      // look at every note: a folder came, went or overflowed the queue

  bool empty() const { return notes.empty() && !everything; }
};

// Lowers the calling thread's priority, so tool calls are answered first while it builds or
// reconciles an index (Linux; elsewhere the priority is per process and left alone).
void yield_to_calls();

class Watcher {
 public:
  // Starts watching every folder of `space`. Says once on `warnings` when it falls back to
  // looking every second.
  Watcher(const Space& space, std::ostream* warnings);
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Whether changes are reported as they happen; else the caller looks every second.
  bool live() const;
  // Waits up to `timeout` for a change to be queued; whether one is.
  bool wait(std::chrono::milliseconds timeout);
  // Every change queued so far, without waiting. REQUIRES: one caller at a time.
  FolderChanges take();

 private:
  class Inotify;
  std::unique_ptr<Inotify> inotify_;
};

}  // namespace kestil::folder
