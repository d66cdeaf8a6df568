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
//
// The functions here, and in the other headers that the kernels' target
// translation units include (ordered_total.h, selection_settle.h,
// model/ln/ln_estimate.h), have internal linkage: each translation unit
// compiles its own copy with its own instruction set. An inline function
// of external linkage would be one symbol for the whole program, and where
// the compiler keeps it out of line (at -O0, say) the linker could keep the
// copy compiled with -mavx512f for a caller on a processor without it.
// tests/kernel_target_symbols.sh checks the targets' objects for such
// symbols.

#include <cstdint>

#include "model/constants.h"

namespace bytemix::kernels {

// The decays as floats (exact) and the floor as the largest float below
// the double kDecayFloor (0.001f itself lies above it).
inline constexpr float kSlowDecayF = static_cast<float>(kSlowDecay);
inline constexpr float kFastDecayF = static_cast<float>(kFastDecay);
static_assert(kSlowDecayF == kSlowDecay && kFastDecayF == kFastDecay);
inline constexpr float kDecayFloorF = 0x1.0624dcp-10f;
static_assert(kDecayFloorF < kDecayFloor && static_cast<float>(kDecayFloor) > kDecayFloor);

// An order-1 row is mostly zeros (a context is followed by few distinct
// bytes), and a count once raised never returns to 0. So the model keeps
// per context a 16-bit mask of the blocks of kOccupancyBlock bytes where
// its order-1 counts may be nonzero, and the kernels skip the others: there
// the decay changes nothing and adds nothing to the sums, and a mixed value
// is ((0 + 0) + o0f b0) + o0s a0 = o0f b0 + o0s a0 exactly (the products
// of 0 by the finite, non-negative coefficients are +0).
inline constexpr int kOccupancyBlock = 16;
static_assert(kOccupancyBlock == 16, "ordered_total skips blocks of 16");

namespace {

inline constexpr std::uint16_t occupancy_bit(unsigned byte) {
  return static_cast<std::uint16_t>(1u << (byte / kOccupancyBlock));
}

// The blocks of mixed values that may be nonzero. With coef = {a1, b1, b0,
// a0} as for Table::mix: when b0 = a0 = 0 (the final weight 1 leaves the
// order-0 tables out), a value outside the occupied blocks is 0 * b0 + 0 *
// a0 = +0 (counts and coefficients are finite and not negative).
inline std::uint16_t live_blocks(const double coef[4], std::uint16_t occupied) {
  return coef[2] == 0 && coef[3] == 0 ? occupied : std::uint16_t{0xFFFF};
}

}  // namespace

// Every mixed value is at least 0 (weights lie in [0, 1], counts and inverse
// sums are not negative), so any order of summation of the 256 values gives
// a total within gamma_255 = 255 u / (1 - 255 u) < 2^-44.99 (u = 2^-53)
// relative of the exact sum, and two orders agree to 2^-43.99. The scales
// 2^23 / total then agree to 2^-43.98 and the products scale * mixed[k],
// at most 2^23 (1 + 2^-23), to 2^-20.9: where a product estimated from any
// order lies farther than this margin from every half-integer, it rounds
// to the same integer as the model's. A total of 0 comes only from 256
// zeros, in any order.
inline constexpr double kHalfwayMargin = 0x1p-18;

// The total is nearly always within 2^-40 of 1 (the mixture of tables that
// are each normalised, with weights that sum to 1), and then the scale
// itself is as good as known: the index-order total lies within 2^-39.9 of
// 1, the model's scale within 2^-16.9 of kUnitScale = 2^23, and as every
// mixed value is at most 1 + 2^-23, the model's product scale * mixed[k]
// (rounded) lies within 2^-16.8 of the exact 2^23 mixed[k]. Where that is
// farther than kUnitScaleMargin from every half-integer, both round to the
// same integer; and 2^23 mixed[k] is exact even in float lanes.
inline constexpr double kUnitScale = 8388608.0;
inline constexpr double kUnitScaleMargin = 0x1p-16;

namespace {

inline bool total_near_one(double total) { return total >= 1 - 0x1p-40 && total <= 1 + 0x1p-40; }

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

}  // namespace

// The candidates' indices 0..63 as doubles, for blends formed in lanes.
alignas(64) inline constexpr double kCandidateIndices[kCandidates] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
    22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
    44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};

}  // namespace bytemix::kernels
