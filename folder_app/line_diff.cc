#include "line_diff.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <unordered_map>

namespace kestil::folder {
namespace {

// Past this many lines removed and added, the diff stops looking for the fewest and calls the
// whole changed middle removed and added: the trace it keeps grows with the square of the count.
constexpr int MAX_EDITS = 2000;

constexpr std::string_view RED = "\033[31m";
constexpr std::string_view GREEN = "\033[32m";
constexpr std::string_view CYAN = "\033[36m";
constexpr std::string_view PLAIN = "\033[m";

// Each line as a number, equal lines equal numbers, so the search compares integers.
void number_lines(const std::vector<std::string_view>& old_lines,
                  const std::vector<std::string_view>& new_lines, std::vector<uint32_t>& a,
                  std::vector<uint32_t>& b) {
  std::unordered_map<std::string_view, uint32_t> numbers;
  auto number = [&](std::string_view line) {
    return numbers.emplace(line, static_cast<uint32_t>(numbers.size())).first->second;
  };
  for (std::string_view line : old_lines) a.push_back(number(line));
  for (std::string_view line : new_lines) b.push_back(number(line));
}

// The steps from the old lines to the new: ' ' keep one, '-' remove one, '+' add one.
std::string coarse_script(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  size_t head = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
  size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head &&
         a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) {
    ++tail;
  }
  return std::string(head, ' ') + std::string(a.size() - head - tail, '-') +
         std::string(b.size() - head - tail, '+') + std::string(tail, ' ');
}

// Myers' greedy search for the fewest removed and added lines, walked back from the end.
std::string edit_script(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  const int n = static_cast<int>(a.size());
  const int m = static_cast<int>(b.size());
  const int limit = std::min(n + m, MAX_EDITS);
  std::vector<int> furthest(static_cast<size_t>(2 * limit + 3), 0);
  auto x_on = [&](int k) -> int& { return furthest[static_cast<size_t>(k + limit + 1)]; };
  // trace[d][k + d]: the furthest x on diagonal k after d steps.
  std::vector<std::vector<int>> trace;
  int steps = -1;
  for (int d = 0; d <= limit && steps < 0; ++d) {
    std::vector<int> row(static_cast<size_t>(2 * d + 1));
    for (int k = -d; k <= d; k += 2) {
      int x = (k == -d || (k != d && x_on(k - 1) < x_on(k + 1))) ? x_on(k + 1) : x_on(k - 1) + 1;
      int y = x - k;
      while (x < n && y < m && a[static_cast<size_t>(x)] == b[static_cast<size_t>(y)]) ++x, ++y;
      x_on(k) = x;
      row[static_cast<size_t>(k + d)] = x;
      if (x >= n && y >= m) steps = d;
    }
    trace.push_back(std::move(row));
  }
  if (steps < 0) return coarse_script(a, b);
  std::string script;
  int x = n;
  int y = m;
  for (int d = steps; d > 0; --d) {
    const std::vector<int>& before = trace[static_cast<size_t>(d - 1)];
    auto x_before = [&](int k) { return before[static_cast<size_t>(k + d - 1)]; };
    const int k = x - y;
    const bool down = k == -d || (k != d && x_before(k - 1) < x_before(k + 1));
    const int from_k = down ? k + 1 : k - 1;
    const int from_x = x_before(from_k);
    const int from_y = from_x - from_k;
    while (x > from_x && y > from_y && (down ? y > from_y + 1 : x > from_x + 1)) {
      script += ' ';
      --x, --y;
    }
    script += down ? '+' : '-';
    x = from_x;
    y = from_y;
  }
  script.append(static_cast<size_t>(x), ' ');
  std::reverse(script.begin(), script.end());
  return script;
}

// The text of a line as a diff shows it: without its line break.
std::string_view shown(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

std::string range(size_t start, size_t count) {
  // A side with no lines names the line before it, as diff does.
  return std::to_string(count == 0 ? start : start + 1) + "," + std::to_string(count);
}

}  // namespace

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    end = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return lines;
}

