// The front end of every compiling mode: lex and parse each file.
#pragma once

#include <vector>

#include "ast/ast.hpp"
#include "diag/diag.hpp"
#include "discovery.hpp"
#include "lexer/lexer.hpp"

namespace Driver {

// One parsed file of the run. Its tokens are dropped once the tree is built.
struct ParsedFile {
  const SourceFile* source;
  Ast::Program tree;
};

using ParsedList = std::vector<ParsedFile>;

// Lexes and parses every file in order, then shares top-level constants across files.
ParsedList parse_all(Diag::Collector& collector, const SourceList& sources);

}  // namespace Driver
