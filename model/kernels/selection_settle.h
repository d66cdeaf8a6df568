#pragma once

// The weight selection from estimated costs. A selector must store every
// candidate's cost as a float and return the first index of the smallest
// double cost; both are decisions that rarely depend on the last bits of the
// cost. So the kernels estimate each cost cheaply, with a bound on its
// error, and take the exact value (the chain of blends and bytemix::ln)
// only for the candidates whose decisions the bound leaves open. The result
// is the exact selection, bit for bit, whatever the estimates.
//
// The exact cost of candidate i (WeightSelector): c_i = RN(P_i - y_i), with
// P_i = RN(costs[i] * decay), y_i = ln(x_i) of the accumulated blend x_i = RN(x_(i-1)
// + step), x_0 = a, and y_i = -kZeroProbabilityCost for an endpoint whose
// blend is not positive; when a and b are both 0, c_i = P_i.
//
// The estimate: x~_i = RN(a + RN(i step)), L_i = ln_estimate(x~_i) and
// c~_i = RN(P_i - L_i). With M = max(|a|, |b|) every blend, exact or
// estimated, is at most M (1 + 2^-46) in magnitude; the chain's i roundings
// and the estimate's two give |x~_i - x_i| <= (i + 2) M 2^-52.9 < M 2^-46.8.
// With Delta = M * kBlendSlack = M 2^-46 and x~_i > 4 Delta, the accumulated
// blend x_i > x~_i - 0.58 Delta > 0 and
// |ln x~_i - ln x_i| <= 0.58 Delta / (x~_i - 0.58 Delta) < 0.68 Delta / x~_i;
// adding the estimate's own error (2^-51 (1 + |L_i|)), bytemix::ln's
// rounding (u |y_i|), the two roundings of the cost (u |c~_i| and u |c_i|)
// and the rounding of c~_i -+ err:
//   |c~_i - c_i| < 2^-49 (1 + |L_i| + |c~_i|) + 0.68 Delta / x~_i.
// The kernels use
//   err_i = kCostSlack (|c~_i| + |L_i| + 1) + Delta rho_i,
// kCostSlack = 2^-48 and rho_i at least (1 - 2^-11) / x~_i (a reciprocal
// estimate or a quotient): at least 1.4 times that bound, and no more: a
// file so predictable that every blend is near 1 has costs near 0, where
// floats lie 2^-31 apart, and a bound four to eight times this one left
// the float of some cost open in one selection of 44 there. A lane with
// x~_i <= 4 Delta or outside the
// estimate's domain gets c~_i = 0 and err_i = +inf (decided exactly later);
// candidate 0 with a = 0 is exact (c~_0 = RN(P_0 + 65535), err_0 = 0).
// Estimated blends may also be formed with one rounding (fused), which only
// tightens their bound.
//
// Given such estimates the selection is settled as follows (settle_selection):
// - H = min over i of RN(c~_i + err_i) bounds the smallest cost from above;
//   every inexact candidate whose lower end RN(c~_i - err_i) is at most H
//   could be the smallest, and is made exact (err 0); repeat until none is.
//   Then each remaining inexact candidate j has c_j >= its lower end > H >=
//   the smallest cost, so the first index of the smallest among the exact
//   ones is the selector's answer.
// - An inexact candidate's float is RN_float(c~_i) when RN_float of both ends
//   agree (rounding is monotone, and c_i lies between the ends); otherwise
//   the candidate is made exact.

#include "model/kernels/kernel_common.h"
#include "model/ln/ln.h"

namespace bytemix::kernels {

// Delta = max(|a|, |b|) * kBlendSlack bounds how far an estimated blend may
// lie from the accumulated one (see above).
inline constexpr double kBlendSlack = 0x1p-46;
// The factor of a cost's error bound (see above). The bound scales with the
// logarithm's own size, so that costs near 0 (a file so predictable that
// every blend is close to 1) keep a bound far below their float spacing.
inline constexpr double kCostSlack = 0x1p-48;

// Internal linkage: see model/kernels/kernel_common.h.
namespace {

inline double blend_slack(double a, double b) {
  const double ma = a < 0 ? -a : a, mb = b < 0 ? -b : b;
  return (ma > mb ? ma : mb) * kBlendSlack;
}

// Probabilities a, b (finite, positive) within a ratio of 2^42 of each
// other: then every estimated blend x~_i, formed by one or two roundings,
// lies within max(a, b) 2^-50 of the interval [min, max] of a and b, so
//   x~_i >= min - max 2^-50 >= min (1 - 2^-8) > max 2^-44 = 4 Delta,
// and a float's smallest value as a double is a normal double: every lane
// is in the estimate's domain with a usable bound, and
// rho = 1 / (min (1 - 2^-8)) (the product is exact, its reciprocal rounded
// once) is at least (1 - 2^-11) / x~_i for every i. The kernels may then
// take err_i = kCostSlack (|c~_i| + |L_i|) + known_blends_error_floor.
inline bool blends_within_ratio(float a, float b) {
  const float lo = a < b ? a : b, hi = a < b ? b : a;
  return lo > 0 && hi <= 0x1.fffffep127f && static_cast<double>(lo) >= static_cast<double>(hi) * 0x1p-42;
}
inline double known_blends_error_floor(double a, double b) {
  const double lo = a < b ? a : b;
  const double rho = 1 / (lo * (1 - 0x1p-8));
  return kCostSlack + blend_slack(a, b) * rho;
}

// Equal probabilities give every candidate the same blend, a itself (each
// step adds (b - a) / 63 = 0), so every cost is RN(P_i - ln a) from one
// exact logarithm, or P_i when a = b = 0. Only for finite a >= 0: NaN,
// negative and infinite probabilities (whose step is NaN) take the general
// path.
inline bool blends_equal(float a, float b) { return a == b && a >= 0 && a <= 0x1.fffffep127f; }
inline double equal_blend_log(float a) { return a == 0 ? 0.0 : ln(a); }

}  // namespace

// Completes a selection from estimates c[i] with error bounds err[i] as
// above (err[i] = +inf for an unknown cost, then c[i] must be 0, not NaN):
// stores the 64 float costs into costs (whose entries on entry are the
// costs before this byte) and returns the chosen weight, exactly as
// WeightSelector::select_weight(a, b, costs, decay). Overwrites c and err.
double settle_selection(float a, float b, float* costs, float decay, double* c, double* err);

}  // namespace bytemix::kernels
