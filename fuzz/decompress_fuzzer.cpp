// Arbitrary bytes as a compressed file: decompress() must return without
// crashing, hanging, leaking or reading out of bounds, and whatever it
// accepts must be exactly what compress() writes for the bytes it restored.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/fuzz_buffers.h"
#include "tools/compressed_file.h"

using namespace bytemix;

// Lengths above this are folded below it, so that one input cannot keep the
// model busy for long; a length larger than the stream is still reached,
// since most inputs hold far fewer symbols.
constexpr std::uint32_t kMaxLength = 1024;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  if (size >= 4) {
    std::uint32_t length = file[0] | file[1] << 8 | file[2] << 16 | static_cast<std::uint32_t>(file[3]) << 24;
    if (static_cast<std::int32_t>(length) > static_cast<std::int32_t>(kMaxLength)) {
      length %= kMaxLength + 1;
      for (int i = 0; i < 4; ++i) file[i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
  }
  fuzz::Reader reader{file.data(), file.size()};
  auto in = std::make_unique<ByteSource>(fuzz::read, &reader);
  std::vector<std::uint8_t> restored;
  auto out = std::make_unique<ByteSink>(fuzz::append, &restored);
  const Status status = decompress(*in, *out, Progress{});
  out->flush();
  if (status != Status::ok) return 0;

  fuzz::Reader again{restored.data(), restored.size()};
  auto source = std::make_unique<ByteSource>(fuzz::read, &again);
  std::vector<std::uint8_t> recompressed;
  auto sink = std::make_unique<ByteSink>(fuzz::append, &recompressed);
  if (compress(*source, static_cast<std::int32_t>(restored.size()), *sink, Progress{}) != Status::ok) std::abort();
  sink->flush();
  if (recompressed != file) std::abort();  // accepted a stream the encoder does not write
  return 0;
}
