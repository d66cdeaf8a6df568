// The sixteenths' table of the estimated logarithm (model/ln/ln_estimate.h)
// read at the lanes' indices, for Highway's AVX3 target only; included by
// model/kernels/kernels-inl.h, whose other targets gather from memory.
//
// Why intrinsics: the table has 16 entries of each kind, two AVX-512
// registers, which one two-source permutation (vpermt2pd) reads for all
// lanes. Highway 1.0.3 offers lookups in one register of 8 (two of them
// and a blend give the same bits at three times the work) and gathers from
// memory, which cost several times a permutation on processors with
// AVX-512; the weight selection, the model's largest kernel, takes sixteen
// such lookups per call. The values read are the table's either way.

#include <immintrin.h>

#include "hwy/highway.h"
#include "model/ln/ln_estimate.h"

HWY_BEFORE_NAMESPACE();
namespace bytemix::kernels::HWY_NAMESPACE {

class SixteenthsLanes {
 public:
  using VD = hwy::HWY_NAMESPACE::Vec512<double>;
  using VI = hwy::HWY_NAMESPACE::Vec512<std::int64_t>;

  SixteenthsLanes() {
    using ln_estimate_detail::kSixteenths;
    r_lo_ = _mm512_loadu_pd(kSixteenths.r);
    r_hi_ = _mm512_loadu_pd(kSixteenths.r + 8);
    t_lo_ = _mm512_loadu_pd(kSixteenths.t);
    t_hi_ = _mm512_loadu_pd(kSixteenths.t + 8);
  }

  // r[j] and t[j] for the index j (0 to 15) of each lane.
  VD r(VI j) const { return VD{_mm512_permutex2var_pd(r_lo_, j.raw, r_hi_)}; }
  VD t(VI j) const { return VD{_mm512_permutex2var_pd(t_lo_, j.raw, t_hi_)}; }

 private:
  __m512d r_lo_, r_hi_, t_lo_, t_hi_;
};

}  // namespace bytemix::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();
