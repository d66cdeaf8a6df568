#pragma once

// A cheaper evaluation of ln for many arguments at once, lane by lane, whose
// results are still exactly bytemix::ln (the correctly rounded value): each
// lane carries a proven error bound and a rounding test, and a lane whose
// test fails is recomputed by the scalar bytemix::ln. The vector kernels run
// the same operations in AVX2 and AVX-512 registers; ln_lane() below is the
// one-lane reading and the portable path.
//
// Domain: positive normal doubles. Zeros, negatives, subnormals, infinities
// and NaN are never evaluated here; the callers send them to bytemix::ln.
//
// Notation: u = 2^-53, zeta = max |z| = 3 * 2^-9 < 2^-7.41, y = ln x.
//
// 1. Reduction: the one of model/ln_detail.h and its table (model/ln_table.h):
//    x = 2^e m, i from the top fraction bits, e' = e + (i >= kSplitIndex),
//    z = m r_i - 1 computed exactly (r_i has 8 significant bits; see
//    ln_fast.cpp step 1), and y = K + ln(1 + z) with K = e' ln2 + L_i.
//    Facts of that table used below: K = 0 exactly on the intervals touching
//    1; otherwise either e' = 0 and |y| >= 2^-9.01 with 2^-7.41 < |L_i| <
//    0.35, or e' != 0 and |y| >= 0.3437 |e'|.
//
// 2. ln(1 + z) = z - z^2/2 + z^3 Q(z), Q(z) = sum_{k>=3} (-1)^(k+1) z^(k-3)/k.
//    - z^2 = sh + sl exactly (two_prod: an exact error term, by FMA in the
//      AVX-512 and AVX2-with-FMA kernels and by Dekker's product elsewhere;
//      the same doubles),
//      and halving is exact, so z - z^2/2 enters without error.
//    - Q is truncated after z^6/9 (degree 9 in all) and evaluated by Horner
//      in plain double; q3 = fl(fl(sh z) Q^). Coefficients 1/3, 1/5, ... are
//      rounded (<= u relative each); the Horner error is at most 2.04u
//      relative (|Q| >= 1/3 - zeta/4 > 0.3275, the inner part is below
//      0.2512 and enters multiplied by |z| < 2^-7.41); the two products add
//      2u and the neglected sl another u: q3 = z^3 Q_9(z) (1 + d),
//      |d| <= 5.04u. Truncation: |z|^10 / (10 (1 - zeta)) <=
//      zeta^7 |z^3 Q_9| / (10 * 0.9941 * 0.3275) <= 0.674u |q3| (1 + 6u).
//
// 3. Sums: (h1, l1) = fast_two_sum(K_h, z), valid as K_h = 0 or |K_h| >
//    2^-7.41 > |z|; (h2, l2) = fast_two_sum(h1, -sh/2), valid as h1 = z,
//    |z| > sh/2 when K_h = 0, and otherwise |h1| >= |y| - z^2/2 - |K_l|
//    (less roundings) > 2^-9.1 > sh/2; both exact.
//    low = (((K_l + l1) + l2) - sl/2) + q3 and (h, l) = fast_two_sum(h2,
//    low), exact. The last addition of low rounds q3 once more (u |q3|).
//    So |h + l - y| <= 6.73u |q3| + E_other with E_other made of: the three
//    other additions of low (<= 4.01u (|K_l| + |l1| + |l2| + |sl|/2)), the
//    table (|l_hi + l_mid - L_i| <= 2^-106 |L_i|), ln2 (2^-96 |e'|) and the
//    roundings inside K_l = t + (l_mid + e' ln2_lo) (t the exact error of
//    two_sum(e' ln2_hi, l_hi); |ln2_lo| < 2^-44). Case by case:
//    - K = 0: K_l = l1 = 0 and E_other <= 4.01u (u |h2| + u sh/2) < 2^-103 |y|;
//    - e' = 0, L_i != 0: |K_l| <= 2u |L_i| <= 2u * 0.35 * 2^9.01 |y|, so
//      E_other < 2^-95 |y|;
//    - e' != 0: |K_l| <= u (1.05 + 0.35) |e'| + 2^-44 |e'| and the ln2 and
//      rounding terms are below 2^-95 |e'|; over |y| >= 0.3437 |e'|,
//      E_other < 2^-90 |y|.
//    Hence |h + l - y| <= kLaneRelErr * |h| / 16 + 6.73u |q3| (|h| and |y|
//    agree to 2^-60).
//
// 4. Rounding test: err = fl(kLaneRelErr |h| + kLanePolyErr |q3|) (both
//    products exact: powers of two times doubles far from underflow since
//    |z| >= 2^-60 unless z = 0). kLaneRelErr = 2^-86 and kLanePolyErr =
//    2^-50 = 8u leave a margin of at least 2^-86.1 |h| + 1.2u |q3| over the
//    bound of step 3, which covers the rounding of err (u err) and of
//    l -+ err (u (|l| + err), |l| <= u |h|). By monotonicity of rounding,
//    fl(h + fl(l - err)) <= RN(y) <= fl(h + fl(l + err)), so equal ends give
//    RN(y); y is never a midpoint (ln x is transcendental for x != 1, and
//    x = 1 gives h = l = err = 0 and the result +0).
//    The test fails for about 2 (err / |y|) 2^52..53 of the arguments: near
//    2^-44 |z|^2 for x next to 1 and at most about 2^-10 elsewhere, where
//    |q3| / |y| is largest (small |y| with |z| near zeta).
//
// tests/ln_lanes_test.cpp checks the bound of step 3 against MPFR on a
// sample and every path's results against bytemix::ln.

