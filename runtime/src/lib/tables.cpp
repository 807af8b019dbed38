// Tables: one in-memory table of rows per table class, with a hash index per
// single-column index of the class entry.
//
// A row belongs to its table. Rows carry the GC flag, so no DROP of a query
// result, a local or an owning field ever frees one (the collector only
// sweeps instances it allocated as gc). `delete` unlinks a row from the
// table and its indexes at once; the row's memory stays until the run ends,
// so a local that still refers to a deleted row reads its last values,
// never freed memory.
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "containers.hpp"
#include "lib/state.hpp"

namespace Vm {

namespace {

std::uint64_t hash_key(Value v, Kind k) {
  if ((k == Kind::TEXT || k == Kind::BYTES) && v != 0) {
    std::string_view s = str_view(v);
    std::uint64_t h = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
    return h;
  }
  std::uint64_t x = v * 0x9E3779B97F4A7C15ULL;
  return x ^ (x >> 29);
}

bool same_key(Value a, Value b, Kind k) {
  if (a == b) return true;
  if ((k == Kind::TEXT || k == Kind::BYTES) && a != 0 && b != 0) return str_view(a) == str_view(b);
  return false;
}

struct KeyHash {
  Kind k;
  std::size_t operator()(Value v) const { return static_cast<std::size_t>(hash_key(v, k)); }
};
struct KeyEq {
  Kind k;
  bool operator()(Value a, Value b) const { return same_key(a, b, k); }
};

// Rows with one key, in insertion order.
using Bucket = std::vector<Instance*>;

struct Index {
  bool unique = false;
  bool usable = false;  // one column: hashed and probed
  std::uint32_t slot = 0;
  Kind kind = Kind::SCALAR;
  bool nullable = false;  // nil keys never clash
  Value nil = 0;
  std::unordered_map<Value, Bucket, KeyHash, KeyEq> rows;
  Index(Kind k) : rows(16, KeyHash{k}, KeyEq{k}) {}
};

}  // namespace

struct Table {
  std::uint32_t cls = 0;
  std::string name;
  // Rows in insertion order; deleted rows leave nullptr until compaction.
  std::vector<Instance*> rows;
  std::size_t live = 0;
  std::unordered_map<Instance*, std::size_t> position;
  std::vector<std::unique_ptr<Index>> indexes;
  std::vector<Instance*> deleted;  // kept until the run ends
  std::int64_t inserted = 0;       // rows ever inserted: the number insert gives
};

class Tables {
 public:
  std::vector<std::unique_ptr<Table>> by_class;
  bool rooted = false;
};

namespace {

Table& table_of(Machine& vm, std::uint32_t cls) {
  LibraryState& s = library_state(vm);
  if (!s.tables) s.tables = std::make_unique<Tables>();
  Tables& ts = *s.tables;
  if (!ts.rooted && vm.heap.tracking()) {
    // Rows are roots of the collector: a gc row, or a row with gc fields,
    // lives as long as its table keeps it.
    Machine* mp = &vm;
    vm.heap.add_root_source([mp](std::vector<Value>& out) {
      if (mp->library == nullptr || !mp->library->tables) return;
      for (const auto& t : mp->library->tables->by_class) {
        if (!t) continue;
        for (Instance* r : t->rows) {
          if (r != nullptr) out.push_back(from_ptr(r));
        }
        for (Instance* r : t->deleted) out.push_back(from_ptr(r));
      }
    });
    ts.rooted = true;
  }
  if (ts.by_class.size() <= cls) ts.by_class.resize(vm.program.layouts.size());
  std::unique_ptr<Table>& t = ts.by_class[cls];
  if (!t) {
    t = std::make_unique<Table>();
    t->cls = cls;
    t->name = vm.program.class_names[cls];
    const Emit::ClassEntry& entry = vm.program.image.classes[cls];
    for (const Emit::TableIndex& ix : entry.indexes) {
      Kind k = Kind::SCALAR;
      bool one = ix.slots.size() == 1 && ix.slots[0] < entry.fields.size();
      if (one) k = Kind(entry.fields[ix.slots[0]].kind);
      auto index = std::make_unique<Index>(k);
      index->unique = ix.unique;
      index->usable = one;
      if (one) {
        index->slot = ix.slots[0];
        index->kind = k;
        std::uint32_t meta = entry.fields[ix.slots[0]].class_meta;
        if (meta == Emit::meta_nullable_float) index->nullable = true, index->nil = nil_float_bits;
        else if (meta == Emit::meta_nullable_scalar || meta == Emit::meta_nullable_bool)
          index->nullable = true, index->nil = from_int(nil_int);
        else if (k == Kind::TEXT || k == Kind::BYTES) index->nullable = true, index->nil = 0;
      }
      t->indexes.push_back(std::move(index));
    }
  }
  return *t;
}

std::string field_name(Machine& vm, std::uint32_t cls, std::uint32_t slot) {
  const Emit::Field& f = vm.program.image.classes[cls].fields[slot];
  if (f.name == Emit::none) return "#" + std::to_string(slot);
  return vm.program.image.constants[f.name].text;
}

std::string key_text(Value v, Kind k) {
  if (k == Kind::TEXT || k == Kind::BYTES) return v == 0 ? "nil" : describe_key(v, Kind::TEXT);
  if (k == Kind::FLOAT) return float_text(as_float(v));
  return int_text(as_int(v));
}

// builtin 61: insert C { ... }. args[0] is the class number, args[1 + slot]
// the field values; the result is the row's number (1 for the table's
// first row, counting every row ever inserted). The row takes its own reference of each Text and a
// copy of each owned value (the caller releases its temporaries).
Value b_insert(Machine& vm, const Call& c) {
  std::uint32_t cls = class_arg(vm, c.args[0], "insert");
  const ClassLayout& layout = vm.heap.layout(cls);
  std::size_t n = layout.kinds.size();
  if (c.args + 1 + n > c.window_end) raise(ErrorCode::BAD_ARGUMENT, "insert: the row's fields are missing");
  Table& t = table_of(vm, cls);
  const Value* vals = c.args + 1;
  for (const auto& ix : t.indexes) {
    if (!ix->unique || !ix->usable) continue;
    Value key = vals[ix->slot];
    if (ix->nullable && key == ix->nil) continue;
    if (ix->rows.count(key) != 0) {
      raise_lib(LibError::DUPLICATE_KEY, "insert: `" + t.name + "` already has a row with `" +
                                             field_name(vm, cls, ix->slot) + "` " + key_text(key, ix->kind) +
                                             " — the field is @unique");
    }
  }
  Instance* row = vm.heap.instance(cls);
  for (std::size_t i = 0; i < n; ++i) {
    try {
      row->fields[i] = clone_value(vm.heap, vals[i], layout.kinds[i]);
    } catch (...) {
      vm.heap.drop(from_ptr(row));
      throw;
    }
  }
  // A non-gc row is marked so that drops pass it by; a gc row is already.
  row->h.flags |= GC;
  t.position[row] = t.rows.size();
  t.rows.push_back(row);
  ++t.live;
  for (const auto& ix : t.indexes) {
    if (ix->usable) ix->rows[row->fields[ix->slot]].push_back(row);
  }
  return from_int(++t.inserted);
}

void compact(Table& t) {
  std::size_t out = 0;
  for (Instance* r : t.rows) {
    if (r == nullptr) continue;
    t.position[r] = out;
    t.rows[out++] = r;
  }
  t.rows.resize(out);
}

// builtin 63: delete row. args[0] is the class number, args[1] the row.
Value b_delete(Machine& vm, const Call& c) {
  std::uint32_t cls = class_arg(vm, c.args[0], "delete");
  if (c.args + 2 > c.window_end) raise(ErrorCode::BAD_ARGUMENT, "delete: the row is missing");
  Value v = c.args[1];
  if (v == 0) raise(ErrorCode::NIL_VALUE, "delete: the value is nil");
  Table& t = table_of(vm, cls);
  auto* row = as_ptr<Instance>(v);
  auto it = t.position.find(row);
  if (it == t.position.end()) {
    raise_lib(LibError::NOT_A_ROW, "delete: the value is not a row of `" + t.name + "` (it was never inserted, or was deleted)");
  }
  std::size_t at = it->second;
  t.position.erase(it);
  t.rows[at] = nullptr;
  --t.live;
  for (const auto& ix : t.indexes) {
    if (!ix->usable) continue;
    auto b = ix->rows.find(row->fields[ix->slot]);
    if (b == ix->rows.end()) continue;
    Bucket& bucket = b->second;
    for (std::size_t i = 0; i < bucket.size(); ++i) {
      if (bucket[i] == row) {
        bucket.erase(bucket.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    if (bucket.empty()) ix->rows.erase(b);
  }
  // A gc row goes to the collector once nothing reaches it; others wait.
  if (!vm.heap.layout(cls).gc) t.deleted.push_back(row);
  if (t.rows.size() > 64 && t.live < t.rows.size() / 2) compact(t);
  return 0;
}

// builtin 64: every row of a table, in insertion order, as a fresh multi.
Value b_scan(Machine& vm, const Call& c) {
  std::uint32_t cls = class_arg(vm, c.args[0], "scan");
  Table& t = table_of(vm, cls);
  Multi* m = vm.heap.multi(Kind::OWNED, static_cast<std::uint32_t>(t.live));
  for (Instance* r : t.rows) {
    if (r != nullptr) m->items[m->count++] = from_ptr(r);
  }
  return from_ptr(m);
}

// builtin 66: the rows whose index column equals the key, in insertion
// order. args: class number, index number, key.
Value b_probe(Machine& vm, const Call& c) {
  std::uint32_t cls = class_arg(vm, c.args[0], "probe");
  if (c.args + 3 > c.window_end) raise(ErrorCode::BAD_ARGUMENT, "probe: the key is missing");
  Table& t = table_of(vm, cls);
  std::int64_t ix = as_int(c.args[1]);
  if (ix < 0 || static_cast<std::size_t>(ix) >= t.indexes.size() || !t.indexes[std::size_t(ix)]->usable) {
    raise(ErrorCode::BAD_ARGUMENT, "probe: `" + t.name + "` has no single-column index " + std::to_string(ix));
  }
  Index& index = *t.indexes[std::size_t(ix)];
  auto b = index.rows.find(c.args[2]);
  std::uint32_t n = b == index.rows.end() ? 0 : static_cast<std::uint32_t>(b->second.size());
  Multi* m = vm.heap.multi(Kind::OWNED, n);
  if (n != 0) {
    for (Instance* r : b->second) m->items[m->count++] = from_ptr(r);
  }
  return from_ptr(m);
}

// builtin 67: whether Text a orders before Text b (by bytes; nil first).
Value b_text_before(Machine&, const Call& c) {
  Value a = c.args[0], b = c.args[1];
  if (b == 0) return 0;
  if (a == 0) return 1;
  return from_bool(str_view(a) < str_view(b));
}

}  // namespace

LibraryState::LibraryState() = default;
LibraryState::~LibraryState() = default;

void release_tables(Machine& vm, LibraryState& s) {
  if (!s.tables) return;
  auto free_row = [&](Instance* r) {
    if (vm.heap.layout(r->h.cls).gc) return;  // the heap frees its gc instances
    r->h.flags &= static_cast<std::uint8_t>(~GC);
    vm.heap.drop(from_ptr(r));
  };
  for (auto& t : s.tables->by_class) {
    if (!t) continue;
    for (Instance* r : t->rows) {
      if (r != nullptr) free_row(r);
    }
    for (Instance* r : t->deleted) free_row(r);
  }
  s.tables.reset();
}

void register_table_builtins(BuiltinTable& t) {
  t.add(61, b_insert, -1, "insert_row");
  t.add(63, b_delete, -1, "delete_row");
  t.add(64, b_scan, -1, "scan_table");
  t.add(66, b_probe, -1, "probe_index");
  t.add(67, b_text_before, 2, "text_cmp");
}

}  // namespace Vm
