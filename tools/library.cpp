// The C API of include/bytemix.h, the one face of the library (the C++ API
// is inline over it): adapts callbacks and buffers to the buffered byte
// source and sink that the coder reads and writes, and runs compress() and
// decompress() of tools/compressed_file.cpp.
#include <bytemix.h>

#include <cstring>
#include <memory>

#include "coder/byte_io.h"
#include "tools/compressed_file.h"

namespace bytemix {
namespace {

static_assert(static_cast<int>(Status::invalid_argument) == BYTEMIX_INVALID_ARGUMENT);

bytemix_status to_c(Status status) { return static_cast<bytemix_status>(status); }

// The shortest stream, that of the empty input: the length field and the
// encoder's final eight bytes.
constexpr std::size_t kShortestStream = kLengthFieldSize + 8;

// The coder writes at most three bytes for a symbol, and each of the two
// guard steps that may follow (see RangeEncoder::normalise()) three more.
constexpr std::size_t kWorstBytesPerSymbol = 9;

struct CallbackReader {
  bytemix_read_fn read;
  void* ctx;

  static std::size_t read_through(void* self, std::uint8_t* data, std::size_t n) {
    auto& r = *static_cast<CallbackReader*>(self);
    std::size_t got = 0;
    if (r.read(r.ctx, data, n, &got) != 0) return ByteSource::kReadError;
    return got;
  }
};

struct CallbackWriter {
  bytemix_write_fn write;
  void* ctx;

  static bool write_through(void* self, const std::uint8_t* data, std::size_t n) {
    auto& w = *static_cast<CallbackWriter*>(self);
    return w.write(w.ctx, data, n) == 0;
  }
};

struct CallbackProgress {
  bytemix_progress_fn report;
  void* ctx;

  static bool report_through(void* self, std::int32_t done, std::int32_t length) {
    auto& p = *static_cast<CallbackProgress*>(self);
    return p.report(p.ctx, static_cast<std::size_t>(done), static_cast<std::size_t>(length)) == 0;
  }
  Progress progress() { return report != nullptr ? Progress{report_through, this} : Progress{}; }
};

struct MemoryReader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t next = 0;

  static std::size_t read(void* self, std::uint8_t* to, std::size_t n) {
    auto& r = *static_cast<MemoryReader*>(self);
    if (n > r.size - r.next) n = r.size - r.next;
    if (n != 0) std::memcpy(to, r.data + r.next, n);
    r.next += n;
    return n;
  }
};

// Fails, writing nothing, a write that does not fit.
struct MemoryWriter {
  std::uint8_t* data;
  std::size_t capacity;
  std::size_t used = 0;
  bool overflow = false;

