// The tools that change notes.
#pragma once

#include "arguments.h"

namespace kestil::folder {

ToolResult create_note(Call& call);
ToolResult duplicate_note(Call& call);
ToolResult append_to_note(Call& call);
ToolResult append_to_daily_note(Call& call);
ToolResult edit_note(Call& call);
ToolResult set_note_info(Call& call);
ToolResult set_tags(Call& call);

}  // namespace kestil::folder
