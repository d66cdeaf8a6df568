// The AVX2 kernels' logarithm and weight selection with the exact error
// term of z^2 from a fused multiply-subtract (model/kernels_avx2_lanes.h).
// Built with -mavx2 -mfma for this file alone and called only after the
// processor has been found to support both. Contraction is off for the
// whole build, so no other product and sum is fused.
#include "model/kernels.h"
#include "model/kernels_avx2_lanes.h"

namespace bytemix::kernels {

double select_weight_fma(float a, float b, float* costs, float decay) {
  return select_weight<true>(a, b, costs, decay);
}

int ln_many_fma(const double* x, double* y, int n) { return ln_many<true>(x, y, n); }

void ln_estimate_many_fma(const double* x, double* y, int n) { ln_estimate_many<true>(x, y, n); }

}  // namespace bytemix::kernels
