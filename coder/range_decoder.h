#pragma once

#include <cstdint>

#include "coder/byte_io.h"
#include "coder/range_encoder.h"

namespace bytemix {

// Mirror of RangeEncoder. It reads exactly one byte for every byte the
// encoder writes, eight positions behind the encoder's output: start() reads
// the encoder's initial pending word and active part, each normalisation
// reads the bytes that the same normalisation of the encoder wrote. After the
// last symbol it has read the whole stream, the flush included, and nothing
// more.
//
// It also keeps its own copy of the encoder's 64-bit low (the same additions
// and shifts), for two reasons: the guard of a normalisation is decided on
// the encoder's pending word as it was at that moment, which the bytes as
// finally written no longer show after a carry; and a stream that is whole
// ends with the eight bytes of that low (see at_stream_end()).
//
// Damage is detected, not repaired: a read past the end of the input, a
// code that lies outside every symbol's interval, or a byte that is not the
// one the encoder would have written there, sets fault() and leaves the
// decoder's result meaningless. A stream that decodes without a fault and
// ends at_stream_end() is, byte for byte, the stream that the encoder writes
// for the symbols decoded. The caller checks fault() after each symbol
// and stops at the first one; the decoder never allocates and never loops
// over more than the bytes of one normalisation, so stopping there bounds
// the work by the input's size, whatever the caller meant to decode.
//
// Contract: start() once, then decode_symbol() (or narrow() with a symbol
// found by other means) with the same tables, in the same order, as the
// encoder was given, each with total < 2^24.
class RangeDecoder {
 public:
  enum class Fault {
    none,
    read_past_end,  // the input ended before the stream did
    invalid_code,   // the code lies where no symbol's interval is
  };

  explicit RangeDecoder(ByteSource& source) : source_(source) {}

  void start() {
    for (int i = 0; i < 8; ++i) read_byte();
    range_ = kInitialRange;
    // The first four bytes are the encoder's initial pending word, 0, which
    // no carry can reach (low + range starts below 2^32 and never grows).
    if ((window_ >> 32) != 0) fail(Fault::invalid_code);
  }

  // Returns the byte whose interval holds the code, and narrows by it. On a
  // code outside every interval sets fault() and leaves the state unchanged.
  // freq[] are the table's 256 frequencies (each at least 1), total their sum.
  unsigned decode_symbol(const std::int32_t freq[256], std::uint32_t total) {
    std::uint32_t v;
    if (!target(total, v)) return 0;
    std::uint32_t cum = 0;
    unsigned s = 0;
    while (s < 255 && v >= cum + static_cast<std::uint32_t>(freq[s])) {
      cum += static_cast<std::uint32_t>(freq[s]);
      ++s;
    }
    // An empty interval of s (see RangeEncoder::encode()) holds the code at
    // offset t + 1 = floor((cum + 1) * range / total), and since range >
    // total the quotient of that offset is exactly cum: the scan finds s as
    // for any other symbol.
    narrow(cum, static_cast<std::uint32_t>(freq[s]), total);
    return s;
  }

  // decode_symbol for a table that can find the symbol of a value itself
  // (freq[], total and find(v, cum) as FrequencyTable has them): the same
  // result, the same narrowing and the same fault, found without a scan.
  template <class Table>
  unsigned decode_symbol(const Table& table) {
    const std::uint32_t total = table.total;
    std::uint32_t v;
    if (!target(total, v)) return 0;
    std::uint32_t cum;
    const unsigned s = table.find(v, cum);
    narrow(cum, static_cast<std::uint32_t>(table.freq[s]), total);
    return s;
  }

  // The symbol of the code under a table known only within bounds: the
  // exact table's frequencies are those of `estimate` except at the bytes
  // marked in open (bit k % 64 of open[k / 64]), where they may be one more
  // or one less; estimate has its total and block_cum (as FrequencyTable
  // has them). Returns true and the byte s if every table within those
  // bounds puts the code in s's interval, without a fault: decode_symbol()
  // with the exact table would find s, and narrow() with the exact table's
  // cumulative frequency, frequency and total then does what
  // decode_symbol() does. Otherwise (the code lies near a boundary that the
  // open bytes can move) returns false. Changes nothing either way.
  template <class Table>
  bool symbol_within(const Table& estimate, const std::uint64_t open[4], unsigned& s) const {
    // The exact total lies within spread of the estimate's (and a spread
    // as large as the total leaves nothing to find).
    const unsigned spread = count_open(open, 256);
    if (spread >= estimate.total) return false;
    // The code's position grows with the total.
    const std::uint64_t v_low = std::uint64_t{code_} * (estimate.total - spread) / range_;
    const std::uint64_t v_high = std::uint64_t{code_} * (estimate.total + spread) / range_;
    // A v_low at or past the estimate's total (only a damaged stream gives
    // one, and it may not fit 32 bits) fails the last test below, whatever
    // find() makes of it: v_high >= v_low >= every interval's end.
    std::uint32_t cum;
    const unsigned x = estimate.find(static_cast<std::uint32_t>(v_low), cum);
    // The exact interval of x starts at most one unit per open byte below x
    // higher, and ends at most one unit per open byte up to x lower.
    const unsigned below_x = count_open(open, x);
    const unsigned up_to_x = below_x + static_cast<unsigned>(open[x / 64] >> (x % 64) & 1);
    if (cum + below_x > v_low) return false;
    if (v_high + up_to_x >= std::uint64_t{cum} + static_cast<std::uint32_t>(estimate.freq[x])) return false;
    s = x;
    return true;
  }

