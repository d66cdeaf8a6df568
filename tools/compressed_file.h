#pragma once

#include <cstdint>

#include "coder/byte_io.h"

namespace bytemix {

// A compressed file is the input's length as a 32-bit signed little-endian
// integer, followed by the range coder's stream. There is no header, checksum
// or end marker; the length tells the decoder how many bytes to decode.
inline constexpr int kLengthFieldSize = 4;

// Progress is reported before every byte whose index is a multiple of this.
inline constexpr std::uint32_t kProgressInterval = 16384;

// Called with (bytes done, total length) before byte 0, 16384, 32768, ...
struct Progress {
  void (*report)(void* ctx, std::int32_t done, std::int32_t length) = nullptr;
  void* ctx = nullptr;
};

enum class CodecStatus {
  ok,
  short_input,  // the input ended before `length` bytes were read
  write_error,  // the sink's write function failed
  // Damaged compressed files, found by decompress(). The format has no
  // checksum; these are properties that every file the compressor writes
  // has, and that the decoder checks as it goes. A changed byte makes the
  // rest of the stream decode into other bytes, which may also end early or
  // late, so it can be reported as any of the first four.
  truncated,          // the file ends inside the length field or the stream
  corrupt,            // the stream is not one the encoder can have written
  trailing_data,      // bytes follow the end of the stream
  wrong_stream_end,   // after `length` bytes the last eight are not a flush
  negative_length,    // the length field is below 0
  length_too_large,   // the stream is whole, and ends before `length` bytes
};

// A short text for a message, e.g. "compressed data are truncated".
const char* describe(CodecStatus status);

// Compresses exactly `length` bytes of `in` into `out`: the length field,
// then the coded stream. A length of 0 or less codes no bytes.
CodecStatus compress(ByteSource& in, std::int32_t length, ByteSink& out, const Progress& progress);

// Restores the bytes of a compressed file read from `in` into `out`, and
// reads `in` to its end. Stops at the first sign of damage and returns its
// status; what has been written to `out` by then is not the original and
// must be discarded. A file shorter than the length field (an empty one
// too) is truncated: the compressor never writes fewer than 12 bytes.
CodecStatus decompress(ByteSource& in, ByteSink& out, const Progress& progress);

}  // namespace bytemix
