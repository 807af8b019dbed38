// A program built in code for the library tests: classes with named,
// typed fields and table indexes, methods of raw instructions, and a
// machine that runs it with both output streams captured. Library builtins
// are called directly, the way the interpreter calls them.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "builtins.hpp"
#include "emit/image.hpp"
#include "emit/instr.hpp"
#include "machine.hpp"
#include "program.hpp"

namespace VmLibTest {

using Emit::FieldKind;
using Vm::Value;

struct FieldSpec {
  std::string name;
  FieldKind kind = FieldKind::SCALAR;
  std::uint32_t meta = Emit::none;
  std::uint32_t elem = 0;
};

class Prog {
 public:
  std::uint32_t add_class(std::string_view name, std::vector<FieldSpec> fields,
                          std::vector<Emit::TableIndex> indexes = {}, bool gc = false) {
    Emit::ClassEntry c;
    c.name = pool.const_text(name);
    c.gc = gc;
    for (const FieldSpec& f : fields) {
      Emit::Field e;
      e.kind = f.kind;
      e.name = pool.const_text(f.name);
      e.class_meta = f.meta;
      e.elem_meta = f.elem;
      c.fields.push_back(e);
    }
    c.indexes = std::move(indexes);
    image.classes.push_back(std::move(c));
    return static_cast<std::uint32_t>(image.classes.size() - 1);
  }

  std::uint32_t add_method(std::string_view name, std::uint32_t owner, int args, int regs,
                           std::vector<std::uint32_t> code) {
    Emit::MethodEntry m;
    m.name = pool.const_text(name);
    m.owner = owner;
    m.args = static_cast<std::uint8_t>(args);
    m.regs = static_cast<std::uint8_t>(regs);
    m.code = std::move(code);
    m.lines.push_back(Emit::LineRecord{0, 1});
    image.methods.push_back(std::move(m));
    return static_cast<std::uint32_t>(image.methods.size() - 1);
  }

  // Loads the image and makes the machine; the program needs an entry, so
  // one that returns 0 is added when none was set.
  Vm::Machine& start() {
    if (image.entry == Emit::none) {
      image.entry = add_method("main", Emit::none, 0, 1, {Emit::abc(Emit::Op::RET0, 0, 0, 0)});
    }
    image.constants = pool.entries();
    Vm::Loaded loaded = Vm::load(Emit::write_image(image));
    EXPECT_EQ(loaded.error, "");
    program = std::move(loaded.program);
    vm = std::make_unique<Vm::Machine>(*program);
    vm->out.capture(&out, &err);
    return *vm;
  }

  // Calls builtin `id` with the arguments in a register block of its own.
  Value call(unsigned id, std::initializer_list<Value> args) {
    std::vector<Value> regs(args);
    regs.resize(regs.size() + 4, 0);
    const Vm::BuiltinEntry& e = Vm::builtins().entries[id];
    return e.fn(*vm, Vm::Call{regs.data(), 0, regs.data() + args.size()});
  }

  // The error code a builtin call raises, 0 when it raises none.
  std::int64_t error_of(unsigned id, std::initializer_list<Value> args, std::string* msg = nullptr) {
    try {
      Value v = call(id, args);
      (void)v;
    } catch (const Vm::VmError& e) {
      if (msg != nullptr) *msg = e.msg;
      return e.code;
    }
    return 0;
  }

  Value text(std::string_view s) { return Vm::from_ptr(vm->heap.text(s)); }
  static std::string str(Value v) { return v == 0 ? "<nil>" : std::string(Vm::str_view(v)); }

  Emit::ConstPool pool;
  Emit::Image image;
  std::unique_ptr<Vm::Program> program;
  std::unique_ptr<Vm::Machine> vm;
  std::string out, err;
};

inline Value I(std::int64_t v) { return Vm::from_int(v); }

}  // namespace VmLibTest
