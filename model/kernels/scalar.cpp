// The kernels in one lane (Highway's scalar target), for any processor:
// the fallback where no vector target runs.
// Highway's own namespace named after this target too (see kernels-inl.h).
#define hwy hwy_scalar
#define HWY_COMPILE_ONLY_SCALAR
#include "model/kernels/kernels-inl.h"

static_assert(HWY_TARGET == HWY_SCALAR, "model/kernels/scalar.cpp must build Highway's scalar target");

namespace bytemix::kernels {
const Table scalar_table = HWY_NAMESPACE::make_table("scalar");
}  // namespace bytemix::kernels
