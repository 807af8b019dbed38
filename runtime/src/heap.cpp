#include "heap.hpp"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace Vm {

namespace {

// Kinds whose values lead to other objects the collector must visit.
bool leads_on(Kind k) {
  return k == Kind::OWNED || k == Kind::GCREF || k == Kind::MULTI || k == Kind::MAP;
}

constexpr std::size_t max_object = std::size_t(1) << 40;
constexpr std::size_t min_threshold = std::size_t(4) << 20;

}  // namespace

Heap::Heap(const std::vector<ClassLayout>& classes, bool tracking)
    : classes_(classes), tracking_(tracking) {}

Heap::~Heap() {
  // Whatever gc instances remain at exit: release what they own, then them.
  std::vector<Obj*> dead;
  for (Obj* o = gc_list_; o != nullptr; o = o->gc_next) dead.push_back(o);
  gc_list_ = nullptr;
  for (Obj* o : dead) free_tree(o);
  for (FreeBlock*& list : free_) {
    while (list != nullptr) {
      FreeBlock* next = list->next;
      std::free(list);
      list = next;
    }
  }
}

namespace {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitized = true;
#else
constexpr bool address_sanitized = false;
#endif
}  // namespace

void* Heap::allocate(std::size_t size) {
  if (size <= small_limit) {
    std::size_t c = (size + 7) / 8;
    if (FreeBlock* b = free_[c]) {
      free_[c] = b->next;
      in_use_ += size;
      return b;
    }
    void* p = std::malloc(c * 8);
    if (p == nullptr) raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
    in_use_ += size;
    return p;
  }
  if (size > max_object) raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  void* p = std::malloc(size);
  if (p == nullptr) raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  in_use_ += size;
  return p;
}

void Heap::recycle(void* p, std::size_t size) {
  in_use_ -= size;
  // Under AddressSanitizer every block goes back to malloc, so that a use of
  // a freed object is caught instead of reading a recycled one.
  if (size > small_limit || address_sanitized) {
    std::free(p);
    return;
  }
  std::size_t c = (size + 7) / 8;
  auto* b = static_cast<FreeBlock*>(p);
  b->next = free_[c];
  free_[c] = b;
}

std::size_t Heap::object_size(const Obj* o, const std::vector<ClassLayout>& classes) {
  switch (o->type) {
    case ObjType::INSTANCE: {
      std::size_t n = classes[o->cls].kinds.size();
      return offsetof(Instance, fields) + (n == 0 ? 1 : n) * sizeof(Value);
    }
    case ObjType::TEXT:
    case ObjType::BYTES: return offsetof(Str, data) + reinterpret_cast<const Str*>(o)->len + 1;
    case ObjType::MULTI: return sizeof(Multi);
    case ObjType::MAP: return sizeof(Map);
    case ObjType::ERROR: return sizeof(ErrorObj);
  }
  return 0;
}

void Heap::note_alloc(Obj* o) {
  if (!tracking_) return;
  live_.insert(o);
  if (o->flags & GC) {
    o->gc_next = gc_list_;
    gc_list_ = o;
    ++gc_count_;
  }
}

void Heap::forget(Obj* o) {
  if (tracking_) live_.erase(o);
}

static void init_header(Obj* o, ObjType type) {
  o->type = type;
  o->flags = 0;
  o->kinds = 0;
  o->refs = 1;
  o->borrows = 0;
  o->cls = 0;
  o->gc_next = nullptr;
}

Str* Heap::text_buffer(std::size_t len) {
  if (len > max_object) raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  auto* s = static_cast<Str*>(allocate(offsetof(Str, data) + len + 1));
  init_header(&s->h, ObjType::TEXT);
  s->len = len;
  s->data[len] = '\0';
  return s;
}

Str* Heap::text(std::string_view bytes) {
  Str* s = text_buffer(bytes.size());
  if (!bytes.empty()) std::memcpy(s->data, bytes.data(), bytes.size());
  return s;
}

Str* Heap::bytes_buffer(std::size_t len) {
  Str* s = text_buffer(len);
  s->h.type = ObjType::BYTES;
  return s;
}

Str* Heap::bytes(std::string_view bytes) {
  Str* s = text(bytes);
  s->h.type = ObjType::BYTES;
  return s;
}

