// The note app's tools: each call is answered from the Markdown files of the spaces it serves.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol.h"

namespace kestil::folder {

class Journal;
class NoteIndex;

// One space: a folder of Markdown notes. Its name is the folder's name.
struct Space {
  std::string name;
  std::string root;        // absolute and canonical, without a trailing "/"
  bool read_only = false;  // every write tool refuses, nothing on disk changes
  // Answers "which notes?" without reading every file; null (or not ready yet): scan the files.
  std::shared_ptr<NoteIndex> index;
  // Where every change to a note is recorded before it is made; null: changes go unrecorded.
  std::shared_ptr<Journal> journal;
};

// What one tool call gives back: the one text the assistant reads, and whether it failed.
struct ToolResult {
  std::string text;
  bool is_error = false;
};

// Opens `dirs` as spaces, the first being the open one. On failure, the message to print.
std::variant<std::vector<Space>, std::string> open_spaces(const std::vector<std::string>& dirs);

// Runs tool `name` with `arguments` (the call's "arguments", any JSON type) on `spaces`. Never
// throws: an unknown tool, bad arguments or a failed write come back as an is_error result whose
// text says what to fix.
ToolResult call_tool(const std::vector<Space>& spaces, std::string_view name,
                     const Json& arguments);

// The error a call `name` answers when its deadline passes: it stopped, and what to narrow.
ToolResult stopped_at_deadline(std::string_view name);

// The same, with `before_rename` called in every write after the temporary file is flushed
// and before it replaces the note; returning false stops the write there as a crash would.
// Tests use it to check that such a crash leaves the old note whole.
ToolResult call_tool(const std::vector<Space>& spaces, std::string_view name, const Json& arguments,
                     const std::function<bool()>& before_rename);

}  // namespace kestil::folder
