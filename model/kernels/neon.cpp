// The kernels for 64-bit Arm with Advanced SIMD (Highway's NEON target,
// 128-bit vectors), which every such processor has.
// Highway's own namespace named after this target too (see kernels-inl.h).
#define hwy hwy_neon
#include "model/kernels/kernels-inl.h"

static_assert(HWY_TARGET == HWY_NEON, "model/kernels/neon.cpp must build Highway's NEON target");

namespace bytemix::kernels {
const Table neon_table = HWY_NAMESPACE::make_table("neon");
}  // namespace bytemix::kernels
