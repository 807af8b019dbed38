// Private to the typing of bodies: the diagnostic codes, what typing learns
// about one expression, and the checker that walks one body. The checker's
// methods are split by construct over the check_*.cpp files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "types/types.hpp"

namespace Types {

// A bare-name call of this name is a builtin (builtins.cpp).
bool is_builtin_name(std::string_view name);

namespace Typing {

inline constexpr const char* type_code = "VK-E201";          // operands, actors, switch values, try arms
inline constexpr const char* unknown_field_code = "VK-E202";
inline constexpr const char* arity_code = "VK-E203";         // variant payloads, send/call, patterns
inline constexpr const char* missing_field_code = "VK-E206";
inline constexpr const char* unknown_ctor_code = "VK-E207";
inline constexpr const char* exhaustive_code = "VK-E208";
inline constexpr const char* builtin_code = "VK-E209";
inline constexpr const char* nil_use_code = "VK-E211";
inline constexpr const char* nil_store_code = "VK-E212";
inline constexpr const char* nil_reach_code = "VK-E213";
inline constexpr const char* pub_read_code = "VK-E219";
inline constexpr const char* spawn_code = "VK-E221";
inline constexpr const char* traced_code = "VK-E222";
inline constexpr const char* shift_code = "VK-E223";
inline constexpr const char* reply_code = "VK-E226";
inline constexpr const char* missing_return_code = "VK-E227";
inline constexpr const char* table_code = "VK-E250";
inline constexpr const char* default_order_code = "VK-W203";

// Deepest expression and statement nesting typed, a safety bound well past
// what the parser builds; deeper parts would have no known type.
inline constexpr int max_depth = 2 * Ast::max_nesting + 64;
// Loops nested deeper than this are typed once, without the trial pass.
inline constexpr int max_trial_depth = 4;

// What typing found out about one expression.
struct ExprInfo {
  Typ ty = t_named("Int");    // working type: `Int` where nothing better is known
  bool is_nil = false;        // the literal `nil`
  std::optional<Typ> known;   // confident type
};

ExprInfo unknown_info();

// Whether a value of type `value` may be stored where `target` is expected
// (check_fit.cpp). Names unknown to `symbols` fit anything.
bool type_fits(const Symbols& symbols, const Typ& target, const Typ& value);
// A type taken by reference is copied once for each of the two fields, a
// temporary once in all.
ExprInfo known_info(const Typ& ty);
ExprInfo known_info(Typ&& ty);

// "`name`" for messages.
std::string quoted(std::string_view name);
// The whole type, elements included: `multi Text`, `map<Text, P>`, `?Int`.
std::string full_label(const Typ& ty);

// A part of a message built only when the message is: the checks that take
// one run for every store and argument, and report on few.
class LazyText {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, LazyText> && std::is_invocable_r_v<std::string, const F&>)
  LazyText(const F& make)  // NOLINT: converts from any text-making callable
      : make_(&make), call_([](const void* f) -> std::string { return (*static_cast<const F*>(f))(); }) {}
  std::string operator()() const { return call_(make_); }

 private:
  const void* make_;  // the callable, alive for the call that takes this
  std::string (*call_)(const void*);
};

// The declared types of the variables in scope: what an assignment to a name
// is checked against, before any narrowing. Each binding has a serial so that
// a fact about one binding is never applied to a later one of the same name.
// Bindings form a stack searched from the top; past a few dozen a hash index
// of each name's newest binding takes over. A found binding stays valid until
// the next bind or restore.
class DeclaredScope {
 public:
  struct Binding {
    std::optional<Typ> ty;
    std::uint32_t serial = 0;
  };
  const Binding* find(std::string_view name) const;
  std::uint32_t bind(std::string_view name, std::optional<Typ> ty);
  std::size_t mark() const { return entries_.size(); }
  void restore(std::size_t mark);
  std::uint32_t next_serial() const { return next_serial_; }

