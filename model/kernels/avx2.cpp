// The kernels for x86-64 processors with AVX2, FMA, BMI, BMI2 and F16C
// (Highway's AVX2 target): built with the flags of CMakeLists.txt for this
// file alone, and run only where the processor has every extension they
// enable (Table::x86_features).
// Highway's own namespace named after this target too (see kernels-inl.h).
#define hwy hwy_avx2
#include "model/kernels/kernels-inl.h"

static_assert(HWY_TARGET == HWY_AVX2, "model/kernels/avx2.cpp must build Highway's AVX2 target");

namespace bytemix::kernels {
const Table avx2_table = HWY_NAMESPACE::make_table("avx2");
}  // namespace bytemix::kernels
