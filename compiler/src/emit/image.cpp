#include <algorithm>
#include <bit>
#include <cassert>

#include "emit/emit.hpp"
#include "emit/name_hash.hpp"

namespace Emit {

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

namespace {

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  return h;
}

std::uint64_t key_hash(ConstTag tag, std::int64_t value, std::string_view text) {
  std::uint64_t h = tag == ConstTag::TEXT ? detail::name_hash(text) : std::uint64_t(value);
  return mix(h + std::uint64_t(tag) * 0x9E3779B97F4A7C15ULL);
}

// A key's slot comes from the high half of its hash, which the slot keeps: it
// spares comparing keys on almost every collision and refills a larger table
// without hashing again.
std::size_t home_slot(std::uint32_t high, std::size_t mask) { return std::size_t(high * 0x9E3779B9u) & mask; }

}  // namespace

void ConstPool::reserve(std::size_t n) {
  entries_.reserve(n);
  std::size_t slots = 256;
  while (slots < 2 * n) slots *= 2;
  if (slots > slots_.size()) grow(slots);
}

void ConstPool::grow(std::size_t slots) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slots, Slot{});
  std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (!slot.id_plus_1) continue;
    std::size_t i = home_slot(slot.hash, mask);
    while (slots_[i].id_plus_1) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

std::uint32_t ConstPool::intern(ConstTag tag, std::int64_t value, std::string_view text) {
  if (2 * (used_ + 1) > slots_.size()) grow(std::max<std::size_t>(256, slots_.size() * 2));
  auto hash = (std::uint32_t(key_hash(tag, value, text) >> 32) & ~3u) | std::uint32_t(tag);
  std::size_t mask = slots_.size() - 1;
  std::size_t i = home_slot(hash, mask);
  for (; slots_[i].id_plus_1; i = (i + 1) & mask) {
    if (slots_[i].hash != hash) continue;
    const Constant& k = entries_[slots_[i].id_plus_1 - 1];
    if (tag == ConstTag::TEXT ? k.text == text : k.value == value) return slots_[i].id_plus_1 - 1;
  }
  auto id = static_cast<std::uint32_t>(entries_.size());
  entries_.push_back(Constant{tag, tag == ConstTag::TEXT ? 0 : value, std::string(text)});
  slots_[i] = {hash, id + 1};
  ++used_;
  return id;
}

std::uint32_t ConstPool::const_int(std::int64_t value) {
  if (value < 0 || value >= std::int64_t(std::size(small_ints_))) return intern(ConstTag::INT, value, {});
  std::uint32_t& known = small_ints_[std::size_t(value)];
  if (!known) known = intern(ConstTag::INT, value, {}) + 1;
  return known - 1;
}

std::uint32_t ConstPool::const_float(double value) {
  return const_float_bits(std::bit_cast<std::uint64_t>(value));
}

std::uint32_t ConstPool::const_float_bits(std::uint64_t bits) {
  return intern(ConstTag::FLT, static_cast<std::int64_t>(bits), {});
}

std::uint32_t ConstPool::const_text(std::string_view text) { return intern(ConstTag::TEXT, 0, text); }

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

}  // namespace Emit