 private:
  static constexpr std::size_t index_from = 24;
  static constexpr std::uint32_t none = static_cast<std::uint32_t>(-1);
  struct Entry {
    std::string_view name;
    Binding binding;
    std::uint32_t shadowed = none;  // the name's previous binding, kept while indexed
  };
  std::vector<Entry> entries_;
  std::unordered_map<std::string_view, std::uint32_t> newest_;  // empty until entries_ grows past index_from
  std::uint32_t next_serial_ = 1;
};

// An assignment stored a possibly-nil value into a narrowed name: the name
// keeps its declared type for the rest of every enclosing block.
struct LostNarrowing {
  std::string_view name;
  std::uint32_t serial;
};

// Walks one body. Reports go to `sink`, which a loop's trial pass swaps for
// a scratch collector.
class Checker {
 public:
  Checker(BodyContext& ctx, Env& env);

  ExprInfo expr(const Ast::Expr& e, bool value_used = true);
  // A scope of its own. Gives the confident type of the last statement when
  // it is an expression (typed as a used value when `yields`). `settled`,
  // when given, keeps only the bindings still narrowed at the block's end.
  std::optional<Typ> block(Ast::List<Ast::Stmt> stmts, bool yields = false,
                           std::vector<LostNarrowing>* settled = nullptr);
  void body(const Ast::Method& fn, std::string_view self_class);

 private:
  struct Mark {
    std::size_t env;
    std::size_t declared;
    std::size_t lost;
  };
  Mark mark() const;
  // Ends a scope: undoes its bindings and narrowing, then re-applies the
  // narrowing lost inside it to the names still in scope.
  void restore(const Mark& m);
  void bind(std::string_view name, std::optional<Typ> ty);
  void narrow(const std::vector<std::string_view>& names);

  void report(const char* code, Ast::Pos pos, std::string message);
  void warn(const char* code, Ast::Pos pos, std::string message);

  // check_expr.cpp
  ExprInfo expr_of_kind(const Ast::Expr& e, bool value_used);
  ExprInfo ident(const Ast::Ident& id);
  // `owner` receives the class whose field was found.
  ExprInfo field_access(const Ast::FieldAccess& fa, const ClassInfo** owner = nullptr);
  ExprInfo index(const Ast::Index& ix);
  ExprInfo unary(const Ast::Unary& u);
  ExprInfo list_lit(const Ast::ListLit& l);
  ExprInfo try_expr(const Ast::Try& t, bool value_used);
  // The class a receiver's type names (one `?` removed, `ref C` read as C).
  const ClassInfo* class_of(const Typ& ty) const;
  // VK-E213 when `info` is possibly nil; gives the type with one `?` removed.
  Typ reach_through(const Ast::Expr& object, const ExprInfo& info);

  // check_ops.cpp
  ExprInfo binop_chain(const Ast::BinOp& top);
  ExprInfo binop(const Ast::BinOp& op, const ExprInfo& l, const ExprInfo& r);
  // VK-E211 when a plain value is required and `info` may be nil.
  bool require_plain(const Ast::Expr& e, const ExprInfo& info);
  void report_nil_use(const Ast::Expr& e);
  void logic_operand(std::string_view op, const Ast::Expr& e, const ExprInfo& info);

  // check_calls.cpp
  ExprInfo call(const Ast::Call& c);
  ExprInfo bare_call(const Ast::Call& c, std::string_view name, const std::vector<ExprInfo>& args);
  ExprInfo builtin_call(const Ast::Call& c, std::string_view name, const std::vector<ExprInfo>& args);
  ExprInfo method_call(const Ast::Call& c, const Ast::FieldAccess& callee, const std::vector<ExprInfo>& args);
  const FnInfo* resolve_function(std::string_view name) const;
  // Argument checks against a declared function's parameters (from `first_param` on).
  void check_args(const Ast::Method& fn, std::size_t first_param, const Ast::Call& c,
                  const std::vector<ExprInfo>& args);
  // VK-E212 / VK-E211 for one value flowing into a parameter-like target.
  void check_arg(std::string_view param, const Typ& param_ty, const Ast::Expr& arg, const ExprInfo& info);
  ExprInfo result_of(const Ast::Method& fn);

