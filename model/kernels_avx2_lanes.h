#pragma once

// The AVX2 kernels' logarithms and weight selection, in two variants: with
// and without fused multiply-adds. The correctly rounded lane-wise ln takes
// the exact error term of the square z^2 by Dekker's product (any AVX2
// processor) or by one fused multiply-subtract (processors that also have
// FMA), exact either way, so both give the same doubles; the cost
// estimates of the selection (model/ln_estimate.h) use fused operations
// where they have them, which only tightens their proven bound. Included by
// model/kernels_avx2.cpp (built with -mavx2, no fused operation) and
// model/kernels_avx2_fma.cpp (built with -mavx2 -mfma); contraction stays
// off in both, so the only fused operations are the explicit ones.
#include <immintrin.h>

#include <cstdint>
#include <initializer_list>

#include "model/kernel_common.h"
#include "model/ln_estimate.h"
#include "model/selection_settle.h"

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

// ln_estimate (model/ln_estimate.h) in four lanes for kCount vectors at a
// time, step by step over all of them so that the processor always has
// independent work: the exponent by the usual bit tricks, the sixteenths'
// table by gathers, fused operations in the FMA variant (each only lowers
// the error).
template <bool kFma, int kCount>
inline void ln_estimate_lanes(const __m256d* x, __m256d* y) {
  using namespace ln_estimate_detail;
  const __m256d one = _mm256_set1_pd(1.0);
  __m256d z[kCount], q[kCount], head[kCount];
  for (int j = 0; j < kCount; ++j) {
    const __m256i bits = _mm256_castpd_si256(x[j]);
    const __m256d e = _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(
            _mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(std::int64_t(ln_detail::kExponentMagicBits)))),
        _mm256_set1_pd(ln_detail::kExponentMagic));
    // Two doubles per table entry: index 2j reads r, 2j + 1 reads t.
    const __m256i j2 = _mm256_slli_epi64(
        _mm256_and_si256(_mm256_srli_epi64(bits, kIndexShift), _mm256_set1_epi64x(15)), 1);
    const __m256d r = _mm256_i64gather_pd(&kSixteenths[0].r, j2, 8);
    const __m256d t = _mm256_i64gather_pd(&kSixteenths[0].t, j2, 8);
    const __m256d m = _mm256_castsi256_pd(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(std::int64_t(kFractionMask))),
                        _mm256_set1_epi64x(std::int64_t(kOneBits))));
    if constexpr (kFma) {
      z[j] = _mm256_fmsub_pd(m, r, one);
    } else {
      z[j] = _mm256_sub_pd(_mm256_mul_pd(m, r), one);
    }
    head[j] = _mm256_add_pd(_mm256_mul_pd(e, _mm256_set1_pd(kLn2Hi)), t);
    y[j] = _mm256_mul_pd(e, _mm256_set1_pd(kLn2Lo));
    q[j] = _mm256_set1_pd(kQ9);
  }
  for (double k : {kQ8, kQ7, kQ6, kQ5, kQ4, kQ3, kQ2}) {
    for (int j = 0; j < kCount; ++j) {
      if constexpr (kFma) {
        q[j] = _mm256_fmadd_pd(z[j], q[j], _mm256_set1_pd(k));
      } else {
        q[j] = _mm256_add_pd(_mm256_set1_pd(k), _mm256_mul_pd(z[j], q[j]));
      }
    }
  }
  for (int j = 0; j < kCount; ++j) {
    __m256d tail;
    if constexpr (kFma) {
      tail = _mm256_fmadd_pd(_mm256_mul_pd(z[j], z[j]), q[j], y[j]);
    } else {
      tail = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(z[j], z[j]), q[j]), y[j]);
    }
    y[j] = _mm256_add_pd(head[j], _mm256_add_pd(z[j], tail));
  }
}

// Lanes outside the estimate's domain give meaningless values.
template <bool kFma>
void ln_estimate_many(const double* x, double* y, int n) {
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m256d v = _mm256_loadu_pd(x + k);
    __m256d l;
    ln_estimate_lanes<kFma, 1>(&v, &l);
    _mm256_storeu_pd(y + k, l);
  }
  for (; k < n; ++k) y[k] = ln_estimate(x[k]);
}

