#include <algorithm>
#include <bit>
#include <cassert>

#include "emit/emit.hpp"
#include "emit/name_hash.hpp"

namespace Emit {

namespace {

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  return h;
}

std::uint64_t key_hash(ConstTag tag, std::int64_t value, std::string_view text) {
  std::uint64_t h = tag == ConstTag::TEXT ? detail::name_hash(text) : std::uint64_t(value);
  return mix(h + std::uint64_t(tag) * 0x9E3779B97F4A7C15ULL);
}

// A key's slot comes from the high half of its hash, which the slot keeps: it
// spares comparing keys on almost every collision and refills a larger table
// without hashing again.
std::size_t home_slot(std::uint32_t high, std::size_t mask) { return std::size_t(high * 0x9E3779B9u) & mask; }

}  // namespace

void ConstPool::reserve(std::size_t n) {
  entries_.reserve(n);
  std::size_t slots = 256;
  while (slots < 2 * n) slots *= 2;
  if (slots > slots_.size()) grow(slots);
}

void ConstPool::grow(std::size_t slots) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slots, Slot{});
  std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (!slot.id_plus_1) continue;
    std::size_t i = home_slot(slot.hash, mask);
    while (slots_[i].id_plus_1) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

std::uint32_t ConstPool::intern(ConstTag tag, std::int64_t value, std::string_view text) {
  if (2 * (used_ + 1) > slots_.size()) grow(std::max<std::size_t>(256, slots_.size() * 2));
  auto hash = (std::uint32_t(key_hash(tag, value, text) >> 32) & ~3u) | std::uint32_t(tag);
  std::size_t mask = slots_.size() - 1;
  std::size_t i = home_slot(hash, mask);
  for (; slots_[i].id_plus_1; i = (i + 1) & mask) {
    if (slots_[i].hash != hash) continue;
    const Constant& k = entries_[slots_[i].id_plus_1 - 1];
    if (tag == ConstTag::TEXT ? k.text == text : k.value == value) return slots_[i].id_plus_1 - 1;
  }
  auto id = static_cast<std::uint32_t>(entries_.size());
  entries_.push_back(Constant{tag, tag == ConstTag::TEXT ? 0 : value, std::string(text)});
  slots_[i] = {hash, id + 1};
  ++used_;
  return id;
}

std::uint32_t ConstPool::const_int(std::int64_t value) {
  if (value < 0 || value >= std::int64_t(std::size(small_ints_))) return intern(ConstTag::INT, value, {});
  std::uint32_t& known = small_ints_[std::size_t(value)];
  if (!known) known = intern(ConstTag::INT, value, {}) + 1;
  return known - 1;
}

std::uint32_t ConstPool::const_float(double value) {
  return const_float_bits(std::bit_cast<std::uint64_t>(value));
}

std::uint32_t ConstPool::const_float_bits(std::uint64_t bits) {
  return intern(ConstTag::FLT, static_cast<std::int64_t>(bits), {});
}

std::uint32_t ConstPool::const_text(std::string_view text) { return intern(ConstTag::TEXT, 0, text); }

}  // namespace Emit
