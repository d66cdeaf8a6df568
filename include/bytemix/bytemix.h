#pragma once

// bytemix: a context-mixing compressor as a library.
//
// A compressed file is the original length (32-bit signed, little-endian)
// followed by a range-coded stream. Both directions run the same adaptive
// model, one byte at a time; compressing and decompressing cost about the
// same. Every function here is reentrant: each call owns its model and coder
// (about 650 KiB plus two 64 KiB buffers, allocated for the call), so any
// number of threads may compress and decompress at once. Errors are
// returned, never printed; the library never exits the process.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace bytemix {

enum class Status {
  ok = 0,
  // Compressing
  too_large,    // the input is 2 GiB or more: its length does not fit the format
  short_input,  // the input ended before the announced length
  // Either direction
  read_error,   // the read callback reported a failure
  write_error,  // the write callback reported a failure
  // Decompressing: the data are not a file the compressor wrote, or not all
  // of one. The format has no checksum; these are properties that every file
  // the compressor writes has, and that the decoder checks as it goes. A
  // changed byte makes the rest of the stream decode into other bytes, which
  // may also end early or late, so it can be reported as any of the first four.
  truncated,         // the data end inside the length field or the stream
  corrupt,           // the stream is not one the compressor can have written
  trailing_data,     // bytes follow the end of the stream
  wrong_stream_end,  // after `length` bytes the last eight are not a flush
  negative_length,   // the length field is below 0
  length_too_large,  // the stream is whole, and ends before `length` bytes
};

// A short lower-case text for a message, e.g. "compressed data are truncated".
const char* status_message(Status status);

// Largest input the format can describe: 2^31 - 1 bytes.
inline constexpr std::int64_t kMaxInputSize = 0x7FFFFFFF;

// Called before byte 0, 16384, 32768, ... of the original data with the
// number of bytes done and the original length.
using ProgressFn = std::function<void(std::int64_t done, std::int64_t length)>;

// Reads up to `capacity` bytes into `buffer` and returns how many were read:
// 0 at the end of the data, -1 on a failure (the call then returns
// Status::read_error).
using ReadFn = std::function<std::ptrdiff_t(std::uint8_t* buffer, std::size_t capacity)>;

// Writes all `size` bytes or returns false (the call then returns
// Status::write_error).
using WriteFn = std::function<bool(const std::uint8_t* data, std::size_t size)>;

// Compresses `input` and appends the compressed file to `output`.
Status compress_buffer(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                       const ProgressFn& progress = {});

// Restores a compressed file and appends the original bytes to `output`. On
// any status but ok, `output` is left as it was on entry.
Status decompress_buffer(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                         const ProgressFn& progress = {});

// Compresses exactly `length` bytes pulled from `read` and pushes the
// compressed file to `write`. The length must be known before the first
// byte is written, because the file starts with it.
Status compress_stream(std::int64_t length, const ReadFn& read, const WriteFn& write,
                       const ProgressFn& progress = {});

// Restores a compressed file pulled from `read`, pushing the original bytes
// to `write` as they are decoded. The data are read to their end. On any
// status but ok, what was written is not the original and must be discarded.
// Memory stays bounded whatever the length field claims.
Status decompress_stream(const ReadFn& read, const WriteFn& write,
                         const ProgressFn& progress = {});

// The library's version, "MAJOR.MINOR.PATCH".
const char* version();

}  // namespace bytemix
