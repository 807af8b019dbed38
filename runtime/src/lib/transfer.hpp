// Moving values between machines (each actor has its own heap): a value is
// written into a flat byte string by the sender and rebuilt in the
// receiver's heap by the receiver's own thread, so no object is ever shared
// between two heaps or two threads.
#pragma once

#include <string>
#include <string_view>

#include "machine.hpp"

namespace Vm {

// Appends an instance (or a bare scalar word, for a union without
// payloads) to `out`, at any depth of nesting.
void pack_value(const Machine& from, Value v, std::string& out);
// Rebuilds a packed value in `to`'s heap; `in` advances past it.
Value unpack_value(Machine& to, std::string_view& in);

}  // namespace Vm
