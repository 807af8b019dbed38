// The lexical half of the checked JSON decode: a cursor over the text that
// reads strings, numbers and literals, skips whole values of any depth
// without recursion, and says where the text stops making sense.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vm {

// Why a text was refused; caught at the decoder's entry, never leaves the
// JSON module.
struct JsonRefused {
  std::string reason;
};

class JsonLexer {
 public:
  explicit JsonLexer(std::string_view text)
      : start_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  // Skips blanks and gives the next byte, or '\0' at the end of the text.
  char peek();
  bool at_end() {
    peek();
    return p_ == end_;
  }
  void advance() { ++p_; }
  const char* pos() const { return p_; }
  // Moves the cursor back to `at`, a position this lexer gave out.
  void seek(const char* at) { p_ = at; }

  // Consumes `c` after blanks, or refuses with "expected <what>".
  void expect(char c, std::string_view what);
  // Reads the string at the cursor into `out`, escapes decoded to UTF-8.
  void string(std::string& out);
  // The extent of the number at the cursor; `integral` is false when it
  // has a fraction or an exponent.
  std::string_view number(bool& integral);
  // Consumes `word` when the text continues with it.
  bool literal(std::string_view word);
  // True when the next byte can start a value.
  bool value_starts();
  // Consumes one whole value, however deep, checking that it is well formed.
  void skip_value();

  // Refuses the text with "line L, column C: <what>" at the cursor or at `at`.
  [[noreturn]] void syntax(std::string_view what) const { syntax_at(p_, what); }
  [[noreturn]] void syntax_at(const char* at, std::string_view what) const;

 private:
  unsigned hex4();
  void member_name(std::string& scratch, std::string_view what);
  void scalar(std::string& scratch);

  const char* start_;
  const char* p_;
  const char* end_;
  std::vector<char> open_;  // skip_value's unclosed `{` and `[`
};

}  // namespace Vm
