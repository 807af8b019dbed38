// Private to the emitter: the method emitter. One object per method body; it
// owns the code buffer, the register watermark, the masks and the locals, and
// its lowerings are split by construct:
//   method.cpp          frame, put, registers, masks, drops, guards, locals
//   lower_expr.cpp      literals, names, fields, operators, interpolation
//   lower_calls.cpp     direct, interface and builtin calls, constructors
//   lower_stmt.cpp      statements, loops, switch, try
//   lower_variants.cpp  union variant constructors and `switch` on unions
//   lower_tables.cpp    `insert`, `delete` and queries
//   lower_actors.cpp    `spawn` and `json.decode(...) as T`
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "emit/program.hpp"

namespace Emit::detail {


inline constexpr int window = 64;  // registers per method
// The nil of a nullable scalar, and of a `?Float` (a NaN with a marked payload).
inline constexpr std::int64_t nil_scalar = -4611686018427387904LL;
inline constexpr std::uint64_t nil_float_bits = 0x7FF8000000000EE1ULL;
// Deepest expression nesting lowered; the parser bounds it well below.
inline constexpr int max_depth = 2000;

struct LocalVar {
  std::string_view name;
  int reg = 0;
  Ty ty;
  Ast::NodeId slot = 0;
};

// Buffers one method emitter after another fills: each method's code and
// records are allocated once, at their final size, and its working lists
// not at all.
struct MethodScratch {
  std::vector<std::uint32_t> code;
  std::vector<LineRecord> lines;
  std::vector<DropRecord> drops;
  std::vector<LocalVar> locals;
  std::vector<std::pair<std::size_t, int>> jump_lines;
};

class MethodEmitter {
 public:
  MethodEmitter(Program& prog, MethodRec& rec, MethodScratch& scratch);
  // Emits the whole method into its image entry, prog.entries[rec.id].
  void run();

  Program& prog;
  MethodRec& rec;
  const Views& views;
  const std::string& module;  // of the method's file

  // ---- code
  std::size_t here() const { return code_.size(); }
  // Appends one instruction, after a line or drop record when the line or the
  // masks changed since the last one.
  void put(std::uint32_t word) {
    if (line_ != last_line_ || owned_ != rec_owned_ || gc_ != rec_gc_) put_records();
    code_.push_back(word);
  }
  void put_records();
  void put_abc(Op op, int a, int b, int c) { put(abc(op, a, b, c)); }
  // An ABx instruction whose Bx is a numbered index (checked against 65535).
  void put_abx(Op op, int a, long long bx, IndexKind kind, Ast::Pos pos);
  // A JMP, JZ or TRY with displacement 0; gives its pc for patch_jump.
  std::size_t put_jump(Op op, int a = 0);
  void patch_jump(std::size_t at, std::size_t target);
  void getf(int dst, int obj, int slot, Ast::Pos pos);
  void setf(int obj, int slot, int value, Ast::Pos pos);
  void builtin(int dst, int base, Builtin id) { put_abc(Op::BUILTIN, dst, base, int(id)); }
  void move(int dst, int src) {
    if (dst != src) put_abc(Op::MOVE, dst, src, 0);
  }

  // ---- types, interned in the program's table
  Ty named(std::string_view name) const { return prog.types.named(name); }
  Ty int_ty() const { return prog.types.int_ty(); }
  Ty float_ty() const { return prog.types.float_ty(); }
  Ty text_ty() const { return prog.types.text_ty(); }
  Ty bool_ty() const { return prog.types.bool_ty(); }
  Ty ty_of(const Types::Typ& ty) const { return prog.types.of(ty); }
  Ty ty_of(const std::optional<Types::Typ>& ty) const { return prog.types.of(ty); }
  Ty ty_of(const Ast::TypeExpr& ty) const { return prog.types.of_type_expr(ty); }
  Ty ty_of(const Ast::TypeExpr* ty) const { return ty ? prog.types.of_type_expr(*ty) : Ty(); }
  // The result type of a builtin call whose first argument has type `first`.
  Ty builtin_ret(std::string_view name, const Ty& first) const;

  // ---- constants
  void load_int(int dst, std::int64_t value, Ast::Pos pos);
  void load_float_bits(int dst, std::uint64_t bits, Ast::Pos pos);
  void load_text(int dst, std::string_view text, Ast::Pos pos);

  // ---- registers
  int alloc_local();
  int alloc_temp() {
    // Past the window every temporary is the last register (reported once).
    int reg = next_temp_ < window ? next_temp_++ : clamp_reg(next_temp_);
    highest_ = std::max(highest_, reg);
    return reg;
  }
  int alloc_temps(int n);  // n consecutive temporaries; gives the first
  // Temporaries live within one statement; statements nested in an
  // expression (switch arms, catch blocks) keep the enclosing one's above the floor.
  void stmt_reset() { next_temp_ = std::max(next_local_, temp_floor_); }
  int temp_mark() const { return next_temp_; }
  void temp_reset(int mark) { next_temp_ = std::max(mark, next_local_); }
  // Raises the floor to the current temporaries; gives the old floor.
  int hold_temps() {
    int old = temp_floor_;
    temp_floor_ = next_temp_;
    return old;
  }
  void release_temps(int old_floor) { temp_floor_ = old_floor; }

