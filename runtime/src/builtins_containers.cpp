// Builtins over multis and maps. Elements that `get`, `latest`, `key_at` and
// `val_at` return are lent: they stay in the container (a class element is
// the element itself, so changes through it change the container).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "builtins.hpp"
#include "containers.hpp"
#include "bytecode/bytecode.hpp"

namespace Vm {

using Bytecode::Builtin;

namespace {

Multi* multi_arg(Value v, const char* name) {
  Obj* o = obj_arg<Obj>(v, name);
  if (o->type != ObjType::MULTI) raise(ErrorCode::BAD_ARGUMENT, std::string(name) + ": not a multi");
  return reinterpret_cast<Multi*>(o);
}

Map* map_arg(Value v, const char* name) {
  Obj* o = obj_arg<Obj>(v, name);
  if (o->type != ObjType::MAP) raise(ErrorCode::BAD_ARGUMENT, std::string(name) + ": not a map");
  return reinterpret_cast<Map*>(o);
}

std::uint32_t index_arg(Value v, std::uint64_t count, const char* what) {
  std::int64_t i = as_int(v);
  if (i < 0 || static_cast<std::uint64_t>(i) >= count) raise_index(i, count, what);
  return static_cast<std::uint32_t>(i);
}

Value b_multi_new(Machine& vm, const Call& c) { return from_ptr(vm.heap.multi(Kind(c.b & 0xf))); }
Value b_map_new(Machine& vm, const Call& c) {
  return from_ptr(vm.heap.map(static_cast<std::uint8_t>(c.b)));
}

// Takes the element: an owned value moves in, and so does the reference of
// a Text or Bytes (the compiler passes a fresh value or a copy).
Value b_push(Machine& vm, const Call& c) {
  vm.heap.multi_push(multi_arg(c.args[0], "push"), c.args[1]);
  return 0;
}

Value b_multi_get(Machine&, const Call& c) {
  Multi* m = multi_arg(c.args[0], "get");
  return m->items[index_arg(c.args[1], m->count, "a multi")];
}

// Stores an element at an index (element assignment, and the exchanges of a
// sorted query); it takes the element like push. The old element is not
// released: an exchange stores each element twice before either copy is gone.
Value b_multi_store(Machine&, const Call& c) {
  Multi* m = multi_arg(c.args[0], "store");
  std::uint32_t i = index_arg(c.args[1], m->count, "a multi");
  m->items[i] = c.args[2];
  return 0;
}

Value b_count(Machine&, const Call& c) {
  Obj* o = obj_arg<Obj>(c.args[0], "count");
  if (o->type == ObjType::MULTI) return reinterpret_cast<Multi*>(o)->count;
  if (o->type == ObjType::MAP) return reinterpret_cast<Map*>(o)->count;
  raise(ErrorCode::BAD_ARGUMENT, "count: not a multi or a map");
}

Value b_len(Machine&, const Call& c) {
  Obj* o = obj_arg<Obj>(c.args[0], "len");
  switch (o->type) {
    case ObjType::TEXT:
    case ObjType::BYTES: return reinterpret_cast<Str*>(o)->len;
    case ObjType::MULTI: return reinterpret_cast<Multi*>(o)->count;
    case ObjType::MAP: return reinterpret_cast<Map*>(o)->count;
    default: raise(ErrorCode::BAD_ARGUMENT, "len: the value has no length");
  }
}

Value b_latest(Machine&, const Call& c) {
  Multi* m = multi_arg(c.args[0], "latest");
  if (m->count == 0) raise(ErrorCode::EMPTY_MULTI, "latest: the multi is empty");
  return m->items[m->count - 1];
}

// pop and shift hand the element over to the caller.
Value b_pop(Machine&, const Call& c) {
  Multi* m = multi_arg(c.args[0], "pop");
  if (m->count == 0) raise(ErrorCode::EMPTY_MULTI, "pop: the multi is empty");
  return m->items[--m->count];
}

Value b_shift(Machine&, const Call& c) {
  Multi* m = multi_arg(c.args[0], "shift");
  if (m->count == 0) raise(ErrorCode::EMPTY_MULTI, "shift: the multi is empty");
  Value v = m->items[0];
  std::memmove(m->items, m->items + 1, (m->count - 1) * sizeof(Value));
  --m->count;
  return v;
}

// A new multi of the elements from `from` up to before `to`, each copied.
Value b_slice(Machine& vm, const Call& c) {
  Multi* m = multi_arg(c.args[0], "slice");
  std::int64_t from = as_int(c.args[1]), to = as_int(c.args[2]);
  if (from < 0 || from > std::int64_t(m->count)) raise_index(from, m->count, "a multi");
  if (to < from || to > std::int64_t(m->count)) raise_index(to, m->count, "a multi");
  Multi* out = vm.heap.multi(m->elem(), static_cast<std::uint32_t>(to - from));
  Value result = from_ptr(out);
  try {
    for (std::int64_t i = from; i < to; ++i) vm.heap.multi_push(out, clone_value(vm.heap, m->items[i], m->elem()));
  } catch (...) {
    vm.heap.drop(result);
    throw;
  }
  return result;
}

bool float_before(double a, double b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a < b;
}

Value b_sort(Machine&, const Call& c) {
  Multi* m = multi_arg(c.args[0], "sort");
  Value* first = m->items;
  Value* last = m->items + m->count;
  switch (m->elem()) {
    case Kind::SCALAR:
      std::stable_sort(first, last, [](Value a, Value b) { return as_int(a) < as_int(b); });
      break;
    case Kind::FLOAT:
      std::stable_sort(first, last, [](Value a, Value b) { return float_before(as_float(a), as_float(b)); });
      break;
    case Kind::TEXT:
    case Kind::BYTES:
      std::stable_sort(first, last, [](Value a, Value b) {
        std::string_view x = a ? str_view(a) : std::string_view{};
        std::string_view y = b ? str_view(b) : std::string_view{};
        return x < y;
      });
      break;
    default: raise(ErrorCode::BAD_ARGUMENT, "sort: the elements have no order");
  }
  return 0;
}

Value b_reverse(Machine&, const Call& c) {
  Multi* m = multi_arg(c.args[0], "reverse");
  std::reverse(m->items, m->items + m->count);
  return 0;
}

// Takes the key and the value like push; a key already present stays and
// the one passed is released, as is the value it replaces.
Value b_map_set(Machine& vm, const Call& c) {
  Map* m = map_arg(c.args[0], "set");
  map_set(vm.heap, m, c.args[1], c.args[2]);
  // map_set took references of its own to counted keys and values.
  if (is_counted(m->key())) vm.heap.release_str(c.args[1]);
  if (is_counted(m->val())) vm.heap.release_str(c.args[2]);
  return 0;
}

Value b_map_get(Machine&, const Call& c) {
  Map* m = map_arg(c.args[0], "get");
  std::int64_t e = map_find(m, c.args[1]);
  if (e < 0) raise(ErrorCode::MISSING_KEY, "get: no entry for the key " + describe_key(c.args[1], m->key()));
  return m->entries[e].val;
}

Value b_map_has(Machine&, const Call& c) {
  return from_bool(map_find(map_arg(c.args[0], "has"), c.args[1]) >= 0);
}

Value b_remove(Machine& vm, const Call& c) {
  return from_bool(map_remove(vm.heap, map_arg(c.args[0], "remove"), c.args[1]));
}

Value b_key_at(Machine&, const Call& c) {
  Map* m = map_arg(c.args[0], "key_at");
  return m->entries[index_arg(c.args[1], m->count, "a map")].key;
}

Value b_val_at(Machine&, const Call& c) {
  Map* m = map_arg(c.args[0], "val_at");
  return m->entries[index_arg(c.args[1], m->count, "a map")].val;
}

Value b_join(Machine& vm, const Call& c) {
  Multi* m = multi_arg(c.args[0], "join");
  std::string_view sep = text_arg(c.args[1], "join");
  // The length first: a result too large for memory is refused before any
  // of it is built, and the text is written once, in place.
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < m->count; ++i) {
    std::uint64_t part = (i > 0 ? sep.size() : 0) + (m->items[i] != 0 ? as_str(m->items[i])->len : 0);
    if (__builtin_add_overflow(total, part, &total)) raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  }
  Str* s = vm.heap.text_buffer(total);
  char* at = s->data;
  for (std::uint32_t i = 0; i < m->count; ++i) {
    if (i > 0 && !sep.empty()) at = static_cast<char*>(std::memcpy(at, sep.data(), sep.size())) + sep.size();
    if (m->items[i] == 0) continue;
    std::string_view part = str_view(m->items[i]);
    if (!part.empty()) at = static_cast<char*>(std::memcpy(at, part.data(), part.size())) + part.size();
  }
  return from_ptr(s);
}

}  // namespace

