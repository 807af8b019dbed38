// A set of object addresses for the collector's root check. Address space
// is cut into 64 KiB pages, each with one bit per 8-byte word; the pages are
// found through a small open-addressing table. Objects allocated one after
// another land in the same page, so inserting and erasing touch few cache
// lines and never allocate except for a new page.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace Vm {

class PtrSet {
 public:
  void insert(const void* p) {
    std::uintptr_t k = key(p);
    std::uint64_t& word = page_for(k, true)->bits[word_of(k)];
    std::uint64_t bit = bit_of(k);
    if (!(word & bit)) {
      word |= bit;
      ++count_;
    }
  }

  bool contains(const void* p) const {
    std::uintptr_t k = key(p);
    if (k == 0 || (k & 7) != 0) return false;
    const Page* page = find(k >> page_shift);
    return page != nullptr && (page->bits[word_of(k)] & bit_of(k)) != 0;
  }

  void erase(const void* p) {
    std::uintptr_t k = key(p);
    Page* page = page_for(k, false);
    if (page == nullptr) return;
    std::uint64_t& word = page->bits[word_of(k)];
    std::uint64_t bit = bit_of(k);
    if (word & bit) {
      word &= ~bit;
      --count_;
    }
  }

  std::size_t size() const { return count_; }

 private:
  static constexpr unsigned page_shift = 16;
  static constexpr unsigned words_per_page = (1u << (page_shift - 3)) / 64;
  struct Page {
    std::uintptr_t id;
    std::uint64_t bits[words_per_page];
  };

  static std::uintptr_t key(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
  static std::size_t word_of(std::uintptr_t k) { return (k >> 9) & (words_per_page - 1); }
  static std::uint64_t bit_of(std::uintptr_t k) { return std::uint64_t(1) << ((k >> 3) & 63); }
  static std::size_t hash(std::uintptr_t id) { return static_cast<std::size_t>(id * 0x9e3779b97f4a7c15ULL >> 20); }

  Page* find(std::uintptr_t id) const {
    if (last_ != nullptr && last_->id == id) return last_;
    if (table_.empty()) return nullptr;
    std::size_t mask = table_.size() - 1;
    for (std::size_t i = hash(id) & mask; table_[i] != nullptr; i = (i + 1) & mask) {
      if (table_[i]->id == id) return last_ = table_[i];
    }
    return nullptr;
  }

  Page* page_for(std::uintptr_t k, bool create) {
    std::uintptr_t id = k >> page_shift;
    if (Page* page = find(id)) return page;
    if (!create) return nullptr;
    if ((pages_.size() + 1) * 2 > table_.size()) rehash(table_.empty() ? 64 : table_.size() * 2);
    pages_.push_back(std::make_unique<Page>());
    Page* page = pages_.back().get();
    page->id = id;
    for (std::uint64_t& w : page->bits) w = 0;
    place(page);
    return last_ = page;
  }

  void place(Page* page) {
    std::size_t mask = table_.size() - 1;
    std::size_t i = hash(page->id) & mask;
    while (table_[i] != nullptr) i = (i + 1) & mask;
    table_[i] = page;
  }

  void rehash(std::size_t size) {
    table_.assign(size, nullptr);
    for (const auto& page : pages_) place(page.get());
  }

  std::vector<std::unique_ptr<Page>> pages_;
  std::vector<Page*> table_;  // power of two, at most half full
  mutable Page* last_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace Vm
