#include "links.h"

#include <gtest/gtest.h>

#include <map>

#include "names.h"

namespace kestil::folder {
namespace {

// A space held in a map: path -> {id, aliases}.
class TableNotes : public NoteLookup {
 public:
  struct Entry {
    std::string id;
    std::vector<std::string> aliases;
  };
  explicit TableNotes(std::map<std::string, Entry> notes) : notes_(std::move(notes)) {}

  std::optional<std::string> existing(std::string_view path) const override {
    for (const auto& [p, entry] : notes_) {
      if (nfc(p) == nfc(path)) return p;
    }
    return std::nullopt;
  }
  std::vector<std::string> titled(std::string_view key) const override {
    std::vector<std::string> found;
    for (const auto& [p, entry] : notes_) {
      if (name_key(p.substr(p.rfind('/') + 1)) == key) found.push_back(p);
    }
    return found;
  }
  std::vector<std::string> aliased(std::string_view key) const override {
    std::vector<std::string> found;
    for (const auto& [p, entry] : notes_) {
      for (const std::string& alias : entry.aliases) {
        if (name_key(alias) == key) found.push_back(p);
      }
    }
    return found;
  }
  std::optional<std::string> with_id(std::string_view id) const override {
    for (const auto& [p, entry] : notes_) {
      if (entry.id == id) return p;
    }
    return std::nullopt;
  }
  std::optional<std::string> id_at(std::string_view path) const override {
    auto found = notes_.find(std::string(path));
    if (found == notes_.end()) return std::nullopt;
    return found->second.id;
  }

 private:
  std::map<std::string, Entry> notes_;
};

const TableNotes NOTES({
    {"Plan", {"id-top", {}}},
    {"Projects/Plan", {"id-projects", {}}},
    {"Projects/Deep/Plan", {"id-deep", {}}},
    {"Archive/Old/Plan", {"id-old", {}}},
    {"Projects/Other note", {"id-other", {"Roadmap"}}},
    {"Journal/서울 여행", {"id-seoul", {}}},
    {"Solo/Unique", {"id-unique", {"Only One"}}},
    {"Solo/Idea", {"id-idea", {}}},
    {"Projects/Deep/Idea", {"id-deep-idea", {}}},
});

// The notes each link written in the note "Projects/Deep/From" leads to, in order.
std::vector<std::string> targets(std::string_view body, std::string_view from) {
  std::vector<std::string> found;
  for (const Link& link : links_in(body, from)) {
    std::optional<std::string> path = resolve_link(link, from, NOTES);
    found.push_back(path ? *path : "(none)");
  }
  return found;
}

TEST(Links, FormsAndResolution) {
  struct Case {
    const char* body;
    const char* from;
    std::vector<std::string> expected;
  };
  const Case CASES[] = {
      // A bare name: exact path, then the linking note's folder, then the shortest path.
      {"[[Plan]]", "Projects/Deep/From", {"Plan"}},
      {"[[Projects/Plan]]", "Archive/From", {"Projects/Plan"}},
      {"[[Deep/Plan]]", "Projects/From", {"Projects/Deep/Plan"}},
      {"[[Unique]]", "Projects/From", {"Solo/Unique"}},
      {"[[Idea]]", "Projects/Deep/From", {"Projects/Deep/Idea"}},
      {"[[Idea]]", "Projects/From", {"Solo/Idea"}},
      {"[[unique]] and [[UNIQUE|shown]]", "From", {"Solo/Unique", "Solo/Unique"}},
      {"[[Old/Plan#Heading]] ![[Unique]] [[Unique#^ab12cd]]",
       "From",
       {"Archive/Old/Plan", "Solo/Unique", "Solo/Unique"}},
      {"[[Other note|text]] [[Roadmap]] [[Only One]]",
       "Solo/From",
       {"Projects/Other note", "Projects/Other note", "Solo/Unique"}},
      {"[[Missing]] [[#Heading]] [[]]", "From", {"(none)"}},
      {"| [[Unique\\|alias]] |", "From", {"Solo/Unique"}},
      // NFD spelling of 서울 여행 finds the NFC note.
      {"[[\xe1\x84\x89\xe1\x85\xa5\xe1\x84\x8b\xe1\x85\xae\xe1\x86\xaf \xec\x97\xac\xed\x96\x89]]",
       "From",
       {"Journal/서울 여행"}},
      // Relative Markdown links, percent-decoded, against the linking note's folder.
      {"[a](Other%20note.md) [b](../Plan.md) [c](<../Projects/Other note.md>)",
       "Projects/From",
       {"Projects/Other note", "Plan", "Projects/Other note"}},
      {"[a](./Deep/Plan.md#part \"title\") [b](/Plan.md)",
       "Projects/From",
       {"Projects/Deep/Plan", "Plan"}},
      {"[a](../../Plan.md) [b](https://x.org/Plan.md) [c](Plan.txt) [d](Plan.md", "Projects/F", {}},
      {"[a](kestil://note/id-other) and kestil://note/id-seoul, kestil://note/nope",
       "From",
       {"Projects/Other note", "Journal/서울 여행", "(none)"}},
      // Nothing inside code counts.
      {"`[[Plan]]` ``a ` [[Unique]]`` [[Plan]]\n\n```\n[[Unique]]\n```\n", "From", {"Plan"}},
      {"` [[Plan]]", "From", {"Plan"}},
  };
  for (const Case& c : CASES) {
    EXPECT_EQ(targets(c.body, c.from), c.expected) << c.body;
  }
}

TEST(Links, EditorAndAssistantForms) {
  struct Case {
    const char* from;
    const char* assistant;  // as the assistant writes and reads it
    const char* editor;     // as it is stored in the file
  };
  const Case CASES[] = {
      {"Projects/New", "See [x](kestil://note/id-other).", "See [x](Other%20note.md)."},
      {"New", "[x](kestil://note/id-deep)", "[x](Projects/Deep/Plan.md)"},
      {"Archive/Old/New", "[x](kestil://note/id-top)", "[x](../../Plan.md)"},
      {"Projects/Deep/New", "[x](kestil://note/id-seoul)", "[x](../../Journal/서울%20여행.md)"},
  };
  for (const Case& c : CASES) {
    EXPECT_EQ(links_for_editor(c.assistant, c.from, NOTES), c.editor) << c.assistant;
    EXPECT_EQ(links_for_assistant(c.editor, c.from, NOTES), c.assistant) << c.editor;
  }
  // Left as written: an unknown id, a bare id link outside a Markdown link, a link with an anchor.
  for (const char* kept :
       {"[x](kestil://note/unknown)", "kestil://note/id-top", "`[x](kestil://note/id-top)`"}) {
    EXPECT_EQ(links_for_editor(kept, "New", NOTES), kept);
  }
  for (const char* kept : {"[x](Plan.md#Part)", "[x](Missing.md)", "`[x](Plan.md)`"}) {
    EXPECT_EQ(links_for_assistant(kept, "New", NOTES), kept);
  }
}

}  // namespace
}  // namespace kestil::folder
