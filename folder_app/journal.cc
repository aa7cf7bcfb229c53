#include "journal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "ipc.h"

namespace kestil::folder {
namespace {

// The layout this program writes; a journal with a higher one is refused, not misread.
constexpr int LAYOUT = 1;
constexpr int BUSY_TIMEOUT_MS = 5000;
// Whole lines kept on each side of a changed span: a unified diff shows three.
constexpr int CONTEXT_LINES = 4;
constexpr size_t CONTEXT_BYTES = 1024;
// What a row costs in the file beyond its texts: numbers, versions, its entry in the index by
// path, the room left in pages (measured: about 240 bytes).
constexpr int64_t ROW_OVERHEAD = 256;
// The limits are checked after this many changes, and when the journal opens.
constexpr int TRIM_EVERY = 64;
constexpr int64_t MS_PER_DAY = int64_t{86400} * 1000;
constexpr size_t SUMMARY_BYTES = 120;

constexpr const char* SCHEMA = R"sql(
CREATE TABLE IF NOT EXISTS changes(
  number INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  space TEXT NOT NULL,
  root TEXT NOT NULL,
  path TEXT NOT NULL,
  tool TEXT NOT NULL,
  summary TEXT NOT NULL,
  existed_before INTEGER NOT NULL,
  exists_after INTEGER NOT NULL,
  version_before TEXT NOT NULL,
  version_after TEXT NOT NULL,
  size_after INTEGER NOT NULL,
  start INTEGER NOT NULL,
  first_line INTEGER NOT NULL,
  lead BLOB NOT NULL,
  removed BLOB NOT NULL,
  added BLOB NOT NULL,
  tail BLOB NOT NULL,
  bytes INTEGER NOT NULL,
  pid INTEGER NOT NULL,
  done INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS changes_by_path ON changes(path);
)sql";

constexpr const char* COLUMNS =
    "number, time_ms, space, root, path, tool, summary, existed_before, exists_after, "
    "version_before, version_after, size_after, start, first_line, done, lead, removed, added, "
    "tail";

struct JournalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(sqlite3* db, std::string_view doing) {
  throw JournalError(std::string(doing) + ": " + sqlite3_errmsg(db));
}

// A prepared statement, finalised when it goes out of scope.
class Query {
 public:
  Query(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
      fail(db, "preparing a query");
    }
  }
  ~Query() { sqlite3_finalize(statement_); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& bind(int index, int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  // Names and versions as text, so any SQLite tool shows them; note bytes as blobs, which may
  // hold anything. An empty view may have no data, which SQLite would store as NULL.
  Query& bind(int index, std::string_view text) {
    sqlite3_bind_text64(statement_, index, text.empty() ? "" : text.data(), text.size(),
                        SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
  }
  Query& bind_bytes(int index, std::string_view bytes) {
    sqlite3_bind_blob64(statement_, index, bytes.empty() ? "" : bytes.data(), bytes.size(),
                        SQLITE_TRANSIENT);
    return *this;
  }
  bool step() {
    int status = sqlite3_step(statement_);
    if (status == SQLITE_ROW) return true;
    if (status == SQLITE_DONE) return false;
    fail(db_, "writing the journal");
  }
  int64_t integer(int column) { return sqlite3_column_int64(statement_, column); }
  std::string text(int column) {
    const void* bytes = sqlite3_column_blob(statement_, column);
    int size = sqlite3_column_bytes(statement_, column);
    return bytes ? std::string(static_cast<const char*>(bytes), static_cast<size_t>(size)) : "";
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    fail(db, "writing the journal");
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int layout_of(sqlite3* db) {
  Query query(db, "PRAGMA user_version");
  return query.step() ? static_cast<int>(query.integer(0)) : 0;
}

std::string newer_layout(const std::string& file, int layout) {
  return "the change journal " + file + " was written by a newer kestil-folder (layout " +
         std::to_string(layout) + "; this one reads " + std::to_string(LAYOUT) + ")";
}

Change change_from(Query& row, bool with_texts) {
  Change change;
  change.number = row.integer(0);
  change.time_ms = row.integer(1);
  change.space = row.text(2);
  change.root = row.text(3);
  change.path = row.text(4);
  change.tool = row.text(5);
  change.summary = row.text(6);
  change.existed_before = row.integer(7) != 0;
  change.exists_after = row.integer(8) != 0;
  change.version_before = row.text(9);
  change.version_after = row.text(10);
  change.size_after = row.integer(11);
  change.start = row.integer(12);
  change.first_line = row.integer(13);
  change.done = row.integer(14) != 0;
  if (with_texts) {
    change.lead = row.text(15);
    change.removed = row.text(16);
    change.added = row.text(17);
    change.tail = row.text(18);
  }
  return change;
}

// Where the line holding `at` starts, moved back over up to `count` whole lines of context
// while they hold at most CONTEXT_BYTES.
size_t lines_back(std::string_view text, size_t at, int count) {
  auto line_start = [&](size_t pos) {
    size_t previous = pos == 0 ? std::string_view::npos : text.rfind('\n', pos - 1);
    return previous == std::string_view::npos ? 0 : previous + 1;
  };
  const size_t start = line_start(at);
  size_t begin = start;
  for (int n = 0; n < count && begin > 0 && start - line_start(begin - 1) <= CONTEXT_BYTES; ++n) {
    begin = line_start(begin - 1);
  }
  return begin;
}

// Where the line holding `at` ends (`at` itself when a line starts there on both sides), moved
// on over up to `count` whole lines of context while they hold at most CONTEXT_BYTES.
size_t lines_on(std::string_view text, size_t at, bool line_starts, int count) {
  auto line_end = [&](size_t pos) {
    size_t next = text.find('\n', pos);
    return next == std::string_view::npos ? text.size() : next + 1;
  };
  const size_t end = line_starts ? at : line_end(at);
  size_t finish = end;
  for (int n = 0; n < count && finish < text.size() && line_end(finish) - end <= CONTEXT_BYTES;
       ++n) {
    finish = line_end(finish);
  }
  return finish;
}

// The span of `after` that differs from `before`, with whole lines of context around it.
void fill_span(Change& change, std::string_view before, std::string_view after) {
  size_t prefix = std::mismatch(before.begin(), before.end(), after.begin(), after.end()).first -
                  before.begin();
  size_t most = std::min(before.size(), after.size()) - prefix;
  size_t suffix = 0;
  while (suffix < most && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
    ++suffix;
  }
  size_t start = lines_back(after, prefix, CONTEXT_LINES);
  size_t after_end = after.size() - suffix;
  const size_t before_end = before.size() - suffix;
  const bool line_starts =
      after_end == after.size() || ((after_end == 0 || after[after_end - 1] == '\n') &&
                                    (before_end == 0 || before[before_end - 1] == '\n'));
  size_t end = lines_on(after, after_end, line_starts, CONTEXT_LINES);
  change.start = static_cast<int64_t>(start);
  change.first_line = static_cast<int64_t>(std::count(after.begin(), after.begin() + start, '\n'));
  change.lead = after.substr(start, prefix - start);
  change.removed = before.substr(prefix, before.size() - suffix - prefix);
  change.added = after.substr(prefix, after_end - prefix);
  change.tail = after.substr(after_end, end - after_end);
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

}  // namespace

std::string Change::before_from(std::string_view after) const {
  const size_t from = static_cast<size_t>(start) + lead.size();
  return std::string(after.substr(0, from)) + removed +
         std::string(after.substr(std::min(after.size(), from + added.size())));
}

std::vector<Hunk> Change::hunks(bool reverse, size_t context) const {
  const std::string before_text = lead + removed + tail;
  const std::string after_text = lead + added + tail;
  std::vector<std::string_view> before_lines = split_lines(before_text);
  std::vector<std::string_view> after_lines = split_lines(after_text);
  return reverse ? diff_hunks(after_lines, before_lines, context)
                 : diff_hunks(before_lines, after_lines, context);
}

Journal::Journal(sqlite3* db, std::string file, std::optional<JournalLimits> limits)
    : db_(db), file_(std::move(file)), limits_(limits) {}

Journal::~Journal() {
  sqlite3_close_v2(db_);
}

Outcome<std::unique_ptr<Journal>> Journal::open(const std::string& config_dir,
                                                std::optional<JournalLimits> limits) {
  const std::string file = join_path(config_dir, "journal.sqlite");
  // It holds lines of the person's notes: readable by its owner alone (SQLite gives its log
  // files the same rights). Closed before SQLite opens it: closing a descriptor of the file
  // later would drop SQLite's locks on it, and another process could then reset the log.
  UniqueFd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  sqlite3* db = nullptr;
  int status = sqlite3_open_v2(
      file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  std::unique_ptr<Journal> journal(new Journal(db, file, limits));
  if (status != SQLITE_OK) {
    return Failure{"cannot open the change journal " + file + ": " + sqlite3_errstr(status)};
  }
  try {
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    if (int layout = layout_of(db); layout > LAYOUT) return Failure{newer_layout(file, layout)};
    // Before the first table, so that space freed by trimming goes back to the file system.
    exec(db, "PRAGMA auto_vacuum=INCREMENTAL");
    exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "PRAGMA journal_size_limit=4194304");
    exec(db, SCHEMA);
    exec(db, ("PRAGMA user_version=" + std::to_string(LAYOUT)).c_str());
    journal->trim();
  } catch (const JournalError& problem) {
    return Failure{"cannot use the change journal " + file + ": " + problem.what()};
  }
  return journal;
}

Outcome<std::unique_ptr<Journal>> Journal::open_to_read(const std::string& config_dir) {
  const std::string file = join_path(config_dir, "journal.sqlite");
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    return Failure{"no change journal in " + config_dir + " (kestil-folder has written none)"};
  }
  sqlite3* db = nullptr;
  int status =
      sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  std::unique_ptr<Journal> journal(new Journal(db, file, std::nullopt));
  if (status != SQLITE_OK) {
    return Failure{"cannot read the change journal " + file + ": " + sqlite3_errstr(status)};
  }
  try {
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    if (int layout = layout_of(db); layout > LAYOUT) return Failure{newer_layout(file, layout)};
    Query(db, "SELECT count(*) FROM changes").step();
  } catch (const JournalError& problem) {
    return Failure{"cannot read the change journal " + file + ": " + problem.what()};
  }
  return journal;
}

Outcome<int64_t> Journal::begin(const Space& space, std::string_view path, std::string_view tool,
                                std::string_view summary, std::optional<std::string_view> before,
                                std::optional<std::string_view> after) {
  Change change;
  fill_span(change, before.value_or(""), after.value_or(""));
  const int64_t bytes =
      static_cast<int64_t>(change.lead.size() + change.removed.size() + change.added.size() +
                           change.tail.size() + summary.size() + path.size()) +
      ROW_OVERHEAD;
  const std::lock_guard lock(mutex_);
  try {
    // An entry must be on disk before the note it announces: this commit syncs the log.
    exec(db_, "PRAGMA synchronous=FULL");
    Query insert(db_,
                 "INSERT INTO changes(time_ms, space, root, path, tool, summary, existed_before, "
                 "exists_after, version_before, version_after, size_after, start, first_line, "
                 "lead, removed, added, tail, bytes, pid) "
                 "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, "
                 "?17, ?18, ?19)");
    insert.bind(1, now_ms())
        .bind(2, std::string_view(space.name))
        .bind(3, std::string_view(space.root))
        .bind(4, path)
        .bind(5, tool)
        .bind(6, summary)
        .bind(7, int64_t{before.has_value()})
        .bind(8, int64_t{after.has_value()})
        .bind(9, before ? std::string_view(version_of(*before)) : std::string_view())
        .bind(10, after ? std::string_view(version_of(*after)) : std::string_view())
        .bind(11, static_cast<int64_t>(after.value_or("").size()))
        .bind(12, change.start)
        .bind(13, change.first_line)
        .bind_bytes(14, change.lead)
        .bind_bytes(15, change.removed)
        .bind_bytes(16, change.added)
        .bind_bytes(17, change.tail)
        .bind(18, bytes)
        .bind(19, static_cast<int64_t>(::getpid()));
    insert.step();
    return static_cast<int64_t>(sqlite3_last_insert_rowid(db_));
  } catch (const JournalError& problem) {
    return Failure{"The change was not made: the change journal " + file_ +
                   " could not be written (" + problem.what() + ")."};
  }
}

void Journal::finish(int64_t number, bool put) {
  {
    const std::lock_guard lock(mutex_);
    try {
      // Not synced: lost in a power cut, the mark is made again at the next start, from the note.
      exec(db_, "PRAGMA synchronous=NORMAL");
      Query(db_, put ? "UPDATE changes SET done = 1 WHERE number = ?1"
                     : "DELETE FROM changes WHERE number = ?1")
          .bind(1, number)
          .step();
    } catch (const JournalError&) {
      // The entry stays pending; the next open settles it by what the note holds.
    }
  }
  if (put && limits_ && ++since_trim_ >= TRIM_EVERY) trim();
}

std::vector<Change> Journal::list(const ChangeFilter& filter) {
  const std::lock_guard lock(mutex_);
  std::vector<Change> changes;
  std::string sql = "SELECT " + std::string(COLUMNS) +
                    " FROM changes WHERE done = 1 AND time_ms >= ?1" +
                    (filter.path.empty() ? "" : " AND path = ?2") + " ORDER BY number DESC" +
                    (filter.limit > 0 ? " LIMIT " + std::to_string(filter.limit) : "");
  Query query(db_, sql);
  query.bind(1, filter.since_ms);
  if (!filter.path.empty()) query.bind(2, std::string_view(filter.path));
  while (query.step()) changes.push_back(change_from(query, filter.with_texts));
  return changes;
}

std::optional<Change> Journal::find(int64_t number) {
  const std::lock_guard lock(mutex_);
  Query query(db_, "SELECT " + std::string(COLUMNS) + " FROM changes WHERE number = ?1");
  query.bind(1, number);
  if (!query.step()) return std::nullopt;
  return change_from(query, true);
}

void Journal::trim() {
  const std::lock_guard lock(mutex_);
  since_trim_ = 0;
  if (!limits_) return;
  try {
    Query(db_, "DELETE FROM changes WHERE done = 1 AND time_ms < ?1")
        .bind(1, now_ms() - limits_->days * MS_PER_DAY)
        .step();
    Query total(db_, "SELECT coalesce(sum(bytes), 0) FROM changes");
    int64_t over = total.step() ? total.integer(0) - limits_->bytes : 0;
    if (over > 0) {
      Query oldest(db_, "SELECT number, bytes FROM changes WHERE done = 1 ORDER BY number");
      int64_t last = 0;
      while (over > 0 && oldest.step()) {
        last = oldest.integer(0);
        over -= oldest.integer(1);
      }
      Query(db_, "DELETE FROM changes WHERE done = 1 AND number <= ?1").bind(1, last).step();
    }
    exec(db_, "PRAGMA incremental_vacuum");
  } catch (const JournalError&) {
    // Tried again after the next changes; a journal a little over its bound loses nothing.
  }
}

void Journal::settle_pending() {
  const std::lock_guard lock(mutex_);
  std::vector<Change> pending;
  try {
    Query query(db_, "SELECT " + std::string(COLUMNS) + ", pid FROM changes WHERE done = 0");
    while (query.step()) {
      // A writer still running finishes its own entry.
      pid_t writer = static_cast<pid_t>(query.integer(19));
      if (writer > 0 && writer != ::getpid() && (::kill(writer, 0) == 0 || errno == EPERM)) {
        continue;
      }
      pending.push_back(change_from(query, false));
    }
  } catch (const JournalError&) {
    return;  // settled at the next start
  }
  for (const Change& change : pending) {
    Outcome<Note> note = load_note(NoteFile{change.path, change.root + "/" + change.path + ".md"});
    const Note* now = std::get_if<Note>(&note);
    const bool happened =
        change.exists_after ? now && version_of(now->raw) == change.version_after : !now;
    try {
      Query(db_, happened ? "UPDATE changes SET done = 1 WHERE number = ?1"
                          : "DELETE FROM changes WHERE number = ?1")
          .bind(1, change.number)
          .step();
    } catch (const JournalError&) {
      return;
    }
  }
}

std::string change_summary(std::string_view tool, const Json& arguments) {
  auto text = [&](const char* key) -> std::string {
    return arguments.is_object() && arguments.contains(key) && arguments[key].is_string()
               ? arguments[key].get<std::string>()
               : "";
  };
  auto words = [&](const char* key, const char* mark) {
    std::vector<std::string> found;
    if (arguments.is_object() && arguments.contains(key) && arguments[key].is_array()) {
      for (const Json& word : arguments[key]) {
        if (word.is_string()) found.push_back(mark + word.get<std::string>());
      }
    }
    return found;
  };
  std::vector<std::string> parts;
  if (tool == "edit_note" && arguments.contains("ops") && arguments["ops"].is_array()) {
    for (const Json& op : arguments["ops"]) {
      if (!op.is_object()) continue;
      std::string part = op.contains("op") && op["op"].is_string() ? op["op"].get<std::string>()
                                                                   : std::string("?");
      if (op.contains("ref") && op["ref"].is_string()) part += " " + op["ref"].get<std::string>();
      parts.push_back(part);
    }
  } else if (tool == "set_tags") {
    parts = words("add", "+");
    for (std::string& removed : words("remove", "-")) parts.push_back(removed);
  } else if (tool == "set_note_info") {
    for (const char* key : {"description", "style"}) {
      if (arguments.is_object() && arguments.contains(key)) parts.emplace_back(key);
    }
  } else if (tool == "create_note") {
    parts.push_back("\"" + text("title") + "\"");
  } else if (tool == "duplicate_note") {
    parts.push_back("copy of " + text("note"));
  } else if (tool == "append_to_note" || tool == "append_to_daily_note") {
    std::string markdown = text("markdown");
    parts.push_back(std::to_string(markdown.size()) + " bytes");
  } else if (tool == "undo") {
    parts.push_back(text("change"));
  }
  std::string summary = std::string(tool) + (parts.empty() ? "" : ": " + joined(parts));
  if (summary.size() <= SUMMARY_BYTES) return summary;
  size_t cut = SUMMARY_BYTES;  // on a character's first byte
  while (cut > 0 && (static_cast<unsigned char>(summary[cut]) & 0xC0) == 0x80) --cut;
  return summary.substr(0, cut) + "…";
}

std::optional<Failure> JournalRecord::pending(const std::string& file,
                                              std::optional<std::string_view> before,
                                              std::optional<std::string_view> after) {
  // The file the write reached, which for a linked note is its target, named inside the space.
  std::string path =
      file.starts_with(space_.root + "/") ? file.substr(space_.root.size() + 1) : file;
  if (path.ends_with(".md")) path.resize(path.size() - 3);
  Outcome<int64_t> number = journal_.begin(space_, path, tool_, summary_, before, after);
  if (auto* failed = std::get_if<Failure>(&number)) return *failed;
  number_ = std::get<int64_t>(number);
  return std::nullopt;
}

void JournalRecord::finished(bool put) {
  journal_.finish(number_, put);
}

}  // namespace kestil::folder
