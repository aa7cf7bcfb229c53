#include "vault_space.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <span>
#include <string_view>
#include <vector>

namespace kestil::bench {
namespace {

namespace fs = std::filesystem;

// Changing what is written changes this, so an older space on disk is made again.
constexpr int LAYOUT = 1;
constexpr std::size_t NOTE_BYTES = 2000;
constexpr std::size_t DAILY_BYTES = 1000;
constexpr int DAILY_EVERY = 10;  // note i is a daily note when i % 10 == 9
constexpr int HUBS = 20;         // notes 0..19 draw a share of every note's links
constexpr int TAIL_WORDS = 20000;
constexpr int64_t LAST_DAY = 20793;  // 2026-12-06, in days since 1970-01-01
constexpr int64_t SPAN_SECONDS = 3 * 365 * 86400;

// splitmix64: small, fast and the same everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  bool chance(double p) { return unit() < p; }

 private:
  uint64_t state_;
};

// The head of the vocabulary, most frequent first; TAIL_WORDS made-up words follow.
constexpr std::string_view WORDS_LIST[] = {
    "the",     "and",       "to",       "of",       "a",        "in",       "for",      "on",
    "with",    "meeting",   "is",       "that",     "we",       "it",       "this",     "at",
    "be",      "from",      "as",       "by",       "about",    "next",     "team",     "plan",
    "notes",   "week",      "project",  "need",     "will",     "should",   "call",     "review",
    "budget",  "idea",      "time",     "work",     "today",    "follow",   "up",       "draft",
    "list",    "check",     "update",   "design",   "read",     "write",    "garden",   "house",
    "trip",    "book",      "client",   "report",   "sprint",   "release",  "bug",      "fix",
    "feature", "question",  "answer",   "decision", "reason",   "option",   "cost",     "price",
    "order",   "ship",      "travel",   "train",    "coffee",   "lunch",    "dinner",   "friend",
    "family",  "health",    "run",      "walk",     "sleep",    "doctor",   "habit",    "goal",
    "quarter", "month",     "year",     "morning",  "evening",  "weekend",  "office",   "home",
    "desk",    "chair",     "lamp",     "window",   "kitchen",  "paint",    "wall",     "floor",
    "roof",    "door",      "car",      "bike",     "map",      "city",     "river",    "mountain",
    "forest",  "beach",     "photo",    "camera",   "music",    "song",     "film",     "story",
    "chapter", "page",      "quote",    "author",   "article",  "paper",    "research", "data",
    "chart",   "model",     "test",     "result",   "summary",  "outline",  "agenda",   "minutes",
    "action",  "owner",     "deadline", "risk",     "issue",    "scope",    "metric",   "growth",
    "hiring",  "interview", "roadmap",  "vision",   "strategy", "customer", "partner",  "contract",
    "invoice", "account",   "recipe",   "bread",    "soup",     "tea",      "seed",     "tomato",
    "basil",   "battery",   "server",   "database", "language"};
constexpr std::span<const std::string_view> WORDS{WORDS_LIST};
constexpr std::size_t FIRST_TITLE_WORD = 21;  // titles skip the little words

// No z, q or x: made-up words never spell the rare word or the driver's markers.
constexpr std::array<std::string_view, 24> SYLLABLES = {
    "ka",  "ro", "mi",  "ten", "vel", "dor", "lin", "sa",  "per", "no", "bu", "ger",
    "tal", "fi", "mon", "ra",  "be",  "sul", "ko",  "ven", "di",  "lo", "ma", "tre"};

constexpr std::array<std::string_view, 40> TAGS = {
    "project", "idea",   "reading",  "health",   "work",    "home",      "travel",  "finance",
    "garden",  "family", "writing",  "research", "todo",    "later",     "someday", "learning",
    "cooking", "music",  "film",     "book",     "fitness", "design",    "code",    "planning",
    "journal", "weekly", "personal", "house",    "car",     "kids",      "school",  "friends",
    "art",     "photo",  "language", "korean",   "urgent",  "quarterly", "meeting", "waiting"};

constexpr std::array<std::string_view, 8> KOREAN = {"오늘 회의에서 예산 검토를 마쳤다.",
                                                    "다음 주에는 정원 계획을 다시 세우자.",
                                                    "기록 습관을 만들자.",
                                                    "책을 읽고 요약을 남겼다.",
                                                    "프로젝트 일정이 조금 늦어지고 있다.",
                                                    "저녁에는 가족과 산책을 했다.",
                                                    "새로운 아이디어를 메모해 두었다.",
                                                    "커피를 마시며 보고서를 썼다."};

constexpr std::array<std::string_view, 8> TOP_FOLDERS = {
    "Projects", "Areas", "Resources", "Archive", "Meetings", "Journal", "People", "Reading"};

// Rank-frequency as in real text (Zipf, exponent 1).
class Zipf {
 public:
  explicit Zipf(std::size_t size) : cumulative_(size) {
    double sum = 0;
    for (std::size_t rank = 0; rank < size; ++rank) cumulative_[rank] = sum += 1.0 / (rank + 1);
  }
  std::size_t draw(Random& random) const {
    const double at = random.unit() * cumulative_.back();
    return std::min<std::size_t>(
        std::upper_bound(cumulative_.begin(), cumulative_.end(), at) - cumulative_.begin(),
        cumulative_.size() - 1);
  }

