// Typing of constructors, `insert`, `delete` and queries over tables.
#include "typing.hpp"

namespace Types::Typing {

void Checker::check_store(const Typ& target, const LazyText& target_label, const Ast::Expr& value,
                          const ExprInfo& info) {
  if (is_nullable(target)) return;
  if (!info.is_nil && !is_nullable(info.ty)) return;
  report(nil_store_code, value.pos,
         expr_label(value) + " cannot be stored in " + target_label() +
             " — the target is not nullable; declare it `?T` or narrow the value first");
}

// `Name { f: e, ... }` and `insert Name { ... }`: every field without a
// default, that may not be nil and is not a backlink must be given.
ExprInfo Checker::ctor(Ast::Name class_name, std::span<const Ast::FieldInit> fields, Ast::Pos pos, bool insert) {
  std::vector<ExprInfo> values;
  values.reserve(fields.size());
  for (const Ast::FieldInit& f : fields) values.push_back(f.value ? expr(*f.value) : unknown_info());
  const std::string what = insert ? "insert" : "constructor";
  const ClassInfo* cls = ctx_.merged.classes.find(class_name);
  if (!cls) {
    report(unknown_ctor_code, pos, "unknown type " + quoted(class_name) + " in " + what);
    return insert ? known_info(t_named("Int")) : unknown_info();
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const Ast::Field* field = cls->field(fields[i].field);
    if (!field) {
      report(unknown_field_code, fields[i].pos,
             "unknown field " + quoted(fields[i].field) + " on " + quoted(cls->name));
      continue;
    }
    if (field->ty && fields[i].value) {
      Typ ty = typ_of_field_ty(*field->ty);
      check_store(ty, [&] { return "field " + quoted(field->name) + " (`" + typ_label(ty) + "`)"; },
                  *fields[i].value, values[i]);
      check_fit(ty, [&] { return "field " + quoted(field->name); }, *fields[i].value, values[i]);
    }
  }
  for (const Ast::Field& field : cls->fields) {
    if (field.default_kind != Ast::DefaultKind::None || !field.ty) continue;
    if (field.ty->kind == Ast::TypeKind::TyNullable || field.ty->kind == Ast::TypeKind::TyBacklink) continue;
    bool given = false;
    for (const Ast::FieldInit& f : fields) given = given || f.field == field.name;
    if (!given) {
      report(missing_field_code, pos,
             "missing field " + quoted(field.name) + " in " + (insert ? "insert of " : "constructor of ") +
                 quoted(cls->name));
    }
  }
  return known_info(insert ? t_named("Int") : t_named(cls->name));
}

ExprInfo Checker::delete_expr(const Ast::Delete& d) {
  ExprInfo target = d.target ? expr(*d.target) : unknown_info();
  const Typ& ty = target.ty;
  bool is_row = false;
  if (const TRef* r = ty.get_if<TRef>()) {
    is_row = ctx_.merged.classes.contains(r->class_name);
  } else if (ty.is<TNamed>()) {
    is_row = ctx_.merged.classes.contains(named_name(ty));
  }
  if (!is_row) report(table_code, d.pos, "`delete` takes a table-row value");
  return known_info(t_named("Int"));
}

// `from x in T ...` over a declared class, or over a navigation source of
// type `multi C`; the clauses see x, the `take` limit does not.
ExprInfo Checker::query(const Ast::Query& q) {
  std::optional<Typ> row;
  if (!q.source_expr) {
    if (ctx_.merged.classes.contains(q.table)) {
      row = t_named(q.table);
    } else {
      report(table_code, q.from_pos,
             "`from " + std::string(q.var) + " in " + std::string(q.table) + "`: " + quoted(q.table) +
                 " is not a declared table class");
      row = t_named(q.table);
    }
  } else {
    ExprInfo source = expr(*q.source_expr);
    const TMulti* multi = source.ty.get_if<TMulti>();
    std::string_view elem = multi ? named_name(*multi->elem) : std::string_view{};
    if (!elem.empty() && ctx_.merged.classes.contains(elem)) {
      row = t_named(elem);
    } else {
      report(table_code, q.source_expr->pos, "query navigation source must be a `backlink`/`multi` of a table class");
    }
  }
  if (q.group_key) {
    report(table_code, q.group_key->pos,
           q.source_expr ? "group-by on a navigation query is not supported yet"
                         : "group-by aggregation is not supported yet");
  }
  if (q.take) expr(*q.take);
  Mark m = mark();
  bind(q.var, row);
  if (!q.group_into.empty()) bind(q.group_into, std::nullopt);
  if (q.group_key) expr(*q.group_key);
  for (const Ast::Expr* w : q.wheres) {
    if (w) expr(*w);
  }
  if (q.order_key) expr(*q.order_key);
  if (q.select) expr(*q.select);
  restore(m);
  return unknown_info();
}

}  // namespace Types::Typing
