// Declaration tables: collecting one file's declarations, the library
// records, merging tables of files and modules, and lookups in them.
#include <array>

#include "types/types.hpp"

namespace Types {

namespace {

// Library records carry this node id (-1) and position 0:0.
constexpr Ast::NodeId library_node_id = static_cast<Ast::NodeId>(-1);

Ast::TyName ty_name(std::string_view name) {
  Ast::TyName ty{};
  ty.kind = Ast::TypeKind::TyName;
  ty.name = name;
  return ty;
}

Ast::Field plain_field(std::string_view name, const Ast::TypeExpr* ty) {
  Ast::Field f{};
  f.name = name;
  f.ty = ty;
  f.default_kind = Ast::DefaultKind::None;
  return f;
}

struct LibraryRecords {
  Ast::TyName int_ty = ty_name("Int");
  Ast::TyName text_ty = ty_name("Text");
  Ast::TyName bool_ty = ty_name("Bool");
  std::array<Ast::Field, 4> error{plain_field("code", &int_ty), plain_field("line", &int_ty),
                                  plain_field("method", &text_ty), plain_field("msg", &text_ty)};
  std::array<Ast::Field, 4> stat{plain_field("size", &int_ty), plain_field("mtime", &int_ty),
                                 plain_field("inode", &int_ty), plain_field("dir", &bool_ty)};
  std::array<Ast::Field, 7> time_parts{plain_field("year", &int_ty),   plain_field("month", &int_ty),
                                       plain_field("day", &int_ty),    plain_field("hour", &int_ty),
                                       plain_field("minute", &int_ty), plain_field("second", &int_ty),
                                       plain_field("dow", &int_ty)};
  std::array<Ast::Field, 3> proc{plain_field("code", &int_ty), plain_field("out", &text_ty),
                                 plain_field("err", &text_ty)};
  std::array<ClassInfo, 4> records{record("Error", error), record("Stat", stat),
                                   record("TimeParts", time_parts), record("Proc", proc)};

  LibraryRecords() = default;
  LibraryRecords(const LibraryRecords&) = delete;  // the fields point into this object

