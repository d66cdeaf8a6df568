// compress() and decompress() through the vector path named by BYTEMIX_SIMD
// (run once per path): corpus files and awkward inputs come back byte for
// byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "coder/byte_io.h"
#include "model/kernels/kernels.h"
#include "tests/corpus.h"
#include "tests/kernel_paths.h"
#include "tools/compressed_file.h"

namespace bytemix {
namespace {

struct Buffer {
  std::vector<std::uint8_t> bytes;
  std::size_t next = 0;
  static bool write(void* ctx, const std::uint8_t* data, std::size_t n) {
    auto* b = static_cast<Buffer*>(ctx);
    b->bytes.insert(b->bytes.end(), data, data + n);
    return true;
  }
  static std::size_t read(void* ctx, std::uint8_t* data, std::size_t n) {
    auto* b = static_cast<Buffer*>(ctx);
    const std::size_t k = std::min(n, b->bytes.size() - b->next);
    std::memcpy(data, b->bytes.data() + b->next, k);
    b->next += k;
    return k;
  }
};

std::vector<std::uint8_t> round_trip(const std::vector<std::uint8_t>& data) {
  Buffer input{data}, packed, restored;
  {
    auto source = std::make_unique<ByteSource>(Buffer::read, &input);
    auto sink = std::make_unique<ByteSink>(Buffer::write, &packed);
    EXPECT_EQ(compress(*source, static_cast<std::int32_t>(data.size()), *sink, Progress{}), Status::ok);
  }
  auto source = std::make_unique<ByteSource>(Buffer::read, &packed);
  auto sink = std::make_unique<ByteSink>(Buffer::write, &restored);
  EXPECT_EQ(decompress(*source, *sink, Progress{}), Status::ok);
  return restored.bytes;
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
  EXPECT_EQ(round_trip({0x00, 0xFF}), (std::vector<std::uint8_t>{0x00, 0xFF}));
}

}  // namespace
}  // namespace bytemix
