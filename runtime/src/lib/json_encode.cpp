// json.encode (builtin 57): compact JSON of a value. Records and classes are
// objects with their named fields in slot order, a multi is an array, a map
// an object (keys that are not Text are written as their decimal text),
// Text is a string, Bytes a base64 string, Float the shortest text that
// reads back to the same double (null for inf and nan), nil is null.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "lib/json.hpp"
#include "lib/state.hpp"

namespace Vm {

namespace {

void put_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | cp >> 6));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | cp >> 12));
    out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | cp >> 18));
    out.push_back(char(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

// The length of the valid UTF-8 sequence at s[i], or 0.
std::size_t utf8_len(std::string_view s, std::size_t i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  }
  if (n == 3 && ((c == 0xE0 && b(i + 1) < 0xA0) || (c == 0xED && b(i + 1) >= 0xA0))) return 0;
  if (n == 4 && ((c == 0xF0 && b(i + 1) < 0x90) || (c == 0xF4 && b(i + 1) >= 0x90))) return 0;
  return n;
}

const char base64_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void put_base64(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t i = 0;
  for (; i + 3 <= s.size(); i += 3) {
    std::uint32_t v = std::uint32_t(std::uint8_t(s[i])) << 16 | std::uint32_t(std::uint8_t(s[i + 1])) << 8 |
                      std::uint8_t(s[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out.push_back(base64_chars[v >> k & 63]);
  }
  if (i < s.size()) {
    std::uint32_t v = std::uint32_t(std::uint8_t(s[i])) << 16;
    if (i + 1 < s.size()) v |= std::uint32_t(std::uint8_t(s[i + 1])) << 8;
    out.push_back(base64_chars[v >> 18 & 63]);
    out.push_back(base64_chars[v >> 12 & 63]);
    out.push_back(i + 1 < s.size() ? base64_chars[v >> 6 & 63] : '=');
    out.push_back('=');
  }
  out.push_back('"');
}

// An instance, multi or map being written, and the next slot, element or
// entry to write.
struct Open {
  Obj* o;
  std::uint32_t meta;  // the element class of a multi, the value class of a map
  std::uint32_t next = 0;
  bool wrote = false;  // a member or element was written
};

// Writes with a stack of open containers, not with recursion, so a value
// nested a million deep costs memory of this stack only. A gc instance
// met again inside itself is a cycle: refused instead of written forever.
struct Encoder {
  Machine& vm;
  std::string out;
  std::vector<Open> open;
  std::unordered_set<const Obj*> gc_open;  // gc instances on the open path

  void value(Value v, Kind k, std::uint32_t meta) {
    switch (k) {
      case Kind::SCALAR:
        if (meta == Bytecode::meta_bool || meta == Bytecode::meta_nullable_bool) {
          if (as_int(v) == nil_int) out += "null";
          else out += v != 0 ? "true" : "false";
        } else if (meta == Bytecode::meta_nullable_scalar && as_int(v) == nil_int) {
          out += "null";
        } else if (meta < vm.program.layouts.size()) {
          out += "null";  // a `ref`: the row it names is not copied into the text
        } else {
          out += int_text(as_int(v));
        }
        return;
      case Kind::FLOAT: {
        double d = as_float(v);
        if (v == nil_float_bits || d != d || d - d != 0) out += "null";
        else out += float_text(d);
        return;
      }
      case Kind::TEXT:
        if (v == 0) out += "null";
        else if (meta == Bytecode::meta_json) out += str_view(v);
        else json_put_string(out, str_view(v));
        return;
      case Kind::BYTES:
        if (v == 0) out += "null";
        else put_base64(out, str_view(v));
        return;
      default: begin(v, meta);
    }
  }

  // Starts an instance, a multi or a map (or writes a Text, Bytes or nil
  // found in an object slot whole).
  void begin(Value v, std::uint32_t meta) {
    if (v == 0) {
      out += "null";
      return;
    }
    Obj* o = as_obj(v);
    switch (o->type) {
      case ObjType::INSTANCE:
        if ((o->flags & GC) && !gc_open.insert(o).second) {
          raise_lib(LibError::JSON, "json.encode: the value contains itself (a cycle of gc references)");
        }
        out.push_back('{');
        break;
      case ObjType::MULTI: out.push_back('['); break;
      case ObjType::MAP: out.push_back('{'); break;
      case ObjType::TEXT: json_put_string(out, reinterpret_cast<Str*>(o)->view()); return;
      case ObjType::BYTES: put_base64(out, reinterpret_cast<Str*>(o)->view()); return;
      case ObjType::ERROR: out += "null"; return;
    }
    open.push_back(Open{o, meta});
  }

  // Writes the next member, element or entry of the innermost open value,
  // or closes it.
  void step() {
    Open& top = open.back();
    switch (top.o->type) {
      case ObjType::INSTANCE: {
        auto* inst = reinterpret_cast<Instance*>(top.o);
        const Bytecode::ClassEntry& entry = vm.program.image.classes[top.o->cls];
        std::uint32_t n = std::min<std::uint32_t>(inst->nfields, static_cast<std::uint32_t>(entry.fields.size()));
        while (top.next < n && entry.fields[top.next].name == Bytecode::none) ++top.next;
        if (top.next == n) {
          out.push_back('}');
          if (top.o->flags & GC) gc_open.erase(top.o);
          open.pop_back();
          return;
        }
        const Bytecode::Field& f = entry.fields[top.next];
        if (top.wrote) out.push_back(',');
        top.wrote = true;
        json_put_string(out, vm.program.image.constants[f.name].text);
        out.push_back(':');
        Value v = inst->fields[top.next++];
        return value(v, Kind(f.kind), f.class_meta);  // may push: `top` is not used after
      }
      case ObjType::MULTI: {
        auto* m = reinterpret_cast<Multi*>(top.o);
        if (top.next == m->count) {
          out.push_back(']');
          open.pop_back();
          return;
        }
        if (top.next != 0) out.push_back(',');
        Value v = m->items[top.next++];
        return value(v, m->elem(), top.meta);
      }
      case ObjType::MAP: {
        auto* m = reinterpret_cast<Map*>(top.o);
        if (top.next == m->count) {
          out.push_back('}');
          open.pop_back();
          return;
        }
        if (top.next != 0) out.push_back(',');
        const MapEntry& e = m->entries[top.next++];
        Value key = e.key;
        if (m->key() == Kind::TEXT) json_put_string(out, key == 0 ? std::string_view{} : str_view(key));
        else if (m->key() == Kind::FLOAT) json_put_string(out, float_text(as_float(key)));
        else if (m->key() == Kind::BYTES) put_base64(out, key == 0 ? std::string_view{} : str_view(key));
        else json_put_string(out, int_text(as_int(key)));
        out.push_back(':');
        return value(e.val, m->val(), top.meta);
      }
      default: open.pop_back(); return;
    }
  }

  void write(Value v) {
    begin(v, Bytecode::none);
    while (!open.empty()) step();
  }
};

// The argument's kind is not in the instruction: a word that is a readable,
// well-formed heap object is encoded as that object, anything else as an
// Int. Reading through process_vm_readv never faults on a word that is
// really a number.
bool looks_like_object(Machine& vm, Value v) {
  if (v < 65536 || (v & 7) != 0 || v > 0x00007FFFFFFFFFFFULL) return false;
  Obj h{};
  iovec local{&h, sizeof h};
  iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(v)), sizeof h};
  if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(sizeof h)) return false;
  switch (h.type) {
    case ObjType::INSTANCE: {
      if (h.cls >= vm.program.layouts.size()) return false;
      std::uint32_t n = 0;
      iovec l2{&n, sizeof n};
      iovec r2{reinterpret_cast<char*>(static_cast<std::uintptr_t>(v)) + offsetof(Instance, nfields), sizeof n};
      return process_vm_readv(getpid(), &l2, 1, &r2, 1, 0) == static_cast<ssize_t>(sizeof n) &&
             n == vm.program.layouts[h.cls].kinds.size();
    }
    case ObjType::TEXT:
    case ObjType::BYTES:
    case ObjType::MULTI:
    case ObjType::MAP: return h.borrows >= -1 && (h.flags & ~(GC | MARKED | IMMORTAL)) == 0;
    default: return false;
  }
}

Value b_encode(Machine& vm, const Call& c) {
  Encoder e{vm, {}, {}, {}};
  Value v = c.args[0];
  if (v == 0) e.out = "null";
  else if (looks_like_object(vm, v)) e.write(v);
  else e.out = int_text(as_int(v));
  return new_text(vm, e.out);
}

}  // namespace

void json_put_string(std::string& out, std::string_view s) {
  static const char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      std::size_t n = utf8_len(s, i);
      if (n == 0) {
        out += "\\ufffd";  // a byte that is not UTF-8
        ++i;
      } else {
        out.append(s.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 15]);
        } else {
          out.push_back(char(c));
        }
    }
    ++i;
  }
  out.push_back('"');
}

void json_put_utf8(std::string& out, std::uint32_t cp) { put_utf8(out, cp); }

void register_json_builtins(BuiltinTable& t) {
  t.add(unsigned(Bytecode::Builtin::JSON_ENCODE), b_encode, 1, "json.encode");
  t.add(unsigned(Bytecode::Builtin::JSON_DECODE), b_json_decode, -1, "json.decode");
  t.add(unsigned(Bytecode::Builtin::JSON_LAST_ERROR), b_json_last_error, 0, "json.last_error");
}

}  // namespace Vm
