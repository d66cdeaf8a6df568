#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "model/kernels/kernels.h"

namespace bytemix::kernels {
namespace {

bool cpu_runs(Isa isa) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  switch (isa) {
    case Isa::portable:
      return true;
    case Isa::avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Isa::avx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
#else
  return isa == Isa::portable;
#endif
}

const Table* choose() {
  if (const char* forced = std::getenv("BYTEMIX_SIMD")) {
    for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
      const Table* t = for_isa(isa);
      if (t != nullptr && std::strcmp(forced, t->name) == 0) return t;
    }
  }
  for (Isa isa : {Isa::avx512, Isa::avx2}) {
    if (const Table* t = for_isa(isa)) return t;
  }
  return &portable_table;
}

}  // namespace

const Table* for_isa(Isa isa) {
  if (!cpu_runs(isa)) return nullptr;
  switch (isa) {
    case Isa::portable:
      return &portable_table;
#if defined(__x86_64__) || defined(__i386__)
    case Isa::avx2:
      return &avx2_table;
    case Isa::avx512:
      return &avx512_table;
#else
    default:
      return nullptr;
#endif
  }
  return nullptr;
}

const Table& active() {
  // Chosen once; a function-local static is initialised thread-safely.
  static const Table* const chosen = choose();
  return *chosen;
}

}  // namespace bytemix::kernels
