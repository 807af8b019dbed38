// Text helpers beyond the core set (`to_upper`, `replace`, `contains`,
// `repeat`, `pad_left`, `pad_right`), `read_line` and `raise`. Texts are
// bytes: case changes touch ASCII letters only and widths count bytes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "builtins.hpp"
#include "bytecode/bytecode.hpp"

namespace Vm {

using Bytecode::Builtin;

namespace {

// No text may grow past this many bytes through these builtins.
constexpr std::size_t max_text = std::size_t{1} << 30;

Value b_to_upper(Machine& vm, const Call& c) { return ascii_case(vm, text_arg(c.args[0], "to_upper"), true); }

// Every occurrence, left to right, without overlaps.
Value b_replace(Machine& vm, const Call& c) {
  std::string_view t = text_arg(c.args[0], "replace");
  std::string_view from = text_arg(c.args[1], "replace");
  std::string_view to = text_arg(c.args[2], "replace");
  if (from.empty()) raise(ErrorCode::BAD_ARGUMENT, "replace: the text to replace is empty");
  std::string out;
  std::size_t at = 0;
  for (std::size_t hit = t.find(from); hit != std::string_view::npos; hit = t.find(from, at)) {
    out.append(t.substr(at, hit - at));
    out.append(to);
    at = hit + from.size();
    if (out.size() > max_text) raise(ErrorCode::OUT_OF_MEMORY, "replace: the result is longer than 1 GiB");
  }
  out.append(t.substr(at));
  return new_text(vm, out);
}

Value b_contains(Machine&, const Call& c) {
  std::string_view t = text_arg(c.args[0], "contains");
  std::string_view part = text_arg(c.args[1], "contains");
  return from_bool(t.find(part) != std::string_view::npos);
}

Value b_repeat(Machine& vm, const Call& c) {
  std::string_view t = text_arg(c.args[0], "repeat");
  std::int64_t n = as_int(c.args[1]);
  if (n < 0) raise(ErrorCode::BAD_ARGUMENT, "repeat: the count " + int_text(n) + " is negative");
  if (t.empty()) return new_text(vm, t);  // however many times: no loop over the count
  if (static_cast<std::uint64_t>(n) > max_text / t.size()) {
    raise(ErrorCode::OUT_OF_MEMORY, "repeat: the result is longer than 1 GiB");
  }
  std::size_t count = static_cast<std::size_t>(n);
  Str* s = vm.heap.text_buffer(t.size() * count);
  for (std::size_t i = 0; i < count; ++i) t.copy(s->data + i * t.size(), t.size());
  return from_ptr(s);
}

// Spaces before (`left`) or after the text up to `width` bytes; a text at
// least that long comes back unchanged.
Value pad(Machine& vm, const Call& c, bool left, const char* name) {
  std::string_view t = text_arg(c.args[0], name);
  std::int64_t width = as_int(c.args[1]);
  if (width <= static_cast<std::int64_t>(t.size())) return new_text(vm, t);
  if (static_cast<std::uint64_t>(width) > max_text) {
    raise(ErrorCode::OUT_OF_MEMORY, std::string(name) + ": the result is longer than 1 GiB");
  }
  std::size_t w = static_cast<std::size_t>(width), fill = w - t.size();
  Str* s = vm.heap.text_buffer(w);
  std::size_t at = left ? fill : 0;
  t.copy(s->data + at, t.size());
  for (std::size_t i = 0; i < fill; ++i) s->data[left ? i : t.size() + i] = ' ';
  return from_ptr(s);
}
Value b_pad_left(Machine& vm, const Call& c) { return pad(vm, c, true, "pad_left"); }
Value b_pad_right(Machine& vm, const Call& c) { return pad(vm, c, false, "pad_right"); }

// The next line of standard input without its line feed (or carriage return
// and line feed); nil at the end of the input. What the program printed so
// far goes out first, so a prompt shows before the program waits.
Value b_read_line(Machine& vm, const Call&) {
  vm.out.flush();
  char* line = nullptr;
  std::size_t capacity = 0;
  ssize_t n = ::getline(&line, &capacity, stdin);
  if (n < 0) {
    std::free(line);
    return 0;
  }
  std::string_view text(line, static_cast<std::size_t>(n));
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  Value result = 0;
  try {
    result = new_text(vm, text);
  } catch (...) {
    std::free(line);
    throw;
  }
  std::free(line);
  return result;
}

// An error of the program's own, caught by `try` like a run-time fault.
Value b_raise(Machine&, const Call& c) {
  std::int64_t code = as_int(c.args[0]);
  std::string_view msg = text_arg(c.args[1], "raise");
  raise_code(code, std::string(msg));
}

}  // namespace

void register_basic_builtins(BuiltinTable& t) {
  t.add(unsigned(Builtin::TO_UPPER), b_to_upper, 1, "to_upper");
  t.add(unsigned(Builtin::REPLACE), b_replace, 3, "replace");
  t.add(unsigned(Builtin::CONTAINS), b_contains, 2, "contains");
  t.add(unsigned(Builtin::REPEAT), b_repeat, 2, "repeat");
  t.add(unsigned(Builtin::PAD_LEFT), b_pad_left, 2, "pad_left");
  t.add(unsigned(Builtin::PAD_RIGHT), b_pad_right, 2, "pad_right");
  t.add(unsigned(Builtin::READ_LINE), b_read_line, 0, "read_line");
  t.add(unsigned(Builtin::RAISE), b_raise, 2, "raise");
}

}  // namespace Vm
