// The ownership pass on programs the golden cases cannot show well: deep
// nesting (time and stack), the escape observer, and invariants of the
// tables over many generated programs.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ast/ast.hpp"
#include "diag/diag.hpp"
#include "dump/dump.hpp"
#include "lexer/lexer.hpp"
#include "owner/owner.hpp"
#include "parser/parser.hpp"
#include "parsed_file.hpp"
#include "types/types.hpp"

namespace {

// A parsed file with its tables (which view the tree).
struct File : ParsedFile {
  using ParsedFile::ParsedFile;
  Owner::Tables analyze() { return Owner::analyze("t.vk", tree, symbols, collector); }
  std::vector<std::string> codes() const {
    std::vector<std::string> out;
    for (const Diag::Diagnostic& d : collector.diagnostics()) out.push_back(d.code);
    return out;
  }
};

const char* box_prelude = "class Box {\n  n: Int\n}\nfn consume(take b: Box) {\n}\n";

// `depth` loops nested in each other, each moving and re-creating its own box.
std::string nested_loops(int depth, const char* head) {
  std::string text = box_prelude;
  text += "fn main(go: Bool) {\n";
  for (int k = 0; k < depth; ++k) text += "  let x" + std::to_string(k) + " = Box { n: 1 }\n";
  for (int k = 0; k < depth; ++k) {
    text += std::string(head) + "\n  consume(x" + std::to_string(k) + ")\n  x" + std::to_string(k) +
            " = Box { n: 2 }\n";
  }
  for (int k = 0; k < depth; ++k) text += "}\n";
  text += "}\n";
  return text;
}

TEST(OwnerPass, TwoHundredNestedLoopsFinishWithOneMoveEach) {
  for (const char* head : {"while go {", "for i in [1, 2] {"}) {
    File file(nested_loops(200, head));
    Owner::Tables tables = file.analyze();
    EXPECT_EQ(tables.moves.size(), 200u) << head;
    EXPECT_TRUE(file.codes().empty()) << head;
  }
}

TEST(OwnerPass, LoopMovingOuterValueReportsPreviousIterationOncePerLoop) {
  std::string text = box_prelude;
  text += "fn main(take a: Box, go: Bool) {\n";
  for (int k = 0; k < 30; ++k) text += "while go {\n";
  text += "consume(a)\n";
  for (int k = 0; k < 30; ++k) text += "}\n";
  text += "}\n";
  File file(text);
  file.analyze();
  std::vector<Diag::Diagnostic> found = file.collector.diagnostics();
  ASSERT_EQ(found.size(), 1u);
  const Diag::Diagnostic& d = found[0];
  EXPECT_EQ(d.message, "use of `a` after it was moved on the previous loop iteration");
  ASSERT_EQ(d.related.size(), 1u);
  EXPECT_EQ(d.related[0].site.line, d.site.line);
  EXPECT_EQ(d.related[0].site.col, d.site.col);
}

TEST(OwnerPass, ObserverHearsEscapingClassesAndNothingIsReported) {
  File file(std::string(box_prelude) +
            "class Bag {\n  first: Box\n}\n"
            "fn first(b: Bag) -> Box {\n  return b.first\n}\n"
            "fn pass(b: Box) {\n  consume(b)\n}\n"
            "fn bytes(b: Bytes) -> Bytes {\n  return b\n}\n");
  std::multiset<std::string> heard;
  Owner::EscapeObserver observer = [&](std::string_view name) { heard.insert(std::string(name)); };
  Owner::Tables tables = Owner::analyze("t.vk", file.tree, file.symbols, file.collector, &observer);
  EXPECT_EQ(heard, (std::multiset<std::string>{"Box", "Box"}));
  // Bytes is not a class: that escape stays an error.
  EXPECT_EQ(file.codes(), std::vector<std::string>{Owner::escape_code});

  std::multiset<std::string> quiet;
  Owner::EscapeObserver quiet_observer = [&](std::string_view name) { quiet.insert(std::string(name)); };
  Owner::find_escapes("t.vk", file.tree, file.symbols, quiet_observer);
  EXPECT_EQ(quiet, heard);
}

TEST(OwnerPass, DeeplyNestedBranchesAndExpressionsDoNotCrash) {
  std::string text = std::string(box_prelude) + "fn main(c: Bool, take a: Box) {\n";
  for (int k = 0; k < 120; ++k) text += "if c {\n";
  text += "consume(a)\n";
  for (int k = 0; k < 120; ++k) text += "} else {\nlet t = 1\n}\n";
  text += "let n = ";
  for (int k = 0; k < 100; ++k) text += "(1 + ";
  text += "1";
  for (int k = 0; k < 100; ++k) text += ")";
  text += "\n}\n";
  File file(text);
  Owner::Tables tables = file.analyze();
  // The innermost branch moves `a`: each level's else branch drops it.
  std::size_t joins = 0;
  for (const Owner::Drop& d : tables.drops) joins += d.kind == Owner::DropKind::JoinDrop;
  EXPECT_EQ(joins, 120u);
}

// Over generated programs: tables sorted by position, no empty drop, every
// SCOPE item an Owned holder (never `:gc`), and stable dumps.
TEST(OwnerPass, TableInvariantsOverGeneratedPrograms) {
  std::uint64_t state = 7;
  auto next = [&](int n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<int>((state >> 33) % static_cast<std::uint64_t>(n));
  };
  for (int round = 0; round < 60; ++round) {
    std::string text = std::string(box_prelude) + "class Node {\n  next: ?Node\n}\nfn main(c: Bool) {\n";
    for (int k = 0; k < 4; ++k) text += "  let x" + std::to_string(k) + " = Box { n: 1 }\n";
    text += "  let g = Node { next: nil }\n";
    int open = 0;
    for (int s = 0; s < 40; ++s) {
      std::string v = "x" + std::to_string(next(4));
      switch (next(7)) {
        case 0: text += "consume(" + v + ")\n"; break;
        case 1: text += v + " = Box { n: 2 }\n"; break;
        case 2: text += "if c {\n"; ++open; break;
        case 3: text += "while c {\n"; ++open; break;
        case 4: if (open) { text += "}\n"; --open; } break;
        case 5: text += "print(\"${" + v + ".n}\")\n"; break;
        case 6: text += "let y = " + v + "\n"; break;
      }
    }
    while (open--) text += "}\n";
    text += "}\n";
    File file(text);
    Owner::Tables tables = file.analyze();
    auto ordered = [](auto& list) {
      for (std::size_t i = 1; i < list.size(); ++i) {
        const Ast::Pos a = list[i - 1].pos, b = list[i].pos;
        if (a.line > b.line || (a.line == b.line && a.col > b.col)) return false;
      }
      return true;
    };
    EXPECT_TRUE(ordered(tables.moves));
    EXPECT_TRUE(ordered(tables.drops));
    for (const Owner::Drop& d : tables.drops) {
      EXPECT_FALSE(d.items.empty());
      if (d.kind == Owner::DropKind::LiveMask) continue;
      for (const Owner::DropItem& item : d.items) EXPECT_FALSE(item.gc);
    }
    EXPECT_EQ(Dump::dump_owner(tables), Dump::dump_owner(file.analyze()));
  }
}

// Drops view their items in the tables' store: the views must survive the
// store growing past a block (and one record larger than a block) and the
// tables moving.
TEST(OwnerTables, DropItemsStayPutAsTheStoreGrowsAndTheTablesMove) {
  Owner::Tables tables;
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) names.push_back("v" + std::to_string(i));
  std::vector<Owner::DropItem> big;
  for (int i = 0; i < 2500; ++i) big.push_back({names[std::size_t(i)], i % 2 == 0, Ast::NodeId(i)});
  for (int i = 0; i < 3000; ++i) {
    Owner::DropItem pair[2] = {{names[std::size_t(i)], false, Ast::NodeId(i)}, {names[0], true, 7}};
    tables.drops.push_back({Ast::NodeId(i), {i + 1, 1}, Owner::DropKind::Scope, "BODY", tables.items.add(pair)});
    if (i == 1500) tables.drops.push_back({0, {1, 1}, Owner::DropKind::Return, "", tables.items.add(big)});
  }
  Owner::Tables moved = std::move(tables);
  ASSERT_EQ(moved.drops.size(), 3001u);
  std::size_t at = 0;
  for (int i = 0; i < 3000; ++i, ++at) {
    const Owner::Drop& d = moved.drops[at];
    ASSERT_EQ(d.items.size(), 2u);
    EXPECT_EQ(d.items[0].name, names[std::size_t(i)]);
    EXPECT_EQ(d.items[0].slot, Ast::NodeId(i));
    EXPECT_TRUE(d.items[1].gc);
    if (i == 1500) {
      const Owner::Drop& b = moved.drops[++at];
      ASSERT_EQ(b.items.size(), big.size());
      EXPECT_EQ(b.items.back().name, names[2499]);
      EXPECT_EQ(b.items[2].slot, 2u);
    }
  }
}

TEST(OwnerDump, EmptyTablesPrintThreeHeaders) {
  EXPECT_EQ(Dump::dump_owner({}), "== MOVES ==\n== DROPS ==\n== RESIDUAL ==\n");
}

}  // namespace
