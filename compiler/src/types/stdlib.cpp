// The library members called as `module.member(...)`: arity, the builtin
// number the emitter puts into the bytecode, the result type and the library
// record that result exposes. Arity and number come from the bytecode's
// builtin table; the result types are the checker's. A member that yields no
// value has the result `void`; `json.decode` yields a value of no known type
// (it meets `as T`).
#include <array>

#include "bytecode/bytecode.hpp"
#include "types/types.hpp"

namespace Types {

namespace {

// A row of the table: the member's arity and number from the builtin table
// (a name missing there stops the compile), with its result and record.
constexpr StdlibMember member(std::string_view module, std::string_view name, std::string_view result,
                              std::string_view record) {
  const Bytecode::MemberInfo* m = Bytecode::library_member(module, name);
  return {m->module, m->member, m->arity, int(m->id), result, record};
}

// Looked up by module and name, first match in this order.
constexpr std::array<StdlibMember, std::size(Bytecode::library_members)> stdlib_members{{
    member("fs", "exists", "Bool", ""),
    member("fs", "list", "multi Text", ""),
    member("fs", "stat", "?Stat", "Stat"),
    member("fs", "read_all", "Text", ""),
    member("fs", "read_at", "Text", ""),
    member("fs", "append", "void", ""),
    member("time", "now", "Int", ""),
    member("time", "sleep", "void", ""),
    member("time", "ticks", "Int", ""),
    member("time", "local", "TimeParts", "TimeParts"),
    member("time", "iso", "Text", ""),
    member("env", "get", "?Text", ""),
    member("env", "stopping", "Bool", ""),
    member("net", "listen", "Int", ""),
    member("net", "accept", "Int", ""),
    member("net", "read", "Text", ""),
    member("net", "write", "void", ""),
    member("net", "close", "void", ""),
    member("net", "read_dl", "?Text", ""),
    member("net", "accept_dl", "?Int", ""),
    member("net", "write_dl", "Bool", ""),
    member("net", "listen_unix", "Int", ""),
    member("net", "peer", "Text", ""),
    member("proc", "run", "?Proc", "Proc"),
    member("json", "encode", "Text", ""),
    member("json", "decode", "", ""),
    member("json", "last_error", "Text", ""),
    // The signature table has these too, with the argument checks; abs, min
    // and max give an Int for Ints.
    member("math", "sqrt", "Float", ""),
    member("math", "floor", "Float", ""),
    member("math", "ceil", "Float", ""),
    member("math", "round", "Float", ""),
    member("math", "abs", "Float", ""),
    member("math", "min", "Float", ""),
    member("math", "max", "Float", ""),
    member("math", "pow", "Float", ""),
    member("math", "exp", "Float", ""),
    member("math", "log", "Float", ""),
    member("math", "sin", "Float", ""),
    member("math", "cos", "Float", ""),
    member("math", "atan2", "Float", ""),
    member("math", "pi", "Float", ""),
}};

}  // namespace

const StdlibMember* stdlib_member(std::string_view module, std::string_view name) {
  for (const StdlibMember& m : stdlib_members) {
    if (m.module == module && m.name == name) return &m;
  }
  return nullptr;
}

std::optional<Typ> stdlib_member_result(const StdlibMember& member) {
  std::string_view text = member.result;
  if (text.empty()) return std::nullopt;
  if (text == "void") return t_void();
  bool nullable = text.front() == '?';
  if (nullable) text.remove_prefix(1);
  constexpr std::string_view multi = "multi ";
  Typ ty = text.starts_with(multi) ? t_multi(t_named(text.substr(multi.size()))) : t_named(text);
  return nullable ? t_nullable(std::move(ty)) : ty;
}

}  // namespace Types
