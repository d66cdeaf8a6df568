#pragma once

#include <cstdint>

namespace bytemix {

// The model's prediction for one byte: 256 integer frequencies, each at
// least 1, and their total (close to 2^23). The cumulative frequency of byte
// x is the sum of the frequencies of bytes 0..x-1.
struct FrequencyTable {
  std::int32_t freq[256];
  std::uint32_t total;

  std::uint32_t cumulative(unsigned x) const {
    std::uint32_t cum = 0;
    for (unsigned k = 0; k < x; ++k) cum += static_cast<std::uint32_t>(freq[k]);
    return cum;
  }
};

}  // namespace bytemix
