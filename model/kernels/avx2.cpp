// AVX2 kernels. Built with -mavx2 -mfma for this file alone and called only
// after the processor has been found to support both. Contraction is off
// for the whole build, so every product and sum of the model's own
// arithmetic below is rounded on its own as in the scalar reading; the only
// fused operations are the explicit ones of the cost estimates, which only
// tighten their proven bound.
#include <immintrin.h>

#include <cstdint>
#include <initializer_list>

#include "model/kernels/kernel_common.h"
#include "model/kernels/kernels.h"
#include "model/ln/ln_estimate.h"
#include "model/kernels/selection_settle.h"

namespace bytemix::kernels {
namespace {

inline __m256d abs_pd(__m256d v) {
  return _mm256_and_pd(v, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff)));
}

double mix(const float* o1s, const float* o1f, const float* o0f, const float* o0s,
           const double coef[4], float* mixed, double* m, std::uint16_t occupied, std::uint16_t equal,
           OrderedTotal& carry) {
  const __m256d a1 = _mm256_set1_pd(coef[0]);
  const __m256d b1 = _mm256_set1_pd(coef[1]);
  const __m256d b0 = _mm256_set1_pd(coef[2]);
  const __m256d a0 = _mm256_set1_pd(coef[3]);
  // Four partial sums: the estimate of the total needs no particular order.
  __m256d part[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(),
                     _mm256_setzero_pd()};
  for (int k = 0; k < 256; k += kOccupancyBlock) {
    carry.add_block();
    if (equal >> (k / kOccupancyBlock) & 1) {
      // Sixteen equal values, one computed (see Table::mix).
      const __m256d v =
          _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(o0f[k]), b0), _mm256_mul_pd(_mm256_set1_pd(o0s[k]), a0));
      const __m128 f = _mm256_cvtpd_ps(v);
      for (int i = 0; i < kOccupancyBlock; i += 4) {
        _mm256_storeu_pd(m + k + i, v);
        _mm_storeu_ps(mixed + k + i, f);
        part[i / 4] = _mm256_add_pd(part[i / 4], v);
      }
      continue;
    }
    const bool full = occupied >> (k / kOccupancyBlock) & 1;
    for (int i = 0; i < kOccupancyBlock; i += 4) {
      const __m256d f0 = _mm256_cvtps_pd(_mm_loadu_ps(o0f + k + i));
      const __m256d s0 = _mm256_cvtps_pd(_mm_loadu_ps(o0s + k + i));
      __m256d v = _mm256_mul_pd(f0, b0);
      if (full) {
        const __m256d s1 = _mm256_cvtps_pd(_mm_loadu_ps(o1s + k + i));
        const __m256d f1 = _mm256_cvtps_pd(_mm_loadu_ps(o1f + k + i));
        v = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(s1, a1), _mm256_mul_pd(f1, b1)), v);
      }
      v = _mm256_add_pd(v, _mm256_mul_pd(s0, a0));
      _mm256_storeu_pd(m + k + i, v);
      _mm_storeu_ps(mixed + k + i, _mm256_cvtpd_ps(v));
      part[i / 4] = _mm256_add_pd(part[i / 4], v);
    }
  }
  const __m256d s = _mm256_add_pd(_mm256_add_pd(part[0], part[1]), _mm256_add_pd(part[2], part[3]));
  const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
  return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

// total and block_cum from freq: the sixteen blocks' sums four at a time
// by horizontal additions, then their running sums.
void block_sums(FrequencyTable& table) {
  constexpr int B = FrequencyTable::kBlock;
  auto block = [&table](int b) {
    const auto* f = reinterpret_cast<const __m256i*>(table.freq + B * b);
    return _mm256_add_epi32(_mm256_loadu_si256(f), _mm256_loadu_si256(f + 1));
  };
  std::uint32_t cum = 0;
  for (int b = 0; b < 256 / B; b += 4) {
    const __m256i pairs = _mm256_hadd_epi32(_mm256_hadd_epi32(block(b), block(b + 1)),
                                            _mm256_hadd_epi32(block(b + 2), block(b + 3)));
    alignas(16) std::uint32_t sums[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(sums),
                    _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1)));
    for (int i = 0; i < 4; ++i) {
      table.block_cum[b + i] = cum;
      cum += sums[i];
    }
  }
  table.block_cum[256 / B] = cum;
  table.total = cum;
}

// The end of frequencies(): the table's block sums, and the lanes marked
// near a half for the caller.
bool finish_frequencies(const std::uint64_t near[4], FrequencyTable& table, std::uint64_t undecided[4]) {
  block_sums(table);
  if ((near[0] | near[1] | near[2] | near[3]) == 0) return true;
  for (int w = 0; w < 4; ++w) undecided[w] = near[w];
  return false;
}

