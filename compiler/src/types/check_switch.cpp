// Typing of `switch`: case values against the subject's type, payload
// patterns, exhaustiveness over unions, `default` placement and the type of
// a switch used as a value.
#include "typing.hpp"

namespace Types::Typing {

namespace {

// The variant a case value names: a bare name or the callee of `V(...)`.
std::string_view named_case(const Ast::Expr& value) {
  if (const auto* id = value.get_if<Ast::Ident>()) return id->name;
  if (const auto* call = value.get_if<Ast::Call>()) {
    if (const auto* callee = call->callee ? call->callee->get_if<Ast::Ident>() : nullptr) return callee->name;
  }
  return {};
}

const Ast::Expr* last_value(Ast::List<Ast::Stmt> body) {
  if (body.empty()) return nullptr;
  const auto* last = body.back()->get_if<Ast::ExprStmt>();
  return last ? last->expr : nullptr;
}

}  // namespace

ExprInfo Checker::switch_expr(const Ast::Switch& s, bool value_used) {
  const std::optional<Typ> subject = s.scrutinee ? expr(*s.scrutinee).known : std::nullopt;
  const UnionInfo* over = nullptr;           // subject of union type
  const UnionInfo* nullable_over = nullptr;  // subject of type `?U`
  if (subject) {
    if (const TNullable* n = subject->get_if<TNullable>()) {
      nullable_over = ctx_.merged.unions.find(named_name(*n->inner));
    } else {
      over = ctx_.merged.unions.find(named_name(*subject));
    }
  }
  std::vector<bool> covered(over ? over->variants.size() : 0, false);
  bool has_default = false;
  std::optional<Typ> switch_ty;

  for (std::size_t ai = 0; ai < s.arms.size(); ++ai) {
    const Ast::SwitchArm& arm = s.arms[ai];
    if (arm.is_default) {
      has_default = true;
      if (ai + 1 != s.arms.size()) {
        warn(default_order_code, arm.pos,
             "`default` is not the last arm -- a `case` written after it still matches (this compiler evaluates "
             "`default` last regardless of source position), which reads as dead code");
      }
    }
    const Mark m = mark();
    for (const Ast::Expr* value : arm.values) {
      if (!value) continue;
      std::string_view name = named_case(*value);
      if (over) {
        if (name.empty()) {
          expr(*value);
          report(type_code, value->pos,
                 "switch over union " + quoted(over->name) + " matches variants — this case value is not one");
          continue;
        }
        auto found = find_variant(ctx_.merged, over->name, name);
        if (!found) {
          report(type_code, value->pos, quoted(name) + " is not a variant of union " + quoted(over->name));
          continue;
        }
        covered[found->index] = true;
        const auto* pattern = value->get_if<Ast::Call>();
        if (!pattern) continue;
        std::span<const Ast::PayloadField> payload = found->variant->payload;
        bool plain = true;
        for (const Ast::Expr* a : pattern->args) plain = plain && a && a->kind == Ast::ExprKind::Ident;
        if (arm.values.size() != 1) {
          report(arity_code, value->pos,
                 "a payload-binding pattern (`" + std::string(name) + "(...)`) must be its arm's only value");
        }
        if (!plain) {
          report(arity_code, value->pos,
                 "pattern for " + quoted(name) +
                     " must bind plain names — payload fields are bound positionally, never matched by value");
        } else if (pattern->args.size() != payload.size()) {
          report(arity_code, value->pos,
                 "pattern for " + quoted(name) + " binds " + std::to_string(pattern->args.size()) +
                     " payload field(s), but " + quoted(name) + " declares " + std::to_string(payload.size()));
        }
        for (std::size_t i = 0; i < pattern->args.size(); ++i) {
          const auto* binder = pattern->args[i] ? pattern->args[i]->get_if<Ast::Ident>() : nullptr;
          if (!binder) continue;
          bool typed = i < payload.size() && payload[i].ty;
          bind(binder->name, typed ? std::optional<Typ>(typ_of_field_ty(*payload[i].ty)) : std::nullopt);
        }
        continue;
      }
      const bool is_variant_name =
          !name.empty() && !(value->kind == Ast::ExprKind::Ident && env_.is_bound(name));
      auto variant = is_variant_name ? find_variant_in(ctx_.merged, name) : std::nullopt;
      if (variant) {
        if (nullable_over) {
          report(type_code, value->pos,
                 quoted(name) + " can never match here — the subject is `?" + std::string(nullable_over->name) +
                     "`, which may be nil and is not narrowed by `switch`; handle the nil case first (forced `?T` "
                     "handling arrives with Task 6)");
        } else if (subject) {
          report(type_code, value->pos,
                 quoted(name) + " is a variant of union " + quoted(variant->union_info->name) +
                     ", but the switch subject has type `" + typ_label(*subject) + "`");
        }
        continue;
      }
      std::optional<Typ> case_ty = expr(*value).known;
      if (!case_ty || !subject) continue;
      int case_kind = vkb_kind_of_typ(ctx_.merged, *case_ty);
      int subject_kind = vkb_kind_of_typ(ctx_.merged, *subject);
      constexpr int scalar = 0;
      constexpr int text = 3;
      if ((case_kind == scalar && subject_kind == text) || (case_kind == text && subject_kind == scalar)) {
        report(type_code, value->pos,
               "switch case value has type `" + typ_label(*case_ty) + "`, but the switch subject has type `" +
                   typ_label(*subject) + "`");
      }
    }
    std::optional<Typ> arm_ty = block(arm.body, value_used);
    restore(m);
    if (!value_used || !arm_ty) continue;
    if (!switch_ty) {
      switch_ty = arm_ty;
    } else if (!typ_equal(ctx_.merged, *switch_ty, *arm_ty)) {
      const Ast::Expr* at = last_value(arm.body);
      report(type_code, at ? at->pos : arm.pos,
             "switch arm yields `" + typ_label(*arm_ty) + "`, but the switch's type is `" + typ_label(*switch_ty) +
                 "` (from an earlier arm)");
    }
  }

  if (!has_default) {
    if (over) {
      std::string missing;
      for (std::size_t i = 0; i < covered.size(); ++i) {
        if (covered[i]) continue;
        if (!missing.empty()) missing += ", ";
        missing += over->variants[i].name;
      }
      if (!missing.empty()) {
        report(exhaustive_code, s.pos,
               "switch over " + quoted(over->name) + " has no `default` arm and does not cover: " + missing);
      }
    } else if (subject) {
      report(exhaustive_code, s.pos, "switch over `" + typ_label(*subject) + "` has no `default` arm");
    }
  }
  return unknown_info();
}

}  // namespace Types::Typing
