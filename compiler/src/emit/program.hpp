// Private to the emitter: the program-level tables that numbering builds and
// every method emitter reads (classes, interfaces, methods, constants, the
// ownership views of each file) and the diagnostics helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "emit/emit.hpp"

namespace Emit::detail {

struct ClassRec {
  std::string name;
  bool gc = false;
  struct FieldRec {
    std::string name;
    Types::Typ ty;
    const Ast::Field* decl = nullptr;  // null for variant payloads and library records
  };
  std::vector<FieldRec> fields;
  std::vector<TableIndex> indexes;
  const Types::ClassInfo* info = nullptr;  // null for union variant classes

  // Slot of the field, or -1.
  int slot_of(std::string_view field) const;
};

struct IfaceRec {
  std::string name;
  const Types::InterfaceInfo* info = nullptr;
  std::uint32_t first_slot = 0;
};

struct MethodRec {
  std::string name;        // as listed: the method or function name
  std::string key;         // "C.m", "f" or "module#f"
  std::uint32_t owner = none;
  std::string owner_name;  // the class name; empty for a free function
  const Ast::Method* decl = nullptr;
  std::size_t file = 0;    // index into the source units
  MethodEntry out;
};

// The ownership tables of one file, arranged for lookup by node id: the
// emitter asks at nearly every node, so each question is an array index.
struct Views {
  // Drops ordered by site id; records of one site keep their recording order.
  // The drops of site `id` are drops[drop_start[id] .. drop_start[id + 1]).
  std::vector<const Owner::Drop*> drops;
  std::vector<std::uint32_t> drop_start;
  std::unordered_map<Ast::NodeId, std::vector<const Owner::Residual*>> residual;
  std::vector<bool> moved;  // by node id: expressions whose value moves away

  // The drop of this kind (and label, for SCOPE and JOIN-DROP) at the site.
  const Owner::Drop* find(Ast::NodeId id, Owner::DropKind kind, std::string_view label = {}) const;
  bool is_moved(Ast::NodeId id) const { return id < moved.size() && moved[id]; }
};

// `next_id` is larger than every node id of the file's tree.
Views build_views(const Owner::Tables& tables, Ast::NodeId next_id);

// Method ids by declaration, asked at every call: open addressing over a
// power-of-two table, at most half full.
class DeclIndex {
 public:
  void insert(const Ast::Method* decl, std::uint32_t id);
  std::optional<std::uint32_t> find(const Ast::Method* decl) const;

 private:
  std::size_t slot_of(const Ast::Method* decl) const;
  std::vector<std::pair<const Ast::Method*, std::uint32_t>> slots_;
  std::size_t used_ = 0;
};

// Everything numbering decided, shared (read-mostly) by the method emitters.
struct Program {
  const Types::Symbols& merged;
  const Types::ModuleOf& module_of;
  const Types::ModuleTables& modules;
  Diag::Collector& collector;
  std::span<const SourceUnit> files;

  std::vector<ClassRec> classes;
  TextMap<std::uint32_t> class_ids;  // typedef aliases and "U.V" too
  std::vector<IfaceRec> interfaces;
  TextMap<std::uint32_t> iface_ids;
  std::vector<MethodRec> methods;
  TextMap<std::uint32_t> method_ids;
  DeclIndex method_of_decl;  // the declaration each method came from
  std::unordered_set<std::string, TextHash, std::equal_to<>> colliding_fns;
  std::uint32_t entry = none;
  ConstPool pool;
  std::vector<Views> views;  // per file
  std::vector<std::string> modules_of_files;  // per file
  std::unordered_set<const Owner::Residual*> guarded;

  std::optional<std::uint32_t> class_id(std::string_view name) const;
  std::optional<std::uint32_t> method_id(std::string_view key) const;
  std::optional<std::uint32_t> method_of(const Ast::Method* decl) const { return method_of_decl.find(decl); }
  const ClassRec* class_rec(std::string_view name) const;
  // The method key of a free function declared in `module`.
  std::string free_fn_key(std::string_view module, std::string_view name) const;

  void report(std::string_view code, std::size_t file, Ast::Pos pos, std::string message);
};

// "`name`"
std::string q(std::string_view name);

}  // namespace Emit::detail
