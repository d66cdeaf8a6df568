// The kernels for x86-64 processors with AVX-512 (F, VL, DQ, BW) and what
// Highway's AVX2 target assumes: built with the flags of CMakeLists.txt for
// this file alone, and run only where the processor has every extension
// they enable (Table::x86_features).
// Highway's own namespace named after this target too (see kernels-inl.h).
#define hwy hwy_avx512
#include "model/kernels/kernels-inl.h"

static_assert(HWY_TARGET == HWY_AVX3, "model/kernels/avx512.cpp must build Highway's AVX3 target");

namespace bytemix::kernels {
const Table avx512_table = HWY_NAMESPACE::make_table("avx512");
}  // namespace bytemix::kernels
