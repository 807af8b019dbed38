// The emitter's side of the image: the constant pool it fills while lowering
// and its string-keyed tables. The image format itself (entries, buffer,
// writer) is the bytecode module's; the emitter uses its names unqualified.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bytecode/bytecode.hpp"

namespace Emit {

using namespace Bytecode;

// Hashing for string-keyed tables looked up by string_view without a copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
template <class V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

// The constant pool: each value is stored once. Floats are keyed by their bit
// pattern, so 0.0 and -0.0, and NaNs with different bits, stay distinct; an
// Int and a Float never share an entry.
class ConstPool {
 public:
  std::uint32_t const_int(std::int64_t value);
  std::uint32_t const_float(double value);
  std::uint32_t const_float_bits(std::uint64_t bits);
  std::uint32_t const_text(std::string_view text);
  std::size_t size() const { return entries_.size(); }
  // Room for about `n` constants, so the pool does not grow step by step.
  void reserve(std::size_t n);
  const std::vector<Constant>& entries() const { return entries_; }
  // The entries, leaving the pool empty.
  std::vector<Constant> take_entries() {
    slots_.clear();
    small_ints_.fill(0);
    used_ = 0;
    return std::move(entries_);
  }

 private:
  // Asked for every literal the emitter loads: one open-addressing table over
  // all three kinds, at most half full, each slot keeping half its key's hash.
  struct Slot {
    std::uint32_t hash = 0;       // the key hash's high half, its low two bits the tag
    std::uint32_t id_plus_1 = 0;  // 0: empty
  };
  // Ids (plus 1) of the small non-negative Ints, the most common literals.
  std::array<std::uint32_t, 1024> small_ints_{};
  std::uint32_t intern(ConstTag tag, std::int64_t value, std::string_view text);
  void grow(std::size_t slots);
  std::vector<Constant> entries_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace Emit
