// A small printf for the listing formats. Private to the disassembler.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "bytecode/bytecode.hpp"

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

using Bytecode::hex_float;

}  // namespace Disasm
