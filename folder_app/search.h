// Full-text search of one note: words matched as the start of a word, quoted phrases in order,
// and a snippet from where the words meet.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestil::folder {

// The most words a query may have.
inline constexpr size_t MAX_QUERY_WORDS = 16;

// A query: every term must appear. A term is one word, or the words of a quoted phrase that
// must appear one after another. Words are lower case (ASCII).
struct Query {
  std::vector<std::vector<std::string>> terms;
};

// Reads `text`: double quotes group a phrase, punctuation and spaces separate words, an
// unquoted word given twice counts once. Too many words or none give the sentence to show.
std::variant<Query, std::string> parse_query(std::string_view text);

// Calls `visit(begin, end)` with the byte range of each word of `text`, in order: the words
// parse_query and match_note see, so an index built from them finds what they find.
void for_each_word(std::string_view text, const std::function<void(size_t, size_t)>& visit);

// How one note matches a query.
struct Match {
  size_t title_terms = 0;  // terms found in the title
  size_t occurrences = 0;  // occurrences of all terms in title and body
  std::string snippet;     // from where the terms appear closest together in the body
};

// The match of `query` in a note, or none when some term appears in neither title nor body.
std::optional<Match> match_note(const Query& query, std::string_view title, std::string_view body);

}  // namespace kestil::folder
