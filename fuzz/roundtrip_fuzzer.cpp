// Arbitrary bytes compressed and decompressed must come back equal.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_buffers.h"
#include "tools/compressed_file.h"

using namespace bytemix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader reader{data, size};
  auto in = std::make_unique<ByteSource>(fuzz::read, &reader);
  std::vector<std::uint8_t> file;
  auto out = std::make_unique<ByteSink>(fuzz::append, &file);
  if (compress(*in, static_cast<std::int32_t>(size), *out, Progress{}) != Status::ok) std::abort();
  out->flush();

  fuzz::Reader back{file.data(), file.size()};
  auto source = std::make_unique<ByteSource>(fuzz::read, &back);
  std::vector<std::uint8_t> restored;
  auto sink = std::make_unique<ByteSink>(fuzz::append, &restored);
  if (decompress(*source, *sink, Progress{}) != Status::ok) std::abort();
  sink->flush();
  if (restored.size() != size || (size != 0 && std::memcmp(restored.data(), data, size) != 0)) std::abort();
  return 0;
}
