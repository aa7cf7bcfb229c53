// The compact-reply checker linked into the program itself.
#include "compact_json.h"

namespace kestil {

CompactCheck check_compact_reply(std::string_view text, std::size_t readable) {
  return to_compact_check(kestil_check_compact_reply(text.data(), text.size(), readable));
}

}  // namespace kestil
