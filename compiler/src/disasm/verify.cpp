// The execution checks of an image: what a runtime must know before it runs
// code without checking operands again.
#include <algorithm>
#include <map>
#include <utility>

#include "disasm/disasm.hpp"
#include "disasm/reader.hpp"

namespace Disasm {

namespace {

using Bytecode::Op;

constexpr unsigned max_registers = 64;
constexpr int unknown_builtin = -2;
constexpr int variable_arity = -1;
// ICALL names a slot in 16 bits; more slots than this cannot be called.
constexpr std::size_t max_slots = std::size_t(1) << 20;

std::string num(long long v) { return std::to_string(v); }

class Verifier {
 public:
  Verifier(const Bytecode::Image& image, const BuiltinArity& arity) : image_(image), arity_(arity) {}

  void run() {
    for (std::size_t i = 0; i < image_.classes.size(); ++i) check_class(i);
    for (std::size_t i = 0; i < image_.interfaces.size(); ++i) {
      text_constant(image_.interfaces[i].name, "interface " + num(i) + " name");
      slot_base_.push_back(total_slots_);
      total_slots_ += image_.interfaces[i].method_count;
      if (total_slots_ > max_slots) throw Bad{"too many interface slots"};
    }
    check_vtables();
    for (std::size_t i = 0; i < image_.methods.size(); ++i) check_method(i);
    if (image_.entry != Bytecode::none) {
      if (image_.entry >= image_.methods.size()) {
        throw Bad{"entry method " + num(image_.entry) + " does not exist"};
      }
      // `main()` or `main(args: multi Text)`.
      if (image_.methods[image_.entry].args > 1) {
        throw Bad{"the entry method takes more than one argument"};
      }
    }
  }

 private:
  void text_constant(std::uint32_t k, const std::string& what) {
    if (k >= image_.constants.size() || image_.constants[k].tag != Bytecode::ConstTag::TEXT) {
      throw Bad{what + " is not a text constant"};
    }
  }

  static bool kind_ok(std::uint32_t kind) { return kind <= 7; }
  static bool kinds_ok(std::uint32_t kinds) {
    return kinds <= 0xff && kind_ok(kinds & 0xf) && kind_ok(kinds >> 4);
  }

  void check_class(std::size_t i) {
    const Bytecode::ClassEntry& c = image_.classes[i];
    std::string where = "class " + num(i);
    text_constant(c.name, where + " name");
    widest_class_ = std::max(widest_class_, c.fields.size());
    for (std::size_t f = 0; f < c.fields.size(); ++f) {
      const Bytecode::Field& field = c.fields[f];
      std::string at = where + " field " + num(f);
      if (!kind_ok(std::uint32_t(field.kind))) throw Bad{at + ": unknown field kind"};
      if (field.name != Bytecode::none) text_constant(field.name, at + " name");
      if (field.class_meta < Bytecode::meta_nullable_float && field.class_meta >= image_.classes.size()) {
        throw Bad{at + ": class meta names no class"};
      }
      if (!kinds_ok(field.elem_meta & ~Bytecode::elem_meta_nullable)) throw Bad{at + ": bad element meta"};
    }
    for (const Bytecode::TableIndex& index : c.indexes) {
      for (std::uint32_t slot : index.slots) {
        if (slot >= c.fields.size()) throw Bad{where + ": table index names a missing field"};
      }
    }
  }

  void check_vtables() {
    std::map<std::pair<std::uint32_t, std::uint32_t>, bool> seen;
    slot_args_.assign(total_slots_, -1);
    for (std::size_t i = 0; i < image_.vtables.size(); ++i) {
      const Bytecode::Vtable& v = image_.vtables[i];
      std::string where = "vtable " + num(i);
      if (v.class_id >= image_.classes.size()) throw Bad{where + " names no class"};
      if (v.interface_id >= image_.interfaces.size()) throw Bad{where + " names no interface"};
      if (!seen.emplace(std::pair{v.class_id, v.interface_id}, true).second) {
        throw Bad{where + " repeats a class and interface pair"};
      }
      for (std::size_t j = 0; j < v.methods.size(); ++j) {
        std::uint32_t m = v.methods[j];
        if (m >= image_.methods.size()) throw Bad{where + " names a missing method"};
        int args = image_.methods[m].args;
        if (args < 1) throw Bad{where + ": an interface method needs a receiver"};
        int& slot = slot_args_[slot_base_[v.interface_id] + j];
        if (slot >= 0 && slot != args) {
          throw Bad{where + ": methods of one interface slot differ in argument count"};
        }
        slot = args;
      }
    }
  }

  void check_method(std::size_t i) {
    const Bytecode::MethodEntry& m = image_.methods[i];
    text_constant(m.name, "method " + num(i) + " name");
    where_ = "method " + num(i) + " `" + image_.constants[m.name].text + "`";
    if (m.owner != Bytecode::none && m.owner >= image_.classes.size()) {
      throw Bad{where_ + ": owning class does not exist"};
    }
    regs_ = m.regs;
    if (regs_ < 1 || regs_ > max_registers) throw Bad{where_ + ": register count out of range"};
    if (m.args > regs_) throw Bad{where_ + ": more arguments than registers"};
    if (m.code.empty()) throw Bad{where_ + ": no code"};
    std::uint64_t window = regs_ == 64 ? ~0ull : (1ull << regs_) - 1;
    for (const Bytecode::DropRecord& d : m.drops) {
      if (((d.owned | d.gc) & ~window) != 0) {
        throw Bad{where_ + ": drop record names a register outside the window"};
      }
    }
    size_ = m.code.size();
    for (std::size_t pc = 0; pc < size_; ++pc) check_instruction(m.code[pc], pc);
    int last = op_of(m.code.back());
    if (last != int(Op::RET) && last != int(Op::RET0) && last != int(Op::JMP) && last != int(Op::TRAP)) {
      throw Bad{where_ + ": the code can run past its end"};
    }
  }

