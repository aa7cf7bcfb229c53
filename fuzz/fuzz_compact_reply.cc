// The check that lets an app's reply line go out as sent: it confirms a line exactly when
// parsing and writing the line gives back the same bytes, and it reads the unavailable
// marker as the parsed value has it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.h"
#include "compact_json.h"
#include "ipc.h"

using namespace kestil;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the padding the line reader guarantees, so that reading further is caught.
  std::vector<char> buffer(size + LINE_PADDING, '\0');
  if (size > 0) std::memcpy(buffer.data(), data, size);
  const std::string_view line(buffer.data(), size);

  const CompactCheck check = check_compact_reply(line, buffer.size());
  const std::optional<Json> value = parse_json(line);
  const bool rewrites_to_itself = value && value->is_object() && to_compact(*value) == line;
  KESTIL_CHECK((check != CompactCheck::declined) == rewrites_to_itself);
  if (rewrites_to_itself) {
    KESTIL_CHECK((check == CompactCheck::compact_unavailable) ==
                 fuzz::carries_unavailable_marker(*value));
  }
  return 0;
}
