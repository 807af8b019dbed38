#include <bit>
#include <cstdint>

#include "bytecode/bytecode.hpp"
#include "dump/dump.hpp"

namespace Dump {

// The same text as the image listing prints for a Float constant.
std::string hex_float(double value) { return Bytecode::hex_float(std::bit_cast<std::uint64_t>(value)); }

}  // namespace Dump
