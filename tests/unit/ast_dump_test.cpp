// The float text of the syntax-tree and token dumps, at the values source
// literals cannot reach directly (negated constants, NaN from any sign bit).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dump/dump.hpp"

namespace {

TEST(AstDump, FloatTextForms) {
  EXPECT_EQ(Dump::hex_float(3.0), "0x1.8p+1");
  EXPECT_EQ(Dump::hex_float(1.0), "0x1p+0");
  EXPECT_EQ(Dump::hex_float(0.5), "0x1p-1");
  EXPECT_EQ(Dump::hex_float(0.0), "0x0p+0");
  EXPECT_EQ(Dump::hex_float(-2.5), "-0x1.4p+1");
  EXPECT_EQ(Dump::hex_float(0.1), "0x1.999999999999ap-4");
  EXPECT_EQ(Dump::hex_float(std::numeric_limits<double>::denorm_min()), "0x0.0000000000001p-1022");
  EXPECT_EQ(Dump::hex_float(std::numeric_limits<double>::infinity()), "infinity");
  EXPECT_EQ(Dump::hex_float(-std::numeric_limits<double>::infinity()), "-infinity");
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(Dump::hex_float(nan), "nan");
  EXPECT_EQ(Dump::hex_float(std::copysign(nan, -1.0)), "-nan");  // the image listing keeps the sign
}

}  // namespace
