#include "manifest.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>

#include "project_io.hpp"

namespace Driver {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool starts_with_quote_pair(std::string_view v) { return v.size() >= 2 && v.front() == '"' && v.back() == '"'; }

// Where the lines of the current section go.
enum class Section { Top, Runtime, Build, Share, Deps };

bool section_named(std::string_view name, Section& section) {
  if (name == "runtime") section = Section::Runtime;
  else if (name == "build") section = Section::Build;
  else if (name == "share" || name == "share.clients") section = Section::Share;
  else if (name == "deps") section = Section::Deps;
  else return false;
  return true;
}

bool key_accepted(Section section, std::string_view key) {
  switch (section) {
    case Section::Top:
      return key == "name" || key == "version" || key == "description" || key == "kind";
    case Section::Runtime:
      return key == "vk";
    case Section::Build:
      return key == "runtime" || key == "target";
    case Section::Share:
    case Section::Deps:
      return false;
  }
  return false;
}

struct LineError {
  std::string message;
};

// One `[deps]` line: name = { git = "...", rev = "..." }.
std::optional<LineError> parse_dep_line(std::string_view line, Manifest& out) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return LineError{"expected `name = { git = \"...\", rev = \"...\" }`"};
  std::string name(trim_line(line.substr(0, eq)));
  if (name.empty()) return LineError{"dependency name is empty"};
  if (out.get("deps." + name + ".git")) return LineError{"dependency `" + name + "` declared twice"};
  std::string_view table = trim_line(line.substr(eq + 1));
  if (table.size() < 2 || table.front() != '{' || table.back() != '}') {
    return LineError{"`" + name + "`: a dependency is an inline table `{ git = \"...\", rev = \"...\" }`"};
  }
  std::string_view inner = table.substr(1, table.size() - 2);
  std::string git, rev;
  std::size_t i = 0;
  auto skip_blanks = [&] {
    while (i < inner.size() && is_blank(inner[i])) ++i;
  };
  for (;;) {
    skip_blanks();
    if (i == inner.size()) break;
    std::size_t key_start = i;
    while (i < inner.size() && !is_blank(inner[i]) && inner[i] != '=') ++i;
    std::string key(inner.substr(key_start, i - key_start));
    skip_blanks();
    if (i == inner.size() || inner[i] != '=') return LineError{"expected `=` after `" + key + "` in dependency table"};
    ++i;
    skip_blanks();
    if (i == inner.size() || inner[i] != '"') return LineError{"dependency values must be quoted strings"};
    std::size_t close = inner.find('"', i + 1);
    if (close == std::string_view::npos) return LineError{"unterminated string in dependency table"};
    std::string value(inner.substr(i + 1, close - i - 1));
    i = close + 1;
    if (key == "git") git = std::move(value);
    else if (key == "rev") rev = std::move(value);
    else return LineError{"unknown key `" + key + "` in dependency table (git, rev exist)"};
    skip_blanks();
    if (i == inner.size()) break;
    if (inner[i] != ',') return LineError{"expected `,` between dependency table entries"};
    ++i;
  }
  if (git.empty() || rev.empty()) {
    return LineError{"dependency `" + name + "` needs both `git` and `rev` (exact tag or SHA)"};
  }
  out.set("deps." + name + ".git", std::move(git));
  out.set("deps." + name + ".rev", std::move(rev));
  return std::nullopt;
}

// One `key = "value"` line of the top level, [runtime] or [build].
std::optional<LineError> parse_value_line(std::string_view line, Section section, std::string_view section_name,
                                          Manifest& out) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return LineError{"expected `key = \"value\"`"};
  std::string key(trim_line(line.substr(0, eq)));
  std::string_view value = trim_line(line.substr(eq + 1));
  if (!starts_with_quote_pair(value)) return LineError{"`" + key + "`: only quoted string values are supported"};
  if (!key_accepted(section, key)) {
    if (section == Section::Top) return LineError{"unknown key `" + key + "` (name, version, description, kind exist)"};
    return LineError{"unknown key `" + key + "` in [" + std::string(section_name) + "]"};
  }
  std::string stored(value.substr(1, value.size() - 2));
  out.set(section == Section::Top ? key : std::string(section_name) + "." + key, std::move(stored));
  return std::nullopt;
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

}  // namespace

