// Private to the emitter: the hash of its name and text tables.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace Emit::detail {

// Names and literals are mostly short: eight bytes at a time, then the last
// few one by one. Inlined where it is asked, unlike std::hash.
inline std::uint64_t name_hash(std::string_view name) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ name.size();
  std::size_t n = name.size(), at = 0;
  for (; at + 8 <= n; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, name.data() + at, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  std::uint64_t tail = 0;
  for (; at < n; ++at) tail = tail << 8 | static_cast<unsigned char>(name[at]);
  h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 29);
}

}  // namespace Emit::detail
