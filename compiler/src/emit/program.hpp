// Private to the emitter: the program-level tables that numbering builds and
// every method emitter reads (classes, interfaces, methods, constants, the
// ownership views of each file) and the diagnostics helpers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "emit/emit.hpp"
#include "emit/name_hash.hpp"

namespace Emit::detail {

// The type under every `?`.
inline const Types::Typ& strip_all(const Types::Typ& ty) {
  const Types::Typ* t = &ty;
  while (const auto* n = t->get_if<Types::TNullable>()) t = n->inner.get();
  return *t;
}

struct ClassRec;

// A type the emitter has met, with the facts the lowering asks of it again
// and again: whether its values are owned, collected, text, Float, and the
// class its values are instances of.
struct TypeInfo {
  Types::Typ typ;
  Owner::OClass oclass = Owner::OClass::Copy;
  bool text = false;    // Text or json.Value, under any `?`
  bool flt = false;     // Float, under any `?`
  bool shared = false;  // Text, json.Value or Bytes: reference-counted
  const ClassRec* cls = nullptr;  // `C`, `?C` and `ref C` give C's record
};

// A type as the lowering passes it around: one word naming an interned
// TypeInfo, or none when the type is not known.
class Ty {
 public:
  Ty() = default;
  Ty(std::nullopt_t) {}  // implicit, so `return std::nullopt;` reads as "not known"
  explicit Ty(const TypeInfo* info) : info_(info) {}
  explicit operator bool() const { return info_ != nullptr; }
  bool has_value() const { return info_ != nullptr; }
  const Types::Typ& operator*() const { return info_->typ; }
  const Types::Typ* operator->() const { return &info_->typ; }
  const TypeInfo* info() const { return info_; }

 private:
  const TypeInfo* info_ = nullptr;
};

// The tree interns names: equal names are nearly always the same bytes, and
// unequal ones mostly differ in their first.
inline bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.data() == b.data() || a.empty() || (a[0] == b[0] && a == b));
}

// A map from node addresses to small values, asked at every call or
// parameter: open addressing over a power-of-two table. Its keys are nearly
// always found, so it may fill to three quarters. The first value stored for
// a key stays.
template <class K, class V>
class PointerMap {
 public:
  void insert(const K* key, V value) {
    if (!key) return;
    if (4 * (used_ + 1) > 3 * slots_.size()) grow(std::max<std::size_t>(64, slots_.size() * 2));
    auto& slot = slots_[slot_of(key)];
    if (slot.first) return;
    slot = {key, value};
    ++used_;
  }
  void reserve(std::size_t n) {
    std::size_t size = 64;
    while (3 * size < 4 * n) size *= 2;
    if (size > slots_.size()) grow(size);
  }
  std::optional<V> find(const K* key) const {
    if (slots_.empty() || !key) return std::nullopt;
    const auto& slot = slots_[slot_of(key)];
    if (!slot.first) return std::nullopt;
    return slot.second;
  }

 private:
  std::size_t slot_of(const K* key) const {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = std::size_t((reinterpret_cast<std::uintptr_t>(key) >> 3) * 0x9E3779B97F4A7C15ULL >> 20) & mask;
    while (slots_[i].first && slots_[i].first != key) i = (i + 1) & mask;
    return i;
  }
  void grow(std::size_t size) {
    std::vector<std::pair<const K*, V>> old = std::move(slots_);
    slots_.assign(size, {nullptr, V{}});
    for (const auto& entry : old)
      if (entry.first) slots_[slot_of(entry.first)] = entry;
  }
  std::vector<std::pair<const K*, V>> slots_;
  std::size_t used_ = 0;
};

// Names to numbers by open addressing: no allocation per name. The names
// must outlive the table (they point into the trees or into storage of the
// table's owner).
class NameTable {
 public:
  void reserve(std::size_t n) {
    std::size_t size = 16;
    while (size < 2 * n) size *= 2;
    if (size > slots_.size()) rehash(size);
  }
  // The value already stored under `name`, or `value` after storing it.
  std::uint32_t insert(std::string_view name, std::uint32_t value) {
    if (2 * (used_ + 1) > slots_.size()) rehash(std::max<std::size_t>(16, slots_.size() * 2));
    Slot& slot = slots_[slot_of(name)];
    if (slot.used()) return slot.value;
    // An empty name still needs a non-null address to mark its slot taken.
    slot = {name.empty() ? "" : name.data(), std::uint32_t(name.size()), value};
    ++used_;
    return value;
  }
  std::optional<std::uint32_t> find(std::string_view name) const {
    if (slots_.empty()) return std::nullopt;
    const Slot& slot = slots_[slot_of(name)];
    if (!slot.used()) return std::nullopt;
    return slot.value;
  }

