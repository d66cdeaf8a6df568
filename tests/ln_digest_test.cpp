// Hashes bytemix::ln over a fixed list of 400000 arguments, and the accurate
// path alone over 40000 of them, and compares the hash with the value recorded on x86-64. Because ln is correctly rounded the
// list of results, and so the hash, is the same on every conforming target;
// this program has no dependencies, so it can be cross-compiled and run under
// an emulator (32-bit x86 with SSE2, aarch64) to check that.

#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "model/ln/ln.h"
#include "model/ln/ln_detail.h"

namespace {

constexpr uint64_t kExpectedDigest = 0x1a06a451b9344d4fu;  // recorded on x86-64

uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

double from_bits(uint64_t u) { return std::bit_cast<double>(u); }

}  // namespace

int main() {
  uint64_t state = 1;
  uint64_t digest = 0xcbf29ce484222325u;  // FNV-1a over the result bits
  auto mix = [&digest](double y) {
    uint64_t u = std::bit_cast<uint64_t>(y);
    for (int k = 0; k < 8; ++k) {
      digest ^= (u >> (8 * k)) & 0xff;
      digest *= 0x100000001b3u;
    }
  };
  int n = 0;
  auto feed = [&](double x) {
    mix(bytemix::ln(x));
    if (++n % 10 == 0) mix(bytemix::ln_detail::ln_accurate(x));
  };
  const uint64_t one = std::bit_cast<uint64_t>(1.0);
  for (int k = 0; k < 100000; ++k) {
    const uint64_t r = splitmix(state);
    feed(from_bits(r >> 1));                              // any positive double (or NaN/inf)
    feed(double((r >> 11) | 1) * 0x1p-53);                // uniform (0, 1)
    feed(from_bits(one + (r & 0xfffff)));                 // just above 1
    feed(from_bits(one - 1 - (r >> 20) % (uint64_t{1} << (r % 44))));  // below 1
  }
  std::printf("ln digest %016" PRIx64 " (expected %016" PRIx64 ")\n", digest, kExpectedDigest);
  return digest == kExpectedDigest ? 0 : 1;
}
