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

  // Stops the output here, as a failed write would: nothing more reaches the
  // write function, and failed() is true from now on.
  void stop() { failed_ = true; }

 private:
  static constexpr std::size_t kBufferSize = 1 << 16;

  void drain() {
    if (used_ != 0 && !failed_ && !write_(ctx_, buffer_, used_)) failed_ = true;
    used_ = 0;
  }

  WriteFn write_;
  void* ctx_;
  std::size_t used_ = 0;
  bool failed_ = false;
  std::uint8_t buffer_[kBufferSize];
};

// Buffered byte input, refilled through a read function only when empty.
// The read function is never asked for more than the source may take: at
// most limit() bytes in all, and with ReadAhead::none never a byte before
// get() or has_more() needs it, so that whatever follows the bytes this
// source consumes stays with the caller.
class ByteSource {
 public:
  // Reads up to n bytes into data and returns how many; 0 means the end of
  // the input, kReadError a failure (after which the source reads as ended).
  using ReadFn = std::size_t (*)(void* ctx, std::uint8_t* data, std::size_t n);
  static constexpr std::size_t kReadError = static_cast<std::size_t>(-1);

  enum class ReadAhead {
    buffer,  // ask for a whole buffer at a time: few calls
    none,    // ask for one byte at a time: no byte the coder does not use
  };

  ByteSource(ReadFn read, void* ctx, ReadAhead ahead = ReadAhead::buffer)
      : read_(read), ctx_(ctx), request_(ahead == ReadAhead::buffer ? kBufferSize : 1) {}
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // The next byte, or -1 once the input is exhausted.
  int get() {
    if (next_ == end_ && !refill()) return -1;
    return buffer_[next_++];
  }

  // True once the read function reported a failure.
  bool failed() const { return failed_; }

  // True if at least one more byte can be read. May refill the buffer.
  bool has_more() { return next_ != end_ || refill(); }

  // From now on the read function is asked for at most n more bytes in all;
  // after them the input reads as ended.
  void limit(std::uint64_t n) { allowed_ = n; }

  // Bytes returned by get() so far (kept per refill, not per byte).
  std::uint64_t consumed() const { return received_ - (end_ - next_); }

  // Ends the input here: get() returns -1 from now on, and the read
  // function is not called again.
  void stop() {
    received_ -= end_ - next_;
    next_ = end_ = 0;
    at_end_ = true;
  }

 private:
  static constexpr std::size_t kBufferSize = 1 << 16;

  bool refill() {
    if (at_end_) return false;
    next_ = 0;
    const std::size_t want = allowed_ < request_ ? static_cast<std::size_t>(allowed_) : request_;
    end_ = want == 0 ? 0 : read_(ctx_, buffer_, want);
    if (end_ == kReadError) {
      failed_ = true;
      end_ = 0;
    }
    if (end_ > want) end_ = want;  // a read function that claims more than it was asked for
    allowed_ -= end_;
    received_ += end_;
    if (end_ == 0) at_end_ = true;
    return end_ != 0;
  }

  ReadFn read_;
  void* ctx_;
  std::size_t request_;
  std::uint64_t allowed_ = UINT64_MAX;
  std::uint64_t received_ = 0;  // bytes the read function has delivered
  std::size_t next_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
  bool failed_ = false;
  std::uint8_t buffer_[kBufferSize];
};

}  // namespace bytemix
