#include "program_parts.hpp"

#include <algorithm>
#include <array>

namespace Bench {
namespace {

constexpr std::array<std::string_view, 16> local_stems = {
    "acc", "delta", "bonus", "spare", "extra", "gap",  "tally", "carry",
    "lead", "bound", "mark", "span",  "peak",  "base", "drift", "slack"};

constexpr std::array<std::string_view, 16> words = {
    "north", "south", "cold", "fresh", "spare", "bulk", "late", "early",
    "quick", "heavy", "light", "blue",  "green", "dry",  "wet",  "prime"};

}  // namespace

std::uint64_t Rng::next() {
  state_ += 0x9e3779b97f4a7c15ULL;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

void Writer::line(std::string_view text) {
  out_.append(static_cast<std::size_t>(depth_) * 2, ' ');
  out_ += text;
  out_ += '\n';
  ++lines_;
}

void Writer::blank() {
  out_ += '\n';
  ++lines_;
}

std::string PartWriter::write_part(Writer& out) {
  const int id = next_id_++;
  const std::size_t entries_before = local_entries_.size();
  switch (rng_.below(14)) {
    case 0: case 1: write_record_part(out, id); break;
    case 2: case 3: case 4: write_class_part(out, id); break;
    case 5: case 6: write_union_part(out, id); break;
    case 7: write_enum_part(out, id); break;
    case 8: case 9: write_interface_part(out, id); break;
    case 10: case 11: write_text_part(out, id); break;
    default: write_numeric_part(out, id); break;
  }
  out.blank();
  return local_entries_.size() > entries_before ? local_entries_.back() : std::string();
}

std::string PartWriter::fresh_local(std::string_view stem) {
  return cat(stem, ++locals_in_function_);
}

std::string PartWriter::call_earlier_entry(std::string_view arg) {
  if (!foreign_entries_.empty() && rng_.chance(25)) {
    foreign_used_ = true;
    return cat(foreign_entries_[static_cast<std::size_t>(rng_.below(static_cast<int>(foreign_entries_.size())))], "(", arg, ")");
  }
  if (local_entries_.empty()) return {};
  // Mostly recent entries: code tends to call its neighbours.
  const int window = std::min<int>(40, static_cast<int>(local_entries_.size()));
  const std::size_t at = local_entries_.size() - 1 - static_cast<std::size_t>(rng_.below(window));
  return cat(local_entries_[at], "(", arg, ")");
}

// Parentheses around an expression that is not a single word.
std::string grouped(const std::string& expr) {
  return expr.find(' ') == std::string::npos ? expr : cat("(", expr, ")");
}

std::string PartWriter::int_expr(const IntLocals& scope, int depth) {
  auto leaf = [&]() -> std::string {
    if (scope.readable.empty() || rng_.chance(30)) return cat(rng_.between(1, 99));
    return scope.readable[static_cast<std::size_t>(rng_.below(static_cast<int>(scope.readable.size())))];
  };
  if (depth <= 0 || rng_.chance(35)) return leaf();
  switch (rng_.below(7)) {
    case 0: return cat(int_expr(scope, depth - 1), " + ", int_expr(scope, depth - 1));
    case 1: return cat(int_expr(scope, depth - 1), " - ", leaf());
    case 2: return cat(leaf(), " * ", rng_.between(2, 9));
    case 3: return cat(grouped(int_expr(scope, depth - 1)), " % ", rng_.between(3, 17));
    case 4: return cat("(", int_expr(scope, depth - 1), " + ", leaf(), ") / ", rng_.between(2, 5));
    case 5: return cat("(", leaf(), " << ", rng_.between(1, 4), ") & 0xFF");
    default: return cat(leaf(), " * (", int_expr(scope, depth - 1), " + 1)");
  }
}

std::string PartWriter::bool_expr(const IntLocals& scope) {
  const std::string a = int_expr(scope, 1);
  switch (rng_.below(5)) {
    case 0: return cat(a, " < ", int_expr(scope, 1));
    case 1: return cat(grouped(a), " % 2 == 0");
    case 2: return cat(a, " >= ", rng_.between(0, 50), " and ", int_expr(scope, 0), " != ", rng_.between(0, 9));
    case 3: return cat("not (", a, " == ", int_expr(scope, 0), ")");
    default: return cat(a, " > ", rng_.between(10, 500), " or ", int_expr(scope, 0), " < 3");
  }
}

void PartWriter::write_int_statements(Writer& out, IntLocals scope, int budget, int depth) {
  while (budget > 0) write_int_statement(out, scope, budget, depth);
}

void PartWriter::write_int_statement(Writer& out, IntLocals& scope, int& budget, int depth) {
  --budget;
  const bool can_nest = depth < 3 && budget > 1;
  const int kind = rng_.below(can_nest ? 10 : 5);
  auto target = [&]() -> const std::string& {
    return scope.assignable[static_cast<std::size_t>(rng_.below(static_cast<int>(scope.assignable.size())))];
  };
  if (kind == 0 || scope.assignable.empty()) {
    const std::string name = fresh_local(rng_.pick(local_stems));
    out.line(cat("let ", name, " = ", int_expr(scope, 2)));
    scope.readable.push_back(name);
    scope.assignable.push_back(name);
    return;
  }
  switch (kind) {
    case 1: out.line(cat(target(), " += ", int_expr(scope, 2))); return;
    case 2: {
      const std::string& name = target();
      out.line(cat(name, " = ", grouped(int_expr(scope, 1)), " * ", rng_.between(2, 5), " + ", name, " % ",
                   rng_.between(7, 97)));
      return;
    }
    case 3: {
      const std::string call = call_earlier_entry(cat(grouped(int_expr(scope, 1)), " % 5"));
      if (call.empty()) {
        out.line(cat(target(), " -= ", int_expr(scope, 1)));
      } else if (rng_.chance(20)) {
        out.line(cat(target(), " += try ", call, " catch (err) 0"));
      } else {
        out.line(cat(target(), " += ", call));
      }
      return;
    }
    case 4: {
      const std::string a = scope.readable.empty() ? std::string("0") : scope.readable.back();
      out.line(cat("print(\"", rng_.pick(words), " ", a, " is ${", a, "}, then ${", int_expr(scope, 1), "}\")"));
      return;
    }
    case 5: case 6: {
      const int inner = std::min(budget, rng_.between(1, 3));
      budget -= inner;
      out.open(cat("if ", bool_expr(scope)));
      write_int_statements(out, scope, inner, depth + 1);
      if (rng_.chance(50)) {
        const int other = std::min(budget, rng_.between(1, 2));
        budget -= other;
        out.close("} else {");
        out.indent();
        write_int_statements(out, scope, std::max(other, 1), depth + 1);
      }
      out.close();
      return;
    }
    case 7: {
      const std::string counter = fresh_local("round");
      const int inner = std::min(budget, rng_.between(1, 3));
      budget -= inner;
      out.line(cat("let ", counter, " = 0"));
      out.open(cat("while ", counter, " < ", rng_.between(2, 12)));
      IntLocals body = scope;
      body.readable.push_back(counter);
      write_int_statements(out, body, inner, depth + 1);
      out.line(cat(counter, " += 1"));
      out.close();
      return;
    }
    case 8: {
      const std::string item = fresh_local("part");
      const int inner = std::min(budget, rng_.between(1, 2));
      budget -= inner;
      out.open(cat("for ", item, " in [", int_expr(scope, 1), ", ", int_expr(scope, 1), ", ",
                   rng_.between(1, 64), "]"));
      IntLocals body = scope;
      body.readable.push_back(item);
      write_int_statements(out, body, inner, depth + 1);
      out.close();
      return;
    }
    default: {
      const int arms = rng_.between(2, 4);
      out.open(cat("switch ", grouped(int_expr(scope, 1)), " % ", arms + 1));
      for (int arm = 0; arm < arms; ++arm) {
        out.line(arm == 0 && rng_.chance(40) ? cat("case 0, ", arms, ":") : cat("case ", arm, ":"));
        out.indent();
        out.line(cat(target(), " += ", int_expr(scope, 1)));
        out.dedent();
      }
      out.line("default:");
      out.indent();
      out.line(cat(target(), " -= 1"));
      out.dedent();
      out.close();
      return;
    }
  }
}

}  // namespace Bench
