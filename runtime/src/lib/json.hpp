// Helpers shared by json.encode and the checked decode.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "machine.hpp"

namespace Vm {

// Appends `s` as a JSON string: quotes, escapes, control bytes as \u00XX;
// bytes that are not UTF-8 become U+FFFD.
void json_put_string(std::string& out, std::string_view s);
void json_put_utf8(std::string& out, std::uint32_t codepoint);

// builtin 58: json.decode(text) as T; args[0] the text, args[1] T's class.
Value b_json_decode(Machine& vm, const Call& c);

// Decodes `text` into a new instance of class `cls`, or nil when the text is
// not an object that fits the class; `why` is then the reason, else empty.
Value json_decode(Machine& vm, std::string_view text, std::uint32_t cls, std::string& why);

// json.last_error(): why the last json.decode of this machine gave nil.
Value b_json_last_error(Machine& vm, const Call& c);

}  // namespace Vm
