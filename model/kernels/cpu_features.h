#pragma once

#include <cstdint>

namespace bytemix::kernels {

// The x86 instruction-set extensions that a translation unit may be
// compiled for, one bit each. A kernel target may run only on a processor
// (and operating system) that provides every extension its translation
// unit was compiled with.
enum X86Feature : std::uint32_t {
  kSse3 = 1u << 0,
  kSsse3 = 1u << 1,
  kSse41 = 1u << 2,
  kSse42 = 1u << 3,  // with CRC32
  kPopcnt = 1u << 4,
  kAvx = 1u << 5,
  kXsave = 1u << 6,
  kAvx2 = 1u << 7,
  kFma = 1u << 8,
  kBmi = 1u << 9,
  kBmi2 = 1u << 10,
  kF16c = 1u << 11,
  kLzcnt = 1u << 12,
  kMovbe = 1u << 13,
  kPclmul = 1u << 14,
  kAes = 1u << 15,
  kAvx512f = 1u << 16,
  kAvx512vl = 1u << 17,
  kAvx512dq = 1u << 18,
  kAvx512bw = 1u << 19,
  kAvx512cd = 1u << 20,
};

// The extensions that the compiler may use in the translation unit that
// includes this header, read from its predefined macros: what its -m
// flags (or -march) allow. A kernel target's table carries its own, so
// that the check at run time follows the flags it was built with. (A
// namespace-scope constexpr variable has internal linkage: one value per
// translation unit.) SSE and SSE2 are not listed: every x86-64 processor
// has them, and 32-bit x86 builds need them throughout (CMakeLists.txt).
// Nor are extensions that no kernel target's flags enable: those could
// come only from flags of the whole build, which every part of the
// program needs anyway.
constexpr std::uint32_t kCompiledX86Features = 0
#if defined(__SSE3__)
    | kSse3
#endif
#if defined(__SSSE3__)
    | kSsse3
#endif
#if defined(__SSE4_1__)
    | kSse41
#endif
#if defined(__SSE4_2__) || defined(__CRC32__)
    | kSse42
#endif
#if defined(__POPCNT__)
    | kPopcnt
#endif
#if defined(__AVX__)
    | kAvx
#endif
#if defined(__XSAVE__)
    | kXsave
#endif
#if defined(__AVX2__)
    | kAvx2
#endif
#if defined(__FMA__)
    | kFma
#endif
#if defined(__BMI__)
    | kBmi
#endif
#if defined(__BMI2__)
    | kBmi2
#endif
#if defined(__F16C__)
    | kF16c
#endif
#if defined(__LZCNT__)
    | kLzcnt
#endif
#if defined(__MOVBE__)
    | kMovbe
#endif
#if defined(__PCLMUL__)
    | kPclmul
#endif
#if defined(__AES__)
    | kAes
#endif
#if defined(__AVX512F__)
    | kAvx512f
#endif
#if defined(__AVX512VL__)
    | kAvx512vl
#endif
#if defined(__AVX512DQ__)
    | kAvx512dq
#endif
#if defined(__AVX512BW__)
    | kAvx512bw
#endif
#if defined(__AVX512CD__)
    | kAvx512cd
#endif
    ;

// The extensions above that this processor has and the operating system
// supports (it saves the registers they use); 0 on other architectures.
std::uint32_t processor_x86_features();

}  // namespace bytemix::kernels
