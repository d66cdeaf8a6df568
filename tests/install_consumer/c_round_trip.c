/* A C99 program against the installed <bytemix.h>: compresses each FILE
 * named on the command line into OUT_DIR/<its base name>.ari, once into a
 * buffer of bytemix_compress_bound() bytes and once through the streaming
 * call over stdio, and checks that both give the same bytes and that they
 * decompress, into a buffer sized by bytemix_decompressed_size() and
 * through the embedded stream call, to the original. The caller compares
 * the .ari files with the programs' pinned hashes.
 * Usage: c_round_trip OUT_DIR FILE...   Exit status 0 if all held. */
#include <bytemix.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

static void fail(const char* name, const char* what, bytemix_status status) {
  fprintf(stderr, "FAIL: %s: %s: %s\n", name, what, bytemix_status_message(status));
  ++failures;
}

static unsigned char* read_file(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  unsigned char* data = NULL;
  long n;
  if (f == NULL) return NULL;
  if (fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0) {
    data = malloc((size_t)n + 1);
    if (data != NULL && fread(data, 1, (size_t)n, f) != (size_t)n) {
      free(data);
      data = NULL;
    }
    *size = (size_t)n;
  }
  fclose(f);
  return data;
}

/* stdio as the streaming calls' callbacks: ctx is the FILE*. */
static int read_stdio(void* ctx, void* buffer, size_t capacity, size_t* got) {
  *got = fread(buffer, 1, capacity, (FILE*)ctx);
  return ferror((FILE*)ctx);
}

static int write_stdio(void* ctx, const void* data, size_t size) {
  return fwrite(data, 1, size, (FILE*)ctx) != size;
}

static int count_reports(void* ctx, size_t done, size_t length) {
  (void)done;
  (void)length;
  ++*(int*)ctx;
  return 0;
}

static void round_trip(const char* out_dir, const char* path) {
  const char* slash = strrchr(path, '/');
  const char* name = slash != NULL ? slash + 1 : path;
  char out_path[4096];
  size_t size = 0, bound, packed_size = 0, length = 0, written = 0, consumed = 0, streamed_size;
  unsigned char *input, *packed, *restored, *streamed;
  FILE *in, *tmp, *sink;
  bytemix_status status;
  int reports = 0;

  input = read_file(path, &size);
  if (input == NULL) {
    fprintf(stderr, "FAIL: cannot read %s\n", path);
    ++failures;
    return;
  }

  /* Buffers: the bound, the compressed size, the length field. */
  bound = bytemix_compress_bound(size);
  packed = malloc(bound);
  status = bytemix_compress(input, size, packed, bound, &packed_size);
  if (status != BYTEMIX_OK) fail(name, "bytemix_compress", status);
  status = bytemix_decompressed_size(packed, packed_size, &length);
  if (status != BYTEMIX_OK || length != size) fail(name, "bytemix_decompressed_size", status);
  restored = malloc(length + 1);
  status = bytemix_decompress(packed, packed_size, restored, length, &written);
  if (status != BYTEMIX_OK || written != size || memcmp(restored, input, size) != 0)
    fail(name, "bytemix_decompress", status);

  /* Streams over stdio: the same bytes, written to OUT_DIR/<name>.ari. */
  snprintf(out_path, sizeof out_path, "%s/%s.ari", out_dir, name);
  in = fopen(path, "rb");
  sink = fopen(out_path, "wb");
  status = in != NULL && sink != NULL
               ? bytemix_compress_stream(size, read_stdio, in, write_stdio, sink, count_reports, &reports)
               : BYTEMIX_INVALID_ARGUMENT;
  if (in != NULL) fclose(in);
  if (sink != NULL && fclose(sink) != 0) status = BYTEMIX_WRITE_ERROR;
  if (status != BYTEMIX_OK || reports != (int)((size + 16383) / 16384))
    fail(name, "bytemix_compress_stream", status);
  streamed = read_file(out_path, &streamed_size);
  if (streamed == NULL || streamed_size != packed_size || memcmp(streamed, packed, packed_size) != 0)
    fail(name, "the streamed bytes differ from the buffer's", BYTEMIX_OK);

  /* The stream with other data after it: decoding stops at its end. */
  tmp = tmpfile();
  if (tmp == NULL || fwrite(packed, 1, packed_size, tmp) != packed_size || fputs("tail", tmp) < 0) {
    fail(name, "cannot write a temporary file", BYTEMIX_OK);
  } else {
    rewind(tmp);
    sink = tmpfile();
    status = bytemix_decompress_stream_embedded(read_stdio, tmp, write_stdio, sink, NULL, NULL, &consumed);
    if (status != BYTEMIX_OK || consumed != packed_size || fgetc(tmp) != 't')
      fail(name, "bytemix_decompress_stream_embedded", status);
    if (sink != NULL) {
      rewind(sink);
      if (fread(restored, 1, size + 1, sink) != size || memcmp(restored, input, size) != 0)
        fail(name, "the embedded stream decoded to other bytes", BYTEMIX_OK);
      fclose(sink);
    }
  }
  if (tmp != NULL) fclose(tmp);
  free(streamed);
  free(restored);
  free(packed);
  free(input);
}

int main(int argc, char** argv) {
  int i;
  if (argc < 3) {
    fprintf(stderr, "usage: %s OUT_DIR FILE...\n", argv[0]);
    return 2;
  }
  if (bytemix_version_number() != BYTEMIX_VERSION_NUMBER) {
    fprintf(stderr, "FAIL: header %d, library %s\n", BYTEMIX_VERSION_NUMBER, bytemix_version());
    return 1;
  }
  for (i = 2; i < argc; ++i) round_trip(argv[1], argv[i]);
  printf("bytemix %s from C: %d files, %d failures\n", bytemix_version(), argc - 2, failures);
  return failures == 0 ? 0 : 1;
}
