// Private to the lexer: build-flag sections (`#if flag` ... `#else` ...
// `#end`, nestable) applied to a token list one stretch at a time.
#pragma once

#include <string>
#include <vector>

#include "diag/diag.hpp"
#include "lexer/lexer.hpp"

namespace Lexer::detail {

class Sections {
 public:
  Sections(Diag::Collector& collector, const std::string& file) : collector_(collector), file_(file) {}

  // Drops the directives of tokens[from..] and the tokens of inactive
  // sections, in place. A stretch never ends between an `#if` and its flag.
  void filter(std::vector<Token>& tokens, std::size_t from);
  // Reports a section still open at the end of the file.
  void finish();
  bool idle() const { return stack_.empty(); }

 private:
  struct Frame {
    bool active;
    bool seen_else;
    std::int32_t line;  // of the section's #if
    std::int32_t col;
  };
  void report(const Token& at, const char* message);

  Diag::Collector& collector_;
  const std::string& file_;
  std::vector<Frame> stack_;
  std::size_t inactive_frames_ = 0;  // frames on the stack whose `active` is false
};

}  // namespace Lexer::detail
