#include "lib/transfer.hpp"

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "containers.hpp"
#include "lib/state.hpp"

namespace Vm {

namespace {

// A message is an instance of a class, record or union variant, or the tag
// of a union without payloads (a small Int).
bool is_scalar_message(Value v) { return v < 65536; }

// The packed form, in the order the slots of containers.hpp are visited:
// an object is a tag byte ('I' class, 'M' kinds count, 'P' kinds count, 'T'
// and 'B' a text, 0 nil) followed by its slots; a Text or Bytes slot is its
// length (all ones for nil) and bytes; any other slot is its word. Both
// walks keep their own stack, so a value nested to any depth travels
// without deep recursion.
struct Packer {
  const Machine& vm;
  std::string& out;
  struct Step {
    Obj* obj;
    std::uint32_t next;
  };
  std::vector<Step> stack;

  void word(std::uint64_t w) { out.append(reinterpret_cast<const char*>(&w), sizeof w); }

  void text(Value v) {
    word(v == 0 ? ~std::uint64_t(0) : as_str(v)->len);
    if (v != 0) out.append(str_view(v));
  }

  // The tag and header of an object; its slots follow as the walk reaches them.
  void begin(Value v) {
    if (v == 0) {
      out.push_back('\0');
      return;
    }
    Obj* o = as_obj(v);
    switch (o->type) {
      case ObjType::INSTANCE:
        out.push_back('I');
        word(o->cls);
        break;
      case ObjType::MULTI:
        out.push_back('M');
        word(o->kinds);
        word(reinterpret_cast<Multi*>(o)->count);
        break;
      case ObjType::MAP:
        out.push_back('P');
        word(o->kinds);
        word(reinterpret_cast<Map*>(o)->count);
        break;
      case ObjType::TEXT:
      case ObjType::BYTES:
        out.push_back(o->type == ObjType::TEXT ? 'T' : 'B');
        text(v);
        return;
      default: out.push_back('\0'); return;
    }
    stack.push_back(Step{o, 0});
  }

  void slot(Value v, Kind k) {
    switch (k) {
      case Kind::TEXT:
      case Kind::BYTES: text(v); return;
      case Kind::OWNED:
      case Kind::MULTI:
      case Kind::MAP: begin(v); return;
      case Kind::GCREF: word(0); return;  // the type checker keeps these out of messages
      default: word(v);
    }
  }

  void object(Value v) {
    begin(v);
    while (!stack.empty()) {
      Step& s = stack.back();
      if (s.next == slot_count(s.obj)) {
        stack.pop_back();
        continue;
      }
      Kind k;
      Value v = *slot_at(vm.heap, s.obj, s.next++, k);
      slot(v, k);  // `s` may move from here on
    }
  }
};

struct Unpacker {
  Machine& vm;
  std::string_view& in;
  struct Step {
    Obj* obj;
    std::uint32_t next;   // the next slot (a map: the next entry)
    std::uint32_t count;  // slots (a map: entries)
  };
  std::vector<Step> stack;

  std::uint64_t word() {
    std::uint64_t w = 0;
    std::memcpy(&w, in.data(), sizeof w);
    in.remove_prefix(sizeof w);
    return w;
  }

  Value text(bool bytes) {
    std::uint64_t n = word();
    if (n == ~std::uint64_t(0)) return 0;
    std::string_view s = in.substr(0, static_cast<std::size_t>(n));
    in.remove_prefix(static_cast<std::size_t>(n));
    return from_ptr(bytes ? vm.heap.bytes(s) : vm.heap.text(s));
  }

  // Builds the object that starts here into `into` (stored before its
  // slots are filled, so a failure leaves a droppable value behind).
  void begin(Value& into) {
    char tag = in[0];
    in.remove_prefix(1);
    switch (tag) {
      case 'I': {
        auto cls = static_cast<std::uint32_t>(word());
        Instance* inst = vm.heap.instance(cls);
        into = from_ptr(inst);
        stack.push_back(Step{&inst->h, 0, inst->nfields});
        return;
      }
      case 'M': {
        auto kinds = static_cast<std::uint16_t>(word());
        auto n = static_cast<std::uint32_t>(word());
        Multi* m = vm.heap.multi(Kind(kinds & 0xf));
        into = from_ptr(m);
        vm.heap.multi_reserve(m, n);
        stack.push_back(Step{&m->h, 0, n});
        return;
      }
      case 'P': {
        auto kinds = static_cast<std::uint8_t>(word());
        auto n = static_cast<std::uint32_t>(word());
        Map* m = vm.heap.map(kinds);
        into = from_ptr(m);
        stack.push_back(Step{&m->h, 0, n});
        return;
      }
      case 'T': into = text(false); return;
      case 'B': into = text(true); return;
      default: into = 0; return;
    }
  }

  void slot(Value& into, Kind k) {
    switch (k) {
      case Kind::TEXT: into = text(false); return;
      case Kind::BYTES: into = text(true); return;
      case Kind::OWNED:
      case Kind::MULTI:
      case Kind::MAP: begin(into); return;
      default: into = word();
    }
  }

  // The next slot of the object `s` builds; `s` may move once it returns.
  void fill(Step& s) {
    std::uint32_t i = s.next++;
    switch (s.obj->type) {
      case ObjType::INSTANCE: {
        auto* inst = reinterpret_cast<Instance*>(s.obj);
        slot(inst->fields[i], vm.heap.layout(s.obj->cls).kinds[i]);
        return;
      }
      case ObjType::MULTI: {
        auto* m = reinterpret_cast<Multi*>(s.obj);
        m->items[m->count] = 0;
        ++m->count;
        slot(m->items[m->count - 1], m->elem());
        return;
      }
      default: {
        // A key is never an object; the entry is made with a nil value,
        // which the value's bytes then fill in place.
        auto* m = reinterpret_cast<Map*>(s.obj);
        Value key = 0;
        slot(key, m->key());
        try {
          map_set(vm.heap, m, key, 0);
        } catch (...) {
          vm.heap.release(key, m->key());
          throw;
        }
        if (is_counted(m->key())) vm.heap.release_str(key);  // map_set took its own reference
        slot(m->entries[map_find(m, key)].val, m->val());
      }
    }
  }

  Value object() {
    Value result = 0;
    try {
      begin(result);
      while (!stack.empty()) {
        Step& s = stack.back();
        if (s.next == s.count) stack.pop_back();
        else fill(s);
      }
    } catch (...) {
      vm.heap.drop(result);
      throw;
    }
    return result;
  }
};

}  // namespace

void pack_value(const Machine& from, Value v, std::string& out) {
  Packer p{from, out, {}};
  if (is_scalar_message(v)) {
    out.push_back('S');
    p.word(v);
  } else {
    p.object(v);
  }
}

Value unpack_value(Machine& to, std::string_view& in) {
  Unpacker u{to, in, {}};
  if (in[0] == 'S') {
    in.remove_prefix(1);
    return u.word();
  }
  try {
    return u.object();
  } catch (const std::bad_alloc&) {
    // The receiving actor may unpack outside any call of the program.
    raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  } catch (const std::length_error&) {
    raise(ErrorCode::OUT_OF_MEMORY, "out of memory");
  }
}

}  // namespace Vm
