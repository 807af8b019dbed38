// Margin removal for multi-line raw text literals. An interpolation counts as
// one byte of content (the shadow's 0x01 placeholder) when measuring margins.
#include <algorithm>
#include <limits>

#include "lexer/lexer.hpp"

namespace Lexer {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string segments_shadow(const std::vector<Segment>& segments) {
  std::string shadow;
  for (const Segment& s : segments) {
    if (s.kind == SegmentKind::Text) {
      shadow += s.text;
    } else {
      shadow += '\x01';
    }
  }
  return shadow;
}

// The smallest indentation of the lines that hold anything but blanks.
std::size_t min_indent(std::string_view shadow) {
  std::size_t best = std::numeric_limits<std::size_t>::max();
  std::size_t start = 0;
  while (start <= shadow.size()) {
    std::size_t end = shadow.find('\n', start);
    if (end == std::string_view::npos) end = shadow.size();
    std::string_view line = shadow.substr(start, end - start);
    std::size_t indent = 0;
    while (indent < line.size() && is_blank(line[indent])) ++indent;
    if (indent < line.size()) best = std::min(best, indent);
    start = end + 1;
  }
  return best == std::numeric_limits<std::size_t>::max() ? 0 : best;
}

}  // namespace

std::vector<Segment> dedent(std::deque<std::string>& storage, std::vector<Segment> segments) {
  if (segments_shadow(segments).find('\n') == std::string::npos) return segments;
  if (!segments.empty() && segments[0].kind == SegmentKind::Text && !segments[0].text.empty() &&
      segments[0].text[0] == '\n') {
    segments[0].text.remove_prefix(1);
  }
  std::size_t margin = min_indent(segments_shadow(segments));
  if (margin > 0) {
    bool at_line_start = true;
    for (Segment& s : segments) {
      if (s.kind != SegmentKind::Text) {
        at_line_start = false;
        continue;
      }
      std::string stripped;
      std::string_view text = s.text;
      std::size_t i = 0;
      while (i < text.size()) {
        if (at_line_start) {
          std::size_t removed = 0;
          while (removed < margin && i < text.size() && is_blank(text[i])) {
            ++i;
            ++removed;
          }
          at_line_start = false;
          continue;
        }
        stripped += text[i];
        if (text[i] == '\n') at_line_start = true;
        ++i;
      }
      s.text = storage.emplace_back(std::move(stripped));
    }
  }
  if (!segments.empty() && segments.back().kind == SegmentKind::Text) {
    std::string_view& text = segments.back().text;
    std::size_t keep = text.size();
    while (keep > 0 && is_blank(text[keep - 1])) --keep;
    if (keep < text.size() && keep > 0 && text[keep - 1] == '\n') text = text.substr(0, keep);
  }
  return segments;
}

}  // namespace Lexer
