// The declaration tables' name map: lookups across growth, stable entries,
// insertion-order iteration, name-order listings and independent copies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "types/types.hpp"

namespace {

struct Entry {
  std::string_view name;
  int value = 0;
};

TEST(NameMap, ManyNamesKeepTheirEntriesAndTheFirstInsertWins) {
  // Names live in one vector reserved up front, so the views stay valid.
  std::vector<std::string> names;
  names.reserve(5000);
  for (int i = 0; i < 5000; ++i) names.push_back("n" + std::to_string(i * 7919 % 5000));
  Types::NameMap<Entry> map;
  std::vector<const Entry*> first_seen;
  for (int i = 0; i < 5000; ++i) {
    auto [entry, added] = map.insert(Entry{names[i], i});
    EXPECT_TRUE(added);
    first_seen.push_back(entry);
  }
  // A taken name is refused and the entry under it handed back.
  auto [again, added] = map.insert(Entry{names[10], -1});
  EXPECT_FALSE(added);
  EXPECT_EQ(again, first_seen[10]);
  EXPECT_EQ(map.size(), 5000u);
  for (int i = 0; i < 5000; ++i) {
    // Entries never move while the table grows.
    ASSERT_EQ(map.find(names[i]), first_seen[i]) << names[i];
    EXPECT_EQ(first_seen[i]->value, i);
  }
  EXPECT_EQ(map.find("n5000"), nullptr);
  EXPECT_FALSE(map.contains(""));
  EXPECT_TRUE(map.contains("n0"));

  // Iteration follows insertion; listings follow byte order.
  int expected = 0;
  for (const auto& [name, entry] : map) {
    EXPECT_EQ(name, names[expected]);
    EXPECT_EQ(entry.value, expected);
    ++expected;
  }
  EXPECT_EQ(expected, 5000);
  std::vector<const Entry*> sorted = map.in_name_order();
  ASSERT_EQ(sorted.size(), 5000u);
  for (std::size_t i = 1; i < sorted.size(); ++i) EXPECT_LT(sorted[i - 1]->name, sorted[i]->name);
}

TEST(NameMap, CopiesAreIndependentAndEmptyTablesAnswer) {
  Types::NameMap<Entry> empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.find("x"), nullptr);
  EXPECT_EQ(empty.begin(), empty.end());
  EXPECT_TRUE(empty.in_name_order().empty());

  Types::NameMap<Entry> a;
  a.reserve(3);
  a.insert(Entry{"x", 1});
  a.insert(Entry{"y", 2});
  Types::NameMap<Entry> b = a;
  b.insert(Entry{"z", 3});
  b.find_mutable("x")->value = 10;
  EXPECT_EQ(a.size(), 2u);
  EXPECT_FALSE(a.contains("z"));
  EXPECT_EQ(a.find("x")->value, 1);
  EXPECT_EQ(b.find("x")->value, 10);
  EXPECT_NE(a.find("y"), b.find("y"));
  a = b;
  EXPECT_EQ(a.size(), 3u);
  EXPECT_EQ(a.find("x")->value, 10);
  EXPECT_EQ(a.find_mutable("missing"), nullptr);
}

TEST(NameMap, SharedEntriesAreReferredToAndCopiedOnlyWhenChanged) {
  Types::NameMap<Entry> file;
  file.insert(Entry{"p", 1});
  file.insert(Entry{"q", 2});
  Types::NameMap<Entry> merged;
  merged.insert(Entry{"own", 0});
  EXPECT_EQ(merged.insert_shared(*file.find("p")).first, file.find("p"));
  merged.insert_shared(*file.find("q"));
  // The earlier entry wins, shared or not.
  Types::NameMap<Entry> other;
  other.insert(Entry{"p", 9});
  EXPECT_FALSE(merged.insert_shared(*other.find("p")).second);
  EXPECT_EQ(merged.find("p")->value, 1);

  // A copy keeps referring to the shared entries and owns copies of its own.
  Types::NameMap<Entry> copy = merged;
  EXPECT_EQ(copy.find("p"), file.find("p"));
  EXPECT_NE(copy.find("own"), merged.find("own"));
  EXPECT_EQ(copy.find("own")->value, 0);
  // Changing a shared entry through one table leaves the owner as it was.
  copy.find_mutable("q")->value = 20;
  EXPECT_EQ(copy.find("q")->value, 20);
  EXPECT_EQ(file.find("q")->value, 2);
  EXPECT_EQ(merged.find("q")->value, 2);
  std::vector<std::string_view> order;
  for (const auto& [name, entry] : copy) order.push_back(name);
  EXPECT_EQ(order, (std::vector<std::string_view>{"own", "p", "q"}));
}

}  // namespace
