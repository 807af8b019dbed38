// Expressions: uses of places, calls with their per-call borrow pairs,
// constructors, `switch`, `try` and queries.
#include "owner/analyzer.hpp"

namespace Owner::detail {

namespace {

std::string quoted(std::string_view text) { return "`" + std::string(text) + "`"; }

// The root of a path made of identifiers, fields and indexes only; else null.
const Ast::Ident* plain_path_root(const Ast::Expr& e) {
  const Ast::Expr* cur = &e;
  for (int guard = 0; guard < 100000; ++guard) {
    if (const auto* id = cur->get_if<Ast::Ident>()) return id;
    if (const auto* f = cur->get_if<Ast::FieldAccess>()) {
      cur = f->object;
    } else if (const auto* x = cur->get_if<Ast::Index>()) {
      cur = x->collection;
    } else {
      return nullptr;
    }
  }
  return nullptr;
}

// The builtins that take ownership of some arguments, and which ones.
bool owning_builtin_arg(std::string_view name, std::size_t index) {
  if (name == "send" || name == "call" || name == "push") return index == 1;
  if (name == "set") return index == 1 || index == 2;
  return false;
}

// The builtins that change the container given as their first argument: it
// is borrowed exclusively, like a `mut` parameter.
bool mutating_builtin(std::string_view name) {
  return name == "push" || name == "set" || name == "remove" || name == "pop" || name == "shift" ||
         name == "sort" || name == "reverse";
}

}  // namespace

void Analyzer::read(const Ast::Expr& e) {
  if (depth_ > max_depth) return;
  ++depth_;
  using K = Ast::ExprKind;
  switch (e.kind) {
    case K::Ident:
    case K::FieldAccess:
    case K::Index:
      if (const Ast::Ident* root = plain_path_root(e)) {
        int r = find_local(root->name);
        if (r >= 0 && marks_[static_cast<std::size_t>(r)].moved) {
          if (std::optional<Place> place = place_of(e)) use_place(*place);
        }
        read_place_indexes(e);
      } else if (const auto* f = e.get_if<Ast::FieldAccess>()) {
        read(*f->object);
      } else if (const auto* x = e.get_if<Ast::Index>()) {
        read(*x->collection);
        read(*x->index);
      }
      break;
    case K::Call: call(e.as<Ast::Call>()); break;
    case K::Ctor: ctor(e.id, e.as<Ast::Ctor>().class_name, e.as<Ast::Ctor>().fields); break;
    case K::Spawn: ctor(e.id, e.as<Ast::Spawn>().class_name, e.as<Ast::Spawn>().fields); break;
    case K::DbStub: live_mask(e.id, e.pos); break;
    case K::Insert:
      for (const Ast::FieldInit& f : e.as<Ast::Insert>().fields) read(*f.value);
      live_mask(e.id, e.pos);
      break;
    case K::Delete:
      read(*e.as<Ast::Delete>().target);
      live_mask(e.id, e.pos);
      break;
    case K::Query: query(e.as<Ast::Query>()); break;
    case K::Switch: switch_expr(e.as<Ast::Switch>()); break;
    case K::Try: try_expr(e.as<Ast::Try>()); break;
    case K::Unary: read(*e.as<Ast::Unary>().operand); break;
    case K::BinOp:
      read(*e.as<Ast::BinOp>().left);
      read(*e.as<Ast::BinOp>().right);
      break;
    case K::Interp: read(*e.as<Ast::Interp>().value); break;
    case K::As: read(*e.as<Ast::As>().value); break;
    case K::ListLit:
      // Each element is pushed into the new container, which then owns it.
      for (const Ast::Expr* el : e.as<Ast::ListLit>().elements) {
        read(*el);
        if (std::optional<Place> place = place_of(*el); place && !stored_by_copy(*place))
          transfer(*place, "cannot be stored in a container", MoveKind::Arg, "element");
      }
      break;
    case K::Nil:
    case K::EmptyMap:
    case K::IntLit:
    case K::FloatLit:
    case K::TextLit:
    case K::BoolLit:
      break;
  }
  --depth_;
}

void Analyzer::use_place(const Place& place) {
  int r = find_local(place.root);
  if (r < 0 || !marks_[static_cast<std::size_t>(r)].moved) return;
  Ast::Pos at = marks_[static_cast<std::size_t>(r)].at;
  std::string_view name = locals_[static_cast<std::size_t>(r)].name;
  if (at.line == place.root_pos.line && at.col == place.root_pos.col) {
    report(use_after_move_code, place.root_pos,
           "use of " + quoted(place_text(place)) + " after it was moved on the previous loop iteration",
           Diag::related_site(path_, at.line, at.col, quoted(name) + " is moved here, once per iteration"));
  } else {
    report(use_after_move_code, place.root_pos, "use of " + quoted(place_text(place)) + " after it was moved",
           Diag::related_site(path_, at.line, at.col, quoted(name) + " moved here"));
  }
}

void Analyzer::read_place_indexes(const Ast::Expr& e) {
  const Ast::Expr* cur = &e;
  for (int guard = 0; cur && guard < 100000; ++guard) {
    if (const auto* f = cur->get_if<Ast::FieldAccess>()) {
      cur = f->object;
    } else if (const auto* x = cur->get_if<Ast::Index>()) {
      read(*x->index);
      cur = x->collection;
    } else {
      return;
    }
  }
}

void Analyzer::call(const Ast::Call& c) {
  std::span<const Ast::Param> params;
  bool params_known = false;
  std::string_view builtin;  // a builtin called by plain name
  std::vector<Access1> accesses;

  if (const auto* id = c.callee->get_if<Ast::Ident>()) {
    if (const Types::FnInfo* fn = symbols_.functions.find(id->name); fn && fn->fn) {
      params = fn->fn->params;
      params_known = true;
    } else if (fn) {
      // a declared function without a record: parameters unknown
    } else if (auto v = Types::find_variant_in(symbols_, id->name)) {
      variant_ctor(c, *v);
      return;
    } else {
      builtin = id->name;
    }
  } else if (const auto* f = c.callee->get_if<Ast::FieldAccess>()) {
    const auto* obj = f->object->get_if<Ast::Ident>();
    const Types::ClassInfo* static_class =
        obj && find_local(obj->name) < 0 ? symbols_.classes.find(obj->name) : nullptr;
    if (static_class) {
      if (const Ast::Method* m = static_class->method(f->field)) {
        params = m->params;
        params_known = true;
      }
    } else if (obj && find_local(obj->name) < 0 && Types::is_stdlib_module(obj->name)) {
      // a library member: plain arguments
      if (const Types::StdlibMember* m = Types::stdlib_member(obj->name, f->field); m && !m->record.empty())
        need_record(m->record);
    } else {
      read(*f->object);
      const Ast::Method* m = method_of(type_of(*f->object), f->field);
      if (m) {
        params = m->params;
        params_known = true;
      }
      std::optional<Place> receiver = place_of(*f->object);
      if (receiver && class_of_expr(*f->object) == OClass::Owned) {
        Access kind = m && assigns_self(*m) ? Access::BorrowX : Access::BorrowS;
        accesses.push_back(Access1{canonical(*receiver), place_text(*receiver), kind});
      }
    }
  } else {
    read(*c.callee);
  }

  for (const Ast::Expr* arg : c.args) read(*arg);

  for (std::size_t i = 0; i < c.args.size(); ++i) {
    const Ast::Expr& arg = *c.args[i];
    std::string name;
    Ast::ParamMode mode = Ast::ParamMode::Borrowed;
    if (params_known) {
      if (i < params.size()) {
        name = std::string(params[i].name);
        mode = params[i].mode;
      } else {
        name = "_";
      }
    } else {
      name = "arg" + std::to_string(i + 1);
    }
    if (class_of_expr(arg) != OClass::Owned) continue;
    std::optional<Place> place = place_of(arg);
    if (!place) continue;
    int r = find_local(place->root);
    bool escapes = r >= 0 && locals_[static_cast<std::size_t>(r)].borrow;
    Access kind = mode == Ast::ParamMode::Mut ? Access::BorrowX : Access::BorrowS;
    if (!builtin.empty() && i == 0 && mutating_builtin(builtin)) kind = Access::BorrowX;
    if (!builtin.empty() && owning_builtin_arg(builtin, i)) {
      if (!stored_by_copy(*place)) {
        std::string description = builtin == "send" || builtin == "call"
                                      ? "cannot be sent — a message moves to the receiver"
                                      : "cannot be stored in a container";
        transfer(*place, description, MoveKind::Arg, "element");
        if (!escapes) kind = Access::Move;
      }
    } else if (mode == Ast::ParamMode::Take) {
      transfer(*place, "cannot be passed to `take " + name + "`", MoveKind::Arg, name);
      if (escapes) continue;
      kind = Access::Move;
    }
    accesses.push_back(Access1{canonical(*place), place_text(*place), kind});
  }
  pair_check(c, accesses);
  // What the callee may change must not be borrowed by a local that outlives
  // the call: checked as an assignment to it would be.
  for (const Access1& a : accesses) {
    if (a.kind != Access::BorrowX) continue;
    if (std::optional<Place> written = place_of(*a.place.expr)) check_borrows(*written, Access::BorrowX, c.id, c.pos);
  }
  live_mask(c.id, c.pos);
}

void Analyzer::pair_check(const Ast::Call& c, const std::vector<Access1>& accesses) {
  for (std::size_t j = 1; j < accesses.size(); ++j) {
    for (std::size_t i = 0; i < j; ++i) {
      const Access1& a = accesses[i];
      const Access1& b = accesses[j];
      if (a.kind == Access::BorrowS && b.kind == Access::BorrowS) continue;
      switch (relate(a.place, b.place)) {
        case Relation::Disjoint:
          break;
        case Relation::Overlap:
          if (a.kind == Access::Move && b.kind == Access::Move) {
            report(use_after_move_code, b.place.root_pos, "use of " + quoted(b.written) + " after it was moved",
                   Diag::related_site(path_, a.place.root_pos.line, a.place.root_pos.col,
                                      quoted(a.written) + " moved here"));
          } else if (a.kind == Access::Move || b.kind == Access::Move) {
            const Access1& moved = a.kind == Access::Move ? a : b;
            const Access1& borrowed = a.kind == Access::Move ? b : a;
            report(move_while_borrowed_code, moved.place.root_pos,
                   "cannot move " + quoted(moved.written) + " while " + quoted(borrowed.written) +
                       " is borrowed in the same call",
                   Diag::related_site(path_, borrowed.place.root_pos.line, borrowed.place.root_pos.col,
                                      quoted(borrowed.written) + " borrowed here"));
          } else {
            report(mutate_while_borrowed_code, b.place.root_pos,
                   "cannot borrow " + quoted(b.written) + " as `mut` twice in the same call",
                   Diag::related_site(path_, a.place.root_pos.line, a.place.root_pos.col,
                                      quoted(a.written) + " first borrowed here"));
          }
          break;
        case Relation::Undecided:
          if (stores()) {
            out_.residual.push_back(Residual{c.id, c.pos, place_text(a.place), a.kind, a.place.id,
                                             place_text(b.place), b.kind, b.place.id});
          }
          break;
      }
    }
  }
}

void Analyzer::ctor(Ast::NodeId, std::string_view class_name, std::span<const Ast::FieldInit> fields) {
  // Read and move field by field, so a value given to two fields is a use after move.
  for (const Ast::FieldInit& f : fields) {
    read(*f.value);
    if (std::optional<Place> place = place_of(*f.value)) {
      transfer(*place, "cannot be stored in `" + std::string(class_name) + "." + std::string(f.field) + "`",
               MoveKind::Ctor, class_name);
    }
  }
}

void Analyzer::variant_ctor(const Ast::Call& c, const Types::FoundVariant& v) {
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    read(*c.args[i]);
    std::optional<Place> place = place_of(*c.args[i]);
    if (!place) continue;
    std::string field = v.variant && i < v.variant->payload.size() ? std::string(v.variant->payload[i].name)
                                                                    : "arg" + std::to_string(i + 1);
    std::string_view variant = v.variant ? v.variant->name : std::string_view();
    transfer(*place, "cannot be stored in `" + std::string(variant) + "." + field + "`", MoveKind::Ctor, variant);
  }
}

}  // namespace Owner::detail
