#pragma once

#include <cstdint>

#include "bytemix/bytemix.h"
#include "coder/byte_io.h"

namespace bytemix {

// A compressed file is the input's length as a 32-bit signed little-endian
// integer, followed by the range coder's stream. There is no header, checksum
// or end marker; the length tells the decoder how many bytes to decode.
inline constexpr int kLengthFieldSize = 4;

// Progress is reported before every byte whose index is a multiple of this.
inline constexpr std::uint32_t kProgressInterval = 16384;

// Called with (bytes done, total length) before byte 0, 16384, 32768, ...
// Returns true to go on; false cancels the call, which then reads and writes
// nothing more and returns Status::cancelled.
struct Progress {
  bool (*report)(void* ctx, std::int32_t done, std::int32_t length) = nullptr;
  void* ctx = nullptr;
};

// Compresses exactly `length` bytes of `in` into `out`: the length field,
// then the coded stream. A length of 0 or less codes no bytes. `in` is
// limited to those bytes: its read function is never asked for more.
Status compress(ByteSource& in, std::int32_t length, ByteSink& out, const Progress& progress);

// What may follow a compressed stream in the input of decompress().
enum class Trailing {
  refused,      // nothing: `in` is read to its end, and any byte after the
                // stream is Status::trailing_data
  left_unread,  // anything: decoding stops where the stream ends, and
                // in.consumed() is then the stream's size
};

// Restores the bytes of a compressed file read from `in` into `out`. Stops
// at the first sign of damage and returns its status; what has been written
// to `out` by then is not the original and must be discarded. A file
// shorter than the length field (an empty one too) is truncated: the
// compressor never writes fewer than 12 bytes.
Status decompress(ByteSource& in, ByteSink& out, const Progress& progress,
                  Trailing trailing = Trailing::refused);

}  // namespace bytemix
