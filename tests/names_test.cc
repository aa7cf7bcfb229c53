#include "names.h"

#include <gtest/gtest.h>

#include "markdown.h"

namespace kestil::folder {
namespace {

// "서울 여행" composed (NFC) and decomposed (NFD, as a Mac names files).
const std::string SEOUL_NFC = "\xec\x84\x9c\xec\x9a\xb8 \xec\x97\xac\xed\x96\x89";
const std::string SEOUL_NFD =
    "\xe1\x84\x89\xe1\x85\xa5\xe1\x84\x8b\xe1\x85\xae\xe1\x86\xaf "
    "\xe1\x84\x8b\xe1\x85\xa7\xe1\x84\x92\xe1\x85\xa2\xe1\x86\xbc";

TEST(Names, OneSpelling) {
  EXPECT_NE(SEOUL_NFC, SEOUL_NFD);
  EXPECT_EQ(nfc(SEOUL_NFD), SEOUL_NFC);
  EXPECT_EQ(nfc(SEOUL_NFC), SEOUL_NFC);
  EXPECT_EQ(nfc("Cafe\xcc\x81"), "Caf\xc3\xa9");                // e + combining acute
  EXPECT_EQ(name_key("Caf\xc3\x89 Plan"), "caf\xc3\xa9 plan");  // É folds to é
  EXPECT_EQ(name_key("CAFE\xcc\x81"), name_key("caf\xc3\xa9"));
  EXPECT_NE(name_key("Plan"), name_key("Plan2"));
  EXPECT_EQ(nfc("bad \xff byte"), "bad \xff byte");  // not UTF-8: left alone
}

// A name that is not UTF-8 is listed in a form that names it back, and no other name.
TEST(Names, ListedForms) {
  const std::pair<std::string, std::string> CASES[] = {
      {"Caf\xe9", "Caf%E9"},  // Latin-1
      {"50% \xff\xfe", "50%25 %FF%FE"},
      {"\xed\xa0\x80 half", "%ED%A0%80 half"},   // a UTF-16 surrogate in UTF-8 clothes
      {"caf\xc3\xa9 100%", "caf\xc3\xa9 100%"},  // UTF-8 stays as it is, '%' too
  };
  for (const auto& [name, listed] : CASES) {
    EXPECT_EQ(listed_name(name), listed) << name;
    EXPECT_EQ(unlisted_name(listed), name) << listed;
  }
  for (const char* not_listed : {"Caf%e9", "100%25", "%41", "Caf%E9%80%80", "Caf%E", "%"}) {
    EXPECT_EQ(unlisted_name(not_listed), not_listed);
  }
  EXPECT_EQ(listed_path("A\xff/B/Caf\xe9"), "A%FF/B/Caf%E9");
  EXPECT_EQ(unlisted_path("A%FF/B/Caf%E9"), "A\xff/B/Caf\xe9");
}

TEST(Names, InputLimits) {
  struct Case {
    const char* kind;
    std::string given;
    bool accepted;
  };
  const Case CASES[] = {
      {"title", "Weekly plan", true},
      {"title", SEOUL_NFC, true},
      {"title", std::string(200, 'a'), true},
      {"title", std::string(201, 'a'), false},
      {"title", "red \x1b[31m text", false},  // C0 escape
      {"title", "tab\there", false},
      {"title", "del\x7f", false},
      {"title", "c1 \xc2\x85 next line", false},              // U+0085
      {"title", "c1 \xc2\xa0 no-break space", true},          // U+00A0 is no control
      {"title", "evil\xe2\x80\xaegnp.exe", false},            // U+202E right-to-left override
      {"title", "isolate \xe2\x81\xa6x\xe2\x81\xa9", false},  // U+2066, U+2069
      {"title", "mark \xe2\x80\x8f ok", true},                // U+200F mark, no override
      {"title", "bad \xff utf8", false},
      {"folder", "Projects 2026", true},
      {"folder", "Pro\x1bjects", false},
      {"folder", "Pro\xe2\x80\xabjects", false},  // U+202B
      {"tag", "project/alpha", true},
      {"tag", "기록", true},
      {"tag", std::string(100, 't'), true},
      {"tag", std::string(101, 't'), false},
      {"tag", "two words", false},
      {"tag", "ideographic\xe3\x80\x80space", false},  // U+3000
      {"tag", std::string("nul\0byte", 8), false},
      {"tag", "bell\a", false},
  };
  for (const Case& c : CASES) {
    std::string kind = c.kind;
    std::optional<std::string> problem = kind == "title"    ? title_problem(c.given)
                                         : kind == "folder" ? folder_name_problem(c.given)
                                                            : tag_problem(c.given);
    EXPECT_EQ(!problem, c.accepted) << kind << " " << c.given << ": " << problem.value_or("");
    EXPECT_LT(problem.value_or("").size(), 400u);
  }
}

TEST(Names, ExcerptKeepsTwoHundredCharacters) {
  EXPECT_EQ(excerpt(std::string(200, 'x')), std::string(200, 'x'));
  EXPECT_EQ(excerpt(std::string(201, 'x')), std::string(200, 'x') + "…");
  std::string korean;
  for (int i = 0; i < 300; ++i) korean += "기";
  std::string cut = excerpt(korean);
  EXPECT_EQ(cut.size(), 200u * 3 + 3) << "cut on a character boundary, then …";
  EXPECT_EQ(excerpt(std::string(10 << 20, 'x')).size(), 203u);
}

TEST(Names, Hashtags) {
  struct Case {
    const char* markdown;
    std::vector<std::string> tags;
  };
  const Case CASES[] = {
      {"#plan and #Plan, #project/alpha", {"plan", "project/alpha"}},
      {"#기록 #café #über_2 #a-b", {"기록", "café", "über_2", "a-b"}},
      {"#123 #2026 #v2 #2026-q1", {"v2", "2026-q1"}},
      {"(#inside) [x](#anchor) a#b http://x.org/#frag", {"inside"}},
      {"## Heading with #tag\n\n# Title", {"tag"}},
      {"`#code` ``a ` #span`` #after", {"after"}},
      {"```\n#fenced\n```\n\n~~~\n#tilde\n~~~\n#outside", {"outside"}},
      {"#trailing/ #dash- #end.", {"trailing", "dash", "end"}},
      {"#tag。next #tag2—x", {"tag", "tag2"}},
      {"# not a tag, #", {}},
  };
  for (const Case& c : CASES) EXPECT_EQ(hashtags(c.markdown), c.tags) << c.markdown;
  EXPECT_TRUE(hashtags("#" + std::string(101, 'l')).empty());
  EXPECT_EQ(hashtags("#" + std::string(100, 'l')).size(), 1u);
  EXPECT_EQ(tag_key("#Caf\xc3\x89"), tag_key("cafe\xcc\x81"));
}

}  // namespace
}  // namespace kestil::folder
