#pragma once

// A cheap natural logarithm with a proven absolute error bound. It is not
// the model's logarithm (bytemix::ln, correctly rounded): it serves callers
// that need ln only to within a known distance and check every decision
// they take against that distance, recomputing with bytemix::ln where a
// decision is too close to call (the weight selection, model/kernels/selection_settle.h).
// Different kernels may evaluate it differently (with or without fused
// operations, in lanes or not); every such evaluation stays within the bound.
//
// Domain: positive normal doubles (ln_estimate_domain); outside it the
// result means nothing and callers must not use it.
//
// Method: x = 2^e m with m in [1, 2); j = the top four fraction bits, so m
// lies in [1 + j/16, 1 + (j+1)/16); r_j = RN(1 / c_j) with c_j = 1 +
// (2j+1)/32 the middle of that sixteenth, and t_j = bytemix::ln(1 / r_j) as
// -ln(r_j) correctly rounded. Then z = m r_j - 1 has |z| <= 1/33 + 2^-52 <
// 2^-5, ln x = e ln2 + t_j + ln(1 + z), and ln(1 + z) = z + z^2 Q(z) with Q
// the Taylor polynomial -1/2 + z/3 - z^2/4 + ... + z^7/9; the neglected
// terms sum to at most |z|^10 / (10 (1 - |z|)) < 2^-53.2.
// The sum is (e ln2_hi + t_j) + (z + (z^2 Q + e ln2_lo)), where e ln2_hi is
// exact (ln2_hi has 42 significant bits, |e| < 2^11).
//
// Error, against the exact ln x, with u = 2^-53 and y = ln x:
//   t_j: u/2 * 0.7;  z: at most 1.03u if m r_j is rounded before the
//   subtraction (which is then exact), 2^-5 u if fused; the polynomial part:
//   |z^2 Q| < 2^-10.9, its roundings < 4u * 2^-10.9; truncation < 2^-53.2;
//   ln2 split: 2^-97 |e|; the three additions: u (|y| + 2^-5) + u 2^-5 + u |y|.
// In all below 2.6u + 2.1u |y| < 2^-51 (1 + |y|). The published bound
// kLnEstimateError leaves a factor of four over that, which also covers the
// distance to bytemix::ln (at most u |y|):
//   |ln_estimate(x) - bytemix::ln(x)| <= kLnEstimateError * (1 + |ln_estimate(x)|).
// tests/ln_estimate_test.cpp checks the bound on many arguments of every kind.

#include <cstdint>

namespace bytemix::ln_estimate_detail {

// Per sixteenth j: r[j] = RN(1 / (1 + (2j+1)/32)) and t[j] = RN(-ln r[j]),
// from bytemix::ln. Two arrays, so that lanes can gather from each.
struct Sixteenths {
  double r[16];
  double t[16];
};

// Generated once with bytemix::ln; tests/ln_estimate_test.cpp recomputes it.
inline constexpr Sixteenths kSixteenths = {
    {0x1.f07c1f07c1f08p-1, 0x1.d41d41d41d41dp-1, 0x1.bacf914c1badp-1, 0x1.a41a41a41a41ap-1,
     0x1.8f9c18f9c18fap-1, 0x1.7d05f417d05f4p-1, 0x1.6c16c16c16c17p-1, 0x1.5c9882b931057p-1,
     0x1.4e5e0a72f0539p-1, 0x1.4141414141414p-1, 0x1.3521cfb2b78c1p-1, 0x1.29e4129e4129ep-1,
     0x1.1f7047dc11f7p-1, 0x1.15b1e5f75270dp-1, 0x1.0c9714fbcda3bp-1, 0x1.041041041041p-1},
    {0x1.f829b0e7832f8p-6, 0x1.6f0d28ae56b4ep-4, 0x1.29552f81ff521p-3, 0x1.9525a9cf456b6p-3,
     0x1.fb9186d5e3e29p-3, 0x1.2e8e2bae11d31p-2, 0x1.5d1bdbf5809cap-2, 0x1.89a3386c1425bp-2,
     0x1.b44f77bcc8f64p-2, 0x1.dd46a04c1c4a1p-2, 0x1.02552a5a5d0ffp-1, 0x1.154c3d2f4d5eap-1,
     0x1.2795e1289b11bp-1, 0x1.393e0d3562a1ap-1, 0x1.4a4f85db03ebbp-1, 0x1.5ad404c359f2dp-1},
};

// ln 2 = kLn2Hi + kLn2Lo to about 2^-97; kLn2Hi has 42 significant bits.
inline constexpr double kLn2Hi = 0x1.62e42fefa38p-1;
inline constexpr double kLn2Lo = 0x1.ef35793c7673p-45;

// Taylor coefficients of Q: (-1)^(k+1) / k for k = 2..9.
inline constexpr double kQ2 = -0.5;
inline constexpr double kQ3 = 1.0 / 3;
inline constexpr double kQ4 = -0.25;
inline constexpr double kQ5 = 1.0 / 5;
inline constexpr double kQ6 = -1.0 / 6;
inline constexpr double kQ7 = 1.0 / 7;
inline constexpr double kQ8 = -0.125;
inline constexpr double kQ9 = 1.0 / 9;

inline constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << 52) - 1;
inline constexpr std::uint64_t kOneBits = 0x3ff0000000000000u;  // 1.0
inline constexpr int kIndexShift = 48;                          // top four fraction bits
// The biased exponent e + 1023 as a double, without an integer conversion:
// the bits of 2^52 with e + 1023 in the low bits, less 2^52 + 1023.
inline constexpr std::uint64_t kExponentMagicBits = 0x4330000000000000u;  // 2^52
inline constexpr double kExponentMagic = 0x1p52 + 1023;

}  // namespace bytemix::ln_estimate_detail

namespace bytemix {

// See the top of this file.
inline constexpr double kLnEstimateError = 0x1p-49;

// Internal linkage: see model/kernels/kernel_common.h.
namespace {

inline bool ln_estimate_domain(double x) { return x >= 0x1p-1022 && x <= 0x1.fffffffffffffp+1023; }

// x in ln_estimate_domain. The plain statement of the method above, one
// lane; the kernels evaluate it in lanes (model/kernels/kernels-inl.h).
inline double ln_estimate(double x) {
  using namespace ln_estimate_detail;
  const std::uint64_t bits = __builtin_bit_cast(std::uint64_t, x);
  const double e = static_cast<double>(static_cast<int>(bits >> 52) - 1023);
  const unsigned j = (bits >> kIndexShift) & 15;
  const double m = __builtin_bit_cast(double, (bits & kFractionMask) | kOneBits);
  const double z = m * kSixteenths.r[j] - 1.0;
  double q = kQ9;
  q = kQ8 + z * q;
  q = kQ7 + z * q;
  q = kQ6 + z * q;
  q = kQ5 + z * q;
  q = kQ4 + z * q;
  q = kQ3 + z * q;
  q = kQ2 + z * q;
  return (e * kLn2Hi + kSixteenths.t[j]) + (z + ((z * z) * q + e * kLn2Lo));
}

}  // namespace
}  // namespace bytemix
