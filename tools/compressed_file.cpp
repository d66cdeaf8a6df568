#include "tools/compressed_file.h"

#include <memory>

#include "coder/range_coder.h"
#include "model/byte_model.h"

namespace bytemix {
namespace {

void put_length(ByteSink& out, std::int32_t length) {
  const auto v = static_cast<std::uint32_t>(length);
  for (int i = 0; i < kLengthFieldSize; ++i) out.put(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::int32_t get_length(ByteSource& in) {
  std::uint32_t v = 0;
  for (int i = 0; i < kLengthFieldSize; ++i) {
    const int b = in.get();
    if (b < 0) return 0;
    v |= static_cast<std::uint32_t>(b) << (8 * i);
  }
  return static_cast<std::int32_t>(v);
}

// The one per-byte loop of both directions: report progress, let the model
// predict, let `code_byte` code (or decode) one byte with that table, and let
// the model learn the byte. code_byte returns the byte, or -1 to stop.
template <class CodeByte>
bool run_model(std::int32_t length, const Progress& progress, CodeByte&& code_byte) {
  // About 645 KiB: too large for the stack, allocated once per run.
  auto model = std::make_unique<ByteModel>();
  for (std::int32_t j = 0; j < length; ++j) {
    if (progress.report && (static_cast<std::uint32_t>(j) % kProgressInterval) == 0)
      progress.report(progress.ctx, j, length);
    const FrequencyTable& table = model->predict();
    const int x = code_byte(table);
    if (x < 0) return false;
    model->update(static_cast<unsigned>(x));
  }
  return true;
}

}  // namespace

CodecStatus compress(ByteSource& in, std::int32_t length, ByteSink& out, const Progress& progress) {
  put_length(out, length);
  RangeEncoder encoder(out);
  const bool complete = run_model(length, progress, [&](const FrequencyTable& table) {
    const int x = in.get();
    if (x >= 0) encoder.encode(table.cumulative(x), table.freq[x], table.total);
    return x;
  });
  encoder.flush();
  if (!out.flush()) return CodecStatus::write_error;
  return complete ? CodecStatus::ok : CodecStatus::short_input;
}

CodecStatus decompress(ByteSource& in, ByteSink& out, const Progress& progress) {
  const std::int32_t length = get_length(in);
  RangeDecoder decoder(in);
  decoder.start();
  run_model(length, progress, [&](const FrequencyTable& table) {
    const unsigned x = decoder.decode_symbol(table);
    out.put(static_cast<std::uint8_t>(x));
    return static_cast<int>(x);
  });
  return out.flush() ? CodecStatus::ok : CodecStatus::write_error;
}

}  // namespace bytemix
