#include "journal_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>

#include "ipc.h"
#include "journal.h"
#include "undo.h"

namespace kestil::folder {
namespace {

constexpr const char* USAGE =
    "usage: kestil-folder log --config-dir DIR [NOTE] [--since WHEN] [--limit N] [--json]\n"
    "       kestil-folder show --config-dir DIR N\n"
    "       kestil-folder undo --config-dir DIR N [M ...] [--dry-run]\n"
    "\n"
    "log lists the changes the app made to notes, newest first; show prints change N as a\n"
    "diff; undo takes changes back, newest first, all or none. WHEN is a date (2026-12-07), a\n"
    "date and time (2026-12-07T14:30) or a span back from now (30m, 2h, 7d).\n";

constexpr std::string_view BOLD_YELLOW = "\033[1;33m";
constexpr std::string_view PLAIN = "\033[m";

struct VerbOptions {
  std::string config_dir;
  std::vector<std::string> operands;
  std::optional<std::string> since;
  int64_t limit = 0;
  bool json = false;
  bool dry_run = false;
};

int problem(const std::string& text) {
  std::cerr << "kestil-folder: " << text << "\n";
  return 1;
}

int usage(const std::string& text) {
  std::cerr << "kestil-folder: " << text << "\n" << USAGE;
  return 2;
}

std::optional<int64_t> number_in(const std::string& text) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoll(text);
}

// The options of every verb; the verb then checks which it takes.
std::variant<VerbOptions, int> parse(const std::vector<std::string>& args) {
  VerbOptions options;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      if (arg == name && i + 1 < args.size()) return args[++i];
      if (arg.starts_with(std::string(name) + "=")) return arg.substr(std::string(name).size() + 1);
      return std::nullopt;
    };
    if (auto dir = value("--config-dir")) {
      options.config_dir = *dir;
    } else if (auto since = value("--since")) {
      options.since = *since;
    } else if (auto limit = value("--limit")) {
      std::optional<int64_t> number = number_in(*limit);
      if (!number || *number == 0) return usage("--limit takes a whole number above 0");
      options.limit = *number;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--dry-run") {
      options.dry_run = true;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << USAGE;
      return 0;
    } else if (arg.starts_with("-")) {
      return usage("unknown option " + arg);
    } else {
      options.operands.push_back(arg);
    }
  }
  if (options.config_dir.empty()) return usage("need --config-dir DIR");
  return options;
}

// Whether `dir` is a config dir the app has used: it holds the journal or the app's mcp folder.
std::optional<std::string> not_a_config_dir(const std::string& dir) {
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return dir + " is not a folder; give the --config-dir kestil-folder serves with";
  }
  if (::stat(join_path(dir, "journal.sqlite").c_str(), &info) != 0 &&
      ::stat(join_path(dir, "mcp").c_str(), &info) != 0) {
    return dir + " is not a kestil-folder config dir (it holds no journal.sqlite and no mcp)";
  }
  return std::nullopt;
}