 private:
  struct Slot {
    const char* data = nullptr;
    std::uint32_t size = 0;
    std::uint32_t value = 0;
    bool used() const { return data != nullptr; }
    std::string_view name() const { return {data, size}; }
    bool holds(std::string_view other) const { return same_name(name(), other); }
  };
  std::size_t slot_of(std::string_view name) const {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = hash(name) & mask;
    while (slots_[i].used() && !slots_[i].holds(name)) i = (i + 1) & mask;
    return i;
  }
  static std::size_t hash(std::string_view name) { return std::size_t(name_hash(name)); }
  void rehash(std::size_t size) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
    for (const Slot& slot : old)
      if (slot.used()) slots_[slot_of(slot.name())] = slot;
  }
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

struct Program;

// Every type the method emitters meet, each stored once. Named types, the
// types written in the tree and those of the symbol tables are found without
// building a key; others are keyed by their structure.
class TypeTable {
 public:
  explicit TypeTable(const Program& prog) : prog_(prog) {}
  Ty named(std::string_view name);
  // The scalar types nearly every expression has, found without a lookup.
  Ty int_ty() { return int_ ? int_ : (int_ = named("Int")); }
  Ty float_ty() { return float_ ? float_ : (float_ = named("Float")); }
  Ty text_ty() { return text_ ? text_ : (text_ = named("Text")); }
  Ty bool_ty() { return bool_ ? bool_ : (bool_ = named("Bool")); }
  Ty of(const Types::Typ& ty);
  Ty of(const std::optional<Types::Typ>& ty) { return ty ? of(*ty) : Ty(); }
  Ty of_type_expr(const Ast::TypeExpr& ty);

 private:
  Ty add(Types::Typ ty);
  const Program& prog_;
  std::deque<TypeInfo> infos_;  // addresses stay put as it grows
  NameTable by_name_;                     // index into named_; names held by the infos
  std::vector<const TypeInfo*> named_;
  // Written type names, by the address of their bytes in the tree (which
  // outlives the emitter): no hashing of the text.
  PointerMap<char, const TypeInfo*> by_tree_name_;
  std::unordered_map<std::string, const TypeInfo*> by_shape_;
  PointerMap<Ast::TypeExpr, const TypeInfo*> by_expr_;
  Ty int_, float_, text_, bool_;
};

struct ClassRec {
  std::string_view name;  // held by Program::class_names
  bool gc = false;
  // Names and written types point into the trees and the symbol tables, so a
  // record allocates nothing per field.
  struct FieldRec {
    std::string_view name;
    const Ast::TypeExpr* type = nullptr;  // as written; null means Int
    const Ast::Field* decl = nullptr;  // null for variant payloads and library records
    Ty info;  // the field's type, interned once the classes are numbered
  };
  std::vector<FieldRec> fields;
  std::vector<TableIndex> indexes;
  const Types::ClassInfo* info = nullptr;  // null for union variant classes
  // The class's methods by name, in declaration order (a repeated name keeps
  // its first method), with what matching an interface signature asks of
  // them: vtables are built from here, without going back to the tree.
  struct MethodRef {
    std::string_view name;
    std::uint32_t id = 0;
    std::uint32_t params = 0;  // declared parameters, `self` not counted
    bool is_static = false;
  };
  std::vector<MethodRef> method_ids;

  // Slot of the field, or -1.
  int slot_of(std::string_view field) const;
};

struct IfaceRec {
  std::string name;
  const Types::InterfaceInfo* info = nullptr;
  std::uint32_t first_slot = 0;
};

// A method as numbered: its declaration (which names it) and where it is.
struct MethodRec {
  std::string_view name;  // the declaration's, kept here so numbering need not visit it again
  const Ast::Method* decl = nullptr;
  std::size_t file = 0;        // index into the source units
  std::uint32_t owner = none;  // class index; none for a free function
  std::uint32_t id = 0;        // its method index: what it becomes is entries[id]
};

// The ownership tables of one file, arranged for lookup by node id: the
// emitter asks at nearly every node. Memory grows with the drops, not with
// the nodes, and the drops of one method (whose nodes have neighbouring ids)
// sit together.
struct Views {
  static constexpr std::size_t block_ids = 64;
  // Drops ordered by site id; records of one site keep their recording order.
  std::vector<const Owner::Drop*> drops;
  std::vector<Ast::NodeId> drop_ids;  // drops[i]->id, scanned without touching the drops
  // The drops of sites in [b * block_ids, (b + 1) * block_ids) are
  // drops[block_start[b] .. block_start[b + 1]).
  std::vector<std::uint32_t> block_start;
  std::unordered_map<Ast::NodeId, std::vector<const Owner::Residual*>> residual;
  std::vector<bool> moved;  // by node id: expressions whose value moves away

