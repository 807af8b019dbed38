// Tables: one in-memory table of rows per table class, with a hash index per
// single-column index of the class entry.
//
// A row belongs to its table. Rows carry the GC flag, so no DROP of a query
// result, a local or an owning field ever frees one. `delete` unlinks a row
// from the table and its indexes at once; the row itself stays readable
// until a reclamation (row_reclaim.cpp) proves that nothing refers to it.
#include "lib/tables.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "containers.hpp"

namespace Vm {

// ---------------------------------------------------------------- the index

namespace {

using RowList = std::vector<Instance*>;
inline bool is_list(std::uintptr_t rows) { return (rows & 1) != 0; }
inline RowList* list_of(std::uintptr_t rows) { return reinterpret_cast<RowList*>(rows & ~std::uintptr_t(1)); }

}  // namespace

RowIndex::~RowIndex() {
  for (Entry& e : entries_) {
    if (e.rows == 0) continue;
    if (is_list(e.rows)) delete list_of(e.rows);
    if (is_counted(kind_)) heap_.release_str(e.key);
  }
}

std::uint64_t RowIndex::hash(Value key) const {
  if ((kind_ == Kind::TEXT || kind_ == Kind::BYTES) && key != 0) return hash_bytes(str_view(key));
  return hash_word(key);
}

bool RowIndex::same(Value a, Value b) const {
  if (a == b) return true;
  if ((kind_ == Kind::TEXT || kind_ == Kind::BYTES) && a != 0 && b != 0) return str_view(a) == str_view(b);
  return false;
}

RowIndex::Entry* RowIndex::lookup(Value key, std::uint64_t h) {
  if (entries_.empty()) return nullptr;
  for (std::size_t i = home(h);; i = (i + 1) & (entries_.size() - 1)) {
    Entry& e = entries_[i];
    if (e.rows == 0) return nullptr;
    if (e.hash == h && same(e.key, key)) return &e;
  }
}

RowIndex::Found RowIndex::find(Value key) const {
  Entry* e = const_cast<RowIndex*>(this)->lookup(key, hash(key));
  if (e == nullptr) return {};
  if (!is_list(e->rows)) return {reinterpret_cast<Instance* const*>(&e->rows), 1};
  RowList* l = list_of(e->rows);
  return {l->data(), l->size()};
}

void RowIndex::grow() {
  std::vector<Entry> old = std::move(entries_);
  entries_.assign(old.empty() ? 16 : old.size() * 2, Entry{0, 0, 0});
  for (const Entry& e : old) {
    if (e.rows == 0) continue;
    std::size_t i = home(e.hash);
    while (entries_[i].rows != 0) i = (i + 1) & (entries_.size() - 1);
    entries_[i] = e;
  }
}

void RowIndex::add(Instance* row) {
  Value key = row->fields[slot_];
  std::uint64_t h = hash(key);
  if (Entry* e = lookup(key, h)) {
    if (!is_list(e->rows)) {
      auto* l = new RowList{reinterpret_cast<Instance*>(e->rows)};
      e->rows = reinterpret_cast<std::uintptr_t>(l) | 1;
    }
    list_of(e->rows)->push_back(row);
    return;
  }
  if ((used_ + 1) * 4 > entries_.size() * 3) grow();
  std::size_t i = home(h);
  while (entries_[i].rows != 0) i = (i + 1) & (entries_.size() - 1);
  entries_[i] = Entry{key, reinterpret_cast<std::uintptr_t>(row), h};
  ++used_;
  if (is_counted(kind_)) Heap::retain(key);
}

// Empties entry i and moves later entries of its probe run back, so that
// lookups never need tombstones.
void RowIndex::erase_at(std::size_t i) {
  std::size_t mask = entries_.size() - 1;
  std::size_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (entries_[j].rows == 0) break;
    std::size_t k = home(entries_[j].hash);
    // Entry j may fill the hole at i when its home is not in (i, j].
    bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
    if (stays) continue;
    entries_[i] = entries_[j];
    i = j;
  }
  entries_[i] = Entry{0, 0, 0};
  --used_;
}

// Takes `row` out of entry e; false when e does not hold it.
bool RowIndex::unlink(Entry& e, Instance* row) {
  if (!is_list(e.rows)) {
    if (reinterpret_cast<Instance*>(e.rows) != row) return false;
    Value key = e.key;
    erase_at(static_cast<std::size_t>(&e - entries_.data()));
    if (is_counted(kind_)) heap_.release_str(key);
    return true;
  }
  RowList* l = list_of(e.rows);
  auto it = std::find(l->begin(), l->end(), row);
  if (it == l->end()) return false;
  l->erase(it);
  if (l->size() == 1) {
    e.rows = reinterpret_cast<std::uintptr_t>(l->front());
    delete l;
  }
  return true;
}

void RowIndex::remove(Instance* row) {
  Entry* e = lookup(row->fields[slot_], hash(row->fields[slot_]));
  if (e != nullptr && unlink(*e, row)) return;
  // The program assigned the column since the row went in: the row is
  // under its old key.
  for (Entry& other : entries_) {
    if (other.rows != 0 && unlink(other, row)) return;
  }
}

