// The tools that only read notes.
#pragma once

#include "arguments.h"

namespace kestil::folder {

ToolResult list_spaces(Call& call);
ToolResult get_context(Call& call);
ToolResult search_notes(Call& call);
ToolResult list_folder(Call& call);
ToolResult list_recent(Call& call);
ToolResult read_note(Call& call);
ToolResult get_backlinks(Call& call);
ToolResult list_tags(Call& call);
ToolResult notes_with_tag(Call& call);
ToolResult list_tasks(Call& call);

}  // namespace kestil::folder
