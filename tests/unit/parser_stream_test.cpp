// Lexing as the parser asks for tokens (Parser::parse_source) against lexing
// the whole file first: the same tree and the same diagnostics, on a file long
// enough to be lexed in many batches, with build-flag sections, lexer and
// syntax errors, line continuations and interpolations across the batches.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "dump/dump.hpp"
#include "parser/parser.hpp"

namespace {

struct Outcome {
  std::string dump;
  std::string diagnostics;
  std::string pieces;  // the dump as handed out piece by piece
  int piece_count = 0;
};

Outcome run(const std::string& source, bool streamed) {
  Diag::Collector collector = Diag::Collector::create();
  Ast::Program tree;
  Lexer::TokenList tokens;
  if (streamed) {
    tree = Parser::parse_source(collector, "s.vk", source);
  } else {
    tokens = Lexer::tokenize(collector, "s.vk", source);
    tree = Parser::parse(collector, "s.vk", tokens);
  }
  Diag::Lookup lookup = [&](const std::string&) -> std::optional<std::string_view> { return source; };
  Outcome out;
  out.dump = Dump::dump_ast(tree);
  out.diagnostics = collector.render_all(lookup);
  Dump::dump_ast(tree, [&](std::string_view piece) {
    out.pieces += piece;
    ++out.piece_count;
  });
  return out;
}

// Declaration `i` of a long program; some open or close a build-flag section,
// some hold an error.
std::string unit(int i) {
  std::string n = std::to_string(i);
  std::string out;
  if (i % 37 == 5) out += "#if fast\n";
  if (i % 41 == 7) out += "#if slow\n";
  out += "type R" + n + " {\n  label: Text\n  count: Int\n}\n";
  out += "fn f" + n + "(a: Int, b: Int) -> Int {\n";
  out += "  let x = a * " + n + " + b\n";
  out += "  x += b\n";
  out += "  let t = \"n${x}\" ..\n    int_to_text(b)\n";
  out += "  let raw = `\n    line ${a}\n      more\n  `\n";
  if (i % 53 == 11) out += "  let bad = 3 $ 4\n";               // unknown character
  if (i % 59 == 13) out += "  let u = \"unterminated\n";       // line break in a string
  if (i % 61 == 17) out += "  let = 5\n";                        // syntax error in a statement
  out += "  while x > 3 {\n    x = x - 7\n  }\n";
  out += "  return R" + n + " { label: t, count: x }.count\n}\n";
  if (i % 67 == 19) out += "fn broken( {\n  nothing\n}\n";      // a declaration to resynchronise after
  if (i % 37 == 20) out += "#else\nfn alt" + n + "() {}\n#end\n";
  if (i % 41 == 30) out += "#end\n";
  if (i % 97 == 50) out += "#else\n";                             // stray, or a second #else
  return out;
}

TEST(ParseSource, ManyBatchesGiveTheTreeAndDiagnosticsOfTheWholeList) {
  std::string source;
  for (int i = 0; i < 600; ++i) source += unit(i);
  source += "#if tail\nfn never() {}\n";  // left open
  Lexer::defines.insert("fast");
  Outcome whole = run(source, false);
  Outcome streamed = run(source, true);
  Lexer::defines.erase("fast");
  EXPECT_GT(whole.dump.size(), 100000u);
  EXPECT_NE(whole.diagnostics.find("#if left open"), std::string::npos);
  EXPECT_NE(whole.diagnostics.find("unknown character"), std::string::npos);
  EXPECT_NE(whole.diagnostics.find("VK-E101"), std::string::npos);
  EXPECT_EQ(streamed.dump, whole.dump);
  EXPECT_EQ(streamed.diagnostics, whole.diagnostics);
  EXPECT_EQ(streamed.pieces, streamed.dump);
  EXPECT_GT(streamed.piece_count, 1);
}

TEST(ParseSource, ShortAndEmptyFiles) {
  for (const char* source : {"", "\n\n", "fn main() {}", "fn main() {\n  let x = 1 ..", "#if x\n", "fn (", "`"}) {
    Outcome whole = run(source, false);
    Outcome streamed = run(source, true);
    EXPECT_EQ(streamed.dump, whole.dump) << source;
    EXPECT_EQ(streamed.diagnostics, whole.diagnostics) << source;
  }
}

}  // namespace
