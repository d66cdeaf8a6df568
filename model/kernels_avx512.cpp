// AVX-512 kernels (AVX-512F only). Built with -mavx512f for this file alone
// and called only after the processor has been found to support it. No
// fused multiply-add is ever formed by the compiler: contraction is off for
// the whole build, and every product and sum below is rounded on its own as
// in the scalar reading. The one explicit fused multiply-subtract, in
// ln_many, computes the exact error of a product, which is the same double
// however it is obtained.
#include <immintrin.h>

#include <cstdint>
#include <initializer_list>

#include "model/kernel_common.h"
#include "model/kernels.h"

// GCC 12's AVX-512 headers start many conversions from an "undefined"
// register that its own -Wuninitialized then reports at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace bytemix::kernels {
namespace {

// The sum of m[0..255] rounded after every addition in index order, eight
// values at a time while the total stays in one binade (see binade_floor).
double ordered_total(const double* m) {
  const __m512d zero = _mm512_setzero_pd();
  double s = 0;
  int k = 0;
  while (k < 256) {
    if (s >= kSmallestNormal) {
      const double h = binade_floor(s);
      const double limit = 2 * h;
      const __m512d hv = _mm512_set1_pd(h);
      const __m512d half_u = _mm512_set1_pd(h * 0x1p-53);
      // The block sums depend on h only, not on s: the only dependent
      // chain is one addition per block.
      while (k + 8 <= 256) {
        const __m512d v = _mm512_loadu_pd(m + k);
        const __m512d r = _mm512_sub_pd(_mm512_add_pd(v, hv), hv);
        const __mmask8 ok = _mm512_cmp_pd_mask(v, zero, _CMP_GE_OQ) &
                            _mm512_cmp_pd_mask(_mm512_abs_pd(_mm512_sub_pd(v, r)), half_u,
                                               _CMP_NEQ_OQ);
        const double next = s + _mm512_reduce_add_pd(r);
        if (ok != 0xFF || !(next < limit)) break;
        s = next;
        k += 8;
      }
      // Into the next binade (or past a halfway value) one value at a time.
      for (int j = 0; j < 8 && k < 256; ++j) {
        s += m[k++];
        if (s >= limit) break;
      }
    } else {
      s += m[k++];
    }
  }
  return s;
}

double mix(const float* o1s, const float* o1f, const float* o0f, const float* o0s,
           const double coef[4], float* mixed) {
  const __m512d a1 = _mm512_set1_pd(coef[0]);
  const __m512d b1 = _mm512_set1_pd(coef[1]);
  const __m512d b0 = _mm512_set1_pd(coef[2]);
  const __m512d a0 = _mm512_set1_pd(coef[3]);
  alignas(64) double m[256];
  for (int k = 0; k < 256; k += 8) {
    const __m512d s1 = _mm512_cvtps_pd(_mm256_loadu_ps(o1s + k));
    const __m512d f1 = _mm512_cvtps_pd(_mm256_loadu_ps(o1f + k));
    const __m512d f0 = _mm512_cvtps_pd(_mm256_loadu_ps(o0f + k));
    const __m512d s0 = _mm512_cvtps_pd(_mm256_loadu_ps(o0s + k));
    __m512d v = _mm512_add_pd(_mm512_mul_pd(s1, a1), _mm512_mul_pd(f1, b1));
    v = _mm512_add_pd(v, _mm512_mul_pd(f0, b0));
    v = _mm512_add_pd(v, _mm512_mul_pd(s0, a0));
    _mm512_store_pd(m + k, v);
    _mm256_storeu_ps(mixed + k, _mm512_cvtpd_ps(v));
  }
  return ordered_total(m);
}

void frequencies(const float* mixed, double scale, FrequencyTable& table) {
  const __m512d sc = _mm512_set1_pd(scale);
  const __m512d shift = _mm512_set1_pd(4503599627370496.0);  // 2^52, as round_to_nearest_even
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i zero = _mm512_setzero_si512();
  const __m512i last = _mm512_set1_epi32(15);
  __m512i carry = zero;
  for (int k = 0; k < 256; k += 16) {
    const __m512d lo = _mm512_mul_pd(sc, _mm512_cvtps_pd(_mm256_loadu_ps(mixed + k)));
    const __m512d hi = _mm512_mul_pd(sc, _mm512_cvtps_pd(_mm256_loadu_ps(mixed + k + 8)));
    const __m256i ilo = _mm512_cvttpd_epi32(_mm512_sub_pd(_mm512_add_pd(lo, shift), shift));
    const __m256i ihi = _mm512_cvttpd_epi32(_mm512_sub_pd(_mm512_add_pd(hi, shift), shift));
    __m512i f = _mm512_inserti64x4(_mm512_castsi256_si512(ilo), ihi, 1);
    f = _mm512_max_epi32(f, one);
    _mm512_storeu_si512(table.freq + k, f);
    // Inclusive running sums within the vector, then shifted to exclusive.
    __m512i x = _mm512_add_epi32(f, _mm512_alignr_epi32(f, zero, 15));
    x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 14));
    x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 12));
    x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 8));
    _mm512_storeu_si512(table.cum + k, _mm512_add_epi32(carry, _mm512_sub_epi32(x, f)));
    carry = _mm512_add_epi32(carry, _mm512_permutexvar_epi32(last, x));
  }
  const auto total = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(carry)));
  table.cum[256] = total;
  table.total = total;
}

