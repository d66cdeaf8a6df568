// The arithmetic the model relies on: double operations rounded one at a
// time, never fused into a multiply-add.
#include <gtest/gtest.h>

namespace {

// Opaque to the optimiser, so the expressions below are computed at run time
// with the flags the library was built with.
volatile double g_one_plus = 1.0 + 0x1p-30;
volatile double g_one = 1.0;

TEST(FloatEnvironment, MultiplyAddIsRoundedTwice) {
  const double a = g_one_plus;
  const double c = g_one;
  // (1 + 2^-30)^2 - 1 = 2^-29 + 2^-60; the product alone rounds the 2^-60
  // away, a fused multiply-add keeps it.
  const double r = a * a - c;
  EXPECT_EQ(r, 0x1p-29);
}

TEST(FloatEnvironment, IntermediatesAreDoubles) {
  const double big = 0x1p53;
  volatile double one = g_one;
  // In double, 2^53 + 1 rounds to 2^53, so the difference is 0; 80-bit
  // intermediates would keep the 1.
  const double r = (big + one) - big;
  EXPECT_EQ(r, 0.0);
}

}  // namespace
