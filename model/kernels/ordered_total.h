#pragma once

#include <bit>
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
// The chain may also be taken a block at a time: add_block() adds the next
// live block, so that a kernel with work of its own (the decay, the next
// mix) can carry the chain along, a block between some of its own, and
// the processor runs both side by side instead of one after the other. The
// additions and their order are the same either way.
class OrderedTotal {
 public:
  static constexpr int kBlock = 16;

  // Starts the total of m over the blocks of live; m must stay unchanged
  // until finish().
  void start(const double* m, std::uint16_t live = 0xFFFF, std::uint16_t equal = 0) {
    m_ = m;
    left_ = live;
    equal_ = equal;
    total_ = 0;
  }

  // Adds the next live block, if any.
  void add_block() {
    if (left_ == 0) return;
    const int j = __builtin_ctz(left_);
    const double* block = m_ + kBlock * j;
    if ((equal_ >> j & 1) == 0 || !add_equal_values(total_, block[0])) {
      double total = total_;
      for (int k = 0; k < kBlock; ++k) total += block[k];
      total_ = total;
    }
    left_ &= static_cast<std::uint16_t>(left_ - 1);
  }

  // Adds the blocks left and returns the total.
  double finish() {
    while (left_ != 0) add_block();
    return total_;
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
  static bool add_equal_values(double& total, double m) {
    const double s = total;
    const double r = (s + m) - s;
    const double t = s + 16 * r;
    const std::uint64_t biased_exponent = std::bit_cast<std::uint64_t>(s) >> 52;
    // s below 2^-969 (zero or subnormal, or g/2 not a normal double) or t
    // in another binade (s >= 0, so the sign bit is clear).
    if (biased_exponent <= 53 || std::bit_cast<std::uint64_t>(t) >> 52 != biased_exponent) return false;
    const double half_gap = std::bit_cast<double>((biased_exponent - 53) << 52);
    const double d = m - r;
    if (!(d < half_gap && -d < half_gap)) return false;
    total = t;
    return true;
  }

 private:
  const double* m_ = nullptr;
  std::uint16_t left_ = 0;
  std::uint16_t equal_ = 0;
  double total_ = 0;
};

inline double ordered_total(const double* m, std::uint16_t live = 0xFFFF, std::uint16_t equal = 0) {
  OrderedTotal total;
  total.start(m, live, equal);
  return total.finish();
}

}  // namespace bytemix::kernels
