// Builtins over Float: conversions, text forms and a total comparison.
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "builtins.hpp"
#include "bytecode/bytecode.hpp"

namespace Vm {

using Bytecode::Builtin;

std::string float_text(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  std::string out(buf, r.ptr);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

namespace {

Value b_float(Machine&, const Call& c) { return from_float(static_cast<double>(as_int(c.args[0]))); }

// Toward zero; NaN and values outside the Int range are errors.
Value b_trunc(Machine&, const Call& c) {
  double d = as_float(c.args[0]);
  if (std::isnan(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) {
    raise(ErrorCode::BAD_ARGUMENT, "trunc: " + float_text(d) + " has no Int value");
  }
  return from_int(static_cast<std::int64_t>(d));
}

// The whole text must be a decimal number (sign, digits, point, exponent),
// or "inf", "-inf", "nan"; anything else is an error.
Value b_parse_float(Machine&, const Call& c) {
  std::string_view t = text_arg(c.args[0], "parse_float");
  double d = 0;
  const char* first = t.data();
  if (!t.empty() && t.front() == '+') ++first;
  auto r = std::from_chars(first, t.data() + t.size(), d);
  bool signs = first != t.data() && first != t.data() + t.size() && *first == '-';
  if (t.empty() || signs || r.ec == std::errc::invalid_argument || r.ptr != t.data() + t.size()) {
    std::string shown(t.substr(0, 40));
    raise(ErrorCode::BAD_ARGUMENT, "parse_float: \"" + shown + "\" is not a number");
  }
  // Out of range: the rounded infinity or zero, as strtod gives it.
  if (r.ec == std::errc::result_out_of_range) d = std::strtod(std::string(t).c_str(), nullptr);
  return from_float(d);
}

Value b_float_to_text(Machine& vm, const Call& c) { return new_text(vm, float_text(as_float(c.args[0]))); }

// -1, 0 or 1; NaN sorts after every number and equals itself.
Value b_float_cmp(Machine&, const Call& c) {
  double a = as_float(c.args[0]), b = as_float(c.args[1]);
  bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return from_int(na && nb ? 0 : na ? 1 : -1);
  return from_int(a < b ? -1 : a > b ? 1 : 0);
}

}  // namespace

void register_float_builtins(BuiltinTable& t) {
  t.add(unsigned(Builtin::FLOAT), b_float, 1, "float");
  t.add(unsigned(Builtin::TRUNC), b_trunc, 1, "trunc");
  t.add(unsigned(Builtin::PARSE_FLOAT), b_parse_float, 1, "parse_float");
  t.add(unsigned(Builtin::FLOAT_TO_TEXT), b_float_to_text, 1, "float_to_text");
  t.add(unsigned(Builtin::FLOAT_CMP), b_float_cmp, 2, "float_cmp");
}

}  // namespace Vm
