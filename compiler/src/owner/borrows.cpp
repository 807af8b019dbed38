// Places of expressions, borrow aliases, transfers of ownership and the
// check of an access against the borrows that are still outstanding.
#include "owner/analyzer.hpp"

namespace Owner::detail {

namespace {

Proj index_proj(const Ast::Expr& index) {
  if (const auto* lit = index.get_if<Ast::IntLit>()) return Proj{Proj::Kind::Index, "", lit->value};
  return Proj{Proj::Kind::IndexText, expr_text(index), 0};
}

std::string quoted(std::string_view text) { return "`" + std::string(text) + "`"; }

}  // namespace

std::optional<Place> Analyzer::place_of(const Ast::Expr& e) const {
  std::optional<Place> place;
  switch (e.kind) {
    case Ast::ExprKind::Ident:
      place.emplace();
      place->root = std::string(e.as<Ast::Ident>().name);
      place->root_pos = e.pos;
      break;
    case Ast::ExprKind::FieldAccess: {
      const auto& f = e.as<Ast::FieldAccess>();
      place = place_of(*f.object);
      if (place) place->projs.push_back(Proj{Proj::Kind::Field, std::string(f.field), 0});
      break;
    }
    case Ast::ExprKind::Index: {
      const auto& x = e.as<Ast::Index>();
      place = place_of(*x.collection);
      if (place) place->projs.push_back(index_proj(*x.index));
      break;
    }
    case Ast::ExprKind::Call: {
      // `get(c, k)`, `latest(c)`, `key_at(m, i)` and `val_at(m, i)` borrow an element of c.
      const auto& c = e.as<Ast::Call>();
      const auto* callee = c.callee->get_if<Ast::Ident>();
      if (!callee || !is_borrowing_builtin(callee->name) || is_program_fn(callee->name)) break;
      bool latest = callee->name == "latest";
      if (c.args.size() != (latest ? 1u : 2u)) break;
      place = place_of(*c.args[0]);
      if (!place) break;
      place->projs.push_back(latest ? Proj{Proj::Kind::IndexText, "latest", 0} : index_proj(*c.args[1]));
      break;
    }
    default:
      break;
  }
  if (place) {
    place->pos = e.pos;
    place->id = e.id;
    place->expr = &e;
  }
  return place;
}

// The place with its root resolved through the borrow alias it names.
Place Analyzer::canonical(const Place& place) const {
  int i = find_local(place.root);
  if (i < 0 || !locals_[static_cast<std::size_t>(i)].place) return place;
  const Place& base = *locals_[static_cast<std::size_t>(i)].place;
  Place out = place;
  out.root = base.root;
  out.projs = base.projs;
  out.projs.insert(out.projs.end(), place.projs.begin(), place.projs.end());
  return out;
}

bool Analyzer::stored_by_copy(const Place& place) const {
  if (!place.expr) return false;
  if (const auto* id = place.expr->get_if<Ast::Ident>()) {
    int i = find_local(id->name);
    if (i < 0) return true;
    const Local& l = locals_[static_cast<std::size_t>(i)];
    return l.oclass != OClass::Owned || Types::named_name(Types::strip_nullable(*l.ty)) == "Text";
  }
  std::optional<Types::Typ> ty = type_of(*place.expr);
  if (class_of(ty) != OClass::Owned) return true;
  // Text is copied wherever it is stored from a path.
  return Types::named_name(Types::strip_nullable(*ty)) == "Text";
}

Diag::Related Analyzer::borrow_label(const Local& borrower) const {
  std::string message;
  if (borrower.from_caller) {
    message = quoted(borrower.name) + " is borrowed here — declare it `take " + std::string(borrower.name) +
              ": T` to pass ownership in";
  } else {
    message = quoted(borrower.name) + " borrows " + quoted(borrower.label_place) + " here";
  }
  return Diag::related_site(path_, borrower.pos.line, borrower.pos.col, std::move(message));
}

void Analyzer::escape(const Place& place, const Local& root, std::string_view description) {
  if (observer_) {
    const Types::ClassInfo* info = place.expr ? class_of_typ(type_of(*place.expr)) : nullptr;
    if (info) {
      if (recording_) (*observer_)(info->name);
      if (!report_observed_) return;
    }
  }
  report(escape_code, place.root_pos,
         "borrow of " + quoted(place_text(place)) + " " + std::string(description) +
             " — borrows cannot outlive their scope",
         borrow_label(root));
}

bool Analyzer::transfer(const Place& place, std::string_view description, MoveKind kind,
                        std::string_view kind_name) {
  if (!place.expr || class_of_expr(*place.expr) != OClass::Owned) return false;
  int i = find_local(place.root);
  if (i >= 0 && locals_[static_cast<std::size_t>(i)].borrow) {
    escape(place, locals_[static_cast<std::size_t>(i)], description);
    return false;
  }
  if (i < 0 || marks_[static_cast<std::size_t>(i)].moved || !place.projs.empty()) return false;
  check_borrows(place, Access::Move, place.id, place.pos);
  marks_[static_cast<std::size_t>(i)] = Mark{true, place.pos};
  record_move(place, kind, kind_name);
  return true;
}

void Analyzer::check_borrows(const Place& written, Access kind, Ast::NodeId site, Ast::Pos site_pos) {
  if (local_borrows_ == 0) return;
  Place canon = canonical(written);
  // A write through a borrowing local does not conflict with that borrow (nor
  // with the borrows it was derived from); every other borrow still does.
  std::vector<bool> through(locals_.size(), false);
  if (kind != Access::Move) {
    for (int i = find_local(written.root); i >= 0 && !through[static_cast<std::size_t>(i)];
         i = locals_[static_cast<std::size_t>(i)].via) {
      if (!locals_[static_cast<std::size_t>(i)].place) break;
      through[static_cast<std::size_t>(i)] = true;
    }
  }
  for (std::size_t i = 0; i < locals_.size(); ++i) {
    const Local& b = locals_[i];
    if (!b.place || through[i]) continue;
    switch (relate(canon, *b.place)) {
      case Relation::Disjoint:
        break;
      case Relation::Overlap:
        if (kind == Access::Move) {
          report(move_while_borrowed_code, written.root_pos,
                 "cannot move " + quoted(place_text(written)) + " while " + quoted(b.label_place) +
                     " is borrowed",
                 borrow_label(b));
        } else {
          report(mutate_while_borrowed_code, written.root_pos,
                 "cannot mutate " + quoted(place_text(written)) + " while " + quoted(b.label_place) +
                     " is borrowed",
                 borrow_label(b));
        }
        break;
      case Relation::Undecided:
        if (stores()) {
          out_.residual.push_back(Residual{site, site_pos, place_text(canon), kind, written.id,
                                           place_text(*b.place), b.exclusive ? Access::BorrowX : Access::BorrowS,
                                           b.place->id});
        }
        break;
    }
  }
}

}  // namespace Owner::detail
