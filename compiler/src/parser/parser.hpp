// The parser: one file's token list to its syntax tree, and the substitution
// of top-level constants into function bodies.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "ast/ast.hpp"
#include "diag/diag.hpp"
#include "lexer/lexer.hpp"

namespace Parser {

// Builds the tree of one file and substitutes its own top-level constants.
// Every problem is reported to the collector; a broken declaration or
// statement is left out and parsing goes on after it.
Ast::Program parse(Diag::Collector& collector, const std::string& file, const Lexer::TokenList& tokens);

// Lexes and parses one file's source together, holding only the tokens of the
// declaration being parsed: the same tree and diagnostics as tokenize + parse.
Ast::Program parse_source(Diag::Collector& collector, const std::string& file, std::string_view source);

// Constant name to its literal value. The views point into the trees the
// entries came from, which must outlive the table.
using ConstTable = std::unordered_map<std::string_view, const Ast::Expr*>;

// Every top-level `const` of the program (a later one replaces an earlier one).
ConstTable top_level_consts(const Ast::Program& program);

// A new tree in which the program's own top-level constants, with the entries
// of `extra` (when given) added over them, replace the names they bind in
// function and method bodies. Unchanged subtrees are shared with `program`.
Ast::Program subst_consts(const ConstTable* extra, const Ast::Program& program);

// Diagnostic codes of the parser.
inline constexpr const char* syntax_code = "VK-E101";
inline constexpr const char* table_code = "VK-E102";
inline constexpr const char* inline_fn_code = "VK-E103";
inline constexpr const char* gc_annotation_code = "VK-E104";
inline constexpr const char* rejected_word_code = "VK-E105";

// Deepest nesting of blocks, expressions and types the parser accepts; deeper
// input is reported rather than risking the stack, here and in later passes.
// It stays below Ast::max_nesting, the depth the later passes are built for,
// so that a syntax error unwinding from the deepest expression stays within
// the stack depth sanitizers clean up after (64 MB in instrumented builds).
inline constexpr int max_depth = 15000;
static_assert(max_depth <= Ast::max_nesting);

}  // namespace Parser