  template <std::size_t N>
  static ClassInfo record(std::string_view name, const std::array<Ast::Field, N>& fields) {
    ClassInfo c;
    c.name = name;
    c.is_class = false;
    c.is_typedef = true;
    c.fields = fields;
    c.id = library_node_id;
    c.pub = true;
    return c;
  }
};

const LibraryRecords& library_records() {
  static const LibraryRecords records;
  return records;
}

void report_duplicate_decl(const std::string& path, Diag::Collector& collector, std::string_view kind,
                           std::string_view name, Ast::Pos at, Ast::Pos first) {
  std::string n(name);
  collector.add(Diag::error(
      duplicate_decl_code, path, at.line, at.col, std::string(kind) + " `" + n + "` already declared",
      {Diag::related_site(path, first.line, first.col, "`" + n + "` first declared here")}));
}

ClassInfo class_info(const Ast::ClassDecl& d) {
  ClassInfo c;
  c.name = d.name;
  c.is_class = d.is_class;
  c.is_typedef = d.is_typedef;
  c.gc = d.gc;
  c.table = d.table;
  c.fields = d.fields;
  c.methods = d.methods;
  c.id = d.id;
  c.pos = d.pos;
  c.pub = d.pub;
  return c;
}

// A union's variants are checked against the variants of the file's unions
// collected so far and against its own earlier variants.
void collect_union(const std::string& path, const Ast::UnionDecl& d, Symbols& symbols,
                   Diag::Collector& collector) {
  UnionInfo u;
  u.name = d.name;
  u.variants = d.variants;
  for (const Ast::Variant& v : d.variants) u.has_payload = u.has_payload || !v.payload.empty();
  u.id = d.id;
  u.pos = d.pos;
  u.pub = d.pub;
  if (const UnionInfo* first = symbols.unions.find(d.name)) {
    report_duplicate_decl(path, collector, "union", d.name, d.pos, first->pos);
    return;
  }
  for (std::size_t i = 0; i < d.variants.size(); ++i) {
    const Ast::Variant& v = d.variants[i];
    const Ast::Variant* first = nullptr;
    if (auto found = find_variant_in(symbols, v.name)) first = found->variant;
    for (std::size_t j = 0; j < i && !first; ++j) {
      if (d.variants[j].name == v.name) first = &d.variants[j];
    }
    if (first) report_duplicate_decl(path, collector, "variant", v.name, v.pos, first->pos);
  }
  symbols.add_union(u);
}

}  // namespace

const Ast::Field* ClassInfo::field(std::string_view field_name) const {
  for (const Ast::Field& f : fields) {
    if (f.name == field_name) return &f;
  }
  return nullptr;
}

const Ast::Method* ClassInfo::method(std::string_view method_name) const {
  for (const Ast::Method* m : methods) {
    if (m->name == method_name) return m;
  }
  return nullptr;
}

bool Symbols::add_union(const UnionInfo& info) {
  if (!unions.insert(info).second) return false;
  for (std::size_t i = 0; i < info.variants.size(); ++i) {
    variants.emplace(info.variants[i].name, VariantRef{info.name, static_cast<std::uint32_t>(i)});
  }
  return true;
}

Symbols collect_declarations(const std::string& path, const Ast::Program& tree,
                             Diag::Collector& collector) {
  Symbols symbols;
  for (const Ast::Decl* decl : tree.decls) {
    switch (decl->kind) {
      case Ast::DeclKind::ClassDecl: {
        const auto& d = decl->as<Ast::ClassDecl>();
        auto [entry, added] = symbols.classes.insert(class_info(d));
        if (!added) report_duplicate_decl(path, collector, "class", d.name, d.pos, entry->pos);
        break;
      }
      case Ast::DeclKind::InterfaceDecl: {
        const auto& d = decl->as<Ast::InterfaceDecl>();
        auto [entry, added] = symbols.interfaces.insert(InterfaceInfo{d.name, d.sigs, d.id, d.pos, d.pub});
        if (!added) report_duplicate_decl(path, collector, "interface", d.name, d.pos, entry->pos);
        break;
      }
      case Ast::DeclKind::FnDecl: {
        const Ast::Method* fn = decl->as<Ast::FnDecl>().fn;
        if (!fn) break;
        auto [entry, added] = symbols.functions.insert(FnInfo{fn->name, fn, fn->id, fn->pos, fn->pub});
        if (!added) report_duplicate_decl(path, collector, "fn", fn->name, fn->pos, entry->pos);
        break;
      }
      case Ast::DeclKind::UnionDecl:
        collect_union(path, decl->as<Ast::UnionDecl>(), symbols, collector);
        break;
      case Ast::DeclKind::UseDecl:
      case Ast::DeclKind::ConstDecl:
        break;
    }
  }
  return symbols;
}

Symbols with_builtin_records(Symbols symbols) {
  for (const ClassInfo& record : library_records().records) symbols.classes.insert(record);
  return symbols;
}

void merge_keep_first(Symbols& into, const Symbols& next) {
  for (const auto& [name, info] : next.classes) into.classes.insert_shared(info);
  for (const auto& [name, info] : next.interfaces) into.interfaces.insert_shared(info);
  for (const auto& [name, info] : next.functions) into.functions.insert_shared(info);
  // A variant keeps leading where it led in `next` when its union is taken over.
  std::unordered_set<std::string_view> added_unions;
  for (const auto& [name, info] : next.unions) {
    if (into.unions.insert_shared(info).second) added_unions.insert(name);
  }
  for (const auto& [variant, ref] : next.variants) {
    if (added_unions.count(ref.union_name)) into.variants.emplace(variant, ref);
  }
  into.gc_classes.insert(next.gc_classes.begin(), next.gc_classes.end());
}

ModuleTables module_symbols(const ModuleOf& module_of, std::span<const FileSymbols> files) {
  ModuleTables tables;
  for (const FileSymbols& file : files) merge_keep_first(tables[module_of(file.path)], file.symbols);
  return tables;
}

std::optional<FoundVariant> find_variant(const Symbols& symbols, std::string_view union_name,
                                         std::string_view name) {
  const UnionInfo* u = symbols.unions.find(union_name);
  if (!u) return std::nullopt;
  for (std::size_t i = 0; i < u->variants.size(); ++i) {
    if (u->variants[i].name == name) return FoundVariant{u, &u->variants[i], static_cast<std::uint32_t>(i)};
  }
  return std::nullopt;
}

std::optional<FoundVariant> find_variant_in(const Symbols& symbols, std::string_view name) {
  auto it = symbols.variants.find(name);
  if (it == symbols.variants.end()) return std::nullopt;
  const UnionInfo* u = symbols.unions.find(it->second.union_name);
  if (!u || it->second.index >= u->variants.size()) return std::nullopt;
  return FoundVariant{u, &u->variants[it->second.index], it->second.index};
}

const Ast::Method* static_method_of(const Symbols& symbols, std::string_view class_name,
                                    std::string_view name) {
  const ClassInfo* c = symbols.classes.find(class_name);
  if (!c) return nullptr;
  const Ast::Method* m = c->method(name);
  return m && m->is_static ? m : nullptr;
}

std::string path_str(std::span<const Ast::Name> path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i) out += '/';
    out += path[i];
  }
  return out;
}

std::vector<const Ast::UseDecl*> uses_of_program(const Ast::Program& tree) {
  std::vector<const Ast::UseDecl*> uses;
  for (const Ast::Decl* decl : tree.decls) {
    if (const auto* u = decl->get_if<Ast::UseDecl>()) uses.push_back(u);
  }
  return uses;
}

}  // namespace Types
