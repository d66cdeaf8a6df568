// The public API of include/bytemix/bytemix.h: buffers and streams in both
// directions, errors returned for damaged input and failing callbacks, and
// independent coders on several threads at once.
#include <gtest/gtest.h>

#include <bytemix/bytemix.h>

#include "tests/corpus.h"
#include "tests/test_io.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace bytemix {
namespace {

using test::Bytes;
using test::MemoryReader;

ReadFn reader_of(MemoryReader& r) {
  return [&r](std::uint8_t* buffer, std::size_t capacity) {
    return static_cast<std::ptrdiff_t>(r.take(buffer, capacity));
  };
}

WriteFn appender(Bytes& out) {
  return [&out](const std::uint8_t* data, std::size_t size) { return test::append_to(&out, data, size); };
}

TEST(Library, BufferRoundTripGivesTheKnownBytes) {
  Bytes packed;
  ASSERT_EQ(compress_buffer(test::kInput00FF, packed), Status::ok);
  EXPECT_EQ(packed, test::kCompressed00FF);
  Bytes restored;
  ASSERT_EQ(decompress_buffer(packed, restored), Status::ok);
  EXPECT_EQ(restored, test::kInput00FF);
}

TEST(Library, BuffersAppendToWhatTheOutputHolds) {
  const Bytes input = test::read_corpus("progc");
  Bytes packed = {'x'};
  ASSERT_EQ(compress_buffer(input, packed), Status::ok);
  ASSERT_EQ(packed[0], 'x');
  Bytes restored = {'y'};
  ASSERT_EQ(decompress_buffer({packed.data() + 1, packed.size() - 1}, restored), Status::ok);
  EXPECT_EQ(restored[0], 'y');
  EXPECT_TRUE(std::equal(input.begin(), input.end(), restored.begin() + 1, restored.end()));
}

TEST(Library, StreamsMatchBuffersWhateverTheReadSizes) {
  const Bytes input = test::read_corpus("paper2");
  Bytes from_buffer;
  ASSERT_EQ(compress_buffer(input, from_buffer), Status::ok);
  for (std::size_t chunk : {1u, 7u, 4096u, 1u << 20}) {
    MemoryReader in(input, chunk);
    Bytes packed;
    ASSERT_EQ(compress_stream(static_cast<std::int64_t>(input.size()), reader_of(in), appender(packed)),
              Status::ok);
    EXPECT_EQ(packed, from_buffer) << "chunk " << chunk;
    MemoryReader packed_in(packed, chunk);
    Bytes restored;
    ASSERT_EQ(decompress_stream(reader_of(packed_in), appender(restored)), Status::ok);
    EXPECT_EQ(restored, input) << "chunk " << chunk;
  }
}

// Reads from a FILE* with fread, as a caller compressing sections of a file would.
std::size_t fread_into(std::FILE* f, std::uint8_t* buffer, std::size_t capacity) {
  return std::fread(buffer, 1, capacity, f);
}

TEST(Library, CompressStreamNeverAsksForMoreThanItsLength) {
  const Bytes input = test::read_corpus("paper1");
  // Two sections of one file, one call each: each gets its own 1000 bytes.
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(input.data(), 1, input.size(), f), input.size());
  std::rewind(f);
  const ReadFn from_file = [f](std::uint8_t* buffer, std::size_t capacity) {
    return static_cast<std::ptrdiff_t>(fread_into(f, buffer, capacity));
  };
  Bytes first, second;
  ASSERT_EQ(compress_stream(1000, from_file, appender(first)), Status::ok);
  ASSERT_EQ(compress_stream(1000, from_file, appender(second)), Status::ok);
  EXPECT_EQ(std::ftell(f), 2000);
  std::fclose(f);
  Bytes restored_first, restored_second;
  ASSERT_EQ(decompress_buffer(first, restored_first), Status::ok);
  ASSERT_EQ(decompress_buffer(second, restored_second), Status::ok);
  EXPECT_EQ(restored_first, Bytes(input.begin(), input.begin() + 1000));
  EXPECT_EQ(restored_second, Bytes(input.begin() + 1000, input.begin() + 2000));

  // A reader that counts: asked for exactly the length, also when the
  // length is 0, and beyond one buffer's worth.
  for (std::size_t length : {std::size_t{0}, std::size_t{1000}, std::size_t{70000}}) {
    const Bytes big = test::read_corpus("book1");
    MemoryReader counted(big);
    Bytes packed;
    ASSERT_EQ(compress_stream(static_cast<std::int64_t>(length), reader_of(counted), appender(packed)),
              Status::ok);
    EXPECT_EQ(counted.requested, length);
    EXPECT_EQ(counted.handed, length);
  }
}

