// The emitter: turns the checked program into a .vkb image.
//   image.hpp  the image writer pieces: byte buffer, constant pool, entries, header
//   instr.hpp  the instruction set: opcodes, builtins, words, jumps, operand limits
#pragma once

#include "emit/image.hpp"
#include "emit/instr.hpp"
