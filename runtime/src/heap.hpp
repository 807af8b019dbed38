// The heap: allocation of every object, release of owned values, and the
// collector of gc instances.
//
// Memory model:
// - An owned object (an instance of a non-gc class, a multi, a map) has one
//   owner; `drop` frees it with everything it owns, as the field kinds of its
//   class entry or its container kinds say. Dropping is iterative, so a list
//   a million nodes long is freed without deep recursion.
// - Text and Bytes are immutable and reference counted: every holder (a
//   register that owns it, a field, an element, a key) holds one reference.
//   Constants of the image are immortal.
// - Instances of gc classes are never freed by `drop`; the collector frees
//   those that no register, no owned object and no other live gc instance
//   reaches, cycles included. Collections run only where the interpreter asks
//   for one (before allocating at NEW and BUILTIN), never inside a builtin.
// - The collector is paced by the bytes the heap holds: every object and the
//   storage of every container, so a gc instance that owns a large multi
//   counts for all of it. A collection runs when the bytes held reach twice
//   what the last collection left (at least 4 MiB more).
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "ptr_set.hpp"
#include "value.hpp"

namespace Vm {

// What the heap needs to know of a class: its storage kinds, slot by slot.
struct ClassLayout {
  std::vector<Kind> kinds;
  bool gc = false;
  bool holds_refs = false;  // some field is OWNED, GCREF, MULTI or MAP
};

class Heap {
 public:
  // Candidate roots: every value pushed is checked against the live objects
  // before it is traced, so a source may push scalars too.
  using RootSource = std::function<void(std::vector<Value>& out)>;

  Heap(const std::vector<ClassLayout>& classes, bool tracking);
  ~Heap();
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;

  // ---- allocation (raises OUT_OF_MEMORY) ----
  Str* text(std::string_view bytes);          // a new Text with one reference
  Str* text_buffer(std::size_t len);          // the same, `len` bytes to fill
  Str* bytes(std::string_view bytes);         // a new Bytes with one reference
  Str* bytes_buffer(std::size_t len);
  Instance* instance(std::uint32_t cls);      // fields zero
  Multi* multi(Kind elem, std::uint32_t cap = 0);
  Map* map(std::uint8_t kinds);
  ErrorObj* error(std::int64_t code, std::int64_t line, std::string_view method,
                  std::string_view msg);

  const ClassLayout& layout(std::uint32_t cls) const { return classes_[cls]; }

  // ---- references ----
  static void retain(Value text_or_bytes) {
    Str* s = as_str(text_or_bytes);
    if (s == nullptr || (s->h.flags & IMMORTAL)) return;
    if (++s->h.refs == 0) {  // saturated: keep it forever rather than wrap
      s->h.refs = ~0u;
      s->h.flags |= IMMORTAL;
    }
  }
  // Gives back one reference of a Text or Bytes.
  void release_str(Value text_or_bytes) {
    Str* s = as_str(text_or_bytes);
    if (s == nullptr || (s->h.flags & IMMORTAL)) return;
    if (--s->h.refs == 0) free_str(s);
  }
  // Releases what a holder of kind `k` owns in `v` (nothing for scalars and
  // gc references).
  void release(Value v, Kind k) {
    if (is_counted(k)) release_str(v);
    else if (k == Kind::OWNED || k == Kind::MULTI || k == Kind::MAP) drop(v);
  }
  // Frees an owned value and everything it owns; a Text or Bytes loses one
  // reference; gc instances and nil are left alone.
  void drop(Value v);

  // ---- containers ----
  void multi_push(Multi* m, Value v);        // takes the element as given
  void multi_reserve(Multi* m, std::uint32_t cap);

  // ---- collector ----
  bool tracking() const { return tracking_; }
  // True when enough was allocated since the last collection (always, under
  // stress). The interpreter then calls collect with its registers.
  bool wants_collect() const { return tracking_ && (stress_ || in_use_ >= threshold_); }
  // Container storage grown or freed outside the heap (a map's entries and
  // slots), so that the pace sees it.
  void note_storage(std::size_t grown, std::size_t freed) { in_use_ += grown - freed; }
  // The bytes of a map's entries and slots.
  static std::size_t map_storage(const Map* m) {
    return std::size_t(m->cap) * sizeof(MapEntry) + std::size_t(m->nslots) * sizeof(std::uint32_t);
  }
  // Bytes held: objects and container storage.
  std::size_t bytes_in_use() const { return in_use_; }
  void set_stress(bool on) { stress_ = on; }
  void add_root_source(RootSource source) { sources_.push_back(std::move(source)); }
  // Marks from `registers` and the root sources, frees unreached gc instances.
  void collect(const Value* registers, std::size_t count);
  std::size_t collections() const { return collections_; }
  std::size_t live_gc_objects() const { return gc_count_; }

 private:
  void* allocate(std::size_t size);
  // Objects up to small_limit bytes are recycled through per-size lists
  // (8-byte classes) instead of going back to malloc each time.
  static constexpr std::size_t small_limit = 256;
  void recycle(void* p, std::size_t size);
  static std::size_t object_size(const Obj* o, const std::vector<ClassLayout>& classes);
  void note_alloc(Obj* o);
  void forget(Obj* o);
  void free_str(Str* s);
  // Pushes the children of `o` that own or reach other objects.
  void children(Obj* o, std::vector<Obj*>& out);
  // Frees one object whose owned children have been queued in `work_`.
  void free_owned(Obj* o);
  void destroy(Obj* o);
  void free_tree(Obj* o);  // free_owned of `o` and of every owned descendant  // frees `o` itself, after its children were handled
  void mark(Obj* o, std::vector<Obj*>& stack);

  const std::vector<ClassLayout>& classes_;
  bool tracking_;        // the program has gc classes: objects are registered
  bool stress_ = false;
  PtrSet live_;  // registered objects that can hold references
  Obj* gc_list_ = nullptr;
  std::size_t gc_count_ = 0;
  std::size_t in_use_ = 0;  // bytes of objects and container storage held
  std::size_t threshold_ = std::size_t(4) << 20;
  std::size_t collections_ = 0;
  std::vector<Obj*> work_;
  struct FreeBlock {
    FreeBlock* next;
  };
  FreeBlock* free_[small_limit / 8 + 1] = {};
  std::vector<RootSource> sources_;
};

}  // namespace Vm
