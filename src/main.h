// Program entry: the command line and the loop from standard input to standard output.
#pragma once

#include "bridge.h"

namespace kestil {

// False when any argument, the program name included, is exactly "--no-launch".
bool launch_allowed(int argc, const char* const* argv);

// Writes `message` and a line feed to `output` in one go where the descriptor allows.
bool write_message(int output, const Message& message);

// Hands every non-blank line of `input` to the bridge and writes each message it returns
// as one compact line to `output`. Returns at end of input, on a read error, or when a write
// fails.
void serve(Bridge& bridge, int input, int output);

}  // namespace kestil
