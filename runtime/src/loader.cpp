// Loading: the image is read with the compiler's own reader, checked with its
// execution checks, and turned into the tables the interpreter runs on.
#include <algorithm>
#include <cstdlib>

#include "disasm/disasm.hpp"
#include "machine.hpp"
#include "program.hpp"
#include "superops.hpp"

namespace Vm {

namespace {

// Classes x interface slots above this use a hash table for dispatch.
constexpr std::size_t flat_dispatch_limit = std::size_t(1) << 22;

bool leads_on(Kind k) {
  return k == Kind::OWNED || k == Kind::GCREF || k == Kind::MULTI || k == Kind::MAP;
}

}  // namespace

Program::~Program() {
  for (void* p : immortals_) std::free(p);
}

Value Program::constant_text(std::string_view bytes) {
  auto* s = static_cast<Str*>(std::malloc(offsetof(Str, data) + bytes.size() + 1));
  if (s == nullptr) std::abort();
  immortals_.push_back(s);
  s->h = Obj{ObjType::TEXT, IMMORTAL, 0, 1, 0, 0, nullptr};
  s->len = bytes.size();
  if (!bytes.empty()) std::memcpy(s->data, bytes.data(), bytes.size());
  s->data[bytes.size()] = '\0';
  return from_ptr(s);
}

void Program::init_dispatch() {
  std::size_t cells = layouts.size() * std::size_t(total_slots);
  if (cells <= flat_dispatch_limit) flat_.assign(cells, Bytecode::none);
}

void Program::set_slot(std::uint32_t cls, std::uint32_t slot, std::uint32_t method) {
  if (!flat_.empty()) flat_[std::size_t(cls) * total_slots + slot] = method;
  else if (layouts.size() * std::size_t(total_slots) > flat_dispatch_limit)
    sparse_[std::uint64_t(cls) << 32 | slot] = method;
}

int Program::field_index(std::uint32_t cls, std::string_view name) const {
  if (cls >= image.classes.size()) return -1;
  const auto& fields = image.classes[cls].fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name != Bytecode::none && image.constants[fields[i].name].text == name) return int(i);
  }
  return -1;
}

int Program::class_index(std::string_view name) const {
  for (std::size_t i = 0; i < class_names.size(); ++i) {
    if (class_names[i] == name) return int(i);
  }
  return -1;
}

std::uint32_t Method::line_at(std::uint32_t pc) const {
  auto it = std::upper_bound(lines.begin(), lines.end(), pc,
                             [](std::uint32_t p, const Bytecode::LineRecord& r) { return p < r.pc; });
  return it == lines.begin() ? (lines.empty() ? 0 : lines.front().line) : std::prev(it)->line;
}

Bytecode::DropRecord Method::masks_at(std::uint32_t pc) const {
  auto it = std::upper_bound(drops.begin(), drops.end(), pc,
                             [](std::uint32_t p, const Bytecode::DropRecord& r) { return p < r.pc; });
  if (it == drops.begin()) return Bytecode::DropRecord{pc, 0, 0};
  return *std::prev(it);
}

Loaded load(std::string_view bytes) {
  Loaded out;
  Disasm::Read read = Disasm::read(bytes);
  if (!read.ok()) {
    out.error = read.error;
    return out;
  }
  const BuiltinTable& table = builtins();
  std::string problem =
      Disasm::verify(read.image, [&](unsigned id) { return id < 256 ? table.entries[id].arity : -2; });
  if (!problem.empty()) {
    out.error = problem;
    return out;
  }
  auto prog = std::make_unique<Program>();
  prog->image = std::move(read.image);
  Program& p = *prog;
  const Bytecode::Image& img = p.image;

  p.constants.reserve(img.constants.size());
  for (const Bytecode::Constant& k : img.constants) {
    p.constants.push_back(k.tag == Bytecode::ConstTag::TEXT ? p.constant_text(k.text)
                                                        : static_cast<Value>(k.value));
  }
  for (const Bytecode::ClassEntry& c : img.classes) {
    ClassLayout layout;
    layout.gc = c.gc;
    for (const Bytecode::Field& f : c.fields) {
      Kind k = Kind(f.kind);
      layout.kinds.push_back(k);
      if (leads_on(k)) layout.holds_refs = true;
    }
    p.layouts.push_back(std::move(layout));
    p.class_names.push_back(img.constants[c.name].text);
  }
  p.methods.reserve(img.methods.size());
  for (const Bytecode::MethodEntry& m : img.methods) {
    Method method;
    method.fused = fuse(m.code);
    method.size = static_cast<std::uint32_t>(m.code.size());
    method.args = m.args;
    method.regs = m.regs;
    method.owner = m.owner;
    const std::string& name = img.constants[m.name].text;
    method.name = m.owner == Bytecode::none ? name : p.class_names[m.owner] + "." + name;
    method.lines = m.lines;
    std::stable_sort(method.lines.begin(), method.lines.end(),
                     [](const auto& a, const auto& b) { return a.pc < b.pc; });
    method.drops = m.drops;
    std::stable_sort(method.drops.begin(), method.drops.end(),
                     [](const auto& a, const auto& b) { return a.pc < b.pc; });
    p.methods.push_back(std::move(method));
    p.methods.back().code = p.methods.back().fused.data();
  }
  std::vector<std::uint32_t> first_slot;
  for (const Bytecode::InterfaceEntry& i : img.interfaces) {
    first_slot.push_back(p.total_slots);
    p.total_slots += i.method_count;
  }
  p.init_dispatch();
  for (const Bytecode::Vtable& v : img.vtables) {
    for (std::size_t j = 0; j < v.methods.size(); ++j) {
      p.set_slot(v.class_id, first_slot[v.interface_id] + std::uint32_t(j), v.methods[j]);
    }
  }
  p.entry = img.entry;
  out.program = std::move(prog);
  return out;
}

}  // namespace Vm
