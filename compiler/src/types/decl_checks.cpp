// Checks of declarations: unknown type names in fields and variant payloads,
// and interface satisfaction where a class value meets an interface type.
#include "types/types.hpp"

namespace Types {

namespace {

// The name a field's type stands for when it is a plain name or `?` of one;
// other shapes are not checked here.
std::optional<std::string_view> plain_type_name(const Ast::TypeExpr* ty) {
  if (!ty) return std::nullopt;
  if (const auto* n = ty->get_if<Ast::TyNullable>()) ty = n->inner;
  if (!ty) return std::nullopt;
  if (const auto* name = ty->get_if<Ast::TyName>()) return name->name;
  return std::nullopt;
}

bool is_known_type(const Symbols& merged, std::string_view name) {
  if (is_builtin_scalar(name) || merged.classes.contains(name) || merged.interfaces.contains(name) ||
      merged.unions.contains(name)) {
    return true;
  }
  std::size_t dot = name.find('.');
  return dot != std::string_view::npos && is_stdlib_module(name.substr(0, dot));
}

void check_type_name(const std::string& path, const Symbols& merged, Diag::Collector& collector,
                     const Ast::TypeExpr* ty, Ast::Pos at) {
  std::optional<std::string_view> name = plain_type_name(ty);
  if (!name || is_known_type(merged, *name)) return;
  std::string n(*name);
  std::string message =
      n == "Dynamic" || n == "untyped"
          ? "`" + n +
                "` is rejected: static typing all the way to the register — typed `json.decode … as T -> ?T` "
                "covers the real use (principle 13)"
          : "unknown type `" + n + "`";
  collector.add(Diag::error(unknown_field_type_code, path, at.line, at.col, std::move(message)));
}

}  // namespace

void check_field_types(const std::string& path, const Symbols& file, const Symbols& merged,
                       Diag::Collector& collector) {
  // Sites differ per field, so the collector's ordering makes the hash order invisible.
  for (const auto& [name, c] : file.classes) {
    for (const Ast::Field& f : c.fields) check_type_name(path, merged, collector, f.ty, f.pos);
  }
  for (const auto& [name, u] : file.unions) {
    for (const Ast::Variant& v : u.variants) {
      // Payload fields carry no position of their own: point at the type.
      for (const Ast::PayloadField& p : v.payload) {
        check_type_name(path, merged, collector, p.ty, p.ty ? p.ty->pos : v.pos);
      }
    }
  }
}

void check_iface_boundary(const std::string& path, const Symbols& merged, Diag::Collector& collector,
                          const Typ& target, const std::optional<Typ>& value, Ast::Pos value_pos) {
  if (!value) return;
  const InterfaceInfo* iface = merged.interfaces.find(named_name(strip_nullable(target)));
  const ClassInfo* cls = merged.classes.find(named_name(strip_nullable(*value)));
  if (!iface || !cls) return;
  for (const Ast::Signature* sig : iface->sigs) {
    bool found = false;
    for (const Ast::Method* m : cls->methods) {
      if (m->name == sig->name && !m->is_static && m->params.size() == sig->params.size()) {
        found = true;
        break;
      }
    }
    if (!found) {
      collector.add(Diag::error(iface_code, path, value_pos.line, value_pos.col,
                                "`" + std::string(cls->name) + "` does not satisfy interface `" +
                                    std::string(iface->name) + "`: no matching instance method `" +
                                    std::string(sig->name) + "`"));
      return;
    }
  }
}

}  // namespace Types
