#include "model/kernels/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace bytemix::kernels {

#if defined(__x86_64__) || defined(__i386__)
namespace {

bool bit(unsigned reg, int n) { return (reg >> n & 1) != 0; }

// The register state the operating system saves (XCR0). Read with the
// instruction itself: the intrinsic would need -mxsave for this file.
std::uint64_t saved_state() {
  unsigned lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (std::uint64_t{hi} << 32) | lo;
}

}  // namespace

std::uint32_t processor_x86_features() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  std::uint32_t f = 0;
  if (bit(c, 0)) f |= kSse3;
  if (bit(c, 1)) f |= kPclmul;
  if (bit(c, 9)) f |= kSsse3;
  if (bit(c, 12)) f |= kFma;
  if (bit(c, 19)) f |= kSse41;
  if (bit(c, 20)) f |= kSse42;
  if (bit(c, 22)) f |= kMovbe;
  if (bit(c, 23)) f |= kPopcnt;
  if (bit(c, 25)) f |= kAes;
  if (bit(c, 26)) f |= kXsave;
  if (bit(c, 28)) f |= kAvx;
  if (bit(c, 29)) f |= kF16c;
  // The 256-bit registers (SSE and AVX state), and the 512-bit ones with
  // their mask registers (opmask, upper halves of ZMM0-15, ZMM16-31).
  const std::uint64_t state = bit(c, 27) ? saved_state() : 0;
  const bool ymm = (state & 0x6) == 0x6;
  const bool zmm = ymm && (state & 0xE0) == 0xE0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
    if (bit(b, 3)) f |= kBmi;
    if (bit(b, 5)) f |= kAvx2;
    if (bit(b, 8)) f |= kBmi2;
    if (bit(b, 16)) f |= kAvx512f;
    if (bit(b, 17)) f |= kAvx512dq;
    if (bit(b, 28)) f |= kAvx512cd;
    if (bit(b, 30)) f |= kAvx512bw;
    if (bit(b, 31)) f |= kAvx512vl;
  }
  if (__get_cpuid(0x80000001, &a, &b, &c, &d) && bit(c, 5)) f |= kLzcnt;
  if (!ymm) f &= ~(kAvx | kAvx2 | kFma | kF16c);
  if (!zmm) f &= ~(kAvx512f | kAvx512vl | kAvx512dq | kAvx512bw | kAvx512cd);
  return f;
}
#else
std::uint32_t processor_x86_features() { return 0; }
#endif

}  // namespace bytemix::kernels
