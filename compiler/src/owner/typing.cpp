// The types the ownership pass needs: the known type of an expression (as the
// type checker's confident typing gives it) and the ownership class of a type.
#include "owner/analyzer.hpp"

namespace Owner {

OClass oclass_of(const Types::Symbols& symbols, const Types::Typ& ty) {
  const Types::Typ& t = Types::strip_nullable(ty);
  if (const auto* named = t.get_if<Types::TNamed>()) {
    std::string_view name = named->name;
    if (Types::is_heap_scalar(name)) return OClass::Owned;
    if (Types::is_builtin_scalar(name)) return OClass::Copy;
    if (symbols.classes.contains(name)) {
      return Types::is_gc_class(symbols, name) ? OClass::Gc : OClass::Owned;
    }
    if (const Types::UnionInfo* u = symbols.unions.find(name)) {
      return u->has_payload ? OClass::Owned : OClass::Copy;
    }
    // An interface value is the class instance it holds, owned like one.
    if (symbols.interfaces.contains(name)) return OClass::Owned;
    return OClass::Copy;
  }
  if (t.is<Types::TMulti>() || t.is<Types::TMap>()) return OClass::Owned;
  return OClass::Copy;  // ref, actor, void, `??T`
}

namespace detail {

namespace {

std::optional<Types::Typ> result_of(const Ast::Method& m) {
  if (!m.ret) return Types::t_void();
  return Types::typ_of_field_ty(*m.ret);
}

bool is_comparison(Ast::BinaryOp op) {
  using B = Ast::BinaryOp;
  return op == B::Eq || op == B::Ne || op == B::Lt || op == B::Le || op == B::Gt || op == B::Ge ||
         op == B::And || op == B::Or;
}

bool is_bitwise(Ast::BinaryOp op) {
  using B = Ast::BinaryOp;
  return op == B::BitAnd || op == B::BitOr || op == B::BitXor || op == B::Shl || op == B::Shr;
}

// Does any statement under `stmts` assign to a place rooted at `self`?
bool assigns_self_in(Ast::List<Ast::Stmt> stmts, int depth);

bool assigns_self_expr(const Ast::Expr* e, int depth) {
  if (!e || depth > max_depth) return false;
  if (const auto* s = e->get_if<Ast::Switch>()) {
    for (const Ast::SwitchArm& arm : s->arms)
      if (assigns_self_in(arm.body, depth + 1)) return true;
    return false;
  }
  if (const auto* t = e->get_if<Ast::Try>()) {
    return assigns_self_expr(t->tried, depth + 1) || assigns_self_in(t->catch_block, depth + 1);
  }
  if (const auto* c = e->get_if<Ast::Call>()) {
    for (const Ast::Expr* a : c->args)
      if (assigns_self_expr(a, depth + 1)) return true;
  }
  return false;
}

const Ast::Expr* root_of(const Ast::Expr* e) {
  for (int guard = 0; e && guard < 100000; ++guard) {
    if (const auto* f = e->get_if<Ast::FieldAccess>()) {
      e = f->object;
    } else if (const auto* x = e->get_if<Ast::Index>()) {
      e = x->collection;
    } else {
      return e;
    }
  }
  return nullptr;
}

bool assigns_self_in(Ast::List<Ast::Stmt> stmts, int depth) {
  if (depth > max_depth) return false;
  for (const Ast::Stmt* s : stmts) {
    switch (s->kind) {
      case Ast::StmtKind::Assign: {
        const auto& a = s->as<Ast::Assign>();
        const Ast::Expr* root = root_of(a.target);
        if (root && root->kind == Ast::ExprKind::Ident && root->as<Ast::Ident>().name == "self")
          return true;
        if (assigns_self_expr(a.value, depth + 1)) return true;
        break;
      }
      case Ast::StmtKind::If: {
        const auto& i = s->as<Ast::If>();
        if (assigns_self_in(i.then_block, depth + 1)) return true;
        if (i.else_part && assigns_self_in(i.else_part->body, depth + 1)) return true;
        break;
      }
      case Ast::StmtKind::While:
        if (assigns_self_in(s->as<Ast::While>().body, depth + 1)) return true;
        break;
      case Ast::StmtKind::For:
        if (assigns_self_in(s->as<Ast::For>().body, depth + 1)) return true;
        break;
      case Ast::StmtKind::DoWhile:
        if (assigns_self_in(s->as<Ast::DoWhile>().body, depth + 1)) return true;
        break;
      case Ast::StmtKind::Let:
        if (assigns_self_expr(s->as<Ast::Let>().value, depth + 1)) return true;
        break;
      case Ast::StmtKind::ExprStmt:
        if (assigns_self_expr(s->as<Ast::ExprStmt>().expr, depth + 1)) return true;
        break;
      case Ast::StmtKind::Return:
        if (assigns_self_expr(s->as<Ast::Return>().value, depth + 1)) return true;
        break;
      case Ast::StmtKind::Break:
      case Ast::StmtKind::Continue:
        break;
    }
  }
  return false;
}

}  // namespace

OClass Analyzer::class_of(const std::optional<Types::Typ>& ty) const {
  return ty ? oclass_of(symbols_, *ty) : OClass::Copy;
}

OClass Analyzer::class_of_expr(const Ast::Expr& e) const {
  using K = Ast::ExprKind;
  switch (e.kind) {
    case K::Nil:
    case K::EmptyMap:
    case K::IntLit:
    case K::FloatLit:
    case K::BoolLit:
    case K::Unary:
      return OClass::Copy;
    case K::TextLit:
    case K::Interp:
      return OClass::Owned;  // Text
    case K::Ident: {
      int i = find_local(e.as<Ast::Ident>().name);
      return i < 0 ? OClass::Copy : locals_[static_cast<std::size_t>(i)].oclass;
    }
    default:
      return class_of(type_of(e));
  }
}

const Types::ClassInfo* Analyzer::class_of_typ(const std::optional<Types::Typ>& ty) const {
  if (!ty) return nullptr;
  const Types::Typ& t = Types::strip_nullable(*ty);
  if (const auto* named = t.get_if<Types::TNamed>()) return symbols_.classes.find(named->name);
  if (const auto* r = t.get_if<Types::TRef>()) return symbols_.classes.find(r->class_name);
  return nullptr;
}

const Ast::Method* Analyzer::method_of(const std::optional<Types::Typ>& receiver,
                                       std::string_view name) const {
  const Types::ClassInfo* info = class_of_typ(receiver);
  return info ? info->method(name) : nullptr;
}

bool Analyzer::assigns_self(const Ast::Method& m) const {
  auto it = assigns_self_.find(&m);
  if (it != assigns_self_.end()) return it->second;
  bool answer = assigns_self_in(m.body, 0);
  assigns_self_.emplace(&m, answer);
  return answer;
}

std::optional<Types::Typ> Analyzer::type_of(const Ast::Expr& e) const {
  using K = Ast::ExprKind;
  switch (e.kind) {
    case K::IntLit: return Types::t_named("Int");
    case K::FloatLit: return Types::t_named("Float");
    case K::TextLit:
    case K::Interp: return Types::t_named("Text");
    case K::BoolLit: return Types::t_named("Bool");
    case K::Nil:
    case K::EmptyMap:
    case K::Switch:
    case K::Query:
    case K::DbStub: return std::nullopt;
    case K::Ident: {
      int i = find_local(e.as<Ast::Ident>().name);
      if (i < 0) return std::nullopt;
      return locals_[static_cast<std::size_t>(i)].ty;
    }
    case K::FieldAccess: {
      const auto& f = e.as<Ast::FieldAccess>();
      const Types::ClassInfo* info = class_of_typ(type_of(*f.object));
      if (!info) return std::nullopt;
      const Ast::Field* field = info->field(f.field);
      if (!field || !field->ty) return std::nullopt;
      return Types::typ_of_field_ty(*field->ty);
    }
    case K::Index: {
      const auto& x = e.as<Ast::Index>();
      auto coll = type_of(*x.collection);
      if (!coll) return std::nullopt;
      const Types::Typ& t = Types::strip_nullable(*coll);
      if (const auto* m = t.get_if<Types::TMulti>()) return *m->elem;
      if (const auto* m = t.get_if<Types::TMap>()) return *m->value;
      return std::nullopt;
    }
    case K::Call: {
      const auto& c = e.as<Ast::Call>();
      if (const auto* id = c.callee->get_if<Ast::Ident>()) {
        if (const Types::FnInfo* fn = symbols_.functions.find(id->name)) {
          if (fn->fn) return result_of(*fn->fn);
          return std::nullopt;
        }
        if (auto v = Types::find_variant_in(symbols_, id->name)) return Types::t_named(v->union_info->name);
        if (id->name == "send" || id->name == "call") return std::nullopt;
        std::optional<Types::Typ> first;
        if (!c.args.empty()) first = type_of(*c.args[0]);
        return Types::builtin_confident_ret(id->name, first);
      }
      if (const auto* f = c.callee->get_if<Ast::FieldAccess>()) {
        if (const auto* obj = f->object->get_if<Ast::Ident>(); obj && find_local(obj->name) < 0) {
          if (const Types::ClassInfo* info = symbols_.classes.find(obj->name)) {
            const Ast::Method* m = info->method(f->field);
            return m ? result_of(*m) : std::nullopt;
          }
          if (Types::is_stdlib_module(obj->name)) {
            const Types::StdlibMember* member = Types::stdlib_member(obj->name, f->field);
            return member ? Types::stdlib_member_result(*member) : std::nullopt;
          }
        }
        const Ast::Method* m = method_of(type_of(*f->object), f->field);
        return m ? result_of(*m) : std::nullopt;
      }
      return std::nullopt;
    }
    case K::Unary:
      if (e.as<Ast::Unary>().op == Ast::UnaryOp::Not) return Types::t_named("Bool");
      return std::nullopt;
    case K::BinOp: {
      Ast::BinaryOp op = e.as<Ast::BinOp>().op;
      if (op == Ast::BinaryOp::Concat) return Types::t_named("Text");
      if (is_comparison(op)) return Types::t_named("Bool");
      if (is_bitwise(op)) return Types::t_named("Int");
      return std::nullopt;
    }
    case K::Ctor: {
      std::string_view name = e.as<Ast::Ctor>().class_name;
      if (symbols_.classes.contains(name)) return Types::t_named(name);
      return std::nullopt;
    }
    case K::Insert:
    case K::Delete: return Types::t_named("Int");
    case K::Spawn: {
      const Types::ClassInfo* info = symbols_.classes.find(e.as<Ast::Spawn>().class_name);
      const Ast::Method* receive = info ? info->method("receive") : nullptr;
      if (!receive || receive->params.size() != 1 || !receive->params[0].ty) return std::nullopt;
      if (const auto* n = receive->params[0].ty->get_if<Ast::TyName>()) return Types::t_actor(n->name);
      return std::nullopt;
    }
    case K::ListLit: {
      const auto& l = e.as<Ast::ListLit>();
      if (l.elements.empty()) return std::nullopt;
      auto first = type_of(*l.elements[0]);
      if (!first) return std::nullopt;
      return Types::t_multi(*first);
    }
    case K::As: return Types::t_nullable(Types::typ_of_field_ty(*e.as<Ast::As>().target));
    case K::Try: return type_of(*e.as<Ast::Try>().tried);
  }
  return std::nullopt;
}

}  // namespace detail
}  // namespace Owner