inline __m512d widen_low(__m512 v) { return _mm512_cvtps_pd(_mm512_castps512_ps256(v)); }
inline __m512d widen_high(__m512 v) {
  return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
}

double decay_row(float* row, float decay) {
  const __m512 floor = _mm512_set1_ps(kDecayFloorF);
  const __m512 k = _mm512_set1_ps(decay);
  __m512d acc0 = _mm512_setzero_pd(), acc1 = _mm512_setzero_pd();
  for (int i = 0; i < 256; i += 16) {
    __m512 v = _mm512_loadu_ps(row + i);
    const __mmask16 above = _mm512_cmp_ps_mask(v, floor, _CMP_GT_OQ);
    v = _mm512_mask_mul_ps(v, above, v, k);
    _mm512_storeu_ps(row + i, v);
    acc0 = _mm512_add_pd(acc0, widen_low(v));
    acc1 = _mm512_add_pd(acc1, widen_high(v));
  }
  return _mm512_reduce_add_pd(_mm512_add_pd(acc0, acc1));
}

void decay(float* o1s, float* o1f, float* o0s, float* o0f, double sums[4]) {
  sums[0] = decay_row(o1s, kSlowDecayF);
  sums[1] = decay_row(o1f, kFastDecayF);
  sums[2] = decay_row(o0s, kSlowDecayF);
  sums[3] = decay_row(o0f, kFastDecayF);
}

// model/ln_lanes.h in eight lanes: the same operations as ln_lane(), with
// the exact square's error term taken from a fused multiply-subtract (exact,
// so equal to Dekker's product there) and the table read by gathers. One
// evaluation is a long chain of dependent steps, so kBlock vectors go
// through each step together: the processor then has independent work
// while a step waits for its inputs.
constexpr int kBlock = 8;

inline __m512d abs_pd(__m512d v) {
  return _mm512_castsi512_pd(
      _mm512_and_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7fffffffffffffff)));
}

