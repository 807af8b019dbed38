#include <algorithm>
#include <cstring>

#include "ast/ast.hpp"

namespace Ast {

namespace {

constexpr std::size_t max_chunk = 16 * 1024 * 1024;

std::uint64_t hash_bytes(std::string_view text) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h ^ (h >> 29);
}

}  // namespace

Arena::Arena() : slots_(256) {}
Arena::~Arena() = default;

void* Arena::allocate(std::size_t size, std::size_t align) {
  auto addr = reinterpret_cast<std::uintptr_t>(cur_);
  std::uintptr_t aligned = (addr + align - 1) & ~(std::uintptr_t(align) - 1);
  if (cur_ == nullptr || aligned + size > reinterpret_cast<std::uintptr_t>(end_)) {
    // Chunks grow geometrically so a large file needs few of them.
    std::size_t chunk = std::max(next_chunk_, size + align);
    next_chunk_ = std::min(next_chunk_ * 2, max_chunk);
    chunks_.push_back(std::make_unique<std::byte[]>(chunk));
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
  if ((interned_ + 1) * 2 > slots_.size()) {
    std::vector<std::string_view> old(slots_.size() * 2);
    old.swap(slots_);
    for (std::string_view s : old) {
      if (s.data() == nullptr) continue;
      std::size_t i = hash_bytes(s) & (slots_.size() - 1);
      while (slots_[i].data() != nullptr) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = s;
    }
  }
  std::size_t i = hash_bytes(text) & (slots_.size() - 1);
  while (slots_[i].data() != nullptr) {
    if (slots_[i] == text) return slots_[i];
    i = (i + 1) & (slots_.size() - 1);
  }
  slots_[i] = copy_text(text);
  ++interned_;
  return slots_[i];
}

}  // namespace Ast
