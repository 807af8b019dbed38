// Test helper: one source text taken through every pass up to the image, as
// the driver does for a one-file program (module ".").
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "diag/diag.hpp"
#include "emit/emit.hpp"
#include "gcinfer/gcinfer.hpp"
#include "lexer/lexer.hpp"
#include "owner/owner.hpp"
#include "parser/parser.hpp"
#include "types/types.hpp"

struct CompiledFile {
  Diag::Collector collector;
  std::string image;

  explicit CompiledFile(const std::string& text, const std::string& path = "t.vk") {
    Lexer::TokenList tokens = Lexer::tokenize(collector, path, text);
    Ast::Program tree = Parser::parse(collector, path, tokens);
    std::vector<Types::FileSymbols> files{{path, Types::collect_declarations(path, tree, collector)}};
    std::vector<Types::FileTree> trees{{path, &tree}};
    Types::ModuleOf module_of = [](std::string_view) { return std::string("."); };
    Types::ModuleTables modules = Types::module_symbols(module_of, files);
    Types::check_modules(collector, module_of, files, trees, modules);
    Types::Symbols merged = Gcinfer::infer(trees, Types::with_builtin_records(files[0].symbols));
    for (auto& [name, symbols] : modules) symbols.gc_classes = merged.gc_classes;
    Types::typecheck_program(path, module_of, modules, files[0].symbols, tree, merged, collector);
    Owner::Tables tables = Owner::analyze(path, tree, merged, collector);
    std::vector<Emit::SourceUnit> units{{path, &tree, &tables}};
    image = Emit::emit([](const std::string&) { return true; }, merged, module_of, modules, collector, units);
  }

  // The rendered diagnostics, for failure messages.
  std::string diagnostics() const {
    return collector.render_all([](const std::string&) { return std::optional<std::string_view>(); });
  }
};
