#pragma once

// bytemix for C++17 and later: the C API of <bytemix.h> with C++ types.
//
// Everything here is inline over the C functions, so no C++ type crosses
// the library's boundary: a consumer may use any standard library settings
// (e.g. _GLIBCXX_DEBUG) and any standard from C++17 on. Calls are reentrant
// and allocate as <bytemix.h> says; errors are returned, never printed.
// An exception thrown by a callback stops the call and is rethrown from it.

#include <bytemix.h>

#if !defined(__cplusplus) || (__cplusplus < 201703L && (!defined(_MSVC_LANG) || _MSVC_LANG < 201703L))
#error "<bytemix/bytemix.h> needs C++17; C and older C++ use <bytemix.h>"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <type_traits>
#include <utility>

namespace bytemix {

enum class Status : int {
  ok = BYTEMIX_OK,
  too_large = BYTEMIX_TOO_LARGE,
  short_input = BYTEMIX_SHORT_INPUT,
  read_error = BYTEMIX_READ_ERROR,
  write_error = BYTEMIX_WRITE_ERROR,
  truncated = BYTEMIX_TRUNCATED,
  corrupt = BYTEMIX_CORRUPT,
  trailing_data = BYTEMIX_TRAILING_DATA,
  wrong_stream_end = BYTEMIX_WRONG_STREAM_END,
  negative_length = BYTEMIX_NEGATIVE_LENGTH,
  length_too_large = BYTEMIX_LENGTH_TOO_LARGE,
  output_too_small = BYTEMIX_OUTPUT_TOO_SMALL,
  cancelled = BYTEMIX_CANCELLED,
  invalid_argument = BYTEMIX_INVALID_ARGUMENT,
};

// A short lower-case text for a message, e.g. "length field is negative".
inline const char* status_message(Status status) {
  return bytemix_status_message(static_cast<bytemix_status>(status));
}

// The library's version, "MAJOR.MINOR.PATCH".
inline const char* version() { return bytemix_version(); }

// Largest input the format can describe: 2^31 - 1 bytes.
inline constexpr std::int64_t kMaxInputSize = static_cast<std::int64_t>(BYTEMIX_MAX_INPUT_SIZE);

// Called before byte 0, 16384, 32768, ... of the original data with the
// number of bytes done and the original length.
using ProgressFn = std::function<void(std::int64_t done, std::int64_t length)>;

// Reads up to `capacity` bytes into `buffer` and returns how many were read:
// 0 at the end of the data, -1 on a failure (the call then returns
// Status::read_error).
using ReadFn = std::function<std::ptrdiff_t(std::uint8_t* buffer, std::size_t capacity)>;

// Writes all `size` bytes or returns false (the call then returns
// Status::write_error).
using WriteFn = std::function<bool(const std::uint8_t* data, std::size_t size)>;

namespace detail {

template <class T>
inline constexpr bool is_byte = std::is_same_v<T, char> || std::is_same_v<T, signed char> ||
                                std::is_same_v<T, unsigned char> || std::is_same_v<T, std::byte>;

template <class Range>
using range_element = std::remove_cv_t<std::remove_pointer_t<decltype(std::data(std::declval<const Range&>()))>>;

}  // namespace detail

// Any contiguous bytes, viewed: a pointer to bytes (char, signed char,
// unsigned char or std::uint8_t, std::byte) and a size, or a container of
// them with data() and size() (std::vector, std::string, std::string_view,
// std::array, std::span, a C array, of which a string literal counts its
// terminating zero too).
class ByteView {
 public:
  ByteView() = default;
  template <class B, class = std::enable_if_t<detail::is_byte<B>>>
  ByteView(const B* data, std::size_t size) : data_(data), size_(size) {}
  template <class Range, class = std::enable_if_t<detail::is_byte<detail::range_element<Range>>>>
  ByteView(const Range& range) : data_(std::data(range)), size_(std::size(range)) {}

  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(data_); }
  std::size_t size() const { return size_; }

 private:
  const void* data_ = nullptr;
  std::size_t size_ = 0;
};

namespace detail {

// The C++ callbacks of one call, passed to the C callbacks below as their
// context, and the first exception one of them threw.
struct Callbacks {
  const ReadFn* read = nullptr;
  const WriteFn* write = nullptr;
  const ProgressFn* progress = nullptr;
  std::exception_ptr thrown;

  template <class F>
  int guard(F&& f) noexcept {
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
    try {
      return f();
    } catch (...) {
      thrown = std::current_exception();
      return 1;
    }
#else
    return f();
#endif
  }

  Status finish(bytemix_status status) const {
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
    if (thrown) std::rethrow_exception(thrown);
#endif
    return static_cast<Status>(status);
  }

