#include <array>
#include <charconv>

#include "dump/dump.hpp"

namespace Dump {

namespace {

constexpr std::array<std::string_view, 84> labels = {
#define TOKEN(name, label, spelling) label,
#include "lexer/token_kinds.def"
#undef TOKEN
};

void append_number(std::string& out, std::int64_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void append_segment(std::string& out, const Lexer::Segment& s) {
  switch (s.kind) {
    case Lexer::SegmentKind::Text: out += "TEXT("; break;
    case Lexer::SegmentKind::Expr: out += "EXPR("; break;
    case Lexer::SegmentKind::Esc: out += "ESC("; break;
  }
  out += s.text;
  out += ')';
}

}  // namespace

std::string_view kind_label(Lexer::Kind kind) { return labels[static_cast<std::size_t>(kind)]; }

std::string dump_tokens(const Lexer::TokenList& list) {
  std::string out;
  out.reserve(list.tokens.size() * 16);
  for (const Lexer::Token& t : list.tokens) {
    append_number(out, t.line);
    out += ':';
    append_number(out, t.col);
    out += ' ';
    out += kind_label(t.kind);
    switch (t.kind) {
      case Lexer::Kind::IDENT:
      case Lexer::Kind::STR:
        out += '(';
        out += t.text();
        out += ')';
        break;
      case Lexer::Kind::INT:
        out += '(';
        append_number(out, t.int_value);
        out += ')';
        break;
      case Lexer::Kind::FLOAT:
        out += '(';
        out += hex_float(t.float_value);
        out += ')';
        break;
      case Lexer::Kind::INTERP_STR: {
        out += '(';
        bool first = true;
        for (const Lexer::Segment& s : list.segments_of(t)) {
          if (!first) out += ',';
          first = false;
          append_segment(out, s);
        }
        out += ')';
        break;
      }
      default: break;
    }
    out += '\n';
  }
  return out;
}

std::string file_header(std::string_view path) {
  std::string out = "=== ";
  out += path;
  out += " ===\n";
  return out;
}

}  // namespace Dump
