// Program entry: the command line and the loop from standard input to standard output.
#pragma once

#include "bridge.h"

namespace kestil {

// False when any argument, the program name included, is exactly "--no-launch".
bool launch_allowed(int argc, const char* const* argv);

// Hands every non-blank line of `input` to the bridge and writes each value it returns as
// one compact line to `output`. Returns at end of input, on a read error, or when a write
// fails.
void serve(Bridge& bridge, int input, int output);

}  // namespace kestil
