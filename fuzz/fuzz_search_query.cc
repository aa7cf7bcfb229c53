// A search query as the assistant might type it, through the query parser, the full-text query
// built from it and FTS5 over a small index: no crash, the index answers every query the parser
// accepts, and search_notes answers a result or a clear error, never a full-text syntax error.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "index/note_index.h"
#include "search.h"
#include "tools.h"

using namespace kestil;
using namespace kestil::folder;

namespace {

const std::pair<const char*, const char*> NOTES[] = {
    {"Plan.md", "---\nid: aaaaaaaaaaaa\ntags: q3\n---\n# Plan\n\nShip the app \"by\" Friday.\n"},
    {"기록.md", "기록 습관을 만들자. NEAR AND OR NOT title:body ^x *\n"},
    {"Notes/Snake.md", "snake_case words, under_score and AND-ed \"quotes\".\n"},
};

// The spaces, with an index built over them once for the whole run.
const std::vector<Space>& spaces() {
  static const std::vector<Space> made = [] {
    char pattern[] = "/tmp/kestil-fuzz-search-XXXXXX";
    std::string base = ::mkdtemp(pattern);
    ::mkdir((base + "/space").c_str(), 0700);
    ::mkdir((base + "/space/Notes").c_str(), 0700);
    for (const auto& [path, text] : NOTES) std::ofstream(base + "/space/" + path) << text;
    auto spaces = std::get<std::vector<Space>>(open_spaces({base + "/space"}));
    auto opened = NoteIndex::open(spaces[0], base + "/index.sqlite");
    KESTIL_CHECK(std::holds_alternative<std::shared_ptr<NoteIndex>>(opened));
    spaces[0].index = std::get<std::shared_ptr<NoteIndex>>(opened);
    spaces[0].index->reconcile(nullptr);
    KESTIL_CHECK(spaces[0].index->ready());
    return spaces;
  }();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  NoteIndex& index = *spaces()[0].index;
  std::variant<Query, std::string> parsed = parse_query(text);
  if (const Query* query = std::get_if<Query>(&parsed)) {
    KESTIL_CHECK(index.search(*query, 0, 20).has_value());
    KESTIL_CHECK(index.search_count(*query).has_value());
  }
  ToolResult result = call_tool(spaces(), "search_notes", Json{{"query", text}});
  KESTIL_CHECK(result.is_error || parse_json(result.text).has_value());
  KESTIL_CHECK(result.text.find("fts5") == std::string::npos);
  KESTIL_CHECK(index.ready());
  return 0;
}
