// Check mode drops each source text once its file is parsed: the trees must
// not need the texts, and diagnostics quote a dropped file by reading it
// again. (The driver's discovery and front end are compiled into the unit
// tests by emit_compile_image_test.cpp; their headers suffice here.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../../compiler/bin/discovery.hpp"
#include "../../compiler/bin/front_end.hpp"

namespace {

namespace fs = std::filesystem;

class SourceRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vk-release-" + std::to_string(::getpid()));
    fs::create_directories(root_ / "m");
  }
  void TearDown() override { fs::remove_all(root_); }
  void write(const fs::path& rel, const std::string& text) { std::ofstream(root_ / rel) << text; }
  fs::path root_;
};

TEST_F(SourceRelease, TreesOutliveTheTextsAndDiagnosticsReadTheFilesAgain) {
  write("a.vk", "const LIMIT = 3\nfn main() {\n  let greeting = \"hi ${LIMIT}\"\n  print(greeting)\n}\n");
  write("m/b.vk", "pub fn twice(n: Int) -> Int {\n  return n * LIMIT\n}\n");
  Driver::SourceList sources = Driver::discover_and_read(root_.string());
  ASSERT_EQ(sources.size(), 2u);
  Diag::Collector collector;
  Driver::ParsedList parsed = Driver::parse_all_releasing(collector, sources);
  EXPECT_TRUE(collector.diagnostics().empty());
  for (const Driver::SourceFile& s : sources) {
    EXPECT_TRUE(s.released) << s.path;
    EXPECT_TRUE(s.text.empty()) << s.path;
  }
  // Names, literals and the constant shared across files live in the trees.
  ASSERT_EQ(parsed.size(), 2u);
  const auto& main_fn = *parsed[0].tree.decls[1]->as<Ast::FnDecl>().fn;
  EXPECT_EQ(main_fn.name, "main");
  const auto& let = main_fn.body[0]->as<Ast::Let>();
  EXPECT_EQ(let.name, "greeting");
  const auto& twice = *parsed[1].tree.decls[0]->as<Ast::FnDecl>().fn;
  const auto& product = twice.body[0]->as<Ast::Return>().value->as<Ast::BinOp>();
  ASSERT_EQ(product.right->kind, Ast::ExprKind::IntLit);  // LIMIT substituted
  EXPECT_EQ(product.right->as<Ast::IntLit>().value, 3);

  // A dropped file is read on its first lookup, as it is then, and kept.
  Diag::Lookup lookup = Driver::build_lookup(sources);
  write("m/b.vk", "pub fn twice(n: Int) -> Int {\n  return n + n\n}\n");
  auto text = lookup(sources[1].path);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "pub fn twice(n: Int) -> Int {\n  return n + n\n}\n");
  fs::remove(root_ / "m" / "b.vk");
  EXPECT_EQ(lookup(sources[1].path), text);
  // A file gone before its first lookup is quoted without its lines.
  fs::remove(root_ / "a.vk");
  EXPECT_FALSE(lookup(sources[0].path));
  EXPECT_FALSE(lookup((root_ / "never.vk").string()));

  // Texts kept (as for image compiles) are answered from memory.
  Driver::SourceList kept{{"k.vk", "fn k() {}\n", false}};
  Diag::Lookup kept_lookup = Driver::build_lookup(kept);
  EXPECT_EQ(kept_lookup("k.vk"), std::optional<std::string_view>("fn k() {}\n"));
}

}  // namespace
