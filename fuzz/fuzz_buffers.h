#pragma once

// Byte sources and sinks over memory for the fuzz targets.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace bytemix::fuzz {

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t next = 0;
};

inline std::size_t read(void* ctx, std::uint8_t* out, std::size_t n) {
  auto* r = static_cast<Reader*>(ctx);
  const std::size_t k = n < r->size - r->next ? n : r->size - r->next;
  if (k != 0) std::memcpy(out, r->data + r->next, k);
  r->next += k;
  return k;
}

inline bool append(void* ctx, const std::uint8_t* data, std::size_t n) {
  auto* v = static_cast<std::vector<std::uint8_t>*>(ctx);
  v->insert(v->end(), data, data + n);
  return true;
}

}  // namespace bytemix::fuzz