  static bool write(void* self, const std::uint8_t* from, std::size_t n) {
    auto& w = *static_cast<MemoryWriter*>(self);
    if (n > w.capacity - w.used) {
      w.overflow = true;
      return false;
    }
    std::memcpy(w.data + w.used, from, n);
    w.used += n;
    return true;
  }
};

// The length field of a stream in memory, as bytemix_decompressed_size()
// describes it.
bytemix_status read_length(const std::uint8_t* src, std::size_t size, std::size_t& length) {
  if (size < kShortestStream) return BYTEMIX_TRUNCATED;
  std::uint32_t v = 0;
  for (int i = 0; i < kLengthFieldSize; ++i) v |= static_cast<std::uint32_t>(src[i]) << (8 * i);
  if (static_cast<std::int32_t>(v) < 0) return BYTEMIX_NEGATIVE_LENGTH;
  length = v;
  return BYTEMIX_OK;
}

bytemix_status decompress_memory(const void* src, std::size_t src_size, void* dst,
                                 std::size_t dst_capacity, std::size_t* written,
                                 std::size_t* consumed, Trailing trailing) {
  if (written != nullptr) *written = 0;
  if (consumed != nullptr) *consumed = 0;
  if ((src == nullptr && src_size != 0) || (dst == nullptr && dst_capacity != 0))
    return BYTEMIX_INVALID_ARGUMENT;
  const auto* bytes = static_cast<const std::uint8_t*>(src);
  std::size_t length = 0;
  if (const bytemix_status s = read_length(bytes, src_size, length); s != BYTEMIX_OK) return s;
  if (length > dst_capacity) return BYTEMIX_OUTPUT_TOO_SMALL;
  MemoryReader reader{bytes, src_size};
  MemoryWriter writer{static_cast<std::uint8_t*>(dst), dst_capacity};
  auto source = std::make_unique<ByteSource>(MemoryReader::read, &reader);
  auto sink = std::make_unique<ByteSink>(MemoryWriter::write, &writer);
  const Status status = decompress(*source, *sink, Progress{}, trailing);
  if (status != Status::ok) return to_c(status);
  if (written != nullptr) *written = writer.used;
  if (consumed != nullptr) *consumed = static_cast<std::size_t>(source->consumed());
  return BYTEMIX_OK;
}

bytemix_status decompress_callbacks(bytemix_read_fn read, void* read_ctx, bytemix_write_fn write,
                                    void* write_ctx, bytemix_progress_fn progress,
                                    void* progress_ctx, std::size_t* consumed, Trailing trailing) {
  if (consumed != nullptr) *consumed = 0;
  if (read == nullptr || write == nullptr) return BYTEMIX_INVALID_ARGUMENT;
  CallbackReader reader{read, read_ctx};
  CallbackWriter writer{write, write_ctx};
  CallbackProgress report{progress, progress_ctx};
  // Where other data follow, the reader must not be asked for any of them.
  const auto ahead = trailing == Trailing::left_unread ? ByteSource::ReadAhead::none
                                                       : ByteSource::ReadAhead::buffer;
  auto source = std::make_unique<ByteSource>(CallbackReader::read_through, &reader, ahead);
  auto sink = std::make_unique<ByteSink>(CallbackWriter::write_through, &writer);
  const Status status = decompress(*source, *sink, report.progress(), trailing);
  if (status == Status::ok && consumed != nullptr)
    *consumed = static_cast<std::size_t>(source->consumed());
  return to_c(status);
}

}  // namespace
}  // namespace bytemix

using namespace bytemix;

