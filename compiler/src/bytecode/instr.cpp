#include <array>

#include "bytecode/bytecode.hpp"

namespace Bytecode {

namespace {

constexpr std::array<OpInfo, 256> make_op_table() {
  std::array<OpInfo, 256> table{};
#define VK_OP(number, name, form, listing) table[number] = OpInfo{#name, Form::form, listing};
#include "bytecode/opcodes.def"
#undef VK_OP
  return table;
}
constexpr std::array<OpInfo, 256> op_table = make_op_table();

constexpr std::array<BuiltinInfo, 256> make_builtin_table() {
  std::array<BuiltinInfo, 256> table{};
#define VK_BUILTIN(id, enumerator, name, source, arity) \
  table[id] = BuiltinInfo{Builtin::enumerator, name, source, arity};
#include "bytecode/builtins.def"
#undef VK_BUILTIN
  return table;
}
constexpr std::array<BuiltinInfo, 256> builtin_table = make_builtin_table();

const char* index_word(IndexKind kind) {
  switch (kind) {
    case IndexKind::CONSTANT: return "constant";
    case IndexKind::CLASS: return "class";
    case IndexKind::METHOD: return "method";
    case IndexKind::INTERFACE_SLOT: return "interface slot";
  }
  return "?";
}

}  // namespace

const OpInfo* op_info(unsigned op) {
  if (op >= op_table.size() || op_table[op].listing == nullptr) return nullptr;
  return &op_table[op];
}

const BuiltinInfo* builtin_info(unsigned id) {
  if (id >= builtin_table.size() || builtin_table[id].name.empty()) return nullptr;
  return &builtin_table[id];
}

std::optional<std::string> check_bx(IndexKind kind, long long index) {
  if (index >= 0 && index <= max_bx) return std::nullopt;
  return std::string(index_word(kind)) + " index " + std::to_string(index) +
         " exceeds the 16-bit instruction field";
}

std::optional<std::string> check_field(long long slot) {
  if (slot >= 0 && slot <= max_field) return std::nullopt;
  return "field index " + std::to_string(slot) + " exceeds the 8-bit GETF/SETF field";
}

std::optional<std::string> check_jump(long long displacement) {
  if (displacement >= min_sbx && displacement <= max_sbx) return std::nullopt;
  return "jump displacement " + std::to_string(displacement) +
         " does not fit the 16-bit signed field";
}

std::optional<std::string> patch_jump(std::vector<std::uint32_t>& code, std::size_t at,
                                      std::size_t target) {
  assert(at < code.size());
  std::uint32_t word = code[at];
  assert(op_of(word) == int(Op::JMP) || op_of(word) == int(Op::JZ) || op_of(word) == int(Op::TRY));
  long long displacement = static_cast<long long>(target) - static_cast<long long>(at) - 1;
  if (auto error = check_jump(displacement)) return error;
  code[at] = asbx(static_cast<Op>(op_of(word)), a_of(word), static_cast<int>(displacement));
  return std::nullopt;
}

}  // namespace Bytecode
