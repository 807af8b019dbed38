// The project manifest vk.toml: a small line-oriented subset of TOML read into
// flat dotted keys with string values, and the checks on what it declares.
#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <variant>
#include <vector>

namespace Driver {

inline constexpr const char* toolchain_version = "0.1.0";

// Flat keys ("name", "build.target", "deps.json.git") in file order. A lookup
// gives the value of the latest line, so a repeated key is won by the later line.
class Manifest {
 public:
  void set(const std::string& key, std::string value);
  const std::string* get(const std::string& key) const;  // null when absent
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
  std::unordered_map<std::string, std::size_t> latest_;  // key -> index in entries_
};

struct ManifestError {
  int line;             // 1-based
  std::string message;  // the text after "vkc: <path>:<line>: "
};

// Parses manifest text; the first problem ends the parse.
std::variant<Manifest, ManifestError> parse_manifest_text(std::string_view text);

// Reads and parses `path`. A read failure prints "vkc: <path>: <reason>", a
// parse failure "vkc: <path>:<line>: <message>"; both exit with status 2.
Manifest manifest_parse(const std::string& path);

// A `name` usable as the output file: not empty, `.` or `..`, and without
// `/` or NUL bytes, so the output stays a file inside the target directory.
bool bare_file_name(const std::string& name);

// The first three integer pieces of a dotted version, missing places 0.
std::tuple<long long, long long, long long> ver_triple(std::string_view s);

// Whether `s` reads as an integer: sign, decimal digits with `_` separators,
// or a 0x / 0o / 0b number; it must fit in 64 bits.
bool parses_as_int(std::string_view s, long long* value = nullptr);

// The upgrade message when the toolchain is older than `value` (e.g.
// ">=0.2") requires, else empty. Values that are not `>=` or a bare version
// require nothing.
std::string runtime_constraint_failure(const std::string& manifest_path, const std::string& value);

// Prints the upgrade message and exits with 2 when the constraint is not met.
void check_runtime_constraint(const std::string& manifest_path, const std::string& value);

}  // namespace Driver
