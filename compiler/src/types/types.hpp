// The type checker: the checker's types, the declaration tables (symbol
// tables) of files, modules and the whole program, local scopes with nil
// narrowing, the declaration and module checks, and the typing of bodies.
//
// Lifetimes: names in the symbol tables and in `Env` are views into the syntax
// trees they were collected from (or into static text for the library records),
// so the trees must outlive every table built from them. `Typ` owns its names.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "ast/ast.hpp"
#include "diag/diag.hpp"

namespace Types {

// ================================================================ types

struct Typ;
using TypBox = std::shared_ptr<const Typ>;  // never null inside a Typ

struct TVoid {};                        // a call of a function without result
struct TNamed { std::string name; };    // scalar, class, record, union, interface, `json.Value`
struct TNullable { TypBox inner; };     // `?T`
struct TMulti { TypBox elem; };         // `multi T`
struct TMap { TypBox key; TypBox value; };  // `map<K, V>`
struct TRef { std::string class_name; };     // `ref C`
struct TActor { std::string message_type; }; // `actor M`

// The alternatives are in printing order; switch on `v.index()` or use get_if.
struct Typ {
  std::variant<TVoid, TNamed, TNullable, TMulti, TMap, TRef, TActor> v;

  template <class T>
  const T* get_if() const { return std::get_if<T>(&v); }
  template <class T>
  bool is() const { return std::holds_alternative<T>(v); }
};

Typ t_void();
Typ t_named(std::string_view name);
Typ t_nullable(Typ inner);
Typ t_multi(Typ elem);
Typ t_map(Typ key, Typ value);
Typ t_ref(std::string_view class_name);
Typ t_actor(std::string_view message_type);

// The name of a TNamed, else empty.
std::string_view named_name(const Typ& ty);
// `?T` gives T; anything else is returned as is.
const Typ& strip_nullable(const Typ& ty);
bool is_nullable(const Typ& ty);

// How a type is shown in messages: `?multi`, `map`, `ref Node`, `actor Msg`.
std::string typ_label(const Typ& ty);

// Conversions between the tree's type expressions and `Typ`. A backlink reads
// as a `multi` of its owning class; the reverse never produces a backlink.
Typ typ_of_field_ty(const Ast::TypeExpr& ty);

// A type expression rebuilt from a `Typ`, when one exists. Nodes are
// allocated in `arena`; their ids and positions are zero.
const Ast::TypeExpr* field_ty_of_typ(const Typ& ty, Ast::Arena& arena);

// ================================================================ vocabularies

bool is_builtin_scalar(std::string_view name);      // Int Bool Text Timestamp Id Float Bytes
bool is_heap_scalar(std::string_view name);         // Text Bytes json.Value
bool is_stdlib_module(std::string_view name);       // fs proc net time json env math
bool is_stdlib_scalar_type(std::string_view name);  // net.Conn
inline constexpr std::string_view json_value_type = "json.Value";
inline constexpr std::string_view error_record = "Error";

enum class NumericWorld : std::uint8_t { None, Int, Float };
NumericWorld numeric_world(std::string_view name);

// ================================================================ symbol tables

// A growable array whose elements never move: chunk k holds 8 << k
// elements, so a small table costs little and a large one wastes at most half
// of its last chunk.
template <class T>
class StableArray {
 public:
  StableArray() = default;
  StableArray(const StableArray& other) {
    for (std::size_t i = 0; i < other.size_; ++i) push_back(other[i]);
  }
  StableArray& operator=(const StableArray& other) {
    if (this != &other) {
      StableArray copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  StableArray(StableArray&&) noexcept = default;
  StableArray& operator=(StableArray&&) noexcept = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t i) const { return chunks_[chunk_of(i)][i - chunk_start(chunk_of(i))]; }
  T& operator[](std::size_t i) { return chunks_[chunk_of(i)][i - chunk_start(chunk_of(i))]; }
  T& push_back(const T& value) {
    std::size_t k = chunk_of(size_);
    if (k == chunks_.size()) chunks_.push_back(std::make_unique<T[]>(std::size_t{8} << k));
    T& slot = chunks_[k][size_ - chunk_start(k)];
    slot = value;
    ++size_;
    return slot;
  }

 private:
  // Element i is in chunk bit_width(i / 8 + 1) - 1, which starts at 8 * (2^k - 1).
  static std::size_t chunk_of(std::size_t i) { return static_cast<std::size_t>(std::bit_width(i / 8 + 1)) - 1; }
  static std::size_t chunk_start(std::size_t k) { return 8 * ((std::size_t{1} << k) - 1); }

  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t size_ = 0;
};

// A name-keyed table of declarations. Lookups hash; listings are in name
// (byte) order. `Info` has a `name` member that is its key.
//
// A table owns the entries inserted by value, in stable storage (a pointer to
// one stays valid while the table grows), and may also refer to entries
// another table owns (insert_shared): the module tables and the merged table
// refer to the file tables instead of copying every entry. An open-addressing
// index of entry numbers holds a program's hundred thousand names in a
// fraction of the memory of one allocation per name.
template <class Info>
class NameMap {
  struct Ref {
    const Info* info;
    std::uint32_t owned;  // index into owned_, or not_owned for another table's entry
  };