  // check_builtins.cpp: arguments against the container they go into or are
  // looked up in, the values `len`, `join` and `sort` work on, and no
  // possibly-nil argument.
  void check_builtin_values(const Ast::Call& c, std::string_view name, const std::vector<ExprInfo>& args);

  // check_actors.cpp
  ExprInfo spawn(const Ast::Spawn& s);
  ExprInfo send_or_call(const Ast::Call& c, bool is_call, const std::vector<ExprInfo>& args);
  std::optional<Typ> call_reply(const Ast::Call& c, std::string_view message);
  // Whether a traced class, or a `ref`, is reachable from the declaration
  // `name` through fields and payloads.
  bool contains_traced(std::string_view name) const;
  bool contains_ref(std::string_view name) const;
  bool reaches(std::string_view name, bool ref) const;

  // check_ctor.cpp
  ExprInfo ctor(Ast::Name class_name, std::span<const Ast::FieldInit> fields, Ast::Pos pos, bool insert);
  ExprInfo delete_expr(const Ast::Delete& d);
  ExprInfo query(const Ast::Query& q);
  // VK-E212 when `info` may be nil and the target is not nullable.
  void check_store(const Typ& target, const LazyText& target_label, const Ast::Expr& value,
                   const ExprInfo& info);

  // check_fit.cpp: VK-E201 when the value's known type does not fit the
  // target's; `target_label` names the target ("`t`", "parameter `s`").
  void check_fit(const Typ& target, const LazyText& target_label, const Ast::Expr& value,
                 const ExprInfo& info);

  // check_switch.cpp
  ExprInfo switch_expr(const Ast::Switch& s, bool value_used);

  // check_return.cpp: an error at the closing brace when a body that
  // declares a result can reach it.
  void check_end(const Ast::Method& fn);

  // check_stmt.cpp
  void stmt(const Ast::Stmt& s);
  void let(const Ast::Let& l);
  void assign(const Ast::Assign& a);
  void if_stmt(const Ast::If& i);
  // A loop is typed once into a scratch collector; when its body stores a
  // possibly-nil value into a name narrowed before the loop, the name may be
  // nil at the top of the next iteration, so the loop is typed again with
  // that name un-narrowed from the start.
  void loop(const Ast::Stmt& s);
  // Gives the names that reach the next iteration without their narrowing.
  std::vector<LostNarrowing> loop_once(const Ast::Stmt& s);
  // Past the trial depth: un-narrow every name the loop assigns at all.
  void unnarrow_assigned(Ast::List<Ast::Stmt> body);
  void lose_narrowing(std::string_view name);
  // At `break`/`continue`: names not narrowed here may leave the loop (or
  // reach its next iteration) nil.
  void note_jump(bool is_break);
  void for_stmt(const Ast::For& f);
  void return_stmt(const Ast::Return& r);
  // Names narrowed now (current type differs from the declared one).
  bool is_narrowed(std::string_view name) const;

  BodyContext& ctx_;
  const Symbols* own_module_;  // the table of the body's module; null without module tables
  Env& env_;
  Diag::Collector* sink_;
  std::vector<Ast::NodeId>* using_calls_;
  DeclaredScope declared_;
  std::vector<LostNarrowing> lost_;
  struct Jump {
    LostNarrowing lost;
    bool is_break;
  };
  std::vector<Jump> jumped_;           // lost narrowing carried by `break`/`continue`
  std::size_t loop_lost_start_ = 0;    // the innermost loop's first entry in `lost_`
  int depth_ = 0;
  int trial_depth_ = 0;
};

}  // namespace Typing
}  // namespace Types