std::string local_time(int64_t time_ms, const char* format) {
  std::time_t seconds = static_cast<std::time_t>(time_ms / 1000);
  std::tm parts{};
  ::localtime_r(&seconds, &parts);
  char text[64];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

// WHEN as milliseconds since the epoch: a local date or date and time, or a span back from now.
std::optional<int64_t> time_given(const std::string& when) {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  if (!when.empty() && when.find_first_not_of("0123456789") == when.size() - 1) {
    std::optional<int64_t> count = number_in(when.substr(0, when.size() - 1));
    const char unit = when.back();
    const int64_t ms = unit == 'm' ? 60000 : unit == 'h' ? 3600000 : unit == 'd' ? 86400000 : 0;
    if (!count || ms == 0) return std::nullopt;
    return now - *count * ms;
  }
  std::tm parts{};
  parts.tm_isdst = -1;
  const char* end = ::strptime(when.c_str(), "%Y-%m-%d", &parts);
  if (end != nullptr && (*end == 'T' || *end == ' ')) {
    const char* time_end = ::strptime(end + 1, "%H:%M:%S", &parts);
    end = time_end ? time_end : ::strptime(end + 1, "%H:%M", &parts);
  }
  if (end == nullptr || *end != '\0') return std::nullopt;
  return int64_t{std::mktime(&parts)} * 1000;
}

bool colour_wanted() {
  const char* term = std::getenv("TERM");
  return ::isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr &&
         !(term && std::string_view(term) == "dumb");
}

int run_log(Journal& journal, const VerbOptions& options) {
  ChangeFilter filter;
  if (options.operands.size() > 1) return usage("log takes at most one NOTE");
  if (!options.operands.empty()) {
    filter.path = options.operands.front();
    if (filter.path.ends_with(".md")) filter.path.resize(filter.path.size() - 3);
  }
  if (options.since) {
    std::optional<int64_t> since = time_given(*options.since);
    if (!since) return usage("--since takes a date, a date and time, or a span like 2h");
    filter.since_ms = *since;
  }
  filter.limit = options.limit;
  Json listed = Json::array();
  std::string text;
  const std::vector<Change> changes = journal.list(filter);
  const size_t width = changes.empty() ? 1 : std::to_string(changes.front().number).size();
  for (const Change& change : changes) {
    const LineCounts counts = count_lines(change.hunks(false));
    if (options.json) {
      listed.push_back(Json{{"number", change.number},
                            {"time", utc_time(change.time_ms * 1000000)},
                            {"space", change.space},
                            {"note", change.path},
                            {"tool", change.tool},
                            {"summary", change.summary},
                            {"created", !change.existed_before},
                            {"removed", !change.exists_after},
                            {"version_before", change.version_before},
                            {"version_after", change.version_after},
                            {"lines_added", counts.added},
                            {"lines_removed", counts.removed}});
      continue;
    }
    std::string number = std::to_string(change.number);
    text += std::string(width - std::min(width, number.size()), ' ') + number + "  " +
            local_time(change.time_ms, "%Y-%m-%d %H:%M:%S") + "  " + change.space + "  " +
            change.path + "  " + change.summary + "  +" + std::to_string(counts.added) + " -" +
            std::to_string(counts.removed) + "\n";
  }
  // A name that is not UTF-8 shows with replacement characters rather than stopping the list.
  std::cout << (options.json ? listed.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n"
                             : text);
  return 0;
}

int run_show(Journal& journal, const VerbOptions& options) {
  if (options.operands.size() != 1) return usage("show takes one change number");
  std::optional<int64_t> number = number_in(options.operands.front());
  if (!number) return usage("show takes a change number, like 12");
  std::optional<Change> change = journal.find(*number);
  if (!change || !change->done) {
    return problem("there is no change " + options.operands.front() + " in " + journal.file());
  }
  const bool colour = colour_wanted();
  std::string text;
  if (colour) text += BOLD_YELLOW;
  text += "change " + std::to_string(change->number);
  if (colour) text += PLAIN;
  text += "  " + local_time(change->time_ms, "%Y-%m-%d %H:%M:%S %z") + "  " + change->space + "\n" +
          change->summary + "\n";
  const std::string file = change->path + ".md";
  text += "--- " + (change->existed_before ? "a/" + file : "/dev/null") + "\n";
  text += "+++ " + (change->exists_after ? "b/" + file : "/dev/null") + "\n";
  text += unified_diff(change->hunks(false), static_cast<size_t>(change->first_line), colour);
  std::cout << text;
  return 0;
}

int run_undo(Journal& journal, const VerbOptions& options, const std::string& config_dir) {
  if (options.operands.empty()) return usage("undo takes one or more change numbers");
  std::vector<int64_t> numbers;
  for (const std::string& operand : options.operands) {
    std::optional<int64_t> number = number_in(operand);
    if (!number) return usage("undo takes change numbers, like 12");
    numbers.push_back(*number);
  }
  Outcome<std::vector<std::string>> done =
      undo_changes(journal, numbers, join_path(config_dir, "recovered"), options.dry_run);
  if (auto* failed = std::get_if<Failure>(&done)) {
    std::string text = failed->text;  // the store's sentences end with a full stop
    while (text.ends_with('.')) text.pop_back();
    return problem(text + "; nothing was changed");
  }
  for (const std::string& line : std::get<std::vector<std::string>>(done)) {
    std::cout << (options.dry_run ? "would take back " : "took back ") << line << "\n";
  }
  return 0;
}

}  // namespace

bool is_journal_verb(const std::string& verb) {
  return verb == "log" || verb == "show" || verb == "undo";
}

int run_journal_verb(const std::vector<std::string>& args) {
  auto parsed = parse(args);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const VerbOptions& options = std::get<VerbOptions>(parsed);
  const std::string& verb = args.front();
  if (std::optional<std::string> wrong = not_a_config_dir(options.config_dir)) {
    return problem(*wrong);
  }
  try {
    const bool writes = verb == "undo" && !options.dry_run;
    auto opened = writes ? Journal::open(options.config_dir, std::nullopt)
                         : Journal::open_to_read(options.config_dir);
    if (auto* failed = std::get_if<Failure>(&opened)) {
      // A config dir whose app has recorded nothing yet lists no changes.
      struct stat info {};
      if (verb == "log" &&
          ::stat(join_path(options.config_dir, "journal.sqlite").c_str(), &info) != 0) {
        return 0;
      }
      return problem(failed->text);
    }
    Journal& journal = *std::get<std::unique_ptr<Journal>>(opened);
    if (verb == "log") return run_log(journal, options);
    if (verb == "show") return run_show(journal, options);
    return run_undo(journal, options, options.config_dir);
  } catch (const std::exception& failed) {
    return problem(std::string("the change journal could not be read: ") + failed.what());
  }
}

}  // namespace kestil::folder
