// The library members called as `module.member(...)`: arity, the builtin
// number the emitter puts into the bytecode, the result type and the library
// record that result exposes. A member that yields no value has the result
// `void`; `json.decode` yields a value of no known type (it meets `as T`).
#include <array>

#include "types/types.hpp"

namespace Types {

namespace {

// Looked up by module and name, first match in this order.
constexpr std::array<StdlibMember, 26> stdlib_members{{
    {"fs", "exists", 1, 40, "Bool", ""},
    {"fs", "list", 1, 41, "multi Text", ""},
    {"fs", "stat", 1, 42, "?Stat", "Stat"},
    {"fs", "read_all", 2, 43, "Text", ""},
    {"fs", "read_at", 3, 44, "Text", ""},
    {"fs", "append", 2, 45, "void", ""},
    {"time", "now", 0, 0, "Int", ""},
    {"time", "sleep", 1, 46, "void", ""},
    {"time", "ticks", 0, 84, "Int", ""},
    {"time", "local", 1, 47, "TimeParts", "TimeParts"},
    {"time", "iso", 1, 48, "Text", ""},
    {"env", "get", 1, 49, "?Text", ""},
    {"env", "stopping", 0, 50, "Bool", ""},
    {"net", "listen", 2, 51, "Int", ""},
    {"net", "accept", 1, 52, "Int", ""},
    {"net", "read", 2, 53, "Text", ""},
    {"net", "write", 2, 54, "void", ""},
    {"net", "close", 1, 55, "void", ""},
    {"net", "read_dl", 3, 91, "?Text", ""},
    {"net", "accept_dl", 2, 92, "?Int", ""},
    {"net", "write_dl", 3, 93, "Bool", ""},
    {"net", "listen_unix", 1, 94, "Int", ""},
    {"net", "peer", 1, 95, "Text", ""},
    {"proc", "run", 2, 56, "?Proc", "Proc"},
    {"json", "encode", 1, 57, "Text", ""},
    {"json", "decode", 1, 58, "", ""},
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
