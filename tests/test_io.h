#pragma once

// The tests' in-memory input and output: a reader that hands out bytes in
// pieces of a chosen size and counts what it was asked for and what it
// handed over, an appending writer, ByteSource and ByteSink over them, whole
// buffers through compress() and decompress(), and the one small file whose
// compressed bytes are pinned here.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "coder/byte_io.h"
#include "tools/compressed_file.h"

namespace bytemix::test {

using Bytes = std::vector<std::uint8_t>;

// The input 00 FF and its compressed form: the length field, the encoder's
// four initial zero bytes, then the coded symbols and the final low.
inline const Bytes kInput00FF = {0x00, 0xFF};
inline const Bytes kCompressed00FF = {0x02, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xFF, 0x03, 0xEF, 0xBA, 0x00};

// Hands out the bytes of `data` (which must outlive it), at most `chunk`
// per call, so that refills also happen at awkward places.
struct MemoryReader {
  explicit MemoryReader(const Bytes& data, std::size_t chunk = SIZE_MAX)
      : data(data.data()), size(data.size()), chunk(chunk) {}

  const std::uint8_t* data;
  std::size_t size;
  std::size_t chunk;
  std::size_t handed = 0;     // bytes handed over so far
  std::size_t calls = 0;
  std::size_t requested = 0;  // bytes asked for, over all calls

  std::size_t take(std::uint8_t* to, std::size_t n) {
    ++calls;
    requested += n;
    if (n > chunk) n = chunk;
    if (n > size - handed) n = size - handed;
    if (n != 0) std::memcpy(to, data + handed, n);
    handed += n;
    return n;
  }

  // As a ByteSource read function, ctx being the reader.
  static std::size_t read(void* ctx, std::uint8_t* to, std::size_t n) {
    return static_cast<MemoryReader*>(ctx)->take(to, n);
  }
};

// A write function that appends to the Bytes at ctx.
inline bool append_to(void* ctx, const std::uint8_t* data, std::size_t n) {
  auto* out = static_cast<Bytes*>(ctx);
  out->insert(out->end(), data, data + n);
  return true;
}

// A ByteSource over a MemoryReader (on the heap, for its 64 KiB buffer).
struct Source {
  explicit Source(const Bytes& bytes, std::size_t chunk = SIZE_MAX)
      : reader(bytes, chunk), source(std::make_unique<ByteSource>(MemoryReader::read, &reader)) {}
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  MemoryReader reader;
  std::unique_ptr<ByteSource> source;
};

// A ByteSink that appends to `bytes`; flush() before looking at them.
struct Sink {
  explicit Sink(Bytes& bytes) : sink(std::make_unique<ByteSink>(append_to, &bytes)) {}
  std::unique_ptr<ByteSink> sink;
};

// compress() of all of `input`, read `chunk` bytes at a time; must succeed.
inline Bytes compress_bytes(const Bytes& input, std::size_t chunk = SIZE_MAX) {
  Bytes out;
  Source in(input, chunk);
  Sink sink(out);
  EXPECT_EQ(compress(*in.source, static_cast<std::int32_t>(input.size()), *sink.sink, Progress{}),
            Status::ok);
  return out;
}

struct Restored {
  Status status;
  Bytes bytes;  // what decompress() wrote, whatever the status
};

inline Restored decompress_bytes(const Bytes& file) {
  Restored r;
  Source in(file);
  Sink sink(r.bytes);
  r.status = decompress(*in.source, *sink.sink, Progress{});
  sink.sink->flush();
  return r;
}

}  // namespace bytemix::test
