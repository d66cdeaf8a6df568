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
  void start(const double* m, std::uint16_t live = 0xFFFF) {
    m_ = m;
    left_ = live;
    total_ = 0;
  }

  // Adds the next live block, if any.
  void add_block() {
    if (left_ == 0) return;
    const double* block = m_ + kBlock * __builtin_ctz(left_);
    double total = total_;
    for (int k = 0; k < kBlock; ++k) total += block[k];
    total_ = total;
    left_ &= static_cast<std::uint16_t>(left_ - 1);
  }

  // Adds the blocks left and returns the total.
  double finish() {
    while (left_ != 0) add_block();
    return total_;
  }

 private:
  const double* m_ = nullptr;
  std::uint16_t left_ = 0;
  double total_ = 0;
};

inline double ordered_total(const double* m, std::uint16_t live = 0xFFFF) {
  OrderedTotal total;
  total.start(m, live);
  return total.finish();
}

}  // namespace bytemix::kernels