// kBlock * 8 logarithms of x into y; returns the lanes to redo by the scalar
// ln, one bit per value.
inline std::uint64_t ln_block(const double* x, double* y) {
  using namespace ln_detail;
  constexpr int B = kBlock;
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512i one_bits = _mm512_set1_epi64(std::int64_t(kOneBits));
  const __m512d half = _mm512_set1_pd(-0.5);
  __m512d z[B], ep[B], l_hi[B], l_mid[B];
  __mmask8 in_domain[B];
  for (int j = 0; j < B; ++j) {
    __m512d vx = _mm512_loadu_pd(x + 8 * j);
    in_domain[j] = _mm512_cmp_pd_mask(vx, _mm512_set1_pd(0x1p-1022), _CMP_GE_OQ) &
                   _mm512_cmp_pd_mask(vx, _mm512_set1_pd(0x1.fffffffffffffp+1023), _CMP_LE_OQ);
    // Lanes outside the domain compute ln 1 and are redone by the scalar ln.
    vx = _mm512_mask_blend_pd(in_domain[j], one, vx);
    const __m512i u = _mm512_castpd_si512(vx);
    const __m512i frac = _mm512_and_si512(u, _mm512_set1_epi64(std::int64_t(kFracMask)));
    const __m512i i =
        _mm512_srli_epi64(_mm512_add_epi64(frac, _mm512_set1_epi64(std::int64_t{1} << 44)), 45);
    const __mmask8 upper = _mm512_cmp_epi64_mask(i, _mm512_set1_epi64(kSplitIndex), _MM_CMPINT_NLT);
    __m512i biased = _mm512_srli_epi64(u, 52);
    biased = _mm512_mask_add_epi64(biased, upper, biased, _mm512_set1_epi64(1));
    ep[j] = _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(
                              biased, _mm512_set1_epi64(std::int64_t(kExponentMagicBits)))),
                          _mm512_set1_pd(kExponentMagic));
    const __m512i entry = _mm512_slli_epi64(i, 2);  // four doubles per TableEntry
    const __m512d r = _mm512_i64gather_pd(entry, &kTable[0].r, 8);
    l_hi[j] = _mm512_i64gather_pd(entry, &kTable[0].l_hi, 8);
    l_mid[j] = _mm512_i64gather_pd(entry, &kTable[0].l_mid, 8);
    const __m512d m = _mm512_castsi512_pd(_mm512_or_si512(frac, one_bits));
    const __m512d mh = _mm512_castsi512_pd(_mm512_or_si512(
        _mm512_and_si512(frac, _mm512_set1_epi64(std::int64_t(kLowByteClear))), one_bits));
    z[j] = _mm512_add_pd(_mm512_sub_pd(_mm512_mul_pd(mh, r), one),
                         _mm512_mul_pd(_mm512_sub_pd(m, mh), r));
  }
  __m512d sh[B], sl[B], q[B], q3[B];
  for (int j = 0; j < B; ++j) {
    sh[j] = _mm512_mul_pd(z[j], z[j]);
    sl[j] = _mm512_fmsub_pd(z[j], z[j], sh[j]);  // exact error of the product
    q[j] = _mm512_set1_pd(kLaneC9);
  }
  for (double c : {kLaneC8, kLaneC7, kLaneC6, kLaneC5, kLaneC4, kThirdHi}) {
    for (int j = 0; j < B; ++j) q[j] = _mm512_add_pd(_mm512_set1_pd(c), _mm512_mul_pd(z[j], q[j]));
  }
  for (int j = 0; j < B; ++j) q3[j] = _mm512_mul_pd(_mm512_mul_pd(sh[j], z[j]), q[j]);
  std::uint64_t fails = 0;
  for (int j = 0; j < B; ++j) {
    // two_sum(ep ln2_hi, l_hi)
    const __m512d a = _mm512_mul_pd(ep[j], _mm512_set1_pd(kLn2Hi));
    const __m512d kh = _mm512_add_pd(a, l_hi[j]);
    const __m512d bb = _mm512_sub_pd(kh, a);
    const __m512d kt =
        _mm512_add_pd(_mm512_sub_pd(a, _mm512_sub_pd(kh, bb)), _mm512_sub_pd(l_hi[j], bb));
    const __m512d kl =
        _mm512_add_pd(kt, _mm512_add_pd(l_mid[j], _mm512_mul_pd(ep[j], _mm512_set1_pd(kLn2Lo))));
    // fast_two_sum(kh, z), fast_two_sum(h1, -sh/2)
    const __m512d h1 = _mm512_add_pd(kh, z[j]);
    const __m512d l1 = _mm512_sub_pd(z[j], _mm512_sub_pd(h1, kh));
    const __m512d w = _mm512_mul_pd(half, sh[j]);
    const __m512d h2 = _mm512_add_pd(h1, w);
    const __m512d l2 = _mm512_sub_pd(w, _mm512_sub_pd(h2, h1));
    const __m512d low = _mm512_add_pd(
        _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(kl, l1), l2), _mm512_mul_pd(half, sl[j])),
        q3[j]);
    const __m512d h = _mm512_add_pd(h2, low);
    const __m512d l = _mm512_sub_pd(low, _mm512_sub_pd(h, h2));

    const __m512d err = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(kLaneRelErr), abs_pd(h)),
                                      _mm512_mul_pd(_mm512_set1_pd(kLanePolyErr), abs_pd(q3[j])));
    const __m512d lo = _mm512_add_pd(h, _mm512_sub_pd(l, err));
    const __m512d hi = _mm512_add_pd(h, _mm512_add_pd(l, err));
    const __mmask8 ok = _mm512_cmp_pd_mask(lo, hi, _CMP_EQ_OQ) & in_domain[j];
    _mm512_storeu_pd(y + 8 * j, lo);
    fails |= std::uint64_t(~unsigned{ok} & 0xFFu) << (8 * j);
  }
  return fails;
}