  // The drop of this kind (and label, for SCOPE and JOIN-DROP) at the site.
  // Most sites' blocks hold no drop at all: that is answered inline.
  const Owner::Drop* find(Ast::NodeId id, Owner::DropKind kind, std::string_view label = {}) const {
    std::size_t block = id / block_ids;
    if (block + 1 >= block_start.size() || block_start[block] == block_start[block + 1]) return nullptr;
    return find_in_block(block, id, kind, label);
  }
  bool is_moved(Ast::NodeId id) const { return id < moved.size() && moved[id]; }

 private:
  const Owner::Drop* find_in_block(std::size_t block, Ast::NodeId id, Owner::DropKind kind,
                                   std::string_view label) const;
};

// `next_id` is larger than every node id of the file's tree.
Views build_views(const Owner::Tables& tables, Ast::NodeId next_id);


// Everything numbering decided, shared (read-mostly) by the method emitters.
struct Program {
  Program(const Types::Symbols& merged_, const Types::ModuleOf& module_of_, const Types::ModuleTables& modules_,
          Diag::Collector& collector_, std::span<const SourceUnit> files_)
      : merged(merged_), module_of(module_of_), modules(modules_), collector(collector_), files(files_) {}
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  const Types::Symbols& merged;
  const Types::ModuleOf& module_of;
  const Types::ModuleTables& modules;
  Diag::Collector& collector;
  std::span<const SourceUnit> files;

  std::vector<ClassRec> classes;
  NameTable class_ids;  // typedef aliases and "U.V" too
  std::deque<std::string> class_names;  // the names class_ids and the records point into
  std::vector<IfaceRec> interfaces;
  NameTable iface_ids;  // keyed by the declarations' names
  std::vector<MethodRec> methods;
  // Parallel to `methods`: the image's method entries, filled by the method
  // emitters and handed to the image whole.
  std::vector<MethodEntry> entries;
  NameTable fn_ids;  // free functions by key: "f" or "module#f"
  std::deque<std::string> fn_keys;  // the "module#f" keys fn_ids points into
  PointerMap<Ast::Method, std::uint32_t> method_of_decl;  // the declaration each method came from
  std::unordered_set<std::string, TextHash, std::equal_to<>> colliding_fns;
  std::uint32_t entry = none;
  ConstPool pool;
  std::vector<Views> views;  // per file
  std::vector<std::string> modules_of_files;  // per file
  std::unordered_set<const Owner::Residual*> guarded;
  TypeTable types{*this};
  NameTable variant_names;  // filled before the methods are emitted
  // Bare callee names already resolved, by the address of their bytes in the
  // tree: the method a declared function became, or none for other names
  // (`builtin`: a builtin that is not also a union variant).
  struct Callee {
    std::uint32_t size = 0;
    std::uint32_t method = none;
    bool builtin = false;
  };
  PointerMap<char, Callee> callees;
  // Result types of the builtins whose result does not depend on their first
  // argument (most of them), by name; not known: it does.
  TextMap<Ty> fixed_builtin_rets;

  std::optional<std::uint32_t> class_id(std::string_view name) const;
  std::optional<std::uint32_t> fn_id(std::string_view key) const;
  // The union variant a bare name denotes. Most names asked about are not
  // variants: the table of variant names answers those without a map lookup.
  std::optional<Types::FoundVariant> variant(std::string_view name) const {
    if (!variant_names.find(name)) return std::nullopt;
    return Types::find_variant_in(merged, name);
  }
  std::optional<std::uint32_t> class_method(std::uint32_t class_id, std::string_view name) const;
  std::optional<std::uint32_t> method_of(const Ast::Method* decl) const { return method_of_decl.find(decl); }
  const ClassRec* class_rec(std::string_view name) const;
  // Whether free functions of this name are declared in several modules.
  bool colliding(std::string_view name) const {
    return !colliding_fns.empty() && colliding_fns.find(name) != colliding_fns.end();
  }
  // The method key of a free function declared in `module`.
  std::string free_fn_key(std::string_view module, std::string_view name) const;

  void report(std::string_view code, std::size_t file, Ast::Pos pos, std::string message);
};

// "`name`"
std::string q(std::string_view name);

}  // namespace Emit::detail