void Manifest::set(const std::string& key, std::string value) {
  latest_[key] = entries_.size();
  entries_.emplace_back(key, std::move(value));
}

const std::string* Manifest::get(const std::string& key) const {
  auto it = latest_.find(key);
  return it == latest_.end() ? nullptr : &entries_[it->second].second;
}

std::variant<Manifest, ManifestError> parse_manifest_text(std::string_view text) {
  Manifest out;
  Section section = Section::Top;
  std::string section_name;
  int line_no = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = trim_line(text.substr(pos, end - pos));
    pos = end + 1;
    ++line_no;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.size() < 2 || line.back() != ']') return ManifestError{line_no, "malformed section header"};
      std::string_view name = line.substr(1, line.size() - 2);
      if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
      if (!section_named(name, section)) {
        return ManifestError{line_no, "unknown section [" + std::string(name) + "] (runtime, build and deps exist)"};
      }
      section_name = std::string(name);
      continue;
    }
    std::optional<LineError> error;
    if (section == Section::Share) continue;
    if (section == Section::Deps) error = parse_dep_line(line, out);
    else error = parse_value_line(line, section, section_name, out);
    if (error) return ManifestError{line_no, std::move(error->message)};
  }
  return out;
}

Manifest manifest_parse(const std::string& path) {
  std::string text;
  if (!read_whole_file(path, text)) fail_line(system_message(path));
  auto parsed = parse_manifest_text(text);
  if (auto* error = std::get_if<ManifestError>(&parsed)) {
    fail_line(path + ":" + std::to_string(error->line) + ": " + error->message);
  }
  return std::get<Manifest>(std::move(parsed));
}

bool bare_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool parses_as_int(std::string_view s, long long* value) {
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() >= 2 && s[0] == '0') {
    char p = s[1];
    if (p == 'x' || p == 'X') base = 16;
    else if (p == 'o' || p == 'O') base = 8;
    else if (p == 'b' || p == 'B') base = 2;
    if (base != 10) s.remove_prefix(2);
  }
  // The first byte must be a digit; later `_` separators are allowed anywhere.
  if (s.empty() || digit_value(s[0]) >= base) return false;
  std::uint64_t magnitude = 0;
  const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<long long>::max()) + (negative ? 1 : 0);
  for (char c : s) {
    if (c == '_') continue;
    int d = digit_value(c);
    if (d >= base) return false;
    if (magnitude > (limit - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) return false;
    magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  if (value) {
    *value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
  }
  return true;
}

std::tuple<long long, long long, long long> ver_triple(std::string_view s) {
  long long parts[3] = {0, 0, 0};
  int found = 0;
  std::size_t pos = 0;
  for (;;) {
    std::size_t dot = s.find('.', pos);
    std::string_view piece = s.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
    long long v = 0;
    if (found < 3 && parses_as_int(piece, &v)) parts[found++] = v;
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  return {parts[0], parts[1], parts[2]};
}

std::string runtime_constraint_failure(const std::string& manifest_path, const std::string& value) {
  std::string_view v = trim_line(value);
  std::string_view required;
  if (v.starts_with(">=")) required = trim_line(v.substr(2));
  else if (!v.empty() && v[0] >= '0' && v[0] <= '9') required = v;
  else return "";
  if (ver_triple(toolchain_version) >= ver_triple(required)) return "";
  return manifest_path + ": project requires velkan " + std::string(v) + ", but this toolchain is " +
         toolchain_version + " -- upgrade the toolchain";
}

void check_runtime_constraint(const std::string& manifest_path, const std::string& value) {
  std::string failure = runtime_constraint_failure(manifest_path, value);
  if (!failure.empty()) fail_line(failure);
}

}  // namespace Driver
