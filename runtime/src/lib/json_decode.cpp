// The checked decode `json.decode(text) as T` (builtin 58): one pass over
// the text that builds the T directly. Members are matched to fields by
// name in any order and unknown members are skipped (still checked to be
// well formed). The decoded value must have the declared types: malformed
// text, a value of the wrong type, a missing or null field that cannot be
// nil, a null element, or a top-level value that is not an object make the
// result nil, what was built so far is dropped, and `json.last_error()`
// tells why.
//
// Nesting is followed with a stack of frames, not with recursion: each
// container is stored in its parent as soon as it is made, so a failure at
// any depth drops the whole partial value from its root.
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "containers.hpp"
#include "lib/json.hpp"
#include "lib/json_lexer.hpp"
#include "lib/state.hpp"

namespace Vm {

namespace {

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

// What the text must give for one holder: a field, an element or a map value.
struct Want {
  Kind kind;
  std::uint32_t meta;  // class meta
  std::uint32_t elem;  // element meta of a container
  bool element;        // an element's Bool-ness is not recorded: true/false is taken for an Int
  bool nullable;
};

// A container being filled. `label` is where the member name or key of
// the value being read begins, `index` its element number: with them a
// refusal names the member.
struct Frame {
  enum class Shape : std::uint8_t { OBJECT, ARRAY, MAP } shape;
  bool started = false;       // a member or element was read
  Value target = 0;           // the instance, multi or map
  std::uint32_t cls = 0;      // OBJECT: its class; ARRAY, MAP: the elements' class meta
  std::uint32_t elem = 0;     // ARRAY, MAP: the element kinds
  std::uint32_t slot = 0;     // OBJECT: the slot being read
  std::uint32_t index = 0;    // ARRAY: the element being read
  std::size_t seen_at = 0;    // OBJECT: its first bit in Decoder::seen
  const char* label = nullptr;
  Value key = 0;              // MAP: the key of the value being read (a Text holds a reference)
};

// Paths longer than this show their last components only.
constexpr std::size_t path_shown = 8;

struct Decoder {
  Machine& vm;
  JsonLexer lx;
  const char* end;  // of the text
  Value root = 0;
  std::string buf;  // the last string read
  std::vector<Frame> frames;
  std::vector<bool> seen;  // per open object, one bit per slot
  // Field slots by member name, per class, made on first use.
  std::unordered_map<std::uint32_t, std::unordered_map<std::string_view, std::uint32_t>> slots;

  Decoder(Machine& m, std::string_view text) : vm(m), lx(text), end(text.data() + text.size()) {}

  bool is_class(std::uint32_t meta) const { return meta < vm.program.layouts.size(); }

  // ---- refusals ----

  // The member being read, as `a.b[2].c`; `extra` is appended (a missing
  // member's name).
  std::string path(std::size_t upto, std::string_view extra) {
    std::vector<std::string> parts;
    std::size_t first = upto > path_shown ? upto - path_shown : 0;
    for (std::size_t i = first; i < upto; ++i) {
      const Frame& f = frames[i];
      if (f.shape == Frame::Shape::ARRAY) {
        parts.push_back("[" + std::to_string(f.index) + "]");
        continue;
      }
      std::string name = "?";
      if (f.label == nullptr) {
        parts.push_back(name);
        continue;
      }
      JsonLexer again(std::string_view(f.label, static_cast<std::size_t>(end - f.label)));
      try {
        again.string(name);
      } catch (const JsonRefused&) {
        name = "?";
      }
      parts.push_back(f.shape == Frame::Shape::MAP ? "[\"" + name + "\"]" : name);
    }
    if (!extra.empty()) parts.emplace_back(extra);
    std::string out = first > 0 ? "…" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if ((i > 0 || first > 0) && parts[i][0] != '[') out += '.';
      out += parts[i];
    }
    return out;
  }
  [[noreturn]] void refuse(std::string_view what) {
    throw JsonRefused{"member `" + path(frames.size(), {}) + "`" + std::string(what)};
  }
  [[noreturn]] void expected(std::string_view what) { refuse(": expected " + std::string(what)); }

  // ---- scalars ----

  bool boolean() {
    char c = lx.peek();
    if (c == 't' && lx.literal("true")) return true;
    if (c == 'f' && lx.literal("false")) return false;
    if (!lx.value_starts()) lx.syntax("expected a value");
    expected("`true` or `false`");
  }

