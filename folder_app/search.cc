#include "search.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>

namespace kestil::folder {
namespace {

// Occurrences kept per term for finding the snippet; counting goes on past it.
constexpr size_t KEPT_OCCURRENCES = 4096;
constexpr size_t SNIPPET_CONTEXT = 80;
constexpr size_t SNIPPET_MAX = 240;

struct Token {
  size_t begin = 0;
  size_t end = 0;
};

// The code point at `pos` and its length in bytes; a broken sequence reads as one byte.
std::pair<uint32_t, size_t> decode(std::string_view text, size_t pos) {
  auto byte = static_cast<unsigned char>(text[pos]);
  size_t length = byte < 0x80 ? 1 : byte < 0xe0 ? 2 : byte < 0xf0 ? 3 : 4;
  if (byte >= 0x80 && byte < 0xc0) return {byte, 1};
  if (pos + length > text.size()) return {byte, 1};
  uint32_t code = length == 1   ? byte
                  : length == 2 ? byte & 0x1f
                  : length == 3 ? byte & 0x0f
                                : byte & 0x07;
  for (size_t i = 1; i < length; ++i) {
    auto next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xc0) != 0x80) return {byte, 1};
    code = (code << 6) | (next & 0x3f);
  }
  return {code, length};
}

// Letters and digits of any script make words; ASCII punctuation, white space and the common
// punctuation blocks separate them.
constexpr bool is_word_code(uint32_t code) {
  if (code < 0x80) {
    return (code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z') ||
           (code >= '0' && code <= '9') || code == '_';
  }
  if (code >= 0x80 && code <= 0xbf) return code == 0xaa || code == 0xb5 || code == 0xba;
  if (code >= 0x2000 && code <= 0x206f) return false;
  if (code >= 0x3000 && code <= 0x303f) return false;
  if (code >= 0xff00 && code <= 0xff0f) return false;
  if (code >= 0xff1a && code <= 0xff20) return false;
  return code != 0xfeff;
}

constexpr std::array<bool, 128> ASCII_WORD = [] {
  std::array<bool, 128> table{};
  for (uint32_t c = 0; c < 128; ++c) table[c] = is_word_code(c);
  return table;
}();

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Calls `visit(token)` for each word of `text`, in order.
template <typename Visit>
void for_each_token(std::string_view text, Visit&& visit) {
  size_t pos = 0;
  size_t begin = std::string_view::npos;
  while (pos < text.size()) {
    auto byte = static_cast<unsigned char>(text[pos]);
    bool word;
    size_t length = 1;
    if (byte < 0x80) {
      word = ASCII_WORD[byte];
    } else {
      auto [code, size] = decode(text, pos);
      word = is_word_code(code);
      length = size;
    }
    if (word && begin == std::string_view::npos) begin = pos;
    if (!word && begin != std::string_view::npos) {
      visit(Token{begin, pos});
      begin = std::string_view::npos;
    }
    pos += length;
  }
  if (begin != std::string_view::npos) visit(Token{begin, text.size()});
}

std::vector<std::string> words_of(std::string_view text) {
  std::vector<std::string> words;
  for_each_token(text, [&](Token token) {
    std::string word(text.substr(token.begin, token.end - token.begin));
    std::transform(word.begin(), word.end(), word.begin(), lower);
    words.push_back(std::move(word));
  });
  return words;
}

bool starts_with_folded(std::string_view text, Token token, std::string_view word) {
  if (token.end - token.begin < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (lower(text[token.begin + i]) != word[i]) return false;
  }
  return true;
}

struct Occurrence {
  size_t token = 0;  // index of the term's first word
  size_t begin = 0;
  size_t end = 0;
};

// Every occurrence of each term in `text`, counted, and the first KEPT_OCCURRENCES kept.
struct Scan {
  std::vector<size_t> counts;
  std::vector<std::vector<Occurrence>> kept;
};

// Counts the terms' occurrences token by token. Most tokens start with a byte no query word
// starts with, so that test comes first and the matching itself stays out of the loop.
class Scanner {
 public:
  Scanner(const Query& query, std::string_view text)
      : query_(query), text_(text), active_(query.terms.size(), 0), recent_(MAX_QUERY_WORDS) {
    found.counts.assign(query.terms.size(), 0);
    found.kept.resize(query.terms.size());
    for (const std::vector<std::string>& words : query.terms) {
      for (const std::string& word : words) starts_[static_cast<unsigned char>(word[0])] = true;
    }
  }

  void token(Token token) {
    recent_[index_ % MAX_QUERY_WORDS] = token;
    if (starts_[static_cast<unsigned char>(lower(text_[token.begin]))]) {
      match(token);
    } else if (any_active_) {
      std::fill(active_.begin(), active_.end(), 0);
      any_active_ = false;
    }
    ++index_;
  }

  Scan found;

 private:
  void match(Token token) {
    char first = lower(text_[token.begin]);
    any_active_ = false;
    for (size_t t = 0; t < query_.terms.size(); ++t) {
      const std::vector<std::string>& words = query_.terms[t];
      uint32_t next = 0;
      // Bit k of active_[t]: the last k+1 tokens matched the term's first k+1 words.
      uint32_t candidates = (active_[t] << 1) | 1u;
      for (size_t k = 0; k < words.size(); ++k) {
        if ((candidates >> k & 1u) && words[k][0] == first &&
            starts_with_folded(text_, token, words[k])) {
          next |= 1u << k;
        }
      }
      if (next >> (words.size() - 1) & 1u) {
        ++found.counts[t];
        if (found.kept[t].size() < KEPT_OCCURRENCES) {
          size_t start = index_ + 1 - words.size();
          found.kept[t].push_back(
              Occurrence{start, recent_[start % MAX_QUERY_WORDS].begin, token.end});
        }
      }
      active_[t] = next;
      any_active_ = any_active_ || next != 0;
    }
  }

  const Query& query_;
  std::string_view text_;
  std::array<bool, 256> starts_{};
  std::vector<uint32_t> active_;
  bool any_active_ = false;
  std::vector<Token> recent_;
  size_t index_ = 0;
};

Scan scan(const Query& query, std::string_view text) {
  Scanner scanner(query, text);
  for_each_token(text, [&](Token token) { scanner.token(token); });
  return std::move(scanner.found);
}

struct FoldedHash {
  size_t operator()(char c) const { return static_cast<unsigned char>(lower(c)); }
};
struct FoldedEqual {
  bool operator()(char a, char b) const { return lower(a) == lower(b); }
};

// Whether `word` (lower case) appears anywhere in `text`, ignoring ASCII case: a quick test
// before the word by word scan, which most notes fail.
bool contains_folded(std::string_view text, const std::string& word) {
  std::boyer_moore_horspool_searcher searcher(word.begin(), word.end(), FoldedHash{},
                                              FoldedEqual{});
  return std::search(text.begin(), text.end(), searcher) != text.end();
}

bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

// Text from `begin` to `end`, widened to whole characters, white space runs made one space.
std::string excerpt(std::string_view text, size_t begin, size_t end) {
  while (begin > 0 && (static_cast<unsigned char>(text[begin]) & 0xc0) == 0x80) --begin;
  while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) ++end;
  std::string out = begin > 0 ? "…" : "";
  bool space = true;
  for (size_t i = begin; i < end; ++i) {
    if (is_space(text[i])) {
      if (!space) out += ' ';
      space = true;
    } else {
      out += text[i];
      space = false;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (end < text.size()) out += "…";
  return out;
}

// The smallest stretch of the body holding one occurrence of each term that occurs there.
std::string snippet_of(std::string_view body, const Scan& found) {
  std::vector<std::pair<Occurrence, size_t>> events;
  size_t needed = 0;
  for (size_t t = 0; t < found.kept.size(); ++t) {
    if (found.kept[t].empty()) continue;
    ++needed;
    for (const Occurrence& occurrence : found.kept[t]) events.emplace_back(occurrence, t);
  }
  if (needed == 0) return excerpt(body, 0, std::min(body.size(), SNIPPET_MAX / 2));
  std::sort(events.begin(), events.end(), [](const auto& a, const auto& b) {
    return a.first.token < b.first.token || (a.first.token == b.first.token && a.second < b.second);
  });
  std::vector<size_t> in_window(found.kept.size(), 0);
  size_t covered = 0;
  size_t best_begin = 0;
  size_t best_end = body.size() + 1;
  size_t left = 0;
  for (size_t right = 0; right < events.size(); ++right) {
    if (in_window[events[right].second]++ == 0) ++covered;
    while (covered == needed) {
      size_t begin = events[left].first.begin;
      size_t end = std::max(events[left].first.end, events[right].first.end);
      if (end - begin < best_end - best_begin) {
        best_begin = begin;
        best_end = end;
      }
      if (--in_window[events[left].second] == 0) --covered;
      ++left;
    }
  }
  size_t width = best_end - best_begin;
  size_t context = width >= SNIPPET_MAX ? 0 : std::min(SNIPPET_CONTEXT, (SNIPPET_MAX - width) / 2);
  size_t begin = best_begin > context ? best_begin - context : 0;
  size_t end = std::min(body.size(), std::max(best_end + context, begin + SNIPPET_MAX / 2));
  end = std::min(end, begin + SNIPPET_MAX);
  // Start and stop at a space when one is near, so words are not cut.
  size_t space = body.rfind(' ', best_begin);
  if (begin > 0 && space != std::string_view::npos && space >= begin && space < best_begin) {
    begin = space + 1;
  }
  size_t after = body.find(' ', end);
  if (after != std::string_view::npos && after < end + 20) end = after;
  return excerpt(body, begin, std::min(end, body.size()));
}

}  // namespace

std::variant<Query, std::string> parse_query(std::string_view text) {
  Query query;
  size_t count = 0;
  std::vector<std::string> single;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t quote = text.find('"', pos);
    std::string_view plain =
        text.substr(pos, quote == std::string_view::npos ? quote : quote - pos);
    for (std::string& word : words_of(plain)) {
      if (std::find(single.begin(), single.end(), word) != single.end()) continue;
      single.push_back(word);
      query.terms.push_back({std::move(word)});
      ++count;
    }
    if (quote == std::string_view::npos) break;
    size_t close = text.find('"', quote + 1);
    std::string_view quoted =
        text.substr(quote + 1, close == std::string_view::npos ? close : close - quote - 1);
    std::vector<std::string> phrase = words_of(quoted);
    count += phrase.size();
    if (!phrase.empty()) query.terms.push_back(std::move(phrase));
    if (close == std::string_view::npos) break;
    pos = close + 1;
  }
  if (count > MAX_QUERY_WORDS) {
    return "The query has " + std::to_string(count) + " words; use at most 16.";
  }
  if (count == 0) return std::string("The query has no words; give at least one word to find.");
  return query;
}

void for_each_word(std::string_view text, const std::function<void(size_t, size_t)>& visit) {
  for_each_token(text, [&](Token token) { visit(token.begin, token.end); });
}

std::optional<Match> match_note(const Query& query, std::string_view title, std::string_view body) {
  for (const std::vector<std::string>& words : query.terms) {
    if (!contains_folded(title, words[0]) && !contains_folded(body, words[0])) return std::nullopt;
  }
  Scan in_title = scan(query, title);
  Scan in_body = scan(query, body);
  Match match;
  for (size_t t = 0; t < query.terms.size(); ++t) {
    if (in_title.counts[t] == 0 && in_body.counts[t] == 0) return std::nullopt;
    if (in_title.counts[t] > 0) ++match.title_terms;
    match.occurrences += in_title.counts[t] + in_body.counts[t];
  }
  match.snippet = snippet_of(body, in_body);
  return match;
}

}  // namespace kestil::folder
