// The emitter's lookup tables: node addresses to small values (method ids by
// declaration, types by written type expression), names to numbers, and the
// ownership records of a file by node id. Every key is found again after a
// table grows, the first value stored for a key stays, and keys never stored
// are absent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emit/program.hpp"

namespace {

using Emit::detail::NameTable;
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

TEST(NameTable, FindsEveryNameAcrossGrowthAndKeepsTheFirstValue) {
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) names.push_back("name" + std::to_string(i));
  NameTable table;
  EXPECT_FALSE(table.find("name0"));  // empty table
  for (std::uint32_t i = 0; i < names.size(); ++i) EXPECT_EQ(table.insert(names[i], i), i);
  for (std::uint32_t i = 0; i < names.size(); ++i) EXPECT_EQ(table.insert(names[i], i + 7), i);  // kept
  for (std::uint32_t i = 0; i < names.size(); ++i) {
    // Looked up through other bytes than the ones stored.
    std::string copy = names[i];
    auto found = table.find(copy);
    ASSERT_TRUE(found) << copy;
    EXPECT_EQ(*found, i);
  }
  EXPECT_FALSE(table.find("name3000"));
  EXPECT_FALSE(table.find("name"));
  // A name and its own prefix, viewed in the same bytes, stay apart; so does the empty name.
  std::string_view whole = names[12];  // "name12"
  EXPECT_EQ(table.insert(whole.substr(0, 5), 100), 1u);  // "name1", stored already
  EXPECT_FALSE(table.find(""));
  EXPECT_EQ(table.insert("", 9), 9u);
  EXPECT_EQ(*table.find(""), 9u);
  EXPECT_EQ(*table.find(whole), 12u);
}

TEST(Views, FindTheFirstRecordOfEachKindAtEachSite) {
  using Owner::DropKind;
  Owner::Tables tables;
  auto drop = [&](Ast::NodeId id, DropKind kind, std::string_view label, std::string_view item) {
    Owner::DropItem one{item, false, 0};
    tables.drops.push_back(Owner::Drop{id, {int(id), 1}, kind, label, tables.items.add({&one, 1})});
  };
  // Recorded out of id order, across several blocks, two records of one kind at one site.
  drop(1000, DropKind::Scope, "BODY", "b");
  drop(64, DropKind::LiveMask, "", "x");
  drop(1000, DropKind::Scope, "THEN", "t");
  drop(0, DropKind::Return, "", "r");
  drop(1000, DropKind::Scope, "BODY", "second");
  drop(63, DropKind::Overwrite, "", "o");
  drop(1000, DropKind::LiveMask, "", "m");
  Emit::detail::Views v = Emit::detail::build_views(tables, 1001);
  auto item = [](const Owner::Drop* d) { return d ? std::string(d->items[0].name) : std::string("-"); };
  EXPECT_EQ(item(v.find(1000, DropKind::Scope, "BODY")), "b");
  EXPECT_EQ(item(v.find(1000, DropKind::Scope, "THEN")), "t");
  EXPECT_EQ(item(v.find(1000, DropKind::Scope, "ELSE")), "-");
  EXPECT_EQ(item(v.find(1000, DropKind::LiveMask)), "m");
  EXPECT_EQ(item(v.find(64, DropKind::LiveMask)), "x");
  EXPECT_EQ(item(v.find(63, DropKind::Overwrite)), "o");
  EXPECT_EQ(item(v.find(0, DropKind::Return)), "r");
  EXPECT_EQ(item(v.find(0, DropKind::LiveMask)), "-");
  EXPECT_EQ(item(v.find(65, DropKind::LiveMask)), "-");
  EXPECT_EQ(item(v.find(999, DropKind::Scope, "BODY")), "-");
  EXPECT_EQ(item(v.find(5000000, DropKind::Scope, "BODY")), "-");  // past every id
}

}  // namespace