std::vector<Hunk> diff_hunks(const std::vector<std::string_view>& old_lines,
                             const std::vector<std::string_view>& new_lines, size_t context) {
  std::vector<uint32_t> a;
  std::vector<uint32_t> b;
  number_lines(old_lines, new_lines, a, b);
  const std::string script = edit_script(a, b);
  // The old and new line at each step.
  std::vector<size_t> old_at(script.size() + 1, 0);
  std::vector<size_t> new_at(script.size() + 1, 0);
  for (size_t i = 0; i < script.size(); ++i) {
    old_at[i + 1] = old_at[i] + (script[i] != '+' ? 1 : 0);
    new_at[i + 1] = new_at[i] + (script[i] != '-' ? 1 : 0);
  }
  std::vector<Hunk> hunks;
  size_t at = 0;
  while (true) {
    while (at < script.size() && script[at] == ' ') ++at;
    if (at == script.size()) break;
    const size_t begin = at >= context ? at - context : 0;
    size_t end = at;
    for (;;) {
      while (end < script.size() && script[end] != ' ') ++end;
      size_t same = end;
      while (same < script.size() && script[same] == ' ') ++same;
      if (same < script.size() && same - end <= 2 * context) {
        end = same;
        continue;
      }
      end = std::min(end + context, script.size());
      break;
    }
    Hunk hunk;
    hunk.old_start = old_at[begin];
    hunk.new_start = new_at[begin];
    for (size_t i = begin; i < end; ++i) {
      const char kind = script[i];
      hunk.lines.push_back(
          DiffLine{kind, std::string(kind == '+' ? new_lines[new_at[i]] : old_lines[old_at[i]])});
      if (kind != '+') ++hunk.old_count;
      if (kind != '-') ++hunk.new_count;
    }
    hunks.push_back(std::move(hunk));
    at = end;
  }
  return hunks;
}

LineCounts count_lines(const std::vector<Hunk>& hunks) {
  LineCounts counts;
  for (const Hunk& hunk : hunks) {
    for (const DiffLine& line : hunk.lines) {
      if (line.kind == '+') ++counts.added;
      if (line.kind == '-') ++counts.removed;
    }
  }
  return counts;
}

Patched apply_hunks(std::string_view text, const std::vector<Hunk>& hunks, size_t line_offset) {
  const std::vector<std::string_view> lines = split_lines(text);
  struct Placed {
    size_t at;
    const Hunk* hunk;
  };
  std::vector<Placed> placed;
  Patched patched;
  size_t free_from = 0;  // lines before this are taken by an earlier hunk
  long long moved = 0;   // how far the last hunk stood from its place
  for (const Hunk& hunk : hunks) {
    std::vector<std::string_view> old_side;
    for (const DiffLine& line : hunk.lines) {
      if (line.kind != '+') old_side.push_back(line.text);
    }
    const long long wanted = static_cast<long long>(hunk.old_start + line_offset) + moved;
    std::optional<size_t> best;
    auto nearer = [&](size_t at) {
      return !best || std::llabs(static_cast<long long>(at) - wanted) <
                          std::llabs(static_cast<long long>(*best) - wanted);
    };
    for (size_t at = free_from; at + old_side.size() <= lines.size(); ++at) {
      if (nearer(at) && std::equal(old_side.begin(), old_side.end(), lines.begin() + at)) best = at;
    }
    if (!best) {
      patched.conflicts.push_back(&hunk);
      continue;
    }
    placed.push_back(Placed{*best, &hunk});
    moved = static_cast<long long>(*best) - static_cast<long long>(hunk.old_start + line_offset);
    free_from = *best + old_side.size();
  }
  if (!patched.conflicts.empty()) {
    patched.text = std::string(text);
    return patched;
  }
  size_t copied = 0;
  for (const Placed& place : placed) {
    for (; copied < place.at; ++copied) patched.text += lines[copied];
    for (const DiffLine& line : place.hunk->lines) {
      if (line.kind != '-') patched.text += line.text;
      if (line.kind != '+') ++copied;
    }
  }
  for (; copied < lines.size(); ++copied) patched.text += lines[copied];
  return patched;
}

std::string unified_diff(const std::vector<Hunk>& hunks, size_t line_offset, bool colour) {
  std::string out;
  for (const Hunk& hunk : hunks) {
    if (colour) out += CYAN;
    out += "@@ -" + range(hunk.old_start + line_offset, hunk.old_count) + " +" +
           range(hunk.new_start + line_offset, hunk.new_count) + " @@";
    if (colour) out += PLAIN;
    out += '\n';
    for (const DiffLine& line : hunk.lines) {
      const bool painted = colour && line.kind != ' ';
      if (painted) out += line.kind == '-' ? RED : GREEN;
      out += line.kind;
      out += shown(line.text);
      if (painted) out += PLAIN;
      out += '\n';
      if (!line.text.ends_with('\n')) out += "\\ No newline at end of file\n";
    }
  }
  return out;
}

}  // namespace kestil::folder
