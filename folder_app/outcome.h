// How a step of the folder app fails: as a value carrying the one sentence the assistant reads.
#pragma once

#include <string>
#include <variant>

namespace kestil::folder {

// A failed step, carrying the one sentence the assistant reads.
struct Failure {
  std::string text;
};

template <typename T>
using Outcome = std::variant<T, Failure>;

}  // namespace kestil::folder