TEST(Library, ProgressIsReportedEvery16384Bytes) {
  const Bytes input(40000, 'q');
  std::vector<std::pair<std::int64_t, std::int64_t>> seen;
  const ProgressFn progress = [&seen](std::int64_t done, std::int64_t length) {
    seen.emplace_back(done, length);
  };
  Bytes packed;
  ASSERT_EQ(compress_buffer(input, packed, progress), Status::ok);
  const decltype(seen) expected = {{0, 40000}, {16384, 40000}, {32768, 40000}};
  EXPECT_EQ(seen, expected);
  seen.clear();
  Bytes restored;
  ASSERT_EQ(decompress_buffer(packed, restored, progress), Status::ok);
  EXPECT_EQ(seen, expected);
}

TEST(Library, DamagedInputIsReportedAndLeavesTheOutputAlone) {
  Bytes packed;
  ASSERT_EQ(compress_buffer(test::read_corpus("obj1"), packed), Status::ok);
  const Bytes before = {1, 2, 3};

  Bytes out = before;
  EXPECT_EQ(decompress_buffer({packed.data(), packed.size() - 1}, out), Status::truncated);
  EXPECT_EQ(out, before);

  Bytes longer = packed;
  longer.push_back(0);
  out = before;
  EXPECT_EQ(decompress_buffer(longer, out), Status::trailing_data);
  EXPECT_EQ(out, before);

  Bytes negative = packed;
  negative[3] = 0x80;
  out = before;
  EXPECT_EQ(decompress_buffer(negative, out), Status::negative_length);
  EXPECT_EQ(out, before);

  out = before;
  EXPECT_EQ(decompress_buffer(Bytes{}, out), Status::truncated);
  EXPECT_EQ(out, before);

  for (Status s : {Status::truncated, Status::corrupt, Status::trailing_data,
                   Status::wrong_stream_end, Status::negative_length, Status::length_too_large,
                   Status::read_error, Status::write_error, Status::short_input, Status::too_large})
    EXPECT_GT(std::string(status_message(s)).size(), 5u);
}

TEST(Library, CallbackFailuresAreReturned) {
  const Bytes input = test::read_corpus("paper1");
  const ReadFn failing_read = [](std::uint8_t*, std::size_t) -> std::ptrdiff_t { return -1; };
  Bytes sink;
  EXPECT_EQ(compress_stream(static_cast<std::int64_t>(input.size()), failing_read, appender(sink)),
            Status::read_error);
  EXPECT_EQ(decompress_stream(failing_read, appender(sink)), Status::read_error);

  // A writer that always fails, under an input that hardly compresses: the
  // first buffer of output fails after about 64 KiB of input, and the coder
  // stops at the next progress point instead of coding the whole megabyte.
  const WriteFn failing_write = [](const std::uint8_t*, std::size_t) { return false; };
  Bytes noise(1 << 20);
  std::uint32_t seed = 99;
  for (auto& b : noise) b = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  MemoryReader in(noise, 65536);
  int reports = 0;
  EXPECT_EQ(compress_stream(static_cast<std::int64_t>(noise.size()), reader_of(in), failing_write,
                            [&reports](std::int64_t, std::int64_t) { ++reports; }),
            Status::write_error);
  EXPECT_LT(reports, 16);  // of the 64 a complete run would make

  MemoryReader short_in(input, 4096);
  EXPECT_EQ(compress_stream(static_cast<std::int64_t>(input.size()) + 10, reader_of(short_in), appender(sink)),
            Status::short_input);
}

TEST(Library, LengthsOutsideTheFormatAreRefused) {
  const ReadFn never = [](std::uint8_t*, std::size_t) -> std::ptrdiff_t {
    ADD_FAILURE() << "read before the length was checked";
    return 0;
  };
  Bytes sink;
  EXPECT_EQ(compress_stream(kMaxInputSize + 1, never, appender(sink)), Status::too_large);
  EXPECT_EQ(compress_stream(-1, never, appender(sink)), Status::too_large);
  EXPECT_TRUE(sink.empty());
}

TEST(Library, ThreadsCodeIndependently) {
  const char* names[] = {"paper1", "progc", "obj2", "trans"};
  std::vector<Bytes> inputs, expected(4), packed(4), restored(4);
  for (const char* name : names) inputs.push_back(test::read_corpus(name));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(compress_buffer(inputs[i], expected[i]), Status::ok);

  std::vector<Status> status(8, Status::corrupt);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      status[i] = compress_buffer(inputs[i], packed[i]);
      if (status[i] == Status::ok) status[4 + i] = decompress_buffer(packed[i], restored[i]);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(status[i], Status::ok) << names[i];
    EXPECT_EQ(status[4 + i], Status::ok) << names[i];
    EXPECT_EQ(packed[i], expected[i]) << names[i];
    EXPECT_EQ(restored[i], inputs[i]) << names[i];
  }
}

TEST(Library, VersionIsSet) { EXPECT_STRNE(version(), ""); }

}  // namespace
}  // namespace bytemix
