// What a builtin call needs beyond its signature's shapes: the values stored
// into or looked up in a container against its element, key and value
// types; what `len`, `join` and `sort` can work on; and no argument that may
// be nil, as the runtime reads every argument as a plain value.
#include "typing.hpp"

namespace Types::Typing {

namespace {

const TMulti* multi_of(const ExprInfo& info) {
  return info.known ? strip_nullable(*info.known).get_if<TMulti>() : nullptr;
}

const TMap* map_of(const ExprInfo& info) {
  return info.known ? strip_nullable(*info.known).get_if<TMap>() : nullptr;
}

// Values `len` measures; other names are unknown here and reported elsewhere.
bool has_length(const Symbols& symbols, const Typ& ty) {
  const Typ& t = strip_nullable(ty);
  if (t.is<TMulti>() || t.is<TMap>()) return true;
  std::string_view name = named_name(t);
  if (name == "Text" || name == "Bytes" || name == json_value_type) return true;
  if (t.is<TNamed>() && !is_builtin_scalar(name) && !is_stdlib_scalar_type(name) && !symbols.classes.contains(name) &&
      !symbols.unions.contains(name) && !symbols.interfaces.contains(name))
    return true;
  return false;
}

// Elements `sort` can order: the builtin scalars.
bool has_order(const Symbols& symbols, const Typ& elem) {
  std::string_view name = named_name(elem);
  if (is_builtin_scalar(name)) return true;
  // A name the program does not declare was reported where it was written.
  return elem.is<TNamed>() && !is_stdlib_scalar_type(name) && name != json_value_type &&
         !symbols.classes.contains(name) && !symbols.unions.contains(name) && !symbols.interfaces.contains(name);
}

}  // namespace

void Checker::check_builtin_values(const Ast::Call& c, std::string_view name, const std::vector<ExprInfo>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (c.args[i]) require_plain(*c.args[i], args[i]);
  }
  auto arg = [&](std::size_t i) -> const Ast::Expr* { return i < c.args.size() ? c.args[i] : nullptr; };
  const Ast::Expr* first = arg(0);
  if (!first) return;
  auto of_first = [&](const char* what) { return [&, what] { return std::string(what) + expr_label(*first); }; };

  if (name == "push" && args.size() == 2 && arg(1)) {
    if (const TMulti* m = multi_of(args[0])) check_fit(*m->elem, of_first("an element of "), *arg(1), args[1]);
  } else if (name == "set" && args.size() == 3 && arg(1) && arg(2)) {
    if (const TMap* m = map_of(args[0])) {
      check_fit(*m->key, of_first("a key of "), *arg(1), args[1]);
      check_fit(*m->value, of_first("a value of "), *arg(2), args[2]);
    }
  } else if ((name == "get" || name == "has" || name == "remove") && args.size() == 2 && arg(1)) {
    if (const TMap* m = map_of(args[0])) {
      check_fit(*m->key, of_first("a key of "), *arg(1), args[1]);
    } else if (name == "get" && multi_of(args[0])) {
      check_fit(t_named("Int"), of_first("an index into "), *arg(1), args[1]);
    }
  } else if (name == "len" && args.size() == 1) {
    if (args[0].known && !has_length(ctx_.merged, *args[0].known)) {
      report(type_code, first->pos,
             expr_label(*first) + " has type " + quoted(full_label(*args[0].known)) +
                 ", but `len` measures a `Text`, `Bytes`, `multi` or `map` — there is no implicit conversion");
    }
  } else if (name == "join" && args.size() == 2) {
    if (multi_of(args[0])) {
      check_fit(t_multi(t_named("Text")), [] { return std::string("the first argument of `join`"); }, *first, args[0]);
    }
  } else if (name == "sort" && args.size() == 1) {
    if (const TMulti* m = multi_of(args[0]); m && !has_order(ctx_.merged, *m->elem)) {
      report(builtin_code, first->pos,
             "builtin `sort` expects a `multi` whose elements have an order (Int, Float, Text, ...), got `" +
                 full_label(*args[0].known) + "`");
    }
  }
}

}  // namespace Types::Typing
