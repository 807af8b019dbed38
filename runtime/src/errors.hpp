// Runtime errors: the stable codes a program sees in `Error.code`, and the
// exception that carries an error from where it is raised to the
// interpreter, which unwinds to the innermost `try` or ends the run.
#pragma once

#include <cstdint>
#include <string>

namespace Vm {

// VK_ERROR(code, enumerator): the numbers are part of the language's
// behaviour (programs test them) and never change meaning.
#define VK_ERRORS(X)          \
  X(1, DIVISION_BY_ZERO)      \
  X(2, INDEX_OUT_OF_RANGE)    \
  X(3, MISSING_KEY)           \
  X(4, BORROW_CONFLICT)       \
  X(5, OUT_OF_MEMORY)         \
  X(6, STACK_OVERFLOW)        \
  X(7, NIL_VALUE)             \
  X(8, EMPTY_MULTI)           \
  X(9, BAD_ARGUMENT)          \
  X(10, TRAP)                 \
  X(11, NOT_AVAILABLE)        \
  X(12, NO_METHOD)            \
  X(13, BAD_FIELD)

enum class ErrorCode : std::int64_t {
#define VK_ERROR_ENUM(code, name) name = code,
  VK_ERRORS(VK_ERROR_ENUM)
#undef VK_ERROR_ENUM
};

// Library modules number their own errors from here up.
inline constexpr std::int64_t first_library_error = 100;

// Thrown by raise(); caught only by the interpreter's dispatch loop.
struct VmError {
  std::int64_t code;
  std::string msg;
};

[[noreturn]] inline void raise(ErrorCode code, std::string msg) {
  throw VmError{static_cast<std::int64_t>(code), std::move(msg)};
}
[[noreturn]] inline void raise_code(std::int64_t code, std::string msg) {
  throw VmError{code, std::move(msg)};
}

}  // namespace Vm
