// The index of one space: a cache in SQLite that answers "which notes?" without reading every
// file. The files stay the truth: every note is read from its file before it is shown or
// changed, and the index only names candidates.
//
// Contract:
// - Per note it keeps path, id, title, aliases, modification time and size, description, tags
//   (as all_tags reads them), tasks, its links as links_in reads them (resolved only when asked,
//   so a new note changes where names lead at once) and the words of title and body in a
//   full-text table without a copy of the text (contentless FTS5).
// - A changed note's full-text row is taken out again: a note indexed one at a time keeps the
//   distinct words of its body and their count (what a delete from a contentless table needs),
//   so each change removes its old row. A note of a large build keeps none, to keep the index
//   small; its first change leaves its old row behind, listed in left_behind so searches pass
//   over it, until a start finds more left-behind rows than live ones and builds anew.
// - Fresh: before a call answers from the index, catch_up brings in every change the watcher
//   has queued, so no answer is from before a change that finished before the call began.
// - A folder that cannot be read keeps the notes it had (said once on the warnings stream); a
//   note counts as changed when its size,
// modification or change time or inode differ.
// - An index file that cannot be read, is damaged or has another layout is built anew, never
//   served. Until the first build is done, ready() is false and the tools scan the files.
// - Reads come from any thread, each on its own pooled connection; writes take one lock.
//   Every public call returns its answer as a value; a failed query gives none, marks the index
//   broken (not ready) and the next maintenance round builds it anew.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "links.h"
#include "search.h"
#include "store.h"
#include "tools.h"

namespace kestil::folder {

class Connection;
class Watcher;
struct FolderChanges;
struct NoteRow;

// A note as a listing names it.
struct IndexedNote {
  NoteFile where;
  std::string id;
};

struct IndexedTask {
  IndexedNote note;
  std::string ref;
  std::string text;
  bool done = false;
};

struct TagCount {
  std::string tag;  // the spelling of the first note (by path) that carries it
  size_t notes = 0;
};

class NoteIndex {
 public:
  // Opens the index of `space` kept in `file`, starting it anew when it is damaged or of
  // another layout. Ready at once when the file holds a finished build.
  static Outcome<std::shared_ptr<NoteIndex>> open(const Space& space, const std::string& file);
  ~NoteIndex();
  NoteIndex(const NoteIndex&) = delete;
  NoteIndex& operator=(const NoteIndex&) = delete;

  bool ready() const { return ready_.load(); }

  // Brings the index in line with the folder, reading only notes whose size, times or inode
  // changed; says how far it got on `progress` when many notes need reading. The first one
  // makes the index ready. A broken index is started anew first.
  void reconcile(std::ostream* progress);

  // Reads the note at `note_path` again, or forgets it when it is gone. With `at_most`, gives
  // up (false) when the index is busy that long: the watcher brings the change in then.
  bool refresh(std::string_view note_path,
               std::optional<std::chrono::milliseconds> at_most = std::nullopt);

  // Watches the folder, reconciles, then follows its changes until the process ends (its own
  // thread). Warnings and progress go to `progress`.
  void follow(std::ostream* progress);

  // Brings in every change the watcher has queued so far. False when that could not be done
  // in time (a burst being brought in by another thread): the caller then scans the files.
  bool catch_up();

  // Listings; each gives none when the index failed (the caller then scans the files).
  std::optional<std::vector<IndexedNote>> recent(size_t limit);
  std::optional<std::vector<IndexedNote>> with_id(const std::string& id);  // by path, at most 1
  // Notes whose title in NFC is `title_nfc`; whose title's name_key is `key`; that list an
  // alias whose name_key is `key`. Each by path.
  std::optional<std::vector<IndexedNote>> titled(const std::string& title_nfc);
  std::optional<std::vector<IndexedNote>> titled_folded(const std::string& key);
  std::optional<std::vector<IndexedNote>> aliased(const std::string& key);
  // Tags whose key starts with `prefix_key`, most used first, then by key.
  std::optional<std::vector<TagCount>> tags(std::string_view prefix_key, size_t limit);
  std::optional<std::vector<IndexedNote>> tagged(const std::string& key, size_t limit);
  struct Tasks {
    std::vector<IndexedTask> items;
    size_t total = 0;
  };
  // Tasks in path order, inside `folder` ("" for all), the first `limit` of them and the count.
  std::optional<Tasks> tasks(const std::string& folder, bool include_done, size_t limit);
  // The links that may lead to the note at `path` with `id` and `aliases`, with the notes they
  // are written in: id links to `id`, file links to `path` or to a file of its name, and name
  // links whose last part is its title or whose whole is one of its aliases. Where each leads is
  // for resolve_link to say.
  struct LinkFrom {
    std::string from;  // the path of the note the link is written in
    Link link;
  };
  // The listed notes of `paths` that the index knows, in that order.
  std::optional<std::vector<IndexedNote>> notes_at(const std::vector<std::string>& paths);
  std::optional<std::vector<LinkFrom>> links_to(const std::string& path, const std::string& id,
                                                const std::vector<std::string>& aliases);