// frequencies() for the scale kUnitScale = 2^23 in eight float lanes (see
// the AVX-512 kernel): the products are exact in float, and so are their
// rounding and their distance from it below 2^24. near_half = 0.5 - margin,
// exact in float. Returns false without writing anything if some product is
// not below 2^30.
bool frequencies_at_unit_scale(const float* mixed, float near_half, FrequencyTable& table,
                               std::uint64_t undecided[4]) {
  const __m256 unit = _mm256_set1_ps(static_cast<float>(kUnitScale));
  const __m256 limit = _mm256_set1_ps(0x1p30f);
  __m256 in_range = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  for (int k = 0; k < 256; k += 8)
    in_range = _mm256_and_ps(in_range, _mm256_cmp_ps(_mm256_mul_ps(_mm256_loadu_ps(mixed + k), unit), limit,
                                                     _CMP_LT_OQ));
  if (_mm256_movemask_ps(in_range) != 0xFF) return false;
  const __m256 vnear = _mm256_set1_ps(near_half);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256i one = _mm256_set1_epi32(1);
  std::uint64_t near[4] = {};
  for (int k = 0; k < 256; k += 8) {
    const __m256 y = _mm256_mul_ps(_mm256_loadu_ps(mixed + k), unit);
    const __m256 rounded = _mm256_round_ps(y, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256 distance = _mm256_andnot_ps(sign, _mm256_sub_ps(y, rounded));
    near[k >> 6] |= std::uint64_t(unsigned(_mm256_movemask_ps(_mm256_cmp_ps(distance, vnear, _CMP_GT_OQ))))
                    << (k & 63);
    const __m256i f = _mm256_max_epi32(_mm256_cvttps_epi32(rounded), one);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(table.freq + k), f);
  }
  return finish_frequencies(near, table, undecided);
}

bool frequencies(const float* mixed, double scale, double margin, FrequencyTable& table,
                 std::uint64_t undecided[4]) {
  const auto near_half_f = static_cast<float>(0.5 - margin);
  if (scale == kUnitScale && near_half_f == 0.5 - margin) {
    // A false return with some lane marked is the answer; with none, the
    // products were out of the float lanes' range.
    for (int w = 0; w < 4; ++w) undecided[w] = 0;
    if (frequencies_at_unit_scale(mixed, near_half_f, table, undecided)) return true;
    if ((undecided[0] | undecided[1] | undecided[2] | undecided[3]) != 0) return false;
  }
  const __m256d sc = _mm256_set1_pd(scale);
  const __m256d near_half = _mm256_set1_pd(0.5 - margin);
  const __m256i one = _mm256_set1_epi32(1);
  std::uint64_t near[4] = {};
  for (int k = 0; k < 256; k += 8) {
    const __m256d lo = _mm256_mul_pd(sc, _mm256_cvtps_pd(_mm_loadu_ps(mixed + k)));
    const __m256d hi = _mm256_mul_pd(sc, _mm256_cvtps_pd(_mm_loadu_ps(mixed + k + 4)));
    // Rounded to nearest, ties to even, whatever the rounding mode.
    constexpr int kNearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
    const __m256d rlo = _mm256_round_pd(lo, kNearest);
    const __m256d rhi = _mm256_round_pd(hi, kNearest);
    // y - round(y) is exact (see the portable kernel).
    const unsigned bits =
        unsigned(_mm256_movemask_pd(_mm256_cmp_pd(abs_pd(_mm256_sub_pd(lo, rlo)), near_half, _CMP_GT_OQ))) |
        unsigned(_mm256_movemask_pd(_mm256_cmp_pd(abs_pd(_mm256_sub_pd(hi, rhi)), near_half, _CMP_GT_OQ)))
            << 4;
    near[k >> 6] |= std::uint64_t{bits} << (k & 63);
    __m256i f = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm256_cvttpd_epi32(rlo)),
                                        _mm256_cvttpd_epi32(rhi), 1);
    f = _mm256_max_epi32(f, one);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(table.freq + k), f);
  }
  return finish_frequencies(near, table, undecided);
}

