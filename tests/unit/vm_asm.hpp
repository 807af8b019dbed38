// A small assembler for runtime tests: images built in code, loaded and run
// in process with both output streams captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emit/emit.hpp"
#include "machine.hpp"
#include "program.hpp"

namespace VmTest {

using namespace Emit;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  std::string load_error;  // set when the image was refused
  std::size_t gc_left = 0; // gc instances alive when the run ended
  std::size_t collections = 0;
};

// Builds one method: code with line records, drop records and a name.
class Asm {
 public:
  Asm(ConstPool& pool, std::string_view name, int args, int regs) : pool_(pool) {
    m_.name = pool.const_text(name);
    m_.args = static_cast<std::uint8_t>(args);
    m_.regs = static_cast<std::uint8_t>(regs);
  }
  Asm& line(std::uint32_t l) {
    m_.lines.push_back(LineRecord{static_cast<std::uint32_t>(m_.code.size()), l});
    return *this;
  }
  // Owned / gc masks from the next instruction on.
  Asm& masks(std::uint64_t owned, std::uint64_t gc) {
    m_.drops.push_back(DropRecord{static_cast<std::uint32_t>(m_.code.size()), owned, gc});
    return *this;
  }
  Asm& op(Op o, int a = 0, int b = 0, int c = 0) {
    m_.code.push_back(abc(o, a, b, c));
    return *this;
  }
  Asm& opx(Op o, int a, int bx) {
    m_.code.push_back(abx(o, a, bx));
    return *this;
  }
  Asm& word(std::uint32_t w) {
    m_.code.push_back(w);
    return *this;
  }
  Asm& kint(int r, std::int64_t v) { return opx(Op::LOADK, r, int(pool_.const_int(v))); }
  Asm& kfloat(int r, double v) { return opx(Op::LOADK, r, int(pool_.const_float(v))); }
  Asm& ktext(int r, std::string_view t) { return opx(Op::LOADK, r, int(pool_.const_text(t))); }
  Asm& builtin(int dst, int base, Builtin id) { return op(Op::BUILTIN, dst, base, int(id)); }
  // A jump to a label bound later (or earlier) with `here`.
  Asm& jump(Op o, int a, const std::string& label) {
    fixups_.push_back({m_.code.size(), label});
    m_.code.push_back(asbx(o, a, 0));
    return *this;
  }
  Asm& label(const std::string& name) {
    labels_.push_back({name, m_.code.size()});
    return *this;
  }
  MethodEntry done() {
    for (auto& [at, name] : fixups_) {
      for (auto& [l, pc] : labels_) {
        if (l == name) (void)patch_jump(m_.code, at, pc);
      }
    }
    return m_;
  }
  std::size_t pc() const { return m_.code.size(); }

 private:
  ConstPool& pool_;
  MethodEntry m_;
  std::vector<std::pair<std::size_t, std::string>> fixups_;
  std::vector<std::pair<std::string, std::size_t>> labels_;
};

// A class entry with named fields of the given kinds.
inline ClassEntry make_class(ConstPool& pool, std::string_view name, bool gc,
                             const std::vector<std::pair<std::string, FieldKind>>& fields) {
  ClassEntry c;
  c.name = pool.const_text(name);
  c.gc = gc;
  for (const auto& [n, k] : fields) {
    Field f;
    f.kind = k;
    f.name = pool.const_text(n);
    c.fields.push_back(f);
  }
  return c;
}

// The library record bound by `catch`.
inline ClassEntry error_class(ConstPool& pool) {
  return make_class(pool, "Error", false,
                    {{"code", FieldKind::SCALAR}, {"line", FieldKind::SCALAR},
                     {"method", FieldKind::TEXT}, {"msg", FieldKind::TEXT}});
}

inline Outcome run(Image image, ConstPool& pool, bool stress = false) {
  image.constants = pool.entries();
  Outcome o;
  Vm::Loaded loaded = Vm::load(write_image(image));
  if (!loaded.program) {
    o.load_error = loaded.error;
    return o;
  }
  Vm::Machine machine(*loaded.program);
  machine.heap.set_stress(stress);
  machine.out.capture(&o.out, &o.err);
  o.status = machine.run();
  machine.out.flush();
  o.gc_left = machine.heap.live_gc_objects();
  o.collections = machine.heap.collections();
  return o;
}

// The load error of an image, empty when it loads.
inline std::string load_error(Image image, ConstPool& pool) {
  image.constants = pool.entries();
  return Vm::load(write_image(image)).error;
}

}  // namespace VmTest
