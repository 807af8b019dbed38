// Test helper: one source text lexed, parsed and collected into a symbol
// table (with the library records), as the later passes receive it.
#pragma once

#include <string>

#include "ast/ast.hpp"
#include "diag/diag.hpp"
#include "lexer/lexer.hpp"
#include "parser/parser.hpp"
#include "types/types.hpp"

struct ParsedFile {
  Diag::Collector collector;
  Ast::Program tree;
  Types::Symbols symbols;  // views into `tree`
  explicit ParsedFile(const std::string& text) {
    Lexer::TokenList tokens = Lexer::tokenize(collector, "t.vk", text);
    tree = Parser::parse(collector, "t.vk", tokens);
    symbols = Types::with_builtin_records(Types::collect_declarations("t.vk", tree, collector));
  }
};