// Only the blocks of occupied are visited. Every fourth block, counted
// over the four rows in turn, also adds a block of carry.
double decay_row(float* row, float decay, std::uint16_t occupied, OrderedTotal& carry, unsigned& turn) {
  const __m256 floor = _mm256_set1_ps(kDecayFloorF);
  const __m256 k = _mm256_set1_ps(decay);
  __m256d acc0 = _mm256_setzero_pd(), acc1 = _mm256_setzero_pd();
  for (unsigned bits = occupied; bits != 0; bits &= bits - 1) {
    const int block = __builtin_ctz(bits) * kOccupancyBlock;
    if (++turn % 4 == 0) carry.add_block();
    for (int i = block; i < block + kOccupancyBlock; i += 8) {
      __m256 v = _mm256_loadu_ps(row + i);
      const __m256 above = _mm256_cmp_ps(v, floor, _CMP_GT_OQ);
      v = _mm256_blendv_ps(v, _mm256_mul_ps(v, k), above);
      _mm256_storeu_ps(row + i, v);
      acc0 = _mm256_add_pd(acc0, _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
      acc1 = _mm256_add_pd(acc1, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
    }
  }
  const __m256d s = _mm256_add_pd(acc0, acc1);
  const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
  return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

void decay(float* o1s, float* o1f, float* o0s, float* o0f, double sums[4], std::uint16_t occupied,
           std::uint16_t order0_live, OrderedTotal& carry) {
  unsigned turn = 0;
  sums[2] = decay_row(o0s, kSlowDecayF, order0_live, carry, turn);
  sums[3] = decay_row(o0f, kFastDecayF, order0_live, carry, turn);
  sums[0] = decay_row(o1s, kSlowDecayF, occupied, carry, turn);
  sums[1] = decay_row(o1f, kFastDecayF, occupied, carry, turn);
}

// ln_estimate (model/ln/ln_estimate.h) in four lanes for kCount vectors at a
// time, step by step over all of them so that the processor always has
// independent work: the exponent by the usual bit tricks, the sixteenths'
// table by gathers, fused operations where they help (each only lowers the
// error).
template <int kCount>
inline void ln_estimate_lanes(const __m256d* x, __m256d* y) {
  using namespace ln_estimate_detail;
  const __m256d one = _mm256_set1_pd(1.0);
  __m256d z[kCount], q[kCount], head[kCount];
  for (int j = 0; j < kCount; ++j) {
    const __m256i bits = _mm256_castpd_si256(x[j]);
    const __m256d e = _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(
            _mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(std::int64_t(kExponentMagicBits)))),
        _mm256_set1_pd(kExponentMagic));
    // Two doubles per table entry: index 2j reads r, 2j + 1 reads t.
    const __m256i j2 = _mm256_slli_epi64(
        _mm256_and_si256(_mm256_srli_epi64(bits, kIndexShift), _mm256_set1_epi64x(15)), 1);
    const __m256d r = _mm256_i64gather_pd(&kSixteenths[0].r, j2, 8);
    const __m256d t = _mm256_i64gather_pd(&kSixteenths[0].t, j2, 8);
    const __m256d m = _mm256_castsi256_pd(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(std::int64_t(kFractionMask))),
                        _mm256_set1_epi64x(std::int64_t(kOneBits))));
    z[j] = _mm256_fmsub_pd(m, r, one);
    head[j] = _mm256_add_pd(_mm256_mul_pd(e, _mm256_set1_pd(kLn2Hi)), t);
    y[j] = _mm256_mul_pd(e, _mm256_set1_pd(kLn2Lo));
    q[j] = _mm256_set1_pd(kQ9);
  }
  for (double k : {kQ8, kQ7, kQ6, kQ5, kQ4, kQ3, kQ2}) {
    for (int j = 0; j < kCount; ++j) {
      q[j] = _mm256_fmadd_pd(z[j], q[j], _mm256_set1_pd(k));
    }
  }
  for (int j = 0; j < kCount; ++j) {
    __m256d tail;
    tail = _mm256_fmadd_pd(_mm256_mul_pd(z[j], z[j]), q[j], y[j]);
    y[j] = _mm256_add_pd(head[j], _mm256_add_pd(z[j], tail));
  }
}

// Lanes outside the estimate's domain give meaningless values.
void ln_estimate_many(const double* x, double* y, int n) {
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m256d v = _mm256_loadu_pd(x + k);
    __m256d l;
    ln_estimate_lanes<1>(&v, &l);
    _mm256_storeu_pd(y + k, l);
  }
  for (; k < n; ++k) y[k] = ln_estimate(x[k]);
}

// Estimated costs with error bounds (model/kernels/selection_settle.h), settled here
// in registers when every float is decided and one candidate alone can be
// the cheapest, else by settle_selection.
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
  for (int j = 0; j < kVectors; j += kBatch) ln_estimate_lanes<kBatch>(x + j, l + j);
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

const Table avx2_table = {"avx2", false, mix, frequencies, block_sums, decay, select_weight,
                          ln_estimate_many};

}  // namespace bytemix::kernels
