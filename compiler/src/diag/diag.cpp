#include "diag/diag.hpp"

#include <algorithm>
#include <set>
#include <tuple>

namespace Diag {

Diagnostic make(std::string code, Severity severity, std::string file, int line, int col,
                std::string message, std::vector<Related> related) {
  return Diagnostic{std::move(code), severity, Site{std::move(file), line, col}, std::move(message),
                    std::move(related)};
}

Diagnostic error(std::string code, std::string file, int line, int col, std::string message,
                 std::vector<Related> related) {
  return make(std::move(code), Severity::Error, std::move(file), line, col, std::move(message),
              std::move(related));
}

Diagnostic warning(std::string code, std::string file, int line, int col, std::string message,
                   std::vector<Related> related) {
  return make(std::move(code), Severity::Warning, std::move(file), line, col, std::move(message),
              std::move(related));
}

Related related_site(std::string file, int line, int col, std::string message) {
  return Related{Site{std::move(file), line, col}, std::move(message)};
}

const char* severity_word(Severity severity) {
  return severity == Severity::Error ? "error" : "warning";
}

std::optional<std::string_view> line_text(const Lookup& lookup, const Site& site) {
  return LineIndex(lookup).text(site);
}

std::optional<std::string_view> LineIndex::text(const Site& site) {
  if (site.line < 1 || !lookup_) return std::nullopt;
  auto it = files_.find(site.file);
  if (it == files_.end()) {
    File file;
    if (std::optional<std::string_view> text = lookup_(site.file)) {
      file.found = true;
      file.text = *text;
      file.starts.push_back(0);
    }
    it = files_.emplace(site.file, std::move(file)).first;
  }
  File& file = it->second;
  if (!file.found) return std::nullopt;
  // Line starts are found as far as the farthest line asked for, once.
  auto wanted = static_cast<std::size_t>(site.line);
  while (file.starts.size() < wanted && file.scanned < file.text.size()) {
    std::size_t nl = file.text.find('\n', file.scanned);
    if (nl == std::string_view::npos) {
      file.scanned = file.text.size();
      break;
    }
    file.starts.push_back(nl + 1);
    file.scanned = nl + 1;
  }
  if (file.starts.size() < wanted) return std::nullopt;
  std::string_view rest = file.text.substr(file.starts[wanted - 1]);
  return rest.substr(0, rest.find('\n'));
}

std::string caret_line(int col) {
  std::string line(static_cast<std::size_t>(std::max(0, col - 1)), ' ');
  line += '^';
  return line;
}

std::vector<std::string> render_block(const Lookup& lookup, const Site& site, const std::string& head) {
  LineIndex lines(lookup);
  return render_block(lines, site, head);
}

std::vector<std::string> render_block(LineIndex& source, const Site& site, const std::string& head) {
  std::vector<std::string> lines;
  lines.push_back(site.file + ":" + std::to_string(site.line) + ":" + std::to_string(site.col) + ": " + head);
  if (std::optional<std::string_view> text = source.text(site)) {
    lines.emplace_back(*text);
    lines.push_back(caret_line(site.col));
  }
  return lines;
}

std::string render(const Lookup& lookup, const Diagnostic& d) {
  LineIndex source(lookup);
  return render(source, d);
}

std::string render(LineIndex& source, const Diagnostic& d) {
  std::string head = std::string(severity_word(d.severity)) + " " + d.code + ": " + d.message;
  std::vector<std::string> lines = render_block(source, d.site, head);
  for (const Related& r : d.related) {
    for (std::string& line : render_block(source, r.site, r.message)) lines.push_back("  " + line);
  }
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += '\n';
    out += lines[i];
  }
  return out;
}

std::vector<Diagnostic> Collector::diagnostics() const {
  std::vector<const Diagnostic*> order;
  order.reserve(added_.size());
  for (const Diagnostic& d : added_) order.push_back(&d);
  std::stable_sort(order.begin(), order.end(), [](const Diagnostic* a, const Diagnostic* b) {
    return std::tie(a->site.file, a->site.line, a->site.col) < std::tie(b->site.file, b->site.line, b->site.col);
  });
  std::set<std::tuple<std::string_view, std::string_view, int, int>> seen;
  std::vector<Diagnostic> out;
  for (const Diagnostic* d : order) {
    if (seen.emplace(d->code, d->site.file, d->site.line, d->site.col).second) out.push_back(*d);
  }
  return out;
}

bool Collector::has_error() const {
  std::vector<Diagnostic> kept = diagnostics();
  return std::any_of(kept.begin(), kept.end(), [](const Diagnostic& d) { return d.severity == Severity::Error; });
}

std::string Collector::render_all(const Lookup& lookup) const {
  std::string out;
  bool first = true;
  LineIndex source(lookup);  // shared, so that each file is scanned once
  for (const Diagnostic& d : diagnostics()) {
    if (!first) out += "\n\n";
    first = false;
    out += render(source, d);
  }
  return out;
}

}  // namespace Diag
