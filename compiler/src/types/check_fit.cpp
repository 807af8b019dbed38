// Whether a value's type fits the place it is stored in: a `let` with a
// declared type, an assignment, an argument, a constructor field, a variant
// payload, a `return`. There are no implicit conversions; what the language
// allows is a `T` into `?T`, a class into an interface (whose satisfaction is
// checked on its own), a variant into its union (a variant call already has
// the union's type), and the Int-world scalars where an Int is wanted.
#include "typing.hpp"

namespace Types::Typing {

namespace {

// Names the program or the language defines. An unknown name was reported
// where it was written; comparing with it would only repeat that.
bool is_known_name(const Symbols& symbols, std::string_view name) {
  return is_builtin_scalar(name) || is_stdlib_scalar_type(name) || name == json_value_type ||
         symbols.classes.contains(name) || symbols.interfaces.contains(name) || symbols.unions.contains(name);
}

// `Bool`, `Timestamp` and `Id` are accepted where the Int world is, as the
// builtins accept them for an `Int` argument.
bool fits_int_world(std::string_view target, std::string_view value) {
  return numeric_world(target) == NumericWorld::Int &&
         (numeric_world(value) == NumericWorld::Int || value == "Bool");
}

// Element and value types of containers: the same name, or an unknown one.
bool same_inner(const Symbols& symbols, const Typ& a, const Typ& b) {
  std::string_view an = named_name(a);
  std::string_view bn = named_name(b);
  if (!an.empty() && !is_known_name(symbols, an)) return true;
  if (!bn.empty() && !is_known_name(symbols, bn)) return true;
  return typ_equal(symbols, a, b);
}

}  // namespace

std::string full_label(const Typ& ty) {
  if (const auto* n = ty.get_if<TNullable>()) return "?" + full_label(*n->inner);
  if (const auto* m = ty.get_if<TMulti>()) return "multi " + full_label(*m->elem);
  if (const auto* m = ty.get_if<TMap>()) return "map<" + full_label(*m->key) + ", " + full_label(*m->value) + ">";
  return typ_label(ty);
}

bool type_fits(const Symbols& symbols, const Typ& target, const Typ& value) {
  const Typ& t = strip_nullable(target);
  const Typ& v = strip_nullable(value);
  // `??T` is refused where it is written; nothing more to say here.
  if (t.is<TNullable>() || v.is<TNullable>()) return true;
  if (typ_equal(symbols, t, v)) return true;
  if (const auto* tn = t.get_if<TNamed>()) {
    if (!is_known_name(symbols, tn->name)) return true;
    if (const auto* vn = v.get_if<TNamed>()) {
      if (!is_known_name(symbols, vn->name)) return true;
      if (symbols.interfaces.contains(tn->name) && symbols.classes.contains(vn->name)) return true;
      return fits_int_world(tn->name, vn->name);
    }
    return false;
  }
  if (const auto* tr = t.get_if<TRef>()) {
    // A reference is taken from the instance itself.
    std::string_view vn = named_name(v);
    return vn == tr->class_name || (!vn.empty() && !is_known_name(symbols, vn));
  }
  if (const auto* tm = t.get_if<TMulti>()) {
    const auto* vm = v.get_if<TMulti>();
    return vm && same_inner(symbols, *tm->elem, *vm->elem);
  }
  if (const auto* tm = t.get_if<TMap>()) {
    const auto* vm = v.get_if<TMap>();
    return vm && same_inner(symbols, *tm->key, *vm->key) && same_inner(symbols, *tm->value, *vm->value);
  }
  return false;
}

void Checker::check_fit(const Typ& target, const LazyText& target_label, const Ast::Expr& value,
                        const ExprInfo& info) {
  if (info.is_nil || !info.known) return;
  if (type_fits(ctx_.merged, target, *info.known)) return;
  std::string what = info.known->is<TVoid>() ? std::string("this call yields no value")
                                              : expr_label(value) + " has type " + quoted(full_label(*info.known));
  report(type_code, value.pos,
         what + ", but " + target_label() + " is " + quoted(full_label(target)) + " — there is no implicit conversion");
}

}  // namespace Types::Typing
