// Union variant constructors and `switch` on unions.
//
// A union with a payload somewhere is a family of variant classes ("U.V",
// payload-less variants included): a value is an instance and its tag is
// its class number, read with `variant_tag`. A union without any payload is
// a plain Int, the variant's index.
#include "emit/method.hpp"

namespace Emit::detail {

namespace {

// The variant a case value names (`V` or `V(...)`), or none.
std::optional<Types::FoundVariant> case_variant(const Types::Symbols& symbols, const Types::UnionInfo& u,
                                                const Ast::Expr& value) {
  std::string_view name;
  if (const auto* id = value.get_if<Ast::Ident>()) name = id->name;
  if (const auto* call = value.get_if<Ast::Call>()) {
    if (const auto* callee = call->callee->get_if<Ast::Ident>()) name = callee->name;
  }
  if (name.empty()) return std::nullopt;
  return Types::find_variant(symbols, u.name, name);
}

// The names an arm written `case V(a, b):` binds to V's payload, in order;
// empty when the arm binds nothing.
std::vector<const Ast::Ident*> payload_binders(const Ast::SwitchArm& arm, const Types::FoundVariant& v) {
  std::vector<const Ast::Ident*> out;
  if (arm.values.size() != 1) return out;
  const auto* call = arm.values[0]->get_if<Ast::Call>();
  if (!call || call->args.size() != v.variant->payload.size()) return out;
  for (const Ast::Expr* a : call->args) {
    const auto* id = a->get_if<Ast::Ident>();
    if (!id) return {};
    out.push_back(id);
  }
  return out;
}

// Sets the emitter's masks to exactly these registers.
void set_masks(MethodEmitter& m, std::uint64_t owned, std::uint64_t gc) {
  m.mask_meet(0, 0);
  for (int r = 0; r < window; ++r) {
    if (owned >> r & 1) m.mask_set(r, false);
    if (gc >> r & 1) m.mask_set(r, true);
  }
}

}  // namespace

Ty MethodEmitter::emit_variant_ctor(int dst, const Ast::Call& c, const Types::FoundVariant& v) {
  const Types::UnionInfo& u = *v.union_info;
  std::span<const Ast::PayloadField> payload = v.variant->payload;
  if (c.args.size() != payload.size())
    return fail(dst, c.pos, "variant " + q(v.variant->name) + " of " + q(u.name) + " takes " +
                                std::to_string(payload.size()) + " argument(s), given " + std::to_string(c.args.size()));
  if (!u.has_payload) {
    load_int(dst, v.index, c.pos);
    return named(u.name);
  }
  std::string class_name = std::string(u.name) + "." + std::string(v.variant->name);
  auto cid = prog.class_id(class_name);
  if (!cid) return fail(dst, c.pos, "constructor of " + q(class_name) + ", which is not a declared class");
  put_abx(Op::NEW, dst, *cid, IndexKind::CLASS, c.pos);
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    int mark = temp_mark();
    int r = alloc_temp();
    Ty expected = payload[i].ty ? ty_of(*payload[i].ty) : std::nullopt;
    // The variant keeps its payload: it must be the variant's own.
    emit_owned(r, *c.args[i], expected);
    setf(dst, int(i), r, c.args[i]->pos);
    temp_reset(mark);
  }
  return named(u.name);
}

