// Build-flag sections over tokens: `#if flag` ... `#else` ... `#end`, nestable.
// Directive tokens never reach the parser.
#include "lexer/lexer.hpp"
#include "lexer/sections.hpp"

namespace Lexer {

namespace detail {

void Sections::report(const Token& at, const char* message) {
  collector_.add(Diag::error(directive_code, file_, at.line, at.col, message));
}

void Sections::filter(std::vector<Token>& in, std::size_t from) {
  // Filtered in place: the write index never passes the read index.
  std::size_t kept = from;
  auto keep = [&](const Token& t) { in[kept++] = t; };
  for (std::size_t i = from; i < in.size(); ++i) {
    const Token& t = in[i];
    switch (t.kind) {
      case Kind::HASH_IF:
        if (i + 1 < in.size() && in[i + 1].kind == Kind::IDENT) {
          bool active = defines.find(in[i + 1].text()) != defines.end();
          stack_.push_back({active, false, t.line, t.col});
          ++i;
        } else {
          report(t, "#if needs a flag name (`#if portable`)");
          stack_.push_back({false, false, t.line, t.col});
        }
        if (!stack_.back().active) ++inactive_frames_;
        break;
      case Kind::HASH_ELSE:
        if (stack_.empty()) {
          report(t, "#else outside any #if");
        } else if (stack_.back().seen_else) {
          report(t, "second #else in one #if section");
        } else {
          Frame& top = stack_.back();
          inactive_frames_ += top.active ? 1 : -1;
          top.active = !top.active;
          top.seen_else = true;
        }
        break;
      case Kind::HASH_END:
        if (stack_.empty()) {
          report(t, "#end outside any #if");
        } else {
          if (!stack_.back().active) --inactive_frames_;
          stack_.pop_back();
        }
        break;
      case Kind::END_OF_FILE:
        keep(t);
        break;
      default:
        if (inactive_frames_ == 0) keep(t);
        break;
    }
  }
  in.resize(kept);
}

void Sections::finish() {
  if (stack_.empty()) return;
  const Frame& top = stack_.back();
  collector_.add(Diag::error(directive_code, file_, top.line, top.col, "#if left open \xE2\x80\x94 missing #end"));
}

}  // namespace detail

TokenList preprocess(Diag::Collector& collector, const std::string& file, TokenList list) {
  detail::Sections sections(collector, file);
  sections.filter(list.tokens, 0);
  sections.finish();
  return list;
}

}  // namespace Lexer
