// Private to the dump module: the text of one token, shared by the token dump
// and the raw tokens the syntax-tree dump shows.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "lexer/lexer.hpp"

namespace Dump {

// Appends LABEL or LABEL(payload); only the payload fields of `kind` are read.
void append_token_text(std::string& out, Lexer::Kind kind, std::int64_t int_value, double float_value,
                       std::string_view text, std::span<const Lexer::Segment> segments);

}  // namespace Dump
