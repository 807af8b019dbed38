// Values and heap objects of the runtime.
//
// A register, a field and a container element all hold one untyped 64-bit
// word (`Value`). The compiler knows what each holds; the runtime only learns
// it from the instruction (ADD reads Ints, FADD Floats) or from the kinds the
// image records (field kinds, container kinds bytes):
//
//   Int        the two's complement bits
//   Float      the IEEE-754 binary64 bits
//   Bool       0 or 1
//   reference  the address of a heap object (Text, Bytes, an instance, a
//              multi, a map, a caught error); 0 is nil
//   ?Int etc.  the Int nil_int stands for nil; ?Float uses nil_float_bits
//
// Every heap object starts with the same header (`Obj`).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace Vm {

using Value = std::uint64_t;

inline constexpr std::int64_t nil_int = -4611686018427387904LL;
inline constexpr Value nil_float_bits = 0x7FF8000000000EE1ULL;

inline std::int64_t as_int(Value v) { return static_cast<std::int64_t>(v); }
inline Value from_int(std::int64_t i) { return static_cast<Value>(i); }
inline double as_float(Value v) { return std::bit_cast<double>(v); }
inline Value from_float(double d) { return std::bit_cast<Value>(d); }
inline Value from_bool(bool b) { return b ? 1 : 0; }

// Storage kinds of fields and container elements, as the image numbers them.
enum class Kind : std::uint8_t {
  SCALAR = 0,  // Int, Bool, union tags, nullable scalars: nothing to release
  OWNED = 1,   // an instance of a non-gc class, owned by the holder
  GCREF = 2,   // a reference to a gc instance: the collector decides
  TEXT = 3,    // a Text (and json.Value): reference counted
  MULTI = 4,   // an owned multi
  MAP = 5,     // an owned map
  FLOAT = 6,   // Float bits
  BYTES = 7,   // Bytes: reference counted
};

inline bool is_counted(Kind k) { return k == Kind::TEXT || k == Kind::BYTES; }
// Kinds whose values the holder releases when it is dropped.
inline bool is_released(Kind k) {
  return k == Kind::OWNED || k == Kind::TEXT || k == Kind::MULTI || k == Kind::MAP ||
         k == Kind::BYTES;
}

enum class ObjType : std::uint8_t { INSTANCE, TEXT, BYTES, MULTI, MAP, ERROR };

enum ObjFlag : std::uint8_t {
  GC = 1,        // an instance of a gc class: only the collector frees it
  MARKED = 2,    // reached during the current collection
  IMMORTAL = 4,  // a constant of the image: never freed, never counted
};

// The header of every heap object (24 bytes).
struct Obj {
  ObjType type;
  std::uint8_t flags;
  std::uint16_t kinds;   // MULTI: element kind; MAP: key kind | value kind << 4
  std::uint32_t refs;    // TEXT, BYTES: reference count; 1 for every other object
  std::int32_t borrows;  // runtime borrow guards: > 0 shared borrows, -1 exclusive
  std::uint32_t cls;     // INSTANCE: class index
  Obj* gc_next;          // GC instances: the collector's list of all of them
};

// An instance of a class (records, classes, union variants, library
// records): the fields follow the header, as many as the class entry has.
struct Instance {
  Obj h;
  std::uint32_t nfields;
  std::uint32_t pad;
  Value fields[1];  // nfields of them
};

// Text and Bytes: immutable byte strings, shared by reference counting.
// `data` holds `len` bytes and a terminating NUL (not part of the value).
struct Str {
  Obj h;
  std::uint64_t len;
  char data[1];
  std::string_view view() const { return {data, static_cast<std::size_t>(len)}; }
};

// A growable sequence of elements of one kind (Obj::kinds).
struct Multi {
  Obj h;
  std::uint32_t count;
  std::uint32_t cap;
  Value* items;
  Kind elem() const { return Kind(h.kinds & 0xf); }
};

// A hash map. Entries are kept densely in `entries` (so key_at/val_at are
// indexes 0 ... count-1); `slots` is an open-addressing table of entry
// indexes + 1 (0 = empty, tombstones are never needed: removal moves the last
// entry into the hole and rehashes in place).
struct MapEntry {
  Value key;
  Value val;
  std::uint64_t hash;
};
struct Map {
  Obj h;
  std::uint32_t count;
  std::uint32_t cap;    // entries capacity
  std::uint32_t nslots; // a power of two, > 2 * cap or 0
  std::uint32_t pad;
  MapEntry* entries;
  std::uint32_t* slots;
  Kind key() const { return Kind(h.kinds & 0xf); }
  Kind val() const { return Kind(h.kinds >> 4 & 0xf); }
};

// A caught runtime error between `TRY` and the builtin that fills the
// program's `Error` record.
struct ErrorObj {
  Obj h;
  std::int64_t code;
  std::int64_t line;
  Str* method;
  Str* msg;
};

template <class T>
inline T* as_ptr(Value v) {
  return reinterpret_cast<T*>(static_cast<std::uintptr_t>(v));
}
inline Value from_ptr(const void* p) { return static_cast<Value>(reinterpret_cast<std::uintptr_t>(p)); }
inline Obj* as_obj(Value v) { return as_ptr<Obj>(v); }
inline Str* as_str(Value v) { return as_ptr<Str>(v); }
inline std::string_view str_view(Value v) { return as_str(v)->view(); }

}  // namespace Vm
