// A small printf for the listing formats. Private to the disassembler.
#pragma once

#include <bit>

#include "dump/dump.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace Disasm {

struct Arg {
  Arg(long long v) : num(v) {}
  Arg(std::string_view s) : text(s), is_text(true) {}
  Arg(const std::string& s) : text(s), is_text(true) {}
  Arg(const char* s) : text(s), is_text(true) {}
  long long num = 0;
  std::string_view text;
  bool is_text = false;
};

// Appends `fmt` with its conversions filled from `args` in order. A
// conversion is "%" [-|0] [width] [L] (d|x|s); "%%" is a percent sign.
// Numbers print in decimal (d) or lower-case hexadecimal (x); a zero-padded
// negative number keeps its sign in front ("-003" for %04d of -3).
void format_to(std::string& out, std::string_view fmt, std::initializer_list<Arg> args);

// A binary64 bit pattern in hexadecimal floating-point form (the token dump's
// form: a set sign bit always gives a leading "-", for NaNs too).
inline std::string hex_float(std::uint64_t bits) { return Dump::hex_float(std::bit_cast<double>(bits)); }

}  // namespace Disasm
