#pragma once

#include <cstddef>
#include <cstdint>

namespace bytemix {

// Buffered byte output. Bytes collect in a fixed buffer that is handed to
// the write function only when full and on flush(), so the coder's per-byte
// path is a store and a compare, with no call through a pointer.
class ByteSink {
 public:
  // Writes all n bytes or returns false. ctx is passed through unchanged.
  using WriteFn = bool (*)(void* ctx, const std::uint8_t* data, std::size_t n);

  ByteSink(WriteFn write, void* ctx) : write_(write), ctx_(ctx) {}
  ByteSink(const ByteSink&) = delete;
  ByteSink& operator=(const ByteSink&) = delete;

  void put(std::uint8_t b) {
    if (used_ == kBufferSize) drain();
    buffer_[used_++] = b;
  }

  // Hands every buffered byte to the write function. Returns false if this
  // or any earlier write failed; bytes put after a failure are dropped.
  bool flush() {
    drain();
    return !failed_;
  }

  bool failed() const { return failed_; }
  // Bytes put so far, written or still buffered.
  std::uint64_t count() const { return written_ + used_; }

 private:
  static constexpr std::size_t kBufferSize = 1 << 16;

  void drain() {
    if (used_ != 0 && !failed_ && !write_(ctx_, buffer_, used_)) failed_ = true;
    written_ += used_;
    used_ = 0;
  }

  WriteFn write_;
  void* ctx_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  bool failed_ = false;
  std::uint8_t buffer_[kBufferSize];
};

// Buffered byte input, refilled through a read function only when empty.
class ByteSource {
 public:
  // Reads up to n bytes into data and returns how many; 0 means the end of
  // the input, kReadError a failure (after which the source reads as ended).
  using ReadFn = std::size_t (*)(void* ctx, std::uint8_t* data, std::size_t n);
  static constexpr std::size_t kReadError = static_cast<std::size_t>(-1);

  ByteSource(ReadFn read, void* ctx) : read_(read), ctx_(ctx) {}
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // The next byte, or -1 once the input is exhausted.
  int get() {
    if (next_ == end_ && !refill()) return -1;
    ++consumed_;
    return buffer_[next_++];
  }

  // Bytes returned by get() so far.
  std::uint64_t consumed() const { return consumed_; }

  // True once the read function reported a failure.
  bool failed() const { return failed_; }

  // True if at least one more byte can be read. May refill the buffer.
  bool has_more() { return next_ != end_ || refill(); }

 private:
  static constexpr std::size_t kBufferSize = 1 << 16;

  bool refill() {
    if (at_end_) return false;
    next_ = 0;
    end_ = read_(ctx_, buffer_, kBufferSize);
    if (end_ == kReadError) {
      failed_ = true;
      end_ = 0;
    }
    if (end_ == 0) at_end_ = true;
    return end_ != 0;
  }

  ReadFn read_;
  void* ctx_;
  std::size_t next_ = 0;
  std::size_t end_ = 0;
  std::uint64_t consumed_ = 0;
  bool at_end_ = false;
  bool failed_ = false;
  std::uint8_t buffer_[kBufferSize];
};

}  // namespace bytemix
