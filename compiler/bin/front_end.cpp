#include "front_end.hpp"

#include "parser/parser.hpp"

namespace Driver {

namespace {

ParsedList parse_each(Diag::Collector& collector, SourceList& sources) {
  ParsedList parsed;
  parsed.reserve(sources.size());
  for (SourceFile& source : sources) {
    parsed.push_back({&source, Parser::parse_source(collector, source.path, source.text)});
    release_text(source);
  }
  return parsed;
}

ParsedList share_constants(ParsedList parsed) {
  // A constant of any file is visible in every file; a later file's constant
  // replaces an earlier one of the same name.
  Parser::ConstTable constants;
  for (const ParsedFile& file : parsed)
    for (const auto& [name, value] : Parser::top_level_consts(file.tree)) constants[name] = value;
  if (constants.empty()) return parsed;
  // The table points into the trees it came from, so the new trees are built
  // before any old one is replaced (they share its nodes anyway).
  std::vector<Ast::Program> substituted;
  substituted.reserve(parsed.size());
  for (const ParsedFile& file : parsed) substituted.push_back(Parser::subst_consts(&constants, file.tree));
  for (std::size_t i = 0; i < parsed.size(); ++i) parsed[i].tree = std::move(substituted[i]);
  return parsed;
}

}  // namespace

ParsedList parse_all_releasing(Diag::Collector& collector, SourceList& sources) {
  return share_constants(parse_each(collector, sources));
}

}  // namespace Driver