 public:
  NameMap() = default;
  NameMap(const NameMap& other) : owned_(other.owned_), refs_(other.refs_), slots_(other.slots_) {
    for (Ref& r : refs_) {
      if (r.owned != not_owned) r.info = &owned_[r.owned];
    }
  }
  NameMap& operator=(const NameMap& other) {
    if (this != &other) {
      NameMap copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  NameMap(NameMap&&) noexcept = default;
  NameMap& operator=(NameMap&&) noexcept = default;

  const Info* find(std::string_view name) const {
    std::uint32_t at = locate(name, hash_of(name));
    return at == empty_slot ? nullptr : refs_[slots_[at].entry].info;
  }
  // The entry under that name, to be changed in place (never its name); an
  // entry of another table is copied into this one first.
  Info* find_mutable(std::string_view name) {
    std::uint32_t at = locate(name, hash_of(name));
    if (at == empty_slot) return nullptr;
    Ref& r = refs_[slots_[at].entry];
    if (r.owned == not_owned) {
      r.owned = static_cast<std::uint32_t>(owned_.size());
      r.info = &owned_.push_back(*r.info);
      sorted_.clear();
    }
    return &owned_[r.owned];
  }
  bool contains(std::string_view name) const { return find(name) != nullptr; }
  // Adds a copy of the entry unless its name is taken; gives the entry now under the name.
  std::pair<const Info*, bool> insert(const Info& info) { return add(info, true); }
  // The same, referring to `info` itself, which must outlive this table (and its copies).
  std::pair<const Info*, bool> insert_shared(const Info& info) { return add(info, false); }
  std::size_t size() const { return refs_.size(); }
  void reserve(std::size_t n) {
    std::size_t want = 16;
    while (want * 3 < n * 4) want *= 2;
    if (want > slots_.size()) rehash(want);
    refs_.reserve(n);
  }
  bool empty() const { return refs_.empty(); }
  // Every entry, sorted by name. The order is kept until the next insert, so
  // the passes that each list a table pay for one sort.
  std::vector<const Info*> in_name_order() const;

  // Every entry as (name, info), in insertion order.
  class const_iterator {
   public:
    using value_type = std::pair<std::string_view, const Info&>;
    explicit const_iterator(const Ref* at) : at_(at) {}
    value_type operator*() const { return {at_->info->name, *at_->info}; }
    const_iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }

   private:
    const Ref* at_;
  };
  const_iterator begin() const { return const_iterator(refs_.data()); }
  const_iterator end() const { return const_iterator(refs_.data() + refs_.size()); }

 private:
  static constexpr std::uint32_t empty_slot = static_cast<std::uint32_t>(-1);
  static constexpr std::uint32_t not_owned = static_cast<std::uint32_t>(-1);
  struct Slot {
    std::uint32_t entry = empty_slot;  // index into refs_
    std::uint32_t hash = 0;
  };
  static std::uint32_t hash_of(std::string_view name) {
    std::size_t h = std::hash<std::string_view>{}(name);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }
  // The slot holding `name`, or empty_slot.
  std::uint32_t locate(std::string_view name, std::uint32_t hash) const {
    if (slots_.empty()) return empty_slot;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.entry == empty_slot) return empty_slot;
      if (s.hash == hash && refs_[s.entry].info->name == name) return static_cast<std::uint32_t>(i);
    }
  }
  std::pair<const Info*, bool> add(const Info& info, bool copy) {
    std::string_view name = info.name;
    std::uint32_t hash = hash_of(name);
    std::uint32_t at = locate(name, hash);
    if (at != empty_slot) return {refs_[slots_[at].entry].info, false};
    // At most three quarters full.
    if ((refs_.size() + 1) * 4 > slots_.size() * 3) rehash(std::max<std::size_t>(16, slots_.size() * 2));
    Ref r{&info, not_owned};
    if (copy) {
      r.owned = static_cast<std::uint32_t>(owned_.size());
      r.info = &owned_.push_back(info);
    }
    refs_.push_back(r);
    sorted_.clear();
    place(static_cast<std::uint32_t>(refs_.size() - 1), hash);
    return {r.info, true};
  }
  void place(std::uint32_t entry, std::uint32_t hash) {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].entry != empty_slot) i = (i + 1) & mask;
    slots_[i] = Slot{entry, hash};
  }
  void rehash(std::size_t count) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(count, Slot{});
    for (const Slot& s : old) {
      if (s.entry != empty_slot) place(s.entry, s.hash);
    }
  }

  StableArray<Info> owned_;
  std::vector<Ref> refs_;    // insertion order
  std::vector<Slot> slots_;  // a power of two in size
  mutable std::vector<const Info*> sorted_;  // in_name_order's answer; empty when not known
};

