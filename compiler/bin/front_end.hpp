// The front end of every compiling mode: lex and parse each file.
#pragma once

#include <vector>

#include "diag/diag.hpp"
#include "discovery.hpp"
#include "lexer/lexer.hpp"

namespace Driver {

// One lexed file of the run. (Grows a syntax tree once the parser is wired in.)
struct ParsedFile {
  const SourceFile* source;
  Lexer::TokenList tokens;
};

using ParsedList = std::vector<ParsedFile>;

// Lexes and parses every file in order, then shares top-level constants across files.
ParsedList parse_all(Diag::Collector& collector, const SourceList& sources);

}  // namespace Driver
