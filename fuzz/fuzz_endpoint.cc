// The text of an endpoint file, as the app might leave it.
#include <cstddef>
#include <cstdint>
#include <tuple>

#include "check.h"
#include "ipc.h"

using namespace kestil;

namespace {

bool same(const std::optional<Endpoint>& a, const std::optional<Endpoint>& b) {
  if (!a || !b) return !a && !b;
  return std::tie(a->v, a->socket, a->pid, a->app_version) ==
         std::tie(b->v, b->socket, b->pid, b->app_version);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<Endpoint> endpoint = parse_endpoint(text);
  // JSON white space around the object never changes the outcome.
  KESTIL_CHECK(same(parse_endpoint(" \n" + text + "\r\n\t"), endpoint));
  if (!endpoint) return 0;

  // What was read is what the file says, integers written as integers.
  const std::optional<Json> record = parse_record(text);
  KESTIL_CHECK(record);
  for (const char* key : {"v", "pid"}) KESTIL_CHECK(record->at(key).is_number_integer());
  KESTIL_CHECK(record->at("v") == endpoint->v && record->at("pid") == endpoint->pid);
  KESTIL_CHECK(record->at("socket") == endpoint->socket);
  KESTIL_CHECK(record->at("app_version") == endpoint->app_version);

  // Written out again, with or without the members it ignores, it reads back the same.
  fuzz::check_output_value(*record);
  KESTIL_CHECK(same(parse_endpoint(to_compact(*record)), endpoint));
  const Json written{{"v", endpoint->v},
                     {"socket", endpoint->socket},
                     {"pid", endpoint->pid},
                     {"app_version", endpoint->app_version}};
  KESTIL_CHECK(same(parse_endpoint(to_compact(written)), endpoint));
  return 0;
}
