// Diagnostics: the record every pass reports problems with, and the collector
// that orders, de-duplicates and renders them. Passes only add; the driver renders.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Diag {

enum class Severity { Error, Warning };

// Where a diagnostic points. A line below 1 means the site has no line.
struct Site {
  std::string file;
  int line = 0;
  int col = 0;
};

struct Related {
  Site site;
  std::string message;
};

struct Diagnostic {
  std::string code;  // opaque, e.g. "VK-E001"; stored and printed, never parsed
  Severity severity = Severity::Error;
  Site site;
  std::string message;
  std::vector<Related> related;  // shown under the main site, in order
};

// The source lookup: the full text of a file by path, or nothing.
using Lookup = std::function<std::optional<std::string_view>(const std::string& path)>;

Diagnostic make(std::string code, Severity severity, std::string file, int line, int col,
                std::string message, std::vector<Related> related = {});
Diagnostic error(std::string code, std::string file, int line, int col, std::string message,
                 std::vector<Related> related = {});
Diagnostic warning(std::string code, std::string file, int line, int col, std::string message,
                   std::vector<Related> related = {});
Related related_site(std::string file, int line, int col, std::string message);

// The source lines diagnostics quote. Each file is looked up once and its
// line starts found once, so quoting many lines of one file stays linear.
class LineIndex {
 public:
  // The lookup is not copied: the texts it gives may be its own.
  explicit LineIndex(const Lookup& lookup) : lookup_(lookup) {}
  // The text of the site's line without its line feed, or nothing when the
  // file is unknown or has no such line.
  std::optional<std::string_view> text(const Site& site);

 private:
  struct File {
    bool found = false;
    std::string_view text;
    std::vector<std::size_t> starts;  // byte offset of each line found so far
    std::size_t scanned = 0;          // bytes searched for line feeds
  };
  const Lookup& lookup_;
  std::unordered_map<std::string, File> files_;
};

const char* severity_word(Severity severity);
std::optional<std::string_view> line_text(const Lookup& lookup, const Site& site);
std::string caret_line(int col);
std::vector<std::string> render_block(const Lookup& lookup, const Site& site, const std::string& head);
std::vector<std::string> render_block(LineIndex& source, const Site& site, const std::string& head);
std::string render(const Lookup& lookup, const Diagnostic& d);
std::string render(LineIndex& source, const Diagnostic& d);

// One per compile, shared by every pass. Ordering and de-duplication happen on
// every read, so adding after reading is fine.
class Collector {
 public:
  static Collector create() { return Collector(); }
  void add(Diagnostic d) { added_.push_back(std::move(d)); }
  // Adds everything `other` was given, in the order it was given.
  void add_all(const Collector& other) { added_.insert(added_.end(), other.added_.begin(), other.added_.end()); }
  // Sorted stably by site (file bytewise, line, column); a second diagnostic
  // with the same code at the same site is dropped.
  std::vector<Diagnostic> diagnostics() const;
  bool has_error() const;
  int exit_code() const { return has_error() ? 1 : 0; }
  std::string render_all(const Lookup& lookup) const;
  // Number of diagnostics added so far, duplicates included.
  std::size_t added_count() const { return added_.size(); }

 private:
  std::vector<Diagnostic> added_;
};

}  // namespace Diag