void register_container_builtins(BuiltinTable& t) {
  t.add(unsigned(Builtin::MULTI_NEW), b_multi_new, 0, "multi_new");
  t.add(unsigned(Builtin::MAP_NEW), b_map_new, 0, "map_new");
  t.add(unsigned(Builtin::MULTI_PUSH), b_push, 2, "push");
  t.add(unsigned(Builtin::MULTI_GET), b_multi_get, 2, "get");
  t.add(unsigned(Builtin::MULTI_STORE), b_multi_store, 3, "multi_store");
  t.add(unsigned(Builtin::COUNT), b_count, 1, "count");
  t.add(unsigned(Builtin::LEN), b_len, 1, "len");
  t.add(unsigned(Builtin::LATEST), b_latest, 1, "latest");
  t.add(unsigned(Builtin::POP), b_pop, 1, "pop");
  t.add(unsigned(Builtin::SHIFT), b_shift, 1, "shift");
  t.add(unsigned(Builtin::SLICE), b_slice, 3, "slice");
  t.add(unsigned(Builtin::SORT), b_sort, 1, "sort");
  t.add(unsigned(Builtin::REVERSE), b_reverse, 1, "reverse");
  t.add(unsigned(Builtin::MAP_SET), b_map_set, 3, "set");
  t.add(unsigned(Builtin::MAP_GET), b_map_get, 2, "get");
  t.add(unsigned(Builtin::MAP_HAS), b_map_has, 2, "has");
  t.add(unsigned(Builtin::REMOVE), b_remove, 2, "remove");
  t.add(unsigned(Builtin::KEY_AT), b_key_at, 2, "key_at");
  t.add(unsigned(Builtin::VAL_AT), b_val_at, 2, "val_at");
  t.add(unsigned(Builtin::JOIN), b_join, 2, "join");
}

}  // namespace Vm
