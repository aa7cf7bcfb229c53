// Two texts compared line by line: the shortest set of lines removed and added that turns one
// into the other (Myers' algorithm), grouped into hunks with context as a unified diff shows
// them, and hunks applied to a text that may have changed elsewhere since, as patch does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestil::folder {

// `text` cut into lines, each keeping its line break; the last one may have none.
std::vector<std::string_view> split_lines(std::string_view text);

// One line of a hunk: ' ' the same on both sides, '-' only in the old text, '+' only in the new.
struct DiffLine {
  char kind = ' ';
  std::string text;
};

// A run of changed lines with up to a few unchanged lines around it. Starts count lines from 0.
struct Hunk {
  size_t old_start = 0;
  size_t old_count = 0;
  size_t new_start = 0;
  size_t new_count = 0;
  std::vector<DiffLine> lines;
};

// The hunks that turn `old_lines` into `new_lines`, each with up to `context` unchanged lines on
// either side; hunks whose context would meet are one.
std::vector<Hunk> diff_hunks(const std::vector<std::string_view>& old_lines,
                             const std::vector<std::string_view>& new_lines, size_t context);

// Lines added and removed over all `hunks`.
struct LineCounts {
  size_t added = 0;
  size_t removed = 0;
};
LineCounts count_lines(const std::vector<Hunk>& hunks);

// `hunks` (from an old text to a new one) applied to `text`, which is the old text as it is now,
// perhaps changed elsewhere: each hunk's old side, context included, must still stand in it
// exactly, and is taken where it stands nearest its place moved by `line_offset` lines. Every
// hunk applies or the text is left alone and `conflicts` lists those that did not.
struct Patched {
  std::string text;
  std::vector<const Hunk*> conflicts;
};
Patched apply_hunks(std::string_view text, const std::vector<Hunk>& hunks, size_t line_offset);

// The hunks as a unified diff body ("@@ -a,b +c,d @@" and the lines), their line numbers moved
// by `line_offset`. With `colour`, removed lines are red, added green, hunk heads cyan.
std::string unified_diff(const std::vector<Hunk>& hunks, size_t line_offset, bool colour);

}  // namespace kestil::folder
