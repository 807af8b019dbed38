// Private to the ownership pass: places, locals and the per-function analyser.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "owner/owner.hpp"

namespace Owner::detail {

// ---------------------------------------------------------------- places

struct Proj {
  enum class Kind : std::uint8_t { Field, Index, IndexText };
  Kind kind = Kind::Field;
  std::string text;     // field name, or the index expression's text
  std::int64_t n = 0;   // Index
};

// What a path expression denotes: a root name and projections, outermost last.
struct Place {
  std::string root;
  std::vector<Proj> projs;
  Ast::Pos pos;       // the expression
  Ast::Pos root_pos;  // the root identifier, where diagnostics point
  Ast::NodeId id = 0;
  const Ast::Expr* expr = nullptr;  // null for places made up by the pass
};

enum class Relation : std::uint8_t { Disjoint, Overlap, Undecided };

std::string place_text(const Place& place);
Relation relate(const Place& a, const Place& b);
// Source-like text of an expression, used for index texts and labels.
std::string expr_text(const Ast::Expr& e);

// The borrowing builtins `get`, `latest`, `key_at` and `val_at`.
bool is_borrowing_builtin(std::string_view name);

// ---------------------------------------------------------------- locals

struct Local {
  std::string_view name;
  std::optional<Types::Typ> ty;  // none when unknown
  OClass oclass = OClass::Copy;
  Ast::NodeId slot = 0;
  Ast::Pos pos;
  bool holder = false;        // owns a value to account for at scope end
  bool borrow = false;        // state Borrow: moving or storing it is an escape
  bool from_caller = false;   // a parameter (or `self`): borrows from the caller
  bool exclusive = false;     // a `mut` borrow
  std::optional<Place> place; // canonical borrowed place of a local borrow
  int via = -1;               // the borrowing local `place` was reached through
  std::string label_place;    // place text for the borrow label
};

// The part of a local's state that changes: Live, or Moved at a position.
struct Mark {
  bool moved = false;
  Ast::Pos at;
  bool operator==(const Mark&) const = default;
};
using Marks = std::vector<Mark>;

struct Scope {
  Ast::NodeId id = 0;
  Ast::Pos pos;
  std::string label;
  std::size_t first_local = 0;  // locals [first_local, end) belong to this scope
  bool records = true;          // internal scopes (query variables) record no drops
};

// Where the paths of one pass over a loop body go: back to the loop head
// (falling off the end, or `continue`) or out of the loop (`break`).
struct LoopFlow {
  std::optional<Marks> back;
  std::optional<Marks> out;
};

struct Access1 {
  Place place;  // canonical
  std::string written;  // place text as written
  Access kind = Access::BorrowS;
};

// ---------------------------------------------------------------- analyser

class Analyzer {
 public:
  // A quiet analyser builds no records and reports nothing; only the
  // observer hears from it.
  Analyzer(const std::string& path, const Types::Symbols& symbols, Diag::Collector& collector,
           const EscapeObserver* observer, Tables& out, bool quiet = false, bool keep_tables = true);
  void analyze_function(const Ast::Method& fn, const Ast::ClassDecl* owner);
  // Escapes told to the observer are reported too, as without an observer.
  void report_observed_escapes() { report_observed_ = true; }

  // typing.cpp
  std::optional<Types::Typ> type_of(const Ast::Expr& e) const;
  OClass class_of(const std::optional<Types::Typ>& ty) const;
  // class_of(type_of(e)) without building the type where it is plain.
  OClass class_of_expr(const Ast::Expr& e) const;
  const Ast::Method* method_of(const std::optional<Types::Typ>& receiver, std::string_view name) const;
  const Types::ClassInfo* class_of_typ(const std::optional<Types::Typ>& ty) const;
  bool assigns_self(const Ast::Method& m) const;
  bool is_program_fn(std::string_view name) const { return symbols_.functions.contains(name); }

 private:
  friend struct LoopRunner;

