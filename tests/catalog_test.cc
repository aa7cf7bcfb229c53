// The catalog is pinned whole: its length and its hash change with any text, flag or order.
// The interop tests parse the same bytes with the SDK's schemas.
#include "catalog.h"

#include <gtest/gtest.h>

namespace kestil {
namespace {

TEST(Catalog, PinnedByLengthAndHash) {
  EXPECT_EQ(to_compact(tools()).size(), 13877u);
  EXPECT_EQ(to_compact(prompts()).size(), 422u);
  EXPECT_EQ(fnv1a_64("foobar"), 0x85944171f73967e8u);  // a published FNV-1a test vector
  EXPECT_EQ(catalog_hash(), "2e3abedecaa1a0e6");
}

}  // namespace
}  // namespace kestil
