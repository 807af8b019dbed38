#include "disasm/disasm.hpp"
#include "disasm/reader.hpp"

namespace Disasm {

namespace {

using Bytecode::Constant;
using Bytecode::ConstTag;

struct Header {
  std::uint32_t const_offset, const_count;
  std::uint32_t class_offset, class_count;
  std::uint32_t iface_offset, iface_count;
  std::uint32_t method_offset, method_count;
  std::uint32_t entry;
};

Header read_header(Reader& r) {
  if (r.u32() != Bytecode::image_magic) throw Bad{"bad magic"};
  std::uint32_t version = r.u32();
  if (version != Bytecode::image_version) {
    throw Bad{"unsupported version " + std::to_string(version)};
  }
  Header h;
  h.const_offset = r.u32();
  h.const_count = r.u32();
  h.class_offset = r.u32();
  h.class_count = r.u32();
  h.iface_offset = r.u32();
  h.iface_count = r.u32();
  h.method_offset = r.u32();
  h.method_count = r.u32();
  h.entry = r.u32();
  return h;
}

// Fails with "truncated" unless `count` items of `size` bytes remain: the
// same outcome as reading them one by one, checked before memory is taken.
void need(const Reader& r, std::uint64_t count, std::uint64_t size) {
  if (count * size > r.remaining()) throw Bad{"truncated"};
}

std::vector<Constant> read_constants(Reader& r, std::uint32_t count) {
  std::vector<Constant> out;
  for (std::uint32_t i = 0; i < count; ++i) {
    Constant k;
    std::uint8_t tag = r.u8();
    switch (tag) {
      case std::uint8_t(ConstTag::INT):
      case std::uint8_t(ConstTag::FLT):
        k.tag = ConstTag(tag);
        k.value = r.i64();
        break;
      case std::uint8_t(ConstTag::TEXT):
        k.tag = ConstTag::TEXT;
        k.text = r.bytes(r.u32(), "text constant overruns image");
        break;
      default:
        throw Bad{"constant " + std::to_string(i) + ": unknown tag " + std::to_string(tag)};
    }
    out.push_back(std::move(k));
  }
  return out;
}

Bytecode::ClassEntry read_class(Reader& r) {
  Bytecode::ClassEntry c;
  c.name = r.u32();
  c.gc = (r.u32() & 1) != 0;
  std::uint32_t n = r.u32();
  need(r, n, 1);
  c.fields.resize(n);
  for (Bytecode::Field& f : c.fields) f.kind = Bytecode::FieldKind(r.u8());
  for (std::uint32_t pad = (4 - n % 4) % 4; pad > 0; --pad) r.u8();
  for (Bytecode::Field& f : c.fields) f.name = r.u32();
  for (Bytecode::Field& f : c.fields) f.class_meta = r.u32();
  for (Bytecode::Field& f : c.fields) f.elem_meta = r.u32();
  std::uint32_t m = r.u32();
  for (std::uint32_t i = 0; i < m; ++i) {
    Bytecode::TableIndex index;
    index.unique = r.u32() != 0;
    std::uint32_t k = r.u32();
    need(r, k, 4);
    index.slots.resize(k);
    for (std::uint32_t& slot : index.slots) slot = r.u32();
    c.indexes.push_back(std::move(index));
  }
  return c;
}

void read_interfaces(Reader& r, std::uint32_t count, Bytecode::Image& out) {
  for (std::uint32_t i = 0; i < count; ++i) {
    Bytecode::InterfaceEntry entry;
    entry.name = r.u32();
    entry.method_count = r.u32();
    out.interfaces.push_back(entry);
  }
  std::uint32_t vtables = r.u32();
  for (std::uint32_t i = 0; i < vtables; ++i) {
    Bytecode::Vtable v;
    v.class_id = r.u32();
    v.interface_id = r.u32();
    // A vtable naming no interface of this image has no slots.
    std::uint32_t slots =
        v.interface_id < out.interfaces.size() ? out.interfaces[v.interface_id].method_count : 0;
    need(r, slots, 4);
    v.methods.resize(slots);
    for (std::uint32_t& m : v.methods) m = r.u32();
    out.vtables.push_back(std::move(v));
  }
}

Bytecode::MethodEntry read_method(Reader& r) {
  Bytecode::MethodEntry m;
  m.name = r.u32();
  m.owner = r.u32();
  m.args = r.u8();
  m.regs = r.u8();
  m.reserved = r.u16();
  if (m.reserved != 0) throw Bad{"reserved method field is not zero"};
  std::uint32_t length = r.u32();
  if (length % 4 != 0) throw Bad{"code length is not a multiple of 4"};
  need(r, length / 4, 4);
  m.code.resize(length / 4);
  for (std::uint32_t& word : m.code) word = r.u32();
  std::uint32_t lines = r.u32();
  need(r, lines, 8);
  m.lines.resize(lines);
  for (Bytecode::LineRecord& rec : m.lines) {
    rec.pc = r.u32();
    rec.line = r.u32();
  }
  std::uint32_t drops = r.u32();
  need(r, drops, 20);
  m.drops.resize(drops);
  for (Bytecode::DropRecord& rec : m.drops) {
    rec.pc = r.u32();
    rec.owned = static_cast<std::uint64_t>(r.i64());
    rec.gc = static_cast<std::uint64_t>(r.i64());
  }
  return m;
}

Bytecode::Image read_image(std::string_view bytes) {
  Reader r(bytes);
  Header h = read_header(r);
  Bytecode::Image image;
  image.entry = h.entry;
  r.seek(h.const_offset);
  image.constants = read_constants(r, h.const_count);
  r.seek(h.class_offset);
  for (std::uint32_t i = 0; i < h.class_count; ++i) image.classes.push_back(read_class(r));
  r.seek(h.iface_offset);
  read_interfaces(r, h.iface_count, image);
  r.seek(h.method_offset);
  for (std::uint32_t i = 0; i < h.method_count; ++i) image.methods.push_back(read_method(r));
  return image;
}

}  // namespace

Read read(std::string_view image) {
  Read out;
  try {
    out.image = read_image(image);
  } catch (const Bad& bad) {
    out.image = {};
    out.error = bad.message;
  }
  return out;
}

}  // namespace Disasm
