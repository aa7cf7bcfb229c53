// Taking changes back. An undo is itself a change: written through the same conflict-checked,
// atomic write as the tools and recorded in the journal, so it can be taken back in turn. It
// takes no lock of the app's and may run while the app and the person's editor write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "journal.h"
#include "outcome.h"

namespace kestil::folder {

// What a note holds once change `change` is taken back from `now` (none: the note is not in
// the space): exactly the bytes before when `now` is what the change wrote, else `now` with
// the change's lines reverted where they still stand as it left them. Fails, naming the lines,
// where they do not.
Outcome<std::optional<std::string>> undone(const Change& change,
                                           const std::optional<std::string>& now);

// Takes back the changes `numbers` of `journal`, newest first, all or none. A note that a change
// created leaves the space for `recovered_dir`. With `dry_run` nothing is written. Returns one
// line per change on what was done (or would be), or why nothing was.
Outcome<std::vector<std::string>> undo_changes(Journal& journal, std::vector<int64_t> numbers,
                                               const std::string& recovered_dir, bool dry_run);

}  // namespace kestil::folder
