// Rendering, ordering and de-duplication of diagnostics, including the sites
// the driver never produces from real sources (no line, unknown file, related
// sites).
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "diag/diag.hpp"

namespace {

// A lookup over a fixed set of files; any other path is unknown.
Diag::Lookup lookup_of(std::map<std::string, std::string> files) {
  return [files = std::move(files)](const std::string& path) -> std::optional<std::string_view> {
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return std::string_view(it->second);
  };
}

const Diag::Lookup sources = lookup_of({
    {"src/a.vk", "let x = $\n\tlet y = 2\nlast line"},
    {"src/b.vk", "fn main() {\n  x.go()\n}\n"},
    {"src/crlf.vk", "one\r\ntwo\r\n"},
});

TEST(DiagRender, LocationSourceLineAndCaret) {
  Diag::Diagnostic d = Diag::error("VK-E001", "src/a.vk", 1, 9, "unknown character '$'");
  EXPECT_EQ(Diag::render(sources, d),
            "src/a.vk:1:9: error VK-E001: unknown character '$'\n"
            "let x = $\n"
            "        ^");
}

TEST(DiagRender, WarningWord) {
  Diag::Diagnostic d = Diag::warning("VK-W202", "src/b.vk", 2, 3, "unused value");
  EXPECT_EQ(Diag::render(sources, d),
            "src/b.vk:2:3: warning VK-W202: unused value\n"
            "  x.go()\n"
            "  ^");
}

TEST(DiagRender, RelatedSitesAreIndentedBlocks) {
  Diag::Diagnostic d = Diag::error(
      "VK-E301", "src/a.vk", 2, 6, "use of moved value `y`",
      {Diag::related_site("src/b.vk", 2, 3, "moved here"),
       Diag::related_site("src/none.vk", 4, 1, "declared here"),
       Diag::related_site("src/a.vk", 0, 0, "no line for this one")});
  EXPECT_EQ(Diag::render(sources, d),
            "src/a.vk:2:6: error VK-E301: use of moved value `y`\n"
            "\tlet y = 2\n"
            "     ^\n"
            "  src/b.vk:2:3: moved here\n"
            "    x.go()\n"
            "    ^\n"
            "  src/none.vk:4:1: declared here\n"
            "  src/a.vk:0:0: no line for this one");
}

TEST(DiagRender, SitesWithoutSourceLineShowOnlyTheLocation) {
  // line 0, a negative line, a file the lookup does not know, a line past the end
  EXPECT_EQ(Diag::render(sources, Diag::error("VK-E106", "src/a.vk", 0, 0, "m")), "src/a.vk:0:0: error VK-E106: m");
  EXPECT_EQ(Diag::render(sources, Diag::error("VK-E106", "src/a.vk", -3, 2, "m")), "src/a.vk:-3:2: error VK-E106: m");
  EXPECT_EQ(Diag::render(sources, Diag::error("VK-E001", "other.vk", 1, 1, "m")), "other.vk:1:1: error VK-E001: m");
  EXPECT_EQ(Diag::render(sources, Diag::error("VK-E001", "src/a.vk", 4, 1, "m")), "src/a.vk:4:1: error VK-E001: m");
  EXPECT_EQ(Diag::render(Diag::Lookup(), Diag::error("VK-E001", "src/a.vk", 1, 1, "m")),
            "src/a.vk:1:1: error VK-E001: m");
}

TEST(DiagRender, LineAfterTheFinalLineFeedIsEmpty) {
  // "fn main() {\n  x.go()\n}\n" splits into four lines, the last one empty.
  EXPECT_EQ(Diag::render(sources, Diag::error("VK-E101", "src/b.vk", 4, 1, "unexpected end of file")),
            "src/b.vk:4:1: error VK-E101: unexpected end of file\n\n^");
  EXPECT_EQ(Diag::render(sources, Diag::error("VK-E101", "src/b.vk", 5, 1, "m")), "src/b.vk:5:1: error VK-E101: m");
}

TEST(DiagRender, LastLineWithoutLineFeed) {
  EXPECT_EQ(Diag::line_text(sources, {"src/a.vk", 3, 1}), std::optional<std::string_view>("last line"));
}

TEST(DiagRender, CarriageReturnStaysInTheLine) {
  EXPECT_EQ(Diag::line_text(sources, {"src/crlf.vk", 2, 1}), std::optional<std::string_view>("two\r"));
  EXPECT_EQ(Diag::line_text(sources, {"src/crlf.vk", 3, 1}), std::optional<std::string_view>(""));
}

TEST(DiagRender, CaretLine) {
  EXPECT_EQ(Diag::caret_line(1), "^");
  EXPECT_EQ(Diag::caret_line(0), "^");
  EXPECT_EQ(Diag::caret_line(-7), "^");
  EXPECT_EQ(Diag::caret_line(4), "   ^");
  // column 0 with a known line: the caret goes under the first byte
  EXPECT_EQ(Diag::render(sources, Diag::error("VK-E001", "src/a.vk", 1, 0, "m")),
            "src/a.vk:1:0: error VK-E001: m\nlet x = $\n^");
}

TEST(DiagRender, SeverityWords) {
  EXPECT_STREQ(Diag::severity_word(Diag::Severity::Error), "error");
  EXPECT_STREQ(Diag::severity_word(Diag::Severity::Warning), "warning");
}

TEST(DiagCollector, EmptyCollector) {
  Diag::Collector c = Diag::Collector::create();
  EXPECT_TRUE(c.diagnostics().empty());
  EXPECT_FALSE(c.has_error());
  EXPECT_EQ(c.exit_code(), 0);
  EXPECT_EQ(c.render_all(sources), "");
}

TEST(DiagCollector, WarningsOnlyExitZero) {
  Diag::Collector c = Diag::Collector::create();
  c.add(Diag::warning("VK-W203", "src/b.vk", 2, 3, "second"));
  c.add(Diag::warning("VK-W202", "src/a.vk", 1, 1, "first"));
  EXPECT_FALSE(c.has_error());
  EXPECT_EQ(c.exit_code(), 0);
  EXPECT_EQ(c.render_all(sources),
            "src/a.vk:1:1: warning VK-W202: first\nlet x = $\n^\n\n"
            "src/b.vk:2:3: warning VK-W203: second\n  x.go()\n  ^");
  c.add(Diag::error("VK-E201", "src/b.vk", 9, 1, "now an error"));
  EXPECT_EQ(c.exit_code(), 1);
}

TEST(DiagCollector, OrdersByFileBytewiseThenLineThenColumn) {
  Diag::Collector c = Diag::Collector::create();
  c.add(Diag::error("VK-E001", "src/b.vk", 1, 1, "b11"));
  c.add(Diag::error("VK-E001", "src/a.vk", 10, 1, "a10"));
  c.add(Diag::error("VK-E001", "src/a.vk", 2, 7, "a27"));
  c.add(Diag::error("VK-E001", "src/a.vk", 2, 3, "a23"));
  c.add(Diag::error("VK-E001", "src/a.vk2", 1, 1, "prefix sorts first"));
  c.add(Diag::error("VK-E001", "src/\xc3\xa9.vk", 1, 1, "high byte sorts last"));
  c.add(Diag::error("VK-E001", "src/B.vk", 5, 5, "upper case sorts before lower"));
  c.add(Diag::error("VK-E001", "src/a/x.vk", 1, 1, "slash after dot"));
  c.add(Diag::error("VK-E001", "src/a.vk", 0, 0, "no line sorts first in its file"));
  std::vector<std::string> order;
  for (const Diag::Diagnostic& d : c.diagnostics()) order.push_back(d.message);
  EXPECT_EQ(order, (std::vector<std::string>{"upper case sorts before lower", "no line sorts first in its file",
                                             "a23", "a27", "a10", "prefix sorts first", "slash after dot", "b11",
                                             "high byte sorts last"}));
}

TEST(DiagCollector, SameCodeAtOneSiteKeepsTheFirst) {
  Diag::Collector c = Diag::Collector::create();
  c.add(Diag::warning("VK-E004", "src/a.vk", 1, 5, "first text"));
  c.add(Diag::error("VK-E004", "src/a.vk", 1, 5, "second text, error this time"));
  c.add(Diag::error("VK-E004", "src/a.vk", 1, 6, "other column"));
  c.add(Diag::error("VK-E004", "src/b.vk", 1, 5, "other file"));
  std::vector<Diag::Diagnostic> kept = c.diagnostics();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].message, "first text");
  EXPECT_EQ(kept[0].severity, Diag::Severity::Warning);
  EXPECT_EQ(kept[1].message, "other column");
  EXPECT_EQ(kept[2].message, "other file");
  // the dropped duplicate does not count as an error
  EXPECT_EQ(c.exit_code(), 1);  // "other column" is one
  Diag::Collector w = Diag::Collector::create();
  w.add(Diag::warning("VK-W202", "src/a.vk", 1, 5, "kept"));
  w.add(Diag::error("VK-W202", "src/a.vk", 1, 5, "dropped"));
  EXPECT_EQ(w.exit_code(), 0);
}

