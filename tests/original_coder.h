#pragma once

// The range coder as it was before its two repairs, kept for the tests only:
// the encoder lets an empty interval leave range 0, and the decoder decides
// the guard on the bytes as finally written (its ff history) rather than on
// the encoder's pending word. Every stream it writes while its range stays
// positive must be the very stream that RangeEncoder writes.
#include <cstdint>
#include <vector>

namespace bytemix::original {

class Encoder {
 public:
  explicit Encoder(std::vector<std::uint8_t>& out) : out_(out) {}

  void encode(std::uint32_t cum, std::uint32_t freq, std::uint32_t total) {
    const std::uint32_t t = static_cast<std::uint32_t>(std::uint64_t{cum} * range_ / total);
    low_ += std::uint64_t{t} + 1;
    range_ = static_cast<std::uint32_t>(std::uint64_t{cum + freq} * range_ / total) - (t + 1);
    if (range_ == 0) saw_empty_interval_ = true;
    if (range_ < (1u << 24)) normalise();
    // A zero range survives its normalisation unless the guard replaces it.
    if (range_ == 0 && !reached_zero_range_) {
      reached_zero_range_ = true;
      bytes_before_zero_range_ = out_.size();
    }
  }

  void flush() {
    for (int i = 0; i < 8; ++i) {
      out_.push_back(static_cast<std::uint8_t>(low_ >> 56));
      low_ <<= 8;
    }
  }

  // True once a step has left range 0: from there on the stream is one its
  // decoder cannot read (unless that step was the last).
  bool reached_zero_range() const { return reached_zero_range_; }
  // True once any symbol had an empty interval, even where the guard then
  // replaced the range 0.
  bool saw_empty_interval() const { return saw_empty_interval_; }
  // Bytes written up to and including the step that left range 0.
  std::size_t bytes_before_zero_range() const { return bytes_before_zero_range_; }
  std::uint32_t range() const { return range_; }

 private:
  void normalise() {
    for (;;) {
      out_.push_back(static_cast<std::uint8_t>(low_ >> 56));
      int shift = 8;
      if (range_ < (1u << 16)) {
        out_.push_back(static_cast<std::uint8_t>(low_ >> 48));
        shift = 16;
        if (range_ < (1u << 8)) {
          out_.push_back(static_cast<std::uint8_t>(low_ >> 40));
          shift = 24;
        }
      }
      low_ <<= shift;
      const std::uint32_t candidate = range_ << shift;
      if (static_cast<std::uint32_t>(low_ >> 32) == 0xFFFFFFFFu) {
        range_ = 0xFF;
        continue;
      }
      range_ = candidate;
      return;
    }
  }

  std::vector<std::uint8_t>& out_;
  std::uint64_t low_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
  bool reached_zero_range_ = false;
  bool saw_empty_interval_ = false;
  std::size_t bytes_before_zero_range_ = 0;
};

class Decoder {
 public:
  explicit Decoder(const std::vector<std::uint8_t>& in) : in_(in) {}

  void start() {
    for (int i = 0; i < 8; ++i) read_byte();
    range_ = 0xFFFFFFFFu;
  }

  // Returns -1 instead of dividing by a range of 0.
  int decode_symbol(const std::int32_t freq[256], std::uint32_t total) {
    if (range_ == 0) return -1;
    const std::uint64_t v = std::uint64_t{code_} * total / range_;
    std::uint32_t cum = 0;
    unsigned s = 0;
    while (s < 255 && v >= cum + static_cast<std::uint32_t>(freq[s])) {
      cum += static_cast<std::uint32_t>(freq[s]);
      ++s;
    }
    const std::uint32_t t = static_cast<std::uint32_t>(std::uint64_t{cum} * range_ / total);
    code_ -= t + 1;
    range_ = static_cast<std::uint32_t>(std::uint64_t{cum + static_cast<std::uint32_t>(freq[s])} * range_ / total) -
             (t + 1);
    if (range_ < (1u << 24)) normalise();
    return static_cast<int>(s);
  }

 private:
  void read_byte() {
    const std::uint32_t b = next_ < in_.size() ? in_[next_] : 0xFFu;
    ++next_;
    code_ = (code_ << 8) | b;
    ff_history_ = (ff_history_ << 1) | (b == 0xFF ? 1u : 0u);
  }

  void normalise() {
    for (;;) {
      read_byte();
      std::uint32_t candidate = range_ << 8;
      if (range_ < (1u << 16)) {
        read_byte();
        candidate = range_ << 16;
        if (range_ < (1u << 8)) {
          read_byte();
          candidate = range_ << 24;
        }
      }
      if ((ff_history_ & 0xFF) >= 0xF0) {
        range_ = 0xFF;
        continue;
      }
      range_ = candidate;
      return;
    }
  }

  const std::vector<std::uint8_t>& in_;
  std::size_t next_ = 0;
  std::uint32_t code_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
  std::uint32_t ff_history_ = 0;
};

}  // namespace bytemix::original