 private:
  std::vector<double> cumulative_;
};

const std::vector<std::string>& vocabulary() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> all(WORDS.begin(), WORDS.end());
    for (int rank = 0; rank < TAIL_WORDS; ++rank) {
      std::string word;
      for (int n = rank, parts = 2 + rank % 3; parts > 0; --parts, n /= SYLLABLES.size()) {
        word += SYLLABLES[n % SYLLABLES.size()];
      }
      all.push_back(word + std::string(SYLLABLES[rank % 7]));
    }
    return all;
  }();
  return words;
}

std::string capitalised(std::string_view word) {
  std::string text(word);
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

std::string hex_id(uint64_t seed) {
  char text[13];
  std::snprintf(text, sizeof text, "%012llx",
                static_cast<unsigned long long>(Random(seed ^ 0x1d).next() & 0xffffffffffffULL));
  return text;
}

// Civil date of a day count since 1970-01-01 (Howard Hinnant's algorithm).
std::string date_of(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day));
  return text;
}

bool is_daily(int i) {
  return i % DAILY_EVERY == DAILY_EVERY - 1;
}

// Where every note lives and what it is called; notes `notes` and `notes + 1` are the
// driver's scratch and outside-change notes in Inbox.
struct Layout {
  std::vector<std::string> folders;
  std::vector<std::string> paths;  // without ".md"
  std::vector<std::string> titles;
  std::vector<std::string> ids;  // empty: the note has no front matter
};

Layout make_layout(int notes) {
  Layout layout;
  Random random(0x5eed);
  const auto& words = vocabulary();
  std::set<std::string> taken;
  for (std::string_view top : TOP_FOLDERS) layout.folders.emplace_back(top);
  const int folder_count = std::max<int>(TOP_FOLDERS.size(), notes / 100);
  for (int k = TOP_FOLDERS.size(); k < folder_count; ++k) {
    std::string parent = layout.folders[random.below(k)];
    if (std::count(parent.begin(), parent.end(), '/') >= 3) parent = TOP_FOLDERS[k % 8];
    std::string name =
        capitalised(WORDS[FIRST_TITLE_WORD + random.below(WORDS.size() - FIRST_TITLE_WORD)]) + " " +
        words[WORDS.size() + random.below(TAIL_WORDS)];
    std::string path = parent + "/" + name;
    if (!taken.insert(path).second) path += " " + std::to_string(k);
    layout.folders.push_back(path);
  }
  taken.clear();
  for (int i = 0; i < notes + 2; ++i) {
    std::string title, folder;
    if (i >= notes) {
      title = std::string(i == notes ? SCRATCH_NOTE : OUTSIDE_NOTE).substr(6);
      folder = "Inbox";
    } else if (is_daily(i)) {
      title = date_of(LAST_DAY - i / DAILY_EVERY);
      folder = "Daily";
    } else {
      const int length = 2 + random.below(3);
      for (int w = 0; w < length; ++w) {
        const std::size_t pick = FIRST_TITLE_WORD + random.below(WORDS.size() - FIRST_TITLE_WORD);
        title += w == 0 ? capitalised(WORDS[pick]) : " " + std::string(WORDS[pick]);
      }
      if (!taken.insert(title).second) title += " " + std::to_string(i);
      folder = layout.folders[random.below(layout.folders.size())];
    }
    layout.titles.push_back(title);
    layout.paths.push_back(folder + "/" + title);
    layout.ids.push_back(i < notes && is_daily(i) ? "" : hex_id(i));
  }
  return layout;
}

class NoteWriter {
 public:
  NoteWriter(const Layout& layout, int notes, int i)
      : layout_(layout), notes_(notes), i_(i), random_(0xabcdef ^ (uint64_t(i) * 0x9e37)) {}

  std::string text() {
    if (i_ < notes_ && is_daily(i_)) return daily();
    std::string out =
        "---\nid: " + layout_.ids[i_] + "\ndescription: " + sentence(6, false) + "\ntags: ";
    const int tags = 1 + random_.below(3);
    for (int t = 0; t < tags; ++t) out += (t ? ", " : "") + std::string(tag());
    out += "\n---\n# " + layout_.titles[i_] + "\n\n";
    if (i_ % 33 == 5) out += "The " + std::string(PHRASE) + " is on Thursday. ";
    if (notes_ >= 5 && i_ % (notes_ / 5) == 3) out += "A " + std::string(RARE_WORD) + " sighting. ";
    while (out.size() < NOTE_BYTES) {
      if (random_.chance(0.15)) out += "## " + capitalised(sentence(3, false)) + "\n\n";
      out += paragraph() + "\n\n";
      if (random_.chance(0.3)) out += tasks() + "\n";
      if (random_.chance(0.2))
        out += std::string(KOREAN[random_.below(KOREAN.size())]) + " " +
               std::string(KOREAN[random_.below(KOREAN.size())]) + "\n\n";
    }
    return out;
  }

