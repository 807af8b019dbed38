// Operations on multis and maps shared by the builtins and the library.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "heap.hpp"

namespace Vm {

// Drawn once per run, so keys chosen to collide in one run's maps and table
// indexes spread out in the next. No order a program sees depends on it:
// maps keep insertion order.
extern const std::uint64_t hash_seed;

// A bijective mix of all 64 bits into all 64 bits.
inline std::uint64_t mix_bits(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

// The hashes of map keys and table index keys: a word, and bytes.
inline std::uint64_t hash_word(std::uint64_t x, std::uint64_t seed = hash_seed) { return mix_bits(x ^ seed); }

inline std::uint64_t hash_bytes(std::string_view s, std::uint64_t seed = hash_seed) {
  std::uint64_t h = seed ^ 0xcbf29ce484222325ULL ^ s.size();
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ mix_bits(w)) * 0x100000001b3ULL;
  }
  std::uint64_t tail = 0;
  if (i < s.size()) std::memcpy(&tail, s.data() + i, s.size() - i);
  return mix_bits(h ^ tail);
}

// Map entries by key: hashing and equality follow the key kind (Text and
// Bytes by their bytes, everything else by the word).
std::int64_t map_find(const Map* m, Value key);
// Stores `val` under `key`. A new Text/Bytes key or value gains a reference
// (the caller keeps its own); an owned value is taken. Replacing an entry
// releases the old value and keeps the old key.
void map_set(Heap& heap, Map* m, Value key, Value val);
// Removes an entry, releasing its key and value; false when absent.
bool map_remove(Heap& heap, Map* m, Value key);

// A deep copy of a value of kind `k`: Texts and Bytes gain a reference, gc
// references are shared, owned instances and containers are copied. The
// walk keeps its own stack, so a value nested to any depth is copied
// without deep recursion.
Value clone_value(Heap& heap, Value v, Kind k);

// The slots of an instance, multi or map in the order the walks that copy
// and pack values visit them: an instance's fields, a multi's elements, a
// map's key and value of each entry in turn. Text, Bytes and errors have
// none.
std::uint32_t slot_count(const Obj* o);
// Slot `i` of `o` (below slot_count) and the kind of value it holds.
Value* slot_at(const Heap& heap, Obj* o, std::uint32_t i, Kind& kind);
// True when a value of kind `k` in a slot is an object its holder owns and
// a copy must copy (an instance of a non-gc class, a multi, a map).
bool owns_object(Value v, Kind k);

// A short description of a key for messages: `"abc"` or `42`.
std::string describe_key(Value key, Kind k);

}  // namespace Vm
