#pragma once

#include <cstdint>

namespace bytemix {

// The model's prediction for one byte: 256 integer frequencies, each at
// least 1, and their total (close to 2^23). The cumulative frequency of byte
// x is the sum of the frequencies of bytes 0..x-1.
//
// Whoever fills freq also fills total and block_cum, the cumulative
// frequencies at the starts of the 16 blocks of 16 bytes (block_cum[b] =
// freq[0] + ... + freq[16b - 1], block_cum[16] = total). The encoder's
// cumulative frequency is then a load and at most 15 additions, and the
// decoder's symbol search four halvings over the blocks and at most 15 steps
// inside one, while the model forms 16 block sums rather than 256 running
// sums for every byte.
struct FrequencyTable {
  static constexpr unsigned kBlock = 16;

  std::int32_t freq[256];
  std::uint32_t total;
  std::uint32_t block_cum[256 / kBlock + 1];

  std::uint32_t cumulative(unsigned x) const {
    std::uint32_t cum = block_cum[x / kBlock];
    for (unsigned k = x & ~(kBlock - 1); k < x; ++k) cum += static_cast<std::uint32_t>(freq[k]);
    return cum;
  }

  // Sets freq[x] to f and moves total and block_cum with it.
  void set(unsigned x, std::int32_t f) {
    const auto delta = static_cast<std::uint32_t>(f - freq[x]);
    freq[x] = f;
    for (unsigned b = x / kBlock + 1; b <= 256 / kBlock; ++b) block_cum[b] += delta;
    total += delta;
  }

  // The byte s whose interval [cumulative(s), cumulative(s + 1)) holds v,
  // for v < total; stores cumulative(s) in cum. A v at or above total (only
  // a damaged stream gives one) yields 255, as a scan that stops at the last
  // byte would.
  unsigned find(std::uint32_t v, std::uint32_t& cum) const {
    unsigned b = 0;
    for (unsigned half = 256 / kBlock / 2; half != 0; half >>= 1) b += block_cum[b + half] <= v ? half : 0;
    unsigned s = b * kBlock;
    std::uint32_t c = block_cum[b];
    for (const unsigned last = s + kBlock - 1; s < last && c + static_cast<std::uint32_t>(freq[s]) <= v; ++s)
      c += static_cast<std::uint32_t>(freq[s]);
    cum = c;
    return s;
  }
};

}  // namespace bytemix
