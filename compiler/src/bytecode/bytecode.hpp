// The bytecode shared by the compiler and the runtime: the image format and
// the instruction set. A leaf: it depends on the standard library only, so the
// runtime links it without any pass of the compiler.
//   format.hpp    the image entries, the byte buffer, the writer, hex floats
//   instr.hpp     opcodes, builtin numbers, library members, instruction
//                 words, jumps and operand limits
//   opcodes.def   the instruction table
//   builtins.def  the builtin table, library members included
#pragma once

#include "bytecode/format.hpp"
#include "bytecode/instr.hpp"
