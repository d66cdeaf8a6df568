/* bytemix: a context-mixing compressor as a C library (C99 and later, C++).
 *
 * A compressed stream is the original length (32-bit signed, little-endian)
 * followed by a range-coded stream; it holds no header, checksum or end
 * marker of its own. Both directions run the same adaptive model one byte at
 * a time, so they cost about the same.
 *
 * Threads: every function is reentrant. Each call allocates its own model
 * and coder for its duration and frees them before it returns; calls share
 * no state, so any number of threads may compress and decompress at once.
 * Errors are returned as a bytemix_status, never printed, and the library
 * never ends the process.
 *
 * Memory: a call allocates the same amount whatever its input, for its model's
 * tables and the coder's two 64 KiB buffers. Where the caller can size a
 * buffer, the caller allocates it.
 */
#ifndef BYTEMIX_H
#define BYTEMIX_H

#include <stddef.h>

/* The version of this header; bytemix_version() gives the library's. */
#define BYTEMIX_VERSION_MAJOR 0
#define BYTEMIX_VERSION_MINOR 1
#define BYTEMIX_VERSION_PATCH 0
#define BYTEMIX_VERSION_NUMBER \
  (BYTEMIX_VERSION_MAJOR * 10000 + BYTEMIX_VERSION_MINOR * 100 + BYTEMIX_VERSION_PATCH)

#if defined(__GNUC__) || defined(__clang__)
#define BYTEMIX_API __attribute__((visibility("default")))
#else
#define BYTEMIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Largest input the format can describe: 2^31 - 1 bytes. */
#define BYTEMIX_MAX_INPUT_SIZE ((size_t)0x7FFFFFFF)

/* What a call returns: BYTEMIX_OK (0) or the reason it failed. */
typedef enum bytemix_status {
  BYTEMIX_OK = 0,
  /* Compressing */
  BYTEMIX_TOO_LARGE = 1,   /* the input is 2 GiB or more: its length does not fit the format */
  BYTEMIX_SHORT_INPUT = 2, /* the input ended before the announced length */
  /* Either direction */
  BYTEMIX_READ_ERROR = 3,  /* the read callback reported a failure */
  BYTEMIX_WRITE_ERROR = 4, /* the write callback reported a failure */
  /* Decompressing: the data are not a stream the compressor wrote, or not
   * all of one. Without a checksum these are the properties every stream
   * has that the decoder checks as it goes; a changed byte makes the rest
   * decode into other bytes, which may also end early or late, so damage
   * can be reported as any of the first four. */
  BYTEMIX_TRUNCATED = 5,        /* the data end inside the length field or the stream */
  BYTEMIX_CORRUPT = 6,          /* the stream is not one the compressor can have written */
  BYTEMIX_TRAILING_DATA = 7,    /* bytes follow the end of the stream */
  BYTEMIX_WRONG_STREAM_END = 8, /* after `length` bytes the stream does not end as it must */
  BYTEMIX_NEGATIVE_LENGTH = 9,  /* the length field is below 0 */
  BYTEMIX_LENGTH_TOO_LARGE = 10, /* the stream is whole, and ends before `length` bytes */
  /* The caller's side */
  BYTEMIX_OUTPUT_TOO_SMALL = 11, /* the output buffer cannot hold the result */
  BYTEMIX_CANCELLED = 12,        /* the progress callback asked to stop */
  BYTEMIX_INVALID_ARGUMENT = 13  /* a null pointer where a buffer or a callback is needed */
} bytemix_status;

/* A short lower-case English text for a status, e.g. "length field is
 * negative"; never NULL, also for a value that is no status. */
BYTEMIX_API const char* bytemix_status_message(bytemix_status status);

/* The library's version as "MAJOR.MINOR.PATCH", and as the number
 * MAJOR * 10000 + MINOR * 100 + PATCH (compare with BYTEMIX_VERSION_NUMBER
 * to find a library older than the header). */
BYTEMIX_API const char* bytemix_version(void);
BYTEMIX_API unsigned bytemix_version_number(void);

/* ---- Buffers ---------------------------------------------------------- */

/* The largest compressed size of any input of `size` bytes: enough for
 * dst_capacity in bytemix_compress(). It covers the coder's worst case, nine
 * bytes for one input byte, plus the 12 bytes of length field and flush.
 * Real data need far less, so a caller short of memory compresses through
 * bytemix_compress_stream() instead. Saturates
 * at SIZE_MAX; 0 for a size above BYTEMIX_MAX_INPUT_SIZE, which cannot be
 * compressed. */
BYTEMIX_API size_t bytemix_compress_bound(size_t size);

/* Compresses src[0, src_size) into dst, at most dst_capacity bytes, and
 * stores the compressed size in *written (if written is not NULL; 0 unless
 * the call succeeds). BYTEMIX_OUTPUT_TOO_SMALL if dst cannot hold it; dst
 * then holds nothing usable. */
