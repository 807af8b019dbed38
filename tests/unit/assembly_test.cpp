// Whole-program assembly of the driver: module names of files (dependency
// checkouts included), merging of file tables and class/interface collisions.
// The driver is not a library, so its assembly step is compiled in here.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../../compiler/bin/assembly.cpp"
#include "lexer/lexer.hpp"
#include "parser/parser.hpp"

namespace {

namespace fs = std::filesystem;

// A scratch directory tree: `proj/a/` exists, `lone.vk` is a file.
class ModuleNames : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vk-assembly-" + std::to_string(::getpid()));
    fs::create_directories(root_ / "proj" / "a");
    std::FILE* f = std::fopen((root_ / "lone.vk").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string at(const std::string& rel) const { return (root_ / rel).string(); }

  fs::path root_;
};

TEST_F(ModuleNames, DirectoryOfTheRelativePath) {
  std::string proj = at("proj");
  EXPECT_EQ(Driver::module_of_file(proj, proj + "/a/b.vk"), "a");
  EXPECT_EQ(Driver::module_of_file(proj + "/", proj + "/a/b.vk"), "a");
  EXPECT_EQ(Driver::module_of_file(proj, proj + "/main.vk"), ".");
  EXPECT_EQ(Driver::module_of_file(proj, proj + "/net/wire/x.vk"), "net/wire");
  // Outside the root the whole path counts.
  EXPECT_EQ(Driver::module_of_file(proj, "elsewhere/x.vk"), "elsewhere");
  EXPECT_EQ(Driver::module_of_file(proj, proj + "x/y.vk"), proj + "x");
  // A single-file compile has only the root module.
  EXPECT_EQ(Driver::module_of_file(at("lone.vk"), at("lone.vk")), ".");
  EXPECT_EQ(Driver::module_of_file(at("missing"), at("missing") + "/a/b.vk"), ".");
}

TEST_F(ModuleNames, DependencyFilesArePrefixedWithTheDependency) {
  std::string proj = at("proj");
  Driver::DependencyList deps = {{"json", "D"}, {"jsonx", "D2/"}, {"inner", proj + "/a"}};
  EXPECT_EQ(Driver::module_of_multi(proj, deps, "D/parse/num.vk"), "json/parse");
  EXPECT_EQ(Driver::module_of_multi(proj, deps, "D/lib.vk"), "json");
  EXPECT_EQ(Driver::module_of_multi(proj, deps, "D2/lib.vk"), "jsonx");  // not taken for `D`
  EXPECT_EQ(Driver::module_of_multi(proj, deps, proj + "/a/b.vk"), "inner");  // first match wins
  EXPECT_EQ(Driver::module_of_multi(proj, deps, proj + "/main.vk"), ".");
  EXPECT_EQ(Driver::module_of_multi(proj, {}, proj + "/a/b.vk"), "a");
}

struct Parsed {
  std::vector<Ast::Program> trees;
  std::vector<Types::FileSymbols> files;
};

Parsed collect_all(Diag::Collector& collector, const std::vector<std::pair<std::string, std::string>>& sources) {
  Parsed out;
  out.trees.reserve(sources.size());
  for (const auto& [path, text] : sources) {
    Lexer::TokenList tokens = Lexer::tokenize(collector, path, text);
    out.trees.push_back(Parser::parse(collector, path, tokens));
    out.files.push_back({path, Types::collect_declarations(path, out.trees.back(), collector)});
  }
  return out;
}

TEST(Collisions, ClassAndInterfaceNamesAreGlobal) {
  Diag::Collector collector;
  Parsed p = collect_all(collector, {
                                        {"a.vk", "type User { a: Int }\ninterface Store { fn get() }\nclass Zed {}\n"},
                                        {"b.vk", "interface User { fn x() }\ntype Store { b: Int }\nfn f() {}\n"},
                                        {"net/c.vk", "class Zed { c: Int }\ntype User { c: Int }\n"
                                                     "interface Store { fn put() }\nfn f() {}\n"},
                                    });
  ASSERT_FALSE(collector.has_error());
  Driver::check_symbol_collisions(collector, p.files);
  std::vector<std::string> got;
  for (const Diag::Diagnostic& d : collector.diagnostics()) {
    ASSERT_EQ(d.related.size(), 1u);
    got.push_back(d.code + " " + d.site.file + ":" + std::to_string(d.site.line) + " " + d.message + " | " +
                  d.related[0].site.file + ":" + std::to_string(d.related[0].site.line) + " " + d.related[0].message);
  }
  EXPECT_EQ(got, (std::vector<std::string>{
                     "VK-E214 net/c.vk:1 class `Zed` already declared in `a.vk` | a.vk:3 `Zed` first declared here",
                     "VK-E214 net/c.vk:2 class `User` already declared in `a.vk` | a.vk:1 `User` first declared here",
                     "VK-E214 net/c.vk:3 interface `Store` already declared in `a.vk` | a.vk:2 `Store` first "
                     "declared here",
                 }));

  Types::Symbols merged = Driver::merge_symbols(p.files);
  EXPECT_EQ(merged.classes.find("User")->fields[0].name, "a");
  EXPECT_EQ(merged.classes.find("Zed")->fields.size(), 0u);
  EXPECT_EQ(merged.functions.find("f")->pos.line, 3);  // b.vk's, the earlier file
  EXPECT_TRUE(merged.interfaces.contains("User"));
  EXPECT_FALSE(merged.classes.contains("Error"));  // library records come later
}

TEST(TypecheckAll, GcMarksReachEveryModuleTable) {
  Diag::Collector collector;
  Parsed p = collect_all(collector, {
                                        {"main.vk", "use graph\nfn main() {\n  let n = Node { next: nil }\n}\n"},
                                        {"graph/n.vk", "pub class Node {\n  next: ?Node\n}\n"},
                                    });
  std::vector<Types::FileTree> trees;
  for (std::size_t i = 0; i < p.trees.size(); ++i) trees.push_back({p.files[i].path, &p.trees[i]});
  // Not a directory: every file is in the root module, so `use graph` is unknown.
  Driver::CheckedProgram checked = Driver::typecheck_all(collector, "no-such-root", {}, trees);
  EXPECT_EQ(checked.modules.size(), 1u);
  EXPECT_TRUE(checked.merged.classes.contains("Error"));
  EXPECT_TRUE(checked.merged.classes.contains("Node"));
  for (const auto& [module, symbols] : checked.modules) {
    EXPECT_EQ(symbols.gc_classes, checked.merged.gc_classes) << module;
  }
  std::vector<std::string> codes;
  for (const Diag::Diagnostic& d : collector.diagnostics()) codes.push_back(d.code);
  EXPECT_EQ(codes, (std::vector<std::string>{"VK-E216"}));
}

}  // namespace
