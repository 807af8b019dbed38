// Parser state: token reading, the error helpers and the word table.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "parser/state.hpp"

namespace Parser::detail {

namespace {

constexpr const char* inheritance_reason =
    "no inheritance, ever — is-a is a tagged union, has-a is composition, polymorphism is "
    "structural interfaces (principle 4)";

struct WordEntry {
  std::string_view text;
  Word word;
  const char* reason;  // rejected words only
};

constexpr WordEntry words[] = {
    {"from", Word::From, nullptr},
    {"in", Word::In, nullptr},
    {"delete", Word::Delete, nullptr},
    {"select", Word::Select, nullptr},
    {"insert", Word::Insert, nullptr},
    {"where", Word::Where, nullptr},
    {"group", Word::Group, nullptr},
    {"by", Word::By, nullptr},
    {"into", Word::Into, nullptr},
    {"order", Word::Order, nullptr},
    {"desc", Word::Desc, nullptr},
    {"static", Word::Static, nullptr},
    {"on", Word::On, nullptr},
    {"service", Word::Service, nullptr},
    {"policy", Word::Policy, nullptr},
    {"read", Word::Read, nullptr},
    {"now", Word::Now, nullptr},
    {"table", Word::Table, nullptr},
    {"gc", Word::Gc, nullptr},
    {"extends", Word::Extends, inheritance_reason},
    {"implements", Word::Implements, inheritance_reason},
    {"super", Word::Rejected, inheritance_reason},
    {"override", Word::Rejected, inheritance_reason},
    {"cast", Word::Rejected,
     "no unsafe casts — conversions are typed; `as` exists only in the json.decode target position"},
    {"macro", Word::Rejected, "macros kill the fast-compile promise — codegen belongs to tooling"},
    {"extern", Word::Rejected,
     "one FFI hole voids the whole memory-safety story — capabilities are audited typed builtins "
     "(principle 10)"},
    {"operator", Word::Rejected, "one name, one signature — no operator overloading"},
    {"Dynamic", Word::Rejected,
     "static typing all the way to the register — typed `json.decode … as T -> ?T` covers the "
     "real use (principle 13)"},
    {"untyped", Word::Rejected,
     "static typing all the way to the register — typed `json.decode … as T -> ?T` covers the "
     "real use (principle 13)"},
};

constexpr std::string_view kind_labels[] = {
#define TOKEN(name, label, spelling) label,
#include "lexer/token_kinds.def"
#undef TOKEN
};

// A token as the token dump prints it: "IDENT(foo)", "INT(3)", "RBRACE".
std::string token_label(const Lexer::TokenList& list, const Lexer::Token& t) {
  std::string out(kind_labels[static_cast<std::size_t>(t.kind)]);
  switch (t.kind) {
    case Kind::IDENT:
    case Kind::STR:
      out += '(';
      out += t.text();
      out += ')';
      break;
    case Kind::INT: out += "(" + std::to_string(t.int_value) + ")"; break;
    case Kind::FLOAT: {
      // Literals are never negative or NaN; "%a" already drops trailing zero digits.
      char buf[64];
      if (std::isinf(t.float_value))
        std::snprintf(buf, sizeof buf, "infinity");
      else
        std::snprintf(buf, sizeof buf, "%a", t.float_value);
      out += '(';
      out += buf;
      out += ')';
      break;
    }
    case Kind::INTERP_STR: {
      out += '(';
      bool first = true;
      for (const Lexer::Segment& s : list.segments_of(t)) {
        if (!first) out += ',';
        first = false;
        out += s.kind == Lexer::SegmentKind::Text ? "TEXT(" : s.kind == Lexer::SegmentKind::Expr ? "EXPR(" : "ESC(";
        out += s.text;
        out += ')';
      }
      out += ')';
      break;
    }
    default: break;
  }
  return out;
}

const WordEntry* find_word(std::string_view ident) {
  // Every entry is 2..10 bytes long; most identifiers are rejected by the
  // first-byte test without a full comparison.
  if (ident.size() < 2 || ident.size() > 10) return nullptr;
  for (const WordEntry& e : words)
    if (e.text[0] == ident[0] && e.text == ident) return &e;
  return nullptr;
}

}  // namespace

Word classify(std::string_view ident) {
  const WordEntry* e = find_word(ident);
  return e ? e->word : Word::None;
}

const char* rejection_reason(std::string_view ident) {
  const WordEntry* e = find_word(ident);
  return e ? e->reason : nullptr;
}

State::State(Diag::Collector& collector, const std::string& file, const Lexer::TokenList& tokens,
             Shared& shared, int depth)
    : collector_(collector),
      file_(file),
      list_(tokens),
      tokens_(tokens.tokens.data()),
      count_(tokens.tokens.size()),
      shared_(shared),
      depth_(depth) {}

State::State(Diag::Collector& collector, const std::string& file, Lexer::Stream& stream, Lexer::TokenList& window,
             Shared& shared)
    : collector_(collector),
      file_(file),
      list_(window),
      tokens_(nullptr),
      count_(0),
      stream_(&stream),
      window_(&window),
      shared_(shared),
      depth_(0) {
  refill();
}

namespace {

// Tokens lexed at a time: small enough that the list stays a few pages, large
// enough that the lexer runs in long stretches.
constexpr std::size_t stream_batch = 2048;

}  // namespace

void State::refill() {
  while (!stream_->done() && cursor_ + lookahead > window_->tokens.size()) stream_->fill(stream_batch);
  tokens_ = window_->tokens.data();
  count_ = window_->tokens.size();
  if (stream_->done()) stream_ = nullptr;
}

void State::drop_read_tokens() {
  if (!window_ || cursor_ < stream_batch) return;
  std::vector<Lexer::Token>& tokens = window_->tokens;
  tokens.erase(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(cursor_));
  cursor_ = 0;
  tokens_ = tokens.data();
  count_ = tokens.size();
}

Ast::RawToken State::raw_token(const Lexer::Token& t) {
  Ast::RawToken raw;
  raw.kind = t.kind;
  raw.pos = {t.line, t.col};
  switch (t.kind) {
    case Kind::INT: raw.int_value = t.int_value; break;
    case Kind::FLOAT: raw.float_value = t.float_value; break;
    case Kind::IDENT: raw.text = name_of(t); break;
    case Kind::STR: raw.text = shared_.arena.copy_text(t.text()); break;
    case Kind::INTERP_STR: {
      std::span<const Lexer::Segment> segments = list_.segments_of(t);
      std::span<Lexer::Segment> copied = shared_.arena.make_array<Lexer::Segment>(segments.size());
      for (std::size_t i = 0; i < segments.size(); ++i)
        copied[i] = {segments[i].kind, shared_.arena.copy_text(segments[i].text)};
      raw.segments = copied;
      break;
    }
    default: break;
  }
  return raw;
}

void State::fail(Ast::Pos at, const char* code, std::string message) {
  collector_.add(Diag::error(code, file_, at.line, at.col, std::move(message)));
  throw ParseError{};
}

void State::unexpected(std::string_view what) {
  std::string message = "expected ";
  message += what;
  message += ", got ";
  message += token_label(list_, cur());
  fail(pos(), syntax_code, std::move(message));
}

void State::expect(Kind k, std::string_view what) {
  if (!accept(k)) unexpected(what);
}

bool State::accept(Kind k) {
  if (!at(k)) return false;
  advance();
  return true;
}

Ast::Name State::expect_ident(std::string_view what) {
  if (!at(Kind::IDENT)) unexpected(what);
  Ast::Name name = name_of(cur());
  advance();
  return name;
}

Ast::Name State::expect_field_name(std::string_view what) {
  if (at(Kind::KW_TYPE)) {
    advance();
    return "type";
  }
  return expect_ident(what);
}

void State::skip_newlines() {
  while (at(Kind::NEWLINE)) advance();
}

void State::reject_doctrine_word(Ast::Pos at, std::string_view word, const char* reason) {
  std::string message = "`";
  message += word;
  message += "` is rejected: ";
  message += reason;
  collector_.add(Diag::error(rejected_word_code, file_, at.line, at.col, std::move(message)));
}

void State::too_deep() {
  depth_exceeded_ = true;
  fail(pos(), syntax_code,
       "nesting is too deep — more than " + std::to_string(max_depth) +
           " levels of blocks and expressions");
}

// end_of_stmt = ";" | NEWLINE | before "}" | before EOF
void State::end_of_stmt() {
  if (accept(Kind::SEMICOLON) || accept(Kind::NEWLINE)) return;
  if (at(Kind::RBRACE) || at(Kind::END_OF_FILE)) return;
  unexpected("end of statement (newline or ';')");
}

}  // namespace Parser::detail
