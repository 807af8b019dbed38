// The fault-hunting generator: random, well-typed velkan programs aimed at
// the runtime's hard parts, each with the output it must print.
//
// A program is a list of parts. Every part declares its own classes (their
// names carry the part's number, so parts never clash), one function `sN`
// that main calls, and the lines that call prints. The generator works the
// values out as it writes the code, so the expected output is exact.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace hunt {

// splitmix64: the same seed gives the same program on every machine.
struct Rng {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // An integer in [lo, hi].
  int64_t range(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(next() % static_cast<uint64_t>(hi - lo + 1)); }
  bool chance(int percent) { return range(1, 100) <= percent; }
  template <typename T>
  const T& pick(const std::vector<T>& xs) {
    return xs[static_cast<size_t>(range(0, static_cast<int64_t>(xs.size()) - 1))];
  }
};

// The lines of one function body, indented by block depth.
struct Body {
  std::string text;
  int depth = 1;
  void line(const std::string& s) { text += std::string(static_cast<size_t>(depth) * 2, ' ') + s + "\n"; }
  void open(const std::string& s) {
    line(s + " {");
    ++depth;
  }
  void close() {
    --depth;
    line("}");
  }
};

struct Program {
  Rng rng;
  std::set<std::string> avoid;  // features switched off by name
  std::string decls;            // classes, unions, helper functions
  std::vector<std::string> calls;
  std::vector<std::string> expect;  // what the program prints, line by line
  int fresh = 0;                    // counter for local names

  bool on(const std::string& feature) const { return avoid.count(feature) == 0; }
  std::string name(const std::string& stem) { return stem + std::to_string(++fresh); }
  void print(const std::string& text) { expect.push_back(text); }
};

// An expression with the value it has when the program runs.
struct IntExpr {
  std::string code;
  int64_t value;
};
struct IntVar {
  std::string name;
  int64_t value;
};

std::string int_text(int64_t v);
std::string num(int64_t v);  // an Int as an operand: negative ones in parentheses
// Adds part `id` as `fn s<id>()` with body `b` (after `helpers`, declarations
// it needs) and its call from main.
void finish(Program& p, int id, const Body& b, const std::string& helpers = "");
std::string quote(const std::string& text);  // a text literal
std::string word(Rng& rng, int min_len, int max_len);
IntExpr int_literal(Rng& rng);
IntExpr int_expr(Program& p, const std::vector<IntVar>& vars, int depth);
int64_t wrap_add(int64_t a, int64_t b);
int64_t wrap_sub(int64_t a, int64_t b);
int64_t wrap_mul(int64_t a, int64_t b);
int64_t int_div(int64_t a, int64_t b);
int64_t int_mod(int64_t a, int64_t b);

// The parts; each adds one function called from main.
void part_arith(Program& p, int id);
void part_texts(Program& p, int id);
void part_text_flow(Program& p, int id);
void part_multi(Program& p, int id);
void part_map(Program& p, int id);
void part_owned(Program& p, int id);
void part_nullable(Program& p, int id);
void part_union(Program& p, int id);
void part_errors(Program& p, int id);
void part_loops(Program& p, int id);
void part_cycles(Program& p, int id);
void part_table(Program& p, int id);
void part_actor(Program& p, int id);
void part_exits(Program& p, int id);

}  // namespace hunt
