// compress() and decompress() through the vector path named by BYTEMIX_SIMD
// (run once per path): corpus files and awkward inputs come back byte for
// byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "model/kernels/kernels.h"
#include "tests/corpus.h"
#include "tests/kernel_paths.h"
#include "tests/test_io.h"
#include "tools/compressed_file.h"

namespace bytemix {
namespace {

std::vector<std::uint8_t> round_trip(const std::vector<std::uint8_t>& data) {
  const test::Restored r = test::decompress_bytes(test::compress_bytes(data));
  EXPECT_EQ(r.status, Status::ok);
  return r.bytes;
}

class SimdRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override { test::require_requested_path(); }
};

TEST_F(SimdRoundTrip, CorpusFiles) {
  for (const char* name : {"paper1", "progc", "obj1", "geo", "pic"}) {
    const std::vector<std::uint8_t> data = test::read_corpus(name, 100000);
    EXPECT_EQ(round_trip(data), data) << name;
  }
}

TEST_F(SimdRoundTrip, RunsAllValuesAndTinyInputs) {
  std::vector<std::uint8_t> data(30000, 'x');
  for (int v = 0; v < 256; ++v) data.push_back(static_cast<std::uint8_t>(v));
  data.insert(data.end(), 5000, 0);
  EXPECT_EQ(round_trip(data), data);
  EXPECT_EQ(round_trip({}), std::vector<std::uint8_t>{});
  EXPECT_EQ(round_trip({0x61}), std::vector<std::uint8_t>{0x61});
  EXPECT_EQ(round_trip(test::kInput00FF), test::kInput00FF);
}

}  // namespace
}  // namespace bytemix
