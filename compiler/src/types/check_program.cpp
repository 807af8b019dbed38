// Typing of one file: its field types, then every method body (classes in
// name order, methods in declaration order), then every free function (in
// name order).
#include <algorithm>

#include "typing.hpp"

namespace Types {

FileTyping typecheck_program(const std::string& path, const ModuleOf& module_of, const ModuleTables& modules,
                             const Symbols& file, const Ast::Program& tree, const Symbols& merged,
                             Diag::Collector& collector) {
  FileTyping out;
  check_field_types(path, file, merged, collector);
  const std::string module = module_of ? module_of(path) : std::string(".");
  BodyContext ctx{path, merged, modules, module, using_modules(tree), {}, collector, out, {}, nullptr};
  for (const Ast::UseDecl* use : uses_of_program(tree)) {
    if (!use->is_using && !use->path.empty()) ctx.used_mods.push_back(path_str(use->path));
  }
  // One scope serves every body: it is emptied before each.
  Env env;
  for (const ClassInfo* cls : file.classes.in_name_order()) {
    for (const Ast::Method* method : cls->methods) {
      if (!method) continue;
      env.restore(0);
      Typing::Checker(ctx, env).body(*method, cls->name);
    }
  }
  for (const FnInfo* fn : file.functions.in_name_order()) {
    if (!fn->fn) continue;
    env.restore(0);
    Typing::Checker(ctx, env).body(*fn->fn, {});
  }
  std::sort(out.using_calls.begin(), out.using_calls.end());
  out.using_calls.erase(std::unique(out.using_calls.begin(), out.using_calls.end()), out.using_calls.end());
  return out;
}

}  // namespace Types
