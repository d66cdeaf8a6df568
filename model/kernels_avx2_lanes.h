#pragma once

// The AVX2 kernels' lane-wise logarithm and the weight selection built on
// it, in two variants: the exact error term of the square z^2 by Dekker's
// product (any AVX2 processor) or by one fused multiply-subtract (processors
// that also have FMA). That term is exact either way, so both give the same
// doubles. Included by model/kernels_avx2.cpp (built with -mavx2, the
// Dekker variant) and model/kernels_avx2_fma.cpp (built with -mavx2 -mfma,
// the FMA variant); contraction stays off in both, so the only fused
// operation is the explicit one.
#include <immintrin.h>

#include <cstdint>
#include <initializer_list>

#include "model/kernel_common.h"

namespace bytemix::kernels {
namespace {

// model/ln_lanes.h in four lanes: the same operations as ln_lane(), the
// exact square's error term by Dekker's product as there or by FMA, the
// table read by gathers. One
// evaluation is a long chain of dependent steps, so kBlock vectors go
// through each step together: the processor then has independent work
// while a step waits for its inputs.
constexpr int kBlock = 4;

inline __m256d abs_pd(__m256d v) {
  return _mm256_and_pd(v, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff)));
}

// kBlock * 4 logarithms of x into y; returns the lanes to redo by the scalar
// ln, one bit per value.
template <bool kFma>
inline std::uint64_t ln_block(const double* x, double* y) {
  using namespace ln_detail;
  constexpr int B = kBlock;
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256i one_bits = _mm256_set1_epi64x(std::int64_t(kOneBits));
  const __m256d half = _mm256_set1_pd(-0.5);
  __m256d z[B], ep[B], l_hi[B], l_mid[B], in_domain[B];
  for (int j = 0; j < B; ++j) {
    __m256d vx = _mm256_loadu_pd(x + 4 * j);
    in_domain[j] = _mm256_and_pd(_mm256_cmp_pd(vx, _mm256_set1_pd(0x1p-1022), _CMP_GE_OQ),
                                 _mm256_cmp_pd(vx, _mm256_set1_pd(0x1.fffffffffffffp+1023), _CMP_LE_OQ));
    // Lanes outside the domain compute ln 1 and are redone by the scalar ln.
    vx = _mm256_blendv_pd(one, vx, in_domain[j]);
    const __m256i u = _mm256_castpd_si256(vx);
    const __m256i frac = _mm256_and_si256(u, _mm256_set1_epi64x(std::int64_t(kFracMask)));
    const __m256i i = _mm256_srli_epi64(
        _mm256_add_epi64(frac, _mm256_set1_epi64x(std::int64_t{1} << 44)), 45);
    // All ones where i >= kSplitIndex, so subtracting adds one.
    const __m256i upper = _mm256_cmpgt_epi64(i, _mm256_set1_epi64x(kSplitIndex - 1));
    const __m256i biased = _mm256_sub_epi64(_mm256_srli_epi64(u, 52), upper);
    ep[j] = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(
                              biased, _mm256_set1_epi64x(std::int64_t(kExponentMagicBits)))),
                          _mm256_set1_pd(kExponentMagic));
    const __m256i entry = _mm256_slli_epi64(i, 2);  // four doubles per TableEntry
    const __m256d r = _mm256_i64gather_pd(&kTable[0].r, entry, 8);
    l_hi[j] = _mm256_i64gather_pd(&kTable[0].l_hi, entry, 8);
    l_mid[j] = _mm256_i64gather_pd(&kTable[0].l_mid, entry, 8);
    const __m256d m = _mm256_castsi256_pd(_mm256_or_si256(frac, one_bits));
    const __m256d mh = _mm256_castsi256_pd(_mm256_or_si256(
        _mm256_and_si256(frac, _mm256_set1_epi64x(std::int64_t(kLowByteClear))), one_bits));
    z[j] = _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(mh, r), one),
                         _mm256_mul_pd(_mm256_sub_pd(m, mh), r));
  }
  __m256d sh[B], sl[B], q[B], q3[B];
  for (int j = 0; j < B; ++j) {
    sh[j] = _mm256_mul_pd(z[j], z[j]);
    if constexpr (kFma) {
      sl[j] = _mm256_fmsub_pd(z[j], z[j], sh[j]);  // exact error of the product
    } else {
      // two_prod(z, z): Veltkamp's split, then Dekker's error term.
      const __m256d c = _mm256_mul_pd(_mm256_set1_pd(0x1.0000002p+27), z[j]);  // as dd::split
      const __m256d zh = _mm256_sub_pd(c, _mm256_sub_pd(c, z[j]));
      const __m256d zl = _mm256_sub_pd(z[j], zh);
      const __m256d zhzl = _mm256_mul_pd(zh, zl);
      sl[j] = _mm256_add_pd(
          _mm256_add_pd(_mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(zh, zh), sh[j]), zhzl), zhzl),
          _mm256_mul_pd(zl, zl));
    }
    q[j] = _mm256_set1_pd(kLaneC9);
  }
  for (double c : {kLaneC8, kLaneC7, kLaneC6, kLaneC5, kLaneC4, kThirdHi}) {
    for (int j = 0; j < B; ++j) q[j] = _mm256_add_pd(_mm256_set1_pd(c), _mm256_mul_pd(z[j], q[j]));
  }
  for (int j = 0; j < B; ++j) q3[j] = _mm256_mul_pd(_mm256_mul_pd(sh[j], z[j]), q[j]);
  std::uint64_t fails = 0;
  for (int j = 0; j < B; ++j) {
    // two_sum(ep ln2_hi, l_hi)
    const __m256d a = _mm256_mul_pd(ep[j], _mm256_set1_pd(kLn2Hi));
    const __m256d kh = _mm256_add_pd(a, l_hi[j]);
    const __m256d bb = _mm256_sub_pd(kh, a);
    const __m256d kt =
        _mm256_add_pd(_mm256_sub_pd(a, _mm256_sub_pd(kh, bb)), _mm256_sub_pd(l_hi[j], bb));
    const __m256d kl =
        _mm256_add_pd(kt, _mm256_add_pd(l_mid[j], _mm256_mul_pd(ep[j], _mm256_set1_pd(kLn2Lo))));
    // fast_two_sum(kh, z), fast_two_sum(h1, -sh/2)
    const __m256d h1 = _mm256_add_pd(kh, z[j]);
    const __m256d l1 = _mm256_sub_pd(z[j], _mm256_sub_pd(h1, kh));
    const __m256d w = _mm256_mul_pd(half, sh[j]);
    const __m256d h2 = _mm256_add_pd(h1, w);
    const __m256d l2 = _mm256_sub_pd(w, _mm256_sub_pd(h2, h1));
    const __m256d low = _mm256_add_pd(
        _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(kl, l1), l2), _mm256_mul_pd(half, sl[j])),
        q3[j]);
    const __m256d h = _mm256_add_pd(h2, low);
    const __m256d l = _mm256_sub_pd(low, _mm256_sub_pd(h, h2));

    const __m256d err = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(kLaneRelErr), abs_pd(h)),
                                      _mm256_mul_pd(_mm256_set1_pd(kLanePolyErr), abs_pd(q3[j])));
    const __m256d lo = _mm256_add_pd(h, _mm256_sub_pd(l, err));
    const __m256d hi = _mm256_add_pd(h, _mm256_add_pd(l, err));
    const int ok = _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(lo, hi, _CMP_EQ_OQ), in_domain[j]));
    _mm256_storeu_pd(y + 4 * j, lo);
    fails |= std::uint64_t(~unsigned(ok) & 0xFu) << (4 * j);
  }
  return fails;
}

