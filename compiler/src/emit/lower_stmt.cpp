// Statements: let, assignment, if, loops, break/continue, return, and the
// statement-bearing expressions `switch` and `try`.
#include "emit/method.hpp"

namespace Emit::detail {

using Types::Typ;

void MethodEmitter::emit_stmts(Ast::List<Ast::Stmt> stmts) {
  for (const Ast::Stmt* s : stmts) emit_stmt(*s);
}

void MethodEmitter::emit_block(Ast::List<Ast::Stmt> stmts, Ast::NodeId scope_site, std::string_view label) {
  std::size_t mark = scope_mark();
  emit_stmts(stmts);
  emit_scope_drops(scope_site, label);
  scope_restore(mark);
}

Ty MethodEmitter::emit_value_block(int dst, Ast::List<Ast::Stmt> stmts, const Ty& expected, bool own) {
  Ty ty;
  for (std::size_t i = 0; i < stmts.size(); ++i) {
    const Ast::Stmt& s = *stmts[i];
    if (i + 1 == stmts.size() && s.kind == Ast::StmtKind::ExprStmt) {
      stmt_reset();
      line_ = s.pos.line;
      const Ast::Expr& value = *s.as<Ast::ExprStmt>().expr;
      ty = emit_expr(dst, value, expected);
      // The value of a `try` is its holder's own: a text read from a place
      // is shared with it.
      if (own) own_text(dst, value, ty);
    } else {
      emit_stmt(s);
    }
  }
  return ty;
}

void MethodEmitter::emit_stmt(const Ast::Stmt& s) {
  stmt_reset();
  line_ = s.pos.line;
  if (depth >= max_depth) {
    report(cannot_lower_code, s.pos, "statement nested too deeply to lower");
    return;
  }
  ++depth;
  switch (s.kind) {
    case Ast::StmtKind::Let: emit_let(s.as<Ast::Let>()); break;
    case Ast::StmtKind::Assign: emit_assign(s.as<Ast::Assign>()); break;
    case Ast::StmtKind::If: emit_if(s.as<Ast::If>()); break;
    case Ast::StmtKind::While: emit_while(s.as<Ast::While>()); break;
    case Ast::StmtKind::DoWhile: emit_do_while(s.as<Ast::DoWhile>()); break;
    case Ast::StmtKind::For: emit_for(s.as<Ast::For>()); break;
    case Ast::StmtKind::Break: emit_break(s, true); break;
    case Ast::StmtKind::Continue: emit_break(s, false); break;
    case Ast::StmtKind::Return: emit_return(s.as<Ast::Return>()); break;
    case Ast::StmtKind::ExprStmt: {
      const Ast::Expr& e = *s.as<Ast::ExprStmt>().expr;
      int t = alloc_temp();
      Ty ty = emit_expr(t, e);
      // A value made for nothing is released at once.
      release_if_fresh(e, t, ty);
      break;
    }
  }
  --depth;
}

void MethodEmitter::emit_let(const Ast::Let& l) {
  Ty declared = l.declared_type ? ty_of(*l.declared_type) : std::nullopt;
  int reg = alloc_local();
  Ty got = emit_expr(reg, *l.value, declared);
  if (!got) got = type_of(*l.value);
  Ty ty = declared ? declared : got;
  // A text or bytes value read from a field, an element or another local is
  // the new local's own copy: both holders release theirs.
  own_text(reg, *l.value, got);
  if (const auto* id = l.value->get_if<Ast::Ident>(); id && views.is_moved(l.value->id)) {
    if (const LocalVar* from = find_local(id->name)) mask_clear(from->reg);
  }
  locals_push(l.name, reg, ty, l.id);
  // The local owns what it holds when the value is new or moved in; a lent
  // element (`get`, a field) stays its owner's.
  bool owns = is_fresh(*l.value, got) || views.is_moved(l.value->id) || is_shared(got) ||
              (l.value->kind == Ast::ExprKind::Ident && is_owned(ty));
  if (is_gc(ty)) mask_set(reg, true);
  else if (is_owned(ty) && owns) mask_set(reg, false);
}

void MethodEmitter::emit_assign(const Ast::Assign& a) {
  const Owner::Drop* overwrite = views.find(a.id, Owner::DropKind::Overwrite);
  if (const auto* id = a.target->get_if<Ast::Ident>()) {
    const LocalVar* local = find_local(id->name);
    if (!local) {
      report(cannot_lower_code, a.target->pos, "assignment to " + q(id->name) + ", which is not a local or parameter");
      return;
    }
    int reg = local->reg;
    Ty ty = local->ty;
    if (overwrite || is_owned(ty)) {
      // The new value first (it may read the old one), then the old one goes.
      int t = alloc_temp();
      Ty got = emit_expr(t, *a.value, ty);
      own_text(t, *a.value, got);
      if (overwrite) {
        put_abc(Op::DROP, reg, 0, 0);
        mask_clear(reg);
      }
      move(reg, t);
      if (is_gc(ty)) mask_set(reg, true);
      else if (is_owned(ty) && (is_fresh(*a.value, got) || views.is_moved(a.value->id) || is_shared(got)))
        mask_set(reg, false);
    } else {
      emit_expr(reg, *a.value, ty);
      if (is_gc(ty)) mask_set(reg, true);
    }
    return;
  }
  if (const auto* fa = a.target->get_if<Ast::FieldAccess>()) {
    Ty obj_ty = type_of(*fa->object);
    if (!obj_ty) {
      report(cannot_lower_code, a.target->pos, "cannot resolve the type of the value " + q(fa->field) + " is written to");
      return;
    }
    const ClassRec* cls = class_of(obj_ty);
    if (!cls) {
      std::string_view n = Types::named_name(strip_all(*obj_ty));
      if (!n.empty() && !Types::is_builtin_scalar(n) && !Types::is_heap_scalar(n) && !prog.merged.unions.contains(n))
        report(cannot_lower_code, a.target->pos, "assignment into " + q(n) + ", which is not a declared class");
      else
        report(cannot_lower_code, a.target->pos, "assignment into field " + q(fa->field) + " of a non-class value");
      return;
    }
    int slot = cls->slot_of(fa->field);
    if (slot < 0) {
      report(cannot_lower_code, a.target->pos, q(cls->name) + " has no field " + q(fa->field));
      return;
    }
    int v = alloc_temp();
    emit_owned(v, *a.value, cls->fields[std::size_t(slot)].info);
    int obj = emit_operand(*fa->object);
    if (overwrite) {
      // The old value is read before the store and released after it.
      int old = alloc_temp();
      getf(old, obj, slot, a.target->pos);
      setf(obj, slot, v, a.target->pos);
      put_abc(Op::DROP, old, 0, 0);
    } else {
      setf(obj, slot, v, a.target->pos);
    }
    return;
  }
  if (const auto* ix = a.target->get_if<Ast::Index>()) {
    Ty coll = type_of(*ix->collection);
    if (!coll) {
      report(cannot_lower_code, a.target->pos, "cannot resolve the container's type for an element assignment");
      return;
    }
    const Typ& t = strip_all(*coll);
    bool multi = t.is<Types::TMulti>(), map = t.is<Types::TMap>();
    if (!multi && !map) {
      report(cannot_lower_code, a.target->pos, "element assignment into a value that is neither a `multi` nor a `map`");
      return;
    }
    Ty elem = ty_of(multi ? *t.get_if<Types::TMulti>()->elem : *t.get_if<Types::TMap>()->value);
    Ty key = multi ? int_ty() : ty_of(*t.get_if<Types::TMap>()->key);
    // The store takes the new value and releases the element it replaces.
    int w = alloc_temps(3);
    emit_expr(w, *ix->collection);
    emit_expr(w + 1, *ix->index, key);
    emit_owned(w + 2, *a.value, elem);
    std::vector<std::pair<const Ast::Expr*, int>> regs{{ix->collection, w}, {ix->index, w + 1}, {a.value, w + 2},
                                                       {a.target, w}};
    auto guards = residual_guards(a.id, regs);
    auto more = residual_guards(a.target->id, regs);
    guards.insert(guards.end(), more.begin(), more.end());
    acquire_guards(guards);
    sync_mask(a.id);
    // The multi store does not release the element it replaces (sorting
    // swaps with it): the old one is read first and dropped once replaced.
    int old = -1;
    if (multi && (is_owned(elem) || is_shared(elem))) {
      old = alloc_temp();
      builtin(old, w, Builtin::MULTI_GET);
    }
    builtin(w, w, multi ? Builtin::MULTI_STORE : Builtin::MAP_SET);
    if (old >= 0) put_abc(Op::DROP, old, 0, 0);
    release_guards(guards);
    return;
  }
  report(cannot_lower_code, a.target->pos, "assignment target must be a local, a field, or an element");
}

void MethodEmitter::emit_if(const Ast::If& i) {
  int c = alloc_temp();
  emit_expr(c, *i.cond);
  std::size_t jz = put_jump(Op::JZ, c);
  std::uint64_t o0 = owned_, g0 = gc_;
  emit_block(i.then_block, i.id, "THEN");
  emit_join_drops(i.id, "THEN");
  bool else_join = views.find(i.id, Owner::DropKind::JoinDrop, "ELSE") != nullptr;
  if (!i.else_part && !else_join) {
    patch_jump(jz, here());
    mask_meet(o0, g0);
    return;
  }
  std::uint64_t o1 = owned_, g1 = gc_;
  std::size_t jend = put_jump(Op::JMP);
  patch_jump(jz, here());
  owned_ = o0;
  gc_ = g0;
  if (i.else_part) {
    line_ = i.else_part->else_pos.line > 0 ? i.else_part->else_pos.line : line_;
    emit_block(i.else_part->body, i.id, "ELSE");
  }
  emit_join_drops(i.id, "ELSE");
  patch_jump(jend, here());
  mask_meet(o1, g1);
}

void MethodEmitter::emit_while(const Ast::While& w) {
  std::uint64_t o0 = owned_, g0 = gc_;
  std::size_t top = here();
  int c = alloc_temp();
  emit_expr(c, *w.cond);
  std::size_t jz = put_jump(Op::JZ, c);
  loops.push_back({});
  emit_block(w.body, w.id, "WHILE");
  std::size_t back = put_jump(Op::JMP);
  patch_jump(back, top);
  Loop loop = std::move(loops.back());
  loops.pop_back();
  for (std::size_t at : loop.continues) patch_jump(at, top);
  patch_jump(jz, here());
  for (std::size_t at : loop.breaks) patch_jump(at, here());
  mask_meet(o0, g0);
}

void MethodEmitter::emit_do_while(const Ast::DoWhile& d) {
  std::uint64_t o0 = owned_, g0 = gc_;
  std::size_t start = here();
  loops.push_back({});
  emit_block(d.body, d.id, "DO");
  std::size_t cond_pc = here();
  stmt_reset();
  int c = alloc_temp();
  emit_expr(c, *d.cond);
  std::size_t jz = put_jump(Op::JZ, c);
  std::size_t back = put_jump(Op::JMP);
  patch_jump(back, start);
  Loop loop = std::move(loops.back());
  loops.pop_back();
  for (std::size_t at : loop.continues) patch_jump(at, cond_pc);
  patch_jump(jz, here());
  for (std::size_t at : loop.breaks) patch_jump(at, here());
  mask_meet(o0, g0);
}

void MethodEmitter::emit_for(const Ast::For& f) {
  static const char* const only_multi =
      "`for` can only iterate a `multi` — the v1 builtins expose no key enumeration for a `map`";
  Ty coll_ty = type_of(*f.iterable);
  const Typ* t = coll_ty ? &strip_all(*coll_ty) : nullptr;
  bool two = !f.second_var.empty();
  bool multi = t && t->is<Types::TMulti>() && !two;
  bool map = t && t->is<Types::TMap>() && two;
  if (!multi && !map) {
    report(cannot_lower_code, f.iterable->pos, only_multi);
    return;
  }
  std::uint64_t o0 = owned_, g0 = gc_;
  std::size_t mark = scope_mark();
  int cont = alloc_local();
  emit_expr(cont, *f.iterable);
  bool fresh = is_fresh(*f.iterable, coll_ty);
  if (fresh) mask_set(cont, false);
  int count = alloc_local();
  sync_mask(f.id);
  builtin(count, cont, multi ? Builtin::COUNT : Builtin::LEN);
  int index = alloc_local();
  load_int(index, 0, f.pos);
  std::size_t top = here();
  int c = alloc_temp();
  put_abc(Op::LT, c, index, count);
  std::size_t jz = put_jump(Op::JZ, c);
  // The loop variables: a class element is lent by the container (never
  // dropped or copied); a Text element is copied and owned by the variable.
  auto read_into = [&](std::string_view name, const Ty& ty, Builtin id) {
    int reg = alloc_local();
    locals_push(name, reg, ty, f.id);
    if (name == "_") return;
    int w = alloc_temps(2);
    move(w, cont);
    move(w + 1, index);
    sync_mask(f.id);
    builtin(reg, w, id);
    if (is_text(ty)) {
      builtin(reg, reg, Builtin::TEXT_COPY);
      mask_set(reg, false);
    }
  };
  if (multi) {
    read_into(f.var, ty_of(*t->get_if<Types::TMulti>()->elem), Builtin::MULTI_GET);
  } else {
    read_into(f.var, ty_of(*t->get_if<Types::TMap>()->key), Builtin::KEY_AT);
    read_into(f.second_var, ty_of(*t->get_if<Types::TMap>()->value), Builtin::VAL_AT);
  }
  loops.push_back({});
  // Only Text loop variables are dropped: a lent class element belongs to the container.
  if (const Owner::Drop* d = views.find(f.id, Owner::DropKind::Scope, "FOR")) {
    emit_stmts(f.body);
    std::vector<Owner::DropItem> items;
    for (const Owner::DropItem& item : d->items) {
      bool loop_var = item.slot == f.id && (item.name == f.var || item.name == f.second_var);
      const LocalVar* l = loop_var ? find_local(item.name) : nullptr;
      if (loop_var && l && !is_text(l->ty)) continue;
      items.push_back(item);
    }
    emit_drops(items);
  } else {
    emit_stmts(f.body);
  }
  std::size_t cont_pc = here();
  int one = alloc_temp();
  load_int(one, 1, f.pos);
  put_abc(Op::ADD, index, index, one);
  std::size_t back = put_jump(Op::JMP);
  patch_jump(back, top);
  Loop loop = std::move(loops.back());
  loops.pop_back();
  for (std::size_t at : loop.continues) patch_jump(at, cont_pc);
  patch_jump(jz, here());
  for (std::size_t at : loop.breaks) patch_jump(at, here());
  mask_meet(o0, g0);
  if (fresh) {
    put_abc(Op::DROP, cont, 0, 0);
    mask_clear(cont);
  }
  scope_restore(mark);
}

void MethodEmitter::emit_break(const Ast::Stmt& s, bool is_break) {
  if (loops.empty()) {
    report(cannot_lower_code, s.pos, is_break ? "`break` outside of a loop" : "`continue` outside of a loop");
    return;
  }
  std::uint64_t o = owned_, g = gc_;
  if (const Owner::Drop* d = views.find(s.id, is_break ? Owner::DropKind::Break : Owner::DropKind::Continue))
    emit_drops(d->items);
  std::size_t j = put_jump(Op::JMP);
  (is_break ? loops.back().breaks : loops.back().continues).push_back(j);
  // Code after the jump is not reached by this path; the fall-through keeps its masks.
  owned_ = o;
  gc_ = g;
}

void MethodEmitter::emit_return(const Ast::Return& r) {
  std::uint64_t o = owned_, g = gc_;
  const Owner::Drop* d = views.find(r.id, Owner::DropKind::Return);
  // The payload texts of enclosing arms, but the one handed to the caller.
  auto drop_arm_copies = [&](int kept) {
    for (auto it = arm_text_copies_.rbegin(); it != arm_text_copies_.rend(); ++it)
      if (*it != kept) put_abc(Op::DROP, *it, 0, 0);
  };
  if (!r.value) {
    if (d) emit_drops(d->items);
    drop_arm_copies(-1);
    put_abc(Op::RET0, 0, 0, 0);
    owned_ = o;
    gc_ = g;
    return;
  }
  Ty ty;
  int reg;
  // A value read from a field or element moves out of it before its holder
  // is dropped below.
  bool moves_out = false;
  if (r.value->kind != Ast::ExprKind::Ident) {
    Ty value_ty = type_of(*r.value);
    moves_out = is_owned(value_ty) && !is_shared(value_ty) && !is_fresh(*r.value, value_ty);
  }
  // The declared result is what `nil`, `[]` and `{}` are built as.
  Ty declared = rec.decl->ret ? ty_of(*rec.decl->ret) : Ty();
  if (moves_out) {
    reg = alloc_temp();
    ty = emit_owned(reg, *r.value, declared);
  } else if (r.value->kind == Ast::ExprKind::Ident) {
    reg = emit_operand(*r.value, &ty);
  } else {
    reg = alloc_temp();
    ty = emit_expr(reg, *r.value, declared);
  }
  // A text the method only borrows is copied: the caller receives its own.
  bool borrowed_text = false;
  if (is_text(ty) && !is_fresh(*r.value, ty) && r.value->kind != Ast::ExprKind::TextLit) {
    const auto* id = r.value->get_if<Ast::Ident>();
    const LocalVar* l = id ? find_local(id->name) : nullptr;
    borrowed_text = !l || is_param(*l);
  }
  if (borrowed_text || r.value->kind != Ast::ExprKind::Ident) {
    if (reg < next_local_ || borrowed_text) {
      int t = alloc_temp();
      if (borrowed_text) builtin(t, reg, Builtin::TEXT_COPY);
      else move(t, reg);
      reg = t;
    }
  }
  if (d) {
    // The returned value goes to the caller and is never dropped on the way out.
    std::vector<Owner::DropItem> items;
    for (const Owner::DropItem& item : d->items) {
      const LocalVar* l = nullptr;
      for (auto it = locals_.rbegin(); it != locals_.rend(); ++it)
        if ((item.slot && it->slot == item.slot && it->name == item.name) || (!item.slot && it->name == item.name)) {
          l = &*it;
          break;
        }
      if (l && l->reg == reg) continue;
      items.push_back(item);
    }
    emit_drops(items);
  }
  drop_arm_copies(reg);
  put_abc(Op::RET, reg, 0, 0);
  owned_ = o;
  gc_ = g;
}

Ty MethodEmitter::emit_switch(int dst, const Ast::Switch& s, const Ty& expected) {
  Ty scrut_ty;
  int scrut = emit_operand(*s.scrutinee, &scrut_ty);
  if (scrut_ty) {
    if (const Types::UnionInfo* u = prog.merged.unions.find(Types::named_name(strip_all(*scrut_ty))))
      return emit_union_switch(dst, s, scrut, *u, expected);
  }
  bool text = is_text(scrut_ty);
  int floor = hold_temps();
  std::uint64_t o0 = owned_, g0 = gc_;
  std::uint64_t om = ~std::uint64_t(0), gm = ~std::uint64_t(0);
  std::vector<std::size_t> ends;
  Ty result;
  std::vector<const Ast::SwitchArm*> arms = Ast::switch_lowering_order(s.arms);
  for (std::size_t n = 0; n < arms.size(); ++n) {
    const Ast::SwitchArm& arm = *arms[n];
    line_ = arm.pos.line;
    std::vector<std::size_t> to_body, to_next;
    for (std::size_t v = 0; v < arm.values.size(); ++v) {
      int mark = temp_mark();
      int cmp = alloc_temp();
      Ty vt;
      int r = emit_operand(*arm.values[v], &vt);
      put_abc(text || is_text(vt) ? Op::EQS : Op::EQ, cmp, scrut, r);
      if (v + 1 < arm.values.size()) {
        std::size_t skip = put_jump(Op::JZ, cmp);
        to_body.push_back(put_jump(Op::JMP));
        patch_jump(skip, here());
      } else {
        to_next.push_back(put_jump(Op::JZ, cmp));
      }
      temp_reset(mark);
    }
    for (std::size_t at : to_body) patch_jump(at, here());
    owned_ = o0;
    gc_ = g0;
    std::string label = "ARM" + std::to_string(n);
    std::size_t mark = scope_mark();
    int hold = hold_temps();
    Ty ty = emit_value_block(dst, arm.body, expected);
    release_temps(hold);
    if (!result) result = ty;
    emit_scope_drops(s.id, label);
    scope_restore(mark);
    emit_join_drops(s.id, label);
    om &= owned_;
    gm &= gc_;
    ends.push_back(put_jump(Op::JMP));
    for (std::size_t at : to_next) patch_jump(at, here());
  }
  for (std::size_t at : ends) patch_jump(at, here());
  owned_ = o0 & om;
  gc_ = g0 & gm;
  // A subject made only to be matched (`switch a .. b`) is released.
  release_if_fresh(*s.scrutinee, scrut, scrut_ty);
  release_temps(floor);
  return result;
}

Ty MethodEmitter::emit_try(int dst, const Ast::Try& t, const Ty& expected) {
  auto error_class = prog.class_id(Types::error_record);
  if (!error_class)
    return fail(dst, t.pos, "no class-table entry for the `Error` record — a `try` cannot bind its error");
  int floor = hold_temps();
  int err = alloc_local();
  std::uint64_t o0 = owned_, g0 = gc_;
  sync_mask(t.id);
  std::size_t try_pc = put_jump(Op::TRY, err);
  Ty ty = emit_expr(dst, *t.tried, expected);
  own_text(dst, *t.tried, ty);
  put_abc(Op::ENDTRY, 0, 0, 0);
  emit_join_drops(t.id, "TRYBODY");
  std::uint64_t o1 = owned_, g1 = gc_;
  std::size_t jend = put_jump(Op::JMP);
  patch_jump(try_pc, here());
  owned_ = o0;
  gc_ = g0;
  std::size_t mark = scope_mark();
  int var = alloc_local();
  locals_push(t.catch_var.empty() ? std::string_view("_") : t.catch_var, var,
              named(Types::error_record), t.id);
  put_abx(Op::NEW, var, *error_class, IndexKind::CLASS, t.pos);
  int w = alloc_temps(2);
  move(w, var);
  move(w + 1, err);
  builtin(var, w, Builtin::ERROR_FILL);
  mask_set(var, Types::is_gc_class(prog.merged, Types::error_record));
  // The catch arm's value is the expression's value on the error path.
  Ty catch_ty = emit_value_block(dst, t.catch_block, expected, true);
  emit_scope_drops(t.id, "CATCH");
  scope_restore(mark);
  emit_join_drops(t.id, "CATCHJOIN");
  patch_jump(jend, here());
  mask_meet(o1, g1);
  release_temps(floor);
  return ty ? ty : catch_ty;
}

}  // namespace Emit::detail
