#include "markdown.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include "catalog.h"
#include "names.h"

namespace kestil::folder {
namespace {

// A longer #word is not taken for a tag: the tag line keeps to tags a person could type.
constexpr size_t MAX_TAG_BYTES = 100;

bool is_blank(std::string_view line) {
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

std::string_view strip_indent(std::string_view line, size_t most) {
  size_t spaces = 0;
  while (spaces < most && spaces < line.size() && line[spaces] == ' ') ++spaces;
  return line.substr(spaces);
}

// The fence a line opens or closes ("```" or "~~~~" ...), or empty.
std::string_view fence_of(std::string_view line) {
  line = strip_indent(line, 3);
  if (line.empty() || (line[0] != '`' && line[0] != '~')) return {};
  size_t count = 0;
  while (count < line.size() && line[count] == line[0]) ++count;
  return count >= 3 ? line.substr(0, count) : std::string_view{};
}

bool is_heading(std::string_view line) {
  line = strip_indent(line, 3);
  size_t hashes = 0;
  while (hashes < line.size() && line[hashes] == '#') ++hashes;
  return hashes >= 1 && hashes <= 6 && (hashes == line.size() || line[hashes] == ' ');
}

bool is_ref_comment(std::string_view line) {
  line = strip_indent(line, 3);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
  return line.starts_with("<!--") && line.ends_with("-->") && parse_ref(line).has_value();
}

bool is_hex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The tag whose '#' is at `at`: the letters, marks, digits, '_', '-' and '/' after it, without
// a trailing '/' or '-'. Empty when none follows.
std::string_view tag_at(std::string_view text, size_t at) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  size_t end = at + 1;
  while (end < text.size()) {
    utf8proc_int32_t c = 0;
    utf8proc_ssize_t used =
        utf8proc_iterate(bytes + end, static_cast<utf8proc_ssize_t>(text.size() - end), &c);
    if (used <= 0 || !is_tag_character(static_cast<char32_t>(c))) break;
    end += static_cast<size_t>(used);
  }
  std::string_view tag = text.substr(at + 1, end - at - 1);
  while (!tag.empty() && (tag.back() == '/' || tag.back() == '-')) tag.remove_suffix(1);
  return tag;
}

// A '#' starts a tag at the start of a line or after a space or '(', but not as the anchor of a
// link "[text](#part)".
bool may_start_tag(std::string_view text, size_t at) {
  if (at == 0) return true;
  char before = text[at - 1];
  if (before == '(') return at < 2 || text[at - 2] != ']';
  return before == ' ' || before == '\t' || before == '\n';
}

bool only_digits(std::string_view tag) {
  return std::all_of(tag.begin(), tag.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<Block> split_blocks(std::string_view body) {
  std::vector<Block> blocks;
  size_t block_begin = std::string_view::npos;
  size_t last_end = 0;
  std::string_view open_fence;
  auto close_block = [&]() {
    if (block_begin == std::string_view::npos) return;
    blocks.push_back(
        Block{block_begin, last_end, body.substr(block_begin, last_end - block_begin)});
    block_begin = std::string_view::npos;
  };
  size_t pos = 0;
  while (pos < body.size()) {
    size_t newline = body.find('\n', pos);
    size_t line_end = newline == std::string_view::npos ? body.size() : newline;
    std::string_view line = body.substr(pos, line_end - pos);
    size_t text_end = line.ends_with('\r') ? line_end - 1 : line_end;
    if (!open_fence.empty()) {
      std::string_view fence = fence_of(line);
      if (!fence.empty() && fence[0] == open_fence[0] && fence.size() >= open_fence.size() &&
          is_blank(strip_indent(line, 3).substr(fence.size()))) {
        open_fence = {};
        last_end = text_end;
        close_block();
      } else {
        last_end = text_end;
      }
    } else if (is_blank(line)) {
      close_block();
    } else if (!fence_of(line).empty()) {
      close_block();
      block_begin = pos;
      last_end = text_end;
      open_fence = fence_of(line);
    } else if (is_heading(line)) {
      close_block();
      block_begin = pos;
      last_end = text_end;
      close_block();
    } else {
      if (block_begin == std::string_view::npos) block_begin = pos;
      last_end = text_end;
    }
    pos = line_end + 1;
  }
  close_block();
  return blocks;
}

std::vector<Span> code_spans(std::string_view body) {
  std::vector<Span> spans;
  for (const Block& block : split_blocks(body)) {
    if (!fence_of(block.text).empty()) {
      spans.push_back(Span{block.begin, block.end});
      continue;
    }
    // A run of n backticks opens a span that the next run of exactly n closes; a run that is
    // never closed is only backticks.
    std::string_view text = block.text;
    size_t at = text.find('`');
    while (at != std::string_view::npos) {
      size_t run = text.find_first_not_of('`', at);
      size_t length = (run == std::string_view::npos ? text.size() : run) - at;
      size_t close = run;
      while (close != std::string_view::npos) {
        close = text.find('`', close);
        if (close == std::string_view::npos) break;
        size_t close_end = text.find_first_not_of('`', close);
        if (close_end == std::string_view::npos) close_end = text.size();
        if (close_end - close == length) break;
        close = close_end;
      }
      if (close == std::string_view::npos) {
        at = run == std::string_view::npos ? run : text.find('`', run);
        continue;
      }
      spans.push_back(Span{block.begin + at, block.begin + close + length});
      at = text.find('`', close + length);
    }
  }
  return spans;
}

std::string block_hash(std::string_view text) {
  return to_hex(fnv1a_64(text), 6);
}

std::string block_ref(size_t index, std::string_view text) {
  // Appended piece by piece: GCC 12 at -O2 flags `"b" + std::to_string(...)` with a false
  // -Wrestrict, which a warnings-as-errors build refuses.
  std::string ref = "b";
  ref += std::to_string(index + 1);
  ref += '~';
  ref += block_hash(text);
  return ref;
}

std::optional<Ref> parse_ref(std::string_view text) {
  if (text.starts_with("<!--") && text.ends_with("-->")) text = text.substr(4, text.size() - 7);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  // Block settings may follow the ref inside a copied comment.
  text = text.substr(0, text.find(' '));
  size_t tilde = text.find('~');
  if (text.size() < 2 || text[0] != 'b' || tilde == std::string_view::npos || tilde < 2 ||
      tilde > 10) {
    return std::nullopt;
  }
  std::string_view number = text.substr(1, tilde - 1);
  std::string_view hash = text.substr(tilde + 1);
  if (!std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      hash.size() != 6 || !is_hex(hash)) {
    return std::nullopt;
  }
  size_t value = std::stoul(std::string(number));
  if (value == 0) return std::nullopt;
  return Ref{value - 1, std::string(hash)};
}

std::optional<size_t> find_block(const std::vector<Block>& blocks, const Ref& ref) {
  if (ref.index < blocks.size() && block_hash(blocks[ref.index].text) == ref.hash) {
    return ref.index;
  }
  std::optional<size_t> moved;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (block_hash(blocks[i].text) != ref.hash) continue;
    if (moved) return std::nullopt;  // two blocks carry it: no telling which was meant
    moved = i;
  }
  return moved;
}

namespace {

// The line break that ends the line at `at` in `text` (else the last one before it), or
// `otherwise` when the text has none.
std::string_view line_break_after(std::string_view text, size_t at, std::string_view otherwise) {
  size_t newline = text.find('\n', std::min(at, text.size()));
  if (newline == std::string_view::npos) newline = text.rfind('\n');
  if (newline == std::string_view::npos) return otherwise;
  return newline > 0 && text[newline - 1] == '\r' ? "\r\n" : "\n";
}

// `markdown` with every line break written as `newline`.
std::string with_line_breaks(std::string_view markdown, std::string_view newline) {
  std::string text;
  for (size_t i = 0; i < markdown.size(); ++i) {
    if (markdown[i] == '\r' && i + 1 < markdown.size() && markdown[i + 1] == '\n') continue;
    if (markdown[i] == '\n') {
      text += newline;
    } else {
      text += markdown[i];
    }
  }
  return text;
}

}  // namespace

std::string appended(std::string_view body, std::string_view markdown, std::string_view newline) {
  std::string text(body);
  bool ends_line = body.empty() || body.ends_with('\n');
  newline = line_break_after(body, body.empty() ? 0 : body.size() - 1, newline);
  if (!ends_line) text += newline;
  // A blank line before the new text, unless the note ends with one already.
  std::string_view last = std::string_view(text).substr(0, text.empty() ? 0 : text.size() - 1);
  last = last.substr(last.rfind('\n') == std::string_view::npos ? 0 : last.rfind('\n') + 1);
  if (!text.empty() && !is_blank(last)) text += newline;
  text += with_line_breaks(markdown, newline);
  if (ends_line) text += newline;
  return text;
}

std::string apply_block_edit(std::string_view body, const std::vector<Block>& blocks,
                             const BlockEdit& edit, std::string_view newline) {
  if (blocks.empty()) {
    std::string out(body);
    for (const std::string& text : edit.at_start) out = appended(out, text, newline);
    for (const std::string& text : edit.at_end) out = appended(out, text, newline);
    return out;
  }
  struct Piece {
    std::string text;
    std::string_view newline;  // the line break where it stands
    size_t block = SIZE_MAX;   // the block whose place it takes, replaced or not
  };
  std::vector<Piece> pieces;
  auto add = [&](std::string_view text, size_t near, size_t block) {
    std::string_view line_break = line_break_after(body, near, newline);
    pieces.push_back(Piece{with_line_breaks(text, line_break), line_break, block});
  };
  for (const std::string& text : edit.at_start) add(text, 0, SIZE_MAX);
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (edit.replaced[i]) {
      add(*edit.replaced[i], blocks[i].begin, i);
    } else if (!edit.removed[i]) {
      pieces.push_back(Piece{std::string(blocks[i].text), {}, i});
    }
    for (const std::string& text : edit.after[i]) add(text, blocks[i].end, SIZE_MAX);
  }
  // What lies before the first block and after the last stays where it is.
  std::string out(body.substr(0, blocks.front().begin));
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& before = i > 0 ? pieces[i - 1] : pieces[i];
    const Piece& piece = pieces[i];
    // Between two blocks of the note, the spacing they had (after a removed block, the
    // spacing before it); around new text, a blank line.
    if (i > 0 && before.block != SIZE_MAX && piece.block != SIZE_MAX) {
      out += body.substr(blocks[before.block].end,
                         blocks[before.block + 1].begin - blocks[before.block].end);
    } else if (i > 0) {
      std::string_view line_break = before.block == SIZE_MAX ? before.newline : piece.newline;
      out += line_break;
      out += line_break;
    }
    out += piece.text;
  }
  out += body.substr(blocks.back().end);
  for (const std::string& text : edit.at_end) out = appended(out, text, newline);
  return out;
}

std::string clean_markdown(std::string_view markdown) {
  std::string kept;
  size_t pos = 0;
  while (pos <= markdown.size()) {
    size_t newline = markdown.find('\n', pos);
    std::string_view line = markdown.substr(
        pos, newline == std::string_view::npos ? std::string_view::npos : newline - pos);
    if (!is_ref_comment(line)) {
      kept += line;
      kept += '\n';
    }
    if (newline == std::string_view::npos) break;
    pos = newline + 1;
  }
  size_t first = 0;
  while (first < kept.size()) {
    size_t newline = kept.find('\n', first);
    if (!is_blank(std::string_view(kept).substr(first, newline - first))) break;
    first = newline + 1;
  }
  kept.erase(0, first);
  while (!kept.empty() && (kept.back() == '\n' || kept.back() == ' ' || kept.back() == '\r' ||
                           kept.back() == '\t')) {
    kept.pop_back();
  }
  return kept;
}

std::string tag_key(std::string_view tag) {
  if (!tag.empty() && tag.front() == '#') tag.remove_prefix(1);
  return name_key(tag);
}

std::vector<std::string> hashtags(std::string_view markdown) {
  std::vector<std::string> found;
  std::unordered_set<std::string> keys;
  std::vector<Span> code = code_spans(markdown);
  size_t next_code = 0;
  for (size_t at = markdown.find('#'); at != std::string_view::npos;
       at = markdown.find('#', at + 1)) {
    while (next_code < code.size() && code[next_code].end <= at) ++next_code;
    if (next_code < code.size() && code[next_code].begin <= at) {
      at = code[next_code].end - 1;
      continue;
    }
    if (!may_start_tag(markdown, at)) continue;
    std::string_view tag = tag_at(markdown, at);
    if (tag.empty() || only_digits(tag) || tag.size() > MAX_TAG_BYTES) continue;
    if (keys.insert(tag_key(tag)).second) found.emplace_back(tag);
    at += tag.size();
  }
  return found;
}

std::vector<Task> tasks(const std::vector<Block>& blocks) {
  std::vector<Task> found;
  for (size_t index = 0; index < blocks.size(); ++index) {
    std::string_view rest = blocks[index].text;
    if (!fence_of(rest).empty()) continue;
    while (!rest.empty()) {
      size_t newline = rest.find('\n');
      std::string_view line = rest.substr(0, newline);
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      if (line.ends_with('\r')) line.remove_suffix(1);
      if (line.size() >= 5 && (line[0] == '-' || line[0] == '*' || line[0] == '+') &&
          line.substr(1, 2) == " [" && line[4] == ']' &&
          (line[3] == ' ' || line[3] == 'x' || line[3] == 'X') &&
          (line.size() == 5 || line[5] == ' ')) {
        std::string_view text = line.size() > 6 ? line.substr(6) : std::string_view{};
        found.push_back(Task{index, std::string(text), line[3] != ' '});
      }
      if (newline == std::string_view::npos) break;
      rest.remove_prefix(newline + 1);
    }
  }
  return found;
}

}  // namespace kestil::folder
