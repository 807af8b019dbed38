// Builtins over Text. Lengths and indexes count bytes; every result text is
// new (Texts are immutable), every index is checked.
#include <charconv>

#include "builtins.hpp"
#include "bytecode/bytecode.hpp"

namespace Vm {

Value ascii_case(Machine& vm, std::string_view t, bool upper) {
  const char first = upper ? 'a' : 'A', last = upper ? 'z' : 'Z';
  const int shift = upper ? 'A' - 'a' : 'a' - 'A';
  Str* s = vm.heap.text_buffer(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    char ch = t[i];
    s->data[i] = ch >= first && ch <= last ? static_cast<char>(ch + shift) : ch;
  }
  return from_ptr(s);
}

using Bytecode::Builtin;

namespace {

bool is_blank(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

Value b_byte_at(Machine&, const Call& c) {
  std::string_view t = text_arg(c.args[0], "byte_at");
  std::int64_t i = as_int(c.args[1]);
  if (i < 0 || static_cast<std::uint64_t>(i) >= t.size()) raise_index(i, t.size(), "a text");
  return static_cast<unsigned char>(t[static_cast<std::size_t>(i)]);
}

Value b_starts_with(Machine&, const Call& c) {
  return from_bool(text_arg(c.args[0], "starts_with").starts_with(text_arg(c.args[1], "starts_with")));
}

Value b_ends_with(Machine&, const Call& c) {
  return from_bool(text_arg(c.args[0], "ends_with").ends_with(text_arg(c.args[1], "ends_with")));
}

Value b_index_of(Machine&, const Call& c) {
  std::size_t at = text_arg(c.args[0], "index_of").find(text_arg(c.args[1], "index_of"));
  return at == std::string_view::npos ? from_int(-1) : from_int(static_cast<std::int64_t>(at));
}

Value b_last_index_of(Machine&, const Call& c) {
  std::size_t at = text_arg(c.args[0], "last_index_of").rfind(text_arg(c.args[1], "last_index_of"));
  return at == std::string_view::npos ? from_int(-1) : from_int(static_cast<std::int64_t>(at));
}

// substr(t, start, count): `count` bytes from `start`; both must lie inside.
Value b_substr(Machine& vm, const Call& c) {
  std::string_view t = text_arg(c.args[0], "substr");
  std::int64_t start = as_int(c.args[1]), count = as_int(c.args[2]);
  if (start < 0 || static_cast<std::uint64_t>(start) > t.size()) raise_index(start, t.size(), "a text");
  if (count < 0 || static_cast<std::uint64_t>(count) > t.size() - static_cast<std::uint64_t>(start)) {
    raise(ErrorCode::INDEX_OUT_OF_RANGE, "substr: " + std::to_string(count) + " bytes from index " +
                                             std::to_string(start) + " run past the end of a text of length " +
                                             std::to_string(t.size()));
  }
  return new_text(vm, t.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(count)));
}

Value b_trim(Machine& vm, const Call& c) {
  std::string_view t = text_arg(c.args[0], "trim");
  while (!t.empty() && is_blank(t.front())) t.remove_prefix(1);
  while (!t.empty() && is_blank(t.back())) t.remove_suffix(1);
  return new_text(vm, t);
}

Value b_to_lower(Machine& vm, const Call& c) { return ascii_case(vm, text_arg(c.args[0], "to_lower"), false); }

Value b_char_of(Machine& vm, const Call& c) {
  std::int64_t b = as_int(c.args[0]);
  if (b < 0 || b > 255) {
    raise(ErrorCode::BAD_ARGUMENT, "char_of: " + std::to_string(b) + " is not a byte (0 to 255)");
  }
  char ch = static_cast<char>(b);
  return new_text(vm, std::string_view(&ch, 1));
}

// A whole decimal Int with an optional leading '-', else nil.
Value b_parse_int(Machine&, const Call& c) {
  std::string_view t = text_arg(c.args[0], "parse_int");
  if (t.empty() || t.front() == '+') return from_int(nil_int);
  std::int64_t v = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return from_int(nil_int);
  // The nil of `?Int` is an Int word: that one value is out of range.
  if (v == nil_int) return from_int(nil_int);
  return from_int(v);
}

Value b_split(Machine& vm, const Call& c) {
  std::string_view t = text_arg(c.args[0], "split");
  std::string_view sep = text_arg(c.args[1], "split");
  Multi* out = vm.heap.multi(Kind::TEXT);
  Value result = from_ptr(out);
  try {
    if (sep.empty()) {  // no separator: the bytes one by one
      for (char ch : t) vm.heap.multi_push(out, new_text(vm, std::string_view(&ch, 1)));
      return result;
    }
    std::size_t from = 0;
    for (;;) {
      std::size_t at = t.find(sep, from);
      std::string_view piece = t.substr(from, at == std::string_view::npos ? t.npos : at - from);
      vm.heap.multi_push(out, new_text(vm, piece));
      if (at == std::string_view::npos) break;
      from = at + sep.size();
    }
  } catch (...) {
    vm.heap.drop(result);
    throw;
  }
  return result;
}

Value b_split_ws(Machine& vm, const Call& c) {
  std::string_view t = text_arg(c.args[0], "split_ws");
  Multi* out = vm.heap.multi(Kind::TEXT);
  Value result = from_ptr(out);
  try {
    std::size_t i = 0;
    while (i < t.size()) {
      while (i < t.size() && is_blank(t[i])) ++i;
      std::size_t start = i;
      while (i < t.size() && !is_blank(t[i])) ++i;
      if (i > start) vm.heap.multi_push(out, new_text(vm, t.substr(start, i - start)));
    }
  } catch (...) {
    vm.heap.drop(result);
    throw;
  }
  return result;
}

}  // namespace

void register_text_builtins(BuiltinTable& t) {
  t.add(unsigned(Builtin::BYTE_AT), b_byte_at, 2, "byte_at");
  t.add(unsigned(Builtin::STARTS_WITH), b_starts_with, 2, "starts_with");
  t.add(unsigned(Builtin::ENDS_WITH), b_ends_with, 2, "ends_with");
  t.add(unsigned(Builtin::INDEX_OF), b_index_of, 2, "index_of");
  t.add(unsigned(Builtin::LAST_INDEX_OF), b_last_index_of, 2, "last_index_of");
  t.add(unsigned(Builtin::SUBSTR), b_substr, 3, "substr");
  t.add(unsigned(Builtin::TRIM), b_trim, 1, "trim");
  t.add(unsigned(Builtin::TO_LOWER), b_to_lower, 1, "to_lower");
  t.add(unsigned(Builtin::CHAR_OF), b_char_of, 1, "char_of");
  t.add(unsigned(Builtin::PARSE_INT), b_parse_int, 1, "parse_int");
  t.add(unsigned(Builtin::SPLIT), b_split, 2, "split");
  t.add(unsigned(Builtin::SPLIT_WS), b_split_ws, 1, "split_ws");
}

}  // namespace Vm
