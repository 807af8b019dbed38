#include "parser/parser.hpp"

#include "parser/state.hpp"

namespace Parser {

Ast::Program parse(Diag::Collector& collector, const std::string& file, const Lexer::TokenList& tokens) {
  auto arena = std::make_shared<Ast::Arena>();
  Ast::Program program;
  if (!tokens.tokens.empty()) {
    detail::Shared shared{*arena};
    detail::State state(collector, file, tokens, shared, 0);
    program.decls = state.parse_program();
    program.next_id = shared.next_id;
  }
  arena->forget_interned();
  program.arenas.push_back(std::move(arena));
  return subst_consts(nullptr, program);
}

Ast::Program parse_source(Diag::Collector& collector, const std::string& file, std::string_view source) {
  // A tree takes about nine bytes of arena per byte of source; one chunk
  // that large is touched only as far as the tree fills it.
  auto arena = std::make_shared<Ast::Arena>(source.size() * 10);
  Ast::Program program;
  {
    Lexer::TokenList window;
    Lexer::Stream stream(collector, file, source, window);
    detail::Shared shared{*arena};
    detail::State state(collector, file, stream, window, shared);
    program.decls = state.parse_program();
    program.next_id = shared.next_id;
  }
  arena->forget_interned();
  program.arenas.push_back(std::move(arena));
  return subst_consts(nullptr, program);
}

}  // namespace Parser
