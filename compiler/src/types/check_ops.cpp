// Typing of two-operand operators: `and`/`or` with their narrowing, the Int
// and Float worlds, text, comparisons, union equality and bitwise operators.
#include "typing.hpp"

namespace Types::Typing {

namespace {

NumericWorld world_of(const ExprInfo& info) {
  if (!info.known) return NumericWorld::None;
  return numeric_world(named_name(strip_nullable(*info.known)));
}

// The operand rules name exact types: a `?Bool` is not a `Bool` operand, so it
// is reported both as possibly nil and for its type.
bool is_named(const ExprInfo& info, std::string_view name) {
  return info.known && named_name(*info.known) == name;
}

// A literal shift count outside 0..63; counts computed at run time are not known here.
bool shift_count_out_of_range(const Ast::Expr& count) {
  if (const auto* lit = count.get_if<Ast::IntLit>()) return lit->value > 63;
  if (const auto* neg = count.get_if<Ast::Unary>()) {
    if (neg->op != Ast::UnaryOp::Neg || !neg->operand) return false;
    if (const auto* lit = neg->operand->get_if<Ast::IntLit>()) return lit->value > 0;
  }
  return false;
}

}  // namespace

void Checker::report_nil_use(const Ast::Expr& e) {
  report(nil_use_code, e.pos,
         expr_label(e) +
             " is possibly nil (`?T`) and is used where a plain value is required — narrow it first "
             "(`if x != nil { ... }`)");
}

bool Checker::require_plain(const Ast::Expr& e, const ExprInfo& info) {
  if (!info.is_nil && !(info.known && is_nullable(*info.known))) return true;
  report_nil_use(e);
  return false;
}

void Checker::logic_operand(std::string_view op, const Ast::Expr& e, const ExprInfo& info) {
  require_plain(e, info);
  if (info.known && !is_named(info, "Bool")) {
    report(type_code, e.pos,
           quoted(op) + " operand must be `Bool`, got `" + typ_label(*info.known) +
               "` -- no truthiness in this language");
  }
}

// Long chains such as `a + b + c ...` or a long interpolated text nest to the
// left without parentheses, so the parser's depth limit does not bound them:
// the left spine is walked in a loop, and only right operands recurse.
ExprInfo Checker::binop_chain(const Ast::BinOp& top) {
  std::vector<const Ast::BinOp*> spine;  // top first
  const Ast::Expr* leftmost = nullptr;
  for (const Ast::BinOp* cur = &top; cur;) {
    spine.push_back(cur);
    const Ast::Expr* l = cur->left;
    cur = l ? l->get_if<Ast::BinOp>() : nullptr;
    if (!cur) leftmost = l;
  }
  ExprInfo acc = leftmost ? expr(*leftmost) : unknown_info();
  NilFacts facts = leftmost ? nil_facts(*leftmost) : NilFacts{};

  // The right operand of `and` is typed with the left side's facts when
  // true, of `or` with its facts when false. Along a chain of one operator
  // the facts only grow, so only the new ones are applied at each step.
  enum class Applied { None, WhenTrue, WhenFalse };
  Applied applied = Applied::None;
  std::size_t applied_count = 0;
  const Mark before = mark();
  for (std::size_t i = spine.size(); i-- > 0;) {
    const Ast::BinOp& op = *spine[i];
    const bool is_and = op.op == Ast::BinaryOp::And;
    if (is_and || op.op == Ast::BinaryOp::Or) {
      Applied want = is_and ? Applied::WhenTrue : Applied::WhenFalse;
      const std::vector<std::string_view>& names = is_and ? facts.when_true : facts.when_false;
      if (applied != want) {
        restore(before);
        applied = want;
        applied_count = 0;
      }
      narrow(std::vector<std::string_view>(names.begin() + static_cast<std::ptrdiff_t>(applied_count), names.end()));
      applied_count = names.size();
    } else if (applied != Applied::None) {
      restore(before);
      applied = Applied::None;
      applied_count = 0;
    }
    ExprInfo right = op.right ? expr(*op.right) : unknown_info();
    acc = binop(op, acc, right);
    if (is_and || op.op == Ast::BinaryOp::Or) {
      NilFacts right_facts = op.right ? nil_facts(*op.right) : NilFacts{};
      std::vector<std::string_view>& grow = is_and ? facts.when_true : facts.when_false;
      const std::vector<std::string_view>& add = is_and ? right_facts.when_true : right_facts.when_false;
      grow.insert(grow.end(), add.begin(), add.end());
      (is_and ? facts.when_false : facts.when_true).clear();
    } else {
      facts = nil_facts(op);
    }
  }
  if (applied != Applied::None) restore(before);
  return acc;
}

ExprInfo Checker::binop(const Ast::BinOp& op, const ExprInfo& l, const ExprInfo& r) {
  if (!op.left || !op.right) return unknown_info();
  const Ast::Expr& le = *op.left;
  const Ast::Expr& re = *op.right;
  const std::string sym(Ast::op_text(op.op));

  auto worlds_mix = [&] {
    NumericWorld wl = world_of(l);
    NumericWorld wr = world_of(r);
    if (wl == NumericWorld::None || wr == NumericWorld::None || wl == wr) return;
    report(type_code, op.pos,
           quoted(sym) + " mixes Int and Float — there is no implicit conversion; wrap the " +
               (wl == NumericWorld::Int ? "left" : "right") +
               " side in `float(...)`, or `trunc(...)` the Float side to stay in Int");
  };

  switch (op.op) {
    case Ast::BinaryOp::And:
    case Ast::BinaryOp::Or:
      logic_operand(sym, le, l);
      logic_operand(sym, re, r);
      return known_info(t_named("Bool"));

    case Ast::BinaryOp::Add:
    case Ast::BinaryOp::Sub:
    case Ast::BinaryOp::Mul:
    case Ast::BinaryOp::Div:
    case Ast::BinaryOp::Mod: {
      require_plain(le, l);
      require_plain(re, r);
      if (is_named(l, "Text") || is_named(r, "Text")) {
        report(type_code, op.pos, quoted(sym) + " is arithmetic and never joins text — use `..` to concatenate");
      }
      // All three messages sit at the operator with one code, so only the
      // first one added is shown: text, then the mix, then `%` on Float.
      worlds_mix();
      bool has_float = world_of(l) == NumericWorld::Float || world_of(r) == NumericWorld::Float;
      if (op.op == Ast::BinaryOp::Mod && has_float) {
        report(type_code, op.pos,
               "`%` has no Float meaning — integer remainder is not IEEE remainder, and this language has no "
               "`fmod`; `trunc(...)` first if integer remainder is what you want");
      }
      // Two operands of one world fix the result, as they fix the opcode;
      // anything else has no confident type, only a working one.
      const NumericWorld wl = world_of(l);
      if (wl != NumericWorld::None && wl == world_of(r)) {
        return known_info(t_named(wl == NumericWorld::Float ? "Float" : "Int"));
      }
      ExprInfo info;
      if (has_float) {
        info.ty = t_named("Float");
      } else if (l.known) {
        info.ty = strip_nullable(*l.known);
      } else if (r.known) {
        info.ty = strip_nullable(*r.known);
      }
      return info;
    }

    case Ast::BinaryOp::Concat:
      // A nil side would join as nothing at all.
      require_plain(le, l);
      require_plain(re, r);
      return known_info(t_named("Text"));

    case Ast::BinaryOp::Eq:
    case Ast::BinaryOp::Ne: {
      // `x == nil` is the nil test itself, not a use of a possibly-nil value.
      if (!l.is_nil && !r.is_nil) {
        require_plain(le, l);
        require_plain(re, r);
      }
      worlds_mix();
      auto union_of = [&](const Ast::Expr& e, const ExprInfo& info) -> std::string_view {
        if (info.known) {
          std::string_view name = named_name(strip_nullable(*info.known));
          if (const UnionInfo* u = ctx_.merged.unions.find(name)) return u->name;
          return {};
        }
        if (const auto* id = e.get_if<Ast::Ident>(); id && !env_.is_bound(id->name)) {
          if (auto v = find_variant_in(ctx_.merged, id->name)) return v->union_info->name;
        }
        return {};
      };
      std::string_view ul = union_of(le, l);
      std::string_view ur = union_of(re, r);
      if (!ul.empty() && !ur.empty() && ul != ur) {
        report(type_code, op.pos,
               "cannot compare " + quoted(ul) + " with " + quoted(ur) +
                   " — values of different unions never compare equal (their tags merely share a representation)");
      }
      return known_info(t_named("Bool"));
    }

    case Ast::BinaryOp::Lt:
    case Ast::BinaryOp::Le:
    case Ast::BinaryOp::Gt:
    case Ast::BinaryOp::Ge:
      require_plain(le, l);
      require_plain(re, r);
      worlds_mix();
      return known_info(t_named("Bool"));

    case Ast::BinaryOp::BitAnd:
    case Ast::BinaryOp::BitOr:
    case Ast::BinaryOp::BitXor:
    case Ast::BinaryOp::Shl:
    case Ast::BinaryOp::Shr: {
      const std::pair<const Ast::Expr*, const ExprInfo*> operands[] = {{&le, &l}, {&re, &r}};
      for (const auto& [e, info] : operands) {
        require_plain(*e, *info);
        if (info->known && !is_named(*info, "Int")) {
          report(type_code, e->pos,
                 quoted(sym) + " operand must be `Int`, got `" + typ_label(*info->known) + "` -- bitwise is Int-only");
        }
      }
      if ((op.op == Ast::BinaryOp::Shl || op.op == Ast::BinaryOp::Shr) && shift_count_out_of_range(re)) {
        report(shift_code, re.pos, "shift count is out of range 0..63 for " + quoted(sym));
      }
      return known_info(t_named("Int"));
    }
  }
  return unknown_info();
}

}  // namespace Types::Typing
