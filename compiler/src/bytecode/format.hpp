// The .vkb image format: the byte buffer, the class, interface, vtable and
// method entries, and the whole image with its header, as the emitter writes
// them and the reader gives them back. Part of bytecode/bytecode.hpp.
//
// Layout: a 44-byte header (magic "VKB1", version, then offset and count of
// the constant, class, interface and method sections, then the entry method),
// followed by the sections in that order; the vtables follow the interfaces.
// Integers are little-endian; texts are a u32 byte count and the raw bytes.
#pragma once

#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

namespace Bytecode {

inline constexpr std::uint32_t image_magic = 0x31424B56;  // "VKB1"
inline constexpr std::uint32_t image_version = 6;
inline constexpr std::uint32_t header_size = 44;
inline constexpr std::uint32_t none = 0xFFFFFFFF;  // an absent index

// A growable little-endian byte buffer (starts at 1024 bytes, doubles).
class Buf {
 public:
  Buf() { bytes_.reserve(1024); }
  void u8(std::uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  void u16(std::uint16_t v) { put_le(v, 2); }
  void u32(std::uint32_t v) { put_le(v, 4); }
  void i64(std::int64_t v) { put_le(static_cast<std::uint64_t>(v), 8); }
  void u32s(std::span<const std::uint32_t> words);
  // A text: u32 byte count, then the bytes.
  void str(std::string_view text);
  // Bytes as they are, with no count.
  void raw(std::string_view bytes) { bytes_.append(bytes); }
  void patch_u32(std::size_t at, std::uint32_t v);
  std::size_t size() const { return bytes_.size(); }
  void reserve(std::size_t n) { bytes_.reserve(n); }
  const std::string& contents() const { return bytes_; }
  std::string take() { return std::move(bytes_); }

 private:
  // Appends the `n` low bytes of `v`, least significant first, in one step.
  void put_le(std::uint64_t v, int n) {
    char le[8];
    for (int i = 0; i < n; ++i) le[i] = static_cast<char>(v >> (8 * i));
    bytes_.append(le, std::size_t(n));
  }
  std::string bytes_;
};

enum class ConstTag : std::uint8_t { INT = 0, TEXT = 1, FLT = 2 };

struct Constant {
  ConstTag tag = ConstTag::INT;
  std::int64_t value = 0;  // INT: the value; FLT: the binary64 bit pattern
  std::string text;        // TEXT only
  bool operator==(const Constant&) const = default;
};

// Field kinds: how the runtime stores, drops and traces a slot.
// VK_FIELD_KIND(value, enumerator, listing name or null for "KIND<value>")
#define VK_FIELD_KINDS(X)  \
  X(0, SCALAR, "SCALAR")   \
  X(1, OWNED, "OWNED")     \
  X(2, GCREF, "GCREF")     \
  X(3, TEXT, "TEXT")       \
  X(4, MULTI, "MULTI")     \
  X(5, MAP, "MAP")         \
  X(6, FLOAT, nullptr)     \
  X(7, BYTES, nullptr)

enum class FieldKind : std::uint8_t {
#define VK_FIELD_KIND_ENUM(value, enumerator, name) enumerator = value,
  VK_FIELD_KINDS(VK_FIELD_KIND_ENUM)
#undef VK_FIELD_KIND_ENUM
};

// Field class meta values other than a class index.
inline constexpr std::uint32_t meta_nullable_float = 0xFFFFFFFA;
inline constexpr std::uint32_t meta_nullable_bool = 0xFFFFFFFB;
inline constexpr std::uint32_t meta_bool = 0xFFFFFFFC;
inline constexpr std::uint32_t meta_nullable_scalar = 0xFFFFFFFD;
inline constexpr std::uint32_t meta_json = 0xFFFFFFFE;

// Element meta of a `multi T` field, and the kinds byte of multi_new.
constexpr std::uint32_t elem_meta_multi(FieldKind element) { return std::uint32_t(element); }
// Element meta of a `map<K, V>` field, and the kinds byte of map_new.
constexpr std::uint32_t elem_meta_map(FieldKind key, FieldKind value) {
  return std::uint32_t(key) | std::uint32_t(value) << 4;
}
// Set in the element meta of a field of any kind but SCALAR and FLOAT whose
// declared type is nullable (`?Text`, `?Foo`, ...): such a field may hold
// nil. The runtime's JSON decode reads it; listings never show it.
inline constexpr std::uint32_t elem_meta_nullable = 0x100;

struct Field {
  FieldKind kind = FieldKind::SCALAR;
  std::uint32_t name = none;        // TEXT constant; none: the slot has no name
  std::uint32_t class_meta = none;  // a class index, a meta_* value, or none
  std::uint32_t elem_meta = 0;
  bool operator==(const Field&) const = default;
};

struct TableIndex {
  bool unique = false;              // from `@unique`; else from `@table(index: ...)`
  std::vector<std::uint32_t> slots; // field slots, in column order
  bool operator==(const TableIndex&) const = default;
};

struct ClassEntry {
  std::uint32_t name = none;  // TEXT constant
  bool gc = false;
  std::vector<Field> fields;  // in slot order
  std::vector<TableIndex> indexes;
  bool operator==(const ClassEntry&) const = default;
};

struct InterfaceEntry {
  std::uint32_t name = none;  // TEXT constant
  std::uint32_t method_count = 0;
  bool operator==(const InterfaceEntry&) const = default;
};

struct Vtable {
  std::uint32_t class_id = 0;
  std::uint32_t interface_id = 0;
  std::vector<std::uint32_t> methods;  // one per method of the interface, in its order
  bool operator==(const Vtable&) const = default;
};

struct LineRecord {
  std::uint32_t pc = 0;
  std::uint32_t line = 0;
  bool operator==(const LineRecord&) const = default;
};

struct DropRecord {
  std::uint32_t pc = 0;
  std::uint64_t owned = 0;  // bit r: register r holds an owned value
  std::uint64_t gc = 0;     // bit r: register r holds a gc reference
  bool operator==(const DropRecord&) const = default;
};

struct MethodEntry {
  std::uint32_t name = none;   // TEXT constant
  std::uint32_t owner = none;  // class index; none for a free function
  std::uint8_t args = 0;
  std::uint8_t regs = 1;
  std::uint16_t reserved = 0;  // always 0 in images the emitter writes
  std::vector<std::uint32_t> code;
  std::vector<LineRecord> lines;
  std::vector<DropRecord> drops;
  bool operator==(const MethodEntry&) const = default;
};

struct Image {
  std::vector<Constant> constants;
  std::vector<ClassEntry> classes;
  std::vector<InterfaceEntry> interfaces;
  std::vector<Vtable> vtables;
  std::vector<MethodEntry> methods;
  std::uint32_t entry = none;  // method index of the entry point
  bool operator==(const Image&) const = default;
};

// Section writers: each appends its entries to `out` exactly as laid out in
// the image. write_interfaces also writes the vtable table that follows them.
void write_constants(Buf& out, const std::vector<Constant>& constants);
void write_class(Buf& out, const ClassEntry& entry);
void write_interfaces(Buf& out, const std::vector<InterfaceEntry>& interfaces,
                      const std::vector<Vtable>& vtables);
void write_method(Buf& out, const MethodEntry& method);

// The whole image: the four sections each in its own buffer, then the header
// with offsets computed from their sizes, then the sections.
std::string write_image(const Image& image);
// The same bytes, freeing the image's parts as they are written (while they
// are still in the cache) instead of all at once afterwards.
std::string write_image(Image&& image);

// A binary64 bit pattern in hexadecimal floating-point form, as listings print
// Float constants: "0x1.8p+1" for 3.0, "-0x0p+0", "infinity", "nan"; a set
// sign bit always gives a leading "-", for NaNs too.
std::string hex_float(std::uint64_t bits);

}  // namespace Bytecode
