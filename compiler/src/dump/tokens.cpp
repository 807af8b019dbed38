#include <array>
#include <charconv>

#include "dump/dump.hpp"
#include "dump/token_text.hpp"

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

void append_token_text(std::string& out, Lexer::Kind kind, std::int64_t int_value, double float_value,
                       std::string_view text, std::span<const Lexer::Segment> segments) {
  out += kind_label(kind);
  switch (kind) {
    case Lexer::Kind::IDENT:
    case Lexer::Kind::STR:
      out += '(';
      out += text;
      out += ')';
      break;
    case Lexer::Kind::INT:
      out += '(';
      append_number(out, int_value);
      out += ')';
      break;
    case Lexer::Kind::FLOAT:
      out += '(';
      out += hex_float(float_value);
      out += ')';
      break;
    case Lexer::Kind::INTERP_STR:
      out += '(';
      for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) out += ',';
        append_segment(out, segments[i]);
      }
      out += ')';
      break;
    default: break;
  }
}

std::string dump_tokens(const Lexer::TokenList& list) {
  std::string out;
  out.reserve(list.tokens.size() * 16);
  for (const Lexer::Token& t : list.tokens) {
    append_number(out, t.line);
    out += ':';
    append_number(out, t.col);
    out += ' ';
    bool has_text = t.kind == Lexer::Kind::IDENT || t.kind == Lexer::Kind::STR;
    bool has_segments = t.kind == Lexer::Kind::INTERP_STR;
    append_token_text(out, t.kind, t.kind == Lexer::Kind::INT ? t.int_value : 0,
                      t.kind == Lexer::Kind::FLOAT ? t.float_value : 0.0,
                      has_text ? t.text() : std::string_view(),
                      has_segments ? list.segments_of(t) : std::span<const Lexer::Segment>());
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
