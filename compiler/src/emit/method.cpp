// The method emitter's frame: instruction output with line and drop records,
// the register watermark, masks, locals, drops from the ownership tables and
// run-time borrow guards.
#include "emit/method.hpp"

#include <algorithm>
#include <climits>

namespace Emit::detail {

MethodEmitter::MethodEmitter(Program& p, MethodRec& r, MethodScratch& scratch)
    : prog(p),
      rec(r),
      views(p.views[r.file]),
      module(p.modules_of_files[r.file]),
      code_(scratch.code),
      lines_(scratch.lines),
      drops_(scratch.drops),
      locals_(scratch.locals),
      jump_lines_(scratch.jump_lines) {
  code_.clear();
  lines_.clear();
  drops_.clear();
  locals_.clear();
  jump_lines_.clear();
}

std::string MethodEmitter::method_label() const {
  std::string name(rec.decl->name);
  return rec.owner == none ? name : std::string(prog.classes[rec.owner].name) + "." + name;
}

void MethodEmitter::report(std::string_view code, Ast::Pos pos, std::string message) {
  prog.report(code, rec.file, pos, std::move(message));
}

Ty MethodEmitter::fail(int dst, Ast::Pos pos, std::string message, const char* code) {
  report(code, pos, std::move(message));
  load_int(dst, 0, pos);
  return std::nullopt;
}

// ---------------------------------------------------------------- code

void MethodEmitter::put_records() {
  std::uint32_t pc = std::uint32_t(code_.size());
  if (line_ != last_line_) {
    lines_.push_back({pc, std::uint32_t(std::max(line_, 0))});
    last_line_ = line_;
  }
  if (owned_ != rec_owned_ || gc_ != rec_gc_) {
    drops_.push_back({pc, owned_, gc_});
    rec_owned_ = owned_;
    rec_gc_ = gc_;
  }
}

void MethodEmitter::put_abx(Op op, int a, long long bx, IndexKind kind, Ast::Pos pos) {
  if (bx >= 0 && bx <= max_bx) return put(abx(op, a, int(bx)));  // the usual case, without building a verdict
  if (auto message = check_bx(kind, bx)) {
    report(limit_code, pos, *message);
    bx = 0;
  }
  put(abx(op, a, int(bx)));
}

std::size_t MethodEmitter::put_jump(Op op, int a) {
  std::size_t at = here();
  jump_lines_.emplace_back(at, line_);
  put(asbx(op, a, 0));
  return at;
}

void MethodEmitter::patch_jump(std::size_t at, std::size_t target) {
  if (auto message = Emit::patch_jump(code_, at, target)) {
    auto it = std::lower_bound(jump_lines_.begin(), jump_lines_.end(), std::pair<std::size_t, int>(at, INT32_MIN));
    report(limit_code, {it != jump_lines_.end() && it->first == at ? it->second : line_, 1}, *message);
    return;
  }
  if (!any_target_ || target > highest_target_) highest_target_ = target;
  any_target_ = true;
}

void MethodEmitter::getf(int dst, int obj, int slot, Ast::Pos pos) {
  if (auto message = check_field(slot)) {
    report(limit_code, pos, *message);
    load_int(dst, 0, pos);
    return;
  }
  put_abc(Op::GETF, dst, obj, slot);
}

void MethodEmitter::setf(int obj, int slot, int value, Ast::Pos pos) {
  if (auto message = check_field(slot)) {
    report(limit_code, pos, *message);
    return;
  }
  put_abc(Op::SETF, obj, slot, value);
}

void MethodEmitter::load_int(int dst, std::int64_t value, Ast::Pos pos) {
  put_abx(Op::LOADK, dst, prog.pool.const_int(value), IndexKind::CONSTANT, pos);
}
void MethodEmitter::load_float_bits(int dst, std::uint64_t bits, Ast::Pos pos) {
  put_abx(Op::LOADK, dst, prog.pool.const_float_bits(bits), IndexKind::CONSTANT, pos);
}
void MethodEmitter::load_text(int dst, std::string_view text, Ast::Pos pos) {
  put_abx(Op::LOADK, dst, prog.pool.const_text(text), IndexKind::CONSTANT, pos);
}

Ty MethodEmitter::builtin_ret(std::string_view name, const Ty& first) const {
  auto fixed = prog.fixed_builtin_rets.find(name);
  if (fixed == prog.fixed_builtin_rets.end())
    fixed = prog.fixed_builtin_rets.emplace(name, ty_of(Types::builtin_confident_ret(name, std::nullopt))).first;
  if (fixed->second) return fixed->second;
  return ty_of(Types::builtin_confident_ret(name, first ? std::optional<Types::Typ>(*first) : std::nullopt));
}

// ---------------------------------------------------------------- registers

namespace {
std::string budget_message(std::string_view method) {
  return "`" + std::string(method) + "` needs more than 64 registers — the VM's register window is 64 slots; "
         "split the method or reduce the number of live locals";
}
}  // namespace

// A request past the window reports once and is given register 63, so the
// code stays well formed while the error withholds the image.
int MethodEmitter::clamp_reg(int reg) {
  if (reg < window) return reg;
  if (!over_budget_) {
    over_budget_ = true;
    report(over_budget_code, rec.decl->pos, budget_message(method_label()));
  }
  return window - 1;
}

int MethodEmitter::alloc_local() {
  // Temporaries held by an enclosing expression sit below the floor.
  if (next_local_ < temp_floor_) next_local_ = temp_floor_;
  int reg = clamp_reg(next_local_);
  if (next_local_ < window) ++next_local_;
  next_temp_ = std::max(next_temp_, next_local_);
  highest_ = std::max(highest_, reg);
  return reg;
}

int MethodEmitter::alloc_temps(int n) {
  if (n < 1) n = 1;
  if (next_temp_ + n > window) {
    clamp_reg(window);
    // A window that does not fit starts low enough to stay inside the registers.
    next_temp_ = window;
    highest_ = window - 1;
    return std::max(0, window - n);
  }
  int first = next_temp_;
  next_temp_ += n;
  highest_ = std::max(highest_, next_temp_ - 1);
  return first;
}

// ---------------------------------------------------------------- masks

void MethodEmitter::mask_set(int reg, bool gc) {
  if (reg < 0 || reg >= window) return;
  if (gc)
    gc_ |= std::uint64_t(1) << reg;
  else
    owned_ |= std::uint64_t(1) << reg;
}

void MethodEmitter::mask_clear(int reg) {
  if (reg < 0 || reg >= window) return;
  owned_ &= ~(std::uint64_t(1) << reg);
  gc_ &= ~(std::uint64_t(1) << reg);
}

void MethodEmitter::mask_meet(std::uint64_t owned, std::uint64_t gc) {
  owned_ &= owned;
  gc_ &= gc;
}

void MethodEmitter::sync_mask(Ast::NodeId site) {
  const Owner::Drop* live = views.find(site, Owner::DropKind::LiveMask);
  if (!live) return;
  owned_ = 0;
  gc_ = 0;
  for (const Owner::DropItem& item : live->items) {
    const LocalVar* local = local_of_item(item);
    if (local) mask_set(local->reg, item.gc);
  }
}

// ---------------------------------------------------------------- locals

int MethodEmitter::bind_local(std::string_view name, Ty ty, Ast::NodeId slot) {
  int reg = alloc_local();
  locals_.push_back({name, reg, std::move(ty), slot});
  return reg;
}

const LocalVar* MethodEmitter::find_local(std::string_view name) const {
  for (auto it = locals_.rbegin(); it != locals_.rend(); ++it)
    if (same_name(it->name, name)) return &*it;
  return nullptr;
}

void MethodEmitter::scope_restore(std::size_t mark) {
  // Registers of a closed scope stay allocated: the watermark only grows
  // within a method, so a later local never aliases a register that an
  // outstanding drop record still names.
  locals_.resize(std::min(mark, locals_.size()));
}

// ---------------------------------------------------------------- drops

const LocalVar* MethodEmitter::local_of_item(const Owner::DropItem& item) const {
  if (item.slot) {
    for (auto it = locals_.rbegin(); it != locals_.rend(); ++it)
      if (it->slot == item.slot && same_name(it->name, item.name)) return &*it;
    for (auto it = locals_.rbegin(); it != locals_.rend(); ++it)
      if (it->slot == item.slot) return &*it;
  }
  return find_local(item.name);
}

void MethodEmitter::emit_drops(std::span<const Owner::DropItem> items) {
  for (const Owner::DropItem& item : items) {
    const LocalVar* local = local_of_item(item);
    if (!local) {
      report(unguardable_code, {line_, 1},
             "ownership table names " + q(item.name) + ", which has no register in " + q(method_label()));
      continue;
    }
    if (!item.gc) put_abc(Op::DROP, local->reg, 0, 0);
    mask_clear(local->reg);
  }
}

void MethodEmitter::emit_scope_drops(Ast::NodeId site, std::string_view label) {
  if (const Owner::Drop* d = views.find(site, Owner::DropKind::Scope, label)) emit_drops(d->items);
}

void MethodEmitter::emit_join_drops(Ast::NodeId site, std::string_view label) {
  if (const Owner::Drop* d = views.find(site, Owner::DropKind::JoinDrop, label)) emit_drops(d->items);
}

// ---------------------------------------------------------------- guards

std::vector<std::pair<int, Owner::Access>> MethodEmitter::residual_guards(
    Ast::NodeId site, const std::vector<std::pair<const Ast::Expr*, int>>& window_regs) {
  std::vector<std::pair<int, Owner::Access>> guards;
  auto it = views.residual.find(site);
  if (it == views.residual.end()) return guards;
  for (const Owner::Residual* r : it->second) {
    prog.guarded.insert(r);
    for (int side = 0; side < 2; ++side) {
      Ast::NodeId id = side == 0 ? r->first_id : r->second_id;
      Owner::Access access = side == 0 ? r->first_kind : r->second_kind;
      int reg = -1;
      for (const auto& [expr, wreg] : window_regs)
        if (expr && expr->id == id) reg = wreg;
      if (reg < 0) {
        report(unguardable_code, r->pos,
               "residual borrow site in " + q(method_label()) +
                   " names an operand with no live register — the runtime guard cannot be placed");
        continue;
      }
      guards.push_back({reg, access});
    }
  }
  return guards;
}

void MethodEmitter::acquire_guards(const std::vector<std::pair<int, Owner::Access>>& guards) {
  for (const auto& [reg, access] : guards)
    put_abc(access == Owner::Access::BorrowS ? Op::BORROW_S : Op::BORROW_X, reg, 0, 0);
}

void MethodEmitter::release_guards(const std::vector<std::pair<int, Owner::Access>>& guards) {
  for (auto it = guards.rbegin(); it != guards.rend(); ++it)
    put_abc(it->second == Owner::Access::BorrowS ? Op::RELEASE_S : Op::RELEASE_X, it->first, 0, 0);
}

// ---------------------------------------------------------------- the frame

void MethodEmitter::run() {
  const Ast::Method& m = *rec.decl;
  line_ = m.pos.line;
  if (rec.owner != none && !m.is_static) {
    locals_.push_back({"self", alloc_local(), named(prog.classes[rec.owner].name), 0});
  }
  for (const Ast::Param& p : m.params) {
    bind_local(p.name, ty_of(p.ty), p.id);
  }
  param_regs_ = next_local_;
  emit_stmts(m.body);
  line_ = m.pos.line;
  emit_scope_drops(m.id, "BODY");
  bool ends_in_return = !code_.empty() && (op_of(code_.back()) == int(Op::RET) || op_of(code_.back()) == int(Op::RET0));
  bool end_is_target = any_target_ && highest_target_ >= code_.size();
  if (code_.empty() || end_is_target || !ends_in_return) put(abc(Op::RET0, 0, 0, 0));

  int regs = std::max(highest_ + 1, 1);
  if (regs > window) {
    if (!over_budget_) report(over_budget_code, m.pos, budget_message(method_label()));
    regs = window;
  }
  MethodEntry& out = prog.entries[rec.id];
  out.regs = std::uint8_t(regs);
  out.code.assign(code_.begin(), code_.end());
  out.lines.assign(lines_.begin(), lines_.end());
  out.drops.assign(drops_.begin(), drops_.end());
}

}  // namespace Emit::detail