#include <bit>
#include <cstdint>

#include "model/double_double.h"
#include "model/ln_detail.h"

namespace bytemix::ln_detail {

inline constexpr double kLaneRelErr = 0x1p-86;
inline constexpr double kLanePolyErr = 0x1p-50;

// Coefficients of Q (step 2) after the first: (-1)^(k+1) / k, k = 4..9.
inline constexpr double kLaneC4 = -0.25;
inline constexpr double kLaneC5 = 1.0 / 5;
inline constexpr double kLaneC6 = -1.0 / 6;
inline constexpr double kLaneC7 = 1.0 / 7;
inline constexpr double kLaneC8 = -0.125;
inline constexpr double kLaneC9 = 1.0 / 9;

// Bit patterns shared by the vector kernels.
inline constexpr uint64_t kOneBits = 0x3ff0000000000000u;       // 1.0
inline constexpr uint64_t kLowByteClear = ~uint64_t{0xff};     // mh = m with 8 bits cleared
inline constexpr uint64_t kExponentMagicBits = 0x4330000000000000u;  // 2^52
inline constexpr double kExponentMagic = 0x1p52 + 1023;  // 2^52 + exponent bias

// True for the arguments the lanes evaluate (positive normal doubles).
inline bool lane_domain(double x) {
  return x >= 0x1p-1022 && x <= 0x1.fffffffffffffp+1023;
}

// Step 1 for x in the lane domain: z, e' and the table entry.
inline void lane_reduce(double x, double& z, double& ep, const TableEntry*& t) {
  const uint64_t u = std::bit_cast<uint64_t>(x);
  const uint64_t frac = u & kFracMask;
  const int i = table_index(frac);
  t = &kTable[i];
  ep = double(int(u >> 52) - 1023 + (i >= kSplitIndex ? 1 : 0));
  const double m = std::bit_cast<double>(kOneBits | frac);
  const double mh = std::bit_cast<double>(kOneBits | (frac & kLowByteClear));
  z = (mh * t->r - 1.0) + (m - mh) * t->r;
}

// Step 2: the exact square sh + sl of z and q3.
inline void lane_poly(double z, double& sh, double& sl, double& q3) {
  dd::two_prod(z, z, sh, sl);
  double q = kLaneC9;
  q = kLaneC8 + z * q;
  q = kLaneC7 + z * q;
  q = kLaneC6 + z * q;
  q = kLaneC5 + z * q;
  q = kLaneC4 + z * q;
  q = kThirdHi + z * q;
  q3 = (sh * z) * q;
}

// Step 3: ln x ~ h + l.
inline void lane_sum(double z, double ep, double l_hi, double l_mid, double sh, double sl,
                     double q3, double& h, double& l) {
  using namespace dd;
  double kh, kt;
  two_sum(ep * kLn2Hi, l_hi, kh, kt);
  const double kl = kt + (l_mid + ep * kLn2Lo);
  double h1, l1, h2, l2;
  fast_two_sum(kh, z, h1, l1);
  fast_two_sum(h1, -0.5 * sh, h2, l2);
  const double low = (((kl + l1) + l2) + -0.5 * sl) + q3;
  fast_two_sum(h2, low, h, l);
}

// Steps 1 to 3 for x in the lane domain: ln x ~ h + l, with q3 for the
// error bound err = kLaneRelErr |h| + kLanePolyErr |q3|.
inline void lane_eval(double x, double& h, double& l, double& q3) {
  double z, ep, sh, sl;
  const TableEntry* t;
  lane_reduce(x, z, ep, t);
  lane_poly(z, sh, sl, q3);
  lane_sum(z, ep, t->l_hi, t->l_mid, sh, sl, q3, h, l);
}

inline double lane_abs(double v) {
  return std::bit_cast<double>(std::bit_cast<uint64_t>(v) & 0x7fffffffffffffffu);
}

// Step 4 and one lane with it: true and y = bytemix::ln(x) if
// the test passes, false (y then holds no result) if it fails or x is outside the
// lane domain.
inline bool lane_test(double h, double l, double q3, double& y) {
  const double err = kLaneRelErr * lane_abs(h) + kLanePolyErr * lane_abs(q3);
  const double lo = h + (l - err);
  const double hi = h + (l + err);
  y = lo;
  return lo == hi;
}

inline bool ln_lane(double x, double& y) {
  if (!lane_domain(x)) return false;
  double h, l, q3;
  lane_eval(x, h, l, q3);
  return lane_test(h, l, q3, y);
}

}  // namespace bytemix::ln_detail
