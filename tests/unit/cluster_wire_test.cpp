// The messages cluster nodes exchange: what a writer encodes reads back
// field by field, and a short, cut or lying message (from a stranger on the
// same server) is marked bad instead of reading past its end.
#include <gtest/gtest.h>

#include "cluster/wire.hpp"

namespace {

using Vm::Wire::Kind;
using Vm::Wire::Reader;
using Vm::Wire::Writer;

std::string sample_call() {
  Writer w(Kind::CALL, 0x1122334455667788u, 2);
  w.u32(7).u64(42).u32(2).u32(3).u32(5).bytes(std::string("msg\0bytes", 9));
  return w.str();
}

TEST(ClusterWire, CallReadsBackFieldByField) {
  std::string m = sample_call();
  Reader r(m);
  EXPECT_EQ(r.kind, Kind::CALL);
  EXPECT_EQ(r.run, 0x1122334455667788u);
  EXPECT_EQ(r.from, 2u);
  EXPECT_EQ(r.u32(), 7u);
  EXPECT_EQ(r.u64(), 42u);
  ASSERT_EQ(r.u32(), 2u);
  EXPECT_EQ(r.u32(), 3u);
  EXPECT_EQ(r.u32(), 5u);
  EXPECT_EQ(r.bytes(), std::string_view("msg\0bytes", 9));
  EXPECT_FALSE(r.bad);
  r.u8();  // past the end
  EXPECT_TRUE(r.bad);
}

TEST(ClusterWire, CountsReadBack) {
  Writer w(Kind::STATE, 9, 1);
  w.u64(3).u8(1).u64s({1, 2, 3}).u64s({});
  Reader r(w.str());
  EXPECT_EQ(r.u64(), 3u);
  EXPECT_EQ(r.u8(), 1);
  EXPECT_EQ(r.u64s(), (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_TRUE(r.u64s().empty());
  EXPECT_FALSE(r.bad);
}

TEST(ClusterWire, EveryCutMessageIsBad) {
  std::string m = sample_call();
  for (std::size_t n = 0; n < m.size(); ++n) {
    Reader r(std::string_view(m).substr(0, n));
    r.u32();
    r.u64();
    std::uint32_t k = r.u32();
    for (std::uint32_t i = 0; i < k && !r.bad; ++i) r.u32();
    std::string_view b = r.bytes();
    EXPECT_TRUE(r.bad) << "cut at " << n;
    EXPECT_TRUE(b.empty()) << "cut at " << n;
  }
}

TEST(ClusterWire, LengthsBeyondTheMessageAreBad) {
  Writer w(Kind::MSG, 1, 0);
  w.u32(1).u32(0xffffffffu);  // a byte string "4 GiB long"
  Reader r(w.str());
  r.u32();
  EXPECT_TRUE(r.bytes().empty());
  EXPECT_TRUE(r.bad);

  Writer c(Kind::STATE, 1, 0);
  c.u64(1).u8(0).u32(0x40000000u);  // a count of a billion words
  Reader s(c.str());
  s.u64();
  s.u8();
  EXPECT_TRUE(s.u64s().empty());
  EXPECT_TRUE(s.bad);
}

}  // namespace
