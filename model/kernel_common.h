#pragma once

// Constants and scalar steps shared by every kernel implementation. The
// facts that let the kernels work in floats or in any order, each checked by
// tests/model_facts_test.cpp:
//
// - Every count is exactly 0 or at least 0.001 * 925/1024 > 2^-11 (a count
//   decays only while above 0.001), and every row sum stays below 2^12 (each
//   step adds at most 2 and takes at least 1/2048 of the sum). So every
//   count is a multiple of 2^-34, every partial sum of a row is a multiple of
//   2^-34 below 2^12 (46 bits), and the double sums are exact in any order.
// - A decay constant has at most 11 significant bits, a float 24, so the
//   double product count * decay is exact and its rounding to float equals
//   the float product.
// - count > 0.001 (compared in double) holds exactly when count > the float
//   just below 0.001, as no float lies between the two.
// - count + 1 is exact in double (46 bits again), so its rounding to float
//   equals the float sum.

#include <cstdint>

#include "model/ln.h"
#include "model/ln_lanes.h"
#include "model/weight_selector.h"

namespace bytemix::kernels {

inline constexpr float kSlowDecayF = 0.99951171875f;  // 2047/2048
inline constexpr float kFastDecayF = 0.9033203125f;   // 925/1024
// The largest float below the double 0.001 (0.001f itself lies above it).
inline constexpr float kDecayFloorF = 0x1.0624dcp-10f;

// Charged to an endpoint candidate whose blended probability is not
// positive: large enough that such a candidate is never chosen while any
// other has a finite history, small enough to keep the float costs finite.
inline constexpr double kZeroProbabilityCost = 65535.0;
// Start of the minimum search; every real cost is below it.
inline constexpr double kInitialBestCost = 1e10;

// The running total of the mixed values is not exact, so it must be the sum
// rounded after every addition in index order. The vector kernels still add
// eight values at a time, by this argument: while the total s lies in one
// binade [h, 2h) (h a power of two), every sum rounds to the grid u = h *
// 2^-52, and s is on that grid; so fl(s + v) = s + round_u(v) for v >= 0 as
// long as the result stays below 2h and v is not exactly halfway between two
// grid points (there the even neighbour depends on s). The rounded terms are
// multiples of u whose partial sums stay below 2h, so adding them is exact
// in any order. A block that leaves the binade, or holds a halfway or
// negative value, is added one value at a time instead.
inline double binade_floor(double s) {
  std::uint64_t bits;
  __builtin_memcpy(&bits, &s, sizeof bits);
  bits &= 0x7FF0000000000000u;
  double h;
  __builtin_memcpy(&h, &bits, sizeof h);
  return h;
}

// Smallest positive normal double: below it the grid argument needs care
// that is not worth taking, so such totals are added one value at a time.
inline constexpr double kSmallestNormal = 0x1p-1022;

// Round to nearest, ties to even, for 0 <= v < 2^51: adding 2^52 leaves no
// fraction bits, so the addition itself rounds in the current (nearest)
// mode, without relying on a library rounding function.
inline std::int32_t round_to_nearest_even(double v) {
  constexpr double kShift = 4503599627370496.0;  // 2^52
  return static_cast<std::int32_t>((v + kShift) - kShift);
}

// The candidates' blended probabilities as the selector accumulates them:
// x[0] = a, x[i] = x[i-1] + step for i = 1..63 with step = (b - a) / 63 as
// the product by kCandidateStep. x[63] is the accumulated value, not b.
inline void accumulate_candidates(float a, float b, double x[kCandidates]) {
  const double step = (static_cast<double>(b) - static_cast<double>(a)) * kCandidateStep;
  double v = a;
  x[0] = v;
  for (int i = 1; i < kCandidates; ++i) {
    v = v + step;
    x[i] = v;
  }
}

// The lanes of ln_many whose rounding test failed (bit k of fails set for
// x[k]), recomputed by the scalar ln. Returns their number.
inline int ln_fallbacks(const double* x, double* y, std::uint64_t fails) {
  int count = 0;
  for (; fails != 0; fails &= fails - 1, ++count) {
    const int k = __builtin_ctzll(fails);
    y[k] = ln(x[k]);
  }
  return count;
}

// The candidates' costs need ln(x[i]) of all 64 blends: y[i] = ln(x[i]),
// except that an endpoint (i = 0 or 63) whose probability is not positive
// gets -kZeroProbabilityCost, so that every cost is costs[i] * d - y[i].
// Interior blends are positive whenever a, b >= 0 are not both 0, so they
// take the logarithm without a test.
inline void candidate_logs(int (*ln_many)(const double*, double*, int),
                           const double x[kCandidates], double y[kCandidates]) {
  ln_many(x, y, kCandidates);
  if (!(x[0] > 0)) y[0] = -kZeroProbabilityCost;
  if (!(x[kCandidates - 1] > 0)) y[kCandidates - 1] = -kZeroProbabilityCost;
}

}  // namespace bytemix::kernels
