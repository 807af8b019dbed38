// Printers of the compiler's stages: tokens, syntax trees, ownership tables.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "ast/ast.hpp"
#include "lexer/lexer.hpp"
#include "owner/owner.hpp"

namespace Dump {

// The dump label of a token kind ("KW_IF", "#else", "EOF", ...).
std::string_view kind_label(Lexer::Kind kind);

// One "LINE:COL LABEL" line per token, each ending in a line feed.
std::string dump_tokens(const Lexer::TokenList& tokens);

// "=== path ===" and a line feed: the separator of per-file dumps.
std::string file_header(std::string_view path);

// A double in C's "%a" style with lower-case digits and trailing zero digits
// dropped: 0x1p+0, 0x1.8p+1, 0x0p+0, -0x1p-1; "infinity", "nan"; a set sign
// bit gives a leading "-", for infinities and NaNs too. Shared with the image listing.
std::string hex_float(double value);

// The dump label of one token with its payload: "IDENT(x)", "INT(3)", "RBRACE".
std::string token_label(const Ast::RawToken& token);

// The syntax tree as indented lines, one per declaration, member and
// statement, each ending in a line feed; "" for a program without declarations.
std::string dump_ast(const Ast::Program& program);
// The same text handed to `sink` a piece at a time (whole declarations), so
// that the dump of a large file never lives at once.
void dump_ast(const Ast::Program& program, const std::function<void(std::string_view)>& sink);

// The ownership tables: "== MOVES ==", "== DROPS ==" and "== RESIDUAL ==",
// each followed by one line per record, every line ending in a line feed.
std::string dump_owner(const Owner::Tables& tables);

}  // namespace Dump
