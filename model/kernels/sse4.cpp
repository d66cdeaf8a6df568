// The kernels for x86 processors with SSSE3, SSE4.1, SSE4.2 and POPCNT
// (Highway's SSE4 target, 128-bit vectors): built with the flags of
// CMakeLists.txt for this file alone, and run only where the processor has
// every extension they enable (Table::x86_features).
// Highway's own namespace named after this target too (see kernels-inl.h).
#define hwy hwy_sse4
#include "model/kernels/kernels-inl.h"

static_assert(HWY_TARGET == HWY_SSE4, "model/kernels/sse4.cpp must build Highway's SSE4 target");

namespace bytemix::kernels {
const Table sse4_table = HWY_NAMESPACE::make_table("sse4");
}  // namespace bytemix::kernels
