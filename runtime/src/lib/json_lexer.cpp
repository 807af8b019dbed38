#include "lib/json_lexer.hpp"

#include <cstring>

#include "lib/json.hpp"

namespace Vm {

char JsonLexer::peek() {
  while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  return p_ < end_ ? *p_ : '\0';
}

void JsonLexer::syntax_at(const char* at, std::string_view what) const {
  std::size_t line = 1;
  const char* line_start = start_;
  for (const char* q = start_; q < at; ++q) {
    if (*q == '\n') {
      ++line;
      line_start = q + 1;
    }
  }
  std::string reason = "line " + std::to_string(line) + ", column " +
                       std::to_string(static_cast<std::size_t>(at - line_start) + 1) + ": ";
  reason += what;
  throw JsonRefused{std::move(reason)};
}

void JsonLexer::expect(char c, std::string_view what) {
  if (peek() != c) syntax(std::string("expected ") + std::string(what));
  ++p_;
}

bool JsonLexer::literal(std::string_view word) {
  if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) {
    return false;
  }
  p_ += word.size();
  return true;
}

bool JsonLexer::value_starts() {
  char c = peek();
  return c == '{' || c == '[' || c == '"' || c == 't' || c == 'f' || c == 'n' || c == '-' || (c >= '0' && c <= '9');
}

unsigned JsonLexer::hex4() {
  unsigned v = 0;
  for (int i = 0; i < 4; ++i) {
    char c = p_ < end_ ? *p_ : '\0';
    v <<= 4;
    if (c >= '0' && c <= '9') v |= unsigned(c - '0');
    else if (c >= 'a' && c <= 'f') v |= unsigned(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') v |= unsigned(c - 'A' + 10);
    else syntax("expected four hexadecimal digits after `\\u`");
    ++p_;
  }
  return v;
}

void JsonLexer::string(std::string& out) {
  expect('"', "a string");
  const char* opening = p_ - 1;
  out.clear();
  for (;;) {
    const char* run = p_;
    while (p_ < end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) ++p_;
    out.append(run, static_cast<std::size_t>(p_ - run));
    if (p_ >= end_) syntax_at(opening, "the string is not closed");
    if (*p_ == '"') {
      ++p_;
      return;
    }
    if (*p_ != '\\') syntax("a control byte inside a string (write it as an escape)");
    const char* escape = p_++;
    char c = p_ < end_ ? *p_++ : '\0';
    switch (c) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        unsigned cp = hex4();
        if (cp >= 0xDC00 && cp <= 0xDFFF) syntax_at(escape, "a low surrogate without a high one");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') syntax_at(escape, "a high surrogate without a low one");
          p_ += 2;
          unsigned lo = hex4();
          if (lo < 0xDC00 || lo > 0xDFFF) syntax_at(escape, "a high surrogate without a low one");
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        }
        json_put_utf8(out, cp);
        break;
      }
      default: syntax_at(escape, "an unknown escape in a string");
    }
  }
}

std::string_view JsonLexer::number(bool& integral) {
  peek();
  const char* start = p_;
  integral = true;
  auto digits = [&] {
    if (p_ >= end_ || *p_ < '0' || *p_ > '9') syntax("expected a digit");
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
  };
  if (p_ < end_ && *p_ == '-') ++p_;
  if (p_ < end_ && *p_ == '0') ++p_;  // no leading zeros: "01" ends after the 0
  else digits();
  if (p_ < end_ && *p_ == '.') {
    integral = false;
    ++p_;
    digits();
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    integral = false;
    ++p_;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    digits();
  }
  return {start, static_cast<std::size_t>(p_ - start)};
}

void JsonLexer::scalar(std::string& scratch) {
  char c = peek();
  if (c == '"') {
    string(scratch);
  } else if (c == 't' || c == 'f' || c == 'n') {
    if (!literal("true") && !literal("false") && !literal("null")) syntax("expected a value");
  } else if (c == '-' || (c >= '0' && c <= '9')) {
    bool integral;
    number(integral);
  } else {
    syntax("expected a value");
  }
}

void JsonLexer::member_name(std::string& scratch, std::string_view what) {
  if (peek() != '"') syntax(std::string("expected ") + std::string(what));
  string(scratch);
  expect(':', "`:`");
}

// A loop over the unclosed brackets instead of a recursive descent, so a
// value nested a million deep costs a million bytes of this stack, never
// the C++ stack.
void JsonLexer::skip_value() {
  std::string scratch;
  open_.clear();
  bool want_value = true;
  for (;;) {
    if (want_value) {
      char c = peek();
      if (c == '{') {
        ++p_;
        if (peek() == '}') {
          ++p_;
        } else {
          open_.push_back('{');
          member_name(scratch, "a member name or `}`");
          continue;
        }
      } else if (c == '[') {
        ++p_;
        if (peek() == ']') {
          ++p_;
        } else {
          open_.push_back('[');
          continue;
        }
      } else {
        scalar(scratch);
      }
      want_value = false;
    }
    if (open_.empty()) return;
    bool object = open_.back() == '{';
    char c = peek();
    if (c == ',') {
      ++p_;
      if (object) member_name(scratch, "a member name");
      want_value = true;
    } else if (c == (object ? '}' : ']')) {
      ++p_;
      open_.pop_back();
    } else {
      syntax(object ? "expected `,` or `}`" : "expected `,` or `]`");
    }
  }
}

}  // namespace Vm
