#include "main.h"

#include <unistd.h>

#include <csignal>
#include <cstring>

namespace kestil {

// Lines may be of any length; this only sets how much one read takes in.
constexpr std::size_t INPUT_CHUNK_SIZE = 64 * 1024;

bool write_message(int output, const Message& message) {
  // One write per message, so that a reader never sees part of one held back.
  if (const Json* value = std::get_if<Json>(&message)) {
    return write_all(output, {to_compact(*value), "\n"});
  }
  const CompactText& text = std::get<CompactText>(message);
  return write_all(output, {text.head, text.body, text.tail, "\n"});
}

bool launch_allowed(int argc, const char* const* argv) {
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-launch") == 0) return false;
  }
  return true;
}

void serve(Bridge& bridge, int input, int output) {
  LineReader reader(input, INPUT_CHUNK_SIZE);
  std::string_view line;
  while (reader.read_line(line) == ReadStatus::line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (trim_white_space(line).empty()) continue;
    for (const Message& message : bridge.handle_line(line)) {
      if (!write_message(output, message)) return;
    }
  }
}

}  // namespace kestil

int main(int argc, char** argv) {
  // A host or app that goes away must show up as a failed write, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  kestil::Bridge bridge(kestil::launch_allowed(argc, argv));
  kestil::serve(bridge, STDIN_FILENO, STDOUT_FILENO);
  return 0;
}
