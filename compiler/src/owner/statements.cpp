// Statements: let, assignment, return, break/continue and `if`, with the join
// of two branch states.
#include "owner/analyzer.hpp"

namespace Owner::detail {

void Analyzer::block(Ast::List<Ast::Stmt> stmts) {
  for (const Ast::Stmt* s : stmts) stmt(*s);
}

void Analyzer::stmt(const Ast::Stmt& s) {
  if (depth_ > max_depth) return;
  ++depth_;
  switch (s.kind) {
    case Ast::StmtKind::Break: leave_loop(s, DropKind::Break); break;
    case Ast::StmtKind::Continue: leave_loop(s, DropKind::Continue); break;
    case Ast::StmtKind::Let: let(s.as<Ast::Let>()); break;
    case Ast::StmtKind::Assign: assign(s.as<Ast::Assign>()); break;
    case Ast::StmtKind::If: if_stmt(s.as<Ast::If>()); break;
    case Ast::StmtKind::While:
    case Ast::StmtKind::For:
    case Ast::StmtKind::DoWhile: loop(s); break;
    case Ast::StmtKind::Return: ret(s.as<Ast::Return>()); break;
    case Ast::StmtKind::ExprStmt: read(*s.as<Ast::ExprStmt>().expr); break;
  }
  --depth_;
}

void Analyzer::let(const Ast::Let& s) {
  read(*s.value);
  Local local;
  local.name = s.name;
  local.ty = s.declared_type ? std::optional(Types::typ_of_field_ty(*s.declared_type)) : type_of(*s.value);
  local.oclass = class_of(local.ty);
  local.slot = s.id;
  local.pos = s.pos;
  bool by_copy = local.oclass != OClass::Owned || Types::named_name(Types::strip_nullable(*local.ty)) == "Text";
  std::optional<Place> place = by_copy ? std::nullopt : place_of(*s.value);
  if (place) {
    int r = find_local(place->root);
    const Local* root = r >= 0 ? &locals_[static_cast<std::size_t>(r)] : nullptr;
    if (place->projs.empty() && root && root->holder && root->oclass == OClass::Owned) {
      // A whole owning local moves into the new one (a moved one was reported when read).
      transfer(*place, "cannot be moved out", MoveKind::Let, "");
      local.holder = true;
    } else {
      local.borrow = true;
      local.place = canonical(*place);
      local.label_place = place_text(*local.place);
      if (root && root->place) local.via = r;
    }
  } else {
    local.holder = local.oclass != OClass::Copy;
  }
  declare(std::move(local));
}

void Analyzer::assign(const Ast::Assign& s) {
  read(*s.value);
  std::optional<Place> target = place_of(*s.target);
  std::optional<Place> value = place_of(*s.value);
  bool copy = !value || stored_by_copy(*value);
  if (!target) {
    read(*s.target);
    if (!copy) transfer(*value, "cannot be stored in `a field`", MoveKind::Assign, "");
    return;
  }
  read_place_indexes(*s.target);
  // Storing into a field or element of a moved value is a use of it.
  if (!target->projs.empty()) use_place(*target);
  check_borrows(*target, Access::BorrowX, s.id, s.pos);

  int r = find_local(target->root);
  Local* root = r >= 0 ? &locals_[static_cast<std::size_t>(r)] : nullptr;
  bool overlaps = value && relate(canonical(*value), canonical(*target)) == Relation::Overlap;
  if (!overlaps) {
    bool release = false;
    if (target->projs.empty()) {
      release = root && root->holder && root->oclass == OClass::Owned && !marks_[static_cast<std::size_t>(r)].moved;
    } else {
      release = class_of_expr(*s.target) == OClass::Owned;
    }
    if (release && stores()) {
      out_.texts.push_back(std::make_unique<const std::string>(place_text(*target)));
      DropItem place{*out_.texts.back(), false, root ? root->slot : 0};
      record_drop(s.id, target->pos, DropKind::Overwrite, "", {&place, 1});
    }
  }
  if (!copy) {
    std::string description = target->projs.empty() && root
                                  ? std::string("cannot be moved out")
                                  : "cannot be stored in `" + place_text(*target) + "`";
    transfer(*value, description, MoveKind::Assign, "");
  }
  if (target->projs.empty() && root && root->holder) marks_[static_cast<std::size_t>(r)] = Mark{};
}

void Analyzer::ret(const Ast::Return& s) {
  if (s.value) {
    read(*s.value);
    if (std::optional<Place> value = place_of(*s.value); value && !stored_by_copy(*value)) {
      transfer(*value, "escapes `" + std::string(fn_name_) + "`", MoveKind::Return, "");
    }
  }
  if (stores()) record_drop(s.id, s.pos, DropKind::Return, "", live_holders(0, true));
  dead_ = true;
}

void Analyzer::leave_loop(const Ast::Stmt& s, DropKind kind) {
  if (loop_scope_ >= 0 && stores()) {
    record_drop(s.id, s.pos, kind, "", live_holders(scopes_[static_cast<std::size_t>(loop_scope_)].first_local, true));
  }
  if (loop_scope_ >= 0 && !flows_.empty()) {
    std::size_t outer = scopes_[static_cast<std::size_t>(loop_scope_)].first_local;
    Marks at_exit(marks_.begin(), marks_.begin() + static_cast<std::ptrdiff_t>(outer));
    merge_into(kind == DropKind::Break ? flows_.back().out : flows_.back().back, at_exit);
  }
  dead_ = true;
}

void Analyzer::if_stmt(const Ast::If& s) {
  read(*s.cond);
  Marks entry = marks_;
  bool entry_dead = dead_;
  push_scope(s.id, s.pos, "THEN");
  block(s.then_block);
  pop_scope();
  Marks then_marks = std::move(marks_);
  bool then_dead = dead_;
  marks_ = std::move(entry);
  dead_ = entry_dead;
  Ast::Pos else_pos = s.else_part ? s.else_part->else_pos : s.pos;
  if (s.else_part) {
    push_scope(s.id, else_pos, "ELSE");
    block(s.else_part->body);
    pop_scope();
  }
  Marks else_marks = std::move(marks_);
  join_branches(then_marks, then_dead, else_marks, dead_, entry_dead, s.id, s.pos, "THEN", else_pos, "ELSE",
                true);
}

// Continues after two paths: a dead path drops out; when both stay live, each
// releases the holders the other moved, so they are dead on every path.
void Analyzer::join_branches(const Marks& a, bool a_dead, const Marks& b, bool b_dead, bool entry_dead,
                             Ast::NodeId id, Ast::Pos a_pos, std::string_view a_label, Ast::Pos b_pos,
                             std::string_view b_label, bool b_first) {
  if (a_dead || b_dead) {
    marks_ = a_dead && !b_dead ? b : a;
    dead_ = a_dead && b_dead ? true : entry_dead;
    return;
  }
  auto only_in = [&](const Marks& live, const Marks& moved) {
    std::vector<DropItem> items;
    for (std::size_t i = std::min(live.size(), locals_.size()); i-- > 0;) {
      const Local& l = locals_[i];
      if (l.holder && l.oclass == OClass::Owned && !live[i].moved && moved[i].moved)
        items.push_back(DropItem{l.name, false, l.slot});
    }
    return items;
  };
  if (!stores()) {
    marks_ = join(a, b);
    dead_ = false;
    return;
  }
  if (b_first) record_drop(id, b_pos, DropKind::JoinDrop, b_label, only_in(b, a));
  record_drop(id, a_pos, DropKind::JoinDrop, a_label, only_in(a, b));
  if (!b_first) record_drop(id, b_pos, DropKind::JoinDrop, b_label, only_in(b, a));
  marks_ = join(a, b);
  dead_ = false;
}

}  // namespace Owner::detail
