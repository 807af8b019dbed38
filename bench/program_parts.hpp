// Building blocks of the program generator: a portable pseudo-random source,
// an indenting line writer, and the writer of "parts" (a themed group of
// declarations ending in an entry function `fn run_x(n: Int) -> Int`).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Bench {

inline void append_piece(std::string& out, std::string_view piece) { out += piece; }
inline void append_piece(std::string& out, char piece) { out += piece; }
template <std::integral T>
void append_piece(std::string& out, T piece) {
  out += std::to_string(piece);
}

// Concatenates strings, characters and integers.
template <class... Pieces>
std::string cat(const Pieces&... pieces) {
  std::string out;
  (append_piece(out, pieces), ...);
  return out;
}

// splitmix64: the same sequence on every platform and standard library,
// unlike the distributions of <random>.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // Uniform in [0, n); n must be positive.
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
  int between(int lo, int hi) { return lo + below(hi - lo + 1); }
  bool chance(int percent) { return below(100) < percent; }
  std::string_view pick(std::span<const std::string_view> words) {
    return words[static_cast<std::size_t>(below(static_cast<int>(words.size())))];
  }

 private:
  std::uint64_t state_;
};

// Source text with two-space indentation and a running line count.
class Writer {
 public:
  void line(std::string_view text);
  void open(std::string_view head) { line(cat(head, " {")); ++depth_; }
  void close(std::string_view tail = "}") { --depth_; line(tail); }
  void indent() { ++depth_; }
  void dedent() { --depth_; }
  void blank();
  std::size_t lines() const { return lines_; }
  const std::string& text() const { return out_; }
  std::string release() { return std::move(out_); }

 private:
  std::string out_;
  int depth_ = 0;
  std::size_t lines_ = 0;
};

// Writes parts one after another. Every part gets a program-wide unique
// number, so no two declarations anywhere share a name.
class PartWriter {
 public:
  PartWriter(Rng& rng, bool pub_entries) : rng_(rng), pub_entries_(pub_entries) {}

  // Writes one part and returns the name of its entry function.
  std::string write_part(Writer& out);

  // Entries of the module being written, callable by later parts.
  void start_module() { local_entries_.clear(); }
  // Pub entries of another module that the current file may call once it
  // `use`s that module; `foreign_used` tells whether a call was written.
  void set_foreign_entries(std::vector<std::string> names) { foreign_entries_ = std::move(names); }
  bool foreign_used() const { return foreign_used_; }
  void clear_foreign_used() { foreign_used_ = false; }

 private:
  void write_record_part(Writer& out, int id);
  void write_class_part(Writer& out, int id);
  void write_union_part(Writer& out, int id);
  void write_enum_part(Writer& out, int id);
  void write_interface_part(Writer& out, int id);
  void write_text_part(Writer& out, int id);
  void write_numeric_part(Writer& out, int id);

  // Int locals visible at a point of a body; loop variables, counters and
  // parameters are readable but never assigned.
  struct IntLocals {
    std::vector<std::string> readable;
    std::vector<std::string> assignable;
  };

  // Filler statements over the Int locals of an entry body: lets, updates,
  // branches, loops, switches and calls of earlier entries.
  void write_int_statements(Writer& out, IntLocals scope, int budget, int depth);
  void write_int_statement(Writer& out, IntLocals& scope, int& budget, int depth);
  std::string int_expr(const IntLocals& scope, int depth);
  std::string bool_expr(const IntLocals& scope);
  std::string fresh_local(std::string_view stem);
  // A call of an earlier entry with an Int argument, or "" when there is none.
  std::string call_earlier_entry(std::string_view arg);
  std::string pub() const { return pub_entries_ ? "pub " : ""; }
  void begin_function() { locals_in_function_ = 0; }

  Rng& rng_;
  bool pub_entries_;
  int next_id_ = 1;
  int locals_in_function_ = 0;
  std::vector<std::string> local_entries_;
  std::vector<std::string> foreign_entries_;
  bool foreign_used_ = false;
};

}  // namespace Bench
