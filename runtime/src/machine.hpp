// The machine that runs a loaded program: the register stack, call frames,
// protected regions, the heap and the buffered output. One Machine runs one
// program (an actor runtime may own several).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "heap.hpp"
#include "output.hpp"
#include "program.hpp"
#include "value.hpp"

namespace Vm {

struct Frame {
  const Method* method;
  std::uint32_t pc;  // the instruction being executed (saved before calls and errors)
  Value* base;       // r0 of the method
};

// An active `try`: where to continue, and what to give back when an error
// reaches it.
struct TryRegion {
  std::size_t frame;          // index of the frame that entered it
  std::uint32_t handler;      // pc of the handler
  std::uint8_t reg;           // the register that receives the error
  std::size_t borrow_mark;    // borrow log size when entered
  std::uint64_t owned_at_try; // owned registers of that frame when entered
};

struct Borrow {
  Obj* obj;
  bool exclusive;
};

class Machine;
struct LibraryState;  // lib/state.hpp: tables, actors and sockets of one machine

// What a builtin receives: its argument block (`args[0]`, `args[1]`, ...,
// registers of the caller), the raw B operand (the kinds byte of multi_new
// and map_new), and the end of the caller's register window, for builtins
// whose argument count depends on their arguments.
struct Call {
  Value* args;
  unsigned b;
  Value* window_end;
};

// A builtin returns its result (0 when it has none) and raises errors with
// Vm::raise. It must not keep `args` beyond the call.
using BuiltinFn = Value (*)(Machine& vm, const Call& call);

struct BuiltinEntry {
  BuiltinFn fn = nullptr;
  int arity = -2;  // -2: no such builtin; -1: checked by the builtin itself
  const char* name = "";
};

class Machine {
 public:
  static constexpr std::size_t stack_slots = std::size_t(1) << 20;  // registers
  static constexpr std::size_t max_frames = 200000;

  explicit Machine(Program& program);
  ~Machine();

  // Runs the entry method; the result is the process exit status. An
  // uncaught error prints its message and trace on standard error and
  // gives 1. An entry that takes a `multi Text` gets `args`.
  int run(const std::vector<std::string>& args = {});

  Program& program;
  Heap heap;
  Output out;

  // ---- for builtins ----
  // The method and line executing now (for error records and messages).
  const Frame& current() const { return frames_.back(); }
  std::uint32_t current_line() const;
  // The `Error` record fill of a catch: the last error caught.
  ErrorObj* caught() const { return caught_; }
  // Call frames, for the interpreter's calls.
  const Value* stack_end() const { return stack_ + stack_slots; }
  std::size_t frame_count() const { return frames_.size(); }
  // The active calls, outermost first (the library's row reclamation reads
  // their registers through the drop records).
  const std::vector<Frame>& frames() const { return frames_; }
  void push_frame(const Frame& f) { frames_.push_back(f); }
  // The first register of the stack (the registers in use end at the
  // current window's end).
  const Value* stack_base() const { return stack_; }

  // Runs `method` with `args` in a window above the active calls (the
  // library runs an actor's `receive` this way) and returns its result. An
  // error no `try` inside the call catches leaves it: its frames give back
  // what they own, `trace` (when given) receives its "  at ..." lines, and
  // the error is thrown on.
  Value invoke(std::uint32_t method, const Value* args, std::size_t n, std::string* trace = nullptr);

  // The library's state of this machine, made on first use.
  LibraryState* library = nullptr;

 private:
  friend struct Interp;
  Value* stack_ = nullptr;
  std::vector<Frame> frames_;
  std::vector<TryRegion> tries_;
  std::vector<Borrow> borrows_;
  ErrorObj* caught_ = nullptr;

  void collect(Value* top);
  // Unwinds to the innermost try; false when there is none (the error is
  // then reported and the run ends).
  bool unwind(const VmError& error);
  void forget_caught();
  void report_uncaught(const VmError& error);
  void release_frame(const Frame& f, std::uint64_t keep);
  void release_all();
};

// The table of builtins, indexed by id. Filled once by the core registration
// functions and the library's.
struct BuiltinTable {
  BuiltinEntry entries[256];
  void add(unsigned id, BuiltinFn fn, int arity, const char* name) {
    entries[id] = BuiltinEntry{fn, arity, name};
  }
};
const BuiltinTable& builtins();

}  // namespace Vm
