// The `math` library module. Float members follow IEEE-754: a result outside
// the function's domain is nan or an infinity (`math.sqrt(-1.0)` is nan,
// `math.log(0.0)` is -inf), never an error. `abs`, `min` and `max` have an
// Int form too, which the compiler picks by the argument type; Int `abs`
// wraps like the rest of Int arithmetic (the most negative Int stays as is).
#include <algorithm>
#include <cmath>
#include <numbers>

#include "builtins.hpp"
#include "bytecode/bytecode.hpp"

namespace Vm {

using Bytecode::Builtin;

namespace {

double arg(const Call& c, int i) { return as_float(c.args[i]); }
Value real(double d) { return from_float(d); }

Value m_sqrt(Machine&, const Call& c) { return real(std::sqrt(arg(c, 0))); }
Value m_floor(Machine&, const Call& c) { return real(std::floor(arg(c, 0))); }
Value m_ceil(Machine&, const Call& c) { return real(std::ceil(arg(c, 0))); }
// Halves round away from zero: 2.5 gives 3.0, -2.5 gives -3.0.
Value m_round(Machine&, const Call& c) { return real(std::round(arg(c, 0))); }
Value m_abs(Machine&, const Call& c) { return real(std::fabs(arg(c, 0))); }
// A nan argument gives nan, whichever side it is on.
Value m_min(Machine&, const Call& c) {
  double a = arg(c, 0), b = arg(c, 1);
  if (std::isnan(a) || std::isnan(b)) return real(std::nan(""));
  return real(b < a ? b : a);
}
Value m_max(Machine&, const Call& c) {
  double a = arg(c, 0), b = arg(c, 1);
  if (std::isnan(a) || std::isnan(b)) return real(std::nan(""));
  return real(b > a ? b : a);
}
Value m_pow(Machine&, const Call& c) { return real(std::pow(arg(c, 0), arg(c, 1))); }
Value m_exp(Machine&, const Call& c) { return real(std::exp(arg(c, 0))); }
Value m_log(Machine&, const Call& c) { return real(std::log(arg(c, 0))); }
Value m_sin(Machine&, const Call& c) { return real(std::sin(arg(c, 0))); }
Value m_cos(Machine&, const Call& c) { return real(std::cos(arg(c, 0))); }
Value m_atan2(Machine&, const Call& c) { return real(std::atan2(arg(c, 0), arg(c, 1))); }
Value m_pi(Machine&, const Call&) { return real(std::numbers::pi); }

Value m_abs_int(Machine&, const Call& c) {
  std::uint64_t v = c.args[0];
  return static_cast<std::int64_t>(v) < 0 ? 0 - v : v;  // unsigned: wraps instead of overflowing
}
Value m_min_int(Machine&, const Call& c) {
  return from_int(std::min(as_int(c.args[0]), as_int(c.args[1])));
}
Value m_max_int(Machine&, const Call& c) {
  return from_int(std::max(as_int(c.args[0]), as_int(c.args[1])));
}

}  // namespace

void register_math_builtins(BuiltinTable& t) {
  t.add(unsigned(Builtin::MATH_SQRT), m_sqrt, 1, "math.sqrt");
  t.add(unsigned(Builtin::MATH_FLOOR), m_floor, 1, "math.floor");
  t.add(unsigned(Builtin::MATH_CEIL), m_ceil, 1, "math.ceil");
  t.add(unsigned(Builtin::MATH_ROUND), m_round, 1, "math.round");
  t.add(unsigned(Builtin::MATH_ABS), m_abs, 1, "math.abs");
  t.add(unsigned(Builtin::MATH_MIN), m_min, 2, "math.min");
  t.add(unsigned(Builtin::MATH_MAX), m_max, 2, "math.max");
  t.add(unsigned(Builtin::MATH_POW), m_pow, 2, "math.pow");
  t.add(unsigned(Builtin::MATH_EXP), m_exp, 1, "math.exp");
  t.add(unsigned(Builtin::MATH_LOG), m_log, 1, "math.log");
  t.add(unsigned(Builtin::MATH_SIN), m_sin, 1, "math.sin");
  t.add(unsigned(Builtin::MATH_COS), m_cos, 1, "math.cos");
  t.add(unsigned(Builtin::MATH_ATAN2), m_atan2, 2, "math.atan2");
  t.add(unsigned(Builtin::MATH_PI), m_pi, 0, "math.pi");
  t.add(unsigned(Builtin::MATH_ABS_INT), m_abs_int, 1, "math.abs");
  t.add(unsigned(Builtin::MATH_MIN_INT), m_min_int, 2, "math.min");
  t.add(unsigned(Builtin::MATH_MAX_INT), m_max_int, 2, "math.max");
}

}  // namespace Vm
