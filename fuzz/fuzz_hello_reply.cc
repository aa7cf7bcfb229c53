// The app's answer to the hello, as one line.
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "ipc.h"

using namespace kestil;

namespace {

bool same(const std::optional<HelloReply>& a, const std::optional<HelloReply>& b) {
  if (!a || !b) return !a && !b;
  return a->ok == b->ok && a->catalog_hash == b->catalog_hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const std::optional<HelloReply> reply = parse_hello_reply(line);
  // Unicode white space around the line (no-break space, CR LF, ideographic space) is
  // trimmed and never changes the outcome.
  KESTIL_CHECK(same(parse_hello_reply("\xC2\xA0 \t" + line + "\r\n\xE3\x80\x80"), reply));
  if (!reply) return 0;

  const std::optional<Json> record = parse_record(trim_white_space(line));
  KESTIL_CHECK(record);
  KESTIL_CHECK(record->at("ok").is_boolean() && record->at("ok") == reply->ok);
  KESTIL_CHECK(record->at("catalog_hash") == reply->catalog_hash);

  fuzz::check_output_value(*record);
  KESTIL_CHECK(same(parse_hello_reply(to_compact(*record)), reply));
  const Json written{{"ok", reply->ok}, {"catalog_hash", reply->catalog_hash}};
  KESTIL_CHECK(same(parse_hello_reply(to_compact(written)), reply));
  return 0;
}
