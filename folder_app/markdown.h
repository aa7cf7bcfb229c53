// What the app reads out of a note's Markdown: its top-level blocks and their refs, hashtags,
// checklist items.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestil::folder {

// One top-level block: a paragraph, list, quote or table (lines up to a blank line), a heading
// line, or a fenced code block. `begin` and `end` are byte offsets into the body; the text
// excludes the newline that ends its last line.
struct Block {
  size_t begin = 0;
  size_t end = 0;
  std::string_view text;
};

std::vector<Block> split_blocks(std::string_view body);

// A byte range [begin, end) of a body.
struct Span {
  size_t begin = 0;
  size_t end = 0;
};

// The parts of `body` that are code, in order: fenced blocks and `code spans`. Tags and links
// written there are only shown, not meant.
std::vector<Span> code_spans(std::string_view body);

// 6 hex digits of a block's text.
std::string block_hash(std::string_view text);

// "b3~1a2b3c" for the block at `index` (counted from 0; refs count from 1).
std::string block_ref(size_t index, std::string_view text);

// A ref taken apart: the block number counted from 0 and the hash. Accepts "b3~1a2b3c" and the
// whole comment "<!-- b3~1a2b3c -->".
struct Ref {
  size_t index = 0;
  std::string hash;
};
std::optional<Ref> parse_ref(std::string_view text);

// The block `ref` names: its own number while the hash still matches there, else the one block
// that now carries that hash (blocks above it were added or removed). None when it changed.
std::optional<size_t> find_block(const std::vector<Block>& blocks, const Ref& ref);

// A planned change of a note's blocks: per block whether it goes, its replacement and what
// follows it, plus what comes before the first block and after the last.
struct BlockEdit {
  std::vector<bool> removed;
  std::vector<std::optional<std::string>> replaced;
  std::vector<std::vector<std::string>> after;
  std::vector<std::string> at_start;
  std::vector<std::string> at_end;
};

// The body with `edit` applied, every byte outside the changed blocks kept: the spacing
// between blocks that stay, what comes before the first and after the last. New text takes
// the line break of the block it replaces or follows; `newline` where the body has none.
std::string apply_block_edit(std::string_view body, const std::vector<Block>& blocks,
                             const BlockEdit& edit, std::string_view newline);

// `body` with `markdown` added at its end after a blank line, all of `body` kept; the new text
// ends with a line break when `body` did, in the line break of its last line.
std::string appended(std::string_view body, std::string_view markdown, std::string_view newline);

// Markdown the assistant wrote, without ref comment lines it may have copied from read_note and
// without leading and trailing blank lines.
std::string clean_markdown(std::string_view markdown);

// A tag without a leading '#' as tags are compared: NFC and case-folded.
std::string tag_key(std::string_view tag);

// The #hashtags written in `markdown` outside code, without '#', each once, in order: Unicode
// letters, digits, '_', '-' and '/' for nesting ("project/alpha"), not digits only.
std::vector<std::string> hashtags(std::string_view markdown);

// A checklist item: "- [ ] text" or "- [x] text".
struct Task {
  size_t block = 0;
  std::string text;
  bool done = false;
};
std::vector<Task> tasks(const std::vector<Block>& blocks);

}  // namespace kestil::folder
