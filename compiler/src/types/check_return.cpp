// Whether a body that declares a result can reach its closing brace: the end
// is unreachable after `return`, after an `if`/`else` or a `switch` (with
// `default`, or naming every variant of its union) whose every arm ends so,
// after a `while true` or `do ... while true` that no `break` leaves, and
// after a call of the builtin `raise`.
#include <unordered_set>

#include "typing.hpp"

namespace Types::Typing {

namespace {

bool block_ends(const Symbols& symbols, Ast::List<Ast::Stmt> stmts, int depth);

bool is_true(const Ast::Expr* cond) {
  const auto* lit = cond ? cond->get_if<Ast::BoolLit>() : nullptr;
  return lit && lit->value;
}

// A switch without `default` still ends every path when its cases name all
// the variants of one union; any other is not known to (the missing arm is
// reported by the switch check).
bool switch_covers(const Symbols& symbols, const Ast::Switch& s) {
  const UnionInfo* over = nullptr;
  std::unordered_set<std::string_view> named;
  for (const Ast::SwitchArm& arm : s.arms) {
    if (arm.is_default) return true;
    for (const Ast::Expr* value : arm.values) {
      if (!value) continue;
      const Ast::Expr* name_expr = value;
      if (const auto* call = value->get_if<Ast::Call>()) name_expr = call->callee;
      const auto* id = name_expr ? name_expr->get_if<Ast::Ident>() : nullptr;
      if (!id) return false;
      auto found = find_variant_in(symbols, id->name);
      if (!found) return false;
      if (over && over != found->union_info) return false;
      over = found->union_info;
      named.insert(found->variant->name);
    }
  }
  return over && named.size() == over->variants.size();
}

bool switch_ends(const Symbols& symbols, const Ast::Switch& s, int depth) {
  if (s.arms.empty() || !switch_covers(symbols, s)) return false;
  for (const Ast::SwitchArm& arm : s.arms) {
    if (!block_ends(symbols, arm.body, depth + 1)) return false;
  }
  return true;
}

// The switch or `try` a statement holds at its top, whose blocks may end
// paths or hold a `break`.
const Ast::Expr* statement_value(const Ast::Stmt& s) {
  switch (s.kind) {
    case Ast::StmtKind::ExprStmt: return s.as<Ast::ExprStmt>().expr;
    case Ast::StmtKind::Let: return s.as<Ast::Let>().value;
    case Ast::StmtKind::Assign: return s.as<Ast::Assign>().value;
    case Ast::StmtKind::Return: return s.as<Ast::Return>().value;
    default: return nullptr;
  }
}

// A `break` that leaves the loop whose body is `stmts` (one inside a nested
// loop leaves that loop instead).
bool breaks_out(Ast::List<Ast::Stmt> stmts, int depth) {
  if (depth >= max_depth) return true;  // too deep to tell: assume it can
  for (const Ast::Stmt* s : stmts) {
    if (!s) continue;
    switch (s->kind) {
      case Ast::StmtKind::Break: return true;
      case Ast::StmtKind::If: {
        const auto& i = s->as<Ast::If>();
        if (breaks_out(i.then_block, depth + 1)) return true;
        if (i.else_part && breaks_out(i.else_part->body, depth + 1)) return true;
        break;
      }
      default: {
        const Ast::Expr* value = statement_value(*s);
        if (!value) break;
        if (const auto* sw = value->get_if<Ast::Switch>()) {
          for (const Ast::SwitchArm& arm : sw->arms)
            if (breaks_out(arm.body, depth + 1)) return true;
        } else if (const auto* t = value->get_if<Ast::Try>()) {
          if (breaks_out(t->catch_block, depth + 1)) return true;
        }
        break;
      }
    }
  }
  return false;
}

// A call of the builtin `raise` never comes back; a program with a `raise` of
// its own keeps its meaning, and its calls end nothing.
bool raises(const Symbols& symbols, const Ast::Expr& e) {
  const auto* call = e.get_if<Ast::Call>();
  const auto* id = call && call->callee ? call->callee->get_if<Ast::Ident>() : nullptr;
  return id && id->name == "raise" && symbols.functions.find("raise") == nullptr;
}

bool stmt_ends(const Symbols& symbols, const Ast::Stmt& s, int depth) {
  switch (s.kind) {
    case Ast::StmtKind::Return: return true;
    case Ast::StmtKind::If: {
      const auto& i = s.as<Ast::If>();
      return i.else_part && block_ends(symbols, i.then_block, depth + 1) &&
             block_ends(symbols, i.else_part->body, depth + 1);
    }
    case Ast::StmtKind::While: {
      const auto& w = s.as<Ast::While>();
      return is_true(w.cond) && !breaks_out(w.body, depth + 1);
    }
    case Ast::StmtKind::DoWhile: {
      const auto& d = s.as<Ast::DoWhile>();
      return block_ends(symbols, d.body, depth + 1) || (is_true(d.cond) && !breaks_out(d.body, depth + 1));
    }
    case Ast::StmtKind::ExprStmt: {
      const Ast::Expr* e = s.as<Ast::ExprStmt>().expr;
      if (const auto* sw = e ? e->get_if<Ast::Switch>() : nullptr) return switch_ends(symbols, *sw, depth);
      return e && raises(symbols, *e);
    }
    default: return false;
  }
}

// Statements after one that ends every path are never reached, so one is enough.
bool block_ends(const Symbols& symbols, Ast::List<Ast::Stmt> stmts, int depth) {
  if (depth >= max_depth) return true;  // too deep to tell: say nothing
  for (const Ast::Stmt* s : stmts) {
    if (s && stmt_ends(symbols, *s, depth)) return true;
  }
  return false;
}

}  // namespace

void Checker::check_end(const Ast::Method& fn) {
  if (!fn.ret || block_ends(ctx_.merged, fn.body, 0)) return;
  const Ast::Pos at = fn.body_end.line > 0 ? fn.body_end : fn.pos;
  report(missing_return_code, at,
         quoted(fn.name) + " declares `-> " + full_label(typ_of_field_ty(*fn.ret)) +
             "` but can reach its end without returning a value");
}

}  // namespace Types::Typing
