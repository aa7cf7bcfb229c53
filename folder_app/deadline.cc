#include "deadline.h"

namespace kestil::folder {
namespace {

thread_local DeadlineClock::time_point current_deadline = DeadlineClock::time_point::max();

}  // namespace

CallDeadline::CallDeadline(std::chrono::milliseconds budget)
    : expiry_(DeadlineClock::now() + budget), previous_(current_deadline) {
  current_deadline = expiry_;
}

CallDeadline::~CallDeadline() {
  current_deadline = previous_;
}

DeadlineLifted::DeadlineLifted() : previous_(current_deadline) {
  current_deadline = DeadlineClock::time_point::max();
}

DeadlineLifted::~DeadlineLifted() {
  current_deadline = previous_;
}

bool deadline_passed() {
  return current_deadline != DeadlineClock::time_point::max() &&
         DeadlineClock::now() >= current_deadline;
}

void check_deadline() {
  if (deadline_passed()) throw DeadlinePassed();
}

}  // namespace kestil::folder
