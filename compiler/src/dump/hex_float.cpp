#include <cmath>
#include <cstdint>
#include <cstring>

#include "dump/dump.hpp"

namespace Dump {

std::string hex_float(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  std::string out = (bits >> 63) ? "-" : "";
  int biased = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0x7ff) return out + (fraction == 0 ? "infinity" : "nan");
  out += biased == 0 ? "0x0" : "0x1";
  if (fraction != 0) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (int shift = 48; shift >= 0; shift -= 4) hex += digits[(fraction >> shift) & 0xf];
    hex.erase(hex.find_last_not_of('0') + 1);
    out += '.';
    out += hex;
  }
  int exponent = biased == 0 ? (fraction == 0 ? 0 : -1022) : biased - 1023;
  out += 'p';
  out += exponent >= 0 ? '+' : '-';
  out += std::to_string(exponent >= 0 ? exponent : -exponent);
  return out;
}

}  // namespace Dump