// ---------------------------------------------------------------- tables

namespace {

// Candidate roots of the collector: every row of the tables, live or waiting
// to be reclaimed (a gc row, or a row with gc fields, lives while its table
// or a reference may still read it).
void push_rows(Machine& vm, std::vector<Value>& out) {
  if (vm.library == nullptr || !vm.library->tables) return;
  for (const auto& t : vm.library->tables->by_class) {
    if (!t) continue;
    for (Instance* r : t->rows) {
      if (r != nullptr) out.push_back(from_ptr(r));
    }
  }
  for (Instance* r : vm.library->tables->pending) out.push_back(from_ptr(r));
}

Tables& tables_of(Machine& vm) {
  LibraryState& s = library_state(vm);
  if (!s.tables) s.tables = std::make_unique<Tables>();
  Tables& ts = *s.tables;
  if (!ts.rooted && vm.heap.tracking()) {
    Machine* mp = &vm;
    vm.heap.add_root_source([mp](std::vector<Value>& out) { push_rows(*mp, out); });
    ts.rooted = true;
  }
  return ts;
}

Table& table_of(Machine& vm, std::uint32_t cls) {
  Tables& ts = tables_of(vm);
  if (ts.by_class.size() <= cls) ts.by_class.resize(vm.program.layouts.size());
  std::unique_ptr<Table>& t = ts.by_class[cls];
  if (t) return *t;
  t = std::make_unique<Table>();
  t->cls = cls;
  t->name = vm.program.class_names[cls];
  const Bytecode::ClassEntry& entry = vm.program.image.classes[cls];
  for (const Bytecode::TableIndex& ix : entry.indexes) {
    bool one = ix.slots.size() == 1 && ix.slots[0] < entry.fields.size();
    if (!one) {
      t->indexes.push_back(nullptr);
      continue;
    }
    Kind k = Kind(entry.fields[ix.slots[0]].kind);
    auto index = std::make_unique<RowIndex>(vm.heap, k, ix.slots[0]);
    index->unique = ix.unique;
    std::uint32_t meta = entry.fields[ix.slots[0]].class_meta;
    if (meta == Bytecode::meta_nullable_float) index->nullable = true, index->nil = nil_float_bits;
    else if (meta == Bytecode::meta_nullable_scalar || meta == Bytecode::meta_nullable_bool)
      index->nullable = true, index->nil = from_int(nil_int);
    else if (k == Kind::TEXT || k == Kind::BYTES) index->nullable = true, index->nil = 0;
    t->indexes.push_back(std::move(index));
  }
  return *t;
}

// Room for one more row, growing geometrically.
void grow_for_one(std::vector<Instance*>& v) {
  if (v.size() == v.capacity()) v.reserve(v.size() < 16 ? 16 : v.size() * 2);
}

std::string field_name(Machine& vm, std::uint32_t cls, std::uint32_t slot) {
  const Bytecode::Field& f = vm.program.image.classes[cls].fields[slot];
  if (f.name == Bytecode::none) return "#" + std::to_string(slot);
  return vm.program.image.constants[f.name].text;
}

std::string key_text(Value v, Kind k) {
  if (k == Kind::TEXT || k == Kind::BYTES) return v == 0 ? "nil" : describe_key(v, Kind::TEXT);
  if (k == Kind::FLOAT) return float_text(as_float(v));
  return int_text(as_int(v));
}

// builtin 61: insert C { ... }. args[0] is the class number, args[1 + slot]
// the field values; the result is the row's number (1 for the table's first
// row, counting every row ever inserted). The row takes its own reference of
// each Text and a copy of each owned value (the caller releases its
// temporaries).
Value b_insert(Machine& vm, const Call& c) {
  std::uint32_t cls = class_arg(vm, c.args[0], "insert");
  const ClassLayout& layout = vm.heap.layout(cls);
  std::size_t n = layout.kinds.size();
  if (c.args + 1 + n > c.window_end) raise(ErrorCode::BAD_ARGUMENT, "insert: the row's fields are missing");
  Table& t = table_of(vm, cls);
  const Value* vals = c.args + 1;
  for (const auto& ix : t.indexes) {
    if (!ix || !ix->unique) continue;
    Value key = vals[ix->slot()];
    if (ix->nullable && key == ix->nil) continue;
    if (ix->contains(key)) {
      raise_lib(LibError::DUPLICATE_KEY, "insert: `" + t.name + "` already has a row with `" +
                                             field_name(vm, cls, ix->slot()) + "` " + key_text(key, ix->kind()) +
                                             " — the field is @unique");
    }
  }
  if (t.rows.size() >= 0xFFFFFFFFu) raise(ErrorCode::OUT_OF_MEMORY, "out of memory: the table `" + t.name + "` is full");
  Instance* row = vm.heap.instance(cls);
  for (std::size_t i = 0; i < n; ++i) {
    try {
      row->fields[i] = clone_value(vm.heap, vals[i], layout.kinds[i]);
    } catch (...) {
      vm.heap.drop(from_ptr(row));
      throw;
    }
  }
  grow_for_one(t.rows);  // may throw: nothing is linked yet
  // A non-gc row is marked so that drops pass it by; a gc row is already.
  row->h.flags |= GC;
  row->pad = static_cast<std::uint32_t>(t.rows.size());
  t.rows.push_back(row);
  ++t.live;
  for (const auto& ix : t.indexes) {
    if (ix) ix->add(row);
  }
  return from_int(++t.inserted);
}

void compact(Table& t) {
  std::size_t out = 0;
  for (Instance* r : t.rows) {
    if (r == nullptr) continue;
    r->pad = static_cast<std::uint32_t>(out);
    t.rows[out++] = r;
  }
  t.rows.resize(out);
}

// The registers in use when a builtin runs: the caller's window ends the
// machine's stack in use.
void reclaim_after_delete(Machine& vm, const Call& c) {
  const Value* base = vm.stack_base();
  bool on_stack = c.args >= base && c.window_end <= vm.stack_end();
  reclaim_deleted_rows(vm, on_stack ? nullptr : c.args, on_stack ? nullptr : c.window_end);
}

// builtin 63: delete row. args[0] is the class number, args[1] the row.
Value b_delete(Machine& vm, const Call& c) {
  std::uint32_t cls = class_arg(vm, c.args[0], "delete");
  if (c.args + 2 > c.window_end) raise(ErrorCode::BAD_ARGUMENT, "delete: the row is missing");
  Value v = c.args[1];
  if (v == 0) raise(ErrorCode::NIL_VALUE, "delete: the value is nil");
  Table& t = table_of(vm, cls);
  auto* row = as_ptr<Instance>(v);
  if (row->h.type != ObjType::INSTANCE || row->h.cls != cls || row->pad >= t.rows.size() || t.rows[row->pad] != row) {
    raise_lib(LibError::NOT_A_ROW, "delete: the value is not a row of `" + t.name + "` (it was never inserted, or was deleted)");
  }
  Tables& ts = *library_state(vm).tables;
  grow_for_one(ts.pending);  // may throw: nothing is unlinked yet
  t.rows[row->pad] = nullptr;
  --t.live;
  for (const auto& ix : t.indexes) {
    if (ix) ix->remove(row);
  }
  ts.pending.push_back(row);
  if (t.rows.size() > 64 && t.live < t.rows.size() / 2) compact(t);
  if (++ts.deleted_since >= ts.budget) reclaim_after_delete(vm, c);
  return 0;
}

// builtin 64: every row of a table, in insertion order, as a fresh multi.
Value b_scan(Machine& vm, const Call& c) {
  std::uint32_t cls = class_arg(vm, c.args[0], "scan");
  Table& t = table_of(vm, cls);
  Multi* m = vm.heap.multi(Kind::OWNED, static_cast<std::uint32_t>(t.live));
  if (t.live == t.rows.size()) {
    if (t.live != 0) std::memcpy(m->items, t.rows.data(), t.live * sizeof(Value));
    m->count = static_cast<std::uint32_t>(t.live);
    return from_ptr(m);
  }
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
  if (ix < 0 || static_cast<std::size_t>(ix) >= t.indexes.size() || !t.indexes[std::size_t(ix)]) {
    raise(ErrorCode::BAD_ARGUMENT, "probe: `" + t.name + "` has no single-column index " + std::to_string(ix));
  }
  RowIndex::Found found = t.indexes[std::size_t(ix)]->find(c.args[2]);
  Multi* m = vm.heap.multi(Kind::OWNED, static_cast<std::uint32_t>(found.count));
  for (std::size_t i = 0; i < found.count; ++i) m->items[i] = from_ptr(found.rows[i]);
  m->count = static_cast<std::uint32_t>(found.count);
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

void free_row(Machine& vm, Instance* r) {
  if (vm.heap.layout(r->h.cls).gc) return;  // the heap frees its gc instances
  r->h.flags &= static_cast<std::uint8_t>(~GC);
  vm.heap.drop(from_ptr(r));
}

void release_tables(Machine& vm, LibraryState& s) {
  if (!s.tables) return;
  for (auto& t : s.tables->by_class) {
    if (!t) continue;
    for (Instance* r : t->rows) {
      if (r != nullptr) free_row(vm, r);
    }
  }
  for (Instance* r : s.tables->pending) free_row(vm, r);
  s.tables.reset();
}

void register_table_builtins(BuiltinTable& t) {
  t.add(unsigned(Bytecode::Builtin::INSERT_ROW), b_insert, -1, "insert_row");
  t.add(unsigned(Bytecode::Builtin::DELETE_ROW), b_delete, -1, "delete_row");
  t.add(unsigned(Bytecode::Builtin::SCAN_TABLE), b_scan, -1, "scan_table");
  t.add(unsigned(Bytecode::Builtin::PROBE_INDEX), b_probe, -1, "probe_index");
  t.add(unsigned(Bytecode::Builtin::TEXT_CMP), b_text_before, 2, "text_cmp");
}

}  // namespace Vm