  // ---- masks
  void mask_set(int reg, bool gc);
  void mask_clear(int reg);
  void mask_meet(std::uint64_t owned, std::uint64_t gc);
  std::uint64_t owned_mask() const { return owned_; }
  std::uint64_t gc_mask() const { return gc_; }
  // Before every call, builtin and table instruction: the live owned and gc
  // locals of the site. Without a LIVE-MASK for the site the masks stay as
  // the method knows them (clearing them would hide live values).
  void sync_mask(Ast::NodeId site);

  // ---- locals
  std::size_t scope_mark() const { return locals_.size(); }
  void scope_restore(std::size_t mark);
  int bind_local(std::string_view name, Ty ty, Ast::NodeId slot);
  // Binds a name to a register already allocated.
  void locals_push(std::string_view name, int reg, Ty ty, Ast::NodeId slot) {
    locals_.push_back({name, reg, std::move(ty), slot});
  }
  // The local an ownership item names: by slot and name, then slot, then name.
  const LocalVar* local_of_item(const Owner::DropItem& item) const;
  const LocalVar* find_local(std::string_view name) const;

  // ---- drops and guards
  void emit_drops(std::span<const Owner::DropItem> items);
  void emit_scope_drops(Ast::NodeId site, std::string_view label);
  void emit_join_drops(Ast::NodeId site, std::string_view label);
  // Releases a value just made for one use when nobody took it.
  void release_if_fresh(const Ast::Expr& e, int reg, const Ty& ty);
  bool is_fresh(const Ast::Expr& e, const Ty& ty) const;
  // A Text stored into a field or container must be the store's own: a
  // borrowed one (a parameter, a field, an element) is copied first.
  void own_text(int reg, const Ast::Expr& e, const Ty& ty);
  // A Text or Bytes read from a field or an element, which its holder keeps.
  bool lent_text(const Ast::Expr& e, const Ty& ty) const;
  // Evaluates a value that a new owner keeps (a field, a container, a `take`
  // parameter, a payload, a message, a returned value); see lower_expr.cpp.
  Ty emit_owned(int dst, const Ast::Expr& e, const Ty& expected = std::nullopt);
  bool is_heap(const Ty& ty) const;  // owned, gc-less class value or text-like
  bool is_owned(const Ty& ty) const;
  bool is_gc(const Ty& ty) const;
  bool is_text(const Ty& ty) const;
  bool is_shared(const Ty& ty) const;  // Text or Bytes: reference-counted
  bool is_float(const Ty& ty) const;
  bool is_param(const LocalVar& local) const { return local.reg < param_regs_; }
  // Runtime guards of the residual records of a call site; `window_regs`
  // are the argument registers with the operand expressions they hold.
  std::vector<std::pair<int, Owner::Access>> residual_guards(Ast::NodeId site,
                                                             const std::vector<std::pair<const Ast::Expr*, int>>& window_regs);
  void acquire_guards(const std::vector<std::pair<int, Owner::Access>>& guards);
  void release_guards(const std::vector<std::pair<int, Owner::Access>>& guards);

  // ---- diagnostics
  void report(std::string_view code, Ast::Pos pos, std::string message);
  // Reports VK-E403 (or `code`) and loads Int 0 into dst so emission goes on.
  Ty fail(int dst, Ast::Pos pos, std::string message, const char* code = cannot_lower_code);

  // ---- expressions (lower_expr.cpp)
  // Evaluates e into dst and gives its type when known. `expected` is the
  // destination's declared type (for `nil`, `[]` and `{}`).
  Ty emit_expr(int dst, const Ast::Expr& e, const Ty& expected = std::nullopt);
  // A register holding e's value: a plain local's own register, else a temporary.
  int emit_operand(const Ast::Expr& e, Ty* ty = nullptr);
  // The type of e without emitting anything; none when unknown.
  Ty type_of(const Ast::Expr& e) const;
  // The reply type of `call` on an actor taking messages of this type.
  Ty reply_type(std::string_view message_type) const;
  Ty emit_field_access(int dst, const Ast::FieldAccess& fa);
  Ty emit_binary(int dst, const Ast::BinOp& b);
  Ty emit_interp_piece(int dst, const Ast::Interp& in);
  // The class record a value of this type is an instance of (`?C` and `ref C` read as C).
  const ClassRec* class_of(const Ty& ty) const;