  // The notes that match `query` as match_note matches them, best first: BM25 over title and
  // body, a title word counting ten times a body word, then the more recently indexed. Each word
  // is a prefix query on the matcher's own tokens; a quoted phrase's words are found near each
  // other and then checked to stand in order (kestil_phrases). `count` of them from `offset`.
  std::optional<std::vector<IndexedNote>> search(const Query& query, size_t offset, size_t count);
  std::optional<size_t> search_count(const Query& query);

 private:
  NoteIndex(Space space, std::string file);
  class Lease;
  // Runs `query` on a pooled connection; none when it failed (the index is then broken).
  template <typename Result, typename Query>
  std::optional<Result> read(Query&& query);
  // The notes `sql` selects (path, id, mtime) with `value` bound to ?1.
  std::optional<std::vector<IndexedNote>> notes_where(const char* sql, const std::string& value);
  void start_anew();
  void mark_broken();
  // Reads and parses a note (no lock held: a large note keeps no one waiting).
  NoteRow prepare_row(const NoteFile& where, bool keep_words);
  void write_note(Connection& db, const NoteRow& row);
  void forget_note(Connection& db, std::string_view note_path);
  // Writes `rows` and forgets `gone`, a transaction per some notes. False when the writer
  // lock did not come within `at_most`.
  bool store(std::vector<NoteRow>& rows, const std::vector<std::string>& gone,
             std::optional<std::chrono::milliseconds> at_most = std::nullopt);
  // Brings `changes` in; false when a call would have had to wait for a look at every note.
  // REQUIRES: changes_mutex_ held.
  bool apply(FolderChanges changes, bool for_call);
  void reconcile_locked(std::ostream* progress);
  void refresh_all(const std::set<std::string>& note_paths);
  // Merges the full-text index once enough was written since the last merge, frees unused
  // pages and folds the log back in.
  void tidy();
  // Says once on the warnings stream each folder that could not be read.
  void tell_unread(const std::vector<UnreadFolder>& unread);

  Space space_;
  std::string file_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> broken_{false};
  bool checked_ = false;    // the kept file passed its check (touched by reconcile only)
  bool announced_ = false;  // the first reconcile said it is ready
  // Held shared while a connection is in use, exclusively while the file is replaced.
  std::shared_mutex file_lock_;
  std::mutex pool_mutex_;
  std::vector<std::unique_ptr<Connection>> pool_;
  std::timed_mutex writer_mutex_;
  std::unique_ptr<Connection> writer_;
  std::timed_mutex reconcile_mutex_;
  // Held while the watcher's changes are taken and brought in, by a call or the watcher thread.
  std::timed_mutex changes_mutex_;
  bool look_at_everything_ = false;  // a look a call left for later (under changes_mutex_)
  std::unique_ptr<Watcher> watcher_;
  std::atomic<Watcher*> live_watcher_{nullptr};  // set once it reports changes as they happen
  std::ostream* warnings_ = nullptr;
  std::set<std::string> told_unread_;  // folders said to be unreadable (touched by reconcile only)
  std::atomic<int64_t> written_since_merge_{0};  // bytes of notes written into the index
};

// The index of `space` when it is there, ready and has caught up with every change queued
// before this call, else none (scan the files).
NoteIndex* ready_index(const Space& space);

// The full-text query that finds the candidates of `query`: each word as a quoted prefix, a
// phrase's words near each other; nothing a caller typed reaches it unquoted.
std::string full_text_query(const Query& query);

}  // namespace kestil::folder
