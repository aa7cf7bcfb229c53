// Front matter: the YAML block between two "---" lines at the top of a note. Read with the YAML
// library; changed one key at a time, with every line of every other key kept byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "outcome.h"
#include "protocol.h"

namespace kestil::folder {

// What the app reads from a note's front matter.
struct FrontMatter {
  std::string id;  // empty when the note has none: its id then comes from its path
  std::string description;
  std::vector<std::string> tags;     // from a block list, a flow list or a comma line
  std::vector<std::string> aliases;  // from a block list, a flow list or a single value
  Json style = Json::object();
  std::string problem;  // why the block cannot be read as YAML keys; empty when it can
};

// Where the body of `raw` begins, found without reading the YAML: 0 when `raw` has no complete
// front matter block.
size_t front_matter_end(std::string_view raw);

// Reads the front matter at the top of `raw` into `meta` and returns where the body begins: 0
// when `raw` has no complete block. A block that is not valid YAML still ends where its closing
// line does, and `meta.problem` says why its keys could not be read.
size_t read_front_matter(std::string_view raw, FrontMatter& meta);

// A note's bytes: `head` (its bytes up to where its body begins) with the id, description, tags
// and style of `wanted`, then `body`. Only the lines of a key whose value changes are
// rewritten, in the form they already have (a block list stays a block list, a flow list a
// flow list, a comma line a comma line); a new key goes at the end of the block and a key
// emptied is removed. A head without front matter gets the smallest block that holds the
// change. Fails, changing nothing, when a key must change and the block cannot be read as YAML
// keys.
Outcome<std::string> with_front_matter(std::string_view head, const FrontMatter& wanted,
                                       std::string_view body);

}  // namespace kestil::folder