TEST(DiagCollector, TwoCodesAtOneSiteKeepInsertionOrder) {
  Diag::Collector c = Diag::Collector::create();
  c.add(Diag::error("VK-E205", "src/a.vk", 2, 2, "added first"));
  c.add(Diag::error("VK-E105", "src/a.vk", 2, 2, "added second"));
  c.add(Diag::error("VK-E205", "src/a.vk", 1, 1, "earlier line"));
  EXPECT_EQ(c.render_all(Diag::Lookup()),
            "src/a.vk:1:1: error VK-E205: earlier line\n\n"
            "src/a.vk:2:2: error VK-E205: added first\n\n"
            "src/a.vk:2:2: error VK-E105: added second");
}

TEST(DiagCollector, RelatedSitesTakeNoPartInOrderOrDuplicates) {
  Diag::Collector c = Diag::Collector::create();
  c.add(Diag::error("VK-E301", "src/b.vk", 1, 1, "x", {Diag::related_site("src/a.vk", 1, 1, "r")}));
  c.add(Diag::error("VK-E301", "src/a.vk", 3, 1, "y", {Diag::related_site("src/b.vk", 1, 1, "r")}));
  c.add(Diag::error("VK-E301", "src/b.vk", 1, 1, "z", {Diag::related_site("src/c.vk", 9, 9, "other")}));
  std::vector<Diag::Diagnostic> kept = c.diagnostics();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].message, "y");
  EXPECT_EQ(kept[1].message, "x");
}

