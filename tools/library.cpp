// The library's public face (include/bytemix/bytemix.h): adapts callbacks
// and buffers to the buffered byte source and sink that the coder reads and
// writes, and runs the one per-byte driver of tools/compressed_file.cpp.
#include <algorithm>
#include <memory>

#include "bytemix/bytemix.h"
#include "coder/byte_io.h"
#include "tools/compressed_file.h"

namespace bytemix {
namespace {

std::size_t read_through(void* ctx, std::uint8_t* data, std::size_t n) {
  const std::ptrdiff_t got = (*static_cast<const ReadFn*>(ctx))(data, n);
  if (got < 0) return ByteSource::kReadError;
  return std::min(static_cast<std::size_t>(got), n);
}

bool write_through(void* ctx, const std::uint8_t* data, std::size_t n) {
  return (*static_cast<const WriteFn*>(ctx))(data, n);
}

void report_through(void* ctx, std::int32_t done, std::int32_t length) {
  (*static_cast<const ProgressFn*>(ctx))(done, length);
}

Progress progress_through(const ProgressFn& progress) {
  return progress ? Progress{report_through, const_cast<ProgressFn*>(&progress)} : Progress{};
}

struct SpanReader {
  std::span<const std::uint8_t> data;
  std::size_t pos = 0;

  static std::size_t read(void* ctx, std::uint8_t* dst, std::size_t n) {
    auto& r = *static_cast<SpanReader*>(ctx);
    n = std::min(n, r.data.size() - r.pos);
    std::copy_n(r.data.data() + r.pos, n, dst);
    r.pos += n;
    return n;
  }
};

bool append_to_vector(void* ctx, const std::uint8_t* data, std::size_t n) {
  auto& out = *static_cast<std::vector<std::uint8_t>*>(ctx);
  out.insert(out.end(), data, data + n);
  return true;
}

}  // namespace

Status compress_buffer(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                       const ProgressFn& progress) {
  if (input.size() > static_cast<std::uint64_t>(kMaxInputSize)) return Status::too_large;
  SpanReader reader{input};
  auto source = std::make_unique<ByteSource>(SpanReader::read, &reader);
  auto sink = std::make_unique<ByteSink>(append_to_vector, &output);
  return compress(*source, static_cast<std::int32_t>(input.size()), *sink,
                  progress_through(progress));
}

Status decompress_buffer(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                         const ProgressFn& progress) {
  const std::size_t size_on_entry = output.size();
  SpanReader reader{input};
  auto source = std::make_unique<ByteSource>(SpanReader::read, &reader);
  auto sink = std::make_unique<ByteSink>(append_to_vector, &output);
  const Status status = decompress(*source, *sink, progress_through(progress));
  if (status != Status::ok) output.resize(size_on_entry);
  return status;
}

Status compress_stream(std::int64_t length, const ReadFn& read, const WriteFn& write,
                       const ProgressFn& progress) {
  if (length < 0 || length > kMaxInputSize) return Status::too_large;
  auto source = std::make_unique<ByteSource>(read_through, const_cast<ReadFn*>(&read));
  auto sink = std::make_unique<ByteSink>(write_through, const_cast<WriteFn*>(&write));
  return compress(*source, static_cast<std::int32_t>(length), *sink, progress_through(progress));
}

Status decompress_stream(const ReadFn& read, const WriteFn& write, const ProgressFn& progress) {
  auto source = std::make_unique<ByteSource>(read_through, const_cast<ReadFn*>(&read));
  auto sink = std::make_unique<ByteSink>(write_through, const_cast<WriteFn*>(&write));
  return decompress(*source, *sink, progress_through(progress));
}

const char* version() { return BYTEMIX_VERSION; }

}  // namespace bytemix
