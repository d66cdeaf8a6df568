#pragma once

namespace bytemix::kernels {

// The total of the 256 mixed values as the model defines it: the sum
// rounded after every addition, in index order, a chain of 256 dependent
// additions. Its bits set the scale of the frequencies; the model takes it
// only where an estimate added in any order leaves a frequency open
// (kHalfwayMargin).
inline double ordered_total(const double* m) {
  double total = 0;
  for (int k = 0; k < 256; ++k) total += m[k];
  return total;
}

}  // namespace bytemix::kernels
