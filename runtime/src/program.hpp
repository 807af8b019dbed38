// A loaded program: the image read and verified once, with the tables the
// interpreter uses (constants as values, class layouts, methods with their
// records, interface dispatch).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bytecode/bytecode.hpp"
#include "heap.hpp"
#include "value.hpp"

namespace Vm {

struct Method {
  const std::uint32_t* code = nullptr;  // `fused`: the image's code with superinstructions
  std::vector<std::uint32_t> fused;
  std::uint32_t size = 0;
  std::uint8_t args = 0;
  std::uint8_t regs = 1;
  std::uint32_t owner = Bytecode::none;
  std::string name;  // "Class.method" for methods, the plain name for free functions
  std::vector<Bytecode::LineRecord> lines;
  std::vector<Bytecode::DropRecord> drops;

  // The source line of the instruction at `pc`; 0 when unknown.
  std::uint32_t line_at(std::uint32_t pc) const;
  // The owned and gc masks in force at `pc`.
  Bytecode::DropRecord masks_at(std::uint32_t pc) const;
};

struct Program {
  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program();

  Bytecode::Image image;                 // owns the code the methods point into
  std::vector<Value> constants;      // Int and Float bits, or an immortal Text
  std::vector<ClassLayout> layouts;  // per class
  std::vector<std::string> class_names;
  std::vector<Method> methods;
  std::uint32_t entry = Bytecode::none;
  std::uint32_t total_slots = 0;

  // The method an interface slot resolves to for an instance of `cls`, or
  // Bytecode::none when the class does not implement that interface.
  std::uint32_t resolve(std::uint32_t cls, std::uint32_t slot) const {
    if (!flat_.empty()) return flat_[std::size_t(cls) * total_slots + slot];
    auto it = sparse_.find(std::uint64_t(cls) << 32 | slot);
    return it == sparse_.end() ? Bytecode::none : it->second;
  }
  void set_slot(std::uint32_t cls, std::uint32_t slot, std::uint32_t method);
  void init_dispatch();
  // An immortal Text owned by the program (image constants).
  Value constant_text(std::string_view bytes);

  // The field index of `name` in class `cls`, or -1.
  int field_index(std::uint32_t cls, std::string_view name) const;
  // The class index named `name`, or -1.
  int class_index(std::string_view name) const;

 private:
  std::vector<std::uint32_t> flat_;  // classes x slots, when that is small
  std::unordered_map<std::uint64_t, std::uint32_t> sparse_;
  std::vector<void*> immortals_;
};

}  // namespace Vm

namespace Vm {

// Reads, checks and prepares an image. On failure `error` holds the message
// (a reader message such as "truncated", or an execution check).
struct Loaded {
  std::unique_ptr<Program> program;
  std::string error;
};
Loaded load(std::string_view image);

}  // namespace Vm
