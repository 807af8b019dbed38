// Expressions: literals, names, fields, elements, operators, interpolation,
// and the static types the lowerings choose instructions by.
#include <bit>
#include <cstring>

#include "emit/method.hpp"

namespace Emit::detail {

namespace {

using Types::Typ;

bool is_arith(Ast::BinaryOp op) {
  using B = Ast::BinaryOp;
  switch (op) {
    case B::Add: case B::Sub: case B::Mul: case B::Div: case B::Mod:
    case B::BitAnd: case B::BitOr: case B::BitXor: case B::Shl: case B::Shr:
      return true;
    default:
      return false;
  }
}

// Operators lowered along a left-nested chain with one accumulator.
bool is_chain_op(Ast::BinaryOp op) { return is_arith(op) || op == Ast::BinaryOp::Concat; }

// An expression that only reads: evaluating it cannot store into a field or
// an element, nor release what one holds.
bool only_reads(const Ast::Expr& e) {
  switch (e.kind) {
    case Ast::ExprKind::IntLit: case Ast::ExprKind::FloatLit: case Ast::ExprKind::TextLit:
    case Ast::ExprKind::BoolLit: case Ast::ExprKind::Nil: case Ast::ExprKind::Ident:
      return true;
    case Ast::ExprKind::FieldAccess: return only_reads(*e.as<Ast::FieldAccess>().object);
    case Ast::ExprKind::Unary: return only_reads(*e.as<Ast::Unary>().operand);
    case Ast::ExprKind::Interp: return only_reads(*e.as<Ast::Interp>().value);
    case Ast::ExprKind::BinOp: {
      const auto& b = e.as<Ast::BinOp>();
      return only_reads(*b.left) && only_reads(*b.right);
    }
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------- type helpers

bool MethodEmitter::is_owned(const Ty& ty) const { return ty && ty.info()->oclass == Owner::OClass::Owned; }
bool MethodEmitter::is_gc(const Ty& ty) const { return ty && ty.info()->oclass == Owner::OClass::Gc; }
bool MethodEmitter::is_heap(const Ty& ty) const { return is_owned(ty); }
bool MethodEmitter::is_text(const Ty& ty) const { return ty && ty.info()->text; }
bool MethodEmitter::is_float(const Ty& ty) const { return ty && ty.info()->flt; }
const ClassRec* MethodEmitter::class_of(const Ty& ty) const { return ty ? ty.info()->cls : nullptr; }

bool MethodEmitter::is_fresh(const Ast::Expr& e, const Ty& ty) const {
  if (!is_heap(ty)) return false;
  switch (e.kind) {
    case Ast::ExprKind::Call: {
      const auto& c = e.as<Ast::Call>();
      if (const auto* id = c.callee->get_if<Ast::Ident>()) {
        std::string_view n = id->name;
        // The borrowing builtins lend an element; the container keeps it.
        if ((n == "get" || n == "latest" || n == "key_at" || n == "val_at") && !prog.merged.functions.contains(n))
          return false;
      }
      return true;
    }
    case Ast::ExprKind::Ident: {
      // A variant of a union with payloads, written without `()`, is a new instance.
      std::string_view n = e.as<Ast::Ident>().name;
      if (find_local(n)) return false;
      auto v = prog.variant(n);
      return v && v->union_info->has_payload;
    }
    case Ast::ExprKind::Interp: {
      // A Text piece is the value itself, fresh when the value is (a call's
      // result); numbers are converted into new text.
      const Ast::Expr& value = *e.as<Ast::Interp>().value;
      Ty value_ty = type_of(value);
      return !is_text(value_ty) || is_fresh(value, value_ty);
    }
    case Ast::ExprKind::Ctor:
    case Ast::ExprKind::ListLit:
    case Ast::ExprKind::EmptyMap:
    case Ast::ExprKind::Switch:
    case Ast::ExprKind::Try:
    case Ast::ExprKind::Query:  // a new multi of the selected values
    case Ast::ExprKind::As:     // a newly decoded record, or nil
      return true;
    case Ast::ExprKind::BinOp:
      return e.as<Ast::BinOp>().op == Ast::BinaryOp::Concat;
    case Ast::ExprKind::FieldAccess: {
      // A field read from a fresh value is detached from it (see emit_field_access).
      const Ast::Expr& object = *e.as<Ast::FieldAccess>().object;
      return is_fresh(object, type_of(object));
    }
    case Ast::ExprKind::Index: {
      // So is a text element of a fresh container.
      const Ast::Expr& collection = *e.as<Ast::Index>().collection;
      return is_shared(ty) && is_fresh(collection, type_of(collection));
    }
    default:
      return false;
  }
}

bool MethodEmitter::lent_text(const Ast::Expr& e, const Ty& ty) const {
  return is_shared(ty) && (e.kind == Ast::ExprKind::FieldAccess || e.kind == Ast::ExprKind::Index) &&
         !is_fresh(e, ty);
}

void MethodEmitter::own_text(int reg, const Ast::Expr& e, const Ty& ty) {
  if (!is_shared(ty) || is_fresh(e, ty) || views.is_moved(e.id) || e.kind == Ast::ExprKind::TextLit) return;
  builtin(reg, reg, Builtin::TEXT_COPY);
}

bool MethodEmitter::is_shared(const Ty& ty) const { return ty && ty.info()->shared; }

// The ownership tables move whole locals only. A borrowed text or Bytes is
// shared with its new owner. A class instance, container or union read from
// a field moves out of it: the field is left nil, so its holder never frees
// the value too. One read from a container cannot leave the container, which
// keeps owning it: that is refused rather than freed twice.
Ty MethodEmitter::emit_owned(int dst, const Ast::Expr& e, const Ty& expected) {
  Ty ty = type_of(e);
  if (is_owned(ty) && !is_shared(ty) && !views.is_moved(e.id) && !is_fresh(e, ty)) {
    if (const auto* fa = e.get_if<Ast::FieldAccess>()) {
      const ClassRec* cls = class_of(type_of(*fa->object));
      int slot = cls ? cls->slot_of(fa->field) : -1;
      if (slot >= 0) {
        int obj = emit_operand(*fa->object);
        getf(dst, obj, slot, fa->pos);
        int nil = alloc_temp();
        load_int(nil, 0, fa->pos);
        setf(obj, slot, nil, fa->pos);
        return cls->fields[std::size_t(slot)].info;
      }
    } else if (e.kind == Ast::ExprKind::Index || (e.kind == Ast::ExprKind::Call && !is_fresh(e, ty))) {
      return fail(dst, e.pos, "an element of a container cannot be moved out of it — the container still owns it; "
                              "take it out with `pop` or `shift`, or store a new value");
    }
  }
  Ty got = emit_expr(dst, e, expected);
  own_text(dst, e, got);
  return got;
}

void MethodEmitter::release_if_fresh(const Ast::Expr& e, int reg, const Ty& ty) {
  if (is_fresh(e, ty)) {
    put_abc(Op::DROP, reg, 0, 0);
    mask_clear(reg);
  }
}

std::optional<int> MethodEmitter::kinds_of(const Ty& ty) const {
  if (!ty) return std::nullopt;
  const Typ& t = strip_all(*ty);
  auto kind = [&](const Typ& x) {
    int k = Types::vkb_kind_of_typ(prog.merged, strip_all(x));
    return k >= 0 && k <= 7 ? k : 0;
  };
  if (const auto* m = t.get_if<Types::TMulti>()) return kind(*m->elem);
  if (const auto* m = t.get_if<Types::TMap>()) return kind(*m->key) | kind(*m->value) << 4;
  return std::nullopt;
}

// The static type of an expression, as far as the emitter needs it.
Ty MethodEmitter::type_of(const Ast::Expr& e) const {
  const Ast::Expr* cur = &e;
  // Left-nested operator chains have the type of their leftmost operand
  // (widened to Float by any Float operand on the way up).
  bool saw_float = false;
  while (const auto* b = cur->get_if<Ast::BinOp>()) {
    if (!is_chain_op(b->op)) break;
    if (b->op == Ast::BinaryOp::Concat) return text_ty();
    if (!saw_float && b->right->kind == Ast::ExprKind::FloatLit) saw_float = true;
    cur = b->left;
  }
  if (cur != &e) {
    Ty left = type_of(*cur);
    if (saw_float || is_float(left)) return float_ty();
    if (!left) {
      const auto& top = e.as<Ast::BinOp>();
      Ty right = type_of(*top.right);
      if (is_float(right)) return float_ty();
      return right ? int_ty() : Ty();
    }
    return int_ty();
  }
  switch (cur->kind) {
    case Ast::ExprKind::IntLit: return int_ty();
    case Ast::ExprKind::FloatLit: return float_ty();
    case Ast::ExprKind::TextLit: return text_ty();
    case Ast::ExprKind::BoolLit: return bool_ty();
    case Ast::ExprKind::Interp: return text_ty();
    case Ast::ExprKind::Ident: {
      const auto& id = cur->as<Ast::Ident>();
      if (const LocalVar* l = find_local(id.name)) return l->ty;
      if (auto v = prog.variant(id.name)) return named(v->union_info->name);
      return std::nullopt;
    }
    case Ast::ExprKind::FieldAccess: {
      const auto& fa = cur->as<Ast::FieldAccess>();
      const ClassRec* c = class_of(type_of(*fa.object));
      if (!c) return std::nullopt;
      int slot = c->slot_of(fa.field);
      if (slot < 0) return std::nullopt;
      return c->fields[std::size_t(slot)].info;
    }
    case Ast::ExprKind::Index: {
      const auto& ix = cur->as<Ast::Index>();
      Ty coll = type_of(*ix.collection);
      if (!coll) return std::nullopt;
      const Typ& t = strip_all(*coll);
      if (const auto* m = t.get_if<Types::TMulti>()) return ty_of(*m->elem);
      if (const auto* m = t.get_if<Types::TMap>()) return ty_of(*m->value);
      return std::nullopt;
    }
    case Ast::ExprKind::Unary: {
      const auto& u = cur->as<Ast::Unary>();
      if (u.op == Ast::UnaryOp::Not) return bool_ty();
      return type_of(*u.operand);
    }
    case Ast::ExprKind::BinOp: return bool_ty();
    case Ast::ExprKind::Ctor: return named(cur->as<Ast::Ctor>().class_name);
    case Ast::ExprKind::Call: {
      const auto& c = cur->as<Ast::Call>();
      if (const auto* id = c.callee->get_if<Ast::Ident>()) {
        if (const Types::FnInfo* fn = prog.merged.functions.find(id->name)) {
          if (fn->fn && fn->fn->ret) return ty_of(*fn->fn->ret);
          return std::nullopt;
        }
        if (auto v = prog.variant(id->name)) return named(v->union_info->name);
        Ty first = c.args.empty() ? std::nullopt : type_of(*c.args[0]);
        if (id->name == "call" && first) {
          if (const auto* a = strip_all(*first).get_if<Types::TActor>()) return reply_type(a->message_type);
        }
        return builtin_ret(id->name, first);
      }
      if (const auto* fa = c.callee->get_if<Ast::FieldAccess>()) {
        if (const auto* obj = fa->object->get_if<Ast::Ident>(); obj && !find_local(obj->name)) {
          if (Types::library_module_call(obj->name, prog.modules)) {
            Ty first = c.args.empty() ? std::nullopt : type_of(*c.args[0]);
            return ty_of(Types::library_call_result(obj->name, fa->field,
                                                    first ? std::optional<Types::Typ>(*first) : std::nullopt));
          }
          if (const Types::ClassInfo* ci = prog.merged.classes.find(obj->name)) {
            const Ast::Method* m = ci->method(fa->field);
            return m && m->ret ? ty_of(*m->ret) : std::nullopt;
          }
          if (prog.merged.unions.contains(obj->name)) return named(obj->name);
          std::string tail = "/" + std::string(obj->name);
          for (const auto& [name, symbols] : prog.modules) {
            bool named = name == obj->name ||
                         (name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0);
            const Types::FnInfo* fn = named ? symbols.functions.find(fa->field) : nullptr;
            if (fn) return fn->fn && fn->fn->ret ? ty_of(*fn->fn->ret) : std::nullopt;
          }
        }
        Ty recv = type_of(*fa->object);
        if (const ClassRec* cls = class_of(recv); cls && cls->info) {
          const Ast::Method* m = cls->info->method(fa->field);
          return m && m->ret ? ty_of(*m->ret) : std::nullopt;
        }
        if (recv) {
          if (const Types::InterfaceInfo* i = prog.merged.interfaces.find(Types::named_name(strip_all(*recv)))) {
            for (const Ast::Signature* s : i->sigs)
              if (s->name == fa->field) return s->ret ? ty_of(*s->ret) : std::nullopt;
          }
        }
      }
      return std::nullopt;
    }
    case Ast::ExprKind::Try: return type_of(*cur->as<Ast::Try>().tried);
    case Ast::ExprKind::Spawn: {
      const Types::ClassInfo* ci = prog.merged.classes.find(cur->as<Ast::Spawn>().class_name);
      const Ast::Method* r = ci ? ci->method("receive") : nullptr;
      if (!r || r->params.size() != 1 || !r->params[0].ty) return std::nullopt;
      return ty_of(Types::t_actor(Types::named_name(*ty_of(*r->params[0].ty))));
    }
    case Ast::ExprKind::ListLit: {
      const auto& l = cur->as<Ast::ListLit>();
      if (l.elements.empty()) return std::nullopt;
      Ty elem = type_of(*l.elements[0]);
      return elem ? ty_of(Types::t_multi(*elem)) : std::nullopt;
    }
    case Ast::ExprKind::As: {
      const auto& a = cur->as<Ast::As>();
      if (a.target) return ty_of(Types::t_nullable(Types::typ_of_field_ty(*a.target)));
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

Ty MethodEmitter::reply_type(std::string_view message_type) const {
  for (const ClassRec& c : prog.classes) {
    if (!c.info) continue;
    const Ast::Method* r = c.info->method("receive");
    if (!r || r->params.size() != 1 || !r->params[0].ty) continue;
    if (Types::named_name(Types::typ_of_field_ty(*r->params[0].ty)) != message_type) continue;
    return r->ret ? ty_of(*r->ret) : std::nullopt;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- expressions

int MethodEmitter::emit_operand(const Ast::Expr& e, Ty* ty) {
  if (const auto* id = e.get_if<Ast::Ident>()) {
    if (const LocalVar* l = find_local(id->name)) {
      if (ty) *ty = l->ty;
      return l->reg;
    }
  }
  int t = alloc_temp();
  Ty got = emit_expr(t, e);
  if (ty) *ty = std::move(got);
  return t;
}

Ty MethodEmitter::emit_expr(int dst, const Ast::Expr& e, const Ty& expected) {
  if (depth >= max_depth) return fail(dst, e.pos, "expression nested too deeply to lower");
  struct Depth {
    int& d;
    explicit Depth(int& x) : d(x) { ++d; }
    ~Depth() { --d; }
  } guard(depth);
  switch (e.kind) {
    case Ast::ExprKind::IntLit:
      load_int(dst, e.as<Ast::IntLit>().value, e.pos);
      return int_ty();
    case Ast::ExprKind::FloatLit:
      load_float_bits(dst, std::bit_cast<std::uint64_t>(e.as<Ast::FloatLit>().value), e.pos);
      return float_ty();
    case Ast::ExprKind::TextLit:
      load_text(dst, e.as<Ast::TextLit>().value, e.pos);
      return text_ty();
    case Ast::ExprKind::BoolLit:
      load_int(dst, e.as<Ast::BoolLit>().value ? 1 : 0, e.pos);
      return bool_ty();
    case Ast::ExprKind::Nil: {
      if (expected && Types::is_nullable(*expected)) {
        if (is_float(expected)) {
          load_float_bits(dst, nil_float_bits, e.pos);
          return expected;
        }
        const Typ& inner = strip_all(*expected);
        if (Types::vkb_kind_of_typ(prog.merged, inner) == 0 && !class_of(expected)) {
          load_int(dst, nil_scalar, e.pos);
          return expected;
        }
      }
      load_int(dst, 0, e.pos);
      return expected;
    }
    case Ast::ExprKind::EmptyMap: return emit_empty_map(dst, e.as<Ast::EmptyMap>(), expected);
    case Ast::ExprKind::Ident: {
      const auto& id = e.as<Ast::Ident>();
      if (const LocalVar* l = find_local(id.name)) {
        move(dst, l->reg);
        // A value moved away leaves its local: no longer released on unwinding.
        if (views.is_moved(e.id) && dst != l->reg) mask_clear(l->reg);
        return l->ty;
      }
      if (auto v = prog.variant(id.name)) {
        // A variant written without arguments.
        if (!v->union_info->has_payload) {
          load_int(dst, v->index, e.pos);
          return named(v->union_info->name);
        }
        if (auto c = prog.class_id(std::string(v->union_info->name) + "." + std::string(v->variant->name))) {
          put_abx(Op::NEW, dst, *c, IndexKind::CLASS, e.pos);
          return named(v->union_info->name);
        }
      }
      return fail(dst, e.pos, q(id.name) + " is not a local, parameter, or `self` — nothing to load");
    }
    case Ast::ExprKind::FieldAccess: return emit_field_access(dst, e.as<Ast::FieldAccess>());
    case Ast::ExprKind::Index: {
      const auto& ix = e.as<Ast::Index>();
      Ty coll_ty = type_of(*ix.collection);
      Builtin id;
      Ty elem;
      const Typ* t = coll_ty ? &strip_all(*coll_ty) : nullptr;
      if (const auto* m = t ? t->get_if<Types::TMulti>() : nullptr) {
        id = Builtin::MULTI_GET;
        elem = ty_of(*m->elem);
      } else if (const auto* m = t ? t->get_if<Types::TMap>() : nullptr) {
        id = Builtin::MAP_GET;
        elem = ty_of(*m->value);
      } else {
        return fail(dst, e.pos, "indexing a value that is neither a `multi` nor a `map`");
      }
      int base = alloc_temps(2);
      emit_expr(base, *ix.collection);
      Ty key_ty = emit_expr(base + 1, *ix.index);
      sync_mask(e.id);
      builtin(dst, base, id);
      release_if_fresh(*ix.index, base + 1, key_ty);
      // A container made only for this read is released; a text element
      // leaves it shared first. An owned element cannot leave it, so such a
      // container is kept.
      if (is_fresh(*ix.collection, coll_ty) && (is_shared(elem) || !is_owned(elem))) {
        if (is_shared(elem)) builtin(dst, dst, Builtin::TEXT_COPY);
        put_abc(Op::DROP, base, 0, 0);
        mask_clear(base);
      }
      return elem;
    }
    case Ast::ExprKind::Call: return emit_call(dst, e.as<Ast::Call>(), expected);
    case Ast::ExprKind::Unary: {
      const auto& u = e.as<Ast::Unary>();
      Ty ty;
      int r = emit_operand(*u.operand, &ty);
      if (u.op == Ast::UnaryOp::Neg) {
        put_abc(is_float(ty) ? Op::FNEG : Op::NEG, dst, r, 0);
        return ty;
      }
      int zero = alloc_temp();
      load_int(zero, 0, e.pos);
      put_abc(Op::EQ, dst, r, zero);
      return bool_ty();
    }
    case Ast::ExprKind::BinOp: return emit_binary(dst, e.as<Ast::BinOp>());
    case Ast::ExprKind::Ctor: {
      const auto& c = e.as<Ast::Ctor>();
      return emit_ctor(dst, c.class_name, c.fields, e.pos);
    }
    case Ast::ExprKind::DbStub:
      sync_mask(e.id);
      put_abc(Op::DB_STUB, 0, 0, 0);
      return std::nullopt;
    case Ast::ExprKind::Insert: return emit_insert(dst, e.as<Ast::Insert>());
    case Ast::ExprKind::Delete: return emit_delete(dst, e.as<Ast::Delete>());
    case Ast::ExprKind::Query: return emit_query(dst, e.as<Ast::Query>());
    case Ast::ExprKind::Spawn: return emit_spawn(dst, e.as<Ast::Spawn>());
    case Ast::ExprKind::As: return emit_as(dst, e.as<Ast::As>());
    case Ast::ExprKind::Interp: return emit_interp_piece(dst, e.as<Ast::Interp>());
    case Ast::ExprKind::Switch: return emit_switch(dst, e.as<Ast::Switch>(), expected);
    case Ast::ExprKind::ListLit: return emit_list(dst, e.as<Ast::ListLit>(), expected);
    case Ast::ExprKind::Try: return emit_try(dst, e.as<Ast::Try>(), expected);
  }
  return fail(dst, e.pos, "cannot lower this expression");
}

Ty MethodEmitter::emit_field_access(int dst, const Ast::FieldAccess& fa) {
  Ty obj_ty = type_of(*fa.object);
  if (!obj_ty) return fail(dst, fa.pos, "cannot resolve the type of the value " + q(fa.field) + " is read from");
  const ClassRec* cls = class_of(obj_ty);
  if (!cls) {
    std::string_view n = Types::named_name(strip_all(*obj_ty));
    if (n.empty() || Types::is_builtin_scalar(n) || Types::is_heap_scalar(n) || prog.merged.unions.contains(n) ||
        prog.merged.interfaces.contains(n))
      return fail(dst, fa.pos, "field " + q(fa.field) + " read from a value that is not a class instance");
    return fail(dst, fa.pos, "field access on " + q(n) + ", which is not a declared class");
  }
  int slot = cls->slot_of(fa.field);
  if (slot < 0) return fail(dst, fa.pos, q(cls->name) + " has no field " + q(fa.field));
  int obj = emit_operand(*fa.object);
  const Ty& field_ty = cls->fields[std::size_t(slot)].info;
  if (!is_fresh(*fa.object, obj_ty)) {
    getf(dst, obj, slot, fa.pos);
    return field_ty;
  }
  // A value made only to read this field: the field's value leaves it (a text
  // is shared, an owned value is detached), then the rest is released.
  if (obj == dst) {
    obj = alloc_temp();
    move(obj, dst);
  }
  getf(dst, obj, slot, fa.pos);
  if (is_shared(field_ty)) {
    builtin(dst, dst, Builtin::TEXT_COPY);
  } else if (is_owned(field_ty)) {
    int nil = alloc_temp();
    load_int(nil, 0, fa.pos);
    setf(obj, slot, nil, fa.pos);
  }
  put_abc(Op::DROP, obj, 0, 0);
  mask_clear(obj);
  return field_ty;
}

Ty MethodEmitter::emit_interp_piece(int dst, const Ast::Interp& in) {
  Ty ty = type_of(*in.value);
  if (!ty) {
    // The value may still have a type the lowering finds on the way.
    int t = alloc_temp();
    ty = emit_expr(t, *in.value);
    if (!ty) return fail(dst, in.pos, "cannot resolve the interpolated expression's type");
    if (is_text(ty)) {
      move(dst, t);
      return text_ty();
    }
    std::string_view n = Types::named_name(strip_all(*ty));
    if (n == "Int" || n == "Float") {
      sync_mask(in.id);
      builtin(dst, t, n == "Int" ? Builtin::INT_TO_TEXT : Builtin::FLOAT_TO_TEXT);
      return text_ty();
    }
    return fail(dst, in.pos, "cannot interpolate a value of type " + q(Types::typ_label(*ty)) +
                                 " in \"${...}\" — only Text, Int, and Float are supported");
  }
  if (is_text(ty)) {
    emit_expr(dst, *in.value);
    return text_ty();
  }
  std::string_view n = Types::named_name(strip_all(*ty));
  if (n != "Int" && n != "Float")
    return fail(dst, in.pos, "cannot interpolate a value of type " + q(Types::typ_label(*ty)) +
                                 " in \"${...}\" — only Text, Int, and Float are supported");
  int t = emit_operand(*in.value);
  sync_mask(in.id);
  builtin(dst, t, n == "Int" ? Builtin::INT_TO_TEXT : Builtin::FLOAT_TO_TEXT);
  return text_ty();
}

// ---------------------------------------------------------------- binary operators

namespace {

Op arith_op(Ast::BinaryOp op, bool fl) {
  using B = Ast::BinaryOp;
  switch (op) {
    case B::Add: return fl ? Op::FADD : Op::ADD;
    case B::Sub: return fl ? Op::FSUB : Op::SUB;
    case B::Mul: return fl ? Op::FMUL : Op::MUL;
    case B::Div: return fl ? Op::FDIV : Op::DIV;
    case B::BitAnd: return Op::BAND;
    case B::BitOr: return Op::BOR;
    case B::BitXor: return Op::BXOR;
    case B::Shl: return Op::SHL;
    default: return Op::SHR;
  }
}

}  // namespace

Ty MethodEmitter::emit_binary(int dst, const Ast::BinOp& top) {
  using B = Ast::BinaryOp;
  if (is_chain_op(top.op)) {
    // Walk the left spine once, then lower each step into one accumulator,
    // so a chain of any length needs constant registers and stack.
    // Short chains (nearly all) stay in a local buffer.
    const Ast::BinOp* local_spine[8];
    std::vector<const Ast::BinOp*> long_spine;
    std::size_t spine_size = 0;
    const Ast::Expr* cur = &top;
    while (const auto* b = cur->get_if<Ast::BinOp>()) {
      if (!is_chain_op(b->op)) break;
      if (spine_size < 8) {
        local_spine[spine_size] = b;
      } else {
        if (long_spine.empty()) long_spine.assign(local_spine, local_spine + 8);
        long_spine.push_back(b);
      }
      ++spine_size;
      cur = b->left;
    }
    const Ast::BinOp* const* spine = long_spine.empty() ? local_spine : long_spine.data();
    const Ast::Expr& leftmost = *cur;
    int acc = spine_size > 1 ? alloc_temp() : -1;
    Ty acc_ty;
    int left_reg = emit_operand(leftmost, &acc_ty);
    const Ast::Expr* left_expr = &leftmost;
    bool left_fresh_acc = false;  // the left operand is the accumulator's own fresh text
    // A text lent by a field or element is kept alive by a reference of its
    // own while a later operand may replace it (`b.tag .. b.rename("c")`).
    if (lent_text(leftmost, acc_ty)) {
      bool later_writes = false;
      for (std::size_t i = 0; i < spine_size && !later_writes; ++i) later_writes = !only_reads(*spine[i]->right);
      if (later_writes) {
        int kept = alloc_temp();
        builtin(kept, left_reg, Builtin::TEXT_COPY);
        left_reg = kept;
        left_fresh_acc = true;
        left_expr = nullptr;
      }
    }
    for (std::size_t i = spine_size; i-- > 0;) {
      const Ast::BinOp& b = *spine[i];
      int out = i == 0 ? dst : acc;
      int mark = temp_mark();
      Ty right_ty;
      int right = emit_operand(*b.right, &right_ty);
      if (b.op == B::Concat) {
        // Numbers are turned into text first, as interpolation does.
        auto as_text = [&](int reg, const Ty& ty, const Ast::Expr& at, bool& fresh) {
          std::string_view n = ty ? Types::named_name(strip_all(*ty)) : std::string_view();
          if (n != "Int" && n != "Float") return reg;
          int t = alloc_temp();
          sync_mask(at.id);
          builtin(t, reg, n == "Int" ? Builtin::INT_TO_TEXT : Builtin::FLOAT_TO_TEXT);
          fresh = true;
          return t;
        };
        bool lf = left_fresh_acc || (left_expr && is_fresh(*left_expr, acc_ty));
        bool rf = is_fresh(*b.right, right_ty);
        int l = as_text(left_reg, acc_ty, b, lf);
        int r = as_text(right, right_ty, *b.right, rf);
        // Write a scratch register when the result would overwrite an operand still to release.
        int target = (lf && l == out) || (rf && r == out) ? alloc_temp() : out;
        put_abc(Op::CONCAT, target, l, r);
        if (lf) put_abc(Op::DROP, l, 0, 0);
        if (rf) put_abc(Op::DROP, r, 0, 0);
        move(out, target);
        acc_ty = text_ty();
        left_fresh_acc = true;
      } else if (b.op == B::Mod) {
        bool fl = is_float(acc_ty) || is_float(right_ty);
        int t = alloc_temp();
        put_abc(fl ? Op::FDIV : Op::DIV, t, left_reg, right);
        put_abc(fl ? Op::FMUL : Op::MUL, t, t, right);
        put_abc(fl ? Op::FSUB : Op::SUB, out, left_reg, t);
        acc_ty = fl ? float_ty() : int_ty();
        left_fresh_acc = false;
      } else {
        bool fl = (is_float(acc_ty) || is_float(right_ty)) &&
                  (b.op == B::Add || b.op == B::Sub || b.op == B::Mul || b.op == B::Div);
        put_abc(arith_op(b.op, fl), out, left_reg, right);
        acc_ty = fl ? float_ty() : int_ty();
        left_fresh_acc = false;
      }
      temp_reset(mark);
      left_reg = acc;
      left_expr = nullptr;
    }
    return acc_ty;
  }
  if (top.op == B::And || top.op == B::Or) {
    emit_expr(dst, *top.left);
    if (top.op == B::And) {
      std::size_t jz = put_jump(Op::JZ, dst);
      emit_expr(dst, *top.right);
      patch_jump(jz, here());
    } else {
      std::size_t jz = put_jump(Op::JZ, dst);
      std::size_t jend = put_jump(Op::JMP);
      patch_jump(jz, here());
      emit_expr(dst, *top.right);
      patch_jump(jend, here());
    }
    return bool_ty();
  }
  // Comparisons.
  bool left_nil = top.left->kind == Ast::ExprKind::Nil, right_nil = top.right->kind == Ast::ExprKind::Nil;
  int eq_dst = top.op == B::Ne ? alloc_temp() : dst;
  if ((top.op == B::Eq || top.op == B::Ne) && (left_nil || right_nil)) {
    // The nil test: compare with the nil constant of the other side's type.
    const Ast::Expr& other = left_nil ? *top.right : *top.left;
    Ty ty = type_of(other);
    int r = emit_operand(other, &ty);
    int k = alloc_temp();
    Ty nullable = ty && !Types::is_nullable(*ty) ? ty_of(Types::t_nullable(*ty)) : ty;
    Ast::Nil nil_node{};
    nil_node.kind = Ast::ExprKind::Nil;
    nil_node.pos = top.pos;
    emit_expr(k, nil_node, nullable);
    put_abc(Op::EQ, eq_dst, r, k);
    // A value made only to be tested (`make() == nil`) is released.
    release_if_fresh(other, r, ty);
  } else {
    Ty lt, rt;
    int l = emit_operand(*top.left, &lt);
    // A lent text the right operand may replace is kept by a reference of its own.
    bool left_kept = lent_text(*top.left, lt) && !only_reads(*top.right);
    if (left_kept) {
      int kept = alloc_temp();
      builtin(kept, l, Builtin::TEXT_COPY);
      l = kept;
    }
    int r = emit_operand(*top.right, &rt);
    bool text = is_text(lt) || is_text(rt);
    bool fl = is_float(lt) || is_float(rt);
    switch (top.op) {
      case B::Eq:
      case B::Ne:
        put_abc(text ? Op::EQS : fl ? Op::FEQ : Op::EQ, eq_dst, l, r);
        break;
      default: {
        bool swap = top.op == B::Gt || top.op == B::Ge;
        bool le = top.op == B::Le || top.op == B::Ge;
        int a = swap ? r : l, b = swap ? l : r;
        if (text) {
          // The text comparison builtin answers "does the first order before
          // the second" by bytes: `a <= b` is "b does not order before a".
          int w = alloc_temps(2);
          move(w, le ? b : a);
          move(w + 1, le ? a : b);
          sync_mask(top.id);
          if (le) {
            int cmp = alloc_temp();
            builtin(cmp, w, Builtin::TEXT_CMP);
            int zero = alloc_temp();
            load_int(zero, 0, top.pos);
            put_abc(Op::EQ, dst, cmp, zero);
          } else {
            builtin(dst, w, Builtin::TEXT_CMP);
          }
        } else {
          put_abc(fl ? (le ? Op::FLE : Op::FLT) : (le ? Op::LE : Op::LT), dst, a, b);
        }
        break;
      }
    }
    // Owned operands made for the comparison are released after it.
    if (left_kept) put_abc(Op::DROP, l, 0, 0);
    else release_if_fresh(*top.left, l, lt);
    release_if_fresh(*top.right, r, rt);
  }
  if (top.op == B::Ne) {
    int zero = alloc_temp();
    load_int(zero, 0, top.pos);
    put_abc(Op::EQ, dst, eq_dst, zero);
  }
  return bool_ty();
}

}  // namespace Emit::detail
