// The library's API, C (include/bytemix.h) and C++ (include/bytemix/bytemix.h,
// inline over the C one): buffers and streams in both directions, a reader
// never asked for bytes that are not the call's, streams inside other data,
// errors returned for damaged input, failing and cancelling callbacks, and
// independent coders on several threads at once. Only the two public headers
// are tested; test_io.h provides the in-memory readers and writers.
#include <gtest/gtest.h>

#include <bytemix.h>
#include <bytemix/bytemix.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/corpus.h"
#include "tests/test_io.h"

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

// The same as C callbacks: ctx is a MemoryReader, or the Bytes to append to.
int c_read(void* ctx, void* buffer, std::size_t capacity, std::size_t* got) {
  *got = static_cast<MemoryReader*>(ctx)->take(static_cast<std::uint8_t*>(buffer), capacity);
  return 0;
}
int c_append(void* ctx, const void* data, std::size_t size) {
  return test::append_to(ctx, static_cast<const std::uint8_t*>(data), size) ? 0 : 1;
}

Bytes noise(std::size_t n, std::uint32_t seed) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  return b;
}

TEST(Library, BuffersGiveTheKnownBytesFromAnyKindOfByte) {
  Bytes packed;
  ASSERT_EQ(compress_buffer(test::kInput00FF, packed), Status::ok);
  EXPECT_EQ(packed, test::kCompressed00FF);
  Bytes restored;
  ASSERT_EQ(decompress_buffer(packed, restored), Status::ok);
  EXPECT_EQ(restored, test::kInput00FF);

  // The same bytes as std::byte, char, std::string, a C array and a pointer
  // with a size, into containers of other byte types.
  const std::vector<std::byte> as_bytes = {std::byte{0x00}, std::byte{0xFF}};
  const std::string as_string("\x00\xFF", 2);
  const unsigned char as_array[] = {0x00, 0xFF};
  std::vector<char> into_chars;
  std::string into_string;
  std::vector<std::byte> into_bytes;
  ASSERT_EQ(compress_buffer(as_bytes, into_chars), Status::ok);
  ASSERT_EQ(compress_buffer(as_string, into_string), Status::ok);
  ASSERT_EQ(compress_buffer(as_array, into_bytes), Status::ok);
  EXPECT_EQ(Bytes(into_chars.begin(), into_chars.end()), test::kCompressed00FF);
  EXPECT_EQ(Bytes(into_string.begin(), into_string.end()), test::kCompressed00FF);
  ASSERT_EQ(into_bytes.size(), test::kCompressed00FF.size());
  EXPECT_EQ(into_bytes[9], std::byte{0xFF});
  std::string unpacked;
  ASSERT_EQ(decompress_buffer({into_string.data(), into_string.size()}, unpacked), Status::ok);
  EXPECT_EQ(unpacked, as_string);

  // The C API, into a buffer of the exact size and one byte short.
  std::array<std::uint8_t, 14> dst{};
  std::size_t written = 99;
  ASSERT_EQ(bytemix_compress(test::kInput00FF.data(), 2, dst.data(), dst.size(), &written), BYTEMIX_OK);
  EXPECT_EQ(written, dst.size());
  EXPECT_EQ(Bytes(dst.begin(), dst.end()), test::kCompressed00FF);
  EXPECT_EQ(bytemix_compress(test::kInput00FF.data(), 2, dst.data(), 13, &written),
            BYTEMIX_OUTPUT_TOO_SMALL);
  EXPECT_EQ(written, 0u);
  std::array<std::uint8_t, 2> out{};
  ASSERT_EQ(bytemix_decompress(dst.data(), dst.size(), out.data(), out.size(), &written), BYTEMIX_OK);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(Bytes(out.begin(), out.end()), test::kInput00FF);
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

TEST(Library, CBufferFunctionsAgreeWithTheBoundAndTheLengthField) {
  EXPECT_EQ(bytemix_compress_bound(0), 12u);
  EXPECT_EQ(bytemix_compress_bound(BYTEMIX_MAX_INPUT_SIZE + 1), 0u);
  EXPECT_GE(bytemix_compress_bound(BYTEMIX_MAX_INPUT_SIZE), BYTEMIX_MAX_INPUT_SIZE);
  for (const Bytes& input : {test::read_corpus("obj1"), noise(5000, 7), Bytes{}}) {
    Bytes packed(bytemix_compress_bound(input.size()));
    std::size_t written = 0;
    ASSERT_EQ(bytemix_compress(input.data(), input.size(), packed.data(), packed.size(), &written),
              BYTEMIX_OK);
    ASSERT_LE(written, packed.size());
    packed.resize(written);
    Bytes from_stream;
    ASSERT_EQ(compress_buffer(input, from_stream), Status::ok);
    EXPECT_EQ(packed, from_stream);

    std::size_t length = 0;
    ASSERT_EQ(bytemix_decompressed_size(packed.data(), packed.size(), &length), BYTEMIX_OK);
    EXPECT_EQ(length, input.size());
    Bytes restored(length + 1, 0xEE);
    if (length > 0) {
      EXPECT_EQ(bytemix_decompress(packed.data(), packed.size(), restored.data(), length - 1, &written),
                BYTEMIX_OUTPUT_TOO_SMALL);
    }
    ASSERT_EQ(bytemix_decompress(packed.data(), packed.size(), restored.data(), restored.size(), &written),
              BYTEMIX_OK);
    EXPECT_EQ(written, length);
    EXPECT_EQ(restored.back(), 0xEE);  // nothing written past the original
    restored.pop_back();
    EXPECT_EQ(restored, input);
  }

  std::size_t length = 0;
  Bytes negative = test::kCompressed00FF;
  negative[3] = 0x80;
  EXPECT_EQ(bytemix_decompressed_size(negative.data(), negative.size(), &length), BYTEMIX_NEGATIVE_LENGTH);
  EXPECT_EQ(bytemix_decompressed_size(test::kCompressed00FF.data(), 11, &length), BYTEMIX_TRUNCATED);
  EXPECT_EQ(bytemix_decompressed_size(nullptr, 0, &length), BYTEMIX_TRUNCATED);
  EXPECT_EQ(bytemix_decompressed_size(nullptr, 14, &length), BYTEMIX_INVALID_ARGUMENT);
  std::uint8_t out[2];
  EXPECT_EQ(bytemix_decompress(test::kCompressed00FF.data(), 14, nullptr, 2, nullptr), BYTEMIX_INVALID_ARGUMENT);
  EXPECT_EQ(bytemix_compress(nullptr, 2, out, 2, nullptr), BYTEMIX_INVALID_ARGUMENT);
  EXPECT_EQ(bytemix_compress_stream(2, nullptr, nullptr, c_append, nullptr, nullptr, nullptr),
            BYTEMIX_INVALID_ARGUMENT);
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

  // A reader that counts: asked for exactly the length, in C++ and in C,
  // also when the length is 0, and beyond one buffer's worth.
  for (std::size_t length : {std::size_t{0}, std::size_t{1000}, std::size_t{70000}}) {
    const Bytes big = test::read_corpus("book1");
    MemoryReader counted(big);
    Bytes packed;
    ASSERT_EQ(compress_stream(static_cast<std::int64_t>(length), reader_of(counted), appender(packed)),
              Status::ok);
    EXPECT_EQ(counted.requested, length);
    EXPECT_EQ(counted.handed, length);
    MemoryReader counted_c(big);
    Bytes packed_c;
    ASSERT_EQ(bytemix_compress_stream(length, c_read, &counted_c, c_append, &packed_c, nullptr, nullptr),
              BYTEMIX_OK);
    EXPECT_EQ(counted_c.requested, length);
    EXPECT_EQ(packed_c, packed);
  }
}

TEST(Library, EmbeddedStreamsStopAtTheirEndAndLeaveTheRestUnread) {
  // A container: two compressed streams, then other data.
  const Bytes a = test::read_corpus("paper4");
  const Bytes b = test::kInput00FF;
  Bytes container, packed_b;
  ASSERT_EQ(compress_buffer(a, container), Status::ok);
  const std::size_t size_a = container.size();
  ASSERT_EQ(compress_buffer(b, packed_b), Status::ok);
  container.insert(container.end(), packed_b.begin(), packed_b.end());
  const Bytes tail = {'t', 'a', 'i', 'l'};
  container.insert(container.end(), tail.begin(), tail.end());

  // Buffers, C++ and C: the consumed size of each stream.
  Bytes restored;
  std::size_t consumed = 0;
  ASSERT_EQ(decompress_buffer_embedded(container, restored, consumed), Status::ok);
  EXPECT_EQ(restored, a);
  EXPECT_EQ(consumed, size_a);
  Bytes out(b.size());
  std::size_t written = 0;
  ASSERT_EQ(bytemix_decompress_embedded(container.data() + size_a, container.size() - size_a, out.data(),
                                        out.size(), &written, &consumed),
            BYTEMIX_OK);
  EXPECT_EQ(out, b);
  EXPECT_EQ(consumed, packed_b.size());
  EXPECT_EQ(bytemix_decompress(container.data(), container.size(), restored.data(), restored.size(), &written),
            BYTEMIX_TRAILING_DATA);

  // A callback reader is never asked for a byte past the stream's end: the
  // next stream, then the tail, stay for the caller to read.
  MemoryReader in(container);
  restored.clear();
  ASSERT_EQ(decompress_stream_embedded(reader_of(in), appender(restored), consumed), Status::ok);
  EXPECT_EQ(restored, a);
  EXPECT_EQ(consumed, size_a);
  EXPECT_EQ(in.requested, size_a);
  EXPECT_EQ(in.handed, size_a);
  Bytes restored_b;
  ASSERT_EQ(bytemix_decompress_stream_embedded(c_read, &in, c_append, &restored_b, nullptr, nullptr, &consumed),
            BYTEMIX_OK);
  EXPECT_EQ(restored_b, b);
  EXPECT_EQ(consumed, packed_b.size());
  EXPECT_EQ(in.requested, size_a + packed_b.size());
  EXPECT_EQ(Bytes(container.begin() + static_cast<std::ptrdiff_t>(in.handed), container.end()), tail);

  // Damage inside other data: a cut stream, and a length field larger than
  // the stream, whose end the decoder still finds.
  const Bytes cut_container(container.begin(), container.begin() + 100);
  MemoryReader cut(cut_container);
  EXPECT_EQ(decompress_stream_embedded(reader_of(cut), appender(restored), consumed), Status::truncated);
  Bytes longer = container;
  longer[0] = static_cast<std::uint8_t>(longer[0] + 1);
  MemoryReader long_in(longer);
  EXPECT_EQ(decompress_stream_embedded(reader_of(long_in), appender(restored), consumed),
            Status::length_too_large);
  EXPECT_LE(long_in.requested, size_a);
  // The strict form refuses what follows the stream.
  MemoryReader strict(container);
  EXPECT_EQ(decompress_stream(reader_of(strict), appender(restored)), Status::trailing_data);
}

TEST(Library, ProgressIsReportedEvery16384BytesAndCanCancel) {
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

  // The C callback cancels at its second report: nothing more is read or
  // written, in either direction.
  struct Cancel {
    int reports = 0;
    static int at_second(void* ctx, std::size_t, std::size_t) { return ++static_cast<Cancel*>(ctx)->reports == 2; }
  };
  const Bytes data = noise(300000, 5);
  Cancel c;
  MemoryReader in(data);
  Bytes partial;
  EXPECT_EQ(bytemix_compress_stream(data.size(), c_read, &in, c_append, &partial, Cancel::at_second, &c),
            BYTEMIX_CANCELLED);
  EXPECT_EQ(c.reports, 2);
  EXPECT_EQ(in.handed, 65536u);  // one buffer
  EXPECT_TRUE(partial.empty());  // the coded bytes were still in the library's buffer
  Bytes whole;
  ASSERT_EQ(compress_buffer(data, whole), Status::ok);
  Cancel d;
  MemoryReader packed_in(whole);
  partial.clear();
  EXPECT_EQ(bytemix_decompress_stream(c_read, &packed_in, c_append, &partial, Cancel::at_second, &d),
            BYTEMIX_CANCELLED);
  EXPECT_EQ(d.reports, 2);
  EXPECT_EQ(packed_in.calls, 1u);
  EXPECT_TRUE(partial.empty());  // the decoded bytes were still in the library's buffer
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

  // Every status has its own message, and so has a value that is none.
  std::set<std::string> messages;
  for (int s = BYTEMIX_OK; s <= BYTEMIX_INVALID_ARGUMENT; ++s) {
    EXPECT_GT(std::string(bytemix_status_message(static_cast<bytemix_status>(s))).size(), 5u) << s;
    messages.insert(bytemix_status_message(static_cast<bytemix_status>(s)));
  }
  messages.insert(bytemix_status_message(static_cast<bytemix_status>(BYTEMIX_INVALID_ARGUMENT + 1)));
  EXPECT_EQ(messages.size(), static_cast<std::size_t>(BYTEMIX_INVALID_ARGUMENT + 2));
  EXPECT_STREQ(status_message(Status::corrupt), bytemix_status_message(BYTEMIX_CORRUPT));
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
  const Bytes data = noise(1 << 20, 99);
  MemoryReader in(data, 65536);
  int reports = 0;
  EXPECT_EQ(compress_stream(static_cast<std::int64_t>(data.size()), reader_of(in), failing_write,
                            [&reports](std::int64_t, std::int64_t) { ++reports; }),
            Status::write_error);
  EXPECT_LT(reports, 16);  // of the 64 a complete run would make

  MemoryReader short_in(input, 4096);
  EXPECT_EQ(compress_stream(static_cast<std::int64_t>(input.size()) + 10, reader_of(short_in), appender(sink)),
            Status::short_input);
}

TEST(Library, ExceptionsFromCallbacksComeOutOfTheCall) {
  const Bytes input = test::read_corpus("paper5");
  MemoryReader in(input);
  const WriteFn throwing_write = [](const std::uint8_t*, std::size_t) -> bool {
    throw std::runtime_error("disk on fire");
  };
  EXPECT_THROW(compress_stream(static_cast<std::int64_t>(input.size()), reader_of(in), throwing_write),
               std::runtime_error);
  Bytes packed;
  const ProgressFn throwing_progress = [](std::int64_t, std::int64_t) { throw std::logic_error("stop"); };
  EXPECT_THROW(compress_buffer(input, packed, throwing_progress), std::logic_error);
}

TEST(Library, LengthsOutsideTheFormatAreRefused) {
  const ReadFn never = [](std::uint8_t*, std::size_t) -> std::ptrdiff_t {
    ADD_FAILURE() << "read before the length was checked";
    return 0;
  };
  Bytes sink;
  EXPECT_EQ(compress_stream(kMaxInputSize + 1, never, appender(sink)), Status::too_large);
  EXPECT_EQ(compress_stream(-1, never, appender(sink)), Status::too_large);
  EXPECT_EQ(bytemix_compress_stream(BYTEMIX_MAX_INPUT_SIZE + 1, c_read, nullptr, c_append, &sink, nullptr,
                                    nullptr),
            BYTEMIX_TOO_LARGE);
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

TEST(Library, VersionOfHeaderAndLibraryAgree) {
  const std::string expected = std::to_string(BYTEMIX_VERSION_MAJOR) + "." +
                               std::to_string(BYTEMIX_VERSION_MINOR) + "." +
                               std::to_string(BYTEMIX_VERSION_PATCH);
  EXPECT_EQ(bytemix_version(), expected);
  EXPECT_EQ(version(), expected);
  EXPECT_EQ(bytemix_version_number(), static_cast<unsigned>(BYTEMIX_VERSION_NUMBER));
}

}  // namespace
}  // namespace bytemix
