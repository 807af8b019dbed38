// Writes docs/reference.md from the compiler's builtin table and the
// descriptions in docs/builtins.def, and checks the two against each other
// and against the type checker, so the reference cannot drift:
//
//   reference_gen                   prints the reference
//   reference_gen --check <file>    exit 1 (with the reasons) unless <file>
//                                   is exactly what would be printed
//
// Every builtin a program can name and every library member needs a row of
// docs/builtins.def, every row must name one, its parameter count must be
// the table's arity, and the type checker must accept the documented
// parameter types and give the documented result (T, K and V stand for Int,
// Text and Float when this is checked).
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bytecode/bytecode.hpp"
#include "diag/diag.hpp"
#include "types/types.hpp"
#include "types/typing.hpp"

namespace {

struct Doc {
  std::string_view group, name, signature, text, errors;
};

constexpr Doc docs[] = {
#define VK_DOC(group, name, signature, text, errors) {group, name, signature, text, errors},
#include "builtins.def"
#undef VK_DOC
};

// The name a program writes and the number of arguments it passes.
struct Callable {
  std::string name;
  int arity;
};

std::vector<Callable> callables() {
  std::vector<Callable> out;
  std::set<std::string> seen;
  for (unsigned id = 0; id < 256; ++id) {
    const Bytecode::BuiltinInfo* info = Bytecode::builtin_info(id);
    if (!info || info->source.empty() || !seen.insert(std::string(info->source)).second) continue;
    out.push_back({std::string(info->source), info->arity});
  }
  for (const Bytecode::MemberInfo& m : Bytecode::library_members) {
    std::string name = std::string(m.module) + "." + std::string(m.member);
    if (seen.insert(name).second) out.push_back({name, m.arity});
  }
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// A documented type, with T, K and V made concrete; none for `any`, an
// actor or message placeholder, or anything else this reader does not know.
std::optional<Types::Typ> parse_type(std::string_view t) {
  t = trim(t);
  if (t.starts_with("?")) {
    auto inner = parse_type(t.substr(1));
    return inner ? std::optional(Types::t_nullable(*inner)) : std::nullopt;
  }
  if (t.starts_with("multi ")) {
    auto elem = parse_type(t.substr(6));
    return elem ? std::optional(Types::t_multi(*elem)) : std::nullopt;
  }
  if (t.starts_with("map<") && t.ends_with(">")) {
    std::string_view inside = t.substr(4, t.size() - 5);
    std::size_t comma = inside.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    auto k = parse_type(inside.substr(0, comma)), v = parse_type(inside.substr(comma + 1));
    return k && v ? std::optional(Types::t_map(*k, *v)) : std::nullopt;
  }
  if (t == "T") return Types::t_named("Int");
  if (t == "K") return Types::t_named("Text");
  if (t == "V") return Types::t_named("Float");
  if (t == "A" || t == "M" || t.empty()) return std::nullopt;
  return Types::t_named(t);
}

struct Signature {
  std::string name;
  std::vector<std::string> param_types;
  std::string result;  // empty when there is none
  bool ok = false;
};

// "name(a: A, b: B) -> R"; a type may hold commas inside `<...>`.
Signature parse_signature(std::string_view s) {
  Signature sig;
  std::size_t open = s.find('('), close = s.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return sig;
  sig.name = std::string(s.substr(0, open));
  std::string_view params = s.substr(open + 1, close - open - 1);
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= params.size(); ++i) {
    if (i < params.size() && params[i] == '<') ++depth;
    if (i < params.size() && params[i] == '>') --depth;
    if (i == params.size() || (params[i] == ',' && depth == 0)) {
      std::string_view p = trim(params.substr(start, i - start));
      if (!p.empty()) {
        std::size_t colon = p.find(':');
        if (colon == std::string_view::npos) return sig;
        sig.param_types.push_back(std::string(trim(p.substr(colon + 1))));
      }
      start = i + 1;
    }
  }
  std::string_view rest = trim(s.substr(close + 1));
  if (rest.starts_with("->")) sig.result = std::string(trim(rest.substr(2)));
  sig.ok = true;
  return sig;
}

std::string type_text(const std::optional<Types::Typ>& t) { return t ? Types::typ_label(*t) : "(none)"; }

// What the type checker makes of a call with the documented argument types.
std::vector<std::string> check_with_checker(const Doc& doc, const Signature& sig) {
  std::vector<std::string> problems;
  std::string where = std::string(doc.signature);
  std::vector<Types::BuiltinArg> args;
  for (const std::string& p : sig.param_types) args.push_back({Ast::Pos{1, 1}, parse_type(p)});
  std::optional<Types::Typ> first = args.empty() ? std::nullopt : args[0].ty;
  std::optional<Types::Typ> documented = sig.result.empty() ? std::nullopt : parse_type(sig.result);
  std::string_view name = doc.name;
  std::size_t dot = name.find('.');
  if (dot == std::string_view::npos || Types::is_builtin_name(name)) {
    Diag::Collector collector;
    Types::check_builtin_call("reference", collector, name, Ast::Pos{1, 1}, args);
    for (const Diag::Diagnostic& d : collector.diagnostics()) problems.push_back(where + ": the checker says: " + d.message);
    std::optional<Types::Typ> ret = Types::builtin_confident_ret(name, first);
    if (Types::is_builtin_name(name) && type_text(ret) != type_text(documented)) {
      problems.push_back(where + ": the checker's result is " + type_text(ret));
    }
    return problems;
  }
  const Types::StdlibMember* member = Types::stdlib_member(name.substr(0, dot), name.substr(dot + 1));
  if (!member) return {where + ": the checker has no such library member"};
  std::optional<Types::Typ> ret = Types::stdlib_member_result(*member);
  bool no_value = ret && ret->is<Types::TVoid>();
  if (no_value ? !sig.result.empty() : type_text(ret) != type_text(documented)) {
    problems.push_back(where + ": the checker's result is " + (no_value ? "no value" : type_text(ret)));
  }
  return problems;
}

std::vector<std::string> check_all() {
  std::vector<std::string> problems;
  std::map<std::string, int> arity;
  for (const Callable& c : callables()) arity[c.name] = c.arity;
  std::set<std::string> documented;
  for (const Doc& doc : docs) {
    std::string name(doc.name);
    documented.insert(name);
    auto it = arity.find(name);
    if (it == arity.end()) {
      problems.push_back(name + ": documented, but not a builtin or library member");
      continue;
    }
    Signature sig = parse_signature(doc.signature);
    if (!sig.ok || sig.name != name) {
      problems.push_back(name + ": the signature `" + std::string(doc.signature) + "` does not read as one of it");
      continue;
    }
    if (it->second >= 0 && int(sig.param_types.size()) != it->second) {
      problems.push_back(name + ": the signature has " + std::to_string(sig.param_types.size()) +
                         " parameter(s), the builtin table says " + std::to_string(it->second));
    }
    for (std::string& p : check_with_checker(doc, sig)) problems.push_back(std::move(p));
  }
  for (const auto& [name, n] : arity) {
    if (!documented.contains(name)) problems.push_back(name + ": not documented in docs/builtins.def");
  }
  return problems;
}

std::string anchor(std::string_view group) {
  std::string a;
  for (char c : group) a += c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return a;
}

std::string render() {
  std::vector<std::string_view> groups;
  for (const Doc& doc : docs) {
    bool known = false;
    for (std::string_view g : groups) known = known || g == doc.group;
    if (!known) groups.push_back(doc.group);
  }
  std::ostringstream out;
  out << "# Builtins and library reference\n\n"
         "<!-- Generated by tests/docs/reference_gen.cpp from the compiler's builtin table\n"
         "     and docs/builtins.def; do not edit. After changing either, run\n"
         "     build/tests/reference_gen > docs/reference.md -->\n\n"
         "Every name a program can call without declaring it. Builtins are called by\n"
         "their bare name (`len(t)`); library members through their module\n"
         "(`math.sqrt(x)`, `fs.exists(p)`), with no `use` needed. In a signature T, K\n"
         "and V stand for any element, key and value type. The checker refuses\n"
         "arguments of the wrong type or number. A function or project module of the\n"
         "program with the same name wins over the builtin or library module.\n\n"
         "Errors are raised as catchable errors (`try ... catch (e)`), `e.code` being\n"
         "the code named: 1 division by zero, 2 index out of range, 3 missing map\n"
         "key, 5 out of memory, 7 nil value, 8 empty multi, 9 bad argument; library\n"
         "modules use 100 and up.\n\n";
  for (std::string_view g : groups) out << "- [" << g << "](#" << anchor(g) << ")\n";
  for (std::string_view g : groups) {
    out << "\n## " << g << "\n";
    for (const Doc& doc : docs) {
      if (doc.group != g) continue;
      out << "\n- `" << doc.signature << "`  \n  " << doc.text;
      if (!doc.errors.empty()) out << " Errors: " << doc.errors;
      out << "\n";
    }
  }
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> problems = check_all();
  for (const std::string& p : problems) std::cerr << "reference_gen: " << p << "\n";
  if (!problems.empty()) return 1;
  std::string text = render();
  if (argc == 3 && std::string_view(argv[1]) == "--check") {
    std::ifstream in(argv[2], std::ios::binary);
    std::ostringstream have;
    have << in.rdbuf();
    if (have.str() != text) {
      std::cerr << "reference_gen: " << argv[2] << " is not what the builtin table gives; run reference_gen > "
                << argv[2] << "\n";
      return 1;
    }
    return 0;
  }
  if (argc != 1) {
    std::cerr << "usage: reference_gen [--check <reference.md>]\n";
    return 2;
  }
  std::cout << text;
  return 0;
}