// Estimated costs with error bounds (model/selection_settle.h), settled here
// in registers when every float is decided and one candidate alone can be
// the cheapest, else by settle_selection.
template <bool kFma>
double select_weight(float a, float b, float* costs, float decay) {
  constexpr int kVectors = kCandidates / 4;
  const __m256d d = _mm256_set1_pd(decay);
  __m256d c[kVectors];
  if (blends_equal(a, b)) {
    // Every cost is RN(P_i - y) with the one logarithm y, exact.
    const __m256d vy = _mm256_set1_pd(equal_blend_log(a));
    for (int j = 0; j < kVectors; ++j)
      c[j] = _mm256_sub_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(costs + 4 * j)), d), vy);
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

  const double fa = a, fb = b;
  const double step = (fb - fa) * kCandidateStep;
  const double delta = blend_slack(fa, fb);
  const __m256d va = _mm256_set1_pd(fa);
  const __m256d vstep = _mm256_set1_pd(step);
  const __m256d four_delta = _mm256_set1_pd(4 * delta);
  const __m256d slack = _mm256_set1_pd(kCostSlack);
  const __m256d inf = _mm256_set1_pd(__builtin_inf());
  __m256d err[kVectors], lo[kVectors], x[kVectors], l[kVectors];
  for (int j = 0; j < kVectors; ++j)
    x[j] = _mm256_add_pd(va, _mm256_mul_pd(_mm256_load_pd(kCandidateIndices + 4 * j), vstep));
  constexpr int kBatch = 4;  // vectors through the logarithm together
  for (int j = 0; j < kVectors; j += kBatch) ln_estimate_lanes<kFma, kBatch>(x + j, l + j);
  __m256d upper = inf;
  unsigned undecided = 0;
  // Probabilities within 2^42 of each other put every blend in the
  // estimate's domain, with one bound for 1 / x~_i (blends_within_ratio).
  const bool all_known = blends_within_ratio(a, b);
  const __m256d known_floor = _mm256_set1_pd(all_known ? known_blends_error_floor(fa, fb) : 0.0);
  for (int j = 0; j < kVectors; ++j) {
    const __m256d p = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(costs + 4 * j)), d);
    __m256d cj = _mm256_sub_pd(p, l[j]);
    const __m256d scaled = _mm256_mul_pd(slack, _mm256_add_pd(abs_pd(cj), abs_pd(l[j])));
    __m256d ej;
    if (all_known) {
      ej = _mm256_add_pd(scaled, known_floor);
    } else {
      const __m256d known =
          _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(x[j], four_delta, _CMP_GT_OQ),
                                      _mm256_cmp_pd(x[j], _mm256_set1_pd(0x1p-1022), _CMP_GE_OQ)),
                        _mm256_cmp_pd(x[j], _mm256_set1_pd(0x1.fffffffffffffp+1023), _CMP_LE_OQ));
      // A reciprocal to 1.5 * 2^-12 through floats; an x below the floats'
      // normal range gives an infinite bound, and the lane is settled exactly.
      const __m256d rho = _mm256_cvtps_pd(_mm_rcp_ps(_mm256_cvtpd_ps(x[j])));
      ej = _mm256_add_pd(_mm256_add_pd(scaled, slack), _mm256_mul_pd(_mm256_set1_pd(delta), rho));
      cj = _mm256_and_pd(known, cj);
      ej = _mm256_blendv_pd(inf, ej, known);
    }
    if (j == 0 && a == 0) {
      // Candidate 0 has probability 0: its cost is exact.
      const __m256d first = _mm256_castsi256_pd(_mm256_setr_epi64x(-1, 0, 0, 0));
      cj = _mm256_blendv_pd(cj, _mm256_add_pd(p, _mm256_set1_pd(kZeroProbabilityCost)), first);
      ej = _mm256_blendv_pd(ej, _mm256_setzero_pd(), first);
    }
    lo[j] = _mm256_sub_pd(cj, ej);
    const __m256d hi = _mm256_add_pd(cj, ej);
    upper = _mm256_min_pd(upper, hi);
    undecided |= ~unsigned(_mm_movemask_ps(_mm_cmp_ps(_mm256_cvtpd_ps(lo[j]), _mm256_cvtpd_ps(hi),
                                                      _CMP_EQ_OQ))) & 0xFu;
    c[j] = cj;
    err[j] = ej;
  }
  __m128d h2 = _mm_min_pd(_mm256_castpd256_pd128(upper), _mm256_extractf128_pd(upper, 1));
  h2 = _mm_min_sd(h2, _mm_unpackhi_pd(h2, h2));
  const double h = _mm_cvtsd_f64(h2);
  if (undecided == 0 && h < kInitialBestCost) {
    const __m256d vh = _mm256_set1_pd(h);
    std::uint64_t contenders = 0;
    for (int j = 0; j < kVectors; ++j)
      contenders |= std::uint64_t(_mm256_movemask_pd(_mm256_cmp_pd(lo[j], vh, _CMP_LE_OQ))) << (4 * j);
    if (contenders != 0 && (contenders & (contenders - 1)) == 0) {
      for (int j = 0; j < kVectors; ++j) _mm_storeu_ps(costs + 4 * j, _mm256_cvtpd_ps(c[j]));
      return __builtin_ctzll(contenders) * kCandidateStep;
    }
  }
  alignas(32) double cs[kCandidates], es[kCandidates];
  for (int j = 0; j < kVectors; ++j) {
    _mm256_store_pd(cs + 4 * j, c[j]);
    _mm256_store_pd(es + 4 * j, err[j]);
  }
  return settle_selection(a, b, costs, decay, cs, es);
}

}  // namespace
}  // namespace bytemix::kernels
