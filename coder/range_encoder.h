#pragma once

#include <cstdint>

#include "coder/byte_io.h"

namespace bytemix {

// Coder constants shared by the encoder and the decoder.
inline constexpr std::uint32_t kInitialRange = 0xFFFFFFFF;
// Below this range the coder normalises: one byte leaves for every 8 bits of
// range below 2^32, so the range stays at least 2^24 after a normalisation.
inline constexpr std::uint32_t kTopValue = 1u << 24;
inline constexpr std::uint32_t kTwoByteThreshold = 1u << 16;
inline constexpr std::uint32_t kThreeByteThreshold = 1u << 8;
// A pending word of all ones could not absorb a later carry; the coder then
// writes three of its bytes and continues with this range.
inline constexpr std::uint32_t kGuardRange = 0xFF;
inline constexpr std::uint32_t kAllOnesPending = 0xFFFFFFFF;

// Range encoder with a 64-bit low: the upper 32 bits ("pending") are the next
// four output bytes, the lower 32 bits the active part. A carry out of the
// active part is absorbed by pending, so no byte is changed once written.
//
// Contract: every encode() gets 0 < freq, cum + freq <= total < 2^24 (the
// model's totals stay within a few hundred of 2^23), and the decoder receives
// the same triples in the same order. Call flush() exactly once after the
// last symbol. Since the range is at least 2^24 when a symbol is coded, every
// total is below the range, so the lower ends floor(cum * range / total) of
// the 256 intervals are distinct.
class RangeEncoder {
 public:
  explicit RangeEncoder(ByteSink& sink) : sink_(sink) {}

  void encode(std::uint32_t cum, std::uint32_t freq, std::uint32_t total) {
    const std::uint32_t t = static_cast<std::uint32_t>(std::uint64_t{cum} * range_ / total);
    low_ += std::uint64_t{t} + 1;
    // The symbol's interval is [low + t + 1, low + floor((cum+freq)*r/total)):
    // the unit at its lower end is left unused, which lets the decoder find
    // the symbol by a single division.
    range_ = static_cast<std::uint32_t>(std::uint64_t{cum + freq} * range_ / total) - (t + 1);
    // With freq 1 and range < 2 * total (a total above 2^23, a range just
    // above 2^24) that interval can be empty. The symbol then takes the one
    // unit at low + t + 1, which is the unused lower unit of the next
    // symbol's interval (the last symbol's interval is never empty while
    // total < range). low is left as it is, so every byte written is the
    // same as without this step; only the range becomes 1 instead of 0. The
    // decoder's quotient for that unit is exactly cum, so it finds the symbol
    // without help.
    range_ += range_ == 0 ? 1 : 0;
    if (range_ < kTopValue) normalise();
  }

  // Writes the whole 64-bit low, most significant byte first.
  void flush() {
    for (int i = 0; i < 8; ++i) {
      sink_.put(pending_top_byte());
      low_ <<= 8;
    }
  }

  std::uint64_t low() const { return low_; }
  std::uint32_t range() const { return range_; }

 private:
  std::uint8_t pending_top_byte() const { return static_cast<std::uint8_t>(low_ >> 56); }

  void normalise() {
    for (;;) {
      sink_.put(pending_top_byte());
      int shift = 8;
      if (range_ < kTwoByteThreshold) {
        sink_.put(static_cast<std::uint8_t>(low_ >> 48));
        shift = 16;
        if (range_ < kThreeByteThreshold) {
          sink_.put(static_cast<std::uint8_t>(low_ >> 40));
          shift = 24;
        }
      }
      low_ <<= shift;
      const std::uint32_t candidate = range_ << shift;
      // The guard keeps pending from being all ones, so the carry of at most
      // 1 that the active part can still produce always fits into it. The
      // test is on pending as it is now, before any later carry; the decoder
      // repeats it on its own copy of low, not on the bytes as finally
      // written (a carry can still turn 0xFFFFFFFE into 0xFFFFFFFF).
      if (static_cast<std::uint32_t>(low_ >> 32) == kAllOnesPending) {
        range_ = kGuardRange;
        continue;
      }
      range_ = candidate;
      return;
    }
  }

  ByteSink& sink_;
  std::uint64_t low_ = 0;
  std::uint32_t range_ = kInitialRange;
};

}  // namespace bytemix