template <class Info>
std::vector<const Info*> NameMap<Info>::in_name_order() const {
  if (sorted_.size() != refs_.size()) {
    sorted_.clear();
    sorted_.reserve(refs_.size());
    for (const auto& r : refs_) sorted_.push_back(r.info);
    std::sort(sorted_.begin(), sorted_.end(), [](const Info* a, const Info* b) { return a->name < b->name; });
  }
  return sorted_;
}

// A `type`, `class` or `typedef` record. Fields and methods are the tree's own.
struct ClassInfo {
  std::string_view name;
  bool is_class = false;
  bool is_typedef = false;
  bool gc = false;  // as declared; see is_gc_class for the inferred answer
  const Ast::TableConfig* table = nullptr;  // null without `@table`
  std::span<const Ast::Field> fields;       // source order
  Ast::List<Ast::Method> methods;           // source order, static ones included
  Ast::NodeId id = 0;                       // -1 as unsigned for library records
  Ast::Pos pos;
  bool pub = false;

  const Ast::Field* field(std::string_view name) const;    // first of that name
  const Ast::Method* method(std::string_view name) const;  // first of that name
};

struct InterfaceInfo {
  std::string_view name;
  Ast::List<Ast::Signature> sigs;  // declaration order
  Ast::NodeId id = 0;
  Ast::Pos pos;
  bool pub = false;
};

struct FnInfo {
  std::string_view name;
  const Ast::Method* fn = nullptr;  // parameters, result (null: none), body, pub
  Ast::NodeId id = 0;
  Ast::Pos pos;
  bool pub = false;
};

// A variant's index is its place in `variants` (declaration order).
struct UnionInfo {
  std::string_view name;
  std::span<const Ast::Variant> variants;
  bool has_payload = false;  // some variant carries a payload
  Ast::NodeId id = 0;
  Ast::Pos pos;
  bool pub = false;
};

