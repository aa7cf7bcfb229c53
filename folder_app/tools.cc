#include "tools.h"

#include <algorithm>
#include <map>

#include "arguments.h"
#include "catalog.h"
#include "deadline.h"
#include "index/note_index.h"
#include "journal.h"
#include "names.h"
#include "store.h"
#include "tools_read.h"
#include "tools_write.h"

namespace kestil::folder {
namespace {

using Tool = ToolResult (*)(Call&);

const std::map<std::string, Tool, std::less<>>& tool_table() {
  static const std::map<std::string, Tool, std::less<>> TOOLS = {
      {"list_spaces", list_spaces},
      {"get_context", get_context},
      {"search_notes", search_notes},
      {"list_folder", list_folder},
      {"list_recent", list_recent},
      {"read_note", read_note},
      {"get_backlinks", get_backlinks},
      {"list_tags", list_tags},
      {"notes_with_tag", notes_with_tag},
      {"list_tasks", list_tasks},
      {"create_note", create_note},
      {"duplicate_note", duplicate_note},
      {"append_to_note", append_to_note},
      {"append_to_daily_note", append_to_daily_note},
      {"edit_note", edit_note},
      {"set_note_info", set_note_info},
      {"set_tags", set_tags},
  };
  return TOOLS;
}

// The tools that write a note; each names the note it wrote in its result's "path".
bool writes(std::string_view name) {
  static constexpr std::string_view WRITE_TOOLS[] = {
      "create_note", "duplicate_note", "append_to_note", "append_to_daily_note",
      "edit_note",   "set_note_info",  "set_tags"};
  return std::find(std::begin(WRITE_TOOLS), std::end(WRITE_TOOLS), name) != std::end(WRITE_TOOLS);
}

// The app's own write reaches the index at once, before the reply, so the next call sees it.
// The note is on disk by now, so nothing here may turn the call into an error: were the
// refresh to fail, the watcher and the next reconcile bring the index up to date.
void tell_index(const Space& space, const ToolResult& result) noexcept {
  const DeadlineLifted written_already;
  try {
    std::optional<Json> written = parse_json(result.text);
    if (written && written->is_object() && written->contains("path") &&
        (*written)["path"].is_string()) {
      space.index->refresh((*written)["path"].get<std::string>(), std::chrono::seconds(1));
    }
  } catch (const std::exception&) {
  }
}

// What a caller can narrow in a call of each tool, from the arguments the catalog gives it.
std::map<std::string, std::string, std::less<>> narrowing_advice() {
  static const std::pair<const char*, const char*> WAYS[] = {
      {"query", "a more specific query"},
      {"folder", "a folder"},
      {"limit", "a smaller limit"},
      {"note", "the note's path instead of its title or id"},
  };
  std::map<std::string, std::string, std::less<>> advice;
  for (const Json& tool : tools()) {
    const Json& properties = tool["inputSchema"]["properties"];
    std::vector<std::string> ways;
    for (const auto& [argument, way] : WAYS) {
      if (properties.contains(argument)) ways.emplace_back(way);
    }
    std::string text;
    for (size_t i = 0; i < ways.size(); ++i) {
      text += (i == 0 ? "" : i + 1 == ways.size() ? " or " : ", ") + ways[i];
    }
    advice[tool["name"].get<std::string>()] = text;
  }
  return advice;
}

ToolResult run(const std::vector<Space>& spaces, std::string_view name, const Json& arguments,
               const BeforeRename& before_rename) {
  auto tool = tool_table().find(name);
  if (tool == tool_table().end()) {
    return ToolResult{"Unknown tool '" + excerpt(name) + "'; tools/list names the tools.", true};
  }
  if (spaces.empty())
    return ToolResult{"No space is open; start the app with a notes folder.", true};
  // A call that waited its whole time for its turn stops before it starts.
  check_deadline();
  Arguments checked(arguments);
  const Space* space = &spaces.front();
  if (name != "list_spaces" && checked.has("space")) {
    std::string wanted = checked.text("space", false);
    auto found = std::find_if(spaces.begin(), spaces.end(),
                              [&](const Space& s) { return s.name == wanted; });
    if (found == spaces.end() && !checked.failure()) {
      std::string names;
      for (const Space& s : spaces) names += (names.empty() ? "" : ", ") + s.name;
      checked.fail("No space '" + excerpt(wanted) + "'; list_spaces shows them: " + names + ".");
    }
    if (found != spaces.end()) space = &*found;
  }
  if (checked.failure()) return failure(*checked.failure());
  std::optional<JournalRecord> record;
  if (space->journal && writes(name)) {
    record.emplace(*space->journal, *space, std::string(name), change_summary(name, arguments));
  }
  Call call{spaces, *space, checked, before_rename, record ? &*record : nullptr};
  ToolResult result = tool->second(call);
  if (!result.is_error && space->index && writes(name)) tell_index(*space, result);
  return result;
}

}  // namespace

ToolResult stopped_at_deadline(std::string_view name) {
  static const auto ADVICE = narrowing_advice();
  auto advice = ADVICE.find(name);
  std::string text = std::string(name) + " took too long and was stopped; ";
  if (advice == ADVICE.end() || advice->second.empty()) {
    text += "try again in a moment.";
  } else {
    text += "narrow it: give " + advice->second + ".";
  }
  return ToolResult{std::move(text), true};
}

std::variant<std::vector<Space>, std::string> open_spaces(const std::vector<std::string>& dirs) {
  std::vector<Space> spaces;
  if (dirs.empty()) return std::string("Give at least one notes folder.");
  for (const std::string& dir : dirs) {
    std::optional<std::string> root = folder_root(dir);
    if (!root) return "The notes folder '" + dir + "' does not exist or is not a folder.";
    std::string name = *root == "/" ? "/" : root->substr(root->rfind('/') + 1);
    for (const Space& other : spaces) {
      if (other.name == name) {
        return "Two notes folders are both named '" + name + "'; give folders with distinct names.";
      }
    }
    Space space;
    space.name = name;
    space.root = *root;
    spaces.push_back(std::move(space));
  }
  return spaces;
}

ToolResult call_tool(const std::vector<Space>& spaces, std::string_view name,
                     const Json& arguments) {
  return call_tool(spaces, name, arguments, nullptr);
}

ToolResult call_tool(const std::vector<Space>& spaces, std::string_view name, const Json& arguments,
                     const std::function<bool()>& before_rename) {
  try {
    return run(spaces, name, arguments, before_rename);
  } catch (const DeadlinePassed&) {
    return stopped_at_deadline(name);
  } catch (const std::exception& problem) {
    return ToolResult{
        std::string("The call failed inside the app (") + problem.what() + "); try again.", true};
  }
}

}  // namespace kestil::folder
