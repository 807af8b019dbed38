// Map and index hashes are seeded per run: keys found to collide under one
// seed (as someone could find them against an unseeded hash) spread out
// under another.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "containers.hpp"

namespace {

constexpr std::uint64_t slot_mask = 1023;  // the low bits a table of 1024 slots uses

std::size_t fullest_slot(const std::vector<std::uint64_t>& hashes) {
  std::map<std::uint64_t, std::size_t> load;
  std::size_t most = 0;
  for (std::uint64_t h : hashes) most = std::max(most, ++load[h & slot_mask]);
  return most;
}

TEST(VmHashSeed, TextKeysThatCollideUnderOneSeedSpreadUnderAnother) {
  const std::uint64_t found_with = 0x1234, run_seed = 0x9e3779b97f4a7c15ULL;
  std::vector<std::string> keys;
  for (int i = 0; keys.size() < 40; ++i) {
    std::string k = "user-" + std::to_string(i) + "@example.org";
    if ((Vm::hash_bytes(k, found_with) & slot_mask) == 0) keys.push_back(k);
  }
  std::vector<std::uint64_t> before, after;
  for (const std::string& k : keys) {
    before.push_back(Vm::hash_bytes(k, found_with));
    after.push_back(Vm::hash_bytes(k, run_seed));
  }
  EXPECT_EQ(fullest_slot(before), keys.size());
  EXPECT_LE(fullest_slot(after), 4u);
}

TEST(VmHashSeed, IntKeysThatCollideUnderOneSeedSpreadUnderAnother) {
  const std::uint64_t found_with = 0, run_seed = 0x5bd1e9955bd1e995ULL;
  std::vector<std::uint64_t> before, after;
  for (std::uint64_t k = 0; before.size() < 40; ++k) {
    if ((Vm::hash_word(k, found_with) & slot_mask) != 0) continue;
    before.push_back(Vm::hash_word(k, found_with));
    after.push_back(Vm::hash_word(k, run_seed));
  }
  EXPECT_EQ(fullest_slot(before), before.size());
  EXPECT_LE(fullest_slot(after), 4u);
}

TEST(VmHashSeed, TheRunSeedIsTheDefault) {
  EXPECT_EQ(Vm::hash_bytes("abc"), Vm::hash_bytes("abc", Vm::hash_seed));
  EXPECT_EQ(Vm::hash_word(42), Vm::hash_word(42, Vm::hash_seed));
  // Texts differing only past their first word still differ.
  EXPECT_NE(Vm::hash_bytes("0123456789abcdef-x"), Vm::hash_bytes("0123456789abcdef-y"));
}

}  // namespace