  void reg(std::size_t pc, unsigned r) {
    if (r >= regs_) {
      throw Bad{where_ + ": pc " + num(pc) + ": register r" + num(r) + " is outside the method's " +
                num(regs_) + " registers"};
    }
  }

  // A window of `n` argument registers starting at r (at least one).
  void window(std::size_t pc, unsigned r, int n) { reg(pc, r + unsigned(std::max(n, 1)) - 1); }

  void target(std::size_t pc, std::uint32_t word) {
    long long t = static_cast<long long>(pc) + 1 + sbx_of(word);
    if (t < 0 || t >= static_cast<long long>(size_)) {
      throw Bad{where_ + ": pc " + num(pc) + ": jump target " + num(t) + " is outside the method"};
    }
  }

  void index(std::size_t pc, std::size_t value, std::size_t limit, const char* what) {
    if (value >= limit) {
      throw Bad{where_ + ": pc " + num(pc) + ": " + what + " " + num(value) + " does not exist"};
    }
  }

  void check_instruction(std::uint32_t w, std::size_t pc) {
    unsigned op = op_of(w), a = a_of(w), b = b_of(w), c = c_of(w), bx = bx_of(w);
    if (Bytecode::op_info(op) == nullptr) {
      throw Bad{where_ + ": pc " + num(pc) + ": invalid opcode " + num(op)};
    }
    switch (Op(op)) {
      case Op::NOP: case Op::RET0: case Op::ENDTRY: case Op::DB_STUB: case Op::TRAP: break;
      case Op::LOADK: reg(pc, a); index(pc, bx, image_.constants.size(), "constant"); break;
      case Op::MOVE: case Op::NEG: case Op::FNEG: reg(pc, a); reg(pc, b); break;
      case Op::RET: case Op::DROP: case Op::BORROW_S: case Op::BORROW_X: case Op::RELEASE_S:
      case Op::RELEASE_X: reg(pc, a); break;
      case Op::JMP: target(pc, w); break;
      case Op::JZ: case Op::TRY: reg(pc, a); target(pc, w); break;
      case Op::CALL:
        index(pc, bx, image_.methods.size(), "method");
        window(pc, a, image_.methods[bx].args);
        break;
      case Op::ICALL:
        index(pc, bx, total_slots_, "interface slot");
        window(pc, a, slot_args_[bx]);
        break;
      case Op::NEW: reg(pc, a); index(pc, bx, image_.classes.size(), "class"); break;
      case Op::GETF: reg(pc, a); reg(pc, b); index(pc, c, widest_class_, "field slot"); break;
      case Op::SETF: reg(pc, a); reg(pc, c); index(pc, b, widest_class_, "field slot"); break;
      case Op::BUILTIN: check_builtin(pc, a, b, c); break;
      default: reg(pc, a); reg(pc, b); reg(pc, c); break;  // the A B C register forms
    }
  }

  void check_builtin(std::size_t pc, unsigned a, unsigned b, unsigned id) {
    reg(pc, a);
    int n = arity_(id);
    if (n == unknown_builtin) {
      throw Bad{where_ + ": pc " + num(pc) + ": builtin " + num(id) + " does not exist"};
    }
    if (id == unsigned(Bytecode::Builtin::MULTI_NEW) || id == unsigned(Bytecode::Builtin::MAP_NEW)) {
      bool ok = id == unsigned(Bytecode::Builtin::MULTI_NEW) ? kind_ok(b) : kinds_ok(b);
      if (!ok) throw Bad{where_ + ": pc " + num(pc) + ": bad container kinds"};
      return;
    }
    if (n == variable_arity) reg(pc, b);
    else window(pc, b, n);
  }

  const Bytecode::Image& image_;
  const BuiltinArity& arity_;
  std::vector<std::uint32_t> slot_base_;
  std::vector<int> slot_args_;  // per global slot; -1 when no vtable fills it
  std::size_t total_slots_ = 0;
  std::size_t widest_class_ = 0;
  std::string where_;
  unsigned regs_ = 0;
  std::size_t size_ = 0;
};

int table_arity(unsigned id) {
  if (const Bytecode::BuiltinInfo* info = Bytecode::builtin_info(id)) return info->arity;
  return id <= 255 ? variable_arity : unknown_builtin;
}

}  // namespace

std::string verify(const Bytecode::Image& image, const BuiltinArity& arity) {
  try {
    Verifier(image, arity).run();
  } catch (const Bad& bad) {
    return bad.message;
  }
  return {};
}

std::string verify(const Bytecode::Image& image) { return verify(image, table_arity); }

}  // namespace Disasm
