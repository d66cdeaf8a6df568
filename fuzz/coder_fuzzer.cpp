// The range coder alone, on (cum, freq, total) steps taken from the input:
// every step sequence must round trip. Totals are pushed towards (2^23,
// 2^24) and frequencies towards 1, where empty intervals occur, and half of
// the steps aim at the encoder's carry point, where pending words of 0xFF
// bytes form.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "coder/range_coder.h"
#include "fuzz/fuzz_buffers.h"

using namespace bytemix;

namespace {

struct Step {
  std::uint32_t cum, freq, total;
  unsigned symbol;
  std::int32_t table[256];
};

// Builds a table in which the symbol owns [cum, cum + freq): the rest is
// piled on bytes 0 and 255. Needs freq <= total - 255.
void fit(Step& st, unsigned hint) {
  if (st.cum > st.total - st.freq) st.cum = st.total - st.freq;
  const std::uint32_t above = st.total - st.cum - st.freq;
  if (st.cum == 0) {
    st.symbol = 0;
  } else if (above == 0) {
    st.symbol = 255;
  } else {
    const std::uint32_t lo = above >= 254 ? 1 : 255 - above;
    const std::uint32_t hi = st.cum < 254 ? st.cum : 254;
    st.symbol = lo + hint % (hi - lo + 1);
  }
  for (auto& f : st.table) f = 1;
  st.table[st.symbol] = static_cast<std::int32_t>(st.freq);
  if (st.symbol > 0) st.table[0] = static_cast<std::int32_t>(st.cum - (st.symbol - 1));
  if (st.symbol < 255) st.table[255] = static_cast<std::int32_t>(above - (254 - st.symbol));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<Step> steps;
  std::vector<std::uint8_t> stream;
  {
    auto sink = std::make_unique<ByteSink>(fuzz::append, &stream);
    RangeEncoder encoder(*sink);
    for (std::size_t i = 0; i + 7 <= size; i += 7) {
      const std::uint8_t* p = data + i;
      Step st;
      const std::uint32_t a = p[1] | p[2] << 8 | p[3] << 16;  // 24 bits
      const std::uint32_t b = p[4] | p[5] << 8 | p[6] << 16;
      st.total = (p[0] & 1) ? 8388608 + (a & 0x7FFFFF) : 256 + (a % ((1u << 24) - 256));
      if (st.total < 257) st.total = 257;
      st.freq = (p[0] & 2) ? 1 : 1 + (b >> (p[0] >> 3)) % (st.total - 255);
      if (p[0] & 4) {
        // Just below, across or above the carry point.
        const std::uint64_t carry_at = (std::uint64_t{1} << 32) - (encoder.low() & 0xFFFFFFFFu);
        const std::uint64_t point = carry_at < encoder.range() ? carry_at * st.total / encoder.range() : st.total;
        const std::int64_t cum = static_cast<std::int64_t>(point) - static_cast<std::int64_t>(b % (2 * st.freq + 64));
        st.cum = cum < 0 ? 0 : static_cast<std::uint32_t>(cum);
      } else {
        st.cum = b % st.total;
      }
      fit(st, p[3]);
      encoder.encode(st.cum, st.freq, st.total);
      steps.push_back(st);
    }
    encoder.flush();
    sink->flush();
  }
  fuzz::Reader reader{stream.data(), stream.size()};
  auto source = std::make_unique<ByteSource>(fuzz::read, &reader);
  RangeDecoder decoder(*source);
  decoder.start();
  for (const Step& st : steps) {
    if (decoder.decode_symbol(st.table, st.total) != st.symbol) std::abort();
    if (decoder.fault() != RangeDecoder::Fault::none) std::abort();
  }
  if (!decoder.at_stream_end() || source->has_more()) std::abort();
  return 0;
}
