#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "coder/byte_io.h"

namespace bytemix::test {

using Bytes = std::vector<std::uint8_t>;

// Write function that appends to a Bytes vector.
inline bool append_to(void* ctx, const std::uint8_t* data, std::size_t n) {
  auto* out = static_cast<Bytes*>(ctx);
  out->insert(out->end(), data, data + n);
  return true;
}

// Read state over a byte vector; `chunk` limits each read so that refills
// happen at awkward places too.
struct MemoryReader {
  const Bytes* data;
  std::size_t pos = 0;
  std::size_t chunk = static_cast<std::size_t>(-1);

  static std::size_t read(void* ctx, std::uint8_t* dst, std::size_t n) {
    auto* r = static_cast<MemoryReader*>(ctx);
    std::size_t left = r->data->size() - r->pos;
    if (n > left) n = left;
    if (n > r->chunk) n = r->chunk;
    if (n != 0) std::memcpy(dst, r->data->data() + r->pos, n);
    r->pos += n;
    return n;
  }
};

}  // namespace bytemix::test
