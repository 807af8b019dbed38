// The instruction set, as the emitter sees it: the bytecode module's opcodes,
// builtins, words and limits under the emitter's own namespace.
#pragma once

#include "bytecode/bytecode.hpp"
#include "emit/image.hpp"
