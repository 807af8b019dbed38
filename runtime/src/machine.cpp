// Running a program: the register stack, unwinding to `try` handlers, the
// uncaught-error trace, and the collector's view of the registers.
#include "machine.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>

#include "builtins.hpp"
#include "lib/library.hpp"

namespace Vm {

struct Interp {
  static Value execute(Machine& vm, std::size_t floor);
};

namespace {

bool any_gc_class(const Program& p) {
  for (const ClassLayout& l : p.layouts) {
    if (l.gc) return true;
  }
  return false;
}

BuiltinTable make_table() {
  BuiltinTable t;
  register_library_stubs(t);
  register_core_builtins(t);
  register_text_builtins(t);
  register_container_builtins(t);
  register_bytes_builtins(t);
  register_float_builtins(t);
  register_math_builtins(t);
  register_basic_builtins(t);
  register_library(t);
  return t;
}

// Frames [floor, end) of `frames` as "  at ..." lines, innermost first. A
// runaway recursion shows its innermost and outermost calls only.
std::string trace_lines(const std::vector<Frame>& frames, std::size_t floor) {
  constexpr std::size_t inner = 20, outer = 5;
  std::size_t n = frames.size() - floor;
  std::string text;
  for (std::size_t k = 0; k < n; ++k) {
    if (n > inner + outer + 1 && k == inner) {
      text += "  ... " + std::to_string(n - inner - outer) + " more calls\n";
      k = n - outer - 1;
      continue;
    }
    const Frame& f = frames[frames.size() - 1 - k];
    text += "  at " + f.method->name + " (line " + std::to_string(f.method->line_at(f.pc)) + ")\n";
  }
  return text;
}

// Memory the C++ library could not get inside a builtin (a text or list
// built in a std::string or std::vector) is the program's out-of-memory
// error like any other.
VmError out_of_memory() { return VmError{static_cast<std::int64_t>(ErrorCode::OUT_OF_MEMORY), "out of memory"}; }
// A thread or another resource of the system that could not be had (under
// an address-space limit, a worker thread's stack) counts as memory too.
VmError out_of_resources(const std::system_error& e) {
  return VmError{static_cast<std::int64_t>(ErrorCode::OUT_OF_MEMORY), std::string("out of memory: ") + e.what()};
}

// The error of the exception being handled: the program's own, or one of the
// above for what the C++ library threw. Anything else goes on up.
VmError caught_error() {
  try {
    throw;
  } catch (VmError& e) {
    return std::move(e);
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  } catch (const std::length_error&) {
    return out_of_memory();
  } catch (const std::system_error& e) {
    return out_of_resources(e);
  }
}

}  // namespace

const BuiltinTable& builtins() {
  static const BuiltinTable table = make_table();
  return table;
}

Machine::Machine(Program& p) : program(p), heap(p.layouts, any_gc_class(p)) {
  const char* stress = std::getenv("VKVM_GC_STRESS");
  heap.set_stress(stress != nullptr && stress[0] != '\0' && stress[0] != '0');
  stack_ = static_cast<Value*>(std::calloc(stack_slots, sizeof(Value)));
  if (stack_ == nullptr) std::abort();
  frames_.reserve(256);
}

Machine::~Machine() {
  release_library(*this);
  forget_caught();
  std::free(stack_);
}

void Machine::forget_caught() {
  if (caught_ == nullptr) return;
  caught_->h.flags &= static_cast<std::uint8_t>(~GC);
  heap.drop(from_ptr(caught_));
  caught_ = nullptr;
}

std::uint32_t Machine::current_line() const {
  const Frame& f = frames_.back();
  return f.method->line_at(f.pc);
}

void Machine::collect(Value* top) { heap.collect(stack_, static_cast<std::size_t>(top - stack_)); }

int Machine::run(const std::vector<std::string>& args) {
  const Method& entry = program.methods[program.entry];
  // The arguments are lent to `main`, which never frees them.
  Value argv = 0;
  if (entry.args == 1) {
    Multi* m = heap.multi(Kind::TEXT, static_cast<std::uint32_t>(args.size()));
    for (const std::string& a : args) heap.multi_push(m, from_ptr(heap.text(a)));
    argv = from_ptr(m);
    stack_[0] = argv;
  }
  frames_.push_back(Frame{&entry, 0, stack_});
  for (;;) {
    VmError error;
    try {
      Value result = Interp::execute(*this, 0);
      out.flush();
      heap.drop(argv);
      return static_cast<int>(as_int(result) & 0xff);
    } catch (...) {
      error = caught_error();
    }
    if (!unwind(error)) {
      report_uncaught(error);
      release_all();
      heap.drop(argv);
      return 1;
    }
  }
}

// After an uncaught error: every active call gives back what it owns, so the
// run ends with nothing left behind.
void Machine::release_all() {
  while (!borrows_.empty()) {
    Borrow b = borrows_.back();
    borrows_.pop_back();
    if (b.obj != nullptr) b.obj->borrows = 0;
  }
  tries_.clear();
  while (!frames_.empty()) {
    release_frame(frames_.back(), 0);
    frames_.pop_back();
  }
}

void Machine::release_frame(const Frame& f, std::uint64_t keep) {
  std::uint64_t owned = f.method->masks_at(f.pc).owned & ~keep;
  while (owned != 0) {
    int r = __builtin_ctzll(owned);
    owned &= owned - 1;
    heap.drop(f.base[r]);
    f.base[r] = 0;
  }
}

bool Machine::unwind(const VmError& error) {
  if (tries_.empty()) return false;
  // Where it was raised, for the Error record.
  const Frame& at = frames_.back();
  std::int64_t line = at.method->line_at(at.pc);
  std::string method = at.method->name;

  TryRegion t = tries_.back();
  tries_.pop_back();
  while (borrows_.size() > t.borrow_mark) {
    Borrow b = borrows_.back();
    borrows_.pop_back();
    if (b.obj == nullptr) continue;
    if (b.exclusive) b.obj->borrows = 0;
    else if (b.obj->borrows > 0) --b.obj->borrows;
  }
  // Frames above the handler's give back everything they own; the
  // handler's frame gives back what it came to own inside the region.
  while (frames_.size() > t.frame + 1) {
    release_frame(frames_.back(), 0);
    frames_.pop_back();
  }
  Frame& f = frames_.back();
  release_frame(f, t.owned_at_try);

  forget_caught();
  caught_ = heap.error(error.code, line, method, error.msg);
  caught_->h.flags |= GC;  // the machine frees it, never a DROP
  f.base[t.reg] = from_ptr(caught_);
  f.pc = t.handler;
  return true;
}

Value Machine::invoke(std::uint32_t method, const Value* args, std::size_t n, std::string* trace) {
  const Method& callee = program.methods[method];
  Value* base = frames_.empty() ? stack_ : frames_.back().base + frames_.back().method->regs;
  if (base + callee.regs > stack_ + stack_slots || frames_.size() >= max_frames) {
    raise(ErrorCode::STACK_OVERFLOW, "stack overflow: the calls nest too deeply");
  }
  std::memset(base, 0, callee.regs * sizeof(Value));
  for (std::size_t i = 0; i < n && i < callee.regs; ++i) base[i] = args[i];
  std::size_t floor = frames_.size();
  std::size_t borrow_mark = borrows_.size();
  frames_.push_back(Frame{&callee, 0, base});
  for (;;) {
    VmError error;
    try {
      return Interp::execute(*this, floor);
    } catch (...) {
      error = caught_error();
    }
    if (!tries_.empty() && tries_.back().frame >= floor && unwind(error)) continue;
    if (trace != nullptr) *trace += trace_lines(frames_, floor);
    while (borrows_.size() > borrow_mark) {
      Borrow b = borrows_.back();
      borrows_.pop_back();
      if (b.obj == nullptr) continue;
      if (b.exclusive) b.obj->borrows = 0;
      else if (b.obj->borrows > 0) --b.obj->borrows;
    }
    while (frames_.size() > floor) {
      release_frame(frames_.back(), 0);
      frames_.pop_back();
    }
    throw error;
  }
}

void Machine::report_uncaught(const VmError& error) {
  out.error("vkvm: " + error.msg + "\n" + trace_lines(frames_, 0));
}

}  // namespace Vm
