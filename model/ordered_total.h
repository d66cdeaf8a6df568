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
inline double ordered_total(const double* m, std::uint16_t live = 0xFFFF) {
  constexpr int kBlock = 16;
  double total = 0;
  for (unsigned bits = live; bits != 0; bits &= bits - 1) {
    const double* block = m + kBlock * __builtin_ctz(bits);
    for (int k = 0; k < kBlock; ++k) total += block[k];
  }
  return total;
}

}  // namespace bytemix::kernels
