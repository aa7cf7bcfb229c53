// The tool and prompt catalog and its fingerprint. Every text here is read by the
// assistant and hashed into the catalog hash that the app compares, so a change to any
// character is a change of the catalog.
#include "catalog.h"

#include <utility>

namespace kestil {
namespace {

constexpr std::string_view SPACE_DESCRIPTION =
    "Space name or id from list_spaces. Omit for the space open in kestil.";
constexpr std::string_view NOTE_DESCRIPTION =
    "Note id, or its path 'Folder/Sub/Title' (a bare title works when unique).";
constexpr std::string_view STYLE_DESCRIPTION =
    "A note's look, as read_note's style: line shows it.";

// "list_spaces" is how the assistant learns the space names, so it takes no space itself.
constexpr std::string_view SPACELESS_TOOL = "list_spaces";

constexpr size_t TOOL_COUNT = 17;

// The two behaviour flags of `tool`, named so that each catalog entry reads as a sentence.
constexpr bool READ_ONLY = true;
constexpr bool WRITES = false;
constexpr bool DESTRUCTIVE = true;
constexpr bool KEEPS_CONTENT = false;

constexpr std::string_view LIST_SPACES_DESCRIPTION =
    "List the kestil spaces (separate note collections) the AI connection may use on this "
    "device, with which one is open in kestil.";

constexpr std::string_view GET_CONTEXT_DESCRIPTION =
    "What the person is looking at in kestil right now: the open note and the selected text as "
    "Markdown. Call this first when the request says 'this note', 'here' or 'the selection'.";

constexpr std::string_view SEARCH_NOTES_DESCRIPTION =
    "Full-text search over note titles and bodies. Every word must appear (AND), each matched "
    "as the start of a word (so a Korean word is found with its particle attached). Words in "
    "double quotes must appear together in that order, e.g. \"기록 습관\"; there are no other "
    "operators. At most 16 words, each word of a quoted phrase counted and punctuation "
    "separating words (a repeated unquoted word counts once). Results are ranked by relevance. "
    "Returns note ids, titles, folder paths, last change and a snippet from where the words "
    "appear together.";

constexpr std::string_view LIST_FOLDER_DESCRIPTION =
    "List the subfolders and notes of a folder, given as id or path like 'Projects/2026'. Omit "
    "folder for the top level, which holds the sidebar's sections (kind section), the "
    "daily-notes folder (kind daily; if a sync left several, daily_target marks the one daily "
    "notes go into and an empty extra one is not listed) and notes outside any folder; folders "
    "inside a section are reached by listing the section. Folders come first, then notes, and "
    "limit counts both; continue with next_cursor.";

constexpr std::string_view LIST_RECENT_DESCRIPTION = "Notes most recently changed, newest first.";

constexpr std::string_view READ_NOTE_DESCRIPTION =
    "Read a note as Markdown, with its subtitle (description) and its look (style: width, "
    "backgrounds, title alignment, cover, icon, which header rows show) when it has them. Each "
    "top-level block is preceded by a comment like <!-- b3~1a2b3c -->: that is its ref for "
    "edit_note; indent=N, textAlign=… or textAlign(inside)=… after the ref are block settings, "
    "kept when you replace the block — and written the same way: a comment line like <!-- "
    "textAlign=center --> right before a block you write sets them. A callout reads as a quote "
    "starting with [!callout icon=\"…\" color=\"…\"]; a coloured highlight as <mark "
    "data-color=\"…\">, a text colour as <span data-color=\"…\">, underline as <u>, a bookmark "
    "card as <div data-bookmark data-url=\"…\" …></div> — keep them when you rewrite a block. "
    "Blocks marked opaque:<kind> (databases, drawings, images, PDFs…) cannot be changed. "
    "Returns a version; a long note continues with cursor.";

constexpr std::string_view GET_BACKLINKS_DESCRIPTION = "Notes that link to the given note.";

constexpr std::string_view LIST_TAGS_DESCRIPTION =
    "Tags in use in the space, most used first. A tag is an entry of a note's tag line.";

constexpr std::string_view NOTES_WITH_TAG_DESCRIPTION =
    "Notes that carry the given tag, with their folder paths.";

constexpr std::string_view LIST_TASKS_DESCRIPTION =
    "Checklist items across notes: open ones, or all with include_done. Optionally only inside "
    "one folder.";

constexpr std::string_view CREATE_NOTE_DESCRIPTION =
    "Create a note from Markdown, optionally inside a folder (id or path). Link other notes "
    "with [title](kestil://note/<id>); write a callout as a quote whose first line is "
    "[!callout] or [!callout icon=\"lucide:info\" color=\"blue\"]. Tags go in tags (the note's "
    "tag line, words without '#'); a #hashtag written in the Markdown is added to the tag line "
    "too and stays in the text. description is the subtitle shown under the title; style is "
    "the note's look as read_note shows it (copy it from a note to match). Block settings, "
    "callouts, colours and bookmarks are written as read_note shows them. To make a new note "
    "from an existing one (a translation, a rewrite), use duplicate_note instead: it keeps the "
    "look Markdown cannot carry.";

constexpr std::string_view DUPLICATE_NOTE_DESCRIPTION =
    "Copy a note into its own folder, right below it, keeping everything Markdown cannot "
    "carry: background, title alignment, cover and background images, width, callouts, images, "
    "embedded databases, tags. Optionally give the copy a new title and description "
    "(subtitle). To translate or rework a note into a new one, duplicate it, then read_note "
    "the copy and replace its blocks with edit_note. Returns the copy's id and version.";

constexpr std::string_view APPEND_TO_NOTE_DESCRIPTION =
    "Add Markdown at the end of a note. Pass the version from read_note if you read it first: "
    "it is only compared — changed_since_read says whether the note changed since — and the "
    "text is added either way.";

constexpr std::string_view APPEND_TO_DAILY_NOTE_DESCRIPTION =
    "Add Markdown to the daily note of a date (YYYY-MM-DD, default today), creating that daily "
    "note if needed, in the space given by space like every other tool (the one open in kestil "
    "when omitted).";

constexpr std::string_view EDIT_NOTE_DESCRIPTION =
    "Change a note block by block with refs from read_note. ops: {op:'replace',ref,markdown}, "
    "{op:'insert_after',ref|'start',markdown}, {op:'delete',ref}, {op:'append',markdown}. All "
    "ops apply together or none do. A stale_ref error means a block you named changed: read it "
    "again. version is the one read_note returned; it is not a lock — if the note changed "
    "since, the ops still apply to blocks whose refs still match, the result says "
    "changed_since_read, and edits the person makes at the same time are merged, not "
    "overwritten.";

constexpr std::string_view SET_NOTE_INFO_DESCRIPTION =
    "Change a note's subtitle (description) and its look (style) — the properties read_note "
    "shows as description: and style:. style takes the same keys and values (width, "
    "title_align, align, bg_color, note_bg_color, text_color, cover_image, background_image, "
    "cover_height, cover_spacing, cover_align, icon, type, zoom, visible); a key set to null "
    "is removed, and visible merges. Images are attachment ids from a note's style, never "
    "URLs. A subtitle set on a note that never said whether to show one is shown.";

constexpr std::string_view SET_TAGS_DESCRIPTION =
    "Add and remove tags on a note's tag line, which is what list_tags and notes_with_tag "
    "read. Give tags as words; a leading '#' is dropped. A #hashtag written with the other "
    "tools is added to the tag line as well; removing one takes this tool. Returns the note's "
    "tags afterwards.";

constexpr std::string_view DAILY_REVIEW_TEXT =
    "Using the kestil tools, collect the open tasks with list_tasks and today's changes with "
    "list_recent. Summarize what is planned and what is still open, and suggest what to do "
    "next. Do not write anything to kestil unless I ask.";

constexpr std::string_view WEEKLY_DIGEST_TEXT =
    "Using list_recent, find the kestil notes changed in the last 7 days, read the important "
    "ones, and draft a short weekly digest. Show it to me first; append it to today's daily "
    "note with append_to_daily_note only after I agree.";

// The summarize-note text is these two pieces around the quoted note reference.
constexpr std::string_view SUMMARIZE_OPENING = "Read the kestil note ";
constexpr std::string_view SUMMARIZE_CLOSING =
    " with read_note (follow cursor to the end) and summarize it in a few bullet points, in "
    "the note's language. Do not change the note.";

constexpr uint64_t FNV_OFFSET_BASIS = 0xcbf29ce484222325;
constexpr uint64_t FNV_PRIME = 0x100000001b3;

Json text(std::string_view value) {
  return std::string(value);
}

Json space_arg() {
  return {{"type", "string"}, {"description", text(SPACE_DESCRIPTION)}};
}

Json string_arg() {
  return {{"type", "string"}};
}

Json string_list_arg() {
  return {{"type", "array"}, {"items", string_arg()}};
}

Json integer_arg(int minimum) {
  return {{"type", "integer"}, {"minimum", minimum}};
}

// The date of a daily note, as YYYY-MM-DD; whether the date exists is left to the app.
Json date_arg() {
  return {{"type", "string"}, {"pattern", R"(^\d{4}-\d{2}-\d{2}$)"}};
}

// One operation of edit_note; which of ref and markdown an op needs is told in its text.
Json edit_op_schema() {
  Json properties = {
      {"op",
       {{"type", "string"},
        {"enum", Json::array({"replace", "insert_after", "delete", "append"})}}},
      {"ref", string_arg()},
      {"markdown", string_arg()},
  };
  return {
      {"type", "object"}, {"properties", std::move(properties)}, {"required", Json::array({"op"})}};
}

// Tools 1 to 10: they only read, so repeating a call is harmless.
void add_reading_tools(Json& list) {
  list.push_back(tool("list_spaces", "List spaces", LIST_SPACES_DESCRIPTION, Json::object(), {},
                      READ_ONLY, KEEPS_CONTENT));
  list.push_back(tool("get_context", "Current context", GET_CONTEXT_DESCRIPTION, Json::object(), {},
                      READ_ONLY, KEEPS_CONTENT));
  list.push_back(tool("search_notes", "Search notes", SEARCH_NOTES_DESCRIPTION,
                      {{"query", string_arg()}, {"limit", limit_arg()}}, {"query"}, READ_ONLY,
                      KEEPS_CONTENT));
  list.push_back(
      tool("list_folder", "List folder", LIST_FOLDER_DESCRIPTION,
           {{"folder", string_arg()}, {"cursor", integer_arg(0)}, {"limit", limit_arg()}}, {},
           READ_ONLY, KEEPS_CONTENT));
  list.push_back(tool("list_recent", "Recent notes", LIST_RECENT_DESCRIPTION,
                      {{"limit", limit_arg()}}, {}, READ_ONLY, KEEPS_CONTENT));
  list.push_back(
      tool("read_note", "Read note", READ_NOTE_DESCRIPTION,
           {{"note", note_arg()}, {"cursor", integer_arg(0)}, {"max_chars", integer_arg(1000)}},
           {"note"}, READ_ONLY, KEEPS_CONTENT));
  list.push_back(tool("get_backlinks", "Backlinks", GET_BACKLINKS_DESCRIPTION,
                      {{"note", note_arg()}}, {"note"}, READ_ONLY, KEEPS_CONTENT));
  list.push_back(tool("list_tags", "List tags", LIST_TAGS_DESCRIPTION,
                      {{"query", string_arg()}, {"limit", limit_arg()}}, {}, READ_ONLY,
                      KEEPS_CONTENT));
  list.push_back(tool("notes_with_tag", "Notes with tag", NOTES_WITH_TAG_DESCRIPTION,
                      {{"tag", string_arg()}, {"limit", limit_arg()}}, {"tag"}, READ_ONLY,
                      KEEPS_CONTENT));
  list.push_back(tool(
      "list_tasks", "List tasks", LIST_TASKS_DESCRIPTION,
      {{"include_done", {{"type", "boolean"}}}, {"folder", string_arg()}, {"limit", limit_arg()}},
      {}, READ_ONLY, KEEPS_CONTENT));
}

// Tools 11 to 17: they write. Only edit_note may replace or remove what is there; the
// others add to a note or set its info.
void add_writing_tools(Json& list) {
  list.push_back(tool("create_note", "Create note", CREATE_NOTE_DESCRIPTION,
                      {{"title", string_arg()},
                       {"markdown", string_arg()},
                       {"description", string_arg()},
                       {"style", style_arg()},
                       {"folder", string_arg()},
                       {"tags", string_list_arg()}},
                      {"title"}, WRITES, KEEPS_CONTENT));
  list.push_back(
      tool("duplicate_note", "Duplicate note", DUPLICATE_NOTE_DESCRIPTION,
           {{"note", note_arg()}, {"title", string_arg()}, {"description", string_arg()}}, {"note"},
           WRITES, KEEPS_CONTENT));
  list.push_back(tool("append_to_note", "Append to note", APPEND_TO_NOTE_DESCRIPTION,
                      {{"note", note_arg()}, {"markdown", string_arg()}, {"version", string_arg()}},
                      {"note", "markdown"}, WRITES, KEEPS_CONTENT));
  list.push_back(tool(
      "append_to_daily_note", "Append to daily note", APPEND_TO_DAILY_NOTE_DESCRIPTION,
      {{"markdown", string_arg()}, {"date", date_arg()}}, {"markdown"}, WRITES, KEEPS_CONTENT));
  list.push_back(tool("edit_note", "Edit note", EDIT_NOTE_DESCRIPTION,
                      {{"note", note_arg()},
                       {"version", string_arg()},
                       {"ops", {{"type", "array"}, {"items", edit_op_schema()}}}},
                      {"note", "version", "ops"}, WRITES, DESTRUCTIVE));
  list.push_back(tool("set_note_info", "Set note info", SET_NOTE_INFO_DESCRIPTION,
                      {{"note", note_arg()}, {"description", string_arg()}, {"style", style_arg()}},
                      {"note"}, WRITES, KEEPS_CONTENT));
  list.push_back(
      tool("set_tags", "Set tags", SET_TAGS_DESCRIPTION,
           {{"note", note_arg()}, {"add", string_list_arg()}, {"remove", string_list_arg()}},
           {"note"}, WRITES, KEEPS_CONTENT));
}

Json user_message(std::string message_text) {
  Json message = {{"role", "user"},
                  {"content", {{"type", "text"}, {"text", std::move(message_text)}}}};
  return {{"messages", Json::array({std::move(message)})}};
}

}  // namespace

Json tool(std::string_view name, std::string_view title, std::string_view description,
          Json properties, const std::vector<std::string_view>& required, bool read_only,
          bool destructive) {
  Json arguments = properties.is_object() ? std::move(properties) : Json::object();
  if (name != SPACELESS_TOOL) {
    arguments["space"] = space_arg();
  }
  Json required_names = Json::array();
  for (std::string_view argument : required) required_names.push_back(text(argument));
  Json input_schema = {{"type", "object"},
                       {"properties", std::move(arguments)},
                       {"required", std::move(required_names)}};
  // Idempotent only when read-only: a repeated write appends or creates a second time.
  Json annotations = {{"title", text(title)},
                      {"readOnlyHint", read_only},
                      {"destructiveHint", destructive},
                      {"idempotentHint", read_only},
                      {"openWorldHint", false}};
  return {{"name", text(name)},
          {"title", text(title)},
          {"description", text(description)},
          {"inputSchema", std::move(input_schema)},
          {"annotations", std::move(annotations)}};
}

Json note_arg() {
  return {{"type", "string"}, {"description", text(NOTE_DESCRIPTION)}};
}

Json limit_arg() {
  return {{"type", "integer"}, {"minimum", 1}};
}

Json style_arg() {
  return {{"type", "object"}, {"description", text(STYLE_DESCRIPTION)}};
}

Json tools() {
  Json list = Json::array();
  list.get_ref<Json::array_t&>().reserve(TOOL_COUNT);
  add_reading_tools(list);
  add_writing_tools(list);
  return list;
}

Json prompts() {
  Json note_argument = {
      {"name", "note"}, {"description", "Note title, path or id"}, {"required", true}};
  return Json::array({
      {{"name", "daily-review"},
       {"title", "Daily review"},
       {"description", "Summarize today's changes and the open tasks in kestil."}},
      {{"name", "summarize-note"},
       {"title", "Summarize a note"},
       {"description", "Summarize one kestil note."},
       {"arguments", Json::array({std::move(note_argument)})}},
      {{"name", "weekly-digest"},
       {"title", "Weekly digest"},
       {"description", "Draft a digest of the notes changed in the last 7 days."}},
  });
}

std::optional<Json> prompt_messages(std::string_view name, const Json& arguments) {
  if (name == "daily-review") return user_message(std::string(DAILY_REVIEW_TEXT));
  if (name == "weekly-digest") return user_message(std::string(WEEKLY_DIGEST_TEXT));
  if (name != "summarize-note" || !arguments.is_object()) return std::nullopt;
  auto note = arguments.find("note");
  if (note == arguments.end() || !note->is_string()) return std::nullopt;
  const std::string& reference = note->get_ref<const std::string&>();
  if (reference.empty()) return std::nullopt;
  // The reference goes in as given; the assistant, not the server, resolves it with read_note.
  std::string message_text(SUMMARIZE_OPENING);
  message_text += '"';
  message_text += reference;
  message_text += '"';
  message_text += SUMMARIZE_CLOSING;
  return user_message(std::move(message_text));
}

uint64_t fnv1a_64(std::string_view bytes) {
  uint64_t hash = FNV_OFFSET_BASIS;
  for (char byte : bytes) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= FNV_PRIME;
  }
  return hash;
}

std::string to_hex(uint64_t value, int digits) {
  constexpr char HEX_DIGITS[] = "0123456789abcdef";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = HEX_DIGITS[value & 0xf];
  return text;
}

const std::string& tools_text() {
  static const std::string text = to_compact(tools());
  return text;
}

const std::string& prompts_text() {
  static const std::string text = to_compact(prompts());
  return text;
}

const std::string& catalog_hash() {
  static const std::string digits = to_hex(fnv1a_64(tools_text() + prompts_text()), 16);
  return digits;
}

}  // namespace kestil
