// The lane-wise ln (model/ln_lanes.h) of every kernel path against the
// scalar bytemix::ln, bit for bit, on the argument classes the model meets
// and on the hard ones; and the error bound the lanes' rounding test relies
// on, against MPFR.

#include <gtest/gtest.h>
#include <mpfr.h>

#include <bit>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/kernels.h"
#include "model/ln.h"
#include "model/ln_lanes.h"

#include "ln_test_support.h"

namespace {

using namespace bytemix;
using bytemix::kernels::Isa;

using test::bits;
using test::from_bits;
using test::hex;

bool same(double a, double b) { return (a != a && b != b) || bits(a) == bits(b); }

// Runs every available path over xs (padded to a whole number of 64-value
// batches with 0.5) and compares each result with bytemix::ln. Prints the
// number of scalar calls per path; all paths perform the same arithmetic,
// so they must give up on exactly the same lanes.
void check_class(const char* name, std::vector<double> xs) {
  while (xs.size() % 64 != 0) xs.push_back(0.5);
  std::vector<double> want(xs.size());
  for (size_t k = 0; k < xs.size(); ++k) want[k] = ln(xs[k]);
  int64_t first_fallbacks = -1;
  for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx2_fma, Isa::avx512}) {
    const kernels::Table* t = kernels::for_isa(isa);
    if (t == nullptr) {
      const char* name = isa == Isa::avx2 ? "avx2" : isa == Isa::avx2_fma ? "avx2fma" : "avx512";
      std::printf("[lanes] %-8s not run on this processor\n", name);
      continue;
    }
    std::vector<double> got(xs.size());
    int64_t fallbacks = 0;
    for (size_t k = 0; k < xs.size(); k += 64) fallbacks += t->ln_many(&xs[k], &got[k], 64);
    uint64_t mismatches = 0;
    for (size_t k = 0; k < xs.size(); ++k) {
      if (!same(want[k], got[k]) && ++mismatches <= 5)
        ADD_FAILURE() << t->name << " " << name << ": ln(" << hex(xs[k]) << ") = " << hex(got[k])
                      << ", scalar " << hex(want[k]);
    }
    std::printf("[lanes] %-8s %-34s %9zu args, %" PRIu64 " mismatches, %" PRId64
                " scalar calls (1 in %.0f)\n",
                t->name, name, xs.size(), mismatches, fallbacks,
                fallbacks ? double(xs.size()) / double(fallbacks) : 0.0);
    std::fflush(stdout);
    EXPECT_EQ(mismatches, 0u) << t->name << " " << name;
    // Short calls, as the weight selection makes them (a tail of 8 or 24
    // values after or instead of whole blocks).
    std::vector<double> short_got(xs.size());
    for (size_t k = 0; k < xs.size(); k += 64) {
      t->ln_many(&xs[k], &short_got[k], 8);
      t->ln_many(&xs[k + 8], &short_got[k + 8], 24);
      t->ln_many(&xs[k + 32], &short_got[k + 32], 32);
    }
    uint64_t short_mismatches = 0;
    for (size_t k = 0; k < xs.size(); ++k) short_mismatches += !same(want[k], short_got[k]);
    EXPECT_EQ(short_mismatches, 0u) << t->name << " " << name << " in short calls";
    if (first_fallbacks < 0) first_fallbacks = fallbacks;
    EXPECT_EQ(fallbacks, first_fallbacks) << t->name << " " << name;
  }
}

double uniform01(std::mt19937_64& rng) {
  for (;;) {
    const uint64_t k = rng() >> 11;
    if (k != 0) return std::ldexp(double(k), -53);
  }
}

double log_uniform_normal(std::mt19937_64& rng) {
  const uint64_t biased = 1 + (rng() >> 11) % 2046;
  return from_bits((biased << 52) | (rng() & ((uint64_t{1} << 52) - 1)));
}

TEST(LnLanes, UniformUnitInterval) {
  std::mt19937_64 rng(1);
  std::vector<double> xs(2000000);
  for (double& x : xs) x = uniform01(rng);
  check_class("uniform (0,1)", xs);
}

// The model's blends: a + i (b - a)/63 accumulated, for float a, b.
TEST(LnLanes, CandidateBlends) {
  std::mt19937_64 rng(2);
  std::vector<double> xs;
  for (int n = 0; n < 20000; ++n) {
    const float a = float(uniform01(rng)), b = float(uniform01(rng) * (n % 3 == 0 ? 1e-3 : 1));
    const double step = (double(b) - double(a)) * (1.0 / 63);
    double v = a;
    for (int i = 0; i < 64; ++i, v += step) xs.push_back(v > 0 ? v : 0.25);
  }
  check_class("candidate blends", xs);
}

TEST(LnLanes, NextToOne) {
  std::vector<double> xs;
  for (uint64_t k = 1; k <= 300000; ++k) {
    xs.push_back(1.0 - double(k) * 0x1p-53);
    xs.push_back(1.0 + double(k) * 0x1p-52);
  }
  xs.push_back(1.0);
  check_class("1 - k 2^-53, 1 + k 2^-52", xs);

  // Dense around 1 +- 2^-j for j = 12..50.
  std::mt19937_64 rng(3);
  xs.clear();
  for (int j = 12; j <= 50; ++j) {
    for (int n = 0; n < 20000; ++n) {
      const double d = std::ldexp(1.0 + uniform01(rng), -j);
      xs.push_back(1.0 + d);
      xs.push_back(1.0 - d);
    }
  }
  check_class("1 +- 2^-j (1 + t), j = 12..50", xs);
}

