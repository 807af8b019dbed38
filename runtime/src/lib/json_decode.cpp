// The checked decode `json.decode(text) as T` (builtin 58): one pass over
// the text that builds the T directly. Members are matched to fields by
// name in any order and unknown members are skipped (still checked to be
// well formed). Any malformed text, a value of the wrong type, a missing
// field that cannot be nil, or a top-level value that is not an object
// makes the result nil; what was built so far is dropped.
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "containers.hpp"
#include "lib/json.hpp"
#include "lib/state.hpp"

namespace Vm {

namespace {

constexpr int max_depth = 256;

struct Failed {};  // unwinds the decoder to its entry; never leaves this file

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool base64_decode(std::string_view s, std::string& out) {
  if (s.size() % 4 != 0) return false;
  for (std::size_t i = 0; i < s.size(); i += 4) {
    int v[4];
    for (int k = 0; k < 4; ++k) {
      char c = s[i + std::size_t(k)];
      bool pad_ok = c == '=' && i + 4 == s.size() && k >= 2 && (k == 3 || s[i + 3] == '=');
      v[k] = pad_ok ? 0 : base64_value(c);
      if (v[k] < 0) return false;
    }
    std::uint32_t w = std::uint32_t(v[0]) << 18 | std::uint32_t(v[1]) << 12 | std::uint32_t(v[2]) << 6 | std::uint32_t(v[3]);
    out.push_back(char(w >> 16));
    if (s[i + 2] != '=') out.push_back(char(w >> 8 & 0xff));
    if (s[i + 3] != '=') out.push_back(char(w & 0xff));
  }
  return true;
}

struct Decoder {
  Machine& vm;
  const char* p;
  const char* end;
  std::string buf;  // the last string read
  // Field slots by member name, per class, made on first use.
  std::unordered_map<std::uint32_t, std::unordered_map<std::string_view, std::uint32_t>> slots;

  [[noreturn]] void fail() { throw Failed{}; }

  void ws() {
    while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
  }
  char peek() {
    ws();
    return p < end ? *p : '\0';
  }
  void expect(char c) {
    if (peek() != c) fail();
    ++p;
  }
  bool literal(const char* word) {
    std::size_t n = std::strlen(word);
    if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, word, n) != 0) return false;
    p += n;
    return true;
  }

  unsigned hex4() {
    if (end - p < 4) fail();
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = *p++;
      v <<= 4;
      if (c >= '0' && c <= '9') v |= unsigned(c - '0');
      else if (c >= 'a' && c <= 'f') v |= unsigned(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= unsigned(c - 'A' + 10);
      else fail();
    }
    return v;
  }

