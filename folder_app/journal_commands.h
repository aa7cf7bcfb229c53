// kestil-folder's verbs on the change journal: log, show and undo. Each reads the journal in the
// config dir whether or not the app is running beside it.
#pragma once

#include <string>
#include <vector>

namespace kestil::folder {

// Whether `verb` is one of the journal's verbs.
bool is_journal_verb(const std::string& verb);

// Runs the verb `args[0]` with the rest of `args`. Returns the exit status: 0 done, 1 a problem
// (said in one line on stderr, nothing changed), 2 bad usage.
int run_journal_verb(const std::vector<std::string>& args);

}  // namespace kestil::folder