// Where a variant name leads: its union and index.
struct VariantRef {
  std::string_view union_name;
  std::uint32_t index = 0;
};

struct Symbols {
  NameMap<ClassInfo> classes;
  NameMap<InterfaceInfo> interfaces;
  NameMap<FnInfo> functions;
  NameMap<UnionInfo> unions;
  // Filled by gc inference; empty before it.
  std::unordered_set<std::string_view> gc_classes;
  // Every variant name of `unions`, first declaration winning. Kept by add_union.
  std::unordered_map<std::string_view, VariantRef> variants;

  // Adds the union unless its name is taken, and indexes its new variant names.
  bool add_union(const UnionInfo& info);
};

// One file's declarations, in the order the driver lists files.
struct FileSymbols {
  std::string path;
  Symbols symbols;
};

// One parsed file as the whole-program passes see it.
struct FileTree {
  std::string path;
  const Ast::Program* tree = nullptr;
};

// The module of a file path: "." for the root, else "net", "net/wire", "dep/x".
using ModuleOf = std::function<std::string(std::string_view path)>;
// Module name to the merged declarations of its files.
using ModuleTables = std::unordered_map<std::string, Symbols>;

// Diagnostic codes of the declaration checks.
inline constexpr const char* duplicate_decl_code = "VK-E215";
inline constexpr const char* unknown_field_type_code = "VK-E225";
inline constexpr const char* iface_code = "VK-E205";
inline constexpr const char* unknown_module_code = "VK-E216";
inline constexpr const char* not_pub_code = "VK-E217";
inline constexpr const char* ambiguous_code = "VK-E218";
inline constexpr const char* not_used_code = "VK-E210";
inline constexpr const char* unused_use_code = "VK-W202";
inline constexpr const char* using_clash_code = "VK-E220";

// One file's tables; duplicates within the file are reported (VK-E215) and
// the first declaration kept.
Symbols collect_declarations(const std::string& path, const Ast::Program& tree,
                             Diag::Collector& collector);

// Adds `Error`, `Stat`, `TimeParts` and `Proc` unless the program declares a
// class or record of that name.
Symbols with_builtin_records(Symbols symbols);

// Adds every declaration of `next` whose name `into` does not hold yet (the
// earlier table wins), and the gc names. `into` refers to the entries of
// `next`, which must outlive it.
void merge_keep_first(Symbols& into, const Symbols& next);

// Files grouped by module, each module's files merged in file order. The
// tables refer to the entries of `files`, which must outlive them.
ModuleTables module_symbols(const ModuleOf& module_of, std::span<const FileSymbols> files);

bool is_gc_class(const Symbols& symbols, std::string_view name);

// The runtime value kind the image records for a type (0 SCALAR, 1 OWNED,
// 2 GCREF, 3 TEXT, 4 MULTI, 5 MAP, 6 Float, 7 Bytes, 8 nullable).
int vkb_kind_of_typ(const Symbols& symbols, const Typ& ty);

bool typ_equal(const Symbols& symbols, const Typ& a, const Typ& b);

// The union declaring a variant of that name, with the variant.
struct FoundVariant {
  const UnionInfo* union_info = nullptr;
  const Ast::Variant* variant = nullptr;
  std::uint32_t index = 0;
};
std::optional<FoundVariant> find_variant_in(const Symbols& symbols, std::string_view name);
std::optional<FoundVariant> find_variant(const Symbols& symbols, std::string_view union_name,
                                         std::string_view name);
// The class's method of that name when that method is static.
const Ast::Method* static_method_of(const Symbols& symbols, std::string_view class_name,
                                    std::string_view name);

// A `use` path as printed: segments joined by "/".
std::string path_str(std::span<const Ast::Name> path);
// The `use` and `using` declarations of a tree, in source order.
std::vector<const Ast::UseDecl*> uses_of_program(const Ast::Program& tree);

// ================================================================ scopes

