// Build-flag sections over tokens: `#if flag` ... `#else` ... `#end`, nestable.
// Directive tokens never reach the parser.
#include "lexer/lexer.hpp"

namespace Lexer {

namespace {

struct Frame {
  bool active;
  bool seen_else;
  std::int32_t line;  // of the section's #if
  std::int32_t col;
};

}  // namespace

TokenList preprocess(Diag::Collector& collector, const std::string& file, TokenList list) {
  // Filtered in place: the write index never passes the read index.
  std::vector<Token>& in = list.tokens;
  std::size_t kept = 0;
  auto keep = [&](const Token& t) { in[kept++] = t; };
  std::vector<Frame> stack;
  std::size_t inactive_frames = 0;  // frames on the stack whose `active` is false
  auto report = [&](const Token& at, const char* message) {
    collector.add(Diag::error(directive_code, file, at.line, at.col, message));
  };
  for (std::size_t i = 0; i < in.size(); ++i) {
    const Token& t = in[i];
    switch (t.kind) {
      case Kind::HASH_IF:
        if (i + 1 < in.size() && in[i + 1].kind == Kind::IDENT) {
          bool active = defines.find(in[i + 1].text()) != defines.end();
          stack.push_back({active, false, t.line, t.col});
          ++i;
        } else {
          report(t, "#if needs a flag name (`#if portable`)");
          stack.push_back({false, false, t.line, t.col});
        }
        if (!stack.back().active) ++inactive_frames;
        break;
      case Kind::HASH_ELSE:
        if (stack.empty()) {
          report(t, "#else outside any #if");
        } else if (stack.back().seen_else) {
          report(t, "second #else in one #if section");
        } else {
          Frame& top = stack.back();
          inactive_frames += top.active ? 1 : -1;
          top.active = !top.active;
          top.seen_else = true;
        }
        break;
      case Kind::HASH_END:
        if (stack.empty()) {
          report(t, "#end outside any #if");
        } else {
          if (!stack.back().active) --inactive_frames;
          stack.pop_back();
        }
        break;
      case Kind::END_OF_FILE:
        keep(t);
        break;
      default:
        if (inactive_frames == 0) keep(t);
        break;
    }
  }
  if (!stack.empty()) {
    const Frame& top = stack.back();
    collector.add(Diag::error(directive_code, file, top.line, top.col, "#if left open \xE2\x80\x94 missing #end"));
  }
  in.resize(kept);
  return list;
}

}  // namespace Lexer