extern "C" {

const char* bytemix_status_message(bytemix_status status) {
  switch (static_cast<int>(status)) {
    case BYTEMIX_OK:
      return "no error";
    case BYTEMIX_TOO_LARGE:
      return "the input is 2 GiB or larger, more than the format's 32-bit length can describe";
    case BYTEMIX_READ_ERROR:
      return "read error";
    case BYTEMIX_SHORT_INPUT:
      return "the input ended before its measured length";
    case BYTEMIX_WRITE_ERROR:
      return "cannot write the output";
    case BYTEMIX_TRUNCATED:
      return "compressed data end too early (file truncated or damaged)";
    case BYTEMIX_CORRUPT:
      return "compressed data are corrupt";
    case BYTEMIX_TRAILING_DATA:
      return "data follow the end of the compressed stream (length field too small, or file damaged)";
    case BYTEMIX_WRONG_STREAM_END:
      return "compressed stream does not end where the length field says (length field too small, or file damaged)";
    case BYTEMIX_NEGATIVE_LENGTH:
      return "length field is negative";
    case BYTEMIX_LENGTH_TOO_LARGE:
      return "length field is larger than the compressed stream holds";
    case BYTEMIX_OUTPUT_TOO_SMALL:
      return "the output buffer is too small";
    case BYTEMIX_CANCELLED:
      return "cancelled";
    case BYTEMIX_INVALID_ARGUMENT:
      return "invalid argument (a null pointer where a buffer or a callback is needed)";
  }
  return "unknown status";
}

const char* bytemix_version(void) {
#define BYTEMIX_STRING(x) #x
#define BYTEMIX_VERSION_TEXT(major, minor, patch) \
  BYTEMIX_STRING(major) "." BYTEMIX_STRING(minor) "." BYTEMIX_STRING(patch)
  return BYTEMIX_VERSION_TEXT(BYTEMIX_VERSION_MAJOR, BYTEMIX_VERSION_MINOR, BYTEMIX_VERSION_PATCH);
}

unsigned bytemix_version_number(void) { return BYTEMIX_VERSION_NUMBER; }

size_t bytemix_compress_bound(size_t size) {
  if (size > BYTEMIX_MAX_INPUT_SIZE) return 0;
  if (size > (SIZE_MAX - kShortestStream) / kWorstBytesPerSymbol) return SIZE_MAX;
  return size * kWorstBytesPerSymbol + kShortestStream;
}

bytemix_status bytemix_compress(const void* src, size_t src_size, void* dst, size_t dst_capacity,
                                size_t* written) {
  if (written != nullptr) *written = 0;
  if ((src == nullptr && src_size != 0) || (dst == nullptr && dst_capacity != 0))
    return BYTEMIX_INVALID_ARGUMENT;
  if (src_size > BYTEMIX_MAX_INPUT_SIZE) return BYTEMIX_TOO_LARGE;
  MemoryReader reader{static_cast<const std::uint8_t*>(src), src_size};
  MemoryWriter writer{static_cast<std::uint8_t*>(dst), dst_capacity};
  auto source = std::make_unique<ByteSource>(MemoryReader::read, &reader);
  auto sink = std::make_unique<ByteSink>(MemoryWriter::write, &writer);
  const Status status = compress(*source, static_cast<std::int32_t>(src_size), *sink, Progress{});
  if (writer.overflow) return BYTEMIX_OUTPUT_TOO_SMALL;
  if (status != Status::ok) return to_c(status);
  if (written != nullptr) *written = writer.used;
  return BYTEMIX_OK;
}

bytemix_status bytemix_decompressed_size(const void* src, size_t src_size, size_t* size) {
  if ((src == nullptr && src_size != 0) || size == nullptr) return BYTEMIX_INVALID_ARGUMENT;
  return read_length(static_cast<const std::uint8_t*>(src), src_size, *size);
}

bytemix_status bytemix_decompress(const void* src, size_t src_size, void* dst,
                                  size_t dst_capacity, size_t* written) {
  return decompress_memory(src, src_size, dst, dst_capacity, written, nullptr, Trailing::refused);
}

bytemix_status bytemix_decompress_embedded(const void* src, size_t src_size, void* dst,
                                           size_t dst_capacity, size_t* written,
                                           size_t* consumed) {
  return decompress_memory(src, src_size, dst, dst_capacity, written, consumed,
                           Trailing::left_unread);
}

bytemix_status bytemix_compress_stream(size_t length, bytemix_read_fn read, void* read_ctx,
                                       bytemix_write_fn write, void* write_ctx,
                                       bytemix_progress_fn progress, void* progress_ctx) {
  if (read == nullptr || write == nullptr) return BYTEMIX_INVALID_ARGUMENT;
  if (length > BYTEMIX_MAX_INPUT_SIZE) return BYTEMIX_TOO_LARGE;
  CallbackReader reader{read, read_ctx};
  CallbackWriter writer{write, write_ctx};
  CallbackProgress report{progress, progress_ctx};
  auto source = std::make_unique<ByteSource>(CallbackReader::read_through, &reader);
  auto sink = std::make_unique<ByteSink>(CallbackWriter::write_through, &writer);
  return to_c(compress(*source, static_cast<std::int32_t>(length), *sink, report.progress()));
}

bytemix_status bytemix_decompress_stream(bytemix_read_fn read, void* read_ctx,
                                         bytemix_write_fn write, void* write_ctx,
                                         bytemix_progress_fn progress, void* progress_ctx) {
  return decompress_callbacks(read, read_ctx, write, write_ctx, progress, progress_ctx, nullptr,
                              Trailing::refused);
}

bytemix_status bytemix_decompress_stream_embedded(bytemix_read_fn read, void* read_ctx,
                                                  bytemix_write_fn write, void* write_ctx,
                                                  bytemix_progress_fn progress,
                                                  void* progress_ctx, size_t* consumed) {
  return decompress_callbacks(read, read_ctx, write, write_ctx, progress, progress_ctx, consumed,
                              Trailing::left_unread);
}

}  // extern "C"
