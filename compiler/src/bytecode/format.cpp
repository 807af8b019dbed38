#include <algorithm>
#include <bit>
#include <cassert>

#include "bytecode/bytecode.hpp"

namespace Bytecode {

void Buf::u32s(std::span<const std::uint32_t> words) {
  if constexpr (std::endian::native == std::endian::little) {
    bytes_.append(reinterpret_cast<const char*>(words.data()), words.size() * 4);
  } else {
    for (std::uint32_t w : words) u32(w);
  }
}

void Buf::str(std::string_view text) {
  assert(text.size() <= 0xFFFFFFFFu);
  u32(static_cast<std::uint32_t>(text.size()));
  raw(text);
}

void Buf::patch_u32(std::size_t at, std::uint32_t v) {
  assert(at + 4 <= bytes_.size());
  for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<char>(v >> (8 * i));
}

void write_constants(Buf& out, const std::vector<Constant>& constants) {
  for (const Constant& k : constants) {
    out.u8(static_cast<std::uint8_t>(k.tag));
    if (k.tag == ConstTag::TEXT) out.str(k.text);
    else out.i64(k.value);
  }
}

void write_class(Buf& out, const ClassEntry& entry) {
  auto n = static_cast<std::uint32_t>(entry.fields.size());
  out.u32(entry.name);
  out.u32(entry.gc ? 1 : 0);
  out.u32(n);
  for (const Field& f : entry.fields) out.u8(static_cast<std::uint8_t>(f.kind));
  for (std::uint32_t pad = (4 - n % 4) % 4; pad > 0; --pad) out.u8(0);
  for (const Field& f : entry.fields) out.u32(f.name);
  for (const Field& f : entry.fields) out.u32(f.class_meta);
  for (const Field& f : entry.fields) out.u32(f.elem_meta);
  out.u32(static_cast<std::uint32_t>(entry.indexes.size()));
  for (const TableIndex& index : entry.indexes) {
    out.u32(index.unique ? 1 : 0);
    out.u32(static_cast<std::uint32_t>(index.slots.size()));
    for (std::uint32_t slot : index.slots) out.u32(slot);
  }
}

void write_interfaces(Buf& out, const std::vector<InterfaceEntry>& interfaces,
                      const std::vector<Vtable>& vtables) {
  for (const InterfaceEntry& i : interfaces) {
    out.u32(i.name);
    out.u32(i.method_count);
  }
  out.u32(static_cast<std::uint32_t>(vtables.size()));
  for (const Vtable& v : vtables) {
    // The reader takes the method count from the interface entry.
    assert(v.interface_id >= interfaces.size() ||
           v.methods.size() == interfaces[v.interface_id].method_count);
    out.u32(v.class_id);
    out.u32(v.interface_id);
    for (std::uint32_t m : v.methods) out.u32(m);
  }
}

void write_method(Buf& out, const MethodEntry& method) {
  out.u32(method.name);
  out.u32(method.owner);
  out.u8(method.args);
  out.u8(method.regs);
  out.u16(method.reserved);
  out.u32(static_cast<std::uint32_t>(method.code.size() * 4));
  out.u32s(method.code);
  out.u32(static_cast<std::uint32_t>(method.lines.size()));
  if constexpr (std::endian::native == std::endian::little && sizeof(LineRecord) == 8) {
    // A line record is laid out in memory as in the image: (pc, line), little-endian.
    out.raw({reinterpret_cast<const char*>(method.lines.data()), method.lines.size() * 8});
  } else {
    for (const LineRecord& r : method.lines) {
      out.u32(r.pc);
      out.u32(r.line);
    }
  }
  out.u32(static_cast<std::uint32_t>(method.drops.size()));
  for (const DropRecord& r : method.drops) {
    out.u32(r.pc);
    out.i64(static_cast<std::int64_t>(r.owned));
    out.i64(static_cast<std::int64_t>(r.gc));
  }
}

namespace {

// `release`: each part of the image is freed once written (`ImageT` is then
// not const).
template <bool release, class ImageT>
std::string serialise(ImageT& image) {
  // One buffer, sized ahead for the large sections (constants, vtables,
  // methods): the header's offsets are patched once the sections behind it
  // are written.
  std::size_t bytes = header_size;
  for (const Constant& k : image.constants) bytes += 1 + (k.tag == ConstTag::TEXT ? 4 + k.text.size() : 8);
  for (const MethodEntry& m : image.methods) bytes += 24 + 4 * m.code.size() + 8 * m.lines.size() + 20 * m.drops.size();
  for (const Vtable& v : image.vtables) bytes += 8 + 4 * v.methods.size();
  Buf out;
  out.reserve(bytes + 64 * image.classes.size() + 16 * image.interfaces.size());
  out.u32(image_magic);
  out.u32(image_version);
  for (int i = 0; i < 8; ++i) out.u32(0);  // four (offset, count) pairs, patched below
  out.u32(image.entry);
  assert(out.size() == header_size);
  std::size_t pair = 8;
  auto section = [&](std::size_t count) {
    out.patch_u32(pair, static_cast<std::uint32_t>(out.size()));
    out.patch_u32(pair + 4, static_cast<std::uint32_t>(count));
    pair += 8;
  };
  section(image.constants.size());
  write_constants(out, image.constants);
  if constexpr (release) std::vector<Constant>().swap(image.constants);
  section(image.classes.size());
  for (const ClassEntry& c : image.classes) write_class(out, c);
  section(image.interfaces.size());
  write_interfaces(out, image.interfaces, image.vtables);
  if constexpr (release) std::vector<Vtable>().swap(image.vtables);
  section(image.methods.size());
  for (auto& m : image.methods) {
    write_method(out, m);
    if constexpr (release) m = MethodEntry{};
  }
  return out.take();
}

}  // namespace

std::string write_image(const Image& image) { return serialise<false>(image); }

std::string write_image(Image&& image) { return serialise<true>(image); }

std::string hex_float(std::uint64_t bits) {
  std::string out = (bits >> 63) ? "-" : "";
  int biased = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0x7ff) return out + (fraction == 0 ? "infinity" : "nan");
  out += biased == 0 ? "0x0" : "0x1";
  if (fraction != 0) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (int shift = 48; shift >= 0; shift -= 4) hex += digits[(fraction >> shift) & 0xf];
    hex.erase(hex.find_last_not_of('0') + 1);
    out += '.';
    out += hex;
  }
  int exponent = biased == 0 ? (fraction == 0 ? 0 : -1022) : biased - 1023;
  out += 'p';
  out += exponent >= 0 ? '+' : '-';
  out += std::to_string(exponent >= 0 ? exponent : -exponent);
  return out;
}

}  // namespace Bytecode
