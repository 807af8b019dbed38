// Tables: insert with @unique refusal, probes through the hash indexes,
// scans in insertion order, delete, and rows that outlive the values that
// refer to them.
#include <algorithm>

#include "lib/tables.hpp"
#include "vmlib_fixture.hpp"

namespace {

using namespace VmLibTest;
using Vm::Instance;
using Vm::Multi;

constexpr unsigned insert_id = 61, delete_id = 63, scan_id = 64, probe_id = 66, before_id = 67;

struct Shelf : Prog {
  std::uint32_t book = 0;
  Shelf() {
    // isbn @unique (index 0), author indexed (index 1), year, tags.
    book = add_class("Book",
                     {{"isbn", FieldKind::TEXT}, {"title", FieldKind::TEXT}, {"author", FieldKind::TEXT},
                      {"year", FieldKind::SCALAR}, {"tags", FieldKind::MULTI, Emit::none, 3}},
                     {Emit::TableIndex{true, {0}}, Emit::TableIndex{false, {2}}});
    start();
  }
  Value add(const char* isbn, const char* title, const char* author, std::int64_t year) {
    Value i = text(isbn), t = text(title), a = text(author);
    Vm::Multi* tags = vm->heap.multi(Vm::Kind::TEXT);
    vm->heap.multi_push(tags, text("shelf"));
    // The caller keeps and releases its own values, as after any builtin.
    Value r = call(insert_id, {I(book), i, t, a, I(year), Vm::from_ptr(tags)});
    for (Value v : {i, t, a, Vm::from_ptr(tags)}) vm->heap.drop(v);
    return r;
  }
  std::vector<std::string> titles(Value multi) {
    std::vector<std::string> out;
    auto* m = Vm::as_ptr<Multi>(multi);
    for (std::uint32_t i = 0; i < m->count; ++i) out.push_back(str(Vm::as_ptr<Instance>(m->items[i])->fields[1]));
    return out;
  }
  std::vector<std::string> take(Value multi) {
    std::vector<std::string> t = titles(multi);
    vm->heap.drop(multi);  // a query result: dropping it never frees a row
    return t;
  }
  Value probe(std::int64_t index, const char* key) {
    Value k = text(key);
    Value r = call(probe_id, {I(book), I(index), k});
    vm->heap.drop(k);
    return r;
  }
};

TEST(VmLibTables, InsertProbeScanDeleteKeepOrderAndIndexes) {
  Shelf s;
  EXPECT_EQ(s.add("b1", "Dispossessed", "Le Guin", 1974), I(1));
  s.add("b2", "Left Hand", "Le Guin", 1969);
  s.add("b3", "Kindred", "Butler", 1979);
  s.add("b4", "Sower", "Butler", 1993);
  s.add("b5", "Solaris", "Lem", 1961);
  EXPECT_EQ(s.add("b6", "Lathe", "Le Guin", 1971), I(6));

  // A second b3 is refused, names class, field and key, and is not stored.
  std::string msg;
  Value i = s.text("b3"), t = s.text("Again"), a = s.text("Nobody");
  EXPECT_EQ(s.error_of(insert_id, {I(s.book), i, t, a, I(2000), 0}, &msg), 100);
  EXPECT_EQ(msg, "insert: `Book` already has a row with `isbn` \"b3\" — the field is @unique");
  for (Value v : {i, t, a}) s.vm->heap.drop(v);
  EXPECT_EQ(s.take(s.call(scan_id, {I(s.book)})),
            (std::vector<std::string>{"Dispossessed", "Left Hand", "Kindred", "Sower", "Solaris", "Lathe"}));

  // Probes give the matching rows in insertion order, through either index.
  EXPECT_EQ(s.take(s.probe(1, "Le Guin")), (std::vector<std::string>{"Dispossessed", "Left Hand", "Lathe"}));
  EXPECT_EQ(s.take(s.probe(0, "b4")), (std::vector<std::string>{"Sower"}));
  EXPECT_EQ(s.take(s.probe(0, "zz")), (std::vector<std::string>{}));

  // Delete a row obtained from a probe: scans and both indexes forget it.
  Value found = s.probe(1, "Le Guin");
  Value left_hand = Vm::as_ptr<Multi>(found)->items[1];
  s.vm->heap.drop(found);
  EXPECT_EQ(s.call(delete_id, {I(s.book), left_hand}), 0u);
  EXPECT_EQ(s.take(s.probe(1, "Le Guin")), (std::vector<std::string>{"Dispossessed", "Lathe"}));
  EXPECT_EQ(s.take(s.probe(0, "b2")), (std::vector<std::string>{}));
  // The deleted row is still readable by whoever holds it, never freed memory.
  EXPECT_EQ(Shelf::str(Vm::as_ptr<Instance>(left_hand)->fields[1]), "Left Hand");
  // Deleting it again is an error; its isbn is free again.
  EXPECT_EQ(s.error_of(delete_id, {I(s.book), left_hand}, &msg), 101);
  EXPECT_EQ(s.error_of(delete_id, {I(s.book), 0}), 7);
  EXPECT_EQ(s.add("b2", "Left Hand (2nd)", "Le Guin", 1976), I(7));
  EXPECT_EQ(s.take(s.call(scan_id, {I(s.book)})),
            (std::vector<std::string>{"Dispossessed", "Kindred", "Sower", "Solaris", "Lathe", "Left Hand (2nd)"}));

  // A bad index or class number is a catchable error, not a crash.
  Value x = s.text("x");
  EXPECT_EQ(s.error_of(probe_id, {I(s.book), I(7), x}), 9);
  s.vm->heap.drop(x);
  EXPECT_EQ(s.error_of(scan_id, {I(99)}), 9);
}

TEST(VmLibTables, ManyRowsDeletedAndCompactedKeepInsertionOrder) {
  Shelf s;
  char key[16];
  for (int i = 0; i < 300; ++i) {
    std::snprintf(key, sizeof key, "k%03d", i);
    s.add(key, key, i % 2 == 0 ? "even" : "odd", i);
  }
  // Delete every row whose number is not a multiple of 3, from a scan.
  Value all = s.call(scan_id, {I(s.book)});
  auto* m = Vm::as_ptr<Multi>(all);
  for (std::uint32_t i = 0; i < m->count; ++i) {
    if (i % 3 != 0) s.call(delete_id, {I(s.book), m->items[i]});
  }
  s.vm->heap.drop(all);
  std::vector<std::string> expect;
  for (int i = 0; i < 300; i += 3) {
    std::snprintf(key, sizeof key, "k%03d", i);
    expect.push_back(key);
  }
  EXPECT_EQ(s.take(s.call(scan_id, {I(s.book)})), expect);
  std::vector<std::string> even;
  for (int i = 0; i < 300; i += 6) {
    std::snprintf(key, sizeof key, "k%03d", i);
    even.push_back(key);
  }
  EXPECT_EQ(s.take(s.probe(1, "even")), even);
}

TEST(VmLibTables, NilKeysNeverClashAndTextOrderIsByBytes) {
  Prog p;
  std::uint32_t user = p.add_class("User", {{"email", FieldKind::TEXT}, {"badge", FieldKind::SCALAR, Emit::meta_nullable_scalar}},
                                   {Emit::TableIndex{true, {0}}, Emit::TableIndex{true, {1}}});
  p.start();
  Value nil_int = I(Vm::nil_int);
  EXPECT_EQ(p.error_of(insert_id, {I(user), 0, nil_int}), 0);
  EXPECT_EQ(p.error_of(insert_id, {I(user), 0, nil_int}), 0);
  EXPECT_EQ(p.error_of(insert_id, {I(user), 0, I(7)}), 0);
  std::string msg;
  EXPECT_EQ(p.error_of(insert_id, {I(user), 0, I(7)}, &msg), 100);
  EXPECT_EQ(msg, "insert: `User` already has a row with `badge` 7 — the field is @unique");

  Value a = p.text("a"), B = p.text("B"), empty = p.text(""), ab = p.text("ab");
  EXPECT_EQ(p.call(before_id, {B, a}), 1u);  // 'B' is 0x42, 'a' 0x61
  EXPECT_EQ(p.call(before_id, {a, B}), 0u);
  EXPECT_EQ(p.call(before_id, {empty, a}), 1u);
  EXPECT_EQ(p.call(before_id, {a, ab}), 1u);
  EXPECT_EQ(p.call(before_id, {a, a}), 0u);
  EXPECT_EQ(p.call(before_id, {0, a}), 1u);
  for (Value v : {a, B, empty, ab}) p.vm->heap.drop(v);
}

TEST(VmLibTables, GcRowsAndGcFieldsStayWhileTheTableHoldsThem) {
  Prog p;
  std::uint32_t tag = p.add_class("Tag", {{"name", FieldKind::TEXT}}, {}, true);
  std::uint32_t item = p.add_class("Item", {{"tag", FieldKind::GCREF, 0}, {"n", FieldKind::SCALAR}}, {Emit::TableIndex{true, {1}}});
  std::uint32_t node = p.add_class("Node", {{"n", FieldKind::SCALAR}}, {Emit::TableIndex{true, {0}}}, true);
  p.start();
  (void)tag;
  Vm::Instance* t = p.vm->heap.instance(0);
  t->fields[0] = p.text("red");
  p.call(insert_id, {I(item), Vm::from_ptr(t), I(1)});
  p.call(insert_id, {I(node), I(5)});
  p.call(insert_id, {I(node), I(6)});
  EXPECT_EQ(p.vm->heap.live_gc_objects(), 3u);
  p.vm->heap.collect(nullptr, 0);  // no registers: only the tables hold them
  EXPECT_EQ(p.vm->heap.live_gc_objects(), 3u);
  Value rows = p.call(scan_id, {I(node)});
  p.call(delete_id, {I(node), Vm::as_ptr<Multi>(rows)->items[0]});
  p.vm->heap.drop(rows);
  p.vm->heap.collect(nullptr, 0);  // deleted, but not yet proven unreferenced
  EXPECT_EQ(p.vm->heap.live_gc_objects(), 3u);
  Vm::reclaim_deleted_rows(*p.vm, nullptr, nullptr);
  p.vm->heap.collect(nullptr, 0);  // now the collector takes it
  EXPECT_EQ(p.vm->heap.live_gc_objects(), 2u);
}

// A reclamation frees exactly the deleted rows nothing refers to: a row in a
// multi the machine holds, a row a `ref` field (a plain word) of a live row
// names, and a row only a register word names all stay readable.
TEST(VmLibTables, ReclaimFreesOnlyUnreferencedDeletedRows) {
  Prog p;
  std::uint32_t job = p.add_class("Job", {{"id", FieldKind::SCALAR}, {"name", FieldKind::TEXT}, {"link", FieldKind::SCALAR}},
                                  {Emit::TableIndex{true, {0}}});
  p.start();
  std::vector<Value> rows;
  for (int i = 1; i <= 6; ++i) {
    Value name = p.text("job" + std::to_string(i));
    p.call(insert_id, {I(job), I(i), name, 0});
    p.vm->heap.drop(name);
    Value found = p.call(probe_id, {I(job), I(0), I(i)});
    rows.push_back(Vm::as_ptr<Multi>(found)->items[0]);
    p.vm->heap.drop(found);
  }
  // Row 6 stays in the table and links to row 2 through its `ref` word.
  Vm::as_ptr<Instance>(rows[5])->fields[2] = rows[1];
  Vm::Multi* held = p.vm->heap.multi(Vm::Kind::OWNED);
  p.vm->heap.multi_push(held, rows[0]);
  for (int i = 0; i < 5; ++i) p.call(delete_id, {I(job), rows[std::size_t(i)]});
  Vm::Tables& ts = *p.vm->library->tables;
  EXPECT_EQ(ts.pending.size(), 5u);
  // The multi holding row 1 is a value the machine holds (followed); row 3
  // is a bare register word (compared, never followed).
  p.vm->library->held[1] = Vm::from_ptr(held);
  Value regs[2] = {I(12345), rows[2]};
  Vm::reclaim_deleted_rows(*p.vm, regs, regs + 2);
  std::vector<Vm::Instance*> kept = ts.pending;
  std::sort(kept.begin(), kept.end());
  std::vector<Vm::Instance*> expect = {Vm::as_ptr<Instance>(rows[0]), Vm::as_ptr<Instance>(rows[1]),
                                       Vm::as_ptr<Instance>(rows[2])};
  std::sort(expect.begin(), expect.end());
  EXPECT_EQ(kept, expect);  // rows 4 and 5 were freed
  for (int i : {0, 1, 2}) EXPECT_EQ(Prog::str(Vm::as_ptr<Instance>(rows[std::size_t(i)])->fields[1]), "job" + std::to_string(i + 1));
  // A kept row is still not a row of the table.
  EXPECT_EQ(p.error_of(delete_id, {I(job), rows[0]}), 101);
  // Once nothing refers to them, the next reclamation frees them.
  p.vm->library->held[1] = 0;
  p.vm->heap.drop(Vm::from_ptr(held));
  Vm::as_ptr<Instance>(rows[5])->fields[2] = 0;
  Vm::reclaim_deleted_rows(*p.vm, nullptr, nullptr);
  EXPECT_TRUE(ts.pending.empty());
  Value all = p.call(scan_id, {I(job)});
  ASSERT_EQ(Vm::as_ptr<Multi>(all)->count, 1u);
  EXPECT_EQ(Vm::as_ptr<Instance>(Vm::as_ptr<Multi>(all)->items[0])->fields[0], I(6));
  p.vm->heap.drop(all);
}

// A program may assign an indexed column of a row: the index keeps its own
// reference to the old key, and delete still finds and unlinks the row.
TEST(VmLibTables, AssignedIndexColumnStaysSound) {
  Shelf s;
  s.add("b1", "One", "Ann", 2001);
  s.add("b2", "Two", "Ann", 2002);
  Value found = s.probe(0, "b1");
  Value row = Vm::as_ptr<Multi>(found)->items[0];
  s.vm->heap.drop(found);
  // What a field store does: the field takes the new text, the old one is released.
  auto* inst = Vm::as_ptr<Instance>(row);
  s.vm->heap.release_str(inst->fields[0]);
  inst->fields[0] = s.text("b9");
  s.vm->heap.release_str(inst->fields[2]);
  inst->fields[2] = s.text("Bob");
  EXPECT_EQ(s.take(s.probe(0, "b1")), (std::vector<std::string>{"One"}));
  EXPECT_EQ(s.call(delete_id, {I(s.book), row}), 0u);
  Vm::reclaim_deleted_rows(*s.vm, nullptr, nullptr);
  EXPECT_EQ(s.take(s.probe(0, "b1")), (std::vector<std::string>{}));
  EXPECT_EQ(s.take(s.probe(0, "b9")), (std::vector<std::string>{}));
  EXPECT_EQ(s.take(s.probe(1, "Ann")), (std::vector<std::string>{"Two"}));
  EXPECT_EQ(s.add("b1", "One again", "Ann", 2003), I(3));
  EXPECT_EQ(s.take(s.probe(1, "Ann")), (std::vector<std::string>{"Two", "One again"}));
}

}  // namespace
