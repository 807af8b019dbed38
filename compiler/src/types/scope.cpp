// Local scopes of bodies, nil narrowing and the nil facts of conditions.
#include "types/types.hpp"

namespace Types {

namespace {

// Names of one file share their bytes (the parser interns them), so equal
// names are mostly the same pointer.
bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return a.data() == b.data() || a.empty() || (a[0] == b[0] && a == b);
}

}  // namespace

std::uint32_t Env::var_of(std::string_view name) const {
  if (!index_.empty()) {
    auto it = index_.find(name);
    return it == index_.end() ? absent : it->second;
  }
  for (std::size_t i = vars_.size(); i-- > 0;) {
    if (same_name(vars_[i].name, name)) return static_cast<std::uint32_t>(i);
  }
  return absent;
}

const Typ* Env::find(std::string_view name) const {
  std::uint32_t at = var_of(name);
  return at != absent && vars_[at].slot.known ? &vars_[at].slot.ty : nullptr;
}

bool Env::is_bound(std::string_view name) const { return var_of(name) != absent; }

void Env::set(std::string_view name, Slot slot) {
  std::uint32_t at = var_of(name);
  if (at == absent) {
    auto added = static_cast<std::uint32_t>(vars_.size());
    undo_.push_back(Undo{added, false, Slot{}});
    vars_.push_back(Var{name, std::move(slot)});
    if (!index_.empty()) {
      index_.emplace(name, added);
    } else if (vars_.size() > index_from) {
      for (std::size_t i = 0; i < vars_.size(); ++i) index_.emplace(vars_[i].name, static_cast<std::uint32_t>(i));
    }
  } else {
    undo_.push_back(Undo{at, true, std::move(vars_[at].slot)});
    vars_[at].slot = std::move(slot);
  }
}

void Env::bind(std::string_view name, Typ ty) { set(name, Slot{true, std::move(ty)}); }

void Env::bind_unknown(std::string_view name) { set(name, Slot{false, t_void()}); }

void Env::restore(std::size_t mark) {
  while (undo_.size() > mark) {
    Undo& u = undo_.back();
    if (u.was_bound) {
      vars_[u.var].slot = std::move(u.old);
    } else {
      // Undone in reverse order, a name's first binding is the top of the stack.
      if (!index_.empty()) index_.erase(vars_.back().name);
      vars_.pop_back();
    }
    undo_.pop_back();
  }
}

void narrow_env(Env& env, std::span<const std::string_view> names) {
  for (std::string_view name : names) {
    const Typ* ty = env.find(name);
    if (!ty) continue;
    if (const TNullable* n = ty->get_if<TNullable>()) {
      Typ inner = *n->inner;  // copy before rebinding replaces what `ty` points to
      env.bind(name, std::move(inner));
    }
  }
}

namespace {

// The identifier compared with `nil` in `x == nil`, `nil == x` (and `!=`).
const Ast::Ident* nil_compared(const Ast::BinOp& op) {
  const Ast::Expr* l = op.left;
  const Ast::Expr* r = op.right;
  if (!l || !r) return nullptr;
  if (r->kind == Ast::ExprKind::Nil) return l->get_if<Ast::Ident>();
  if (l->kind == Ast::ExprKind::Nil) return r->get_if<Ast::Ident>();
  return nullptr;
}

void append(std::vector<std::string_view>& to, const std::vector<std::string_view>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

// The operands of a left-leaning chain `a and b and c` (same operator), left
// to right. Walked in a loop: long chains are not nested by parentheses, so
// the parser's depth limit does not bound them.
std::vector<const Ast::Expr*> chain_operands(const Ast::BinOp& op) {
  std::vector<const Ast::Expr*> rights;
  const Ast::BinOp* cur = &op;
  const Ast::Expr* leftmost = nullptr;
  while (cur) {
    if (cur->right) rights.push_back(cur->right);
    const Ast::BinOp* next = cur->left ? cur->left->get_if<Ast::BinOp>() : nullptr;
    if (next && next->op == op.op) {
      cur = next;
    } else {
      leftmost = cur->left;
      cur = nullptr;
    }
  }
  std::vector<const Ast::Expr*> out;
  if (leftmost) out.push_back(leftmost);
  out.insert(out.end(), rights.rbegin(), rights.rend());
  return out;
}

}  // namespace

NilFacts nil_facts(const Ast::Expr& condition) {
  NilFacts facts;
  const auto* op = condition.get_if<Ast::BinOp>();
  if (!op) return facts;
  switch (op->op) {
    case Ast::BinaryOp::Ne:
      if (const Ast::Ident* x = nil_compared(*op)) facts.when_true.push_back(x->name);
      break;
    case Ast::BinaryOp::Eq:
      if (const Ast::Ident* x = nil_compared(*op)) facts.when_false.push_back(x->name);
      break;
    case Ast::BinaryOp::And:
      for (const Ast::Expr* operand : chain_operands(*op)) append(facts.when_true, nil_facts(*operand).when_true);
      break;
    case Ast::BinaryOp::Or:
      for (const Ast::Expr* operand : chain_operands(*op)) append(facts.when_false, nil_facts(*operand).when_false);
      break;
    default:
      break;
  }
  return facts;
}

}  // namespace Types
