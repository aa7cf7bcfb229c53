#include "tools.h"

namespace kestil::folder {

std::variant<std::vector<Space>, std::string> open_spaces(const std::vector<std::string>& dirs) {
  std::vector<Space> spaces;
  for (const std::string& dir : dirs) spaces.push_back(Space{dir, dir});
  return spaces;
}

ToolResult call_tool(const std::vector<Space>&, std::string_view name, const Json&) {
  return ToolResult{"not implemented yet: " + std::string(name), true};
}

}  // namespace kestil::folder