  // statements.cpp
  void block(Ast::List<Ast::Stmt> stmts);
  void stmt(const Ast::Stmt& s);
  void let(const Ast::Let& s);
  void assign(const Ast::Assign& s);
  void ret(const Ast::Return& s);
  void leave_loop(const Ast::Stmt& s, DropKind kind);
  void if_stmt(const Ast::If& s);
  void join_branches(const Marks& a, bool a_dead, const Marks& b, bool b_dead, bool entry_dead,
                     Ast::NodeId id, Ast::Pos a_pos, std::string_view a_label, Ast::Pos b_pos,
                     std::string_view b_label, bool b_first);

  // loops.cpp
  void loop(const Ast::Stmt& s);
  void loop_pass(const Ast::Stmt& s);
  LoopFlow silent_pass(const Ast::Stmt& s, const Marks& entry, bool entry_dead);
  LoopFlow flow_pass(const Ast::Stmt& s);
  static void merge_into(std::optional<Marks>& into, const Marks& marks);
  void declare_loop_vars(const Ast::For& s);

  // expressions.cpp
  void read(const Ast::Expr& e);
  void use_place(const Place& place);
  void read_place_indexes(const Ast::Expr& e);
  void call(const Ast::Call& c);
  void ctor(Ast::NodeId id, std::string_view class_name, std::span<const Ast::FieldInit> fields);
  void variant_ctor(const Ast::Call& c, const Types::FoundVariant& v);
  void switch_expr(const Ast::Switch& s);
  void try_expr(const Ast::Try& t);
  void query(const Ast::Query& q);
  void pair_check(const Ast::Call& c, const std::vector<Access1>& accesses);

  // places and borrows (borrows.cpp)
  std::optional<Place> place_of(const Ast::Expr& e) const;
  Place canonical(const Place& place) const;
  int find_local(std::string_view name) const;
  bool transfer(const Place& place, std::string_view description, MoveKind kind, std::string_view kind_name);
  void escape(const Place& place, const Local& root, std::string_view description);
  void check_borrows(const Place& written, Access kind, Ast::NodeId site, Ast::Pos site_pos);
  Diag::Related borrow_label(const Local& borrower) const;
  bool stored_by_copy(const Place& place) const;

  // scopes and records (analyzer.cpp)
  void push_scope(Ast::NodeId id, Ast::Pos pos, std::string label, bool records = true);
  void pop_scope();
  int declare(Local local);
  // Valid until the next call: record_drop copies what it keeps.
  std::span<const DropItem> live_holders(std::size_t from, bool owned_only);
  void record_drop(Ast::NodeId id, Ast::Pos pos, DropKind kind, std::string_view label,
                   std::span<const DropItem> items);
  void record_move(const Place& place, MoveKind kind, std::string_view name);
  void live_mask(Ast::NodeId id, Ast::Pos pos);
  void need_record(std::string_view record);
  std::string_view lasting_label(std::string_view label);
  void report(const char* code, Ast::Pos pos, std::string message, Diag::Related related);
  static Marks join(const Marks& a, const Marks& b);
  bool records() const { return recording_ && !quiet_; }
  // Whether a record is made and kept: checking alone reports without tables.
  bool stores() const { return records() && keep_tables_; }

  const std::string& path_;
  const Types::Symbols& symbols_;
  Diag::Collector& collector_;
  const EscapeObserver* observer_;
  Tables& out_;
  bool quiet_;
  bool keep_tables_;
  bool report_observed_ = false;

  // Per function.
  std::string_view fn_name_;
  std::vector<Local> locals_;
  Marks marks_;  // parallel to locals_
  std::vector<DropItem> holders_;  // live_holders' answer, reused
  std::vector<Scope> scopes_;
  int loop_scope_ = -1;  // index into scopes_ of the innermost loop, -1 outside loops
  bool dead_ = false;
  bool recording_ = true;
  int depth_ = 0;
  std::size_t local_borrows_ = 0;  // locals in scope with a borrowed place
  // Silent runs of a loop body, keyed by loop id, entry dead flag and entry marks.
  std::unordered_map<std::string, LoopFlow> silent_runs_;
  std::vector<LoopFlow> flows_;  // one per loop pass in progress
  mutable std::unordered_map<const Ast::Method*, bool> assigns_self_;
};

// Bounds the recursion over deeply nested input, well past what the parser
// builds (a statement and its expressions may each count a level).
inline constexpr int max_depth = 2 * Ast::max_nesting + 64;

}  // namespace Owner::detail
