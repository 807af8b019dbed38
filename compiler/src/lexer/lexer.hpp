// The lexer: source bytes of one file to the preprocessed token list.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diag.hpp"

namespace Lexer {

enum class Kind : std::uint8_t {
#define TOKEN(name, label, spelling) name,
#include "lexer/token_kinds.def"
#undef TOKEN
};

// Number of keyword kinds: KW_TYPE .. KW_SELECT come first in the table.
inline constexpr int keyword_count = 37;

// The spelling of a payload-free kind ("" for NEWLINE, EOF and payload kinds).
std::string_view spelling(Kind kind);

enum class SegmentKind : std::uint8_t { Text, Expr, Esc };

// One piece of an INTERP_STR: literal bytes, or the raw source text of a
// `${...}` (Expr) or `{{...}}` (Esc) interpolation, which the parser lexes itself.
struct Segment {
  SegmentKind kind;
  std::string_view text;
};

// A token is 24 bytes: its payload is a view into the source text or into the
// token list's own storage (for literals whose bytes differ from the source).
struct Token {
  Kind kind = Kind::END_OF_FILE;
  std::uint32_t size = 0;  // IDENT/STR: byte length; INTERP_STR: segment count
  std::int32_t line = 0;
  std::int32_t col = 0;
  union {
    std::int64_t int_value;  // INT
    double float_value;      // FLOAT
    const char* data;        // IDENT, STR
    std::uint32_t first_segment;  // INTERP_STR: index into TokenList::segments
  };

  Token() : int_value(0) {}
  std::string_view text() const { return {data, size}; }
};

// The tokens of one file, ending in exactly one EOF. Views in the tokens point
// into the source text (which must outlive the list) or into `storage`.
struct TokenList {
  std::vector<Token> tokens;
  std::vector<Segment> segments;
  std::deque<std::string> storage;

  std::span<const Segment> segments_of(const Token& t) const {
    return std::span<const Segment>(segments).subspan(t.first_segment, t.size);
  }
};

// The build flags given with -D; filled by the driver before any file is lexed.
extern std::set<std::string, std::less<>> defines;

// Lexes the whole source, appends EOF, and returns the preprocessed list.
TokenList tokenize(Diag::Collector& collector, const std::string& file, std::string_view source);

// Lexes one file a batch at a time into `out`, so that a reader (the parser)
// can drop the tokens it is done with and the whole list of a large file
// never lives at once. The tokens and diagnostics are those of tokenize.
class Stream {
 public:
  Stream(Diag::Collector& collector, const std::string& file, std::string_view source, TokenList& out);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Appends about `min_tokens` more tokens to the list (fewer where a build
  // flag leaves them out), or the rest of the file ending in EOF.
  void fill(std::size_t min_tokens);
  // Whether the EOF token is in the list.
  bool done() const;

 private:
  struct State;
  TokenList& out_;
  std::unique_ptr<State> state_;
};

// Applies `#if flag` / `#else` / `#end` sections to a raw token list.
TokenList preprocess(Diag::Collector& collector, const std::string& file, TokenList tokens);

// Diagnostic codes of the lexer and preprocessor.
inline constexpr const char* unknown_char_code = "VK-E001";
inline constexpr const char* unterminated_escape_code = "VK-E002";
inline constexpr const char* directive_code = "VK-E003";
inline constexpr const char* unterminated_raw_code = "VK-E004";
inline constexpr const char* newline_in_string_code = "VK-E005";

}  // namespace Lexer