// Arm tests: with payloads, the tag is read once into a held temporary
// (`variant_tag`); each case value loads its class number (else its variant
// index) and compares with EQ, a JZ skipping to the next value or arm. A
// matching arm first binds its payload names with GETF from the scrutinee,
// then runs its body in scope "ARM<n>", ends with its scope and join drops
// and jumps to the end. Every arm starts from the masks of the switch's entry.
Ty MethodEmitter::emit_union_switch(int dst, const Ast::Switch& s, int scrut, const Types::UnionInfo& u,
                                     const Ty& expected) {
  int floor = hold_temps();
  int tag = scrut;
  if (u.has_payload) {
    tag = alloc_temp();
    sync_mask(s.id);
    builtin(tag, scrut, Builtin::VARIANT_TAG);
  }
  int held = hold_temps();
  std::uint64_t o0 = owned_mask(), g0 = gc_mask();
  std::uint64_t om = ~std::uint64_t(0), gm = ~std::uint64_t(0);
  std::vector<std::size_t> ends;
  Ty result;
  std::vector<const Ast::SwitchArm*> arms = Ast::switch_lowering_order(s.arms);
  for (std::size_t n = 0; n < arms.size(); ++n) {
    const Ast::SwitchArm& arm = *arms[n];
    set_line(arm.pos.line);
    std::vector<std::size_t> to_body, to_next;
    std::optional<Types::FoundVariant> bound;
    for (std::size_t i = 0; i < arm.values.size(); ++i) {
      const Ast::Expr& value = *arm.values[i];
      int mark = temp_mark();
      int cmp = alloc_temp();
      int k = alloc_temp();
      if (auto v = case_variant(prog.merged, u, value)) {
        if (arm.values.size() == 1) bound = v;
        if (u.has_payload) {
          auto cid = prog.class_id(std::string(u.name) + "." + std::string(v->variant->name));
          load_int(k, cid ? std::int64_t(*cid) : -1, value.pos);
        } else {
          load_int(k, v->index, value.pos);
        }
        put_abc(Op::EQ, cmp, tag, k);
      } else {
        // Not a variant (the checker refuses it): compared by value.
        emit_expr(k, value);
        put_abc(Op::EQ, cmp, scrut, k);
      }
      if (i + 1 < arm.values.size()) {
        std::size_t skip = put_jump(Op::JZ, cmp);
        to_body.push_back(put_jump(Op::JMP));
        patch_jump(skip, here());
      } else {
        to_next.push_back(put_jump(Op::JZ, cmp));
      }
      temp_reset(mark);
    }
    for (std::size_t at : to_body) patch_jump(at, here());
    // Every arm is entered with the masks of the switch's entry.
    set_masks(*this, o0, g0);
    std::size_t scope = scope_mark();
    int arm_mark = temp_mark();
    // Payload names read the scrutinee's fields. A class payload is lent by
    // the scrutinee; a Text payload is copied, so the name owns what it
    // holds (a `return` of it hands over the copy) and the arm releases it.
    // Their registers are held for the arm only, so the next arm reuses them.
    std::vector<int> own_copies;
    if (bound && u.has_payload) {
      std::vector<const Ast::Ident*> names = payload_binders(arm, *bound);
      for (std::size_t i = 0; i < names.size(); ++i) {
        const Ast::PayloadField& pf = bound->variant->payload[i];
        Ty ty = pf.ty ? ty_of(*pf.ty) : std::nullopt;
        int reg = alloc_temp();
        locals_push(names[i]->name, reg, ty, names[i]->id);
        getf(reg, scrut, int(i), names[i]->pos);
        if (is_text(ty)) {
          builtin(reg, reg, Builtin::TEXT_COPY);
          mask_set(reg, false);
          own_copies.push_back(reg);
        }
      }
    }
    std::size_t copies_mark = arm_text_copies_.size();
    arm_text_copies_.insert(arm_text_copies_.end(), own_copies.begin(), own_copies.end());
    int hold = hold_temps();
    Ty ty = emit_value_block(dst, arm.body, expected);
    release_temps(hold);
    arm_text_copies_.resize(copies_mark);
    if (!result) result = ty;
    for (auto it = own_copies.rbegin(); it != own_copies.rend(); ++it) {
      put_abc(Op::DROP, *it, 0, 0);
      mask_clear(*it);
    }
    std::string label = "ARM" + std::to_string(n);
    emit_scope_drops(s.id, label);
    scope_restore(scope);
    emit_join_drops(s.id, label);
    temp_reset(arm_mark);
    om &= owned_mask();
    gm &= gc_mask();
    ends.push_back(put_jump(Op::JMP));
    for (std::size_t at : to_next) patch_jump(at, here());
  }
  for (std::size_t at : ends) patch_jump(at, here());
  // After the switch: what every arm (and the entry) still holds.
  set_masks(*this, o0 & om, g0 & gm);
  // A subject made only to be matched (`switch make()`) is released.
  release_if_fresh(*s.scrutinee, scrut, type_of(*s.scrutinee));
  release_temps(held);
  release_temps(floor);
  return result;
}

}  // namespace Emit::detail
