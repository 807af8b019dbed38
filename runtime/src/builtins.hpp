// Registration of builtins and the helpers their bodies share.
//
// A builtin is `Value fn(Machine&, const Call&)`: its arguments are the
// caller's registers `call.args[0]`, `call.args[1]`, ... (as many as its
// arity), its result is returned, and an error is raised with Vm::raise
// (caught and unwound by the interpreter). Argument ownership follows the
// instruction set: `push`, `set`, `send` and `call` take their arguments;
// every other builtin only reads them and the caller releases its own.
// A Text or Bytes result is a new reference the caller owns.
//
// The core registers its groups below; the library (`lib/library.hpp`)
// registers its modules after them, replacing the "not available" stubs.
#pragma once

#include <string>
#include <string_view>

#include "machine.hpp"

namespace Vm {

void register_core_builtins(BuiltinTable& table);      // builtins_core.cpp
void register_text_builtins(BuiltinTable& table);      // builtins_text.cpp
void register_container_builtins(BuiltinTable& table); // builtins_containers.cpp
void register_bytes_builtins(BuiltinTable& table);     // builtins_bytes.cpp
void register_float_builtins(BuiltinTable& table);     // builtins_float.cpp
void register_math_builtins(BuiltinTable& table);      // builtins_math.cpp
void register_basic_builtins(BuiltinTable& table);     // builtins_basics.cpp

// ---- argument helpers ----

// The Text or Bytes in `v`; raises NIL_VALUE for nil.
inline Str* str_arg(Value v, const char* builtin) {
  if (v == 0) raise(ErrorCode::NIL_VALUE, std::string(builtin) + ": the value is nil");
  return as_str(v);
}
inline std::string_view text_arg(Value v, const char* builtin) { return str_arg(v, builtin)->view(); }

template <class T>
inline T* obj_arg(Value v, const char* builtin) {
  if (v == 0) raise(ErrorCode::NIL_VALUE, std::string(builtin) + ": the value is nil");
  return as_ptr<T>(v);
}

inline Value new_text(Machine& vm, std::string_view s) { return from_ptr(vm.heap.text(s)); }
inline Value new_bytes(Machine& vm, std::string_view s) { return from_ptr(vm.heap.bytes(s)); }
// `t` with its ASCII letters made upper (or lower) case; other bytes unchanged.
Value ascii_case(Machine& vm, std::string_view t, bool upper);

// An index check that names the container: "index 5 is out of range for a
// multi of 3 elements".
[[noreturn]] void raise_index(std::int64_t index, std::uint64_t count, const char* what);

// Decimal text of an Int, with a leading '-' when negative.
std::string int_text(std::int64_t v);
// The text of a Float: the shortest form that reads back to the same
// double, with ".0" on whole numbers; "inf", "-inf" and "nan".
std::string float_text(double d);

}  // namespace Vm