Instance* Heap::instance(std::uint32_t cls) {
  const ClassLayout& layout = classes_[cls];
  std::size_t n = layout.kinds.size();
  std::size_t size = offsetof(Instance, fields) + (n == 0 ? 1 : n) * sizeof(Value);
  auto* o = static_cast<Instance*>(allocate(size));
  init_header(&o->h, ObjType::INSTANCE);
  o->h.cls = cls;
  if (layout.gc) o->h.flags |= GC;
  o->nfields = static_cast<std::uint32_t>(n);
  o->pad = 0;
  std::memset(o->fields, 0, (n == 0 ? 1 : n) * sizeof(Value));
  note_alloc(&o->h);
  return o;
}

Multi* Heap::multi(Kind elem, std::uint32_t cap) {
  auto* m = static_cast<Multi*>(allocate(sizeof(Multi)));
  init_header(&m->h, ObjType::MULTI);
  m->h.kinds = static_cast<std::uint16_t>(elem);
  m->count = 0;
  m->cap = 0;
  m->items = nullptr;
  note_alloc(&m->h);
  if (cap > 0) multi_reserve(m, cap);
  return m;
}

Map* Heap::map(std::uint8_t kinds) {
  auto* m = static_cast<Map*>(allocate(sizeof(Map)));
  init_header(&m->h, ObjType::MAP);
  m->h.kinds = kinds;
  m->count = 0;
  m->cap = 0;
  m->nslots = 0;
  m->pad = 0;
  m->entries = nullptr;
  m->slots = nullptr;
  note_alloc(&m->h);
  return m;
}

ErrorObj* Heap::error(std::int64_t code, std::int64_t line, std::string_view method,
                      std::string_view msg) {
  Str* method_text = text(method);
  Str* msg_text = text(msg);
  auto* e = static_cast<ErrorObj*>(std::malloc(sizeof(ErrorObj)));
  if (e == nullptr) {
    free_str(method_text);
    free_str(msg_text);
    raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  }
  init_header(&e->h, ObjType::ERROR);
  e->code = code;
  e->line = line;
  e->method = method_text;
  e->msg = msg_text;
  return e;
}

void Heap::free_str(Str* s) { recycle(s, offsetof(Str, data) + s->len + 1); }

void Heap::multi_reserve(Multi* m, std::uint32_t cap) {
  if (cap <= m->cap) return;
  void* p = std::realloc(m->items, std::size_t(cap) * sizeof(Value));
  if (p == nullptr) raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  m->items = static_cast<Value*>(p);
  in_use_ += std::size_t(cap - m->cap) * sizeof(Value);
  m->cap = cap;
}

void Heap::multi_push(Multi* m, Value v) {
  if (m->count == m->cap) {
    if (m->cap >= 0x80000000u) raise(ErrorCode::OUT_OF_MEMORY, "out of memory: a multi is too long");
    multi_reserve(m, m->cap < 4 ? 4 : m->cap * 2);
  }
  m->items[m->count++] = v;
}

void Heap::drop(Value v) {
  Obj* first = as_obj(v);
  if (first == nullptr) return;
  if (first->type == ObjType::TEXT || first->type == ObjType::BYTES) {
    release_str(v);
    return;
  }
  if (first->flags & GC) return;
  free_tree(first);
}

void Heap::free_tree(Obj* o) {
  std::size_t floor = work_.size();  // a drop may run inside a sweep's release
  free_owned(o);
  while (work_.size() > floor) {
    Obj* child = work_.back();
    work_.pop_back();
    free_owned(child);
  }
}

// Releases the Texts and Bytes `o` holds, queues its owned children on
// work_ (drop's loop frees them), and frees `o`.
void Heap::free_owned(Obj* o) {
  auto give_back = [&](Value v, Kind k) {
    if (v == 0) return;
    if (is_counted(k)) {
      release_str(v);
    } else if (k == Kind::OWNED || k == Kind::MULTI || k == Kind::MAP) {
      Obj* child = as_obj(v);
      if (child->type == ObjType::TEXT || child->type == ObjType::BYTES) release_str(v);
      else if (!(child->flags & GC)) work_.push_back(child);
    }
  };
  switch (o->type) {
    case ObjType::INSTANCE: {
      auto* inst = reinterpret_cast<Instance*>(o);
      const std::vector<Kind>& kinds = classes_[o->cls].kinds;
      for (std::uint32_t i = 0; i < inst->nfields; ++i) give_back(inst->fields[i], kinds[i]);
      break;
    }
    case ObjType::MULTI: {
      auto* m = reinterpret_cast<Multi*>(o);
      Kind k = m->elem();
      if (is_released(k)) {
        for (std::uint32_t i = 0; i < m->count; ++i) give_back(m->items[i], k);
      }
      break;
    }
    case ObjType::MAP: {
      auto* m = reinterpret_cast<Map*>(o);
      Kind kk = m->key(), vk = m->val();
      for (std::uint32_t i = 0; i < m->count; ++i) {
        give_back(m->entries[i].key, kk);
        give_back(m->entries[i].val, vk);
      }
      break;
    }
    case ObjType::ERROR: {
      auto* e = reinterpret_cast<ErrorObj*>(o);
      release_str(from_ptr(e->method));
      release_str(from_ptr(e->msg));
      break;
    }
    case ObjType::TEXT:
    case ObjType::BYTES: break;
  }
  destroy(o);
}

