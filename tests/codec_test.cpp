// The compressed file format end to end, in memory: the exact bytes that
// small inputs must give, and round trips of real and synthetic data.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "tests/corpus.h"
#include "tests/test_io.h"
#include "tools/compressed_file.h"

namespace bytemix {
namespace {

using test::Bytes;
using test::compress_bytes;

Bytes decompress_bytes(const Bytes& compressed, Status expected = Status::ok) {
  const test::Restored r = test::decompress_bytes(compressed);
  EXPECT_EQ(r.status, expected);
  return r.bytes;
}

struct KnownCase {
  Bytes input;
  Bytes compressed;
};

TEST(CompressedFile, KnownSmallInputsGiveExactBytes) {
  const KnownCase cases[] = {
      {{}, Bytes(12, 0)},
      {{0x61}, {0x01, 0, 0, 0, 0, 0, 0, 0, 0x61, 0, 0, 0, 0}},
      {{0x00}, {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0}},
      {test::kInput00FF, test::kCompressed00FF},
  };
  for (const KnownCase& c : cases) {
    EXPECT_EQ(compress_bytes(c.input), c.compressed) << "input size " << c.input.size();
    EXPECT_EQ(decompress_bytes(c.compressed), c.input) << "input size " << c.input.size();
  }
}

TEST(CompressedFile, OneByteFilesFollowTheFlatFirstTable) {
  // With the flat first table a byte x >= 1 codes to 00, 00 00 00 x, 00 00 00 00.
  for (int x = 1; x < 256; ++x) {
    const Bytes expected = {0x01, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(x), 0, 0, 0, 0};
    ASSERT_EQ(compress_bytes({static_cast<std::uint8_t>(x)}), expected) << x;
    ASSERT_EQ(decompress_bytes(expected), Bytes{static_cast<std::uint8_t>(x)}) << x;
  }
}

TEST(CompressedFile, LengthFieldIsLittleEndian) {
  const Bytes input(70000, 'x');
  const Bytes out = compress_bytes(input);
  ASSERT_GE(out.size(), 12u);
  EXPECT_EQ(out[0], 0x70);
  EXPECT_EQ(out[1], 0x11);
  EXPECT_EQ(out[2], 0x01);
  EXPECT_EQ(out[3], 0x00);
  EXPECT_EQ(decompress_bytes(out), input);
}

TEST(CompressedFile, SyntheticDataRoundTrips) {
  Bytes all_values;
  for (int r = 0; r < 40; ++r)
    for (int k = 0; k < 256; ++k) all_values.push_back(static_cast<std::uint8_t>(k * 37 + r));
  Bytes noise(50000);
  std::uint32_t s = 12345;
  for (auto& b : noise) b = static_cast<std::uint8_t>((s = s * 1664525u + 1013904223u) >> 24);
  Bytes runs;
  for (int r = 0; r < 30; ++r) runs.insert(runs.end(), 100 + r * 97, static_cast<std::uint8_t>(r * 7));

  for (const Bytes* input : {&all_values, &noise, &runs}) {
    const Bytes packed = compress_bytes(*input, 1000);  // refills mid-stream
    EXPECT_EQ(decompress_bytes(packed), *input);
  }
}

TEST(CompressedFile, ShortInputIsReported) {
  const Bytes input(100, 'a');
  Bytes out;
  test::Source in(input);
  test::Sink sink(out);
  EXPECT_EQ(compress(*in.source, 200, *sink.sink, {}), Status::short_input);
}

TEST(CompressedFile, CorpusSamplesRoundTripInMemory) {
  // Text and binary samples; the whole corpus goes through the programs in
  // the corpus round-trip test.
  for (const char* name : {"paper1", "obj1", "progc"}) {
    const Bytes input = test::read_corpus(name);
    const Bytes packed = compress_bytes(input);
    EXPECT_LT(packed.size(), input.size()) << name;
    EXPECT_EQ(decompress_bytes(packed), input) << name;
  }
}

}  // namespace
}  // namespace bytemix
