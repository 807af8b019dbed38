// Operations on multis and maps shared by the builtins and the library.
#pragma once

#include <cstdint>
#include <string>

#include "heap.hpp"

namespace Vm {

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