void Heap::destroy(Obj* o) {
  forget(o);
  if (o->type == ObjType::MULTI) {
    auto* m = reinterpret_cast<Multi*>(o);
    in_use_ -= std::size_t(m->cap) * sizeof(Value);
    std::free(m->items);
  } else if (o->type == ObjType::MAP) {
    auto* m = reinterpret_cast<Map*>(o);
    in_use_ -= map_storage(m);
    std::free(m->entries);
    std::free(m->slots);
  }
  if (o->type == ObjType::ERROR) std::free(o);
  else recycle(o, object_size(o, classes_));
}

void Heap::children(Obj* o, std::vector<Obj*>& out) {
  auto visit = [&](Value v, Kind k) {
    if (v != 0 && leads_on(k)) out.push_back(as_obj(v));
  };
  switch (o->type) {
    case ObjType::INSTANCE: {
      auto* inst = reinterpret_cast<Instance*>(o);
      const ClassLayout& layout = classes_[o->cls];
      if (!layout.holds_refs) return;
      for (std::uint32_t i = 0; i < inst->nfields; ++i) visit(inst->fields[i], layout.kinds[i]);
      break;
    }
    case ObjType::MULTI: {
      auto* m = reinterpret_cast<Multi*>(o);
      if (!leads_on(m->elem())) return;
      for (std::uint32_t i = 0; i < m->count; ++i) visit(m->items[i], m->elem());
      break;
    }
    case ObjType::MAP: {
      auto* m = reinterpret_cast<Map*>(o);
      for (std::uint32_t i = 0; i < m->count; ++i) {
        visit(m->entries[i].key, m->key());
        visit(m->entries[i].val, m->val());
      }
      break;
    }
    default: break;
  }
}

void Heap::mark(Obj* o, std::vector<Obj*>& stack) {
  if (o->type == ObjType::TEXT || o->type == ObjType::BYTES || (o->flags & MARKED)) return;
  o->flags |= MARKED;
  stack.push_back(o);
}

void Heap::collect(const Value* registers, std::size_t count) {
  if (!tracking_) return;
  ++collections_;
  std::vector<Value> roots(registers, registers + count);
  for (const RootSource& source : sources_) source(roots);
  std::vector<Obj*> stack, marked, kids;
  // Roots are candidates: only words that are live objects are traced.
  for (Value v : roots) {
    Obj* o = as_obj(v);
    if (o != nullptr && live_.contains(o)) mark(o, stack);
  }
  while (!stack.empty()) {
    Obj* o = stack.back();
    stack.pop_back();
    marked.push_back(o);
    kids.clear();
    children(o, kids);
    for (Obj* k : kids) mark(k, stack);
  }
  std::vector<Obj*> dead;
  Obj** link = &gc_list_;
  while (*link != nullptr) {
    Obj* o = *link;
    if (o->flags & MARKED) {
      link = &o->gc_next;
    } else {
      *link = o->gc_next;
      dead.push_back(o);
    }
  }
  for (Obj* o : marked) o->flags &= static_cast<std::uint8_t>(~MARKED);
  gc_count_ -= dead.size();
  for (Obj* o : dead) {
    // Its owned children go with it; the gc instances it refers to are
    // judged on their own.
    free_tree(o);
  }
  // What is held now is live (or owned by a live register): the next run
  // comes when that has doubled, so the heap stays within about twice it.
  threshold_ = in_use_ + (in_use_ > min_threshold ? in_use_ : min_threshold);
}

}  // namespace Vm