 private:
  std::string daily() {
    std::string out = "# " + layout_.titles[i_] + "\n\n" + tasks() + "\n";
    while (out.size() < DAILY_BYTES) out += paragraph() + "\n\n";
    return out;
  }

  std::string_view word() {
    static const Zipf zipf(vocabulary().size());
    return vocabulary()[zipf.draw(random_)];
  }

  std::string_view tag() {
    static const Zipf zipf(TAGS.size());
    return TAGS[zipf.draw(random_)];
  }

  std::string sentence(int least, bool stop) {
    std::string out = capitalised(word());
    for (int n = least + random_.below(8); n > 0; --n) (out += " ") += word();
    return stop ? out + "." : out;
  }

  // A link to a hub now and then, else to any note; as an id link or a [[name]].
  std::string link() {
    static const Zipf hubs(HUBS);
    const int target =
        random_.chance(0.5) ? static_cast<int>(hubs.draw(random_)) % notes_ : random_.below(notes_);
    const std::string& title = layout_.titles[target];
    if (layout_.ids[target].empty() || random_.chance(0.5)) return "[[" + title + "]]";
    return "[" + title + "](kestil://note/" + layout_.ids[target] + ")";
  }

  std::string paragraph() {
    std::string out;
    for (int n = 2 + random_.below(4); n > 0; --n) {
      out += sentence(5, false);
      if (random_.chance(0.12)) out += " #" + std::string(tag());
      if (random_.chance(0.2)) out += ", see " + link();
      out += n > 1 ? ". " : ".";
    }
    return out;
  }

  std::string tasks() {
    std::string out;
    for (int n = 1 + random_.below(4); n > 0; --n) {
      out += random_.chance(0.4) ? "- [x] " : "- [ ] ";
      out += sentence(3, false);
      if (random_.chance(0.3)) out += " #" + std::string(tag());
      out += "\n";
    }
    return out;
  }

  const Layout& layout_;
  int notes_;
  int i_;
  Random random_;
};

int64_t mtime_of(int notes, int i) {
  return (LAST_DAY + 1) * 86400 - SPAN_SECONDS + SPAN_SECONDS * int64_t(i) / (notes + 2);
}

bool write_note(const std::string& root, const Layout& layout, int notes, int i) {
  const std::string file = root + "/" + layout.paths[i] + ".md";
  const std::string text = NoteWriter(layout, notes, i).text();
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const timespec times[2] = {{mtime_of(notes, i), 0}, {mtime_of(notes, i), 0}};
  ::futimens(fd, times);
  return ::close(fd) == 0 && written;
}

std::string marker_of(int notes) {
  return "layout " + std::to_string(LAYOUT) + ", " + std::to_string(notes) + " notes\n";
}

}  // namespace

VaultFacts vault_facts(int notes) {
  const Layout layout = make_layout(notes);
  int sample = notes / 2;
  if (is_daily(sample)) --sample;
  return VaultFacts{layout.titles[0], layout.ids[sample], layout.paths[sample], layout.ids[notes]};
}

bool ensure_vault(const std::string& root, int notes) {
  const Layout layout = make_layout(notes);
  const std::string marker = root + ".complete";
  std::string found;
  std::getline(std::ifstream(marker), found);
  std::error_code ignored;
  if (found + "\n" != marker_of(notes)) {
    std::fprintf(stderr, "vault: writing %d notes to %s\n", notes, root.c_str());
    fs::remove(marker, ignored);
    fs::remove_all(root, ignored);
    fs::create_directories(root + "/Daily");
    fs::create_directories(root + "/Inbox");
    for (const std::string& folder : layout.folders) fs::create_directories(root + "/" + folder);
    for (int i = 0; i < notes; ++i) {
      if (!write_note(root, layout, notes, i)) return false;
      if ((i + 1) % 20000 == 0) std::fprintf(stderr, "vault: %d of %d notes\n", i + 1, notes);
    }
    if (!(std::ofstream(marker) << marker_of(notes))) return false;
  }
  fs::remove(root + "/" + OUTSIDE_NEW_NOTE + ".md", ignored);
  fs::remove(root + "/Inbox/.outside-new.tmp", ignored);
  return write_note(root, layout, notes, notes) && write_note(root, layout, notes, notes + 1);
}

}  // namespace kestil::bench