TEST(DiagCollector, AddingAfterReading) {
  Diag::Collector c = Diag::Collector::create();
  c.add(Diag::error("VK-E001", "src/b.vk", 1, 1, "late file"));
  EXPECT_EQ(c.diagnostics().size(), 1u);
  c.add(Diag::error("VK-E001", "src/a.vk", 1, 1, "early file"));
  c.add(Diag::error("VK-E001", "src/b.vk", 1, 1, "duplicate"));
  std::vector<Diag::Diagnostic> kept = c.diagnostics();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].message, "early file");
  EXPECT_EQ(kept[1].message, "late file");
}

TEST(DiagMake, FieldsAsGiven) {
  Diag::Diagnostic d = Diag::make("VK-W203", Diag::Severity::Error, "f.vk", 3, 4, "text",
                                  {Diag::related_site("g.vk", 5, 6, "there")});
  EXPECT_EQ(d.code, "VK-W203");
  EXPECT_EQ(d.severity, Diag::Severity::Error);  // the constructor decides, not the prefix
  EXPECT_EQ(d.site.file, "f.vk");
  EXPECT_EQ(d.site.line, 3);
  EXPECT_EQ(d.site.col, 4);
  ASSERT_EQ(d.related.size(), 1u);
  EXPECT_EQ(d.related[0].site.file, "g.vk");
  EXPECT_EQ(d.related[0].message, "there");
}

}  // namespace

// One render of many diagnostics shares the line index: lines asked for out
// of order, twice, past the end, and in files met in turn, quote the same
// text as single renders do.
TEST(DiagRender, RenderAllQuotesEveryLineAsSingleRendersDo) {
  Diag::Collector collector = Diag::Collector::create();
  collector.add(Diag::error("VK-E101", "src/b.vk", 3, 1, "late"));
  collector.add(Diag::error("VK-E001", "src/a.vk", 3, 2, "last"));
  collector.add(Diag::error("VK-E101", "src/b.vk", 1, 4, "early", {Diag::related_site("src/a.vk", 2, 1, "here")}));
  collector.add(Diag::error("VK-E102", "src/b.vk", 9, 1, "past the end"));
  collector.add(Diag::error("VK-E101", "src/a.vk", 1, 9, "first"));
  collector.add(Diag::error("VK-E102", "src/b.vk", 3, 1, "same line again"));
  std::string expected;
  for (const Diag::Diagnostic& d : collector.diagnostics()) {
    if (!expected.empty()) expected += "\n\n";
    expected += Diag::render(sources, d);
  }
  EXPECT_EQ(collector.render_all(sources), expected);
  EXPECT_NE(expected.find("src/b.vk:9:1: error VK-E102: past the end"), std::string::npos);
  EXPECT_NE(expected.find("  src/a.vk:2:1: here\n  \tlet y = 2\n  ^"), std::string::npos);
}