BYTEMIX_API bytemix_status bytemix_compress(const void* src, size_t src_size, void* dst,
                                            size_t dst_capacity, size_t* written);

/* The original size that a compressed stream at src announces in its length
 * field, without decoding it: lets a caller size the output, or refuse it,
 * before decompressing. Only the length field is read; the stream may still
 * be damaged. BYTEMIX_TRUNCATED if src_size is below the 12 bytes of the
 * shortest stream, BYTEMIX_NEGATIVE_LENGTH for a negative field. */
BYTEMIX_API bytemix_status bytemix_decompressed_size(const void* src, size_t src_size,
                                                     size_t* size);

/* Restores the compressed stream src[0, src_size) into dst and stores the
 * original size in *written (if written is not NULL; 0 unless the call
 * succeeds). src must hold exactly one stream: bytes after its end are
 * BYTEMIX_TRAILING_DATA. If the length field announces more than
 * dst_capacity bytes, returns BYTEMIX_OUTPUT_TOO_SMALL before decoding. On
 * any status but BYTEMIX_OK the contents of dst are not the original. */
BYTEMIX_API bytemix_status bytemix_decompress(const void* src, size_t src_size, void* dst,
                                              size_t dst_capacity, size_t* written);

/* bytemix_decompress() for a stream at the start of src that other data may
 * follow (a stream inside a container): decoding stops where the stream
 * ends, and *consumed (if not NULL; 0 unless the call succeeds) is its size
 * in bytes, so that the data after it start at src + *consumed. */
BYTEMIX_API bytemix_status bytemix_decompress_embedded(const void* src, size_t src_size,
                                                       void* dst, size_t dst_capacity,
                                                       size_t* written, size_t* consumed);

/* ---- Streams through callbacks ----------------------------------------
 * Every callback gets back the context pointer given with it, and returns
 * 0 to go on; any other value stops the call. */

/* Reads up to `capacity` bytes into `buffer`, stores how many in *got (0 at
 * the end of the data) and returns 0; non-zero on a failure (the call then
 * returns BYTEMIX_READ_ERROR). */
typedef int (*bytemix_read_fn)(void* ctx, void* buffer, size_t capacity, size_t* got);

/* Writes all `size` bytes and returns 0; non-zero on a failure (the call
 * then returns BYTEMIX_WRITE_ERROR). */
typedef int (*bytemix_write_fn)(void* ctx, const void* data, size_t size);

/* Called before byte 0, 16384, 32768, ... of the original data with the
 * bytes done so far and the original length. Returns 0 to go on; non-zero
 * cancels: the call reads and writes nothing more and returns
 * BYTEMIX_CANCELLED. May be NULL. */
typedef int (*bytemix_progress_fn)(void* ctx, size_t done, size_t length);

/* Compresses exactly `length` bytes pulled from `read` and pushes the
 * compressed stream to `write`. `read` is never asked for a byte past those
 * `length`, so the rest of its data stays unread. The length must be known
 * before the first byte is written, because the stream starts with it. */
BYTEMIX_API bytemix_status bytemix_compress_stream(size_t length, bytemix_read_fn read,
                                                   void* read_ctx, bytemix_write_fn write,
                                                   void* write_ctx, bytemix_progress_fn progress,
                                                   void* progress_ctx);

/* Restores a compressed stream pulled from `read`, pushing the original
 * bytes to `write` as they are decoded. `read` is read to its end: bytes
 * after the stream are BYTEMIX_TRAILING_DATA. On any status but BYTEMIX_OK,
 * what was written is not the original and must be discarded. Memory stays
 * bounded whatever the length field claims. */
BYTEMIX_API bytemix_status bytemix_decompress_stream(bytemix_read_fn read, void* read_ctx,
                                                     bytemix_write_fn write, void* write_ctx,
                                                     bytemix_progress_fn progress,
                                                     void* progress_ctx);

/* bytemix_decompress_stream() for a stream that other data follow (in a
 * container, on a socket): `read` is asked for one byte at a time and never
 * for a byte past the stream's end, so whatever follows stays unread, and
 * *consumed (if not NULL) is the stream's size, the bytes taken from `read`.
 * One call per byte is cheap over a buffered reader (a FILE*, or a buffer
 * of the caller's over a socket), whose look-ahead stays the caller's. */
BYTEMIX_API bytemix_status bytemix_decompress_stream_embedded(
    bytemix_read_fn read, void* read_ctx, bytemix_write_fn write, void* write_ctx,
    bytemix_progress_fn progress, void* progress_ctx, size_t* consumed);

#ifdef __cplusplus
}
#endif

#endif /* BYTEMIX_H */
