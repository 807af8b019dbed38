// Superinstructions: the interpreter's internal opcodes (superops.def) and
// the load-time pass that places them.
#pragma once

#include <cstdint>
#include <vector>

namespace Vm {

enum class Super : std::uint8_t {
#define VK_SUPER(number, name, sequence) name = number,
#include "superops.def"
#undef VK_SUPER
};

// A copy of verified code in which the first word of each sequence that has
// a superinstruction carries its internal opcode. Every word keeps its place
// and its operands, so jump targets, line and drop records, try handlers and
// the CALL word a return reads stay valid, and a jump into the middle of a
// sequence runs the plain instructions from there.
std::vector<std::uint32_t> fuse(const std::vector<std::uint32_t>& code);

}  // namespace Vm
