// Test helper: single-file programs compiled to an image through every pass,
// as the image modes run them (collect, gc inference, typing, ownership, emit).
#pragma once

#include <string>

#include "diag/diag.hpp"
#include "disasm/disasm.hpp"
#include "emit/emit.hpp"
#include "gcinfer/gcinfer.hpp"
#include "lexer/lexer.hpp"
#include "owner/owner.hpp"
#include "parser/parser.hpp"
#include "types/types.hpp"

struct EmittedProgram {
  Diag::Collector collector;
  Emit::Image image;
  std::string bytes;

  // `entry_ok` false: no `main` of this file may be the entry.
  explicit EmittedProgram(const std::string& text, bool entry_ok = true, const std::string& path = "t.vk") {
    Lexer::TokenList tokens = Lexer::tokenize(collector, path, text);
    Ast::Program tree = Parser::parse(collector, path, tokens);
    std::vector<Types::FileSymbols> files;
    files.push_back({path, Types::collect_declarations(path, tree, collector)});
    Types::ModuleOf module_of = [](std::string_view) { return std::string("."); };
    Types::ModuleTables modules = Types::module_symbols(module_of, files);
    std::vector<Types::FileTree> trees{{path, &tree}};
    Types::Symbols merged = Gcinfer::infer(trees, Types::with_builtin_records(files[0].symbols));
    for (auto& [name, symbols] : modules) symbols.gc_classes = merged.gc_classes;
    Types::typecheck_program(path, module_of, modules, files[0].symbols, tree, merged, collector);
    Owner::Tables tables = Owner::analyze(path, tree, merged, collector);
    std::vector<Emit::SourceUnit> units{{path, &tree, &tables}};
    Emit::EntryOk ok = [entry_ok](const std::string&) { return entry_ok; };
    image = Emit::emit_image(ok, merged, module_of, modules, collector, units);
    bytes = Emit::write_image(image);
  }

  bool has_error() const { return collector.has_error(); }
  std::string messages() const {
    std::string out;
    for (const Diag::Diagnostic& d : collector.diagnostics()) out += d.code + " " + d.message + "\n";
    return out;
  }
};
