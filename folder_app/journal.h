// The change journal: every change the app makes to a note, kept in DIR/journal.sqlite (one
// database for all spaces, never a file in the person's folders) so that the person can see it
// and take it back.
//
// The contract with the disk: an entry is written, and committed, before the note's new bytes
// are put in place, and marked done after. A crash between the two leaves a pending entry, which
// the next open settles by looking at the note: done when the note holds what the entry wrote,
// dropped when it does not. So no entry claims a change that did not happen, and no change on
// disk is without its entry. An entry that cannot be written stops the change.
//
// An entry does not keep the note. It keeps what rebuilds the bytes before from the bytes after:
// the span between their longest common prefix and suffix on both sides, with a few whole lines
// around it for context. An append to a large note costs the journal a few hundred bytes.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "line_diff.h"
#include "outcome.h"
#include "protocol.h"
#include "store.h"

namespace kestil::folder {

// How much the journal keeps: changes of the last `days`, in at most `bytes`; the oldest go first.
struct JournalLimits {
  int64_t days = 90;
  int64_t bytes = int64_t{256} << 20;
};

// One change to one note.
struct Change {
  int64_t number = 0;
  int64_t time_ms = 0;  // since the epoch
  std::string space;
  std::string root;  // the space's folder
  std::string path;  // the note, space-relative, without ".md"
  std::string tool;
  std::string summary;  // the tool and its arguments in short: "edit_note: replace b4~1c2d"
  bool existed_before = true;
  bool exists_after = true;  // false when the change took the note out of the space
  std::string version_before;
  std::string version_after;
  int64_t size_after = 0;
  // The changed span and its context. The texts before and after both hold `lead`, then
  // `removed` (before) or `added` (after), then `tail`, from byte `start` on, which is the
  // start of line `first_line` (counted from 0).
  int64_t start = 0;
  int64_t first_line = 0;
  std::string lead;
  std::string removed;
  std::string added;
  std::string tail;
  bool done = false;

  // The bytes before, rebuilt from `after`, which must be exactly the bytes this change wrote.
  std::string before_from(std::string_view after) const;
  // The change as hunks from the bytes before to the bytes after (or back, with `reverse`),
  // their lines counted from the start of the span (add `first_line` for the note's).
  std::vector<Hunk> hunks(bool reverse, size_t context = 3) const;
};

// Which changes to list, newest first.
struct ChangeFilter {
  std::string path;        // only this note ("" for all)
  int64_t since_ms = 0;    // only changes at or after this time
  int64_t limit = 0;       // at most this many (0 for all)
  bool with_texts = true;  // read the spans too
};

class Journal {
 public:
  // Opens DIR/journal.sqlite, creating it when missing. The app that keeps it gives `limits`,
  // which bound it from then on; without, nothing is ever dropped.
  static Outcome<std::unique_ptr<Journal>> open(const std::string& config_dir,
                                                std::optional<JournalLimits> limits);
  // Opens it only to read, beside an app that may be writing it.
  static Outcome<std::unique_ptr<Journal>> open_to_read(const std::string& config_dir);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Records that the note at `path` of `space` is about to change from `before` (none: it is
  // new) to `after` (none: it leaves the space). Returns the pending entry's number.
  Outcome<int64_t> begin(const Space& space, std::string_view path, std::string_view tool,
                         std::string_view summary, std::optional<std::string_view> before,
                         std::optional<std::string_view> after);
  // The change `number` reached the disk (`put`), or did not and its entry goes.
  void finish(int64_t number, bool put);

  // Both throw std::runtime_error when the journal cannot be read.
  std::vector<Change> list(const ChangeFilter& filter);
  std::optional<Change> find(int64_t number);
  // Drops the oldest done changes past the limits.
  void trim();
  // Settles the entries that a process which has ended left pending: done when the note holds
  // what the entry wrote, dropped when not. Run after crash leftovers are tidied.
  void settle_pending();

  const std::string& file() const { return file_; }

 private:
  Journal(sqlite3* db, std::string file, std::optional<JournalLimits> limits);

  sqlite3* db_;
  std::string file_;
  std::optional<JournalLimits> limits_;
  std::mutex mutex_;
  int since_trim_ = 0;
};

// The tool's arguments in a few words, for the journal's summary.
std::string change_summary(std::string_view tool, const Json& arguments);

// Records one call's writes of one space in a journal, through the store's write seam.
class JournalRecord : public WriteRecord {
 public:
  JournalRecord(Journal& journal, const Space& space, std::string tool, std::string summary)
      : journal_(journal), space_(space), tool_(std::move(tool)), summary_(std::move(summary)) {}

  std::optional<Failure> pending(const std::string& file, std::optional<std::string_view> before,
                                 std::optional<std::string_view> after) override;
  void finished(bool put) override;
  // The number of the last change recorded, 0 before any.
  int64_t last() const { return number_; }

 private:
  Journal& journal_;
  const Space& space_;
  std::string tool_;
  std::string summary_;
  int64_t number_ = 0;
};

}  // namespace kestil::folder
