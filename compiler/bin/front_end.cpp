#include "front_end.hpp"

namespace Driver {

ParsedList parse_all(Diag::Collector& collector, const SourceList& sources) {
  ParsedList parsed;
  parsed.reserve(sources.size());
  for (const SourceFile& source : sources) {
    parsed.push_back({&source, Lexer::tokenize(collector, source.path, source.text)});
  }
  return parsed;
}

}  // namespace Driver