TEST(LnLanes, TinyResidues) {
  std::mt19937_64 rng(4);
  std::vector<double> xs(200000);
  for (double& x : xs) x = std::ldexp(1.0 + uniform01(rng), -int(40 + rng() % 40));  // 2^-79..2^-40
  check_class("tiny residues 2^-79..2^-39", xs);
}

TEST(LnLanes, LogUniformNormals) {
  std::mt19937_64 rng(5);
  std::vector<double> xs(1000000);
  for (double& x : xs) x = log_uniform_normal(rng);
  check_class("log-uniform normals", xs);
}

TEST(LnLanes, PowersOfTwoAndNeighbours) {
  std::vector<double> xs;
  for (int k = -1074; k <= 1023; ++k) {
    const double p = std::ldexp(1.0, k);
    xs.push_back(p);
    xs.push_back(from_bits(bits(p) + 1));
    if (bits(p) > 1) xs.push_back(from_bits(bits(p) - 1));
  }
  check_class("powers of two +-1 ulp", xs);
}

// Outside the lanes' domain every value goes to the scalar ln.
TEST(LnLanes, SpecialAndSubnormal) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> xs = {0.0, -0.0, inf, -inf, nan, -nan, -1.0, -0.5, -DBL_MIN, -DBL_MAX,
                            -DBL_TRUE_MIN, DBL_TRUE_MIN, DBL_MIN, DBL_MAX,
                            std::nextafter(DBL_MIN, 0.0), 1.0};
  std::mt19937_64 rng(6);
  for (int n = 0; n < 10000; ++n) xs.push_back(from_bits(rng() >> (12 + rng() % 52)));  // subnormal
  check_class("specials and subnormals", xs);
}

TEST(LnLanes, HardCases) {
  check_class("hard cases", test::ln_hard_cases());
}

// The table facts the lanes' fast_two_sum steps rely on: a nonzero L_i is
// larger in magnitude than any reduced argument z (|z| <= 3 * 2^-9).
TEST(LnLanes, TableFacts) {
  using namespace ln_detail;
  const double zeta = std::exp2(-7.41);
  for (int i = 0; i < kTableSize; ++i) {
    if (kTable[i].l_hi != 0) {
      EXPECT_GT(std::fabs(kTable[i].l_hi), zeta) << i;
    }
  }
  EXPECT_GT(zeta, 3 * 0x1p-9);
}

// The bound of model/ln_lanes.h step 3, |h + l - ln x| <= 2^-90 |h| + 6.73u
// |q3|, against MPFR at 300 bits, and its share of the test's err.
TEST(LnLanes, ErrorBoundAgainstMpfr) {
  using namespace ln_detail;
  mpfr_t y, s;
  mpfr_init2(y, 300);
  mpfr_init2(s, 300);
  std::mt19937_64 rng(7);
  double worst = 0;
  double worst_x = 0;
  uint64_t count = 0;
  auto check = [&](double x) {
    double h, l, q3;
    lane_eval(x, h, l, q3);
    mpfr_set_d(y, x, MPFR_RNDN);
    mpfr_log(y, y, MPFR_RNDN);
    mpfr_set_d(s, h, MPFR_RNDN);
    mpfr_add_d(s, s, l, MPFR_RNDN);  // exact at 300 bits
    mpfr_sub(s, s, y, MPFR_RNDN);
    const double d = std::fabs(mpfr_get_d(s, MPFR_RNDN));
    const double bound = 0x1p-90 * std::fabs(h) + 6.73 * 0x1p-53 * std::fabs(q3);
    ++count;
    if (!(d <= bound))
      ADD_FAILURE() << "ln(" << hex(x) << "): error " << hex(d) << " above " << hex(bound);
    const double ratio = d / (kLaneRelErr * std::fabs(h) + kLanePolyErr * std::fabs(q3));
    if (ratio > worst) worst = ratio, worst_x = x;
  };
  for (int n = 0; n < 100000; ++n) check(uniform01(rng));
  for (int n = 0; n < 50000; ++n) check(log_uniform_normal(rng));
  for (int n = 0; n < 50000; ++n) {
    const double d = std::ldexp(1.0 + uniform01(rng), -int(8 + rng() % 45));
    check(1.0 + d);
    check(1.0 - d);
  }
  // Worst case of |q3| / |y|: |z| near its maximum where |y| is small.
  for (int i = 0; i < kTableSize; ++i) {
    for (int e : {-1, 0}) {
      const double m = 1.0 + std::ldexp(double(i), -7);
      for (double t = -0x1p-8; t <= 0x1p-8; t += 0x1p-14) check(std::ldexp(m + t, e));
    }
  }
  std::printf("[lanes] error bound: %" PRIu64 " args, largest error / err = %.4f at %s\n", count,
              worst, hex(worst_x).c_str());
  mpfr_clear(y);
  mpfr_clear(s);
}

}  // namespace
