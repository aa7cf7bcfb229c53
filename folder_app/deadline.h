// The time by which the tool call running on this thread must be answered. The server sets it
// around each call; loops over notes and long queries ask whether it has passed and stop, so a
// slow call answers a clear error well inside the bridge's wait instead of holding the caller.
#pragma once

#include <chrono>
#include <exception>

namespace kestil::folder {

using DeadlineClock = std::chrono::steady_clock;

// How long one call may run when the server is not told otherwise.
inline constexpr std::chrono::milliseconds DEFAULT_CALL_BUDGET{20000};

// Sets this thread's deadline for as long as it lives; the one it replaces comes back after.
class CallDeadline {
 public:
  explicit CallDeadline(std::chrono::milliseconds budget);
  ~CallDeadline();
  CallDeadline(const CallDeadline&) = delete;
  CallDeadline& operator=(const CallDeadline&) = delete;

  // When this deadline passes.
  DeadlineClock::time_point expiry() const { return expiry_; }

 private:
  DeadlineClock::time_point expiry_;
  DeadlineClock::time_point previous_;
};

// Lifts this thread's deadline for as long as it lives: once a write is on disk, what follows
// (telling the index) must finish, or the caller would read a written note as a failed call.
class DeadlineLifted {
 public:
  DeadlineLifted();
  ~DeadlineLifted();
  DeadlineLifted(const DeadlineLifted&) = delete;
  DeadlineLifted& operator=(const DeadlineLifted&) = delete;

 private:
  DeadlineClock::time_point previous_;
};

// Thrown by check_deadline; call_tool turns it into the tool error that says what to narrow.
struct DeadlinePassed : std::exception {
  const char* what() const noexcept override { return "deadline passed"; }
};

// Whether this thread's deadline has passed (never, outside a CallDeadline).
bool deadline_passed();

// Throws DeadlinePassed when this thread's deadline has passed.
void check_deadline();

}  // namespace kestil::folder
