#include "disasm/format.hpp"

#include <cassert>
#include <charconv>

namespace Disasm {

namespace {

void put_padded(std::string& out, std::string_view body, bool negative, int width, bool left,
                bool zero) {
  int length = static_cast<int>(body.size()) + (negative ? 1 : 0);
  int pad = width > length ? width - length : 0;
  if (!left && !zero) out.append(pad, ' ');
  if (negative) out += '-';
  if (zero && !left) out.append(pad, '0');
  out.append(body);
  if (left) out.append(pad, ' ');
}

}  // namespace

void format_to(std::string& out, std::string_view fmt, std::initializer_list<Arg> args) {
  const Arg* arg = args.begin();
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    char ch = fmt[i];
    if (ch != '%') {
      out += ch;
      continue;
    }
    ++i;
    assert(i < fmt.size());
    if (fmt[i] == '%') {
      out += '%';
      continue;
    }
    bool left = false, zero = false;
    if (fmt[i] == '-') left = true, ++i;
    else if (fmt[i] == '0') zero = true, ++i;
    int width = 0;
    while (fmt[i] >= '0' && fmt[i] <= '9') width = width * 10 + (fmt[i++] - '0');
    if (fmt[i] == 'L') ++i;
    assert(arg != args.end());
    const Arg& a = *arg++;
    if (fmt[i] == 's') {
      assert(a.is_text);
      put_padded(out, a.text, false, width, left, false);
      continue;
    }
    assert(!a.is_text && (fmt[i] == 'd' || fmt[i] == 'x'));
    bool negative = a.num < 0;
    // The magnitude as unsigned, so the most negative value prints too.
    unsigned long long magnitude =
        negative ? 0ull - static_cast<unsigned long long>(a.num) : static_cast<unsigned long long>(a.num);
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, magnitude, fmt[i] == 'x' ? 16 : 10).ptr;
    put_padded(out, std::string_view(digits, end - digits), negative, width, left, zero);
  }
  assert(arg == args.end());
}

}  // namespace Disasm