  // Narrows by the symbol [cum, cum + freq) out of total. If the code is not
  // inside that symbol's interval (which includes the unused unit below each
  // interval) the stream is damaged: sets fault() and changes nothing.
  void narrow(std::uint32_t cum, std::uint32_t freq, std::uint32_t total) {
    const std::uint32_t t = static_cast<std::uint32_t>(std::uint64_t{cum} * range_ / total);
    std::uint32_t range = static_cast<std::uint32_t>(std::uint64_t{cum + freq} * range_ / total) - (t + 1);
    range += range == 0 ? 1 : 0;  // the encoder's empty-interval rule
    const std::uint32_t code = code_ - (t + 1);  // wraps below the interval
    if (code >= range) {
      fail(Fault::invalid_code);
      return;
    }
    code_ = code;
    range_ = range;
    low_ += std::uint64_t{t} + 1;
    if (range_ < kTopValue) normalise();
  }

  Fault fault() const { return fault_; }

  // True when the last eight bytes read are the encoder's low as the decoder
  // mirrors it, that is when a flush at this point would have written exactly
  // them. After the last symbol of a whole stream this always holds; before
  // it, never (the code would be 0, the unused lower unit of symbol 0, where
  // no symbol can be decoded).
  bool at_stream_end() const { return window_ == low_; }

  std::uint32_t code() const { return code_; }
  std::uint32_t range() const { return range_; }

 private:
  // The code's position on the scale of `total`: the cumulative frequency
  // that the decoded symbol's interval must hold. On a whole stream
  // code < range, so it is below total; otherwise sets fault() and returns
  // false.
  bool target(std::uint32_t total, std::uint32_t& v) {
    const std::uint64_t q = std::uint64_t{code_} * total / range_;
    if (q >= total) {
      fail(Fault::invalid_code);
      return false;
    }
    v = static_cast<std::uint32_t>(q);
    return true;
  }

  // The bytes below `end` marked in open. Few are marked (a byte or two in
  // the model's open tables), so the count goes bit by bit, which also needs
  // no population-count instruction that the baseline processor may lack.
  static unsigned count_open(const std::uint64_t open[4], unsigned end) {
    unsigned n = 0;
    for (unsigned w = 0; w < 4 && 64 * w < end; ++w) {
      std::uint64_t bits = open[w];
      if (end < 64 * w + 64) bits &= (std::uint64_t{1} << (end - 64 * w)) - 1;
      for (; bits != 0; bits &= bits - 1) ++n;
    }
    return n;
  }

  // Keeps the first fault: it is the one that explains the others.
  void fail(Fault f) {
    if (fault_ == Fault::none) fault_ = f;
  }

  // A read past the end of the input records the fault and counts as 0xFF.
  void read_byte() {
    const int got = source_.get();
    if (got < 0) fail(Fault::read_past_end);
    const std::uint32_t b = static_cast<std::uint32_t>(got) & 0xFF;
    code_ = (code_ << 8) | b;
    window_ = (window_ << 8) | b;
  }

  // Same steps as RangeEncoder's normalisation, and the guard is tested on
  // the mirrored pending word, exactly as the encoder tested it. The bytes
  // that leave the window here are the ones that the encoder writes at this
  // normalisation, from the top of its low: on a stream it wrote they are
  // equal, so every byte is checked once, eight bytes after it was read.
  void normalise() {
    for (;;) {
      int shift = 8;
      if (range_ < kTwoByteThreshold) shift = range_ < kThreeByteThreshold ? 24 : 16;
      if (((window_ ^ low_) >> (64 - shift)) != 0) fail(Fault::invalid_code);
      read_byte();
      if (shift > 8) {
        read_byte();
        if (shift > 16) read_byte();
      }
      low_ <<= shift;
      if (static_cast<std::uint32_t>(low_ >> 32) == kAllOnesPending) {
        range_ = kGuardRange;
        continue;
      }
      range_ <<= shift;
      return;
    }
  }

  ByteSource& source_;
  std::uint32_t code_ = 0;
  std::uint32_t range_ = kInitialRange;
  std::uint64_t low_ = 0;     // the encoder's low, mirrored
  std::uint64_t window_ = 0;  // the last eight bytes read, newest lowest
  Fault fault_ = Fault::none;
};

}  // namespace bytemix
