#include "index/note_index.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <ostream>
#include <unordered_set>
#include <utility>

#include "deadline.h"
#include "index/database.h"
#include "index/watcher.h"
#include "lookup.h"
#include "markdown.h"
#include "names.h"

namespace kestil::folder {
namespace {

// Bumped whenever the tables or what goes into them change: an older file is built anew.
constexpr int64_t LAYOUT = 8;
// Small enough that a write tool waiting for the lock during a build waits only briefly.
constexpr size_t NOTES_PER_TRANSACTION = 200;
// Fewer changed notes than this are read without progress lines.
constexpr size_t PROGRESS_FROM = 2000;
constexpr size_t PROGRESS_EVERY = 10000;
// Between the keys of a note's tags and links kept in its row, so its rows can be found again
// without a second index on every table.
constexpr char KEY_SEPARATOR = '\x1f';
// Above every path and link target: no UTF-8 text starts with this byte.
constexpr std::string_view PAST_ALL_TEXT = "\xff";
// What one note may put in the index: past these its tags and links are not listed.
constexpr size_t MAX_TAGS_PER_NOTE = 1000;
constexpr size_t MAX_LINKS_PER_NOTE = 10000;
// How long a call waits for another thread bringing changes in before it scans the files.
constexpr auto CATCH_UP_WAIT = std::chrono::milliseconds(500);
constexpr auto LOOK_EVERY = std::chrono::milliseconds(1000);
// A stat-only look at every note, for whatever the watcher may have missed.
constexpr auto SAFETY_LOOK_EVERY = std::chrono::minutes(10);
// The full-text index is merged into one piece again, dropping what deletes marked, once the
// notes written since its last merge add up to this share of the index file: each merge
// rewrites the whole full-text index, so this bounds its cost to a few times the writes'.
constexpr int64_t MERGE_AT_SHARE = 4;  // a quarter
// Pages one merge step writes, under the writer lock; small, so writes wait only briefly.
constexpr int MERGE_STEP_PAGES = 256;

const char* const SCHEMA = R"(
PRAGMA auto_vacuum = INCREMENTAL;
CREATE TABLE notes(doc INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL UNIQUE,
  id TEXT NOT NULL, title_key TEXT NOT NULL, mtime INTEGER NOT NULL, size INTEGER NOT NULL,
  inode INTEGER NOT NULL, ctime INTEGER NOT NULL, tag_keys TEXT NOT NULL,
  link_keys TEXT NOT NULL);
CREATE INDEX notes_by_id ON notes(id, path);
CREATE INDEX notes_by_title_key ON notes(title_key, path);
CREATE INDEX notes_by_mtime ON notes(mtime DESC, path);
CREATE TABLE aliases(key TEXT NOT NULL, path TEXT NOT NULL, PRIMARY KEY(key, path))
  WITHOUT ROWID;
CREATE INDEX aliases_by_path ON aliases(path);
CREATE TABLE tags(key TEXT NOT NULL, path TEXT NOT NULL, tag TEXT NOT NULL,
  PRIMARY KEY(key, path)) WITHOUT ROWID;
CREATE TABLE tag_counts(key TEXT PRIMARY KEY, notes INTEGER NOT NULL, tag TEXT NOT NULL,
  first TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE tasks(path TEXT NOT NULL, position INTEGER NOT NULL, ref TEXT NOT NULL,
  text TEXT NOT NULL, done INTEGER NOT NULL, PRIMARY KEY(path, position)) WITHOUT ROWID;
CREATE TABLE links(key TEXT NOT NULL, path TEXT NOT NULL, kind INTEGER NOT NULL,
  target TEXT NOT NULL, PRIMARY KEY(key, path, kind, target)) WITHOUT ROWID;
CREATE VIRTUAL TABLE words USING fts5(title, body, content='', tokenize='kestil');
CREATE TABLE state(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE left_behind(doc INTEGER PRIMARY KEY);
CREATE TABLE removal(doc INTEGER PRIMARY KEY, words TEXT NOT NULL, count INTEGER NOT NULL);
INSERT INTO state VALUES('complete', 0);
)";

// Failures that mean the file itself is damaged, rather than a busy or interrupted query.
bool is_damage(int code) {
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB || code == SQLITE_IOERR ||
         code == SQLITE_FORMAT || code == SQLITE_CANTOPEN;
}

// What tells one version of a note file from another without reading it. The change time
// cannot be set back, so an edit that keeps size and modification time still shows.
struct FileStamp {
  int64_t mtime_ns = 0;
  int64_t size = 0;
  int64_t inode = 0;
  int64_t ctime_ns = 0;

  bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> stamp_of(const std::string& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return std::nullopt;
#ifdef __APPLE__
  const timespec& mtime = info.st_mtimespec;
  const timespec& ctime = info.st_ctimespec;
#else
  const timespec& mtime = info.st_mtim;
  const timespec& ctime = info.st_ctim;
#endif
  return FileStamp{int64_t{mtime.tv_sec} * 1000000000 + mtime.tv_nsec,
                   static_cast<int64_t>(info.st_size), static_cast<int64_t>(info.st_ino),
                   int64_t{ctime.tv_sec} * 1000000000 + ctime.tv_nsec};
}

// Whether nothing is at `file` (rather than something that cannot be looked at now).
bool surely_gone(const std::string& file) {
  struct stat info {};
  return ::lstat(file.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// The distinct words of `body` as the tokenizer gives them, and how many words it has in all:
// all a delete from the contentless full-text table needs to take the note's row out again.
std::pair<std::string, int64_t> distinct_words(std::string_view body) {
  std::unordered_set<std::string> seen;
  std::string joined;
  int64_t count = 0;
  std::string word;
  for_each_word(body, [&](size_t begin, size_t end) {
    ++count;
    word.assign(body.substr(begin, end - begin));
    for (char& c : word) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (seen.insert(word).second) (joined += word) += ' ';
  });
  return {std::move(joined), count};
}

std::string with_commas(size_t number) {
  const std::string digits = std::to_string(number);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

// The keys a link is found by: an id link by its id, a file link by the path it names and the
// name_key of its file name (where a moved note is found), a name link by the name_key of its
// last part (a title) and of the whole name (an alias), spelled as resolve_link spells them.
std::vector<std::string> link_keys_of(const Link& link) {
  if (link.kind == LinkKind::id) return {link.target};
  if (link.kind == LinkKind::file) return {link.target, name_key(title_of(link.target))};
  std::string name = nfc(link.target);
  if (name.size() > 3 && (name.ends_with(".md") || name.ends_with(".MD") || name.ends_with(".Md") ||
                          name.ends_with(".mD"))) {
    name.resize(name.size() - 3);
  }
  while (name.starts_with('/')) name.erase(0, 1);
  size_t slash = name.rfind('/');
  std::string title_key = name_key(slash == std::string::npos ? name : name.substr(slash + 1));
  std::string whole_key = name_key(name);
  if (title_key == whole_key) return {title_key};
  return {title_key, whole_key};
}

size_t split_count(std::string_view joined) {
  return static_cast<size_t>(std::count(joined.begin(), joined.end(), ' '));
}

std::vector<std::string> split_keys(std::string_view joined) {
  std::vector<std::string> keys;
  while (!joined.empty()) {
    size_t end = joined.find(KEY_SEPARATOR);
    keys.emplace_back(joined.substr(0, end));
    if (end == std::string_view::npos) break;
    joined.remove_prefix(end + 1);
  }
  return keys;
}

// The least text greater than every text that starts with `prefix`.
std::string prefix_end(std::string prefix) {
  while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xff) prefix.pop_back();
  if (prefix.empty()) return std::string(PAST_ALL_TEXT);
  prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
  return prefix;
}

std::string quoted(const std::string& word) {
  std::string out = "\"";
  for (char c : word) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

bool has_phrase(const Query& query) {
  return std::any_of(query.terms.begin(), query.terms.end(),
                     [](const auto& words) { return words.size() > 1; });
}

// The number of words of each term, as kestil_phrases reads them.
std::string term_sizes(const Query& query) {
  std::string sizes;
  for (const auto& words : query.terms) sizes += std::to_string(words.size()) + " ";
  return sizes;
}

int64_t state_value(Connection& db, const char* key) {
  Statement read(db, "SELECT value FROM state WHERE key = ?1");
  read.bind(1, std::string_view(key));
  return read.step() ? read.integer(0) : -1;
}

}  // namespace

// A note as it goes into the index, read and parsed before any lock is taken.
struct NoteRow {
  NoteFile where;
  FileStamp stamp;
  std::optional<Note> note;  // none when it cannot be read: listed, read again at the next look
  std::string title;
  std::vector<std::pair<std::string, std::string>> tags;  // key, spelling
  std::vector<std::pair<std::string, Link>> links;        // key, link
  std::string tag_keys;
  std::string link_keys;
  struct TaskRow {
    std::string ref;
    std::string text;
    bool done = false;
  };
  std::vector<TaskRow> tasks;
  std::optional<std::pair<std::string, int64_t>> words;  // kept to take the row out again
};

NoteIndex* ready_index(const Space& space) {
  NoteIndex* index = space.index.get();
  if (index == nullptr || !index->ready() || !index->catch_up()) return nullptr;
  return index->ready() ? index : nullptr;
}

std::string full_text_query(const Query& query) {
  std::string text;
  for (const std::vector<std::string>& words : query.terms) {
    if (!text.empty()) text += " AND ";
    if (words.size() > 1) text += "NEAR(";
    for (size_t i = 0; i < words.size(); ++i) {
      if (i > 0) text += ' ';
      text += quoted(words[i]);
      text += '*';
    }
    if (words.size() > 1) text += ", 0)";
  }
  return text;
}

// A pooled connection, handed back when the lease ends.
class NoteIndex::Lease {
 public:
  explicit Lease(NoteIndex& index) : index_(index) {
    std::lock_guard lock(index_.pool_mutex_);
    if (!index_.pool_.empty()) {
      connection_ = std::move(index_.pool_.back());
      index_.pool_.pop_back();
    }
  }
  ~Lease() {
    if (!connection_) return;
    std::lock_guard lock(index_.pool_mutex_);
    index_.pool_.push_back(std::move(connection_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  Connection& connection() {
    if (!connection_) connection_ = std::make_unique<Connection>(index_.file_, true);
    return *connection_;
  }

 private:
  NoteIndex& index_;
  std::unique_ptr<Connection> connection_;
};

NoteIndex::NoteIndex(Space space, std::string file)
    : space_(std::move(space)), file_(std::move(file)) {
  space_.index.reset();
}

NoteIndex::~NoteIndex() = default;

Outcome<std::shared_ptr<NoteIndex>> NoteIndex::open(const Space& space, const std::string& file) {
  std::shared_ptr<NoteIndex> index(new NoteIndex(space, file));
  try {
    index->writer_ = std::make_unique<Connection>(file, false);
    Connection& db = *index->writer_;
    Statement layout(db, "PRAGMA user_version");
    bool current = layout.step() && layout.integer(0) == LAYOUT;
    if (current) {
      // Counted by the last reconcile: counting 100,000 rows here would delay the start.
      int64_t notes = state_value(db, "notes");
      // Past as many left-behind full-text rows as live ones, a fresh build is smaller.
      Statement behind(db, "SELECT count(*) FROM left_behind");
      int64_t left = behind.step() ? behind.integer(0) : 0;
      current = state_value(db, "complete") == 1 && left <= notes + 1000;
    }
    if (current) {
      index->ready_ = true;
      return index;
    }
  } catch (const SqlError&) {
    // Not an index of ours, or a damaged one: started anew below.
  }
  try {
    index->start_anew();
  } catch (const SqlError& failed) {
    return Failure{"cannot keep an index in " + file + " (" + failed.what() + ")"};
  }
  return index;
}

void NoteIndex::start_anew() {
  std::unique_lock lock(file_lock_);
  std::lock_guard writing(writer_mutex_);
  ready_ = false;
  {
    std::lock_guard pool(pool_mutex_);
    pool_.clear();
  }
  writer_.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((file_ + suffix).c_str());
  writer_ = std::make_unique<Connection>(file_, false);
  writer_->exec(SCHEMA);
  writer_->exec(("PRAGMA user_version = " + std::to_string(LAYOUT)).c_str());
  broken_ = false;
}

void NoteIndex::mark_broken() {
  broken_ = true;
  ready_ = false;
}

template <typename Result, typename Query>
std::optional<Result> NoteIndex::read(Query&& query) {
  if (!ready_) return std::nullopt;
  std::shared_lock lock(file_lock_);
  try {
    Lease lease(*this);
    return query(lease.connection());
  } catch (const SqlError& failed) {
    if (is_damage(failed.code)) mark_broken();
    return std::nullopt;
  }
}

void NoteIndex::forget_note(Connection& db, std::string_view note_path) {
  Statement find(db, "SELECT doc, size, tag_keys, link_keys FROM notes WHERE path = ?1");
  find.bind(1, note_path);
  if (!find.step()) return;
  int64_t doc = find.integer(0);
  bool had_words = find.integer(1) >= 0;
  std::vector<std::string> tag_keys = split_keys(find.text(2));
  std::vector<std::string> link_keys = split_keys(find.text(3));
  Statement(db, "DELETE FROM notes WHERE doc = ?1").bind(1, doc).step();
  if (had_words) {
    Statement kept(db, "SELECT words, count FROM removal WHERE doc = ?1");
    kept.bind(1, doc);
    if (kept.step()) {
      // The delete must give as many body words as went in (the averages BM25 ranks by),
      // and each distinct word once: the first word stands in for the repeats.
      std::string body = kept.text(0);
      int64_t repeats = kept.integer(1) - static_cast<int64_t>(split_count(body));
      std::string first = body.substr(0, body.find(' ') + 1);
      for (int64_t i = 0; i < repeats; ++i) body += first;
      Statement(db, "INSERT INTO words(words, rowid, title, body) VALUES('delete', ?1, ?2, ?3)")
          .bind(1, doc)
          .bind(2, title_of(note_path))
          .bind(3, body)
          .step();
      Statement(db, "DELETE FROM removal WHERE doc = ?1").bind(1, doc).step();
    } else {
      Statement(db, "INSERT OR IGNORE INTO left_behind(doc) VALUES(?1)").bind(1, doc).step();
    }
  }
  for (const std::string& key : tag_keys) {
    Statement(db, "DELETE FROM tags WHERE key = ?1 AND path = ?2")
        .bind(1, key)
        .bind(2, note_path)
        .step();
    if (sqlite3_changes(db.handle()) == 0) continue;
    Statement(db, "UPDATE tag_counts SET notes = notes - 1 WHERE key = ?1").bind(1, key).step();
    Statement(db, "DELETE FROM tag_counts WHERE key = ?1 AND notes <= 0").bind(1, key).step();
    // The spelling is the first note's (by path): when that note goes, the next one's.
    Statement(db,
              "UPDATE tag_counts SET tag = (SELECT tag FROM tags WHERE key = ?1 ORDER BY path "
              "LIMIT 1), first = (SELECT path FROM tags WHERE key = ?1 ORDER BY path LIMIT 1) "
              "WHERE key = ?1 AND first = ?2")
        .bind(1, key)
        .bind(2, note_path)
        .step();
  }
  for (const std::string& key : link_keys) {
    Statement(db, "DELETE FROM links WHERE key = ?1 AND path = ?2")
        .bind(1, key)
        .bind(2, note_path)
        .step();
  }
  Statement(db, "DELETE FROM aliases WHERE path = ?1").bind(1, note_path).step();
  Statement(db, "DELETE FROM tasks WHERE path = ?1").bind(1, note_path).step();
}

NoteRow NoteIndex::prepare_row(const NoteFile& where, bool keep_words) {
  NoteRow row;
  row.where = where;
  if (std::optional<FileStamp> stamp = stamp_of(where.file)) {
    row.stamp = *stamp;
    row.where.mtime_ns = stamp->mtime_ns;
  }
  row.title = title_of(where.path);
  Outcome<Note> loaded = load_note(where);
  Note* note = std::get_if<Note>(&loaded);
  if (!note) return row;
  for (std::string& tag : all_tags(*note)) {
    if (row.tags.size() == MAX_TAGS_PER_NOTE) break;
    std::string key = tag_key(tag);
    row.tag_keys += (row.tag_keys.empty() ? "" : std::string(1, KEY_SEPARATOR)) + key;
    row.tags.emplace_back(std::move(key), std::move(tag));
  }
  std::vector<std::string> keys;
  for (Link& link : links_in(note->body(), where.path)) {
    if (row.links.size() >= MAX_LINKS_PER_NOTE) break;
    for (const std::string& key : link_keys_of(link)) {
      row.links.emplace_back(key, link);
      keys.push_back(key);
    }
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  for (const std::string& key : keys) {
    row.link_keys += (row.link_keys.empty() ? "" : std::string(1, KEY_SEPARATOR)) + key;
  }
  std::vector<Block> blocks = split_blocks(note->body());
  for (const Task& task : folder::tasks(blocks)) {
    row.tasks.push_back(
        NoteRow::TaskRow{block_ref(task.block, blocks[task.block].text), task.text, task.done});
  }
  if (keep_words) row.words = distinct_words(note->body());
  row.note = std::move(*note);
  return row;
}

void NoteIndex::write_note(Connection& db, const NoteRow& row) {
  const std::string& path = row.where.path;
  forget_note(db, path);
  const Note* note = row.note ? &*row.note : nullptr;
  Statement insert(db,
                   "INSERT INTO notes(path, id, title_key, mtime, size, inode, ctime, tag_keys, "
                   "link_keys) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
  insert.bind(1, path)
      .bind(2, note ? note->id : derived_id(path))
      .bind(3, name_key(row.title))
      .bind(4, row.stamp.mtime_ns)
      .bind(5, note ? row.stamp.size : -1)
      .bind(6, row.stamp.inode)
      .bind(7, row.stamp.ctime_ns)
      .bind(8, row.tag_keys)
      .bind(9, row.link_keys);
  insert.step();
  if (!note) return;
  int64_t doc = sqlite3_last_insert_rowid(db.handle());
  Statement(db, "INSERT INTO words(rowid, title, body) VALUES(?1, ?2, ?3)")
      .bind(1, doc)
      .bind(2, row.title)
      .bind(3, note->body())
      .step();
  if (row.words) {
    Statement(db, "INSERT INTO removal(doc, words, count) VALUES(?1, ?2, ?3)")
        .bind(1, doc)
        .bind(2, row.words->first)
        .bind(3, row.words->second)
        .step();
  }
  for (const auto& [key, tag] : row.tags) {
    Statement(db, "INSERT OR IGNORE INTO tags(key, path, tag) VALUES(?1, ?2, ?3)")
        .bind(1, key)
        .bind(2, path)
        .bind(3, tag)
        .step();
    if (sqlite3_changes(db.handle()) == 0) continue;
    Statement(db,
              "INSERT INTO tag_counts(key, notes, tag, first) VALUES(?1, 1, ?3, ?2) "
              "ON CONFLICT(key) DO UPDATE SET notes = notes + 1, "
              "tag = CASE WHEN ?2 < first THEN ?3 ELSE tag END, "
              "first = CASE WHEN ?2 < first THEN ?2 ELSE first END")
        .bind(1, key)
        .bind(2, path)
        .bind(3, tag)
        .step();
  }
  int64_t position = 0;
  for (const NoteRow::TaskRow& task : row.tasks) {
    Statement(db, "INSERT INTO tasks(path, position, ref, text, done) VALUES(?1, ?2, ?3, ?4, ?5)")
        .bind(1, path)
        .bind(2, position++)
        .bind(3, task.ref)
        .bind(4, task.text)
        .bind(5, task.done ? 1 : 0)
        .step();
  }
  for (const std::string& alias : note->meta.aliases) {
    Statement(db, "INSERT OR IGNORE INTO aliases(key, path) VALUES(?1, ?2)")
        .bind(1, name_key(alias))
        .bind(2, path)
        .step();
  }
  for (const auto& [key, link] : row.links) {
    // The target is kept only where it differs from the key (name links).
    Statement(db, "INSERT OR IGNORE INTO links(key, path, kind, target) VALUES(?1, ?2, ?3, ?4)")
        .bind(1, key)
        .bind(2, path)
        .bind(3, static_cast<int64_t>(link.kind))
        .bind(4, link.target == key ? std::string_view() : std::string_view(link.target))
        .step();
  }
}

bool NoteIndex::store(std::vector<NoteRow>& rows, const std::vector<std::string>& gone,
                      std::optional<std::chrono::milliseconds> at_most) {
  std::shared_lock lock(file_lock_);
  std::unique_lock writing(writer_mutex_, std::defer_lock);
  if (!at_most) {
    writing.lock();
  } else if (!writing.try_lock_for(*at_most)) {
    return false;
  }
  try {
    in_transaction(*writer_, [&] {
      for (const std::string& path : gone) forget_note(*writer_, path);
      for (const NoteRow& row : rows) write_note(*writer_, row);
    });
  } catch (const SqlError& failed) {
    if (is_damage(failed.code)) mark_broken();
  }
  int64_t written = static_cast<int64_t>(gone.size());
  for (const NoteRow& row : rows) written += row.note ? row.stamp.size : 0;
  written_since_merge_ += written;
  return true;
}

bool NoteIndex::refresh(std::string_view note_path,
                        std::optional<std::chrono::milliseconds> at_most) {
  Outcome<std::optional<NoteFile>> at = note_at(space_, note_path);
  const auto* found = std::get_if<std::optional<NoteFile>>(&at);
  std::vector<NoteRow> rows;
  std::vector<std::string> gone;
  if (found && *found) {
    rows.push_back(prepare_row(**found, true));
  } else if (!found || surely_gone(note_file(space_, note_path))) {
    gone.emplace_back(note_path);
  }
  return store(rows, gone, at_most);
}

void NoteIndex::refresh_all(const std::set<std::string>& note_paths) {
  // Notes whose file is as indexed (the app's own writes, told already) are not read again.
  std::map<std::string, FileStamp> indexed;
  if (ready_) {
    std::shared_lock lock(file_lock_);
    try {
      Lease lease(*this);
      for (const std::string& path : note_paths) {
        Statement row(lease.connection(),
                      "SELECT mtime, size, inode, ctime FROM notes WHERE path = ?1");
        row.bind(1, path);
        if (row.step()) {
          indexed[path] = FileStamp{row.integer(0), row.integer(1), row.integer(2), row.integer(3)};
        }
      }
    } catch (const SqlError&) {
      indexed.clear();
    }
  }
  std::vector<NoteRow> rows;
  std::vector<std::string> gone;
  auto flush = [&] {
    store(rows, gone);
    rows.clear();
    gone.clear();
  };
  for (const std::string& path : note_paths) {
    Outcome<std::optional<NoteFile>> at = note_at(space_, path);
    const auto* found = std::get_if<std::optional<NoteFile>>(&at);
    if (found && *found) {
      auto was = indexed.find(path);
      std::optional<FileStamp> now = stamp_of((*found)->file);
      if (was != indexed.end() && now && was->second == *now) continue;
      rows.push_back(prepare_row(**found, true));
    } else if (!found || surely_gone(note_file(space_, path))) {
      gone.push_back(path);
    }
    if (rows.size() + gone.size() >= NOTES_PER_TRANSACTION) flush();
  }
  flush();
}

bool NoteIndex::apply(FolderChanges changes, bool for_call) {
  changes.everything = changes.everything || std::exchange(look_at_everything_, false);
  if (changes.everything) {
    // A call does not wait long for a look another thread is taking (the first one at start
    // may take a while): the look is left for later and the call scans.
    std::unique_lock reconciling(reconcile_mutex_, std::defer_lock);
    if (!for_call) {
      reconciling.lock();
    } else if (!reconciling.try_lock_for(CATCH_UP_WAIT)) {
      look_at_everything_ = true;
      return false;
    }
    reconcile_locked(nullptr);
  } else if (!changes.notes.empty()) {
    refresh_all(changes.notes);
  }
  return true;
}

bool NoteIndex::catch_up() {
  Watcher* watcher = live_watcher_.load();
  if (watcher == nullptr) return true;
  std::unique_lock taking(changes_mutex_, std::defer_lock);
  if (!taking.try_lock_for(CATCH_UP_WAIT)) return false;
  if (!watcher->live()) return true;
  // Changes taken from the queue must all go in: the queue will not give them again.
  const DeadlineLifted whole;
  return apply(watcher->take(), true);
}

void NoteIndex::tell_unread(const std::vector<UnreadFolder>& unread) {
  std::set<std::string> now;
  for (const UnreadFolder& folder : unread) {
    now.insert(folder.prefix);
    if (told_unread_.contains(folder.prefix) || !warnings_) continue;
    std::string name =
        folder.prefix.empty() ? space_.root : folder.prefix.substr(0, folder.prefix.size() - 1);
    *warnings_ << "kestil-folder: the folder '" << name << "' of " << space_.name
               << " cannot be read (" << folder.why
               << "); its notes stay in the index until it can be read\n"
               << std::flush;
  }
  // Said again should it become unreadable again after it was read.
  told_unread_ = std::move(now);
}

void NoteIndex::tidy() {
  if (written_since_merge_ == 0) return;
  try {
    int64_t index_bytes = 0;
    {
      std::lock_guard writing(writer_mutex_);
      Statement pages(*writer_,
                      "SELECT page_count * page_size FROM pragma_page_count, pragma_page_size");
      index_bytes = pages.step() ? pages.integer(0) : 0;
    }
    if (written_since_merge_ * MERGE_AT_SHARE >= index_bytes) {
      written_since_merge_ = 0;
      // A negative step merges every piece toward one, as an optimize does, but a step at a
      // time; a step that changes (almost) nothing means it is done.
      for (bool more = true; more;) {
        std::shared_lock lock(file_lock_);
        std::lock_guard writing(writer_mutex_);
        int64_t before = sqlite3_total_changes64(writer_->handle());
        Statement(*writer_, "INSERT INTO words(words, rank) VALUES('merge', ?1)")
            .bind(1, int64_t{-MERGE_STEP_PAGES})
            .step();
        more = sqlite3_total_changes64(writer_->handle()) - before >= 2;
      }
    }
    std::shared_lock lock(file_lock_);
    std::lock_guard writing(writer_mutex_);
    writer_->exec("PRAGMA incremental_vacuum; PRAGMA wal_checkpoint(TRUNCATE)");
  } catch (const SqlError& failed) {
    if (is_damage(failed.code)) mark_broken();
  }
}

void NoteIndex::reconcile(std::ostream* progress) {
  std::lock_guard reconciling(reconcile_mutex_);
  reconcile_locked(progress);
}

void NoteIndex::reconcile_locked(std::ostream* progress) {
  try {
    if (!checked_ && ready_ && !broken_) {
      // The first look at a file kept from an earlier run: a damaged one is built anew. The
      // check reads the whole file on a connection of its own, so writes need not wait for it.
      std::shared_lock lock(file_lock_);
      Connection checking(file_, false);
      Statement check(checking, "PRAGMA quick_check");
      if (!check.step() || check.text(0) != "ok") mark_broken();
    }
    checked_ = true;
    if (broken_) start_anew();
  } catch (const SqlError&) {
    mark_broken();
    return;
  }
  auto started = std::chrono::steady_clock::now();
  std::vector<UnreadFolder> unread;
  std::vector<NoteFile> files = list_notes(space_, &unread);
  tell_unread(unread);
  // A note in a folder that could not be read is not known to be gone.
  auto unchecked = [&](const std::string& path) {
    return std::any_of(unread.begin(), unread.end(),
                       [&](const UnreadFolder& folder) { return path.starts_with(folder.prefix); });
  };
  std::vector<std::optional<FileStamp>> stamps;
  stamps.reserve(files.size());
  for (const NoteFile& file : files) stamps.push_back(stamp_of(file.file));
  std::vector<NoteFile> changed;
  std::vector<std::string> gone;
  size_t kept = 0;
  {
    std::shared_lock lock(file_lock_);
    std::lock_guard writing(writer_mutex_);
    try {
      Statement rows(*writer_, "SELECT path, mtime, size, inode, ctime FROM notes ORDER BY path");
      size_t file = 0;
      bool more = rows.step();
      while (more || file < files.size()) {
        std::string path = more ? rows.text(0) : std::string();
        if (file < files.size() && (!more || files[file].path < path)) {
          changed.push_back(files[file++]);
        } else if (file == files.size() || path < files[file].path) {
          if (unchecked(path)) {
            ++kept;
          } else {
            gone.push_back(path);
          }
          more = rows.step();
        } else {
          FileStamp was{rows.integer(1), rows.integer(2), rows.integer(3), rows.integer(4)};
          // An unreadable note (size -1) is read again at every look.
          if (!stamps[file] || *stamps[file] != was) changed.push_back(files[file]);
          ++file;
          more = rows.step();
        }
      }
    } catch (const SqlError&) {
      mark_broken();
      return;
    }
  }
  bool tell = progress && changed.size() >= PROGRESS_FROM;
  // A large build keeps no words for taking rows out (see the contract): the index stays small.
  const bool keep_words = changed.size() < PROGRESS_FROM;
  const size_t read = changed.size();
  size_t done = 0;
  // Said at once, so a large build is known to be under way long before its first count.
  if (tell) {
    *progress << "kestil-folder: indexing " << space_.name << ": 0 of " << with_commas(read)
              << " notes\n"
              << std::flush;
  }
  while (done < changed.size() || !gone.empty()) {
    size_t end = std::min(changed.size(), done + NOTES_PER_TRANSACTION);
    std::vector<NoteRow> rows;
    for (; done < end; ++done) rows.push_back(prepare_row(changed[done], keep_words));
    store(rows, gone);
    if (broken_) return;
    gone.clear();
    if (tell && (done % PROGRESS_EVERY < NOTES_PER_TRANSACTION || done == changed.size())) {
      *progress << "kestil-folder: indexing " << space_.name << ": " << with_commas(done) << " of "
                << with_commas(changed.size()) << " notes\n"
                << std::flush;
    }
  }
  const size_t listed = files.size() + kept;
  try {
    std::lock_guard writing(writer_mutex_);
    writer_->exec("INSERT OR REPLACE INTO state VALUES('complete', 1)");
    Statement(*writer_, "INSERT OR REPLACE INTO state VALUES('notes', ?1)")
        .bind(1, static_cast<int64_t>(listed))
        .step();
    // Pages filled in the order notes came are packed once a build read many notes (a tenth
    // of the index); the log would otherwise stay on disk beside it.
    if (read >= PROGRESS_FROM) {
      try {
        writer_->exec("VACUUM");
      } catch (const SqlError&) {
        // Only the size is lost: the index stays as built.
      }
    }
    if (read > 0) writer_->exec("PRAGMA wal_checkpoint(TRUNCATE)");
  } catch (const SqlError&) {
    mark_broken();
    return;
  }
  ready_ = true;
  if (progress && !announced_) {
    announced_ = true;
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", seconds.count());
    *progress << "kestil-folder: index of " << space_.name << " ready: " << with_commas(listed)
              << " notes, " << with_commas(read) << " read in " << took << " s\n"
              << std::flush;
  }
}

void NoteIndex::follow(std::ostream* progress) {
  yield_to_calls();
  warnings_ = progress;
  // Watched before the first look, so nothing that changes during it is missed.
  watcher_ = std::make_unique<Watcher>(space_, progress);
  if (watcher_->live()) live_watcher_ = watcher_.get();
  reconcile(progress);
  auto looked = std::chrono::steady_clock::now();
  for (;;) {
    // Tidied only when nothing came for a while, so a burst of changes is not slowed by it.
    if (!watcher_->wait(LOOK_EVERY)) tidy();
    {
      std::lock_guard taking(changes_mutex_);
      if (watcher_->live()) {
        apply(watcher_->take(), false);
      } else {
        live_watcher_ = nullptr;
        watcher_->take();  // says once why it looks instead
        reconcile(nullptr);
      }
    }
    if (broken_) reconcile(progress);
    if (std::chrono::steady_clock::now() - looked >= SAFETY_LOOK_EVERY) {
      reconcile(nullptr);
      looked = std::chrono::steady_clock::now();
    }
  }
}

namespace {

// The notes of rows that select path, id and mtime, in that order.
std::vector<IndexedNote> notes_of(Statement& rows, const Space& space) {
  std::vector<IndexedNote> notes;
  while (rows.step()) {
    check_deadline();
    std::string path = rows.text(0);
    notes.push_back(
        IndexedNote{NoteFile{path, note_file(space, path), rows.integer(2)}, rows.text(1)});
  }
  return notes;
}

}  // namespace

std::optional<std::vector<IndexedNote>> NoteIndex::recent(size_t limit) {
  return read<std::vector<IndexedNote>>([&](Connection& db) {
    Statement rows(db, "SELECT path, id, mtime FROM notes ORDER BY mtime DESC, path LIMIT ?1");
    rows.bind(1, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
    return notes_of(rows, space_);
  });
}

std::optional<std::vector<IndexedNote>> NoteIndex::with_id(const std::string& id) {
  return notes_where("SELECT path, id, mtime FROM notes WHERE id = ?1 ORDER BY path LIMIT 1", id);
}

std::optional<std::vector<IndexedNote>> NoteIndex::notes_where(const char* sql,
                                                               const std::string& value) {
  return read<std::vector<IndexedNote>>([&](Connection& db) {
    Statement rows(db, sql);
    rows.bind(1, value);
    return notes_of(rows, space_);
  });
}

std::optional<std::vector<IndexedNote>> NoteIndex::titled(const std::string& title_nfc) {
  // Titles the same in NFC have the same name_key, so that index finds them.
  auto notes = titled_folded(name_key(title_nfc));
  if (notes) {
    std::erase_if(*notes, [&](const IndexedNote& note) {
      return nfc(title_of(note.where.path)) != title_nfc;
    });
  }
  return notes;
}

std::optional<std::vector<IndexedNote>> NoteIndex::titled_folded(const std::string& key) {
  return notes_where("SELECT path, id, mtime FROM notes WHERE title_key = ?1 ORDER BY path", key);
}

std::optional<std::vector<IndexedNote>> NoteIndex::aliased(const std::string& key) {
  return notes_where(
      "SELECT n.path, n.id, n.mtime FROM aliases a JOIN notes n ON n.path = a.path "
      "WHERE a.key = ?1 ORDER BY n.path",
      key);
}

std::optional<std::vector<TagCount>> NoteIndex::tags(std::string_view prefix_key, size_t limit) {
  return read<std::vector<TagCount>>([&](Connection& db) {
    Statement rows(db,
                   "SELECT tag, notes FROM tag_counts WHERE key >= ?1 AND key < ?2 "
                   "ORDER BY notes DESC, key");
    rows.bind(1, prefix_key).bind(2, prefix_end(std::string(prefix_key)));
    std::vector<TagCount> counts;
    while (counts.size() < limit && rows.step()) {
      counts.push_back(TagCount{rows.text(0), static_cast<size_t>(rows.integer(1))});
    }
    return counts;
  });
}

std::optional<std::vector<IndexedNote>> NoteIndex::tagged(const std::string& key, size_t limit) {
  return read<std::vector<IndexedNote>>([&](Connection& db) {
    Statement rows(db,
                   "SELECT t.path, n.id, n.mtime FROM tags t JOIN notes n ON n.path = t.path "
                   "WHERE t.key = ?1 ORDER BY t.path LIMIT ?2");
    rows.bind(1, key).bind(2, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
    return notes_of(rows, space_);
  });
}

std::optional<NoteIndex::Tasks> NoteIndex::tasks(const std::string& folder, bool include_done,
                                                 size_t limit) {
  return read<Tasks>([&](Connection& db) {
    Statement rows(db,
                   "SELECT t.path, t.ref, t.text, t.done FROM tasks t WHERE t.path >= ?1 AND "
                   "t.path < ?2 AND (?3 OR t.done = 0) ORDER BY t.path, t.position");
    std::string from = folder.empty() ? "" : folder + "/";
    rows.bind(1, from).bind(2, folder.empty() ? std::string(PAST_ALL_TEXT) : prefix_end(from));
    rows.bind(3, int64_t{include_done ? 1 : 0});
    Tasks found;
    while (rows.step()) {
      if (++found.total > limit) {
        if (found.total % 1024 == 0) check_deadline();
        continue;
      }
      std::string path = rows.text(0);
      IndexedTask task{IndexedNote{NoteFile{path, note_file(space_, path), 0}, {}}, rows.text(1),
                       rows.text(2), rows.integer(3) != 0};
      found.items.push_back(std::move(task));
    }
    for (IndexedTask& task : found.items) {
      Statement note(db, "SELECT id, mtime FROM notes WHERE path = ?1");
      note.bind(1, task.note.where.path);
      if (note.step()) {
        task.note.id = note.text(0);
        task.note.where.mtime_ns = note.integer(1);
      }
    }
    return found;
  });
}

std::optional<std::vector<IndexedNote>> NoteIndex::notes_at(const std::vector<std::string>& paths) {
  return read<std::vector<IndexedNote>>([&](Connection& db) {
    std::vector<IndexedNote> notes;
    for (const std::string& path : paths) {
      Statement note(db, "SELECT id, mtime FROM notes WHERE path = ?1");
      note.bind(1, path);
      if (note.step()) {
        notes.push_back(
            IndexedNote{NoteFile{path, note_file(space_, path), note.integer(1)}, note.text(0)});
      }
    }
    return notes;
  });
}

std::optional<std::vector<NoteIndex::LinkFrom>> NoteIndex::links_to(
    const std::string& path, const std::string& id, const std::vector<std::string>& aliases) {
  std::vector<std::string> keys = {id, path, name_key(title_of(path))};
  for (const std::string& alias : aliases) keys.push_back(name_key(alias));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return read<std::vector<LinkFrom>>([&](Connection& db) {
    std::vector<LinkFrom> found;
    for (const std::string& key : keys) {
      Statement rows(db, "SELECT path, kind, target FROM links WHERE key = ?1");
      rows.bind(1, key);
      while (rows.step()) {
        check_deadline();
        std::string target = rows.text(2);
        found.push_back(LinkFrom{rows.text(0), Link{static_cast<LinkKind>(rows.integer(1)),
                                                    target.empty() ? key : target, 0, 0}});
      }
    }
    return found;
  });
}

std::optional<std::vector<IndexedNote>> NoteIndex::search(const Query& query, size_t offset,
                                                          size_t count) {
  std::string match = full_text_query(query);
  std::string sizes = term_sizes(query);
  return read<std::vector<IndexedNote>>([&](Connection& db) {
    // Ranked inside the full-text table alone, the sort keeping only as many rows as may be
    // needed: those asked for and every row left behind by a changed note, which has no note
    // and is passed over. Only the rows stepped through are looked up as notes.
    Statement behind(db, "SELECT count(*) FROM left_behind");
    auto left = static_cast<size_t>(behind.step() ? behind.integer(0) : 0);
    auto plus = [](size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; };
    size_t wanted = plus(plus(offset, count), left);
    Statement rows(db,
                   has_phrase(query)
                       ? "SELECT rowid FROM words WHERE words MATCH ?1 AND "
                         "kestil_phrases(words, ?2) ORDER BY bm25(words, 10.0, 1.0), rowid DESC "
                         "LIMIT ?3"
                       : "SELECT rowid FROM words WHERE words MATCH ?1 "
                         "ORDER BY bm25(words, 10.0, 1.0), rowid DESC LIMIT ?3");
    rows.bind(1, match).bind(3, static_cast<int64_t>(std::min<size_t>(wanted, INT64_MAX)));
    if (has_phrase(query)) rows.bind(2, sizes);
    std::vector<IndexedNote> notes;
    size_t skipped = 0;
    while (notes.size() < count && rows.step()) {
      Statement note(db, "SELECT path, id, mtime FROM notes WHERE doc = ?1");
      note.bind(1, rows.integer(0));
      if (!note.step()) continue;
      if (skipped < offset) {
        ++skipped;
        continue;
      }
      check_deadline();
      std::string path = note.text(0);
      notes.push_back(
          IndexedNote{NoteFile{path, note_file(space_, path), note.integer(2)}, note.text(1)});
    }
    return notes;
  });
}

std::optional<size_t> NoteIndex::search_count(const Query& query) {
  std::string match = full_text_query(query);
  std::string sizes = term_sizes(query);
  return read<size_t>([&](Connection& db) {
    // All matching rows, less those left behind by changed notes (few: kept in their own table).
    Statement all(db, has_phrase(query) ? "SELECT count(*) FROM words WHERE words MATCH ?1 AND "
                                          "kestil_phrases(words, ?2)"
                                        : "SELECT count(*) FROM words WHERE words MATCH ?1");
    all.bind(1, match);
    if (has_phrase(query)) all.bind(2, sizes);
    int64_t found = all.step() ? all.integer(0) : 0;
    Statement behind(db,
                     has_phrase(query)
                         ? "SELECT count(*) FROM left_behind b JOIN words ON words.rowid = b.doc "
                           "WHERE words MATCH ?1 AND kestil_phrases(words, ?2)"
                         : "SELECT count(*) FROM left_behind b JOIN words ON words.rowid = b.doc "
                           "WHERE words MATCH ?1");
    behind.bind(1, match);
    if (has_phrase(query)) behind.bind(2, sizes);
    int64_t left = behind.step() ? behind.integer(0) : 0;
    return static_cast<size_t>(std::max<int64_t>(found - left, 0));
  });
}

}  // namespace kestil::folder
