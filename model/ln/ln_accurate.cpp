// Accurate path of bytemix::ln, taken when the fast path cannot decide the
// rounding. It evaluates ln x in 224-bit fixed point (200 fractional bits,
// model/ln/wide_fixed.h) with a relative error below 2^-146 and rounds that to
// nearest. Exhaustive worst-case searches for binary64 logarithms find no
// argument whose ln lies closer than about 2^-118 (relative) to a rounding
// boundary, so the result is the correctly rounded ln x.
//
// Same reduction as the fast path (model/ln/ln_detail.h):
//   ln x = e' ln2 + L_i + z S(z),   S(z) = ln(1+z)/z = sum_k (-z)^k / (k+1),
// z = N 2^-60 exactly, |z| <= zeta = 3 * 2^-9.
//
// Error budget, in units U = 2^-200 unless relative:
// - 1/(k+1) truncated to U: < 1 U each. Horner T_k = 1/(k+1) - z T_{k+1}
//   with each product truncated (< 1 U): the error of T_0 is below
//   2 U / (1 - zeta) < 2.02 U.
// - S truncated after degree n <= kDegree = 19: |tail| <= zeta^20 / 21 /
//   (1 - zeta) < 2^-152.7 for n = 19, and |tail| <= |z|^(n+1) < 2^-153 for
//   the smaller n chosen when |z| is small (relative to S, in [0.99, 1.01]).
// - z S: one more truncation, < 1 U + |z| (2.02 U + 2^-152.7).
// - L_i and ln 2 come from three doubles each, within 2^-159 relative; the
//   parts are converted exactly except for bits below U (< 1 U each).
// Cases (as in ln_fast.cpp):
// - e' = 0, L_i = 0: y = ln(1+z), |y| >= 2^-53 (|z| >= 2^-53 unless x = 1),
//   relative error < 2^-200 / 2^-53 * 1.05 + 2^-152.7 < 2^-146.8.
// - e' = 0, L_i != 0: |y| >= 2^-9.01, absolute error < 0.35 * 2^-159 + 5 U:
//   relative < 2^-151.
// - e' != 0: |y| >= 0.3437 |e'|, absolute error < (0.7 |e'| + 0.35) 2^-159
//   + 9 U: relative < 2^-157.

#include <algorithm>
#include <bit>

#include "model/ln/ln_detail.h"
#include "model/ln/wide_fixed.h"

namespace bytemix::ln_detail {

namespace {

using wide::Fixed;

constexpr int kDegree = 19;

struct Coefficients {
  Fixed inv[kDegree + 1];  // 1/(k+1) truncated to 2^-200
};

constexpr Coefficients make_coefficients() {
  Coefficients c;
  for (int k = 0; k <= kDegree; ++k) c.inv[k] = wide::reciprocal(uint32_t(k + 1));
  return c;
}

constexpr Coefficients kCoefficients = make_coefficients();

// acc += k * d exactly, except bits of k * d below 2^-200 are dropped. d is a
// normal double or zero, |k| < 2^11.
void add_multiple(Fixed& acc, double d, int k) {
  const uint64_t u = std::bit_cast<uint64_t>(d);
  if ((u << 1) == 0 || k == 0) return;
  const uint64_t mant = (u & kFracMask) | (uint64_t{1} << 52);
  const uint64_t mag = mant * uint64_t(k < 0 ? -k : k);  // < 2^64
  const int shift = int((u >> 52) & 0x7ff) - 1075 + wide::kFracBits;
  const Fixed v = wide::from_scaled(mag, shift);
  if (((u >> 63) != 0) != (k < 0)) {
    wide::sub_from(acc, v);
  } else {
    wide::add_to(acc, v);
  }
}

}  // namespace

double ln_accurate(double x) {
  int e;
  uint64_t frac;
  if (!decompose(x, e, frac)) return special_value(x);
  const int i = table_index(frac);
  const TableEntry& t = kTable[i];
  const int ep = e + (i >= kSplitIndex ? 1 : 0);

  // z = N * 2^-60 (M < 2^53 and R <= 256, so M * R < 2^61).
  const uint64_t M = frac | (uint64_t{1} << 52);
  const uint64_t R = uint64_t(t.r * 256.0);
  const int64_t N = int64_t(M * R) - (int64_t{1} << 60);

  // S(z) by Horner; z * T = N * T / 2^60. With |z| < 2^-b, b = 60 -
  // bit_width(|N|), a degree n with b (n + 1) >= 153 keeps the tail below
  // 2^-153; near 1 this is far fewer than kDegree terms.
  const int b = 60 - std::bit_width(uint64_t(N < 0 ? -N : N));
  const int degree = std::min(kDegree, (153 + b - 1) / b - 1);
  Fixed s = kCoefficients.inv[degree];
  for (int k = degree - 1; k >= 0; --k) {
    const Fixed zs = wide::mul_int_shift(s, N, 60);
    s = kCoefficients.inv[k];
    wide::sub_from(s, zs);
  }
  Fixed y = wide::mul_int_shift(s, N, 60);  // ln(1 + z)

  add_multiple(y, t.l_hi, 1);
  add_multiple(y, t.l_mid, 1);
  add_multiple(y, t.l_lo, 1);
  for (double part : kLn2Td) add_multiple(y, part, ep);

  return wide::to_double_rn(y);  // +0 for x = 1, the only exact case
}

}  // namespace bytemix::ln_detail
