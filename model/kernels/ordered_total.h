#pragma once

#include <cstdint>

namespace bytemix::kernels {

// The total of the 256 mixed values as the model defines it: the sum
// rounded after every addition, in index order, a chain of dependent
// additions. Its bits set the scale of the frequencies; the model takes it
// only where an estimate added in any order leaves a frequency open
// (kHalfwayMargin).
//
// A clear bit j of live promises that m[16j .. 16j + 15] are all +0, which
// leave every running total as it is (t + +0 = t, +0 + +0 = +0): their
// additions are skipped. So is the case when the final weight gives the
// order-0 tables no share (see live_blocks): then only the blocks where the
// context has order-1 counts hold anything but +0.
//
// A set bit j of equal promises that m[16j .. 16j + 15] are sixteen copies
// of one value (the order-0 counts of bytes that have not come for a long
// while, in a context that has never seen them): those sixteen additions
// are taken in one step where that is exact (add_equal_values).
//
// The chain may also be taken a block at a time: add_total_block() adds
// the next live block, so that a kernel with work of its own (the decay,
// the next mix) can carry the chain along, a block between some of its
// own, and the processor runs both side by side instead of one after the
// other. The additions and their order are the same either way.
//
// The state of a total in progress; change it only through the functions
// below. (Plain data, and functions of internal linkage, so that each
// kernel target compiles its own copy: see model/kernels/kernel_common.h.)
struct OrderedTotal {
  static constexpr int kBlock = 16;

  const double* m = nullptr;
  std::uint16_t left = 0;  // the live blocks not yet added
  std::uint16_t equal = 0;
  double total = 0;
};

namespace {

// Starts the total of m over the blocks of live; m must stay unchanged
// until finish_total().
inline void start_total(OrderedTotal& t, const double* m, std::uint16_t live = 0xFFFF,
                        std::uint16_t equal = 0) {
  t.m = m;
  t.left = live;
  t.equal = equal;
  t.total = 0;
}

// The sixteen rounded additions total += m (m >= 0) in one step: returns
// true and the same total where the step below is exact, false with total
// unchanged otherwise (then the caller adds them one by one).
//
// Let s = total be a normal double in [2^e, 2^(e+1)), where doubles lie
// g = 2^(e-52) apart, and r = RN(s + m) - s what the first addition adds
// (exact when RN(s + m) <= 2s, by Sterbenz's lemma; if it is larger, so
// is t below, and the step is refused). r is a multiple of g, and when
// RN(s + m) lies below 2^(e+1), d = m - r, |d| <= g/2, is exact too (m
// and r are within a factor of 2, or r = 0). If |d| < g/2 strictly (no
// tie) and t = s + 16 r still lies below 2^(e+1), then every partial sum
// s + i r (i < 16) is a double of that binade, and the exact s + i r + m =
// (s + (i + 1) r) + d is nearer to the double s + (i + 1) r than to any
// other (g apart there, the binade's end included), so every addition
// adds exactly r and the chain ends at t. t itself is exact: 16 r is a
// power-of-two multiple, and s + 16 r a multiple of g below 2^(e+1); had
// the exact sum reached 2^(e+1), its rounding would have too, and the
// binade test refuses it.
inline bool add_equal_values(double& total, double m) {
  const double s = total;
  const double r = (s + m) - s;
  const double t = s + 16 * r;
  const std::uint64_t biased_exponent = __builtin_bit_cast(std::uint64_t, s) >> 52;
  // s below 2^-969 (zero or subnormal, or g/2 not a normal double) or t
  // in another binade (s >= 0, so the sign bit is clear).
  if (biased_exponent <= 53 || __builtin_bit_cast(std::uint64_t, t) >> 52 != biased_exponent) return false;
  const double half_gap = __builtin_bit_cast(double, (biased_exponent - 53) << 52);
  const double d = m - r;
  if (!(d < half_gap && -d < half_gap)) return false;
  total = t;
  return true;
}

// Adds the next live block, if any.
inline void add_total_block(OrderedTotal& t) {
  if (t.left == 0) return;
  const int j = __builtin_ctz(t.left);
  const double* block = t.m + OrderedTotal::kBlock * j;
  if ((t.equal >> j & 1) == 0 || !add_equal_values(t.total, block[0])) {
    double total = t.total;
    for (int k = 0; k < OrderedTotal::kBlock; ++k) total += block[k];
    t.total = total;
  }
  t.left &= static_cast<std::uint16_t>(t.left - 1);
}

// Adds the blocks left and returns the total.
inline double finish_total(OrderedTotal& t) {
  while (t.left != 0) add_total_block(t);
  return t.total;
}

inline double ordered_total(const double* m, std::uint16_t live = 0xFFFF, std::uint16_t equal = 0) {
  OrderedTotal t;
  start_total(t, m, live, equal);
  return finish_total(t);
}

}  // namespace
}  // namespace bytemix::kernels
