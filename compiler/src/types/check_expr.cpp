// Typing of expressions: the dispatcher, names, fields, indexing, unary
// operators, list literals, `as`, interpolation and `try`.
#include "typing.hpp"

namespace Types::Typing {

ExprInfo Checker::expr(const Ast::Expr& e, bool value_used) {
  if (depth_ >= max_depth) return unknown_info();
  ++depth_;
  ExprInfo info = expr_of_kind(e, value_used);
  --depth_;
  return info;
}

// Each kind returns its answer directly rather than assigning over a default.
ExprInfo Checker::expr_of_kind(const Ast::Expr& e, bool value_used) {
  switch (e.kind) {
    case Ast::ExprKind::Nil: {
      ExprInfo info;
      info.is_nil = true;
      return info;
    }
    case Ast::ExprKind::EmptyMap:
    case Ast::ExprKind::DbStub:
      return unknown_info();
    case Ast::ExprKind::IntLit: return known_info(t_named("Int"));
    case Ast::ExprKind::FloatLit: return known_info(t_named("Float"));
    case Ast::ExprKind::TextLit: return known_info(t_named("Text"));
    case Ast::ExprKind::BoolLit: return known_info(t_named("Bool"));
    case Ast::ExprKind::Ident: return ident(e.as<Ast::Ident>());
    case Ast::ExprKind::FieldAccess: return field_access(e.as<Ast::FieldAccess>());
    case Ast::ExprKind::Index: return index(e.as<Ast::Index>());
    case Ast::ExprKind::Call: return call(e.as<Ast::Call>());
    case Ast::ExprKind::Unary: return unary(e.as<Ast::Unary>());
    case Ast::ExprKind::BinOp: return binop_chain(e.as<Ast::BinOp>());
    case Ast::ExprKind::Ctor: {
      const auto& c = e.as<Ast::Ctor>();
      return ctor(c.class_name, c.fields, c.pos, false);
    }
    case Ast::ExprKind::Insert: {
      const auto& i = e.as<Ast::Insert>();
      return ctor(i.class_name, i.fields, i.pos, true);
    }
    case Ast::ExprKind::Delete: return delete_expr(e.as<Ast::Delete>());
    case Ast::ExprKind::Interp:
      // A nil piece would print as nothing at all.
      if (const Ast::Expr* v = e.as<Ast::Interp>().value) require_plain(*v, expr(*v));
      return known_info(t_named("Text"));
    case Ast::ExprKind::Switch: return switch_expr(e.as<Ast::Switch>(), value_used);
    case Ast::ExprKind::Spawn: return spawn(e.as<Ast::Spawn>());
    case Ast::ExprKind::ListLit: return list_lit(e.as<Ast::ListLit>());
    case Ast::ExprKind::As: {
      const auto& a = e.as<Ast::As>();
      if (a.value) expr(*a.value);
      if (a.target) return known_info(t_nullable(typ_of_field_ty(*a.target)));
      return unknown_info();
    }
    case Ast::ExprKind::Try: return try_expr(e.as<Ast::Try>(), value_used);
    case Ast::ExprKind::Query: return query(e.as<Ast::Query>());
  }
  return unknown_info();
}

ExprInfo Checker::ident(const Ast::Ident& id) {
  if (const Typ* ty = env_.find(id.name)) return known_info(*ty);
  return unknown_info();
}

const ClassInfo* Checker::class_of(const Typ& ty) const {
  const Typ& t = strip_nullable(ty);
  if (const TRef* r = t.get_if<TRef>()) return ctx_.merged.classes.find(r->class_name);
  std::string_view name = named_name(t);
  return name.empty() ? nullptr : ctx_.merged.classes.find(name);
}

Typ Checker::reach_through(const Ast::Expr& object, const ExprInfo& info) {
  if (!is_nullable(info.ty)) return info.ty;
  report(nil_reach_code, object.pos,
         expr_label(object) + " is possibly nil (`?T`) — check it against `nil` before reaching through it");
  return strip_nullable(info.ty);
}

ExprInfo Checker::field_access(const Ast::FieldAccess& fa, const ClassInfo** owner) {
  if (!fa.object) return unknown_info();
  ExprInfo object = expr(*fa.object);
  Typ ty = reach_through(*fa.object, object);
  const ClassInfo* cls = class_of(ty);
  if (!cls) return unknown_info();
  const Ast::Field* field = cls->field(fa.field);
  if (!field) {
    report(unknown_field_code, fa.pos,
           "unknown field " + quoted(fa.field) + " on " + quoted(cls->name));
    return unknown_info();
  }
  if (owner) *owner = cls;
  if (!field->ty) return unknown_info();
  return known_info(typ_of_field_ty(*field->ty));
}

ExprInfo Checker::index(const Ast::Index& ix) {
  std::optional<Typ> collection;
  if (ix.collection) collection = expr(*ix.collection).known;
  if (ix.index) expr(*ix.index);
  if (!collection) return unknown_info();
  const Typ& t = strip_nullable(*collection);
  if (const TMulti* m = t.get_if<TMulti>()) return known_info(*m->elem);
  if (const TMap* m = t.get_if<TMap>()) return known_info(*m->value);
  return unknown_info();
}

ExprInfo Checker::unary(const Ast::Unary& u) {
  if (!u.operand) return unknown_info();
  ExprInfo operand = expr(*u.operand);
  require_plain(*u.operand, operand);
  if (u.op == Ast::UnaryOp::Neg) {
    if (operand.known) {
      NumericWorld world = numeric_world(named_name(strip_nullable(*operand.known)));
      if (world != NumericWorld::None) return known_info(t_named(world == NumericWorld::Float ? "Float" : "Int"));
    }
    ExprInfo info;
    info.ty = operand.is_nil ? t_named("Int") : operand.ty;
    return info;
  }
  if (operand.known && named_name(*operand.known) != "Bool") {
    report(type_code, u.operand->pos,
           "`not` operand must be `Bool`, got `" + typ_label(*operand.known) + "` -- no truthiness in this language");
  }
  return known_info(t_named("Bool"));
}

// The first element fixes the element type; every other must fit it.
ExprInfo Checker::list_lit(const Ast::ListLit& l) {
  std::optional<Typ> first;
  for (std::size_t i = 0; i < l.elements.size(); ++i) {
    if (!l.elements[i]) continue;
    ExprInfo element = expr(*l.elements[i]);
    if (i == 0) {
      first = element.known;
    } else if (first) {
      check_fit(*first, [] { return std::string("an element of this list"); }, *l.elements[i], element);
    }
  }
  if (!first) return unknown_info();
  return known_info(t_multi(*first));
}

ExprInfo Checker::try_expr(const Ast::Try& t, bool value_used) {
  ExprInfo tried;
  if (t.tried) tried = expr(*t.tried);
  Mark m = mark();
  bind(t.catch_var, t_named(error_record));
  std::optional<Typ> caught = block(t.catch_block, value_used);
  restore(m);
  // Used as a statement, the arms' values are dropped and need not agree.
  if (value_used && tried.known && caught && !typ_equal(ctx_.merged, *tried.known, *caught)) {
    const Ast::Stmt* last = t.catch_block.back();
    const Ast::Expr* value = last->as<Ast::ExprStmt>().expr;
    report(type_code, value ? value->pos : last->pos,
           "the `catch` arm yields `" + typ_label(*caught) + "`, but the `try` arm yields `" +
               typ_label(*tried.known) + "` — both arms of a `try` expression must have one type");
  }
  if (!tried.known) return unknown_info();
  return known_info(*tried.known);
}

}  // namespace Types::Typing
