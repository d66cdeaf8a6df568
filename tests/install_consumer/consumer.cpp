// Round-trips a short text through the installed library, from a std::string
// into a std::vector<std::byte> and back, and prints the compressed size;
// exits non-zero on any difference.
#include <bytemix/bytemix.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

static_assert(__cplusplus == 201703L, "built as C++17");

int main() {
  const std::string text = "installed library, installed header, one round trip";
  std::vector<std::byte> packed;
  std::string restored;
  if (bytemix::compress_buffer(text, packed) != bytemix::Status::ok) return 1;
  if (bytemix::decompress_buffer(packed, restored) != bytemix::Status::ok) return 1;
  if (restored != text) return 1;
  std::printf("bytemix %s from C++17: %zu -> %zu bytes, restored\n", bytemix::version(), text.size(),
              packed.size());
  return 0;
}
