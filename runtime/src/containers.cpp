#include "containers.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "builtins.hpp"

namespace Vm {

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

void grow(Map* m) {
  if (m->cap >= 0x40000000u) raise(ErrorCode::OUT_OF_MEMORY, "out of memory: a map is too large");
  std::uint32_t cap = m->cap < 4 ? 4 : m->cap * 2;
  void* p = std::realloc(m->entries, std::size_t(cap) * sizeof(MapEntry));
  if (p == nullptr) raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  m->entries = static_cast<MapEntry*>(p);
  m->cap = cap;
  rehash(m, cap * 2);
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
  if (m->count == m->cap) grow(m);
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

Value clone_value(Heap& heap, Value v, Kind k) {
  if (v == 0) return 0;
  if (is_counted(k)) {
    Heap::retain(v);
    return v;
  }
  if (k != Kind::OWNED && k != Kind::MULTI && k != Kind::MAP) return v;
  Obj* o = as_obj(v);
  if (o->flags & GC) return v;
  switch (o->type) {
    case ObjType::INSTANCE: {
      auto* src = reinterpret_cast<Instance*>(o);
      Instance* dst = heap.instance(o->cls);
      for (std::uint32_t i = 0; i < src->nfields && i < dst->nfields; ++i) dst->fields[i] = 0;
      Value out = from_ptr(dst);
      // Filled one field at a time so a failure leaves a droppable object.
      for (std::uint32_t i = 0; i < dst->nfields; ++i) {
        dst->fields[i] = clone_value(heap, src->fields[i], heap.layout(o->cls).kinds[i]);
      }
      return out;
    }
    case ObjType::MULTI: {
      auto* src = reinterpret_cast<Multi*>(o);
      Multi* dst = heap.multi(src->elem(), src->count);
      for (std::uint32_t i = 0; i < src->count; ++i) {
        heap.multi_push(dst, clone_value(heap, src->items[i], src->elem()));
      }
      return from_ptr(dst);
    }
    case ObjType::MAP: {
      auto* src = reinterpret_cast<Map*>(o);
      Map* dst = heap.map(static_cast<std::uint8_t>(src->h.kinds));
      for (std::uint32_t i = 0; i < src->count; ++i) {
        Value val = clone_value(heap, src->entries[i].val, src->val());
        map_set(heap, dst, src->entries[i].key, val);
        // map_set took a reference of its own to a counted value.
        if (is_counted(src->val())) heap.release_str(val);
      }
      return from_ptr(dst);
    }
    default:
      Heap::retain(v);
      return v;
  }
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
