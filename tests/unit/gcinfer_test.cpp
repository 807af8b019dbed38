// Gc inference: edges of field types, the order of strongly connected
// components, cycle reasons, and the fixpoint over the ownership pass.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ast/ast.hpp"
#include "diag/diag.hpp"
#include "gcinfer/gcinfer.hpp"
#include "owner/owner.hpp"
#include "lexer/lexer.hpp"
#include "parser/parser.hpp"
#include "parsed_file.hpp"
#include "types/types.hpp"

namespace {

using File = ParsedFile;

using Graph = std::map<std::string_view, std::vector<std::string_view>>;

std::vector<Gcinfer::Component> components(const std::vector<std::string_view>& names, const Graph& graph) {
  return Gcinfer::sccs(names, [&](std::string_view v) {
    auto it = graph.find(v);
    return it == graph.end() ? std::vector<std::string_view>{} : it->second;
  });
}

TEST(Gcinfer, ComponentsComeLastCompletedFirstAndStartAtTheirRoot) {
  Graph graph{{"a", {"b"}}, {"b", {"c", "a"}}, {"c", {"c"}}, {"d", {"a"}}};
  auto result = components({"a", "b", "c", "d"}, graph);
  ASSERT_EQ(result.size(), 3u);
  EXPECT_EQ(result[0], (Gcinfer::Component{"d"}));
  EXPECT_EQ(result[1], (Gcinfer::Component{"a", "b"}));
  EXPECT_EQ(result[2], (Gcinfer::Component{"c"}));
}

TEST(Gcinfer, LongChainsNeedNoDeepRecursion) {
  std::vector<std::string> storage;
  for (int i = 0; i < 50000; ++i) storage.push_back("c" + std::to_string(i));
  std::vector<std::string_view> names(storage.begin(), storage.end());
  Graph graph;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) graph[names[i]] = {names[i + 1]};
  graph[names.back()] = {names.front()};  // one big ring
  auto result = components(names, graph);
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0].size(), names.size());
  EXPECT_EQ(result[0].front(), "c0");
}

TEST(Gcinfer, EdgesFollowOwningFieldTypesOnly) {
  File file(
      "class N {\n  a: ?N\n  b: multi M\n  c: map<M, N>\n  d: ref K\n  e: backlink K.n\n  f: actor M\n  g: Int\n}\n"
      "class M {\n  n: Int\n}\nclass K {\n  n: ?N\n}\n");
  const Types::ClassInfo* n = file.symbols.classes.find("N");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(Gcinfer::edges(file.symbols, *n), (std::vector<std::string_view>{"M", "N"}));
  EXPECT_EQ(Gcinfer::refs_of_ty(file.symbols, *n->fields[2].ty), (std::vector<std::string_view>{"M", "N"}));
  EXPECT_TRUE(Gcinfer::refs_of_ty(file.symbols, *n->fields[3].ty).empty());
  Gcinfer::Classification c = Gcinfer::classify(file.symbols);
  EXPECT_EQ(c.reasons.at("N"), "cycle N -> N");
  EXPECT_EQ(c.reasons.count("K"), 0u);  // K -> N, but N never leads back through owning fields
  EXPECT_EQ(c.reasons.count("M"), 0u);
}

TEST(Gcinfer, FixpointAddsEscapingClassesAndStops) {
  File file(
      "class Item {\n  n: Int\n}\nclass Bag {\n  first: Item\n}\nclass Loop {\n  next: ?Loop\n}\n"
      "fn first(b: Bag) -> Item {\n  return b.first\n}\n");
  Types::FileTree tree{"t.vk", &file.tree};
  int rounds = 0;
  Types::Symbols out = Gcinfer::infer(std::span<const Types::FileTree>(&tree, 1), file.symbols, &rounds);
  EXPECT_EQ(rounds, 2);
  EXPECT_TRUE(Types::is_gc_class(out, "Item"));
  EXPECT_TRUE(Types::is_gc_class(out, "Loop"));
  EXPECT_FALSE(Types::is_gc_class(out, "Bag"));
  std::string dump = Gcinfer::render_final(out);
  EXPECT_NE(dump.find("Item       gc     (alias escape (demand))\n"), std::string::npos);
  EXPECT_NE(dump.find("Loop       gc     (cycle Loop -> Loop)\n"), std::string::npos);
  EXPECT_NE(dump.find("Bag        owned\n"), std::string::npos);
}

// The check mode takes the ownership diagnostics from the last round of the
// fixpoint instead of running the pass again: they must be those of the pass
// run afterwards under the final gc classes, in the same order.
TEST(Gcinfer, LastRoundGivesTheOwnershipDiagnosticsOfTheFinalClasses) {
  File file(
      "class Item {\n  n: Int\n}\nclass Bag {\n  first: Item\n}\nclass Box {\n  n: Int\n}\n"
      "class Crate {\n  n: Int\n}\n"
      "fn first(b: Bag) -> Item {\n  return b.first\n}\n"
      "fn items() {\n  let i = Item { n: 1 }\n  let j = i\n  print_int(i.n)\n}\n"
      "fn boxes() {\n  let a = Box { n: 1 }\n  let b = a\n  print_int(a.n)\n}\n"
      "fn leak(b: Box) -> Box {\n  return b\n}\n"
      "fn crates() {\n  let a = Crate { n: 1 }\n  let b = a\n  print_int(a.n)\n  let c = a\n}\n");
  Types::FileTree tree{"t.vk", &file.tree};
  std::span<const Types::FileTree> files(&tree, 1);
  Diag::Collector last_round;
  Types::Symbols out = Gcinfer::infer_checking(files, file.symbols, last_round);
  EXPECT_TRUE(Types::is_gc_class(out, "Item"));
  EXPECT_TRUE(Types::is_gc_class(out, "Box"));  // escapes through `leak`
  EXPECT_FALSE(Types::is_gc_class(out, "Crate"));
  Diag::Collector pass;
  Owner::check("t.vk", file.tree, out, pass);
  Diag::Collector with_tables;
  Owner::analyze("t.vk", file.tree, out, with_tables);
  Diag::Lookup none;
  std::string rendered = last_round.render_all(none);
  EXPECT_NE(rendered.find("VK-E301"), std::string::npos);
  EXPECT_EQ(rendered.find("`i`"), std::string::npos);  // Item is gc: no move to report
  EXPECT_EQ(rendered, pass.render_all(none));
  EXPECT_EQ(rendered, with_tables.render_all(none));
}

}  // namespace
