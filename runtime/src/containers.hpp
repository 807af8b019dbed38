// Operations on multis and maps shared by the builtins and the library.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "heap.hpp"

namespace Vm {

// The hashes of map keys and table index keys: a word, and bytes.
inline std::uint64_t hash_word(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

inline std::uint64_t hash_bytes(std::string_view s) {
  std::uint64_t h = 0xcbf29ce484222325ULL ^ s.size();
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ hash_word(w)) * 0x100000001b3ULL;
  }
  std::uint64_t tail = 0;
  if (i < s.size()) std::memcpy(&tail, s.data() + i, s.size() - i);
  return hash_word(h ^ tail);
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
// references are shared, owned instances and containers are copied.
Value clone_value(Heap& heap, Value v, Kind k);

// A short description of a key for messages: `"abc"` or `42`.
std::string describe_key(Value key, Kind k);

}  // namespace Vm
