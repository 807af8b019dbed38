// Expressions with several paths or their own binders: `switch`, `try` and
// queries.
#include "owner/analyzer.hpp"

namespace Owner::detail {

namespace {

// The payload names bound by an arm written `case V(a, b):`, with the variant;
// null when the arm binds nothing.
const Ast::Variant* payload_pattern(const Ast::SwitchArm& arm, const Types::UnionInfo* u) {
  if (!u || arm.values.size() != 1) return nullptr;
  const auto* call = arm.values[0]->get_if<Ast::Call>();
  if (!call) return nullptr;
  const auto* callee = call->callee->get_if<Ast::Ident>();
  if (!callee) return nullptr;
  for (const Ast::Variant& v : u->variants) {
    if (v.name != callee->name) continue;
    if (v.payload.size() != call->args.size()) return nullptr;
    for (const Ast::Expr* a : call->args)
      if (a->kind != Ast::ExprKind::Ident) return nullptr;
    return &v;
  }
  return nullptr;
}

bool is_variant_pattern(const Types::Symbols& symbols, const Ast::Expr& value) {
  const auto* call = value.get_if<Ast::Call>();
  const auto* callee = call ? call->callee->get_if<Ast::Ident>() : nullptr;
  return callee && !symbols.functions.contains(callee->name) && Types::find_variant_in(symbols, callee->name);
}

}  // namespace

void Analyzer::switch_expr(const Ast::Switch& s) {
  read(*s.scrutinee);
  std::optional<Types::Typ> scrutinee_ty = type_of(*s.scrutinee);
  const Types::UnionInfo* u = nullptr;
  if (scrutinee_ty) u = symbols_.unions.find(Types::named_name(Types::strip_nullable(*scrutinee_ty)));
  std::optional<Place> scrutinee = place_of(*s.scrutinee);
  if (scrutinee) *scrutinee = canonical(*scrutinee);
  int scrutinee_root = scrutinee ? find_local(place_of(*s.scrutinee)->root) : -1;

  struct ArmEnd {
    Marks marks;
    bool dead;
    Ast::Pos pos;
    std::string label;
  };
  std::vector<ArmEnd> ends;
  Marks entry = marks_;
  bool entry_dead = dead_;
  std::vector<const Ast::SwitchArm*> order = Ast::switch_lowering_order(s.arms);
  for (std::size_t k = 0; k < order.size(); ++k) {
    const Ast::SwitchArm& arm = *order[k];
    marks_ = entry;
    dead_ = entry_dead;
    std::string label = "ARM" + std::to_string(k);
    push_scope(s.id, arm.pos, label);
    if (const Ast::Variant* v = payload_pattern(arm, u)) {
      const auto& args = arm.values[0]->as<Ast::Call>().args;
      for (std::size_t i = 0; i < args.size(); ++i) {
        Local local;
        local.name = args[i]->as<Ast::Ident>().name;
        if (v->payload[i].ty) local.ty = Types::typ_of_field_ty(*v->payload[i].ty);
        local.oclass = class_of(local.ty);
        local.slot = args[i]->id;
        local.pos = args[i]->pos;
        if (local.oclass == OClass::Owned) {
          local.borrow = true;
          if (scrutinee) {
            local.place = *scrutinee;
            local.label_place = place_text(*scrutinee);
            if (scrutinee_root >= 0 && locals_[static_cast<std::size_t>(scrutinee_root)].place)
              local.via = scrutinee_root;
          } else {
            local.label_place = expr_text(*s.scrutinee);
          }
        }
        declare(std::move(local));
      }
    } else {
      for (const Ast::Expr* value : arm.values)
        if (!is_variant_pattern(symbols_, *value)) read(*value);
    }
    block(arm.body);
    pop_scope();
    ends.push_back(ArmEnd{std::move(marks_), dead_, arm.pos, std::move(label)});
  }

  const Marks* joined_from = nullptr;
  Marks joined;
  for (const ArmEnd& end : ends) {
    if (end.dead) continue;
    joined = joined_from ? join(joined, end.marks) : end.marks;
    joined_from = &end.marks;
  }
  if (!joined_from) {  // every arm left (or there are none)
    marks_ = ends.empty() ? std::move(entry) : ends.front().marks;
    dead_ = ends.empty() ? entry_dead : true;
    return;
  }
  for (const ArmEnd& end : ends) {
    if (end.dead || !stores()) continue;
    std::vector<DropItem> items;
    for (std::size_t i = std::min(end.marks.size(), locals_.size()); i-- > 0;) {
      const Local& l = locals_[i];
      if (l.holder && l.oclass == OClass::Owned && !end.marks[i].moved && joined[i].moved)
        items.push_back(DropItem{l.name, false, l.slot});
    }
    record_drop(s.id, end.pos, DropKind::JoinDrop, end.label, items);
  }
  marks_ = std::move(joined);
  dead_ = entry_dead;
}

void Analyzer::try_expr(const Ast::Try& t) {
  need_record(Types::error_record);
  live_mask(t.id, t.pos);
  Marks entry = marks_;
  bool entry_dead = dead_;
  read(*t.tried);
  Marks tried = std::move(marks_);
  bool tried_dead = dead_;
  marks_ = std::move(entry);
  dead_ = entry_dead;
  push_scope(t.id, t.pos, "CATCH");
  Local var;
  var.name = t.catch_var;
  var.ty = Types::t_named(Types::error_record);
  var.oclass = class_of(var.ty);
  var.slot = t.id;
  var.pos = t.pos;
  var.holder = var.oclass != OClass::Copy;
  declare(std::move(var));
  block(t.catch_block);
  pop_scope();
  Marks caught = std::move(marks_);
  join_branches(tried, tried_dead, caught, dead_, entry_dead, t.id, t.pos, "TRYBODY", t.pos, "CATCHJOIN",
                false);
}

// The range and group variables are plain names inside the query; they own
// nothing the query could move or drop.
void Analyzer::query(const Ast::Query& q) {
  if (q.source_expr) read(*q.source_expr);
  push_scope(q.id, q.pos, "", false);
  Local range;
  range.name = q.var;
  range.slot = q.id;
  range.pos = q.pos;
  declare(std::move(range));
  for (const Ast::Expr* w : q.wheres) read(*w);
  if (q.group_key) read(*q.group_key);
  if (!q.group_into.empty()) {
    Local group;
    group.name = q.group_into;
    group.slot = q.id;
    group.pos = q.pos;
    declare(std::move(group));
  }
  if (q.order_key) read(*q.order_key);
  if (q.select) read(*q.select);
  pop_scope();
  if (q.take) read(*q.take);
  live_mask(q.id, q.pos);
}

}  // namespace Owner::detail
