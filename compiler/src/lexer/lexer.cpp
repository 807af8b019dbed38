// The scanner: one pass over the bytes, no backtracking. Identifier and
// literal payloads are views into the source whenever the bytes are the same.
#include <array>
#include <charconv>
#include <cstdlib>
#include <string>

#include "lexer/lexer.hpp"
#include "lexer/sections.hpp"

namespace Lexer {

std::set<std::string, std::less<>> defines;

namespace {

constexpr std::array<std::string_view, 84> spellings = {
#define TOKEN(name, label, spelling) spelling,
#include "lexer/token_kinds.def"
#undef TOKEN
};

bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_ident_continue(unsigned char c) { return is_letter(c) || is_digit(c) || c == '_' || c == '-'; }
int hex_value(unsigned char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Keywords bucketed by first byte; a lookup compares a handful at most.
struct KeywordTable {
  std::array<std::array<std::int8_t, 8>, 128> buckets{};  // kinds + 1, 0-terminated
  KeywordTable() {
    for (int k = 0; k < keyword_count; ++k) {
      auto& bucket = buckets[static_cast<unsigned char>(spellings[k][0])];
      std::size_t slot = 0;
      while (bucket[slot] != 0) ++slot;
      bucket[slot] = static_cast<std::int8_t>(k + 1);
    }
  }
};

bool keyword_kind(std::string_view word, Kind& kind) {
  static const KeywordTable table;
  if (word.size() < 2 || word.size() > 9) return false;
  for (std::int8_t entry : table.buckets[static_cast<unsigned char>(word[0])]) {
    if (entry == 0) return false;
    if (spellings[entry - 1] == word) {
      kind = static_cast<Kind>(entry - 1);
      return true;
    }
  }
  return false;
}

class Scanner {
 public:
  // Tokens go to `out`, which a stream empties of what its reader is done with.
  Scanner(Diag::Collector& collector, const std::string& file, std::string_view source, TokenList& out)
      : collector_(collector), file_(file), src_(source), out_(out) {}

  // Lexes everything left and appends EOF.
  void run() {
    while (!at_end()) step();
    finish();
  }
  // Lexes the next token, comment, blank or line break.
  void step();
  bool at_end() const { return pos_ >= src_.size(); }
  void finish() { emit(Kind::END_OF_FILE, line_, col_); }
  // The kind of the newest token made, whatever became of it since.
  Kind last_kind() const { return last_kind_; }
  // Whether any #if/#else/#end token was made since the flag was last cleared:
  // without one, preprocessing is a no-op.
  bool saw_directive() const { return saw_directive_; }
  void clear_saw_directive() { saw_directive_ = false; }

 private:
  // Current byte, or -1 past the end; `ahead` looks further.
  int peek(std::size_t ahead = 0) const {
    return pos_ + ahead < src_.size() ? static_cast<unsigned char>(src_[pos_ + ahead]) : -1;
  }
  void advance() {
    if (src_[pos_] == '\n') {
      ++line_;
      col_ = 1;
    } else {
      ++col_;
    }
    ++pos_;
  }
  // Advances over bytes known not to be line feeds.
  void skip(std::size_t n) {
    pos_ += n;
    col_ += static_cast<std::int32_t>(n);
  }

  Token& emit(Kind kind, std::int32_t line, std::int32_t col) {
    Token& t = out_.tokens.emplace_back();
    last_kind_ = kind;
    t.kind = kind;
    t.line = line;
    t.col = col;
    return t;
  }
  void emit_text(Kind kind, std::int32_t line, std::int32_t col, std::string_view text) {
    Token& t = emit(kind, line, col);
    t.data = text.data();
    t.size = static_cast<std::uint32_t>(text.size());
  }
  std::string_view keep(std::string&& bytes) { return out_.storage.emplace_back(std::move(bytes)); }
  void error(const char* code, std::int32_t line, std::int32_t col, std::string message) {
    collector_.add(Diag::error(code, file_, line, col, std::move(message)));
  }

  void newline();
  void number(std::int32_t line, std::int32_t col);
  void identifier(std::int32_t line, std::int32_t col);
  void directive(std::int32_t line, std::int32_t col);
  bool punctuation(std::int32_t line, std::int32_t col);
  void string_literal(std::int32_t line, std::int32_t col);
  void raw_literal(std::int32_t line, std::int32_t col);
  std::string_view read_interp_expr();
  // Consumes `${...}` and adds its raw text as an Expr segment.
  void interpolation(std::vector<Segment>& segments) {
    skip(2);
    segments.push_back({SegmentKind::Expr, read_interp_expr()});
  }
  void finish_literal(std::int32_t line, std::int32_t col, std::vector<Segment>& segments);

  Diag::Collector& collector_;
  const std::string& file_;
  std::string_view src_;
  std::size_t pos_ = 0;
  std::int32_t line_ = 1;
  std::int32_t col_ = 1;
  bool saw_directive_ = false;
  Kind last_kind_ = Kind::END_OF_FILE;  // none yet
  TokenList& out_;
};

void Scanner::step() {
  {
    std::int32_t line = line_, col = col_;
    unsigned char c = static_cast<unsigned char>(src_[pos_]);
    if (c == '-' && peek(1) == '-') {
      std::size_t nl = src_.find('\n', pos_);
      skip((nl == std::string_view::npos ? src_.size() : nl) - pos_);
    } else if (c == '\n') {
      newline();
    } else if (c == ' ' || c == '\t' || c == '\r') {
      std::size_t end = pos_ + 1;
      while (end < src_.size() && (src_[end] == ' ' || src_[end] == '\t' || src_[end] == '\r')) ++end;
      skip(end - pos_);
    } else if (c == '"' || c == '\'') {
      string_literal(line, col);
    } else if (c == '`') {
      raw_literal(line, col);
    } else if (is_digit(c)) {
      number(line, col);
    } else if (c == '#') {
      directive(line, col);
    } else if (is_letter(c) || c == '_') {
      identifier(line, col);
    } else if (!punctuation(line, col)) {
      skip(1);
      error(unknown_char_code, line, col, std::string("unknown character '") + static_cast<char>(c) + "'");
    }
  }
}

// A line break is one NEWLINE token; runs of blank lines give one, and a
// break right after `..` continues the line.
void Scanner::newline() {
  std::int32_t line = line_, col = col_;
  advance();
  if (last_kind_ == Kind::NEWLINE || last_kind_ == Kind::DOTDOT) return;
  emit(Kind::NEWLINE, line, col);
}

void Scanner::number(std::int32_t line, std::int32_t col) {
  int base = 0;
  if (peek() == '0' && (peek(1) == 'x' || peek(1) == 'X') && peek(2) >= 0 && hex_value(peek(2)) >= 0) base = 16;
  if (peek() == '0' && (peek(1) == 'b' || peek(1) == 'B') && (peek(2) == '0' || peek(2) == '1')) base = 2;
  // Literals wrap silently: accumulate in unsigned arithmetic, which is defined to wrap.
  std::uint64_t value = 0;
  if (base != 0) {
    skip(2);
    for (;;) {
      int c = peek();
      int digit = c < 0 ? -1 : hex_value(static_cast<unsigned char>(c));
      if (digit >= 0 && digit < base) {
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        skip(1);
      } else if (c == '_') {
        int next = peek(1);
        int next_digit = next < 0 ? -1 : hex_value(static_cast<unsigned char>(next));
        if (next_digit < 0 || next_digit >= base) break;
        skip(1);
      } else {
        break;
      }
    }
    Token& t = emit(Kind::INT, line, col);
    t.int_value = static_cast<std::int64_t>(value);
    return;
  }
  std::string digits;
  for (;;) {
    int c = peek();
    if (c >= 0 && is_digit(static_cast<unsigned char>(c))) {
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
      digits += static_cast<char>(c);
      skip(1);
    } else if (c == '_' && peek(1) >= 0 && is_digit(static_cast<unsigned char>(peek(1)))) {
      skip(1);
    } else {
      break;
    }
  }
  bool is_float = false;
  auto copy_digits = [&] {
    while (peek() >= 0 && is_digit(static_cast<unsigned char>(peek()))) {
      digits += static_cast<char>(peek());
      skip(1);
    }
  };
  if (peek() == '.' && peek(1) >= 0 && is_digit(static_cast<unsigned char>(peek(1)))) {
    is_float = true;
    digits += '.';
    skip(1);
    copy_digits();
  }
  if (peek() == 'e' || peek() == 'E') {
    int after = peek(1);
    bool digit_next = after >= 0 && is_digit(static_cast<unsigned char>(after));
    bool signed_digit = (after == '+' || after == '-') && peek(2) >= 0 && is_digit(static_cast<unsigned char>(peek(2)));
    if (digit_next || signed_digit) {
      is_float = true;
      digits += 'e';
      skip(1);
      if (signed_digit) {
        digits += static_cast<char>(after);
        skip(1);
      }
      copy_digits();
    }
  }
  if (is_float) {
    Token& t = emit(Kind::FLOAT, line, col);
    // strtod rounds to nearest and gives infinity for a literal out of range.
    t.float_value = std::strtod(digits.c_str(), nullptr);
  } else {
    Token& t = emit(Kind::INT, line, col);
    t.int_value = static_cast<std::int64_t>(value);
  }
}

void Scanner::identifier(std::int32_t line, std::int32_t col) {
  std::size_t start = pos_;
  std::size_t end = start;
  while (end < src_.size() && is_ident_continue(static_cast<unsigned char>(src_[end]))) ++end;
  skip(end - start);
  std::string_view word = src_.substr(start, end - start);
  Kind kind;
  if (keyword_kind(word, kind)) {
    emit(kind, line, col);
  } else {
    emit_text(Kind::IDENT, line, col, word);
  }
}

void Scanner::directive(std::int32_t line, std::int32_t col) {
  skip(1);
  std::size_t start = pos_;
  if (peek() >= 0 && (is_letter(static_cast<unsigned char>(peek())) || peek() == '_')) {
    std::size_t end = start;
    while (end < src_.size() && is_ident_continue(static_cast<unsigned char>(src_[end]))) ++end;
    skip(end - start);
  }
  std::string_view word = src_.substr(start, pos_ - start);
  saw_directive_ = true;
  if (word == "if") {
    emit(Kind::HASH_IF, line, col);
  } else if (word == "else") {
    emit(Kind::HASH_ELSE, line, col);
  } else if (word == "end") {
    emit(Kind::HASH_END, line, col);
  } else {
    error(directive_code, line, col,
          "unknown directive `#" + std::string(word) +
              "` \xE2\x80\x94 the build-flag directives are #if <flag>, #else, #end");
  }
}

// Longest match first; false when the byte starts no punctuation.
bool Scanner::punctuation(std::int32_t line, std::int32_t col) {
  int c = peek();
  int next = peek(1);
  Kind kind;
  std::size_t width = 1;
  // The byte alone is `one`; followed by `a` (or `b`) it is the two-byte `with_a` (`with_b`).
  auto choose = [&](Kind one, int a, Kind with_a, int b = -2, Kind with_b = Kind::END_OF_FILE) {
    kind = next == a ? with_a : next == b ? with_b : one;
    if (next == a || next == b) width = 2;
  };
  switch (c) {
    case '{': kind = Kind::LBRACE; break;
    case '}': kind = Kind::RBRACE; break;
    case '(': kind = Kind::LPAREN; break;
    case ')': kind = Kind::RPAREN; break;
    case '[': kind = Kind::LBRACKET; break;
    case ']': kind = Kind::RBRACKET; break;
    case ',': kind = Kind::COMMA; break;
    case ';': kind = Kind::SEMICOLON; break;
    case ':': kind = Kind::COLON; break;
    case '?': kind = Kind::QUESTION; break;
    case '@': kind = Kind::AT; break;
    case '|': kind = Kind::PIPE; break;
    case '&': kind = Kind::AMP; break;
    case '^': kind = Kind::CARET; break;
    case '.': choose(Kind::DOT, '.', Kind::DOTDOT); break;
    case '-': choose(Kind::DASH, '=', Kind::MINUSEQ, '>', Kind::ARROW); break;
    case '+': choose(Kind::PLUS, '=', Kind::PLUSEQ); break;
    case '*': choose(Kind::STAR, '=', Kind::STAREQ); break;
    case '/': choose(Kind::SLASH, '=', Kind::SLASHEQ); break;
    case '%': choose(Kind::PERCENT, '=', Kind::PERCENTEQ); break;
    case '=': choose(Kind::EQ, '=', Kind::EQEQ, '>', Kind::FAT_ARROW); break;
    case '<': choose(Kind::LT, '=', Kind::LTEQ, '<', Kind::SHL); break;
    case '>': choose(Kind::GT, '=', Kind::GTEQ, '>', Kind::SHR); break;
    case '!':
      if (next != '=') return false;
      kind = Kind::NOTEQ;
      width = 2;
      break;
    default: return false;
  }
  skip(width);
  emit(kind, line, col);
  return true;
}

// Copies the raw text of an interpolation up to the brace that closes it at
// depth 0 (consumed, not copied). Quoted runs inside are copied verbatim.
std::string_view Scanner::read_interp_expr() {
  std::size_t start = pos_;
  int depth = 0;
  while (pos_ < src_.size()) {
    char c = src_[pos_];
    if (c == '}' && depth == 0) {
      std::string_view text = src_.substr(start, pos_ - start);
      advance();
      return text;
    }
    if (c == '{') ++depth;
    if (c == '}') --depth;
    if (c == '"' || c == '\'') {
      advance();
      while (pos_ < src_.size() && src_[pos_] != c) {
        if (src_[pos_] == '\\' && pos_ + 1 < src_.size()) advance();
        advance();
      }
      if (pos_ < src_.size()) advance();
      continue;
    }
    advance();
  }
  return src_.substr(start);
}

void Scanner::finish_literal(std::int32_t line, std::int32_t col, std::vector<Segment>& segments) {
  if (segments.size() == 1 && segments[0].kind == SegmentKind::Text) {
    emit_text(Kind::STR, line, col, segments[0].text);
    return;
  }
  Token& t = emit(Kind::INTERP_STR, line, col);
  t.first_segment = static_cast<std::uint32_t>(out_.segments.size());
  t.size = static_cast<std::uint32_t>(segments.size());
  out_.segments.insert(out_.segments.end(), segments.begin(), segments.end());
}

void Scanner::string_literal(std::int32_t line, std::int32_t col) {
  char quote = src_[pos_];
  skip(1);
  std::vector<Segment> segments;
  // Bytes of the current TEXT piece: a view of the source until an escape
  // forces a private copy.
  std::size_t run_start = pos_;
  std::string buffer;
  bool copied = false;
  auto flush = [&] {
    std::string_view text = copied ? keep(std::move(buffer)) : src_.substr(run_start, pos_ - run_start);
    segments.push_back({SegmentKind::Text, text});
    buffer.clear();
    copied = false;
  };
  auto to_buffer = [&] {
    if (!copied) {
      buffer.assign(src_.substr(run_start, pos_ - run_start));
      copied = true;
    }
  };
  for (;;) {
    int c = peek();
    if (c < 0) break;
    if (c == quote) {
      flush();
      skip(1);
      finish_literal(line, col, segments);
      return;
    }
    if (c == '\n') {
      error(newline_in_string_code, line_, col_,
            "newline in string literal (use a `...` raw text literal for multi-line text)");
      break;
    }
    if (c == '\\') {
      std::int32_t esc_line = line_, esc_col = col_;
      to_buffer();
      skip(1);
      int e = peek();
      if (e < 0) {
        error(unterminated_escape_code, esc_line, esc_col, "unterminated string escape");
        break;
      }
      advance();
      switch (e) {
        case 'n': buffer += '\n'; break;
        case 'r': buffer += '\r'; break;
        case 't': buffer += '\t'; break;
        case '0': buffer += '\0'; break;
        default: buffer += static_cast<char>(e); break;
      }
      continue;
    }
    if (c == '$' && peek(1) == '{') {
      flush();
      interpolation(segments);
      run_start = pos_;
      continue;
    }
    if (copied) buffer += static_cast<char>(c);
    skip(1);
  }
  flush();
  finish_literal(line, col, segments);
}

}  // namespace

std::string_view spelling(Kind kind) { return spellings[static_cast<std::size_t>(kind)]; }

// Removes the common margin of a multi-line raw text literal (dedent.cpp);
// rewritten TEXT bytes are kept in `storage`.
std::vector<Segment> dedent(std::deque<std::string>& storage, std::vector<Segment> segments);

namespace {

void Scanner::raw_literal(std::int32_t line, std::int32_t col) {
  skip(1);
  std::vector<Segment> segments;
  std::size_t run_start = pos_;
  auto flush = [&] { segments.push_back({SegmentKind::Text, src_.substr(run_start, pos_ - run_start)}); };
  for (;;) {
    int c = peek();
    if (c < 0) {
      error(unterminated_raw_code, line, col, "unterminated raw text literal");
      break;
    }
    if (c == '`') break;
    if (c == '$' && peek(1) == '{') {
      flush();
      interpolation(segments);
      run_start = pos_;
      continue;
    }
    if (c == '{' && peek(1) == '{') {
      flush();
      skip(2);
      std::string_view text = read_interp_expr();
      if (peek() == '}') {
        skip(1);
      } else {
        error(unterminated_raw_code, line, col, "unterminated raw text literal");
      }
      segments.push_back({SegmentKind::Esc, text});
      run_start = pos_;
      continue;
    }
    advance();
  }
  flush();
  if (peek() == '`') skip(1);
  segments = dedent(out_.storage, std::move(segments));
  finish_literal(line, col, segments);
}

}  // namespace

TokenList tokenize(Diag::Collector& collector, const std::string& file, std::string_view source) {
  TokenList tokens;
  // Reserved, not touched: pages never written cost no memory, while a
  // regrowth copies the whole list and holds two at once. Indented, dense
  // code comes to two or three bytes per token.
  tokens.tokens.reserve(source.size() / 2 + 16);
  Scanner scanner(collector, file, source, tokens);
  scanner.run();
  if (!scanner.saw_directive()) return tokens;
  return preprocess(collector, file, std::move(tokens));
}

struct Stream::State {
  State(Diag::Collector& collector, const std::string& file, std::string_view source, TokenList& out)
      : scanner(collector, file, source, out), sections(collector, file) {}
  Scanner scanner;
  detail::Sections sections;
  bool done = false;
};

Stream::Stream(Diag::Collector& collector, const std::string& file, std::string_view source, TokenList& out)
    : out_(out), state_(std::make_unique<State>(collector, file, source, out)) {}

Stream::~Stream() = default;

bool Stream::done() const { return state_->done; }

void Stream::fill(std::size_t min_tokens) {
  if (state_->done) return;
  Scanner& scanner = state_->scanner;
  std::size_t from = out_.tokens.size();
  scanner.clear_saw_directive();
  // A batch ends after a line break, so an `#if` and its flag are never split.
  while (!scanner.at_end() && (out_.tokens.size() - from < min_tokens || scanner.last_kind() != Kind::NEWLINE))
    scanner.step();
  if (scanner.at_end()) {
    scanner.finish();
    state_->done = true;
  }
  if (scanner.saw_directive() || !state_->sections.idle()) state_->sections.filter(out_.tokens, from);
  if (state_->done) state_->sections.finish();
}

}  // namespace Lexer
