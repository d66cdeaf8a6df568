// Round-trips a short text through the installed library and prints the
// compressed size; exits non-zero on any difference.
#include <bytemix/bytemix.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main() {
  const char text[] = "installed library, installed header, one round trip";
  const auto* begin = reinterpret_cast<const std::uint8_t*>(text);
  std::vector<std::uint8_t> packed, restored;
  if (bytemix::compress_buffer({begin, sizeof text}, packed) != bytemix::Status::ok) return 1;
  if (bytemix::decompress_buffer(packed, restored) != bytemix::Status::ok) return 1;
  if (restored.size() != sizeof text || std::memcmp(restored.data(), text, sizeof text) != 0) return 1;
  std::printf("bytemix %s: %zu -> %zu bytes, restored\n", bytemix::version(), sizeof text,
              packed.size());
  return 0;
}
