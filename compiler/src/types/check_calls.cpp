// Typing of calls: free functions, variant constructors, builtins, methods,
// static methods, library members, project-module functions and `using`
// extensions, with the checks of arguments against parameters.
#include "typing.hpp"

namespace Types::Typing {

ExprInfo Checker::call(const Ast::Call& c) {
  std::vector<ExprInfo> args;
  args.reserve(c.args.size());
  for (const Ast::Expr* a : c.args) args.push_back(a ? expr(*a) : unknown_info());
  if (!c.callee) return unknown_info();
  if (const auto* id = c.callee->get_if<Ast::Ident>()) return bare_call(c, id->name, args);
  if (const auto* fa = c.callee->get_if<Ast::FieldAccess>()) return method_call(c, *fa, args);
  expr(*c.callee);
  return unknown_info();
}

// A bare name calls, in this order: a free function visible here, a variant
// (building a union value), `send`, `call`, a builtin.
ExprInfo Checker::bare_call(const Ast::Call& c, std::string_view name, const std::vector<ExprInfo>& args) {
  if (const FnInfo* f = resolve_function(name); f && f->fn) {
    check_args(*f->fn, 0, c, args);
    return result_of(*f->fn);
  }
  if (auto v = find_variant_in(ctx_.merged, name)) {
    std::span<const Ast::PayloadField> payload = v->variant->payload;
    if (args.size() != payload.size()) {
      report(arity_code, c.pos,
             "variant " + quoted(name) + " of " + quoted(v->union_info->name) + " takes " +
                 std::to_string(payload.size()) + " payload argument(s), given " + std::to_string(args.size()));
    } else {
      for (std::size_t i = 0; i < args.size(); ++i) {
        if (payload[i].ty && c.args[i]) {
          Typ payload_ty = typ_of_field_ty(*payload[i].ty);
          check_arg(payload[i].name, payload_ty, *c.args[i], args[i]);
          check_fit(payload_ty, [&] { return "payload field " + quoted(payload[i].name); }, *c.args[i], args[i]);
        }
      }
    }
    return known_info(t_named(v->union_info->name));
  }
  if (name == "send") return send_or_call(c, false, args);
  if (name == "call") return send_or_call(c, true, args);
  if (!is_builtin_name(name)) return unknown_info();
  return builtin_call(c, name, args);
}

// A call checked against a row of the builtin signature table: a bare
// builtin, or a library member named "module.member" there.
ExprInfo Checker::builtin_call(const Ast::Call& c, std::string_view name, const std::vector<ExprInfo>& args) {
  std::vector<BuiltinArg> typed;
  typed.reserve(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    typed.push_back(BuiltinArg{c.args[i] ? c.args[i]->pos : c.pos, args[i].known});
  }
  check_builtin_call(ctx_.path, *sink_, name, c.pos, typed);
  check_builtin_values(c, name, args);
  std::optional<Typ> ret = builtin_confident_ret(name, args.empty() ? std::nullopt : args[0].known);
  return ret ? known_info(*ret) : unknown_info();
}

namespace {

std::string_view last_segment(std::string_view module) {
  std::size_t slash = module.rfind('/');
  return slash == std::string_view::npos ? module : module.substr(slash + 1);
}

}  // namespace

ExprInfo Checker::method_call(const Ast::Call& c, const Ast::FieldAccess& callee,
                              const std::vector<ExprInfo>& args) {
  if (!callee.object) return unknown_info();
  const Ast::Expr& receiver = *callee.object;

  // `m.f(...)`, `C.f(...)`: a name that is not a variable may name a
  // library module, a `use`d project module or a class (static methods).
  if (const auto* id = receiver.get_if<Ast::Ident>(); id && !env_.is_bound(id->name)) {
    if (library_module_call(id->name, ctx_.modules)) {
      std::string signature = library_signature_name(id->name, callee.field);
      if (is_builtin_name(signature)) return builtin_call(c, signature, args);
      const StdlibMember* member = stdlib_member(id->name, callee.field);
      std::optional<Typ> ret = member ? stdlib_member_result(*member) : std::nullopt;
      return ret ? known_info(*ret) : unknown_info();
    }
    for (const std::string& module : ctx_.used_mods) {
      if (last_segment(module) != id->name) continue;
      auto table = ctx_.modules.find(module);
      if (table == ctx_.modules.end()) continue;
      const FnInfo* f = table->second.functions.find(callee.field);
      if (!f || !f->fn) return unknown_info();
      check_args(*f->fn, 0, c, args);
      return result_of(*f->fn);
    }
    if (ctx_.merged.classes.contains(id->name)) {
      const Ast::Method* m = static_method_of(ctx_.merged, id->name, callee.field);
      if (!m) return unknown_info();
      check_args(*m, 0, c, args);
      return result_of(*m);
    }
  }

  ExprInfo recv = expr(receiver);
  Typ ty = reach_through(receiver, recv);
  const ClassInfo* cls = class_of(ty);
  const Ast::Method* method = cls ? cls->method(callee.field) : nullptr;
  const FnInfo* extension =
      recv.known && !ctx_.using_mods.empty()
          ? using_extension(ctx_.modules, ctx_.using_mods, callee.field, *recv.known)
          : nullptr;
  if (method) {
    if (extension) report_using_clash(ctx_.path, *sink_, callee.pos, callee.field, cls->name);
    check_args(*method, 0, c, args);
    return result_of(*method);
  }
  if (extension && extension->fn) {
    using_calls_->push_back(c.id);
    check_args(*extension->fn, 1, c, args);
    return result_of(*extension->fn);
  }
  return unknown_info();
}

const FnInfo* Checker::resolve_function(std::string_view name) const {
  // Without module tables the whole program is one module.
  if (!own_module_) return ctx_.merged.functions.find(name);
  if (const FnInfo* f = own_module_->functions.find(name)) return f;
  for (const std::string& module : ctx_.used_mods) {
    auto table = ctx_.modules.find(module);
    if (table == ctx_.modules.end()) continue;
    const FnInfo* f = table->second.functions.find(name);
    if (f && f->pub) return f;
  }
  return nullptr;
}

void Checker::check_args(const Ast::Method& fn, std::size_t first_param, const Ast::Call& c,
                         const std::vector<ExprInfo>& args) {
  // A call with the wrong number of arguments is left to later stages.
  if (fn.params.size() != first_param + args.size()) return;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const Ast::Param& param = fn.params[first_param + i];
    if (!param.ty || !c.args[i]) continue;
    Typ param_ty = typ_of_field_ty(*param.ty);
    check_iface_boundary(ctx_.path, ctx_.merged, *sink_, param_ty, args[i].known, c.args[i]->pos);
    check_arg(param.name, param_ty, *c.args[i], args[i]);
    check_fit(param_ty, [&] { return "parameter " + quoted(param.name); }, *c.args[i], args[i]);
  }
}

void Checker::check_arg(std::string_view param, const Typ& param_ty, const Ast::Expr& arg, const ExprInfo& info) {
  if (is_nullable(param_ty)) return;
  if (info.is_nil) {
    report(nil_store_code, arg.pos,
           "`nil` cannot be stored in parameter " + quoted(param) +
               " — the target is not nullable; declare it `?T` or narrow the value first");
    return;
  }
  require_plain(arg, info);
}

ExprInfo Checker::result_of(const Ast::Method& fn) {
  return known_info(fn.ret ? typ_of_field_ty(*fn.ret) : t_void());
}

}  // namespace Types::Typing