template <bool kFma>
int ln_many(const double* x, double* y, int n) {
  int fallbacks = 0;
  int k = 0;
  for (; k + 4 * kBlock <= n; k += 4 * kBlock) {
    if (const std::uint64_t fails = ln_block<kFma>(x + k, y + k)) fallbacks += ln_fallbacks(x + k, y + k, fails);
  }
  // A tail shorter than a block: padded with ones, which never fail.
  if (k < n) {
    alignas(32) double xt[4 * kBlock], yt[4 * kBlock];
    for (int t = 0; t < 4 * kBlock; ++t) xt[t] = k + t < n ? x[k + t] : 1.0;
    const std::uint64_t fails = ln_block<kFma>(xt, yt);
    if (fails != 0) fallbacks += ln_fallbacks(xt, yt, fails);
    for (int t = 0; k + t < n; ++t) y[k + t] = yt[t];
  }
  return fallbacks;
}

template <bool kFma>
double select_weight(float a, float b, float* costs, float decay) {
  constexpr int kVectors = kCandidates / 4;
  const __m256d d = _mm256_set1_pd(decay);
  __m256d c[kVectors];
  if (a == 0 && b == 0) {
    for (int j = 0; j < kVectors; ++j)
      c[j] = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(costs + 4 * j)), d);
  } else {
    alignas(32) double x[kCandidates], y[kCandidates];
    accumulate_candidates(a, b, x);
    candidate_logs(ln_many<kFma>, x, y);
    for (int j = 0; j < kVectors; ++j)
      c[j] = _mm256_sub_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(costs + 4 * j)), d),
                           _mm256_load_pd(y + 4 * j));
  }
  __m256d lowest = c[0];
  for (int j = 0; j < kVectors; ++j) {
    _mm_storeu_ps(costs + 4 * j, _mm256_cvtpd_ps(c[j]));
    lowest = _mm256_min_pd(lowest, c[j]);
  }
  __m128d h = _mm_min_pd(_mm256_castpd256_pd128(lowest), _mm256_extractf128_pd(lowest, 1));
  h = _mm_min_sd(h, _mm_unpackhi_pd(h, h));
  // The first index holding the smallest cost; none if no cost is below
  // the initial best (then the index stays 0).
  const double best = _mm_cvtsd_f64(h);
  if (!(best < kInitialBestCost)) return 0;
  const __m256d target = _mm256_set1_pd(best);
  std::uint64_t hits = 0;
  for (int j = 0; j < kVectors; ++j)
    hits |= std::uint64_t(_mm256_movemask_pd(_mm256_cmp_pd(c[j], target, _CMP_EQ_OQ))) << (4 * j);
  return __builtin_ctzll(hits) * kCandidateStep;
}

}  // namespace
}  // namespace bytemix::kernels
