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

// Lexes and parses every file in order, then shares top-level constants
// across files. Each file's text is dropped as soon as its tree is built (see
// release_texts), so that the texts of a many-file program are never held
// together with all its trees.
ParsedList parse_all_releasing(Diag::Collector& collector, SourceList& sources);

}  // namespace Driver