int ln_many(const double* x, double* y, int n) {
  int fallbacks = 0;
  int k = 0;
  for (; k + 8 * kBlock <= n; k += 8 * kBlock) {
    if (const std::uint64_t fails = ln_block(x + k, y + k)) fallbacks += ln_fallbacks(x + k, y + k, fails);
  }
  // A tail shorter than a block: padded with ones, which never fail.
  if (k < n) {
    alignas(64) double xt[8 * kBlock], yt[8 * kBlock];
    for (int t = 0; t < 8 * kBlock; ++t) xt[t] = k + t < n ? x[k + t] : 1.0;
    const std::uint64_t fails = ln_block(xt, yt);
    if (fails != 0) fallbacks += ln_fallbacks(xt, yt, fails);
    for (int t = 0; k + t < n; ++t) y[k + t] = yt[t];
  }
  return fallbacks;
}

double select_weight(float a, float b, float* costs, float decay) {
  constexpr int kVectors = kCandidates / 8;
  const __m512d d = _mm512_set1_pd(decay);
  __m512d c[kVectors];
  if (a == 0 && b == 0) {
    for (int j = 0; j < kVectors; ++j)
      c[j] = _mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(costs + 8 * j)), d);
  } else {
    alignas(64) double x[kCandidates], y[kCandidates];
    accumulate_candidates(a, b, x);
    candidate_logs(ln_many, x, y);
    for (int j = 0; j < kVectors; ++j)
      c[j] = _mm512_sub_pd(_mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(costs + 8 * j)), d),
                           _mm512_load_pd(y + 8 * j));
  }
  __m512d lowest = c[0];
  for (int j = 0; j < kVectors; ++j) {
    _mm256_storeu_ps(costs + 8 * j, _mm512_cvtpd_ps(c[j]));
    lowest = _mm512_min_pd(lowest, c[j]);
  }
  // The first index holding the smallest cost; none if no cost is below
  // the initial best (then the index stays 0).
  const double best = _mm512_reduce_min_pd(lowest);
  if (!(best < kInitialBestCost)) return 0;
  const __m512d target = _mm512_set1_pd(best);
  std::uint64_t hits = 0;
  for (int j = 0; j < kVectors; ++j)
    hits |= std::uint64_t{_mm512_cmp_pd_mask(c[j], target, _CMP_EQ_OQ)} << (8 * j);
  return __builtin_ctzll(hits) * kCandidateStep;
}

}  // namespace

const Table avx512_table = {Isa::avx512, "avx512", mix, frequencies, decay, select_weight,
                              ln_many};

}  // namespace bytemix::kernels
