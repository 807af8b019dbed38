// `spawn` of actors and the checked JSON decode `json.decode(text) as T`.
#include "emit/method.hpp"

namespace Emit::detail {

// The actor's state is built like a constructor in the first register of
// the argument block, with the number of the class's `receive` method
// beside it. `spawn` (builtin 68) gives the new actor its own copy of the
// state, so the one built here is released after the call, as any fresh
// argument of a builtin is.
Ty MethodEmitter::emit_spawn(int dst, const Ast::Spawn& e) {
  auto cid = prog.class_id(e.class_name);
  if (!cid) return fail(dst, e.pos, "constructor of " + q(e.class_name) + ", which is not a declared class");
  int t = alloc_temps(2);
  put_abx(Op::NEW, t, *cid, IndexKind::CLASS, e.pos);
  emit_ctor_fields(t, prog.classes[*cid], e.fields, e.pos);
  auto receive = prog.class_method(*cid, "receive");
  if (!receive)
    return fail(dst, e.pos,
                "`spawn " + std::string(e.class_name) + "`: no `receive` method (typecheck should have refused)");
  set_line(e.pos.line);
  load_int(t + 1, *receive, e.pos);
  sync_mask(e.id);
  builtin(dst, t, Builtin::SPAWN);
  if (dst != t) put_abc(Op::DROP, t, 0, 0);
  return type_of(e);
}

Ty MethodEmitter::emit_as(int dst, const Ast::As& e) {
  const auto* call = e.value->get_if<Ast::Call>();
  const auto* callee = call ? call->callee->get_if<Ast::FieldAccess>() : nullptr;
  const auto* module = callee ? callee->object->get_if<Ast::Ident>() : nullptr;
  if (!module || module->name != "json" || callee->field != "decode" || call->args.size() != 1 ||
      find_local("json"))
    return fail(dst, e.pos,
                "`as` is only a checked JSON decode (`json.decode(text) as T`) — this language has no reinterpret "
                "cast");
  const auto* name = e.target ? e.target->get_if<Ast::TyName>() : nullptr;
  auto cid = name ? prog.class_id(name->name) : std::nullopt;
  // A class or record of the program (not a union variant's class).
  if (!cid || !prog.classes[*cid].info)
    return fail(dst, e.pos, "`as` needs a declared class or record type to decode into");
  int t = alloc_temps(2);
  Ty text_ty = emit_expr(t, *call->args[0]);
  load_int(t + 1, *cid, e.pos);
  set_line(e.pos.line);
  // The ownership tables record the live locals at the inner call.
  sync_mask(views.find(call->id, Owner::DropKind::LiveMask) ? call->id : e.id);
  put_abc(Op::BUILTIN, dst, t, int(Builtin::JSON_DECODE));
  if (t != dst) release_if_fresh(*call->args[0], t, text_ty);
  return ty_of(Types::t_nullable(Types::t_named(name->name)));
}

}  // namespace Emit::detail
