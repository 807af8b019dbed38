// The checker's types: construction, printing, conversions to and from type
// expressions, the fixed vocabularies and the runtime value kinds.
#include <array>

#include "types/types.hpp"

namespace Types {

namespace {

TypBox box(Typ ty) { return std::make_shared<const Typ>(std::move(ty)); }

template <std::size_t N>
bool member_of(const std::array<std::string_view, N>& names, std::string_view name) {
  for (std::string_view n : names) {
    if (n == name) return true;
  }
  return false;
}

constexpr std::array<std::string_view, 7> builtin_scalars = {"Int",   "Bool",  "Text", "Timestamp",
                                                             "Id",    "Float", "Bytes"};
constexpr std::array<std::string_view, 3> heap_scalars = {"Text", "Bytes", "json.Value"};
constexpr std::array<std::string_view, 7> stdlib_modules = {"fs", "proc", "net", "time", "json", "env", "math"};
constexpr std::array<std::string_view, 1> stdlib_scalar_types = {"net.Conn"};

enum Kind : int { Scalar = 0, Owned = 1, GcRef = 2, TextKind = 3, MultiKind = 4, MapKind = 5,
                  FloatKind = 6, BytesKind = 7, NullableKind = 8 };

}  // namespace

Typ t_void() { return Typ{TVoid{}}; }
Typ t_named(std::string_view name) { return Typ{TNamed{std::string(name)}}; }
Typ t_nullable(Typ inner) { return Typ{TNullable{box(std::move(inner))}}; }
Typ t_multi(Typ elem) { return Typ{TMulti{box(std::move(elem))}}; }
Typ t_map(Typ key, Typ value) { return Typ{TMap{box(std::move(key)), box(std::move(value))}}; }
Typ t_ref(std::string_view class_name) { return Typ{TRef{std::string(class_name)}}; }
Typ t_actor(std::string_view message_type) { return Typ{TActor{std::string(message_type)}}; }

std::string_view named_name(const Typ& ty) {
  const TNamed* n = ty.get_if<TNamed>();
  return n ? std::string_view(n->name) : std::string_view();
}

const Typ& strip_nullable(const Typ& ty) {
  const TNullable* n = ty.get_if<TNullable>();
  return n ? *n->inner : ty;
}

bool is_nullable(const Typ& ty) { return ty.is<TNullable>(); }

std::string typ_label(const Typ& ty) {
  // Nullable chains are the only recursion; walk them in a loop.
  std::string prefix;
  const Typ* t = &ty;
  while (const TNullable* n = t->get_if<TNullable>()) {
    prefix += '?';
    t = n->inner.get();
  }
  switch (t->v.index()) {
    case 0: return prefix + "void";
    case 1: return prefix + t->get_if<TNamed>()->name;
    case 3: return prefix + "multi";
    case 4: return prefix + "map";
    case 5: return prefix + "ref " + t->get_if<TRef>()->class_name;
    case 6: return prefix + "actor " + t->get_if<TActor>()->message_type;
  }
  return prefix;
}

Typ typ_of_field_ty(const Ast::TypeExpr& ty) {
  switch (ty.kind) {
    case Ast::TypeKind::TyName: return t_named(ty.as<Ast::TyName>().name);
    case Ast::TypeKind::TyRef: return t_ref(ty.as<Ast::TyRef>().class_name);
    case Ast::TypeKind::TyMulti: return t_multi(t_named(ty.as<Ast::TyMulti>().class_name));
    case Ast::TypeKind::TyMap: {
      const auto& m = ty.as<Ast::TyMap>();
      return t_map(t_named(m.key), t_named(m.value));
    }
    case Ast::TypeKind::TyBacklink: return t_multi(t_named(ty.as<Ast::TyBacklink>().class_name));
    case Ast::TypeKind::TyNullable: {
      const Ast::TypeExpr* inner = ty.as<Ast::TyNullable>().inner;
      return inner ? t_nullable(typ_of_field_ty(*inner)) : t_nullable(t_void());
    }
    case Ast::TypeKind::TyActor: return t_actor(ty.as<Ast::TyActor>().message_type);
  }
  return t_void();
}

const Ast::TypeExpr* field_ty_of_typ(const Typ& ty, Ast::Arena& arena) {
  auto name_of = [&](const Typ& t) -> std::optional<Ast::Name> {
    std::string_view n = named_name(t);
    if (!t.is<TNamed>()) return std::nullopt;
    return arena.intern(n);
  };
  switch (ty.v.index()) {
    case 0: return nullptr;
    case 1: {
      auto* out = arena.make<Ast::TyName>();
      out->kind = Ast::TypeKind::TyName;
      out->name = *name_of(ty);
      return out;
    }
    case 2: {
      const Ast::TypeExpr* inner = field_ty_of_typ(*ty.get_if<TNullable>()->inner, arena);
      if (!inner) return nullptr;
      auto* out = arena.make<Ast::TyNullable>();
      out->kind = Ast::TypeKind::TyNullable;
      out->inner = inner;
      return out;
    }
    case 3: {
      auto elem = name_of(*ty.get_if<TMulti>()->elem);
      if (!elem) return nullptr;
      auto* out = arena.make<Ast::TyMulti>();
      out->kind = Ast::TypeKind::TyMulti;
      out->class_name = *elem;
      return out;
    }
    case 4: {
      auto key = name_of(*ty.get_if<TMap>()->key);
      auto value = name_of(*ty.get_if<TMap>()->value);
      if (!key || !value) return nullptr;
      auto* out = arena.make<Ast::TyMap>();
      out->kind = Ast::TypeKind::TyMap;
      out->key = *key;
      out->value = *value;
      return out;
    }
    case 5: {
      auto* out = arena.make<Ast::TyRef>();
      out->kind = Ast::TypeKind::TyRef;
      out->class_name = arena.intern(ty.get_if<TRef>()->class_name);
      return out;
    }
    case 6: {
      auto* out = arena.make<Ast::TyActor>();
      out->kind = Ast::TypeKind::TyActor;
      out->message_type = arena.intern(ty.get_if<TActor>()->message_type);
      return out;
    }
  }
  return nullptr;
}

bool is_builtin_scalar(std::string_view name) { return member_of(builtin_scalars, name); }
bool is_heap_scalar(std::string_view name) { return member_of(heap_scalars, name); }
bool is_stdlib_module(std::string_view name) { return member_of(stdlib_modules, name); }

bool library_module_call(std::string_view module, const ModuleTables& modules) {
  if (!is_stdlib_module(module)) return false;
  if (module != "math") return true;
  for (const auto& [path, symbols] : modules) {
    std::string_view p = path;
    if (p == module || (p.size() > module.size() && p.ends_with(module) && p[p.size() - module.size() - 1] == '/'))
      return false;
  }
  return true;
}
bool is_stdlib_scalar_type(std::string_view name) { return member_of(stdlib_scalar_types, name); }

NumericWorld numeric_world(std::string_view name) {
  if (name == "Float") return NumericWorld::Float;
  if (name == "Int" || name == "Id" || name == "Timestamp") return NumericWorld::Int;
  return NumericWorld::None;
}

bool is_gc_class(const Symbols& symbols, std::string_view name) {
  if (symbols.gc_classes.count(name)) return true;
  const ClassInfo* c = symbols.classes.find(name);
  return c && c->gc;
}

int vkb_kind_of_typ(const Symbols& symbols, const Typ& ty) {
  switch (ty.v.index()) {
    case 0: return Scalar;
    case 2: return NullableKind;
    case 3: return MultiKind;
    case 4: return MapKind;
    case 5: return Scalar;
    case 6: return Scalar;
    default: break;
  }
  std::string_view n = named_name(ty);
  if (n == "Text" || n == json_value_type) return TextKind;
  if (n == "Float") return FloatKind;
  if (n == "Bytes") return BytesKind;
  if (is_stdlib_scalar_type(n) || is_builtin_scalar(n)) return Scalar;
  if (const UnionInfo* u = symbols.unions.find(n)) return u->has_payload ? Owned : Scalar;
  return is_gc_class(symbols, n) ? GcRef : Owned;
}

bool typ_equal(const Symbols& symbols, const Typ& a, const Typ& b) {
  if (a.v.index() != b.v.index()) return false;
  switch (a.v.index()) {
    case 0: return true;
    case 1: return a.get_if<TNamed>()->name == b.get_if<TNamed>()->name;
    case 2: return typ_equal(symbols, *a.get_if<TNullable>()->inner, *b.get_if<TNullable>()->inner);
    case 3: return typ_equal(symbols, *a.get_if<TMulti>()->elem, *b.get_if<TMulti>()->elem);
    case 4:
      return typ_equal(symbols, *a.get_if<TMap>()->key, *b.get_if<TMap>()->key) &&
             typ_equal(symbols, *a.get_if<TMap>()->value, *b.get_if<TMap>()->value);
    case 5: return a.get_if<TRef>()->class_name == b.get_if<TRef>()->class_name;
    case 6: return a.get_if<TActor>()->message_type == b.get_if<TActor>()->message_type;
  }
  return false;
}

}  // namespace Types
