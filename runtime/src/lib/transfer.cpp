#include "lib/transfer.hpp"

#include <cstring>

#include "containers.hpp"
#include "lib/state.hpp"

namespace Vm {

namespace {

constexpr int max_depth = 10000;

// A message is an instance of a class, record or union variant, or the tag
// of a union without payloads (a small Int).
bool is_scalar_message(Value v) { return v < 65536; }

struct Packer {
  const Machine& vm;
  std::string& out;

  void word(std::uint64_t w) { out.append(reinterpret_cast<const char*>(&w), sizeof w); }

  void value(Value v, Kind k, int depth) {
    if (depth > max_depth) raise(ErrorCode::BAD_ARGUMENT, "send: the message nests too deeply to be sent");
    switch (k) {
      case Kind::TEXT:
      case Kind::BYTES: {
        word(v == 0 ? ~std::uint64_t(0) : as_str(v)->len);
        if (v != 0) out.append(str_view(v));
        return;
      }
      case Kind::OWNED:
      case Kind::MULTI:
      case Kind::MAP: object(v, depth);
        return;
      case Kind::GCREF: word(0); return;  // the type checker keeps these out of messages
      default: word(v);
    }
  }

  void object(Value v, int depth) {
    if (v == 0) {
      out.push_back('\0');
      return;
    }
    Obj* o = as_obj(v);
    switch (o->type) {
      case ObjType::INSTANCE: {
        auto* inst = reinterpret_cast<Instance*>(o);
        out.push_back('I');
        word(o->cls);
        const ClassLayout& layout = vm.program.layouts[o->cls];
        for (std::uint32_t i = 0; i < inst->nfields; ++i) value(inst->fields[i], layout.kinds[i], depth + 1);
        return;
      }
      case ObjType::MULTI: {
        auto* m = reinterpret_cast<Multi*>(o);
        out.push_back('M');
        word(o->kinds);
        word(m->count);
        for (std::uint32_t i = 0; i < m->count; ++i) value(m->items[i], m->elem(), depth + 1);
        return;
      }
      case ObjType::MAP: {
        auto* m = reinterpret_cast<Map*>(o);
        out.push_back('P');
        word(o->kinds);
        word(m->count);
        for (std::uint32_t i = 0; i < m->count; ++i) {
          value(m->entries[i].key, m->key(), depth + 1);
          value(m->entries[i].val, m->val(), depth + 1);
        }
        return;
      }
      case ObjType::TEXT:
      case ObjType::BYTES:
        out.push_back(o->type == ObjType::TEXT ? 'T' : 'B');
        value(v, Kind::TEXT, depth);
        return;
      default: out.push_back('\0');
    }
  }
};

struct Unpacker {
  Machine& vm;
  std::string_view& in;

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
    return bytes ? new_bytes(vm, s) : new_text(vm, s);
  }

  Value value(Kind k) {
    switch (k) {
      case Kind::TEXT: return text(false);
      case Kind::BYTES: return text(true);
      case Kind::OWNED:
      case Kind::MULTI:
      case Kind::MAP: return object();
      default: return word();
    }
  }

  // Objects are built before their children are filled, so a failure
  // (out of memory) leaves a droppable value.
  Value object() {
    char tag = in[0];
    in.remove_prefix(1);
    switch (tag) {
      case 'I': {
        auto cls = static_cast<std::uint32_t>(word());
        Instance* inst = vm.heap.instance(cls);
        Value result = from_ptr(inst);
        try {
          const ClassLayout& layout = vm.heap.layout(cls);
          for (std::uint32_t i = 0; i < inst->nfields; ++i) inst->fields[i] = value(layout.kinds[i]);
        } catch (...) {
          vm.heap.drop(result);
          throw;
        }
        return result;
      }
      case 'M': {
        auto kinds = static_cast<std::uint16_t>(word());
        auto n = static_cast<std::uint32_t>(word());
        Multi* m = vm.heap.multi(Kind(kinds & 0xf), n);
        Value result = from_ptr(m);
        try {
          for (std::uint32_t i = 0; i < n; ++i) m->items[m->count++] = value(m->elem());
        } catch (...) {
          vm.heap.drop(result);
          throw;
        }
        return result;
      }
      case 'P': {
        auto kinds = static_cast<std::uint8_t>(word());
        auto n = static_cast<std::uint32_t>(word());
        Map* m = vm.heap.map(kinds);
        Value result = from_ptr(m);
        try {
          for (std::uint32_t i = 0; i < n; ++i) {
            Value key = value(m->key());
            Value val = 0;
            try {
              val = value(m->val());
              map_set(vm.heap, m, key, val);
            } catch (...) {
              vm.heap.release(key, m->key());
              vm.heap.release(val, m->val());
              throw;
            }
            // map_set took references of its own to counted keys and values.
            if (is_counted(m->key())) vm.heap.release_str(key);
            if (is_counted(m->val())) vm.heap.release_str(val);
          }
        } catch (...) {
          vm.heap.drop(result);
          throw;
        }
        return result;
      }
      case 'T': return text(false);
      case 'B': return text(true);
      default: return 0;
    }
  }
};

}  // namespace

void pack_value(const Machine& from, Value v, std::string& out) {
  Packer p{from, out};
  if (is_scalar_message(v)) {
    out.push_back('S');
    p.word(v);
  } else {
    p.object(v, 0);
  }
}

Value unpack_value(Machine& to, std::string_view& in) {
  Unpacker u{to, in};
  if (in[0] == 'S') {
    in.remove_prefix(1);
    return u.word();
  }
  return u.object();
}

}  // namespace Vm