  std::int64_t integer() {
    char c = lx.peek();
    if (c != '-' && (c < '0' || c > '9')) {
      if (!lx.value_starts()) lx.syntax("expected a value");
      expected("an integer");
    }
    bool integral;
    std::string_view s = lx.number(integral);
    if (!integral) expected("an integer");
    std::int64_t v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    // The nil of `?Int` is an Int word: that one value cannot be decoded.
    if (r.ec != std::errc() || v == nil_int) refuse(": " + std::string(s) + " is out of range for an Int");
    return v;
  }

  double floating() {
    char c = lx.peek();
    if (c != '-' && (c < '0' || c > '9')) {
      if (!lx.value_starts()) lx.syntax("expected a value");
      expected("a number");
    }
    bool integral;
    std::string_view s = lx.number(integral);
    double d = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), d);
    // Beyond a double's range: strtod gives the nearest (inf or zero).
    if (r.ec == std::errc::result_out_of_range) d = std::strtod(std::string(s).c_str(), nullptr);
    return d;
  }

  void string_into_buf(std::string_view what) {
    if (lx.peek() != '"') {
      if (!lx.value_starts()) lx.syntax("expected a value");
      expected(what);
    }
    lx.string(buf);
  }

  // ---- storing ----

  // Stores `v` where the innermost frame reads; a counted value's
  // reference passes to the container.
  void store(Value v) {
    Frame& f = frames.back();
    switch (f.shape) {
      case Frame::Shape::OBJECT: {
        auto* inst = as_ptr<Instance>(f.target);
        std::size_t bit = f.seen_at + f.slot;
        if (seen[bit]) vm.heap.release(inst->fields[f.slot], vm.heap.layout(f.cls).kinds[f.slot]);  // the last one wins
        inst->fields[f.slot] = v;
        seen[bit] = true;
        return;
      }
      case Frame::Shape::ARRAY: {
        Kind k = Kind(f.elem & 0xf);
        try {
          vm.heap.multi_push(as_ptr<Multi>(f.target), v);
        } catch (...) {
          vm.heap.release(v, k);
          throw;
        }
        return;
      }
      case Frame::Shape::MAP: {
        Kind kk = Kind(f.elem & 0xf), vk = Kind(f.elem >> 4 & 0xf);
        try {
          map_set(vm.heap, as_ptr<Map>(f.target), f.key, v);
        } catch (...) {
          vm.heap.release(v, vk);
          throw;
        }
        // map_set took references of its own to counted keys and values.
        if (is_counted(kk)) vm.heap.release_str(f.key);
        if (is_counted(vk)) vm.heap.release_str(v);
        f.key = 0;
        return;
      }
    }
  }

  void open(Frame::Shape shape, Value target, std::uint32_t cls, std::uint32_t elem) {
    store(target);
    lx.advance();  // the `{` or `[`
    Frame f{shape};
    f.target = target;
    f.cls = cls;
    f.elem = elem;
    if (shape == Frame::Shape::OBJECT) {
      f.seen_at = seen.size();
      seen.resize(seen.size() + as_ptr<Instance>(target)->nfields, false);
    }
    frames.push_back(f);
  }

  // Reads the value for `w` into the innermost frame; a container is stored
  // empty and gets a frame of its own.
  void read(const Want& w) {
    char c = lx.peek();
    if (c == 'n' && lx.literal("null")) {
      if (!w.nullable) refuse(w.element ? " is null, and the elements cannot be nil" : " is null, and the field cannot be nil");
      store(w.kind == Kind::FLOAT ? nil_float_bits : w.kind == Kind::SCALAR && !is_class(w.meta) ? from_int(nil_int) : 0);
      return;
    }
    switch (w.kind) {
      case Kind::SCALAR:
        if (w.meta == Bytecode::meta_bool || w.meta == Bytecode::meta_nullable_bool) return store(from_bool(boolean()));
        if (is_class(w.meta)) {
          if (!lx.value_starts()) lx.syntax("expected a value");
          expected("null (a `ref` is not decoded)");
        }
        if (w.element && (c == 't' || c == 'f')) return store(from_bool(boolean()));
        return store(from_int(integer()));
      case Kind::FLOAT: return store(from_float(floating()));
      case Kind::TEXT:
        if (w.meta == Bytecode::meta_json) {  // any value, kept as its text
          if (!lx.value_starts()) lx.syntax("expected a value");
          const char* start = lx.pos();
          lx.skip_value();
          return store(new_text(vm, std::string_view(start, static_cast<std::size_t>(lx.pos() - start))));
        }
        string_into_buf("a string");
        return store(new_text(vm, buf));
      case Kind::BYTES: {
        string_into_buf("a base64 string");
        std::string bytes;
        if (!base64_decode(buf, bytes)) expected("a base64 string");
        return store(new_bytes(vm, bytes));
      }
      case Kind::MULTI:
        if (c != '[') {
          if (!lx.value_starts()) lx.syntax("expected a value");
          expected("an array");
        }
        return open(Frame::Shape::ARRAY, from_ptr(vm.heap.multi(Kind(w.elem & 0xf))), w.meta, w.elem & 0xff);
      case Kind::MAP: {
        Kind kk = Kind(w.elem & 0xf);
        if (kk != Kind::TEXT && kk != Kind::SCALAR) refuse(": a map whose keys are not Text or Int is not decoded");
        if (c != '{') {
          if (!lx.value_starts()) lx.syntax("expected a value");
          expected("an object");
        }
        return open(Frame::Shape::MAP, from_ptr(vm.heap.map(static_cast<std::uint8_t>(w.elem))), w.meta, w.elem & 0xff);
      }
      case Kind::OWNED:
      case Kind::GCREF:
        if (!is_class(w.meta)) refuse(": a union is not decoded");
        if (c != '{') {
          if (!lx.value_starts()) lx.syntax("expected a value");
          expected("an object");
        }
        return open(Frame::Shape::OBJECT, from_ptr(vm.heap.instance(w.meta)), w.meta, 0);
    }
    refuse(": this kind of field is not decoded");
  }

  // ---- containers ----

  // Consumes `,` or the closing byte after a member or element; true when
  // the container ended (its frame is then closed).
  bool next_or_close(Frame& f, char close, const char* expected_text) {
    char c = lx.peek();
    if (f.started) {
      if (c == ',') {
        lx.advance();
        return false;
      }
      if (c != close) lx.syntax(expected_text);
    } else {
      f.started = true;
      if (c != close) return false;
    }
    lx.advance();
    return true;
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

  void member_name(Frame& f) {
    if (lx.peek() != '"') lx.syntax(f.label == nullptr ? "expected a member name or `}`" : "expected a member name");
    f.label = lx.pos();
    lx.string(buf);
    lx.expect(':', "`:`");
  }

  void step_object() {
    Frame& f = frames.back();
    if (next_or_close(f, '}', "expected `,` or `}`")) return close_object();
    member_name(f);
    const auto& by_name = slots_of(f.cls);
    auto it = by_name.find(buf);
    if (it == by_name.end()) return lx.skip_value();
    f.slot = it->second;
    const Bytecode::Field& field = vm.program.image.classes[f.cls].fields[f.slot];
    read(Want{Kind(field.kind), field.class_meta, field.elem_meta, false, nullable(field)});
  }

  void step_array() {
    Frame& f = frames.back();
    if (next_or_close(f, ']', "expected `,` or `]`")) return frames.pop_back();
    f.index = as_ptr<Multi>(f.target)->count;
    read(Want{Kind(f.elem & 0xf), f.cls, 0, true, false});
  }

  void step_map() {
    Frame& f = frames.back();
    if (next_or_close(f, '}', "expected `,` or `}`")) return frames.pop_back();
    member_name(f);
    if (Kind(f.elem & 0xf) == Kind::TEXT) {
      f.key = new_text(vm, buf);
    } else {
      std::int64_t i = 0;
      auto r = std::from_chars(buf.data(), buf.data() + buf.size(), i);
      if (buf.empty() || r.ec != std::errc() || r.ptr != buf.data() + buf.size()) refuse(": the key is not an integer");
      f.key = from_int(i);
    }
    read(Want{Kind(f.elem >> 4 & 0xf), f.cls, 0, true, false});
  }

  // May a field hold nil? Nullable scalars say so in their class meta (a
  // `ref`, never decoded, may be nil); other kinds carry the image's
  // nullable bit in their element meta.
  bool nullable(const Bytecode::Field& f) const {
    switch (Kind(f.kind)) {
      case Kind::SCALAR:
        return f.class_meta == Bytecode::meta_nullable_bool || f.class_meta == Bytecode::meta_nullable_scalar ||
               is_class(f.class_meta);
      case Kind::FLOAT: return f.class_meta == Bytecode::meta_nullable_float;
      default: return (f.elem_meta & Bytecode::elem_meta_nullable) != 0;
    }
  }

  // Fills the fields the text did not give and closes the object.
  void close_object() {
    Frame& f = frames.back();
    auto* inst = as_ptr<Instance>(f.target);
    const Bytecode::ClassEntry& entry = vm.program.image.classes[f.cls];
    for (std::uint32_t i = 0; i < inst->nfields && i < entry.fields.size(); ++i) {
      if (seen[f.seen_at + i]) continue;
      const Bytecode::Field& field = entry.fields[i];
      switch (Kind(field.kind)) {
        case Kind::MULTI: inst->fields[i] = from_ptr(vm.heap.multi(Kind(field.elem_meta & 0xf))); continue;
        case Kind::MAP: inst->fields[i] = from_ptr(vm.heap.map(static_cast<std::uint8_t>(field.elem_meta))); continue;
        case Kind::SCALAR:
          if (is_class(field.class_meta)) continue;  // a `ref`: nil
          if (nullable(field)) {
            inst->fields[i] = from_int(nil_int);
            continue;
          }
          break;
        case Kind::FLOAT:
          if (nullable(field)) {
            inst->fields[i] = nil_float_bits;
            continue;
          }
          break;
        default:
          if (nullable(field)) continue;  // nil
      }
      // Both arms are views: a `?:` of a literal and a std::string would make a
      // temporary string that the view outlives.
      std::string_view name = field.name == Bytecode::none ? std::string_view("?")
                                                            : std::string_view(vm.program.image.constants[field.name].text);
      throw JsonRefused{"member `" + path(frames.size() - 1, name) + "` is missing"};
    }
    seen.resize(f.seen_at);
    frames.pop_back();
  }

  Value run(std::uint32_t cls) {
    if (lx.peek() != '{') lx.syntax("expected `{`: the text must be a JSON object");
    // The root is stored in `root` by a frame-less store.
    Instance* inst = vm.heap.instance(cls);
    root = from_ptr(inst);
    lx.advance();
    Frame f{Frame::Shape::OBJECT};
    f.target = root;
    f.cls = cls;
    seen.assign(inst->nfields, false);
    frames.push_back(f);
    while (!frames.empty()) {
      switch (frames.back().shape) {
        case Frame::Shape::OBJECT: step_object(); break;
        case Frame::Shape::ARRAY: step_array(); break;
        case Frame::Shape::MAP: step_map(); break;
      }
    }
    if (!lx.at_end()) lx.syntax("text after the object");
    return root;
  }

  // After a refusal or a runtime error: frees what was built. Every
  // container is already inside the root; a gc root is left to the
  // collector.
  void abandon() {
    for (Frame& f : frames) {
      if (f.shape == Frame::Shape::MAP && is_counted(Kind(f.elem & 0xf))) vm.heap.release_str(f.key);
    }
    if (root != 0 && !(as_obj(root)->flags & GC)) vm.heap.drop(root);
    root = 0;
  }
};

}  // namespace

Value json_decode(Machine& vm, std::string_view text, std::uint32_t cls, std::string& why) {
  Decoder d(vm, text);
  try {
    Value v = d.run(cls);
    why.clear();
    return v;
  } catch (JsonRefused& r) {
    d.abandon();
    why = std::move(r.reason);
    return 0;
  } catch (...) {
    d.abandon();
    throw;
  }
}

Value b_json_decode(Machine& vm, const Call& c) {
  if (c.args + 2 > c.window_end) raise(ErrorCode::BAD_ARGUMENT, "json.decode: the target class is missing");
  std::uint32_t cls = class_arg(vm, c.args[1], "json.decode");
  std::string& why = library_state(vm).json_error;
  if (c.args[0] == 0) {
    why = "the text is nil";
    return 0;
  }
  return json_decode(vm, str_view(c.args[0]), cls, why);
}

Value b_json_last_error(Machine& vm, const Call&) { return new_text(vm, library_state(vm).json_error); }

}  // namespace Vm
