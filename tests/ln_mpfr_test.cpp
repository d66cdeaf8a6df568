// Compares bytemix::ln with MPFR's correctly rounded logarithm.
//
// The default run checks a little over 10^6 arguments in a few seconds.
// LN_MPFR_COUNT=<n> scales the random classes to about n arguments in total
// (e.g. 100000000 for the long run); LN_MPFR_SEED=<s> changes the seed.
//
// MPFR's default exponent range is far wider than binary64's, and every
// finite nonzero ln of a double lies in [2^-54, 745], so mpfr_log at 53 bits
// followed by mpfr_get_d is exactly the correctly rounded binary64 result,
// subnormal arguments included (mpfr_set_d is exact).

#include <gtest/gtest.h>
#include <mpfr.h>

#include <bit>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/ln/ln.h"
#include "model/ln/ln_detail.h"

#include "ln_test_support.h"

namespace {

using bytemix::ln_detail::kTable;
using bytemix::ln_detail::kTableSize;

using bytemix::test::bits;
using bytemix::test::from_bits;
using bytemix::test::hex;

uint64_t env_u64(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

uint64_t total_count() { return env_u64("LN_MPFR_COUNT", 1000000); }
uint64_t seed() { return env_u64("LN_MPFR_SEED", 20240611); }

class Mpfr {
 public:
  explicit Mpfr(mpfr_prec_t prec) { mpfr_init2(v_, prec); }
  ~Mpfr() { mpfr_clear(v_); }
  Mpfr(const Mpfr&) = delete;
  Mpfr& operator=(const Mpfr&) = delete;
  mpfr_ptr get() { return v_; }

 private:
  mpfr_t v_;
};

double reference_ln(double x) {
  static Mpfr v(53);
  mpfr_set_d(v.get(), x, MPFR_RNDN);
  mpfr_log(v.get(), v.get(), MPFR_RNDN);
  return mpfr_get_d(v.get(), MPFR_RNDN);
}

bool same(double a, double b) { return (a != a && b != b) || bits(a) == bits(b); }

struct ClassStats {
  const char* name;
  uint64_t count = 0;
  uint64_t mismatches = 0;
  uint64_t fallbacks = 0;

  // Checks bytemix::ln(x) and counts how often the fast path gave up.
  void check(double x) {
    ++count;
    double fast;
    if (!bytemix::ln_detail::ln_fast(x, fast)) ++fallbacks;
    const double want = reference_ln(x);
    const double got = bytemix::ln(x);
    if (!same(want, got)) {
      if (++mismatches <= 10)
        ADD_FAILURE() << name << ": ln(" << hex(x) << ") = " << hex(got) << ", MPFR " << hex(want);
    }
  }

  void report() const {
    std::printf("[ln] %-28s %12" PRIu64 " args, %" PRIu64 " mismatches, %" PRIu64
                " accurate-path calls (%.3g per call)\n",
                name, count, mismatches, fallbacks, count ? double(fallbacks) / double(count) : 0.0);
    std::fflush(stdout);
    EXPECT_EQ(mismatches, 0u) << name;
  }
};

// A random double uniform on the grid k 2^-53, 0 < k < 2^53.
double uniform01(std::mt19937_64& rng) {
  for (;;) {
    const uint64_t k = rng() >> 11;
    if (k != 0) return std::ldexp(double(k), -53);
  }
}

// A random positive finite double, each binade (and the subnormal range)
// equally likely; one in eight subnormals gets a random number of leading
// zeros so that all subnormal binades are reached.
double log_uniform(std::mt19937_64& rng) {
  const uint64_t r = rng();
  uint64_t biased = (r >> 52) % 2047;  // 0 = subnormal
  uint64_t frac = rng() & ((uint64_t{1} << 52) - 1);
  if (biased == 0) {
    if ((r & 7) == 0) frac >>= (r >> 3) % 52;
    if (frac == 0) frac = 1;
  }
  return from_bits((biased << 52) | frac);
}

const std::vector<double>& hard_cases() { return bytemix::test::ln_hard_cases(); }

TEST(LnMpfr, HardCases) {
  ClassStats s{"hard cases"};
  for (double x : hard_cases()) s.check(x);
  EXPECT_EQ(bits(bytemix::ln(0x1.b2b6e194a4479p-1)), bits(-0x1.4f2014b76b4eep-3));
  s.report();
}

TEST(LnMpfr, SpecialValues) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(bits(bytemix::ln(1.0)), bits(0.0));  // +0, not -0
  EXPECT_EQ(bytemix::ln(0.0), -inf);
  EXPECT_EQ(bytemix::ln(-0.0), -inf);
  EXPECT_EQ(bytemix::ln(inf), inf);
  EXPECT_TRUE(std::isnan(bytemix::ln(nan)));
  EXPECT_TRUE(std::isnan(bytemix::ln(-nan)));
  EXPECT_TRUE(std::isnan(bytemix::ln(-1.0)));
  EXPECT_TRUE(std::isnan(bytemix::ln(-inf)));
  EXPECT_TRUE(std::isnan(bytemix::ln(-DBL_TRUE_MIN)));
  EXPECT_EQ(bits(bytemix::ln_detail::ln_accurate(1.0)), bits(0.0));

  ClassStats s{"special values"};
  for (double x : {0.0, -0.0, inf, -inf, nan, -nan, -1.0, -0.5, -DBL_MIN, -DBL_MAX, -DBL_TRUE_MIN,
                   1.0, DBL_MIN, DBL_TRUE_MIN, DBL_MAX, std::nextafter(DBL_MIN, 0.0),
                   std::nextafter(DBL_MIN, 1.0), 2 * DBL_TRUE_MIN, 3 * DBL_TRUE_MIN,
                   std::nextafter(DBL_MAX, 0.0), 0.5, 2.0, 0x1.6a09e667f3bcdp-1, 0x1.6a09e667f3bcdp+0})
    s.check(x);
  s.report();
}

TEST(LnMpfr, PowersOfTwoAndNeighbours) {
  ClassStats s{"powers of two +-1 ulp"};
  for (int k = -1074; k <= 1023; ++k) {
    const double p = std::ldexp(1.0, k);
    s.check(p);
    s.check(from_bits(bits(p) + 1));
    if (bits(p) > 1) s.check(from_bits(bits(p) - 1));
  }
  s.report();
}

TEST(LnMpfr, UniformUnitInterval) {
  std::mt19937_64 rng(seed());
  ClassStats s{"uniform (0,1)"};
  const uint64_t n = total_count() * 3 / 10;
  for (uint64_t k = 0; k < n; ++k) s.check(uniform01(rng));
  s.report();
}

TEST(LnMpfr, LogUniformAllExponents) {
  std::mt19937_64 rng(seed() + 1);
  ClassStats s{"log-uniform, all exponents"};
  const uint64_t n = total_count() * 3 / 10;
  for (uint64_t k = 0; k < n; ++k) s.check(log_uniform(rng));
  s.report();
}

TEST(LnMpfr, OnePlusMinusSmallMultiplesOfUlp) {
  ClassStats s{"1 +- k 2^-52, 1 +- k 2^-53"};
  const uint64_t kmax = total_count() / 40 + 1;  // four families
  for (uint64_t k = 1; k <= kmax; ++k) {
    const double d = double(k);
    s.check(1.0 + d * 0x1p-52);
    s.check(1.0 - d * 0x1p-52);
    s.check(1.0 + d * 0x1p-53);
    s.check(1.0 - d * 0x1p-53);
  }
  s.report();
}

TEST(LnMpfr, DenseBandAroundOne) {
  std::mt19937_64 rng(seed() + 2);
  ClassStats s{"1 +- [2^-50, 2^-12]"};
  const uint64_t n = total_count() * 3 / 10;
  for (uint64_t k = 0; k < n; ++k) {
    const uint64_t r = rng();
    const int j = 12 + int(r % 39);  // offset in [2^-j-1, 2^-j)
    const double t = std::ldexp(1.0 + std::ldexp(double(rng() >> 12), -52), -j - 1);
    s.check((r >> 8) & 1 ? 1.0 + t : 1.0 - t);
  }
  s.report();
}

// The accurate path on its own, so that it is tested far more often than the
// fast path's rounding test would call it.
TEST(LnMpfr, AccuratePathAlone) {
  std::mt19937_64 rng(seed() + 3);
  uint64_t count = 0, mismatches = 0;
  auto check = [&](double x) {
    ++count;
    const double want = reference_ln(x);
    const double got = bytemix::ln_detail::ln_accurate(x);
    if (!same(want, got) && ++mismatches <= 10)
      ADD_FAILURE() << "ln_accurate(" << hex(x) << ") = " << hex(got) << ", MPFR " << hex(want);
  };
  for (double x : hard_cases()) check(x);
  const uint64_t n = std::max<uint64_t>(total_count() / 10, 100000) / 4;
  for (uint64_t k = 0; k < n; ++k) {
    check(uniform01(rng));
    check(log_uniform(rng));
    check(1.0 + std::ldexp(double(int64_t(rng() >> 20) - (int64_t{1} << 43)), -52 - int(rng() % 40)));
    check(1.0 + double(k + 1) * (k & 1 ? 0x1p-52 : -0x1p-53));
  }
  std::printf("[ln] accurate path alone: %" PRIu64 " args, %" PRIu64 " mismatches\n", count, mismatches);
  EXPECT_EQ(mismatches, 0u);
}

// The fast path's h + l against a 300-bit logarithm: the relative error must
// stay below the 2^-75.5 derived in ln_fast.cpp (the rounding test uses 2^-74).
TEST(LnMpfr, FastPathErrorBound) {
  std::mt19937_64 rng(seed() + 4);
  Mpfr y(300), approx(300);
  double worst = 0;
  double worst_x = 0;
  auto check = [&](double x) {
    double h, l;
    bytemix::ln_detail::ln_fast_eval(x, h, l);
    mpfr_set_d(y.get(), x, MPFR_RNDN);
    mpfr_log(y.get(), y.get(), MPFR_RNDN);
    mpfr_set_d(approx.get(), h, MPFR_RNDN);
    mpfr_add_d(approx.get(), approx.get(), l, MPFR_RNDN);
    mpfr_sub(approx.get(), approx.get(), y.get(), MPFR_RNDN);
    mpfr_div(approx.get(), approx.get(), y.get(), MPFR_RNDN);
    const double rel = std::fabs(mpfr_get_d(approx.get(), MPFR_RNDN));
    if (rel > worst) worst = rel, worst_x = x;
  };
  for (double x : hard_cases()) check(x);
  for (int k = 1; k <= 20000; ++k) {
    check(uniform01(rng));
    check(log_uniform(rng));
    check(1.0 + std::ldexp(double(int64_t(rng() >> 20) - (int64_t{1} << 43)), -52 - int(rng() % 40)));
    check(1.0 + double(k) * 0x1p-52);
    check(1.0 - double(k) * 0x1p-53);
    // Ends of every table interval, where |z| is largest.
    const int i = k % kTableSize;
    const uint64_t base = uint64_t(i) << 45;
    const uint64_t frac = k & 2 ? (i == 0 ? 0 : base - (uint64_t{1} << 44))
                                : std::min(base + (uint64_t{1} << 44) - 1, (uint64_t{1} << 52) - 1);
    const int e = int(rng() % 2046) - 1022;
    check(std::ldexp(from_bits(0x3ff0000000000000u | frac), (k & 4) ? e : -(k & 1)));
  }
  std::printf("[ln] fast path: max relative error of h + l = 2^%.2f (at %s), bound 2^-75.5\n",
              std::log2(worst), hex(worst_x).c_str());
  EXPECT_LE(worst, 0x1.6a09e667f3bcdp-76);  // 2^-75.5
}

// The table against MPFR: R_i, hi/mid/lo as the successive nearest doubles of
// -ln r (or -ln 2r), and the exactness of z on every interval.
TEST(LnMpfr, TableEntries) {
  Mpfr l(400), rem(400);
  for (int i = 0; i < kTableSize; ++i) {
    const auto& t = kTable[i];
    const double R = t.r * 256.0;
    ASSERT_EQ(R, std::floor(R)) << i;
    ASSERT_TRUE(R >= 128 && R <= 256) << i;
    mpfr_set_d(l.get(), t.r, MPFR_RNDN);
    if (i >= bytemix::ln_detail::kSplitIndex) mpfr_mul_2ui(l.get(), l.get(), 1, MPFR_RNDN);
    mpfr_log(l.get(), l.get(), MPFR_RNDN);
    mpfr_neg(l.get(), l.get(), MPFR_RNDN);
    mpfr_set(rem.get(), l.get(), MPFR_RNDN);
    for (double part : {t.l_hi, t.l_mid, t.l_lo}) {
      EXPECT_EQ(bits(part + 0.0), bits(mpfr_get_d(rem.get(), MPFR_RNDN) + 0.0)) << "entry " << i;
      mpfr_sub_d(rem.get(), rem.get(), part, MPFR_RNDN);
    }
    // z = M R 2^-60 - 1 at both ends of the interval must satisfy |N| < 2^53.
    const int64_t M_lo = std::max<int64_t>(int64_t{1} << 52, (int64_t{1} << 52) + (int64_t(i) << 45) - (int64_t{1} << 44));
    const int64_t M_hi = std::min<int64_t>((int64_t{1} << 53) - 1, (int64_t{1} << 52) + (int64_t(i) << 45) + (int64_t{1} << 44) - 1);
    for (int64_t M : {M_lo, M_hi}) {
      const int64_t N = M * int64_t(R) - (int64_t{1} << 60);
      EXPECT_LT(N < 0 ? -N : N, int64_t{1} << 53) << "entry " << i;
      EXPECT_LE(std::ldexp(double(N < 0 ? -N : N), -60), 0x1.8p-8) << "entry " << i;
      EXPECT_EQ(bytemix::ln_detail::table_index(uint64_t(M) - (uint64_t{1} << 52)), i);
    }
    if (i == 0 || i >= 127) {
      EXPECT_EQ(t.l_hi, 0.0) << "entries next to 1 must have L = 0";
    }
  }
}

}  // namespace