// The local scope of a body: variable name to type. A name may be bound with
// no known type (it hides an outer binding). Every change is undoable back to
// a mark, which is how blocks end and narrowing is lifted.
//
// A body binds a handful of names, so they sit in a stack searched from the
// top (a name's first binding adds it, undoing that binding removes it, so
// removals come off the top); past a few dozen names a hash index takes over.
// Bindings never move: a found type stays valid while other names are bound.
class Env {
 public:
  // The name's type; null when unbound or bound without a known type.
  const Typ* find(std::string_view name) const;
  bool is_bound(std::string_view name) const;
  void bind(std::string_view name, Typ ty);
  void bind_unknown(std::string_view name);
  std::size_t mark() const { return undo_.size(); }
  // Undoes every change made after `mark` was taken.
  void restore(std::size_t mark);

 private:
  struct Slot {
    bool known = false;
    Typ ty;
  };
  struct Var {
    std::string_view name;
    Slot slot;
  };
  struct Undo {
    std::uint32_t var = 0;  // index into vars_
    bool was_bound = false;
    Slot old;
  };
  static constexpr std::size_t index_from = 24;  // names held before the index is kept
  static constexpr std::uint32_t absent = static_cast<std::uint32_t>(-1);
  std::uint32_t var_of(std::string_view name) const;
  void set(std::string_view name, Slot slot);

  std::deque<Var> vars_;
  std::unordered_map<std::string_view, std::uint32_t> index_;  // empty until vars_ grows past index_from
  std::vector<Undo> undo_;
};

// Rebinds each listed name whose type is `?T` to T. Lift it with
// unnarrow_env(env, mark) where mark was taken just before.
void narrow_env(Env& env, std::span<const std::string_view> names);
inline void unnarrow_env(Env& env, std::size_t before) { env.restore(before); }

struct NilFacts {
  std::vector<std::string_view> when_true;   // names non-nil when the condition holds
  std::vector<std::string_view> when_false;  // names non-nil when it does not
};
NilFacts nil_facts(const Ast::Expr& condition);

// ================================================================ declaration checks

// VK-E225 for every field and payload of the file's own classes and unions
// whose (possibly `?`) plain type name is unknown to `merged`.
void check_field_types(const std::string& path, const Symbols& file, const Symbols& merged,
                       Diag::Collector& collector);

// VK-E205 when a class value flows into an interface-typed place it does not
// satisfy. Nothing is checked unless `target` (one `?` removed) names an
// interface and `value` (one `?` removed) names a class.
void check_iface_boundary(const std::string& path, const Symbols& merged, Diag::Collector& collector,
                          const Typ& target, const std::optional<Typ>& value, Ast::Pos value_pos);

// Module visibility of `use` and of references across modules
// (VK-E216, E217, E218, E210, W202).
void check_modules(Diag::Collector& collector, const ModuleOf& module_of,
                   std::span<const FileSymbols> files, std::span<const FileTree> trees);
// The same with the module tables of `files` (module_symbols) already built.
void check_modules(Diag::Collector& collector, const ModuleOf& module_of,
                   std::span<const FileSymbols> files, std::span<const FileTree> trees,
                   const ModuleTables& tables);

// ---------------------------------------------------------------- `using` extensions

// Modules named by the file's `using` declarations, in source order.
std::vector<std::string> using_modules(const Ast::Program& tree);

// The first `pub` function named `name` of those modules whose first
// parameter's type equals `receiver`; null when there is none.
const FnInfo* using_extension(const ModuleTables& modules, std::span<const std::string> using_mods,
                              std::string_view name, const Typ& receiver);

// VK-E220: `method` is a real method of `class_name` and also an extension.
void report_using_clash(const std::string& path, Diag::Collector& collector, Ast::Pos pos,
                        std::string_view method, std::string_view class_name);

// Calls `x.f(args)` resolved to `using` extensions: file path to call node ids.
struct UsingRewrites {
  std::unordered_map<std::string, std::unordered_set<Ast::NodeId>> calls;
};

