// Core builtins: output, Int conversion, union tags, the `Error` record of a
// catch, text copies.
#include <charconv>
#include <ctime>

#include "builtins.hpp"
#include "bytecode/bytecode.hpp"

namespace Vm {

using Bytecode::Builtin;

void raise_index(std::int64_t index, std::uint64_t count, const char* what) {
  raise(ErrorCode::INDEX_OUT_OF_RANGE, "index " + std::to_string(index) + " is out of range for " +
                                           what + " of length " + std::to_string(count));
}

std::string int_text(std::int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

namespace {

Value b_now(Machine&, const Call&) { return from_int(static_cast<std::int64_t>(std::time(nullptr))); }

Value b_print(Machine& vm, const Call& c) {
  vm.out.write(text_arg(c.args[0], "print"));
  vm.out.put('\n');
  return 0;
}

Value b_print_int(Machine& vm, const Call& c) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, as_int(c.args[0]));
  *r.ptr++ = '\n';
  vm.out.write(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
  return 0;
}

Value b_print_err(Machine& vm, const Call& c) {
  std::string line(text_arg(c.args[0], "print_err"));
  line += '\n';
  vm.out.error(line);
  return 0;
}

Value b_int_to_text(Machine& vm, const Call& c) { return new_text(vm, int_text(as_int(c.args[0]))); }

// The tag of a union value: the class index of a variant instance.
Value b_variant_tag(Machine&, const Call& c) {
  Obj* o = as_obj(c.args[0]);
  if (o == nullptr) raise(ErrorCode::NIL_VALUE, "switch on a nil union value");
  return o->type == ObjType::INSTANCE ? from_int(o->cls) : from_int(-1);
}

// Fills the program's `Error` record (args[0]) from the caught error
// (args[1]) and returns the record: fields code, line, method, msg by name,
// so a record declared with another field order still gets the right values.
Value b_error_fill(Machine& vm, const Call& c) {
  auto* rec = as_ptr<Instance>(c.args[0]);
  auto* err = as_ptr<ErrorObj>(c.args[1]);
  if (rec == nullptr || err == nullptr || err->h.type != ObjType::ERROR ||
      rec->h.type != ObjType::INSTANCE) {
    return c.args[0];
  }
  const Program& p = vm.program;
  auto put = [&](std::string_view name, Value v, bool text) {
    int i = p.field_index(rec->h.cls, name);
    if (i < 0 || static_cast<std::uint32_t>(i) >= rec->nfields) return;
    Value& slot = rec->fields[i];
    if (text) {
      vm.heap.release_str(slot);
      Heap::retain(v);
    }
    slot = v;
  };
  put("code", from_int(err->code), false);
  put("line", from_int(err->line), false);
  put("method", from_ptr(err->method), true);
  put("msg", from_ptr(err->msg), true);
  return c.args[0];
}

// A new reference to the same immutable text.
Value b_text_copy(Machine&, const Call& c) {
  Heap::retain(c.args[0]);
  return c.args[0];
}

Value b_words(Machine&, const Call& c) {
  std::string_view t = text_arg(c.args[0], "words");
  std::int64_t n = 0;
  bool in_word = false;
  for (char ch : t) {
    bool blank = ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
    if (!blank && !in_word) ++n;
    in_word = !blank;
  }
  return from_int(n);
}

}  // namespace

void register_core_builtins(BuiltinTable& t) {
  t.add(unsigned(Builtin::NOW), b_now, 0, "now");
  t.add(unsigned(Builtin::PRINT), b_print, 1, "print");
  t.add(unsigned(Builtin::PRINT_INT), b_print_int, 1, "print_int");
  t.add(unsigned(Builtin::PRINT_ERR), b_print_err, 1, "print_err");
  t.add(unsigned(Builtin::WORDS), b_words, 1, "words");
  t.add(unsigned(Builtin::INT_TO_TEXT), b_int_to_text, 1, "int_to_text");
  t.add(unsigned(Builtin::VARIANT_TAG), b_variant_tag, 1, "variant_tag");
  t.add(unsigned(Builtin::ERROR_FILL), b_error_fill, 2, "error_fill");
  t.add(unsigned(Builtin::TEXT_COPY), b_text_copy, 1, "text_copy");
}

}  // namespace Vm
