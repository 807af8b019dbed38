// The emitter's map from node addresses to small values (method ids by
// declaration, types by written type expression): every key is found again
// after the table grows, the first value stored for a key stays, and keys
// never stored (or null) are absent.
#include <gtest/gtest.h>

#include <vector>

#include "emit/program.hpp"

namespace {

using Emit::detail::PointerMap;

TEST(PointerMap, FindsEveryKeyAcrossGrowthAndKeepsTheFirstValue) {
  std::vector<int> nodes(5000);
  PointerMap<int, unsigned> map;
  EXPECT_FALSE(map.find(&nodes[0]));  // empty table
  for (unsigned i = 0; i < nodes.size(); i += 2) map.insert(&nodes[i], i);
  for (unsigned i = 0; i < nodes.size(); i += 2) map.insert(&nodes[i], i + 1);  // ignored
  map.insert(nullptr, 7);
  for (unsigned i = 0; i < nodes.size(); ++i) {
    auto found = map.find(&nodes[i]);
    if (i % 2 == 0) {
      ASSERT_TRUE(found) << i;
      EXPECT_EQ(*found, i);
    } else {
      EXPECT_FALSE(found) << i;
    }
  }
  EXPECT_FALSE(map.find(nullptr));
}

}  // namespace
