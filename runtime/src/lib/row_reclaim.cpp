// Reclaiming deleted rows.
//
// A deleted row may still be referred to: by a query result, a local, a
// field (an owning one, or a `ref` field, which is a plain word to the rest
// of the runtime), an element. It stays readable until a reclamation proves
// that nothing refers to it any more. Once deleted, a row is never handed
// out again (queries see only live rows), so a row that nothing refers to
// at one moment stays unreferenced and can be freed.
//
// A reclamation runs inside `delete`, after enough deletions (so its cost is
// a bounded share of the work), and traces what the program can reach:
//   - every register word in use is compared with the pending rows (never
//     followed: a register may hold a stale word);
//   - the registers each active call owns or holds a gc reference in, as
//     its drop record at its current instruction says (valid by
//     construction: unwinding frees them), are followed;
//   - every live row, and an actor's state and current message;
//   - from each object reached, the fields and elements that lead on are
//     followed, and every other word is compared with the pending rows; a
//     pending row found that way is kept and traced in turn.
// A row under a borrow guard is kept. Rows of a gc class are left to the
// collector once unreferenced (until then the tables root them).
#include <algorithm>

#include "lib/tables.hpp"

namespace Vm {

namespace {

// Registers beyond the reach of a drop record's 64-bit masks.
constexpr std::size_t mask_reach = 64;

class Tracer {
 public:
  Tracer(std::vector<Instance*>& pending) : pending_(pending), kept_(pending.size(), false) {
    std::sort(pending_.begin(), pending_.end());
    if (!pending_.empty()) lo_ = from_ptr(pending_.front()), hi_ = from_ptr(pending_.back());
  }
  ~Tracer() {
    for (Obj* o : marked_) o->flags &= static_cast<std::uint8_t>(~MARKED);
  }
  Tracer(const Tracer&) = delete;
  Tracer& operator=(const Tracer&) = delete;

  // A word that is not followed: it keeps a pending row it equals.
  void note(Value w) {
    ++work_;
    if (keep_if_pending(w)) push(as_obj(w));
  }

  // A word known to be nil or a live object.
  void visit(Value v) {
    Obj* o = as_obj(v);
    if (o == nullptr || o->type == ObjType::TEXT || o->type == ObjType::BYTES || o->type == ObjType::ERROR) return;
    keep_if_pending(v);
    push(o);
  }

  void run(const Heap& heap) {
    while (!stack_.empty()) {
      Obj* o = stack_.back();
      stack_.pop_back();
      ++work_;
      switch (o->type) {
        case ObjType::INSTANCE: {
          auto* inst = reinterpret_cast<Instance*>(o);
          const std::vector<Kind>& kinds = heap.layout(o->cls).kinds;
          for (std::uint32_t i = 0; i < inst->nfields; ++i) word(inst->fields[i], kinds[i]);
          break;
        }
        case ObjType::MULTI: {
          auto* m = reinterpret_cast<Multi*>(o);
          for (std::uint32_t i = 0; i < m->count; ++i) word(m->items[i], m->elem());
          break;
        }
        case ObjType::MAP: {
          auto* m = reinterpret_cast<Map*>(o);
          for (std::uint32_t i = 0; i < m->count; ++i) {
            word(m->entries[i].key, m->key());
            word(m->entries[i].val, m->val());
          }
          break;
        }
        default: break;
      }
    }
  }

  bool kept(std::size_t i) const { return kept_[i]; }
  std::size_t work() const { return work_; }

 private:
  bool keep_if_pending(Value w) {
    if (w < lo_ || w > hi_) return false;
    auto it = std::lower_bound(pending_.begin(), pending_.end(), as_ptr<Instance>(w));
    if (it == pending_.end() || from_ptr(*it) != w) return false;
    kept_[static_cast<std::size_t>(it - pending_.begin())] = true;
    return true;
  }

  void push(Obj* o) {
    if (o->flags & MARKED) return;
    o->flags |= MARKED;
    marked_.push_back(o);
    stack_.push_back(o);
  }

  void word(Value w, Kind k) {
    switch (k) {
      case Kind::OWNED:
      case Kind::GCREF:
      case Kind::MULTI:
      case Kind::MAP: visit(w); break;
      case Kind::SCALAR: note(w); break;
      default: break;  // Float bits, Texts and Bytes never name a row
    }
  }

  std::vector<Instance*>& pending_;
  std::vector<bool> kept_;
  Value lo_ = 1, hi_ = 0;
  std::vector<Obj*> marked_;
  std::vector<Obj*> stack_;
  std::size_t work_ = 0;
};

}  // namespace

void reclaim_deleted_rows(Machine& vm, const Value* window_begin, const Value* window_end) {
  if (vm.library == nullptr || !vm.library->tables) return;
  Tables& ts = *vm.library->tables;
  ts.deleted_since = 0;
  if (ts.pending.empty()) return;
  const std::vector<Frame>& frames = vm.frames();
  // A call with registers the drop records cannot describe might own the
  // only reference: decide nothing this time.
  for (const Frame& f : frames) {
    if (f.method->regs > mask_reach) {
      ts.budget = std::max<std::size_t>(ts.budget, ts.pending.size());
      return;
    }
  }
  std::vector<Instance*> keep, unreferenced;
  std::size_t work = 0;
  {
    Tracer tracer(ts.pending);
    const Value* top = vm.stack_base();
    if (!frames.empty()) top = frames.back().base + frames.back().method->regs;
    for (const Value* r = vm.stack_base(); r < top; ++r) tracer.note(*r);
    for (const Value* r = window_begin; r < window_end; ++r) tracer.note(*r);
    for (const Frame& f : frames) {
      Bytecode::DropRecord d = f.method->masks_at(f.pc);
      std::uint64_t held = d.owned | d.gc;
      while (held != 0) {
        int r = __builtin_ctzll(held);
        held &= held - 1;
        if (std::size_t(r) < f.method->regs) tracer.visit(f.base[r]);
      }
    }
    for (Value v : vm.library->held) tracer.visit(v);
    for (const auto& t : ts.by_class) {
      if (!t) continue;
      for (Instance* r : t->rows) {
        if (r != nullptr) tracer.visit(from_ptr(r));
      }
    }
    tracer.run(vm.heap);
    for (std::size_t i = 0; i < ts.pending.size(); ++i) {
      Instance* r = ts.pending[i];
      if (tracer.kept(i) || r->h.borrows != 0) keep.push_back(r);
      else unreferenced.push_back(r);
    }
    work = tracer.work();
  }  // marks cleared
  ts.pending = std::move(keep);
  for (Instance* r : unreferenced) free_row(vm, r);
  // The next reclamation waits for deletions in proportion to this one's
  // work, so tracing stays a bounded share of the run.
  ts.budget = std::max<std::size_t>(1024, work / 8);
}

}  // namespace Vm
