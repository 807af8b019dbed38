// The instruction set: opcode and builtin numbers, the library member table,
// instruction words, the jump patcher and the operand limits. Part of
// bytecode/bytecode.hpp.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Bytecode {

// An instruction is one u32, stored little-endian:
//
//   31        24 23        16 15         8 7          0
//  +------------+------------+------------+------------+
//  |     C      |     B      |     A      |     op     |   ABC
//  +------------+------------+------------+------------+
//  |           Bx            |     A      |     op     |   ABx
//  +-------------------------+------------+------------+
//  |      sBx + 32768        |     A      |     op     |   AsBx
//  +-------------------------+------------+------------+
//
// Fields a form does not use are 0. A jump at pc p with displacement d
// continues at p + 1 + d.

enum class Op : std::uint8_t {
#define VK_OP(number, name, form, listing) name = number,
#include "bytecode/opcodes.def"
#undef VK_OP
};

// Which operands an opcode uses, and so which its listing shows.
enum class Form : std::uint8_t { NONE, A, AB, ABC, ABX, BX, ASBX, SBX };

struct OpInfo {
  std::string_view mnemonic;
  Form form;
  const char* listing;  // the code-line format, conversions per Form
};

// The row of an opcode byte; null for unassigned numbers (27, 28, 47-255).
const OpInfo* op_info(unsigned op);

// The listing of BUILTIN when C is multi_new or map_new: B is a kinds byte.
inline constexpr const char* builtin_kinds_listing = "BUILTIN   r%d, kinds=0x%02x, %s";

enum class Builtin : std::uint8_t {
#define VK_BUILTIN(id, enumerator, name, source, arity) enumerator = id,
#define VK_MEMBER(id, enumerator, module, member, arity) enumerator = id,
#include "bytecode/builtins.def"
};

struct BuiltinInfo {
  Builtin id;
  std::string_view name;
  std::string_view source;  // empty: only the emitter produces it
  int arity;                // -1: not fixed
};

// The row of a builtin id; null for ids without one. A library member has
// no row of its own but its number: see library_members.
const BuiltinInfo* builtin_info(unsigned id);

// A member of a library module (`fs.exists`, `json.decode`, ...).
struct MemberInfo {
  Builtin id;
  std::string_view module;
  std::string_view member;
  int arity;  // -1: not fixed
};

inline constexpr MemberInfo library_members[] = {
#define VK_MEMBER(id, enumerator, module, member, arity) {Builtin::enumerator, module, member, arity},
#include "bytecode/builtins.def"
};

// The member `module.member`; null when the module has no such member.
constexpr const MemberInfo* library_member(std::string_view module, std::string_view member) {
  for (const MemberInfo& m : library_members) {
    if (m.module == module && m.member == member) return &m;
  }
  return nullptr;
}

inline constexpr int max_reg = 63;
inline constexpr int max_bx = 65535;
inline constexpr int max_field = 255;
inline constexpr int min_sbx = -32768;
inline constexpr int max_sbx = 32767;
inline constexpr int sbx_bias = 32768;

// Encoders. Callers check operands against the limits first (check_* below);
// the asserts only catch emitter bugs.
constexpr std::uint32_t abc(Op op, int a, int b, int c) {
  assert(a >= 0 && a <= 255 && b >= 0 && b <= 255 && c >= 0 && c <= 255);
  return std::uint32_t(op) | std::uint32_t(a) << 8 | std::uint32_t(b) << 16 |
         std::uint32_t(c) << 24;
}
constexpr std::uint32_t abx(Op op, int a, int bx) {
  assert(a >= 0 && a <= 255 && bx >= 0 && bx <= max_bx);
  return std::uint32_t(op) | std::uint32_t(a) << 8 | std::uint32_t(bx) << 16;
}
constexpr std::uint32_t asbx(Op op, int a, int sbx) {
  assert(a >= 0 && a <= 255 && sbx >= min_sbx && sbx <= max_sbx);
  return std::uint32_t(op) | std::uint32_t(a) << 8 | std::uint32_t(sbx + sbx_bias) << 16;
}

// Operand extractors.
constexpr int op_of(std::uint32_t w) { return int(w & 0xff); }
constexpr int a_of(std::uint32_t w) { return int(w >> 8 & 0xff); }
constexpr int b_of(std::uint32_t w) { return int(w >> 16 & 0xff); }
constexpr int c_of(std::uint32_t w) { return int(w >> 24); }
constexpr int bx_of(std::uint32_t w) { return int(w >> 16); }
constexpr int sbx_of(std::uint32_t w) { return bx_of(w) - sbx_bias; }

// Operand limits. Each returns the message of the diagnostic to report with
// limit_code when the operand does not fit, and nothing when it does.
inline constexpr std::string_view limit_code = "VK-E402";
enum class IndexKind { CONSTANT, CLASS, METHOD, INTERFACE_SLOT };
std::optional<std::string> check_bx(IndexKind kind, long long index);
std::optional<std::string> check_field(long long slot);
std::optional<std::string> check_jump(long long displacement);

// Points the JMP, JZ or TRY at `at` to `target` (pcs), keeping its op and A.
// When the displacement does not fit, the word is left as it was and the
// check_jump message is returned.
std::optional<std::string> patch_jump(std::vector<std::uint32_t>& code, std::size_t at,
                                      std::size_t target);

}  // namespace Bytecode
