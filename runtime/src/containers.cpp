#include "containers.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "builtins.hpp"

namespace Vm {

namespace {

std::uint64_t draw_seed() {
  std::uint64_t seed = 0;
  if (::getentropy(&seed, sizeof seed) != 0) {
    // No entropy source: the clock and where this code was loaded still
    // differ from run to run.
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    seed = static_cast<std::uint64_t>(ts.tv_nsec) * 0x9e3779b97f4a7c15ULL ^
           static_cast<std::uint64_t>(ts.tv_sec) ^ reinterpret_cast<std::uintptr_t>(&draw_seed);
  }
  return seed;
}

}  // namespace

const std::uint64_t hash_seed = draw_seed();

namespace {

std::uint64_t hash_key(Value key, Kind k) {
  if (is_counted(k)) return key == 0 ? 0x9e3779b97f4a7c15ULL : hash_bytes(str_view(key));
  return hash_word(key);
}

bool key_equal(Value a, Value b, Kind k) {
  if (a == b) return true;
  if (!is_counted(k) || a == 0 || b == 0) return false;
  return str_view(a) == str_view(b);
}

// The slot holding entry `e`, or the empty slot where key would go.
std::uint32_t probe(const Map* m, Value key, std::uint64_t hash, bool& found) {
  std::uint32_t mask = m->nslots - 1;
  std::uint32_t s = static_cast<std::uint32_t>(hash) & mask;
  for (;;) {
    std::uint32_t e = m->slots[s];
    if (e == 0) {
      found = false;
      return s;
    }
    const MapEntry& entry = m->entries[e - 1];
    if (entry.hash == hash && key_equal(entry.key, key, m->key())) {
      found = true;
      return s;
    }
    s = (s + 1) & mask;
  }
}

void rehash(Map* m, std::uint32_t nslots) {
  auto* slots = static_cast<std::uint32_t*>(std::calloc(nslots, sizeof(std::uint32_t)));
  if (slots == nullptr) raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  std::free(m->slots);
  m->slots = slots;
  m->nslots = nslots;
  std::uint32_t mask = nslots - 1;
  for (std::uint32_t i = 0; i < m->count; ++i) {
    std::uint32_t s = static_cast<std::uint32_t>(m->entries[i].hash) & mask;
    while (slots[s] != 0) s = (s + 1) & mask;
    slots[s] = i + 1;
  }
}

void grow(Heap& heap, Map* m) {
  if (m->cap >= 0x40000000u) raise(ErrorCode::OUT_OF_MEMORY, "out of memory: a map is too large");
  std::uint32_t cap = m->cap < 4 ? 4 : m->cap * 2;
  void* p = std::realloc(m->entries, std::size_t(cap) * sizeof(MapEntry));
  if (p == nullptr) raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  m->entries = static_cast<MapEntry*>(p);
  // The collector's pace counts the storage as it grows.
  std::size_t before = Heap::map_storage(m);
  m->cap = cap;
  try {
    rehash(m, cap * 2);
  } catch (...) {
    heap.note_storage(Heap::map_storage(m), before);
    throw;
  }
  heap.note_storage(Heap::map_storage(m), before);
}

void retain_if_counted(Value v, Kind k) {
  if (is_counted(k)) Heap::retain(v);
}

}  // namespace

std::int64_t map_find(const Map* m, Value key) {
  if (m->count == 0) return -1;
  bool found = false;
  std::uint32_t s = probe(m, key, hash_key(key, m->key()), found);
  return found ? std::int64_t(m->slots[s]) - 1 : -1;
}

void map_set(Heap& heap, Map* m, Value key, Value val) {
  std::uint64_t hash = hash_key(key, m->key());
  bool found = false;
  if (m->count > 0) {
    std::uint32_t s = probe(m, key, hash, found);
    if (found) {
      MapEntry& e = m->entries[m->slots[s] - 1];
      Value old = e.val;
      retain_if_counted(val, m->val());
      e.val = val;
      if (old != val) heap.release(old, m->val());
      else if (is_counted(m->val())) heap.release_str(old);  // the same text twice: one reference
      return;
    }
  }
  if (m->count == m->cap) grow(heap, m);
  retain_if_counted(key, m->key());
  retain_if_counted(val, m->val());
  m->entries[m->count] = MapEntry{key, val, hash};
  ++m->count;
  std::uint32_t s = probe(m, key, hash, found);
  m->slots[s] = m->count;
}

bool map_remove(Heap& heap, Map* m, Value key) {
  if (m->count == 0) return false;
  bool found = false;
  std::uint32_t s = probe(m, key, hash_key(key, m->key()), found);
  if (!found) return false;
  std::uint32_t e = m->slots[s] - 1;
  MapEntry gone = m->entries[e];
  // Backward-shift deletion keeps every probe chain unbroken.
  std::uint32_t mask = m->nslots - 1;
  std::uint32_t hole = s;
  for (std::uint32_t next = (hole + 1) & mask; m->slots[next] != 0; next = (next + 1) & mask) {
    std::uint32_t home = static_cast<std::uint32_t>(m->entries[m->slots[next] - 1].hash) & mask;
    bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
    if (movable) {
      m->slots[hole] = m->slots[next];
      hole = next;
    }
  }
  m->slots[hole] = 0;
  // The last entry fills the hole in the dense array.
  std::uint32_t last = m->count - 1;
  if (e != last) {
    m->entries[e] = m->entries[last];
    for (std::uint32_t i = static_cast<std::uint32_t>(m->entries[e].hash) & mask;; i = (i + 1) & mask) {
      if (m->slots[i] == last + 1) {
        m->slots[i] = e + 1;
        break;
      }
    }
  }
  --m->count;
  heap.release(gone.key, m->key());
  heap.release(gone.val, m->val());
  return true;
}

std::uint32_t slot_count(const Obj* o) {
  switch (o->type) {
    case ObjType::INSTANCE: return reinterpret_cast<const Instance*>(o)->nfields;
    case ObjType::MULTI: return reinterpret_cast<const Multi*>(o)->count;
    case ObjType::MAP: return 2 * reinterpret_cast<const Map*>(o)->count;
    default: return 0;
  }
}

Value* slot_at(const Heap& heap, Obj* o, std::uint32_t i, Kind& kind) {
  switch (o->type) {
    case ObjType::INSTANCE:
      kind = heap.layout(o->cls).kinds[i];
      return &reinterpret_cast<Instance*>(o)->fields[i];
    case ObjType::MULTI: {
      auto* m = reinterpret_cast<Multi*>(o);
      kind = m->elem();
      return &m->items[i];
    }
    default: {
      auto* m = reinterpret_cast<Map*>(o);
      MapEntry& e = m->entries[i / 2];
      kind = i % 2 == 0 ? m->key() : m->val();
      return i % 2 == 0 ? &e.key : &e.val;
    }
  }
}

bool owns_object(Value v, Kind k) {
  if (v == 0 || (k != Kind::OWNED && k != Kind::MULTI && k != Kind::MAP)) return false;
  const Obj* o = as_obj(v);
  return !(o->flags & GC) &&
         (o->type == ObjType::INSTANCE || o->type == ObjType::MULTI || o->type == ObjType::MAP);
}

namespace {

// What a copy holds for `v` when `v` is not an object to copy: the same
// word, with a new reference for a Text or Bytes.
Value share(Value v, Kind k) {
  if (v == 0) return 0;
  if (is_counted(k) || k == Kind::OWNED || k == Kind::MULTI || k == Kind::MAP) {
    const Obj* o = as_obj(v);
    if (is_counted(k) || !(o->flags & GC)) Heap::retain(v);
  }
  return v;
}

// Stores into `into` a fresh object shaped like `src` whose slots are
// empty: nil fields and elements, a map's keys (they are never objects to
// copy) with nil values. Stored first and filled after, so a failure leaves
// a droppable value behind.
Obj* empty_copy(Heap& heap, const Obj* src, Value& into) {
  switch (src->type) {
    case ObjType::INSTANCE: {
      Instance* dst = heap.instance(src->cls);
      into = from_ptr(dst);
      return &dst->h;
    }
    case ObjType::MULTI: {
      const auto* s = reinterpret_cast<const Multi*>(src);
      Multi* dst = heap.multi(s->elem());
      into = from_ptr(dst);
      heap.multi_reserve(dst, s->count);
      if (s->count > 0) std::memset(dst->items, 0, std::size_t(s->count) * sizeof(Value));
      dst->count = s->count;
      return &dst->h;
    }
    default: {
      const auto* s = reinterpret_cast<const Map*>(src);
      Map* dst = heap.map(static_cast<std::uint8_t>(s->h.kinds));
      into = from_ptr(dst);
      for (std::uint32_t i = 0; i < s->count; ++i) map_set(heap, dst, s->entries[i].key, 0);
      return &dst->h;
    }
  }
}

}  // namespace

Value clone_value(Heap& heap, Value v, Kind k) {
  if (!owns_object(v, k)) return share(v, k);
  struct Step {
    Obj* src;
    Obj* dst;
    std::uint32_t next;  // the next slot to fill
  };
  Value result = 0;
  std::vector<Step> stack;
  try {
    stack.push_back(Step{as_obj(v), empty_copy(heap, as_obj(v), result), 0});
    while (!stack.empty()) {
      Step& s = stack.back();
      if (s.next == slot_count(s.src)) {
        stack.pop_back();
        continue;
      }
      std::uint32_t i = s.next++;
      if (s.src->type == ObjType::MAP && i % 2 == 0) continue;  // the keys came with the empty copy
      Kind kind;
      Value from = *slot_at(heap, s.src, i, kind);
      Value& to = *slot_at(heap, s.dst, i, kind);
      if (owns_object(from, kind)) {
        Obj* src = as_obj(from);
        Obj* dst = empty_copy(heap, src, to);  // `s` may move from here on
        stack.push_back(Step{src, dst, 0});
      } else {
        to = share(from, kind);
      }
    }
  } catch (...) {
    heap.drop(result);
    throw;
  }
  return result;
}

std::string describe_key(Value key, Kind k) {
  if (is_counted(k)) {
    if (key == 0) return "nil";
    std::string_view s = str_view(key);
    if (s.size() > 40) return "\"" + std::string(s.substr(0, 40)) + "...\"";
    return "\"" + std::string(s) + "\"";
  }
  if (k == Kind::FLOAT) return float_text(as_float(key));
  if (k == Kind::SCALAR) return int_text(as_int(key));
  return "a key";
}

}  // namespace Vm
