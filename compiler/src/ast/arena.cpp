#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ast/ast.hpp"

namespace Ast {

namespace {

constexpr std::size_t max_chunk = 16 * 1024 * 1024;

constexpr std::size_t huge_page = std::size_t{2} << 20;

std::uint64_t hash_bytes(std::string_view text) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h ^ (h >> 29);
}

}  // namespace

void prefer_huge_pages(void* begin, std::size_t size) {
#ifdef MADV_HUGEPAGE
  auto first = (reinterpret_cast<std::uintptr_t>(begin) + huge_page - 1) & ~(huge_page - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(begin) + size) & ~(huge_page - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)size;
#endif
}

Arena::Arena() = default;
Arena::Arena(std::size_t first_chunk) : Arena() { next_chunk_ = std::max(next_chunk_, first_chunk); }
Arena::~Arena() = default;

void* Arena::allocate(std::size_t size, std::size_t align) {
  auto addr = reinterpret_cast<std::uintptr_t>(cur_);
  std::uintptr_t aligned = (addr + align - 1) & ~(std::uintptr_t(align) - 1);
  if (cur_ == nullptr || aligned + size > reinterpret_cast<std::uintptr_t>(end_)) {
    // Chunks grow geometrically so a large file needs few of them.
    std::size_t chunk = std::max(next_chunk_, size + align);
    next_chunk_ = std::min(next_chunk_ * 2, max_chunk);
    // Not zeroed: pages of the newest chunk are touched only as nodes fill them.
    chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(chunk));
    // A large chunk is filled front to back by the parser: huge pages cost it
    // at most one partly filled page of memory.
    if (chunk >= 4 * huge_page) prefer_huge_pages(chunks_.back().get(), chunk);
    cur_ = chunks_.back().get();
    end_ = cur_ + chunk;
    addr = reinterpret_cast<std::uintptr_t>(cur_);
    aligned = (addr + align - 1) & ~(std::uintptr_t(align) - 1);
  }
  cur_ = reinterpret_cast<std::byte*>(aligned + size);
  used_ += size;
  return reinterpret_cast<void*>(aligned);
}

std::string_view Arena::copy_text(std::string_view text) {
  if (text.empty()) return std::string_view("", 0);
  char* out = static_cast<char*>(allocate(text.size(), 1));
  std::memcpy(out, text.data(), text.size());
  return {out, text.size()};
}

std::string_view Arena::intern(std::string_view text) {
  if (text.empty()) return std::string_view("", 0);
  if ((interned_ + 1) * 2 > slots_.size()) grow();
  std::uint64_t h = hash_bytes(text);
  std::uint32_t tag = static_cast<std::uint32_t>(h >> 32);
  std::size_t mask = slots_.size() - 1;
  std::size_t i = h & mask;
  // The stored hash bits spare a byte comparison on almost every collision.
  while (slots_[i].data() != nullptr) {
    if (hashes_[i] == tag && slots_[i] == text) return slots_[i];
    i = (i + 1) & mask;
  }
  slots_[i] = copy_text(text);
  hashes_[i] = tag;
  ++interned_;
  return slots_[i];
}

void Arena::forget_interned() {
  slots_ = {};
  hashes_ = {};
  interned_ = 0;
}

void Arena::grow() {
  // The table is made on the first name, so arenas that intern nothing cost nothing.
  std::size_t size = std::max<std::size_t>(256, slots_.size() * 2);
  std::vector<std::string_view> old(size);
  std::vector<std::uint32_t> old_hashes(size);
  old.swap(slots_);
  old_hashes.swap(hashes_);
  std::size_t mask = slots_.size() - 1;
  for (std::size_t j = 0; j < old.size(); ++j) {
    if (old[j].data() == nullptr) continue;
    std::size_t i = hash_bytes(old[j]) & mask;
    while (slots_[i].data() != nullptr) i = (i + 1) & mask;
    slots_[i] = old[j];
    hashes_[i] = old_hashes[j];
  }
}

}  // namespace Ast
