// Inputs far larger or deeper than real programs: the lexer must finish with a
// sane token list and never crash. No timing is asserted.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diag.hpp"
#include "lexer/lexer.hpp"

namespace {

Lexer::TokenList lex(Diag::Collector& collector, const std::string& source) {
  return Lexer::tokenize(collector, "stress.vk", source);
}

const Lexer::Token& last(const Lexer::TokenList& list) { return list.tokens.back(); }

TEST(LexerStress, FiftyMegabyteFile) {
  const std::string line = "let identifier_number_one = \"a string literal of some length\" -- trailing comment\n";
  std::string source;
  source.reserve(50u << 20);
  while (source.size() + line.size() <= (50u << 20)) source += line;
  const std::size_t lines = source.size() / line.size();

  Diag::Collector collector = Diag::Collector::create();
  Lexer::TokenList list = lex(collector, source);
  EXPECT_EQ(collector.added_count(), 0u);
  // KW_LET IDENT EQ STR NEWLINE per line, then EOF
  ASSERT_EQ(list.tokens.size(), lines * 5 + 1);
  EXPECT_EQ(last(list).kind, Lexer::Kind::END_OF_FILE);
  EXPECT_EQ(last(list).line, static_cast<std::int32_t>(lines + 1));
  EXPECT_EQ(last(list).col, 1);
  const Lexer::Token& str = list.tokens[list.tokens.size() - 3];
  EXPECT_EQ(str.kind, Lexer::Kind::STR);
  EXPECT_EQ(str.text(), "a string literal of some length");
}

TEST(LexerStress, OneMegabyteLine) {
  std::string source;
  for (int i = 0; source.size() < (1u << 20); ++i) source += "x" + std::to_string(i) + " + ";
  source += "$ end";
  Diag::Collector collector = Diag::Collector::create();
  Lexer::TokenList list = lex(collector, source);
  std::vector<Diag::Diagnostic> diagnostics = collector.diagnostics();
  ASSERT_EQ(diagnostics.size(), 1u);
  const Diag::Diagnostic& d = diagnostics.front();
  EXPECT_EQ(d.site.line, 1);
  EXPECT_EQ(d.site.col, static_cast<int>(source.size()) - 4);
  EXPECT_EQ(last(list).kind, Lexer::Kind::END_OF_FILE);
  EXPECT_EQ(last(list).col, static_cast<std::int32_t>(source.size()) + 1);
  EXPECT_GT(list.tokens.size(), 100000u);
  EXPECT_LT(list.tokens.size(), source.size());
}

TEST(LexerStress, HugeLiterals) {
  const std::string body(8u << 20, 'q');
  for (const std::string& source : {"\"" + body + "\"", "`" + body + "`", "`\n  " + body + "\n  `", "\"" + body}) {
    Diag::Collector collector = Diag::Collector::create();
    Lexer::TokenList list = lex(collector, source);
    EXPECT_EQ(collector.added_count(), 0u);
    ASSERT_EQ(list.tokens.size(), 2u);
    EXPECT_EQ(list.tokens[0].kind, Lexer::Kind::STR);
    EXPECT_EQ(list.tokens[0].text().size(), body.size() + (source[1] == '\n' ? 1 : 0));
  }
}

TEST(LexerStress, DeeplyNestedInterpolation) {
  // A million open braces inside `${`: the reader counts depth and must not recurse.
  const std::size_t depth = 1u << 20;
  std::string source = "\"${" + std::string(depth, '{') + std::string(depth, '}') + "}\" after";
  Diag::Collector collector = Diag::Collector::create();
  Lexer::TokenList list = lex(collector, source);
  ASSERT_EQ(list.tokens.size(), 3u);
  ASSERT_EQ(list.tokens[0].kind, Lexer::Kind::INTERP_STR);
  auto segments = list.segments_of(list.tokens[0]);
  ASSERT_EQ(segments.size(), 3u);
  EXPECT_EQ(segments[1].kind, Lexer::SegmentKind::Expr);
  EXPECT_EQ(segments[1].text.size(), 2 * depth);
  EXPECT_EQ(list.tokens[1].kind, Lexer::Kind::IDENT);

  // never closed: reading stops silently at the end of the input
  std::string open = "`{{" + std::string(depth, '{');
  Diag::Collector open_collector = Diag::Collector::create();
  Lexer::TokenList open_list = lex(open_collector, open);
  EXPECT_EQ(last(open_list).kind, Lexer::Kind::END_OF_FILE);
  ASSERT_EQ(open_collector.diagnostics().size(), 1u);
  EXPECT_EQ(open_collector.diagnostics()[0].code, Lexer::unterminated_raw_code);
}

TEST(LexerStress, DeeplyNestedSections) {
  std::string source;
  const int depth = 200000;
  for (int i = 0; i < depth; ++i) source += "#if f" + std::to_string(i % 7) + "\n";
  source += "body\n";
  for (int i = 0; i < depth / 2; ++i) source += "#else\n#end\n";
  Diag::Collector collector = Diag::Collector::create();
  Lexer::TokenList list = lex(collector, source);
  ASSERT_EQ(list.tokens.size(), 1u);  // everything is inside an inactive section
  ASSERT_EQ(collector.diagnostics().size(), 1u);
  EXPECT_EQ(collector.diagnostics()[0].site.line, depth / 2);
}

TEST(LexerStress, ManyErrors) {
  std::string source;
  for (int i = 0; i < 25000; ++i) source += "$~!\\";
  source += '\n';
  Diag::Collector collector = Diag::Collector::create();
  Lexer::TokenList list = lex(collector, source);
  EXPECT_EQ(collector.diagnostics().size(), 100000u);
  ASSERT_EQ(list.tokens.size(), 2u);
  EXPECT_EQ(list.tokens[0].kind, Lexer::Kind::NEWLINE);
}

TEST(LexerStress, EveryByteValue) {
  // Pseudo-random bytes, all 256 values many times over, in every context.
  std::string source;
  std::uint32_t state = 12345;
  for (int i = 0; i < (1 << 20); ++i) {
    state = state * 1664525u + 1013904223u;
    source += static_cast<char>(state >> 24);
  }
  for (std::string_view prefix : {"", "\"", "`", "\"${", "`{{", "#if "}) {
    const std::string input = std::string(prefix) + source;
    Diag::Collector collector = Diag::Collector::create();
    Lexer::TokenList list = lex(collector, input);
    ASSERT_FALSE(list.tokens.empty());
    EXPECT_EQ(last(list).kind, Lexer::Kind::END_OF_FILE);
    EXPECT_LE(list.tokens.size(), input.size() + 1);
    for (const Lexer::Token& t : list.tokens) {
      ASSERT_GE(t.line, 1);
      ASSERT_GE(t.col, 1);
    }
  }
}

TEST(LexerStress, LongNumbers) {
  // Integers wrap; float text of any length converts; none of it is undefined behaviour.
  std::string digits(1u << 20, '9');
  std::string source = digits + " 0x" + std::string(100000, 'f') + " 0b" + std::string(100000, '1') + " " + digits +
                       "." + digits + "e" + digits + " 0." + digits;
  Diag::Collector collector = Diag::Collector::create();
  Lexer::TokenList list = lex(collector, source);
  EXPECT_EQ(collector.added_count(), 0u);
  ASSERT_EQ(list.tokens.size(), 6u);
  EXPECT_EQ(list.tokens[0].kind, Lexer::Kind::INT);
  EXPECT_EQ(list.tokens[1].kind, Lexer::Kind::INT);
  EXPECT_EQ(list.tokens[1].int_value, -1);
  EXPECT_EQ(list.tokens[2].int_value, -1);
  EXPECT_EQ(list.tokens[3].kind, Lexer::Kind::FLOAT);
  EXPECT_EQ(list.tokens[4].kind, Lexer::Kind::FLOAT);
  EXPECT_EQ(list.tokens[4].float_value, 1.0);
}

}  // namespace
