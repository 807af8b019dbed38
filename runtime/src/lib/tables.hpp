// The tables of one machine: rows in insertion order, a hash index per
// single-column index of the class entry, and the deleted rows that wait to
// be reclaimed. Shared by tables.cpp (the builtins) and row_reclaim.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/state.hpp"

namespace Vm {

// An open-addressing hash table (linear probing, no tombstones) from a key
// to the rows holding it, in insertion order. An entry keeps the key word of
// the row that made it, with a reference of its own to a Text or Bytes key
// (never a copy), so a program that assigns the column of a row leaves the
// index sound: the row stays under its old key until it is deleted.
class RowIndex {
 public:
  RowIndex(Heap& heap, Kind kind, std::uint32_t slot) : heap_(heap), kind_(kind), slot_(slot) {}
  ~RowIndex();
  RowIndex(const RowIndex&) = delete;
  RowIndex& operator=(const RowIndex&) = delete;

  // The rows whose column equals `key` (none: count 0).
  struct Found {
    Instance* const* rows = nullptr;
    std::size_t count = 0;
  };
  Found find(Value key) const;
  bool contains(Value key) const { return find(key).count != 0; }
  void add(Instance* row);     // appends the row under its column's value
  void remove(Instance* row);  // unlinks it

  bool unique = false;
  bool nullable = false;  // nil keys never clash
  Value nil = 0;
  Kind kind() const { return kind_; }
  std::uint32_t slot() const { return slot_; }

 private:
  // `rows` is the single row, or (low bit set) a std::vector of them.
  struct Entry {
    Value key;
    std::uintptr_t rows;
    std::uint64_t hash;
  };
  std::uint64_t hash(Value key) const;
  bool same(Value a, Value b) const;
  std::size_t home(std::uint64_t h) const { return static_cast<std::size_t>(h) & (entries_.size() - 1); }
  Entry* lookup(Value key, std::uint64_t h);
  void grow();
  void erase_at(std::size_t i);
  bool unlink(Entry& e, Instance* row);

  Heap& heap_;
  Kind kind_;
  std::uint32_t slot_;
  std::vector<Entry> entries_;  // a power of two, or empty
  std::size_t used_ = 0;
};

struct Table {
  std::uint32_t cls = 0;
  std::string name;
  // Rows in insertion order; deleted rows leave nullptr until compaction. A
  // live row keeps its position in its header's spare word (Instance::pad),
  // so `delete` knows a row of this table without a search.
  std::vector<Instance*> rows;
  std::size_t live = 0;
  // Index i of the class entry; nullptr for a multi-column index (scanned).
  std::vector<std::unique_ptr<RowIndex>> indexes;
  std::int64_t inserted = 0;  // rows ever inserted: the number insert gives
};

class Tables {
 public:
  std::vector<std::unique_ptr<Table>> by_class;
  bool rooted = false;
  // Deleted rows that something may still refer to. Each stays readable
  // until a reclamation proves that nothing does.
  std::vector<Instance*> pending;
  std::size_t deleted_since = 0;  // deletions since the last reclamation
  std::size_t budget = 1024;      // deletions that start the next one
};

// Frees the pending rows that nothing refers to any more. `window_begin` ..
// `window_end` are registers in use beyond the machine's stack (a library
// call made from outside the interpreter); may be empty.
void reclaim_deleted_rows(Machine& vm, const Value* window_begin, const Value* window_end);

// Frees a row the table no longer holds and nothing refers to.
void free_row(Machine& vm, Instance* row);

}  // namespace Vm
