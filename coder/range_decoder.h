#pragma once

#include <cstdint>

#include "coder/byte_io.h"
#include "coder/range_encoder.h"

namespace bytemix {

// Mirror of RangeEncoder. It reads exactly one byte for every byte the
// encoder writes, eight positions behind the encoder's output: start() reads
// the encoder's initial pending word and active part, each normalisation
// reads the bytes that the same normalisation of the encoder wrote.
//
// Contract: start() once, then decode_symbol() (or narrow() with a symbol
// found by other means) with the same tables, in the same order, as the
// encoder was given.
class RangeDecoder {
 public:
  explicit RangeDecoder(ByteSource& source) : source_(source) {}

  void start() {
    for (int i = 0; i < 8; ++i) read_byte();
    range_ = kInitialRange;
  }

  // Returns the byte whose interval holds the code, and narrows by it.
  unsigned decode_symbol(const std::int32_t freq[256], std::uint32_t total) {
    const std::uint64_t v = std::uint64_t{code_} * total / range_;
    std::uint32_t cum = 0;
    unsigned s = 0;
    // On a damaged stream v may reach total and no byte's interval holds it;
    // the scan stops at the last byte rather than run off the table.
    while (s < 255 && v >= cum + static_cast<std::uint32_t>(freq[s])) {
      cum += static_cast<std::uint32_t>(freq[s]);
      ++s;
    }
    narrow(cum, static_cast<std::uint32_t>(freq[s]), total);
    return s;
  }

  // decode_symbol for a table that keeps its running sums alongside the
  // frequencies (freq[], cum[], total, find(v) as FrequencyTable has them):
  // the same result and the same narrowing, found without a scan.
  template <class Table>
  unsigned decode_symbol(const Table& table) {
    const std::uint32_t total = table.total;
    const std::uint64_t v = std::uint64_t{code_} * total / range_;
    const unsigned s = table.find(v < total ? static_cast<std::uint32_t>(v) : total);
    narrow(table.cum[s], static_cast<std::uint32_t>(table.freq[s]), total);
    return s;
  }

  void narrow(std::uint32_t cum, std::uint32_t freq, std::uint32_t total) {
    const std::uint32_t t = static_cast<std::uint32_t>(std::uint64_t{cum} * range_ / total);
    code_ -= t + 1;
    range_ = static_cast<std::uint32_t>(std::uint64_t{cum + freq} * range_ / total) - (t + 1);
    if (range_ < kTopValue) normalise();
  }

  std::uint32_t code() const { return code_; }
  std::uint32_t range() const { return range_; }

 private:
  // A read past the end of the input counts as 0xFF.
  void read_byte() {
    const int got = source_.get();
    const std::uint32_t b = static_cast<std::uint32_t>(got) & 0xFF;
    code_ = (code_ << 8) | b;
    ff_history_ = (ff_history_ << 1) | (b == 0xFF ? 1u : 0u);
  }

  void normalise() {
    for (;;) {
      read_byte();
      std::uint32_t candidate = range_ << 8;
      if (range_ < kTwoByteThreshold) {
        read_byte();
        candidate = range_ << 16;
        if (range_ < kThreeByteThreshold) {
          read_byte();
          candidate = range_ << 24;
        }
      }
      // Bits 4..7 of the history are the four bytes that formed the
      // encoder's pending word at its guard test, as finally written.
      // Known fault: a carry after the encoder's test can have turned them
      // into all ones, and then the two sides disagree.
      if ((ff_history_ & 0xFF) >= 0xF0) {
        range_ = kGuardRange;
        continue;
      }
      range_ = candidate;
      return;
    }
  }

  ByteSource& source_;
  std::uint32_t code_ = 0;
  std::uint32_t range_ = kInitialRange;
  std::uint32_t ff_history_ = 0;
};

}  // namespace bytemix
