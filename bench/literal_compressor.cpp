// literal_compressor compress|decompress input output
//
// The baseline of the whole-file timings: the same file format and coder as
// the real programs, driven by the literal model, with the cumulative
// frequency summed and the decoded byte found by a scan, as a plain reading
// would. Writes the same bytes as `compressor`/`decompressor`.
#include <cstdio>
#include <cstring>
#include <memory>

#include "coder/range_coder.h"
#include "model/reference/literal_byte_model.h"
#include "tools/console.h"

using namespace bytemix;

namespace {

std::size_t read_file(void* file, std::uint8_t* data, std::size_t n) {
  return std::fread(data, 1, n, static_cast<std::FILE*>(file));
}

bool write_file(void* file, const std::uint8_t* data, std::size_t n) {
  return std::fwrite(data, 1, n, static_cast<std::FILE*>(file)) == n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[1], "compress") != 0 && std::strcmp(argv[1], "decompress") != 0)) {
    std::fprintf(stderr, "usage: %s compress|decompress input output\n", argv[0]);
    return 2;
  }
  const bool compressing = argv[1][0] == 'c';
  std::FILE* input = std::fopen(argv[2], "rb");
  if (!input) {
    std::perror(argv[2]);
    return 1;
  }
  std::FILE* output = std::fopen(argv[3], "wb");
  if (!output) {
    std::perror(argv[3]);
    return 1;
  }
  auto source = std::make_unique<ByteSource>(read_file, input);
  auto sink = std::make_unique<ByteSink>(write_file, output);
  auto model = std::make_unique<LiteralByteModel>();
  const CodingTimer timer;

  std::int32_t length = 0;
  if (compressing) {
    std::fseek(input, 0, SEEK_END);
    length = static_cast<std::int32_t>(std::ftell(input));
    std::fseek(input, 0, SEEK_SET);
    for (int i = 0; i < 4; ++i) sink->put(static_cast<std::uint8_t>(static_cast<std::uint32_t>(length) >> (8 * i)));
    RangeEncoder encoder(*sink);
    for (std::int32_t j = 0; j < length; ++j) {
      const FrequencyTable& t = model->predict();
      const int x = source->get();
      if (x < 0) break;
      std::uint32_t cum = 0;
      for (int k = 0; k < x; ++k) cum += static_cast<std::uint32_t>(t.freq[k]);
      encoder.encode(cum, static_cast<std::uint32_t>(t.freq[x]), t.total);
      model->update(static_cast<unsigned>(x));
    }
    encoder.flush();
  } else {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(source->get() & 0xFF) << (8 * i);
    length = static_cast<std::int32_t>(v);
    RangeDecoder decoder(*source);
    decoder.start();
    for (std::int32_t j = 0; j < length; ++j) {
      const FrequencyTable& t = model->predict();
      const unsigned x = decoder.decode_symbol(t.freq, t.total);
      sink->put(static_cast<std::uint8_t>(x));
      model->update(x);
    }
  }
  const bool ok = sink->flush();
  timer.print(stdout);
  std::fclose(output);
  std::fclose(input);
  return ok ? 0 : 1;
}