  // A string into buf (escapes decoded to UTF-8).
  void string() {
    expect('"');
    buf.clear();
    for (;;) {
      const char* run = p;
      while (p < end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) ++p;
      buf.append(run, static_cast<std::size_t>(p - run));
      if (p >= end) fail();
      char c = *p++;
      if (c == '"') return;
      if (c != '\\') fail();  // a raw control byte
      if (p >= end) fail();
      c = *p++;
      switch (c) {
        case '"': buf.push_back('"'); break;
        case '\\': buf.push_back('\\'); break;
        case '/': buf.push_back('/'); break;
        case 'b': buf.push_back('\b'); break;
        case 'f': buf.push_back('\f'); break;
        case 'n': buf.push_back('\n'); break;
        case 'r': buf.push_back('\r'); break;
        case 't': buf.push_back('\t'); break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xDC00 && cp <= 0xDFFF) fail();  // a lone low surrogate
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (end - p < 2 || p[0] != '\\' || p[1] != 'u') fail();
            p += 2;
            unsigned lo = hex4();
            if (lo < 0xDC00 || lo > 0xDFFF) fail();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          json_put_utf8(buf, cp);
          break;
        }
        default: fail();
      }
    }
  }

  // The extent of a number; `integral` tells whether it has no fraction
  // and no exponent.
  std::string_view number(bool& integral) {
    ws();
    const char* start = p;
    integral = true;
    if (p < end && *p == '-') ++p;
    if (p >= end) fail();
    if (*p == '0') {
      ++p;
    } else if (*p >= '1' && *p <= '9') {
      while (p < end && *p >= '0' && *p <= '9') ++p;
    } else {
      fail();
    }
    if (p < end && *p == '.') {
      integral = false;
      ++p;
      if (p >= end || *p < '0' || *p > '9') fail();
      while (p < end && *p >= '0' && *p <= '9') ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
      integral = false;
      ++p;
      if (p < end && (*p == '+' || *p == '-')) ++p;
      if (p >= end || *p < '0' || *p > '9') fail();
      while (p < end && *p >= '0' && *p <= '9') ++p;
    }
    return {start, static_cast<std::size_t>(p - start)};
  }

  std::int64_t int_number() {
    bool integral;
    std::string_view s = number(integral);
    if (!integral) fail();
    std::int64_t v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) fail();
    return v;
  }

  double float_number() {
    bool integral;
    std::string_view s = number(integral);
    double d = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), d);
    if (r.ptr != s.data() + s.size()) fail();
    if (r.ec == std::errc::result_out_of_range) {
      // Beyond a double's range: strtod gives the nearest (inf or zero).
      d = std::strtod(std::string(s).c_str(), nullptr);
    } else if (r.ec != std::errc()) {
      fail();
    }
    return d;
  }

  // Skips any value, checking that it is well formed.
  void skip(int depth) {
    if (depth > max_depth) fail();
    char c = peek();
    if (c == '"') {
      string();
    } else if (c == '{') {
      ++p;
      if (peek() == '}') {
        ++p;
        return;
      }
      for (;;) {
        string();
        expect(':');
        skip(depth + 1);
        if (peek() == ',') {
          ++p;
          continue;
        }
        expect('}');
        return;
      }
    } else if (c == '[') {
      ++p;
      if (peek() == ']') {
        ++p;
        return;
      }
      for (;;) {
        skip(depth + 1);
        if (peek() == ',') {
          ++p;
          continue;
        }
        expect(']');
        return;
      }
    } else if (c == 't' || c == 'f' || c == 'n') {
      if (!literal("true") && !literal("false") && !literal("null")) fail();
    } else {
      bool integral;
      number(integral);
    }
  }

  bool null_next() {
    if (peek() == 'n') {
      if (!literal("null")) fail();
      return true;
    }
    return false;
  }

  bool boolean() {
    if (peek() == 't' && literal("true")) return true;
    if (peek() == 'f' && literal("false")) return false;
    fail();
  }

  // A value for a holder of kind k whose class meta is `meta` and element
  // meta `elem`. `nullable` is what the image tells of a nil; `in_elem`
  // accepts true/false for scalar elements, whose Bool-ness is not recorded.
  Value value(Kind k, std::uint32_t meta, std::uint32_t elem, int depth, bool in_elem) {
    if (depth > max_depth) fail();
    switch (k) {
      case Kind::SCALAR:
        if (meta == Bytecode::meta_bool) return from_bool(boolean());
        if (meta == Bytecode::meta_nullable_bool) return null_next() ? from_int(nil_int) : from_bool(boolean());
        if (meta == Bytecode::meta_nullable_scalar) return null_next() ? from_int(nil_int) : from_int(int_number());
        if (meta < vm.program.layouts.size()) {  // a `ref`: only null can be decoded
          if (!null_next()) fail();
          return 0;
        }
        if (in_elem && (peek() == 't' || peek() == 'f')) return from_bool(boolean());
        return from_int(int_number());
      case Kind::FLOAT:
        if (meta == Bytecode::meta_nullable_float && null_next()) return nil_float_bits;
        return from_float(float_number());
      case Kind::TEXT:
        if (null_next()) return 0;
        if (meta == Bytecode::meta_json) {
          ws();
          const char* start = p;
          skip(depth);
          return new_text(vm, std::string_view(start, static_cast<std::size_t>(p - start)));
        }
        string();
        return new_text(vm, buf);
      case Kind::BYTES: {
        if (null_next()) return 0;
        string();
        std::string bytes;
        if (!base64_decode(buf, bytes)) fail();
        return new_bytes(vm, bytes);
      }
      case Kind::MULTI: return null_next() ? 0 : array(elem, meta, depth);
      case Kind::MAP: return null_next() ? 0 : map(elem, meta, depth);
      case Kind::OWNED:
      case Kind::GCREF:
        if (null_next()) return 0;
        if (meta >= vm.program.layouts.size()) fail();  // a union or an unknown class
        return object(meta, depth);
    }
    fail();
  }

  Value array(std::uint32_t elem, std::uint32_t meta, int depth) {
    Kind ek = Kind(elem & 0xf);
    Multi* m = vm.heap.multi(ek);
    Value result = from_ptr(m);
    try {
      expect('[');
      if (peek() == ']') {
        ++p;
        return result;
      }
      for (;;) {
        Value v = value(ek, meta, 0, depth + 1, true);
        try {
          vm.heap.multi_push(m, v);
        } catch (...) {
          vm.heap.release(v, ek);
          throw;
        }
        if (peek() == ',') {
          ++p;
          continue;
        }
        expect(']');
        return result;
      }
    } catch (...) {
      vm.heap.drop(result);
      throw;
    }
  }

  Value map(std::uint32_t elem, std::uint32_t meta, int depth) {
    Kind kk = Kind(elem & 0xf), vk = Kind(elem >> 4 & 0xf);
    if (kk != Kind::TEXT && kk != Kind::SCALAR) fail();
    Map* m = vm.heap.map(static_cast<std::uint8_t>(elem));
    Value result = from_ptr(m);
    try {
      expect('{');
      if (peek() == '}') {
        ++p;
        return result;
      }
      for (;;) {
        string();
        Value key;
        if (kk == Kind::TEXT) {
          key = new_text(vm, buf);
        } else {
          std::int64_t i = 0;
          auto r = std::from_chars(buf.data(), buf.data() + buf.size(), i);
          if (buf.empty() || r.ec != std::errc() || r.ptr != buf.data() + buf.size()) fail();
          key = from_int(i);
        }
        Value v = 0;
        try {
          expect(':');
          v = value(vk, meta, 0, depth + 1, true);
          map_set(vm.heap, m, key, v);
        } catch (...) {
          if (kk == Kind::TEXT) vm.heap.release_str(key);
          vm.heap.release(v, vk);
          throw;
        }
        // map_set took references of its own to counted keys and values.
        if (kk == Kind::TEXT) vm.heap.release_str(key);
        if (is_counted(vk)) vm.heap.release_str(v);
        if (peek() == ',') {
          ++p;
          continue;
        }
        expect('}');
        return result;
      }
    } catch (...) {
      vm.heap.drop(result);
      throw;
    }
  }

  const std::unordered_map<std::string_view, std::uint32_t>& slots_of(std::uint32_t cls) {
    auto it = slots.find(cls);
    if (it != slots.end()) return it->second;
    auto& table = slots[cls];
    const Bytecode::ClassEntry& entry = vm.program.image.classes[cls];
    for (std::uint32_t i = 0; i < entry.fields.size(); ++i) {
      if (entry.fields[i].name != Bytecode::none) table.emplace(vm.program.image.constants[entry.fields[i].name].text, i);
    }
    return table;
  }

  Value object(std::uint32_t cls, int depth) {
    const Bytecode::ClassEntry& entry = vm.program.image.classes[cls];
    const ClassLayout& layout = vm.heap.layout(cls);
    Instance* inst = vm.heap.instance(cls);
    Value result = from_ptr(inst);
    bool gc = (inst->h.flags & GC) != 0;
    // A gc instance is not dropped on failure: the collector takes it.
    try {
      std::vector<bool> seen(inst->nfields, false);
      const auto& by_name = slots_of(cls);
      expect('{');
      if (peek() == '}') {
        ++p;
      } else {
        for (;;) {
          string();
          auto it = by_name.find(buf);
          expect(':');
          if (it == by_name.end()) {
            skip(depth + 1);
          } else {
            std::uint32_t slot = it->second;
            const Bytecode::Field& f = entry.fields[slot];
            Value v = value(Kind(f.kind), f.class_meta, f.elem_meta, depth + 1, false);
            if (seen[slot]) vm.heap.release(inst->fields[slot], layout.kinds[slot]);  // the last one wins
            inst->fields[slot] = v;
            seen[slot] = true;
          }
          if (peek() == ',') {
            ++p;
            continue;
          }
          expect('}');
          break;
        }
      }
      for (std::uint32_t i = 0; i < inst->nfields; ++i) {
        if (!seen[i]) inst->fields[i] = missing(entry.fields[i]);
      }
    } catch (...) {
      if (!gc) vm.heap.drop(result);
      throw;
    }
    return result;
  }

  // The value of a field the text does not give.
  Value missing(const Bytecode::Field& f) {
    switch (Kind(f.kind)) {
      case Kind::SCALAR:
        if (f.class_meta == Bytecode::meta_nullable_bool || f.class_meta == Bytecode::meta_nullable_scalar) return from_int(nil_int);
        if (f.class_meta < vm.program.layouts.size()) return 0;  // a `ref`
        fail();
      case Kind::FLOAT:
        if (f.class_meta == Bytecode::meta_nullable_float) return nil_float_bits;
        fail();
      case Kind::MULTI: return from_ptr(vm.heap.multi(Kind(f.elem_meta & 0xf)));
      case Kind::MAP: return from_ptr(vm.heap.map(static_cast<std::uint8_t>(f.elem_meta)));
      default: return 0;  // Text, Bytes and instances: nil
    }
  }
};

}  // namespace

Value json_decode(Machine& vm, std::string_view text, std::uint32_t cls) {
  Decoder d{vm, text.data(), text.data() + text.size(), {}, {}};
  try {
    if (d.peek() != '{') return 0;
    Value v = d.object(cls, 0);
    d.ws();
    if (d.p != d.end) {  // something after the object
      if (!(vm.heap.layout(cls).gc)) vm.heap.drop(v);
      return 0;
    }
    return v;
  } catch (const Failed&) {
    return 0;
  }
}

Value b_json_decode(Machine& vm, const Call& c) {
  if (c.args + 2 > c.window_end) raise(ErrorCode::BAD_ARGUMENT, "json.decode: the target class is missing");
  std::uint32_t cls = class_arg(vm, c.args[1], "json.decode");
  if (c.args[0] == 0) return 0;
  return json_decode(vm, str_view(c.args[0]), cls);
}

}  // namespace Vm
