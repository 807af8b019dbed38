// Local scopes of bodies past the point where a hash index takes over from
// the searched stack: bindings, rebindings and undo must agree either way,
// for names that share their bytes and for equal names that do not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "types/typing.hpp"

namespace {

using namespace Types;

// Distinct storage for each spelling, so equal names are not the same pointer.
std::vector<std::string> spellings(const char* prefix, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

TEST(Env, ManyNamesBindRebindAndUndoAcrossTheIndex) {
  const std::vector<std::string> names = spellings("v", 100);
  const std::vector<std::string> again = spellings("v", 100);  // same text, other bytes
  Env env;
  env.bind(names[0], t_named("Int"));
  const Typ* first = env.find(names[0]);
  const std::size_t start = env.mark();
  for (int i = 1; i < 100; ++i) env.bind(names[i], t_named("Text"));
  // A type found before other names were bound is still the one bound.
  EXPECT_EQ(env.find(again[0]), first);
  for (int i = 0; i < 100; ++i) ASSERT_NE(env.find(again[i]), nullptr) << i;
  const std::size_t middle = env.mark();
  env.bind(again[50], t_nullable(t_named("Text")));
  env.bind_unknown(names[7]);
  env.bind("late", t_named("Bool"));
  EXPECT_EQ(typ_label(*env.find(names[50])), "?Text");
  EXPECT_EQ(env.find(again[7]), nullptr);
  EXPECT_TRUE(env.is_bound(again[7]));
  env.restore(middle);
  EXPECT_EQ(typ_label(*env.find(names[50])), "Text");
  EXPECT_EQ(typ_label(*env.find(names[7])), "Text");
  EXPECT_FALSE(env.is_bound("late"));
  // Back below the index, then past it again.
  env.restore(start);
  EXPECT_FALSE(env.is_bound(again[99]));
  EXPECT_EQ(typ_label(*env.find(again[0])), "Int");
  for (int i = 99; i >= 1; --i) env.bind(names[i], t_named("Float"));
  EXPECT_EQ(typ_label(*env.find(again[1])), "Float");
  env.restore(0);
  EXPECT_FALSE(env.is_bound(names[0]));
}

TEST(DeclaredScope, ShadowingAcrossTheIndexFindsTheNewestBinding) {
  const std::vector<std::string> names = spellings("d", 40);
  const std::vector<std::string> again = spellings("d", 40);
  Typing::DeclaredScope scope;
  std::vector<std::uint32_t> outer;
  for (int i = 0; i < 10; ++i) outer.push_back(scope.bind(names[i], t_named("Int")));
  const std::size_t inner = scope.mark();
  // Shadow every outer name, then add enough new ones to pass the index.
  std::vector<std::uint32_t> shadows;
  for (int i = 0; i < 10; ++i) shadows.push_back(scope.bind(again[i], std::nullopt));
  for (int i = 10; i < 40; ++i) scope.bind(names[i], t_named("Text"));
  for (int i = 0; i < 10; ++i) {
    const auto* b = scope.find(names[i]);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->serial, shadows[i]);
    EXPECT_FALSE(b->ty);
  }
  const std::uint32_t twice = scope.bind(names[3], t_named("Bool"));
  EXPECT_EQ(scope.find(again[3])->serial, twice);
  scope.restore(scope.mark() - 1);
  EXPECT_EQ(scope.find(again[3])->serial, shadows[3]);
  scope.restore(inner);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(scope.find(again[i])->serial, outer[i]);
  EXPECT_EQ(scope.find(names[20]), nullptr);
  EXPECT_GT(scope.next_serial(), twice);
  scope.restore(0);
  EXPECT_EQ(scope.find(names[0]), nullptr);
}

}  // namespace
