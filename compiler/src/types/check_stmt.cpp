// Typing of statements: blocks and their scopes, `let`, assignment with
// `pub(read)` and nil safety, `if` and loops with nil narrowing, `for` and
// `return`.
#include "typing.hpp"

namespace Types::Typing {

namespace {

bool ends_in_jump(Ast::List<Ast::Stmt> block) {
  if (block.empty() || !block.back()) return false;
  switch (block.back()->kind) {
    case Ast::StmtKind::Return:
    case Ast::StmtKind::Break:
    case Ast::StmtKind::Continue:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<Typ> Checker::block(Ast::List<Ast::Stmt> stmts, bool yields, std::vector<LostNarrowing>* settled) {
  if (depth_ >= max_depth) return std::nullopt;
  ++depth_;
  const Mark m = mark();
  std::optional<Typ> last;
  for (std::size_t i = 0; i < stmts.size(); ++i) {
    if (!stmts[i]) continue;
    const auto* value = stmts[i]->get_if<Ast::ExprStmt>();
    if (value && i + 1 == stmts.size() && value->expr) {
      last = expr(*value->expr, yields).known;
    } else {
      stmt(*stmts[i]);
    }
  }
  if (settled) {
    std::erase_if(*settled, [&](const LostNarrowing& n) {
      const DeclaredScope::Binding* b = declared_.find(n.name);
      return !b || b->serial != n.serial || !is_narrowed(n.name);
    });
  }
  restore(m);
  --depth_;
  return last;
}

void Checker::stmt(const Ast::Stmt& s) {
  switch (s.kind) {
    case Ast::StmtKind::Break:
      note_jump(true);
      break;
    case Ast::StmtKind::Continue:
      note_jump(false);
      break;
    case Ast::StmtKind::Let: let(s.as<Ast::Let>()); break;
    case Ast::StmtKind::Assign: assign(s.as<Ast::Assign>()); break;
    case Ast::StmtKind::If: if_stmt(s.as<Ast::If>()); break;
    case Ast::StmtKind::While:
    case Ast::StmtKind::DoWhile:
    case Ast::StmtKind::For:
      loop(s);
      break;
    case Ast::StmtKind::Return: return_stmt(s.as<Ast::Return>()); break;
    case Ast::StmtKind::ExprStmt:
      if (const Ast::Expr* e = s.as<Ast::ExprStmt>().expr) expr(*e, false);
      break;
  }
}

void Checker::let(const Ast::Let& l) {
  ExprInfo value = l.value ? expr(*l.value) : unknown_info();
  if (!l.declared_type) {
    bind(l.name, value.known);
    return;
  }
  Typ declared = typ_of_field_ty(*l.declared_type);
  if (l.value) {
    check_store(declared, [&] { return "`" + std::string(l.name) + ": " + typ_label(declared) + "`"; }, *l.value, value);
    check_iface_boundary(ctx_.path, ctx_.merged, *sink_, declared, value.known, l.value->pos);
    check_fit(declared, [&] { return quoted(l.name); }, *l.value, value);
  }
  bind(l.name, std::move(declared));
}

// A name is checked against its declared type, not its narrowed one: storing
// a possibly-nil value into a nullable variable is fine, and the variable is
// no longer narrowed afterwards.
void Checker::assign(const Ast::Assign& a) {
  if (!a.target || !a.value) return;
  ExprInfo value = expr(*a.value);
  std::optional<Typ> target;
  if (const auto* id = a.target->get_if<Ast::Ident>()) {
    if (const DeclaredScope::Binding* b = declared_.find(id->name)) {
      target = b->ty;
    } else if (const Typ* ty = env_.find(id->name)) {
      target = *ty;
    }
  } else if (const auto* fa = a.target->get_if<Ast::FieldAccess>()) {
    const ClassInfo* owner = nullptr;
    target = field_access(*fa, &owner).known;
    const Ast::Field* field = owner ? owner->field(fa->field) : nullptr;
    if (field && field->pub_read && ctx_.current_class != owner->name) {
      report(pub_read_code, a.target->pos,
             "field " + quoted(field->name) + " of class " + quoted(owner->name) +
                 " is pub(read) — readable anywhere, writable only inside " + quoted(owner->name));
    }
  } else if (a.target->kind == Ast::ExprKind::Index) {
    target = expr(*a.target).known;
  } else {
    expr(*a.target);
  }
  if (!target) return;
  check_store(*target, [&] { return expr_label(*a.target) + " (`" + typ_label(*target) + "`)"; }, *a.value, value);
  check_fit(*target,
            [&] { return a.target->kind == Ast::ExprKind::Index ? std::string("the element") : expr_label(*a.target); },
            *a.value, value);
  const bool may_be_nil = value.is_nil || is_nullable(value.ty);
  const auto* id = a.target->get_if<Ast::Ident>();
  if (!id || !is_nullable(*target)) return;
  if (may_be_nil) {
    lose_narrowing(id->name);
  } else if (value.known && !is_narrowed(id->name) && declared_.find(id->name)) {
    // A plain value was stored: the name is not nil until the next store.
    env_.bind(id->name, strip_nullable(*target));
  }
}

void Checker::lose_narrowing(std::string_view name) {
  if (!is_narrowed(name)) return;
  const DeclaredScope::Binding* b = declared_.find(name);
  env_.bind(name, *b->ty);
  lost_.push_back(LostNarrowing{name, b->serial});
}

void Checker::note_jump(bool is_break) {
  for (std::size_t i = loop_lost_start_; i < lost_.size(); ++i) {
    const DeclaredScope::Binding* b = declared_.find(lost_[i].name);
    if (b && b->serial == lost_[i].serial && !is_narrowed(lost_[i].name)) jumped_.push_back(Jump{lost_[i], is_break});
  }
}

void Checker::if_stmt(const Ast::If& i) {
  NilFacts facts;
  if (i.cond) {
    expr(*i.cond);
    facts = nil_facts(*i.cond);
  }
  // `if x == nil { x = fallback }`: where the block leaves x narrowed, x
  // is not nil after the `if` on either path.
  std::vector<LostNarrowing> settled;
  if (!i.else_part) {
    for (std::string_view name : facts.when_false) {
      const DeclaredScope::Binding* b = declared_.find(name);
      if (b && b->ty && is_nullable(*b->ty) && !is_narrowed(name)) settled.push_back(LostNarrowing{name, b->serial});
    }
  }
  Mark m = mark();
  narrow(facts.when_true);
  block(i.then_block, false, settled.empty() ? nullptr : &settled);
  restore(m);
  if (i.else_part) {
    m = mark();
    narrow(facts.when_false);
    block(i.else_part->body);
    restore(m);
  } else if (ends_in_jump(i.then_block)) {
    // `if x == nil { return }`: below it, x is not nil.
    narrow(facts.when_false);
  } else {
    for (const LostNarrowing& n : settled) {
      const DeclaredScope::Binding* b = declared_.find(n.name);
      if (b && b->serial == n.serial) env_.bind(n.name, strip_nullable(*b->ty));
    }
  }
}

void Checker::loop(const Ast::Stmt& s) {
  if (trial_depth_ >= max_trial_depth) {
    switch (s.kind) {
      case Ast::StmtKind::While: unnarrow_assigned(s.as<Ast::While>().body); break;
      case Ast::StmtKind::DoWhile: unnarrow_assigned(s.as<Ast::DoWhile>().body); break;
      case Ast::StmtKind::For: unnarrow_assigned(s.as<Ast::For>().body); break;
      default: break;
    }
    loop_once(s);
    return;
  }
  const Mark before = mark();
  const std::uint32_t entry_serial = declared_.next_serial();
  Diag::Collector scratch;
  std::vector<Ast::NodeId> scratch_calls;
  Diag::Collector* real_sink = sink_;
  std::vector<Ast::NodeId>* real_calls = using_calls_;
  sink_ = &scratch;
  using_calls_ = &scratch_calls;
  ++trial_depth_;
  std::vector<LostNarrowing> next_iteration = loop_once(s);
  --trial_depth_;
  sink_ = real_sink;
  using_calls_ = real_calls;

  // Undo the trial's effect on the scope; it is re-applied below unless the
  // loop is typed again.
  std::vector<LostNarrowing> after_loop(lost_.begin() + static_cast<std::ptrdiff_t>(before.lost), lost_.end());
  env_.restore(before.env);
  lost_.resize(before.lost);
  bool again = false;
  for (const LostNarrowing& l : next_iteration) {
    // Names bound inside the loop start afresh each iteration.
    if (l.serial >= entry_serial) continue;
    const DeclaredScope::Binding* b = declared_.find(l.name);
    if (!b || b->serial != l.serial || !is_narrowed(l.name)) continue;
    lose_narrowing(l.name);
    again = true;
  }
  if (again) {
    loop_once(s);
    return;
  }
  for (const LostNarrowing& l : after_loop) {
    const DeclaredScope::Binding* b = declared_.find(l.name);
    if (b && b->serial == l.serial) lose_narrowing(l.name);
  }
  for (const Diag::Diagnostic& d : scratch.diagnostics()) sink_->add(d);
  using_calls_->insert(using_calls_->end(), scratch_calls.begin(), scratch_calls.end());
}

void Checker::unnarrow_assigned(Ast::List<Ast::Stmt> body) {
  for (const Ast::Stmt* s : body) {
    if (!s) continue;
    switch (s->kind) {
      case Ast::StmtKind::Assign:
        if (const Ast::Expr* t = s->as<Ast::Assign>().target) {
          if (const auto* id = t->get_if<Ast::Ident>()) lose_narrowing(id->name);
        }
        break;
      case Ast::StmtKind::If: {
        const auto& i = s->as<Ast::If>();
        unnarrow_assigned(i.then_block);
        if (i.else_part) unnarrow_assigned(i.else_part->body);
        break;
      }
      case Ast::StmtKind::While: unnarrow_assigned(s->as<Ast::While>().body); break;
      case Ast::StmtKind::DoWhile: unnarrow_assigned(s->as<Ast::DoWhile>().body); break;
      case Ast::StmtKind::For: unnarrow_assigned(s->as<Ast::For>().body); break;
      case Ast::StmtKind::ExprStmt: {
        const Ast::Expr* e = s->as<Ast::ExprStmt>().expr;
        if (const auto* sw = e ? e->get_if<Ast::Switch>() : nullptr) {
          for (const Ast::SwitchArm& arm : sw->arms) unnarrow_assigned(arm.body);
        } else if (const auto* t = e ? e->get_if<Ast::Try>() : nullptr) {
          unnarrow_assigned(t->catch_block);
        }
        break;
      }
      default:
        break;
    }
  }
}

std::vector<LostNarrowing> Checker::loop_once(const Ast::Stmt& s) {
  const std::size_t outer_lost_start = loop_lost_start_;
  const std::size_t jumped_start = jumped_.size();
  loop_lost_start_ = lost_.size();
  switch (s.kind) {
    case Ast::StmtKind::While: {
      const auto& w = s.as<Ast::While>();
      NilFacts facts;
      if (w.cond) {
        expr(*w.cond);
        facts = nil_facts(*w.cond);
      }
      const Mark m = mark();
      narrow(facts.when_true);
      block(w.body);
      restore(m);
      break;
    }
    case Ast::StmtKind::DoWhile: {
      const auto& d = s.as<Ast::DoWhile>();
      block(d.body);
      if (d.cond) expr(*d.cond);
      break;
    }
    case Ast::StmtKind::For:
      for_stmt(s.as<Ast::For>());
      break;
    default:
      break;
  }
  // What flowed out of the body reaches the next iteration; `continue` does
  // too, `break` only leaves the loop.
  std::vector<LostNarrowing> next_iteration(lost_.begin() + static_cast<std::ptrdiff_t>(loop_lost_start_),
                                            lost_.end());
  loop_lost_start_ = outer_lost_start;
  std::vector<Jump> jumped(jumped_.begin() + static_cast<std::ptrdiff_t>(jumped_start), jumped_.end());
  jumped_.resize(jumped_start);
  for (const Jump& j : jumped) {
    if (!j.is_break) next_iteration.push_back(j.lost);
    const DeclaredScope::Binding* b = declared_.find(j.lost.name);
    if (b && b->serial == j.lost.serial) lose_narrowing(j.lost.name);
  }
  return next_iteration;
}

void Checker::for_stmt(const Ast::For& f) {
  std::optional<Typ> iterable = f.iterable ? expr(*f.iterable).known : std::nullopt;
  std::optional<Typ> first;
  std::optional<Typ> second;
  if (iterable) {
    if (const TMulti* m = iterable->get_if<TMulti>(); m && f.second_var.empty()) {
      first = *m->elem;
    } else if (const TMap* m = iterable->get_if<TMap>(); m && !f.second_var.empty()) {
      first = *m->key;
      second = *m->value;
    }
  }
  const Mark m = mark();
  bind(f.var, first);
  if (!f.second_var.empty()) bind(f.second_var, second);
  block(f.body);
  restore(m);
}

void Checker::return_stmt(const Ast::Return& r) {
  if (!r.value) return;
  ExprInfo value = expr(*r.value);
  if (!ctx_.fn || !ctx_.fn->ret) return;
  Typ result = typ_of_field_ty(*ctx_.fn->ret);
  // Judged by the working type, so `return -x` with `x: ?Int` is caught too.
  if (!is_nullable(result) && (value.is_nil || is_nullable(value.ty))) {
    report_nil_use(*r.value);
  }
  check_iface_boundary(ctx_.path, ctx_.merged, *sink_, result, value.known, r.value->pos);
  check_fit(result, [&] { return "the result of " + quoted(ctx_.fn->name); }, *r.value, value);
}

void Checker::body(const Ast::Method& fn, std::string_view self_class) {
  ctx_.fn = &fn;
  ctx_.current_class = self_class;
  const Mark m = mark();
  if (!self_class.empty() && !fn.is_static) bind("self", t_named(self_class));
  for (const Ast::Param& p : fn.params) {
    bind(p.name, p.ty ? std::optional<Typ>(typ_of_field_ty(*p.ty)) : std::nullopt);
  }
  block(fn.body);
  restore(m);
  check_end(fn);
  lost_.clear();
  jumped_.clear();
}

}  // namespace Types::Typing