  // ---- calls and constructors (lower_calls.cpp)
  Ty emit_call(int dst, const Ast::Call& c, const Ty& expected = std::nullopt);
  // `qualifier.name` (or `name` alone) is how the callee is named in messages.
  Ty emit_direct(int dst, const Ast::Call& c, std::uint32_t method, const Ast::Expr* receiver,
                 std::string_view qualifier, std::string_view name);
  Ty emit_iface(int dst, const Ast::Call& c, const IfaceRec& iface, const Ast::Expr& receiver);
  Ty emit_builtin(int dst, const Ast::Call& c, std::string_view name, const Ty& expected = std::nullopt);
  Ty emit_stdlib(int dst, const Ast::Call& c, std::string_view module, std::string_view member);
  Ty emit_ctor(int dst, std::string_view class_name, std::span<const Ast::FieldInit> fields, Ast::Pos pos);
  // Fills the fields of the instance in `obj`: given values, else defaults.
  void emit_ctor_fields(int obj, const ClassRec& cls, std::span<const Ast::FieldInit> fields, Ast::Pos pos);
  void emit_default_value(int dst, const ClassRec::FieldRec& field, Ast::Pos pos);
  Ty emit_list(int dst, const Ast::ListLit& l, const Ty& expected);
  Ty emit_empty_map(int dst, const Ast::EmptyMap& m, const Ty& expected);
  // The kinds byte of a container type.
  std::optional<int> kinds_of(const Ty& ty) const;

  // ---- statements (lower_stmt.cpp)
  void emit_block(Ast::List<Ast::Stmt> stmts, Ast::NodeId scope_site, std::string_view label);
  void emit_stmts(Ast::List<Ast::Stmt> stmts);
  void emit_stmt(const Ast::Stmt& s);
  void emit_let(const Ast::Let& l);
  void emit_assign(const Ast::Assign& a);
  void emit_if(const Ast::If& i);
  void emit_while(const Ast::While& w);
  void emit_do_while(const Ast::DoWhile& d);
  void emit_for(const Ast::For& f);
  void emit_break(const Ast::Stmt& s, bool is_break);
  void emit_return(const Ast::Return& r);
  // `expected` is the destination's declared type, handed to every arm.
  Ty emit_switch(int dst, const Ast::Switch& s, const Ty& expected = std::nullopt);
  Ty emit_try(int dst, const Ast::Try& t, const Ty& expected = std::nullopt);
  // A block whose last statement may give a value into dst (arms, catch).
  // `own`: a text read from a place becomes the value's own (a catch arm).
  Ty emit_value_block(int dst, Ast::List<Ast::Stmt> stmts, const Ty& expected = std::nullopt, bool own = false);
  void set_line(int line) { line_ = line; }
  int line() const { return line_; }

  // ---- union variants (lower_variants.cpp)
  Ty emit_variant_ctor(int dst, const Ast::Call& c, const Types::FoundVariant& v);
  // A switch whose scrutinee (already in `scrut`) is a value of union `u`.
  Ty emit_union_switch(int dst, const Ast::Switch& s, int scrut, const Types::UnionInfo& u,
                       const Ty& expected = std::nullopt);

  // ---- tables and queries (lower_tables.cpp)
  Ty emit_insert(int dst, const Ast::Insert& e);
  Ty emit_delete(int dst, const Ast::Delete& e);
  Ty emit_query(int dst, const Ast::Query& e);

  // ---- actors and the JSON decode (lower_actors.cpp)
  Ty emit_spawn(int dst, const Ast::Spawn& e);
  Ty emit_as(int dst, const Ast::As& e);

  struct Loop {
    std::vector<std::size_t> breaks;
    std::vector<std::size_t> continues;  // patched to the continue target
  };
  std::vector<Loop> loops;
  int depth = 0;

 private:
  std::string method_label() const;
  int clamp_reg(int reg);
  std::vector<std::uint32_t>& code_;
  std::vector<LineRecord>& lines_;
  std::vector<DropRecord>& drops_;
  int line_ = 0;
  int last_line_ = -1;
  std::uint64_t owned_ = 0, gc_ = 0;
  // Registers of the payload texts the enclosing `switch` arms copied: the
  // ownership tables do not know them, so a `return` from inside an arm
  // releases them itself.
  std::vector<int> arm_text_copies_;
  std::uint64_t rec_owned_ = 0, rec_gc_ = 0;
  int next_local_ = 0, next_temp_ = 0, highest_ = -1, temp_floor_ = 0;
  bool over_budget_ = false;
  std::vector<LocalVar>& locals_;
  std::size_t highest_target_ = 0;
  bool any_target_ = false;
  std::vector<std::pair<std::size_t, int>>& jump_lines_;  // (pc, line) of each jump in pc order, for its limit error
  int param_regs_ = 0;  // self and the parameters take the registers below
};

}  // namespace Emit::detail
