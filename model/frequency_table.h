#pragma once

#include <cstdint>

namespace bytemix {

// The model's prediction for one byte: 256 integer frequencies, each at
// least 1, and their total (close to 2^23). The cumulative frequency of byte
// x is the sum of the frequencies of bytes 0..x-1.
//
// Whoever fills freq also fills cum, the running sums kept alongside
// (cum[x] = freq[0] + ... + freq[x-1], cum[256] = total), so that the
// encoder's cumulative frequency is one load and the decoder's symbol search
// a binary search rather than a 256-step scan.
struct FrequencyTable {
  std::int32_t freq[256];
  std::uint32_t total;
  std::uint32_t cum[257];

  std::uint32_t cumulative(unsigned x) const { return cum[x]; }

  // The byte s whose interval [cum[s], cum[s+1]) holds v, for v < total.
  // A v at or above total (only a damaged stream gives one) yields 255, as a
  // scan that stops at the last byte would. Branch-free: eight halvings.
  unsigned find(std::uint32_t v) const {
    unsigned s = 0;
    for (unsigned half = 128; half != 0; half >>= 1) s += cum[s + half] <= v ? half : 0;
    return s;
  }
};

}  // namespace bytemix
