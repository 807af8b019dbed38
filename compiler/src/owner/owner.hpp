// The ownership pass: checks the single-owner discipline in every function
// and method body of one file, and produces the tables the emitter turns into
// drops, live masks and run-time borrow guards.
//
// Errors: VK-E301 use after move, VK-E302 move while borrowed, VK-E303
// mutation while borrowed (or two `mut` borrows in one call), VK-E304 a
// borrow that would outlive its scope.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ast/ast.hpp"
#include "diag/diag.hpp"
#include "types/types.hpp"

namespace Owner {

// Ownership class of a value's type.
enum class OClass : std::uint8_t { Copy, Owned, Gc };

// Copy for an unknown type: nothing to track.
OClass oclass_of(const Types::Symbols& symbols, const Types::Typ& ty);

enum class MoveKind : std::uint8_t { Let, Assign, Return, Arg, Ctor };

struct Move {
  Ast::NodeId id = 0;  // the moved expression
  Ast::Pos pos;
  std::string place;   // place text, e.g. `x`
  MoveKind kind = MoveKind::Let;
  std::string name;    // Arg: the `take` parameter or "element"; Ctor: class or variant
};

enum class DropKind : std::uint8_t { Return, Overwrite, LiveMask, Break, Continue, Scope, JoinDrop };

struct DropItem {
  // The local (its name as the tree spells it), or for OVERWRITE the
  // overwritten place text, which the tables hold.
  std::string_view name;
  bool gc = false;   // only LIVE-MASK items carry it
  Ast::NodeId slot = 0;
};

struct Drop {
  Ast::NodeId id = 0;  // statement, expression, or the construct that opened the scope
  Ast::Pos pos;
  DropKind kind = DropKind::Scope;
  std::string_view label;  // SCOPE and JOIN-DROP: "BODY", "THEN", "ARM0", "TRYBODY", ... (static, or held by the tables)
  std::span<const DropItem> items;  // never empty; held by the tables
};

// The items of every drop, in blocks that never move: a drop's items stay
// where they are however the tables grow or move.
class DropItems {
 public:
  std::span<const DropItem> add(std::span<const DropItem> items);

 private:
  std::vector<std::unique_ptr<DropItem[]>> blocks_;
  std::size_t used_ = 0, room_ = 0;
};

enum class Access : std::uint8_t { BorrowS, BorrowX, Move };

// Two accesses whose overlap can only be decided at run time; unordered pair.
struct Residual {
  Ast::NodeId id = 0;  // the call or access being analysed
  Ast::Pos pos;
  std::string first;   // canonical place texts
  Access first_kind = Access::BorrowS;
  Ast::NodeId first_id = 0;
  std::string second;
  Access second_kind = Access::BorrowS;
  Ast::NodeId second_id = 0;
};

// One file's tables, each sorted by position (line, then column), records at
// one position in recording order.
struct Tables {
  std::vector<Move> moves;
  std::vector<Drop> drops;
  std::vector<Residual> residual;
  // The library records the bodies need, each once: `Error` for a `try`, and
  // the record a called library member's result exposes.
  std::vector<std::string_view> library_records;
  // Texts the records name that the tree does not spell (OVERWRITE places).
  // Each lives on the heap, so the records' views survive moving the tables.
  std::vector<std::unique_ptr<const std::string>> texts;
  DropItems items;
};

// Told the class of every borrowed value that escapes; with an observer such
// escapes are not errors (gc inference turns those classes into gc classes).
using EscapeObserver = std::function<void(std::string_view class_name)>;

// Analyses every function and method of the file. Diagnostics go to the
// collector; `observer` may be null.
Tables analyze(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
               Diag::Collector& collector, const EscapeObserver* observer = nullptr);

// The analysis of a plain check: every diagnostic of analyze, no table kept.
void check(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
           Diag::Collector& collector);

// check and find_escapes in one run: every diagnostic of check, and escapes
// of class values told to the observer as well as reported. When the observer
// learns nothing new, the diagnostics are exactly those of check.
void check_finding_escapes(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
                           Diag::Collector& collector, const EscapeObserver& observer);

// analyze and check_finding_escapes in one run: the tables of analyze, every
// diagnostic of check, and escapes told to the observer as well as reported.
Tables analyze_finding_escapes(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
                               Diag::Collector& collector, const EscapeObserver& observer);

// The analysis run only for its escapes, as gc inference needs it: no table
// is built and nothing is reported.
void find_escapes(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
                  const EscapeObserver& observer);

// Diagnostic codes.
inline constexpr const char* use_after_move_code = "VK-E301";
inline constexpr const char* move_while_borrowed_code = "VK-E302";
inline constexpr const char* mutate_while_borrowed_code = "VK-E303";
inline constexpr const char* escape_code = "VK-E304";

// Dump texts of the kinds.
std::string_view access_text(Access access);
std::string move_kind_text(const Move& move);

}  // namespace Owner