  static int read_call(void* ctx, void* buffer, std::size_t capacity, std::size_t* got) {
    auto& c = *static_cast<Callbacks*>(ctx);
    return c.guard([&] {
      const std::ptrdiff_t n = (*c.read)(static_cast<std::uint8_t*>(buffer), capacity);
      if (n < 0) return 1;
      *got = static_cast<std::size_t>(n);
      return 0;
    });
  }
  static int write_call(void* ctx, const void* data, std::size_t size) {
    auto& c = *static_cast<Callbacks*>(ctx);
    return c.guard([&] { return (*c.write)(static_cast<const std::uint8_t*>(data), size) ? 0 : 1; });
  }
  static int progress_call(void* ctx, std::size_t done, std::size_t length) {
    auto& c = *static_cast<Callbacks*>(ctx);
    return c.guard([&] {
      (*c.progress)(static_cast<std::int64_t>(done), static_cast<std::int64_t>(length));
      return 0;
    });
  }
  bytemix_progress_fn progress_fn() const { return progress && *progress ? progress_call : nullptr; }
};

// Hands out the bytes of a view.
struct ViewReader {
  ByteView view;
  std::size_t next = 0;
  static int read(void* ctx, void* buffer, std::size_t capacity, std::size_t* got) {
    auto& r = *static_cast<ViewReader*>(ctx);
    const std::size_t n = capacity < r.view.size() - r.next ? capacity : r.view.size() - r.next;
    if (n != 0) std::memcpy(buffer, r.view.data() + r.next, n);
    r.next += n;
    *got = n;
    return 0;
  }
};

// Appends to a container of bytes (std::vector, std::string, ...).
template <class Container>
int append(void* ctx, const void* data, std::size_t size) {
  auto& out = *static_cast<Container*>(ctx);
  using B = typename Container::value_type;
  static_assert(is_byte<B>, "the output must be a container of bytes");
  const B* from = static_cast<const B*>(data);
  out.insert(out.end(), from, from + size);
  return 0;
}

template <class Container>
Status decompress_view(ByteView input, Container& output, std::size_t* consumed,
                       const ProgressFn& progress) {
  const std::size_t size_on_entry = output.size();
  ViewReader reader{input};
  Callbacks c;
  c.progress = &progress;
  const auto call = [&] {
    if (consumed == nullptr) {
      return bytemix_decompress_stream(ViewReader::read, &reader, append<Container>, &output,
                                       c.progress_fn(), &c);
    }
    return bytemix_decompress_stream_embedded(ViewReader::read, &reader, append<Container>,
                                              &output, c.progress_fn(), &c, consumed);
  };
  const bytemix_status status = call();
  if (status != BYTEMIX_OK) output.resize(size_on_entry);
  return c.finish(status);
}

}  // namespace detail

// Compresses `input` and appends the compressed stream to `output`, a
// std::vector or std::basic_string of bytes.
template <class Container>
Status compress_buffer(ByteView input, Container& output, const ProgressFn& progress = {}) {
  detail::ViewReader reader{input};
  detail::Callbacks c;
  c.progress = &progress;
  return c.finish(bytemix_compress_stream(input.size(), detail::ViewReader::read, &reader,
                                          detail::append<Container>, &output, c.progress_fn(), &c));
}

// Restores the compressed stream `input`, which must end where the stream
// does, and appends the original bytes to `output`. On any status but ok,
// `output` is left as it was on entry.
template <class Container>
Status decompress_buffer(ByteView input, Container& output, const ProgressFn& progress = {}) {
  return detail::decompress_view(input, output, nullptr, progress);
}

// decompress_buffer() for a stream at the start of `input` that other data
// may follow: stops at the stream's end and sets `consumed` to its size.
template <class Container>
Status decompress_buffer_embedded(ByteView input, Container& output, std::size_t& consumed,
                                  const ProgressFn& progress = {}) {
  consumed = 0;
  return detail::decompress_view(input, output, &consumed, progress);
}

// Compresses exactly `length` bytes pulled from `read` and pushes the
// compressed stream to `write`; `read` is never asked for more than those
// `length` bytes. The length must be known before the first byte is
// written, because the stream starts with it.
inline Status compress_stream(std::int64_t length, const ReadFn& read, const WriteFn& write,
                              const ProgressFn& progress = {}) {
  if (length < 0 || length > kMaxInputSize) return Status::too_large;
  detail::Callbacks c{&read, &write, &progress, {}};
  return c.finish(bytemix_compress_stream(static_cast<std::size_t>(length),
                                          detail::Callbacks::read_call, &c,
                                          detail::Callbacks::write_call, &c, c.progress_fn(), &c));
}

// Restores a compressed stream pulled from `read`, pushing the original
// bytes to `write` as they are decoded. The data are read to their end. On
// any status but ok, what was written is not the original and must be
// discarded. Memory stays bounded whatever the length field claims.
inline Status decompress_stream(const ReadFn& read, const WriteFn& write,
                                const ProgressFn& progress = {}) {
  detail::Callbacks c{&read, &write, &progress, {}};
  return c.finish(bytemix_decompress_stream(detail::Callbacks::read_call, &c,
                                            detail::Callbacks::write_call, &c, c.progress_fn(), &c));
}

// decompress_stream() for a stream that other data follow: `read` is asked
// for one byte at a time, never past the stream's end, and `consumed` is set
// to the stream's size.
inline Status decompress_stream_embedded(const ReadFn& read, const WriteFn& write,
                                         std::size_t& consumed, const ProgressFn& progress = {}) {
  consumed = 0;
  detail::Callbacks c{&read, &write, &progress, {}};
  return c.finish(bytemix_decompress_stream_embedded(detail::Callbacks::read_call, &c,
                                                     detail::Callbacks::write_call, &c,
                                                     c.progress_fn(), &c, &consumed));
}

}  // namespace bytemix
