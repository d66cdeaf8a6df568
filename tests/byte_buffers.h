#pragma once

// ByteSink and ByteSource over in-memory byte vectors, for tests.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "coder/byte_io.h"

namespace bytemix::test {

inline bool append_to_vector(void* ctx, const std::uint8_t* data, std::size_t n) {
  auto* v = static_cast<std::vector<std::uint8_t>*>(ctx);
  v->insert(v->end(), data, data + n);
  return true;
}

struct VectorReader {
  const std::vector<std::uint8_t>* bytes;
  std::size_t next = 0;
};

inline std::size_t read_from_vector(void* ctx, std::uint8_t* data, std::size_t n) {
  auto* r = static_cast<VectorReader*>(ctx);
  const std::size_t k = std::min(n, r->bytes->size() - r->next);
  if (k != 0) std::memcpy(data, r->bytes->data() + r->next, k);
  r->next += k;
  return k;
}

// A sink that appends to `bytes`; flush() before looking at them.
struct VectorSink {
  explicit VectorSink(std::vector<std::uint8_t>& bytes)
      : sink(std::make_unique<ByteSink>(append_to_vector, &bytes)) {}
  std::unique_ptr<ByteSink> sink;
};

// A source that reads `bytes`, which must outlive it.
struct VectorSource {
  explicit VectorSource(const std::vector<std::uint8_t>& bytes)
      : reader{&bytes}, source(std::make_unique<ByteSource>(read_from_vector, &reader)) {}
  VectorSource(const VectorSource&) = delete;
  VectorSource& operator=(const VectorSource&) = delete;
  VectorReader reader;
  std::unique_ptr<ByteSource> source;
};

}  // namespace bytemix::test