// The tree with every recorded call of the file rewritten into `f(x, args)`.
// Unchanged subtrees are shared; an empty table returns the tree itself.
Ast::Program apply_using_rewrites(const std::string& path, const Ast::Program& tree,
                                  const UsingRewrites& rewrites);

// ================================================================ typing of bodies
// Implemented by check_*.cpp and builtins.cpp. Declarations below this line
// may be extended by the body-typing files.

// What typing one file found that later stages need.
struct FileTyping {
  std::vector<Ast::NodeId> using_calls;  // calls to rewrite into plain calls
};

// Field types, then every method body (classes in name order) and every free
// function (in name order) of the file.
FileTyping typecheck_program(const std::string& path, const ModuleOf& module_of,
                             const ModuleTables& modules, const Symbols& file,
                             const Ast::Program& tree, const Symbols& merged,
                             Diag::Collector& collector);

// How a value is named in messages: "`nil`", "`x`", "field `f`",
// "this call's result", "this value".
std::string expr_label(const Ast::Expr& e);

// Everything typing a body needs besides the local scope.
struct BodyContext {
  const std::string& path;
  const Symbols& merged;
  const ModuleTables& modules;
  std::string_view module;         // the file's module
  std::vector<std::string> using_mods;
  std::string_view current_class;  // empty inside free functions
  Diag::Collector& collector;
  FileTyping& out;
  std::vector<std::string> used_mods;  // modules of the file's plain `use` declarations
  const Ast::Method* fn = nullptr;     // the function or method being typed (its declared result)
};

struct TypedExpr {
  Typ ty;
  bool is_nil = false;  // the literal `nil`
};

// Types an expression, reporting what is wrong with it.
TypedExpr typecheck_expr(BodyContext& ctx, Env& env, const Ast::Expr& e);
// The known type of an expression, or none. Reports nothing.
std::optional<Typ> confident_typ(const BodyContext& ctx, const Env& env, const Ast::Expr& e);

// ---------------------------------------------------------------- builtins and library members

enum class Req : std::uint8_t {
  ReqText, ReqInt, ReqFloat, ReqBytes, ReqMulti, ReqMap, ReqCollection, ReqAny,
  ReqNumber,  // Int or Float (the `math` members that take both)
};
bool matches_req(Req req, const Typ& ty);
std::string_view req_label(Req req);

struct BuiltinArg {
  Ast::Pos pos;
  std::optional<Typ> ty;  // none when not known
};
// VK-E209 when `name` is a builtin and the call does not fit its signature.
void check_builtin_call(const std::string& path, Diag::Collector& collector, std::string_view name,
                        Ast::Pos pos, std::span<const BuiltinArg> args);
std::optional<Typ> builtin_confident_ret(std::string_view name, const std::optional<Typ>& first_arg);
// Library members whose arguments are checked like a builtin's have a row
// of the signature table named "module.member" (`math.sqrt`).
std::string library_signature_name(std::string_view module, std::string_view member);

struct StdlibMember {
  std::string_view module;
  std::string_view name;
  int arity = 0;
  int builtin_number = 0;
  std::string_view result;  // as written (`?Stat`, `multi Text`, `void`); empty when not known
  std::string_view record;  // the library record a result exposes; empty for none
};
const StdlibMember* stdlib_member(std::string_view module, std::string_view name);
// The member's result type (TVoid for `void`); none when it has no known type.
std::optional<Typ> stdlib_member_result(const StdlibMember& member);
// Whether `module.member(...)` calls the library module `module`. `math`,
// added after the others, gives way to a project module of the same last
// path segment, so programs that had their own `math` keep their meaning.
bool library_module_call(std::string_view module, const ModuleTables& modules);
// The result of `module.member(first, ...)`: from the signature table when
// the member has a row there (`math.abs` of an Int is an Int), else from the
// member table; none when not known.
std::optional<Typ> library_call_result(std::string_view module, std::string_view member,
                                       const std::optional<Typ>& first_arg);

}  // namespace Types
