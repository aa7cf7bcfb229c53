// Whether an app's reply line already is the compact text the writer would make of it, so
// that its bytes can go out as they came. One pass over the line, without building a value.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestil {

enum class CompactCheck {
  declined,             // not confirmed: parse and write the value instead
  compact,              // the line is the compact form of its value
  compact_unavailable,  // the same, and the reply carries the unavailable marker
};

// Checks `text`, which must be followed in memory by readable bytes up to `readable` bytes
// from its start (at least LINE_PADDING more than its size). Confirms only an object whose
// writing would give back exactly `text`: valid UTF-8, at most MAX_JSON_DEPTH levels, keys
// strictly ascending, only the escapes the writer makes, numbers as the writer prints them,
// no white space. Anything else, or a checker that is not available, declines.
CompactCheck check_compact_reply(std::string_view text, std::size_t readable);

// The checker's plain result code as a CompactCheck.
inline CompactCheck to_compact_check(int code) {
  if (code == 1) return CompactCheck::compact;
  if (code == 2) return CompactCheck::compact_unavailable;
  return CompactCheck::declined;
}

}  // namespace kestil

// The checker itself, with a plain C interface so that it can live in a module loaded on
// demand: 0 declined, 1 compact, 2 compact and carrying the unavailable marker.
extern "C" int kestil_check_compact_reply(const char* text, std::size_t size, std::size_t readable);
