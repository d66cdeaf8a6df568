// AVX-512 kernels (AVX-512F only). Built with -mavx512f for this file alone
// and called only after the processor has been found to support it. No
// fused multiply-add is ever formed by the compiler: contraction is off for
// the whole build, and every product and sum of the model's own arithmetic
// below is rounded on its own as in the scalar reading. The explicit fused
// operations are in the cost estimates, whose proven bound they only
// tighten.
#include <immintrin.h>

#include <cstdint>
#include <initializer_list>

#include "model/kernels/kernel_common.h"
#include "model/kernels/kernels.h"
#include "model/ln/ln_estimate.h"
#include "model/kernels/selection_settle.h"

// GCC 12's AVX-512 headers start many conversions from an "undefined"
// register that its own -Wuninitialized then reports at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace bytemix::kernels {
namespace {

double mix(const float* o1s, const float* o1f, const float* o0f, const float* o0s,
           const double coef[4], float* mixed, double* m, std::uint16_t occupied, std::uint16_t equal,
           OrderedTotal& carry) {
  const __m512d a1 = _mm512_set1_pd(coef[0]);
  const __m512d b1 = _mm512_set1_pd(coef[1]);
  const __m512d b0 = _mm512_set1_pd(coef[2]);
  const __m512d a0 = _mm512_set1_pd(coef[3]);
  // Two partial sums: the estimate of the total needs no particular order.
  __m512d part[2] = {_mm512_setzero_pd(), _mm512_setzero_pd()};
  for (int k = 0; k < 256; k += kOccupancyBlock) {
    carry.add_block();
    if (equal >> (k / kOccupancyBlock) & 1) {
      // Sixteen equal values, one computed (see Table::mix).
      const __m512d v =
          _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(o0f[k]), b0), _mm512_mul_pd(_mm512_set1_pd(o0s[k]), a0));
      _mm512_storeu_pd(m + k, v);
      _mm512_storeu_pd(m + k + 8, v);
      const __m256 f = _mm512_cvtpd_ps(v);
      _mm256_storeu_ps(mixed + k, f);
      _mm256_storeu_ps(mixed + k + 8, f);
      part[0] = _mm512_add_pd(part[0], v);
      part[1] = _mm512_add_pd(part[1], v);
      continue;
    }
    const bool full = occupied >> (k / kOccupancyBlock) & 1;
    for (int i = 0; i < kOccupancyBlock; i += 8) {
      const __m512d f0 = _mm512_cvtps_pd(_mm256_loadu_ps(o0f + k + i));
      const __m512d s0 = _mm512_cvtps_pd(_mm256_loadu_ps(o0s + k + i));
      __m512d v = _mm512_mul_pd(f0, b0);
      if (full) {
        const __m512d s1 = _mm512_cvtps_pd(_mm256_loadu_ps(o1s + k + i));
        const __m512d f1 = _mm512_cvtps_pd(_mm256_loadu_ps(o1f + k + i));
        v = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(s1, a1), _mm512_mul_pd(f1, b1)), v);
      }
      v = _mm512_add_pd(v, _mm512_mul_pd(s0, a0));
      _mm512_storeu_pd(m + k + i, v);
      _mm256_storeu_ps(mixed + k + i, _mm512_cvtpd_ps(v));
      part[i / 8] = _mm512_add_pd(part[i / 8], v);
    }
  }
  return _mm512_reduce_add_pd(_mm512_add_pd(part[0], part[1]));
}

// Inclusive running sums of the sixteen lanes.
inline __m512i running_sums16(__m512i f) {
  const __m512i zero = _mm512_setzero_si512();
  __m512i x = _mm512_add_epi32(f, _mm512_alignr_epi32(f, zero, 15));
  x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 14));
  x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 12));
  return _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 8));
}

// Lane i of the result: the sum of the sixteen lanes of v[i]. Each level
// adds neighbouring lanes of two vectors into one, keeping the blocks in order.
inline __m512i block_totals(__m512i v[16]) {
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
  for (int n = 16; n > 1; n /= 2)
    for (int i = 0; i < n / 2; ++i)
      v[i] = _mm512_add_epi32(_mm512_permutex2var_epi32(v[2 * i], even, v[2 * i + 1]),
                              _mm512_permutex2var_epi32(v[2 * i], odd, v[2 * i + 1]));
  return v[0];
}

// Frequencies stored sixteen at a time, one block of the table each, and
// the lanes marked near a half; finish() completes the table (total and
// block_cum) and hands the marked lanes to the caller.
class FrequencyWriter {
 public:
  explicit FrequencyWriter(FrequencyTable& table) : table_(table) {}

  void put(int k, __m512i f, unsigned near16) {
    _mm512_storeu_si512(table_.freq + k, f);
    blocks_[k / 16] = f;
    near_[k >> 6] |= std::uint64_t{near16} << (k & 63);
  }

  bool finish(std::uint64_t undecided[4]) {
    const __m512i cum = running_sums16(block_totals(blocks_));
    table_.block_cum[0] = 0;
    _mm512_storeu_si512(table_.block_cum + 1, cum);
    table_.total = table_.block_cum[16];
    if ((near_[0] | near_[1] | near_[2] | near_[3]) == 0) return true;
    for (int w = 0; w < 4; ++w) undecided[w] = near_[w];
    return false;
  }

 private:
  FrequencyTable& table_;
  __m512i blocks_[16];
  std::uint64_t near_[4] = {};
};

void block_sums(FrequencyTable& table) {
  FrequencyWriter out(table);
  for (int k = 0; k < 256; k += 16) out.put(k, _mm512_loadu_si512(table.freq + k), 0);
  std::uint64_t none[4];
  out.finish(none);
}

// frequencies() for the scale 2^23, sixteen lanes at a time in floats: the
// product of a float by 2^23 is exact in float, its rounding to an integer
// (by the conversion, in nearest-even) is the double product's, and so is
// its distance y - round(y), exact in float for y below 2^24. near_half is
// 0.5 - margin, exact in float. Returns false without writing anything if
// some product is not below 2^30 (no mixed value of the model is).
bool frequencies_at_unit_scale(const float* mixed, float near_half, FrequencyTable& table,
                               std::uint64_t undecided[4]) {
  const __m512 unit = _mm512_set1_ps(static_cast<float>(kUnitScale));
  const __m512 limit = _mm512_set1_ps(0x1p30f);
  __mmask16 in_range = 0xFFFF;
  for (int k = 0; k < 256; k += 16)
    in_range &= _mm512_cmp_ps_mask(_mm512_mul_ps(_mm512_loadu_ps(mixed + k), unit), limit, _CMP_LT_OQ);
  if (in_range != 0xFFFF) return false;
  const __m512 vnear = _mm512_set1_ps(near_half);
  const __m512i one = _mm512_set1_epi32(1);
  FrequencyWriter out(table);
  for (int k = 0; k < 256; k += 16) {
    const __m512 y = _mm512_mul_ps(_mm512_loadu_ps(mixed + k), unit);
    const __m512i rounded = _mm512_cvt_roundps_epi32(y, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m512 distance = _mm512_abs_ps(_mm512_sub_ps(y, _mm512_cvtepi32_ps(rounded)));
    out.put(k, _mm512_max_epi32(rounded, one), _mm512_cmp_ps_mask(distance, vnear, _CMP_GT_OQ));
  }
  return out.finish(undecided);
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
  const __m512d sc = _mm512_set1_pd(scale);
  // Adding 2^52 rounds a product below 2^31 to an integer in the current
  // (nearest) mode, as round_to_nearest_even; the integer is then the low
  // half of the sum's bits, gathered from two vectors by one permutation.
  const __m512d shift = _mm512_set1_pd(4503599627370496.0);
  const __m512i low_halves = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512d near_half = _mm512_set1_pd(0.5 - margin);
  const __m512i one = _mm512_set1_epi32(1);
  FrequencyWriter out(table);
  for (int k = 0; k < 256; k += 16) {
    const __m512d lo = _mm512_mul_pd(sc, _mm512_cvtps_pd(_mm256_loadu_ps(mixed + k)));
    const __m512d hi = _mm512_mul_pd(sc, _mm512_cvtps_pd(_mm256_loadu_ps(mixed + k + 8)));
    const __m512d slo = _mm512_add_pd(lo, shift), shi = _mm512_add_pd(hi, shift);
    // y - round(y) is exact (see the portable kernel).
    const unsigned bits =
        unsigned{_mm512_cmp_pd_mask(_mm512_abs_pd(_mm512_sub_pd(lo, _mm512_sub_pd(slo, shift))),
                                    near_half, _CMP_GT_OQ)} |
        unsigned{_mm512_cmp_pd_mask(_mm512_abs_pd(_mm512_sub_pd(hi, _mm512_sub_pd(shi, shift))),
                                    near_half, _CMP_GT_OQ)}
            << 8;
    const __m512i f = _mm512_permutex2var_epi32(_mm512_castpd_si512(slo), low_halves, _mm512_castpd_si512(shi));
    out.put(k, _mm512_max_epi32(f, one), bits);
  }
  return out.finish(undecided);
}

inline __m512d widen_low(__m512 v) { return _mm512_cvtps_pd(_mm512_castps512_ps256(v)); }
inline __m512d widen_high(__m512 v) {
  return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
}

// The rows' sums are exact in any order: two partial sums per row keep the
// additions' latency out of the way. Only the blocks of occupied are
// visited in the order-1 rows.
inline void decay_block(float* row, __m512 factor, __m512d acc[2]) {
  __m512 v = _mm512_loadu_ps(row);
  const __mmask16 above = _mm512_cmp_ps_mask(v, _mm512_set1_ps(kDecayFloorF), _CMP_GT_OQ);
  v = _mm512_mask_mul_ps(v, above, v, factor);
  _mm512_storeu_ps(row, v);
  acc[0] = _mm512_add_pd(acc[0], widen_low(v));
  acc[1] = _mm512_add_pd(acc[1], widen_high(v));
}

// The order-0 rows first: their sums set the next prediction's order-0
// coefficients, while the order-1 row's are needed only when its context
// comes again (pic and book1 1 to 4 % faster than the other way round).
// One block of carry every fourth pair of blocks: a block of the chain is
// sixteen dependent additions, which outlast several pairs of the decay's
// own, and a denser share would fill the processor's window with the chain
// (pic, whose every block is live, compressed about 3 % faster than with
// one block every second pair).
void decay(float* o1s, float* o1f, float* o0s, float* o0f, double sums[4], std::uint16_t occupied,
           std::uint16_t order0_live, OrderedTotal& carry) {
  const __m512 slow = _mm512_set1_ps(kSlowDecayF), fast = _mm512_set1_ps(kFastDecayF);
  __m512d acc[4][2];
  for (auto& row : acc) row[0] = row[1] = _mm512_setzero_pd();
  unsigned turn = 0;
  for (unsigned bits = order0_live; bits != 0; bits &= bits - 1) {
    const int i = __builtin_ctz(bits) * kOccupancyBlock;
    if ((++turn & 3) == 0) carry.add_block();
    decay_block(o0s + i, slow, acc[2]);
    decay_block(o0f + i, fast, acc[3]);
  }
  for (int r = 2; r < 4; ++r) sums[r] = _mm512_reduce_add_pd(_mm512_add_pd(acc[r][0], acc[r][1]));
  for (unsigned bits = occupied; bits != 0; bits &= bits - 1) {
    const int i = __builtin_ctz(bits) * kOccupancyBlock;
    if ((++turn & 3) == 0) carry.add_block();
    decay_block(o1s + i, slow, acc[0]);
    decay_block(o1f + i, fast, acc[1]);
  }
  for (int r = 0; r < 2; ++r) sums[r] = _mm512_reduce_add_pd(_mm512_add_pd(acc[r][0], acc[r][1]));
}

// ln_estimate (model/ln/ln_estimate.h) in eight lanes for kCount vectors at a
// time, step by step over all of them so that the processor always has
// independent work: exponent and fraction by getexp and getmant, the
// sixteenths' table from registers, fused operations where they help (each
// only lowers the error).
template <int kCount>
inline void ln_estimate_lanes(const __m512d* x, __m512d* y) {
  using namespace ln_estimate_detail;
  const auto& s = kSixteenths;
  const __m512d r_lo = _mm512_setr_pd(s[0].r, s[1].r, s[2].r, s[3].r, s[4].r, s[5].r, s[6].r, s[7].r);
  const __m512d r_hi =
      _mm512_setr_pd(s[8].r, s[9].r, s[10].r, s[11].r, s[12].r, s[13].r, s[14].r, s[15].r);
  const __m512d t_lo = _mm512_setr_pd(s[0].t, s[1].t, s[2].t, s[3].t, s[4].t, s[5].t, s[6].t, s[7].t);
  const __m512d t_hi =
      _mm512_setr_pd(s[8].t, s[9].t, s[10].t, s[11].t, s[12].t, s[13].t, s[14].t, s[15].t);
  const __m512d one = _mm512_set1_pd(1.0);
  __m512d z[kCount], q[kCount], head[kCount];
  for (int j = 0; j < kCount; ++j) {
    const __m512d e = _mm512_getexp_pd(x[j]);
    const __m512d m = _mm512_getmant_pd(x[j], _MM_MANT_NORM_1_2, _MM_MANT_SIGN_src);
    // permutex2var reads the low four bits: the top four fraction bits.
    const __m512i i = _mm512_srli_epi64(_mm512_castpd_si512(x[j]), kIndexShift);
    z[j] = _mm512_fmsub_pd(m, _mm512_permutex2var_pd(r_lo, i, r_hi), one);
    head[j] = _mm512_fmadd_pd(e, _mm512_set1_pd(kLn2Hi), _mm512_permutex2var_pd(t_lo, i, t_hi));
    y[j] = _mm512_mul_pd(e, _mm512_set1_pd(kLn2Lo));
    q[j] = _mm512_set1_pd(kQ9);
  }
  for (double k : {kQ8, kQ7, kQ6, kQ5, kQ4, kQ3, kQ2}) {
    for (int j = 0; j < kCount; ++j) q[j] = _mm512_fmadd_pd(z[j], q[j], _mm512_set1_pd(k));
  }
  for (int j = 0; j < kCount; ++j) {
    const __m512d tail = _mm512_fmadd_pd(_mm512_mul_pd(z[j], z[j]), q[j], y[j]);
    y[j] = _mm512_add_pd(head[j], _mm512_add_pd(z[j], tail));
  }
}

// Lanes outside the estimate's domain give meaningless values.
void ln_estimate_many(const double* x, double* y, int n) {
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m512d v = _mm512_loadu_pd(x + k);
    __m512d l;
    ln_estimate_lanes<1>(&v, &l);
    _mm512_storeu_pd(y + k, l);
  }
  for (; k < n; ++k) y[k] = ln_estimate(x[k]);
}

// Equal probabilities (blends_equal): every cost is RN(P_i - y) with the
// one logarithm y (0 when both are 0), exact.
double select_equal_blends(float* costs, float decay, double y) {
  constexpr int kVectors = kCandidates / 8;
  const __m512d d = _mm512_set1_pd(decay);
  const __m512d vy = _mm512_set1_pd(y);
  __m512d c[kVectors];
  for (int j = 0; j < kVectors; ++j)
    c[j] = _mm512_sub_pd(_mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(costs + 8 * j)), d), vy);
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

// The end of a selection from estimates whose floats are all decided
// (rounded holds each cost's float, lo and his the ends of its interval):
// if one candidate alone has its lower end at or below the smallest upper
// end, it is the cheapest; then stores the floats, sets weight and returns
// true. Otherwise (two or more could be the cheapest) leaves costs as they
// were. Overwrites his.
inline bool pick_in_registers(const __m512d lo[8], __m512d his[8], const __m256 rounded[8], float* costs,
                              double& weight) {
  constexpr int kVectors = kCandidates / 8;
  // A tree, not a chain: the smallest upper end is on the critical path.
  for (int w = kVectors / 2; w > 0; w /= 2)
    for (int j = 0; j < w; ++j) his[j] = _mm512_min_pd(his[j], his[j + w]);
  const double h = _mm512_reduce_min_pd(his[0]);
  if (!(h < kInitialBestCost)) return false;
  const __m512d vh = _mm512_set1_pd(h);
  std::uint64_t contenders = 0;
  for (int j = 0; j < kVectors; ++j)
    contenders |= std::uint64_t{_mm512_cmp_pd_mask(lo[j], vh, _CMP_LE_OQ)} << (8 * j);
  if (contenders == 0 || (contenders & (contenders - 1)) != 0) return false;
  for (int j = 0; j < kVectors; ++j) _mm256_storeu_ps(costs + 8 * j, rounded[j]);
  weight = __builtin_ctzll(contenders) * kCandidateStep;
  return true;
}

// A selection with unequal probabilities, with estimated costs and error bounds
// (model/kernels/selection_settle.h), settled here in registers when every float is
// decided and one candidate alone can be the cheapest, else by
// settle_selection. (Two selections in one pass through the logarithm were
// slower than two passes: more registers spilled.)
double select_estimated(float a, float b, float* costs, float decay) {
  constexpr int kVectors = kCandidates / 8;
  const double fa = a, fb = b;
  const double delta = blend_slack(fa, fb);
  const __m512d va = _mm512_set1_pd(fa);
  const __m512d vstep = _mm512_set1_pd((fb - fa) * kCandidateStep);
  // A blend above both 4 Delta and the smallest normal double, and finite
  // (a, b are floats), is in the estimate's domain with a usable bound.
  const __m512d known_above = _mm512_set1_pd(4 * delta > 0x1p-1022 ? 4 * delta : 0x1p-1022);
  __m512d x[kVectors], l[kVectors];
  __mmask8 known[kVectors];
  for (int j = 0; j < kVectors; ++j) {
    x[j] = _mm512_fmadd_pd(_mm512_load_pd(kCandidateIndices + 8 * j), vstep, va);
    known[j] = _mm512_cmp_pd_mask(x[j], known_above, _CMP_GT_OQ);
  }
  ln_estimate_lanes<kVectors>(x, l);

  const __m512d slack = _mm512_set1_pd(kCostSlack);
  const __m512d inf = _mm512_set1_pd(__builtin_inf());
  const __m512d d = _mm512_set1_pd(decay);
  const __m512d vdelta = _mm512_set1_pd(delta);
  __m512d c[kVectors], err[kVectors], lo[kVectors];
  // When every float is decided, RN_float of the lower end is the cost's.
  __m256 rounded[kVectors];
  __m512d his[kVectors];
  unsigned undecided = 0;
  for (int j = 0; j < kVectors; ++j) {
    const __m512d p = _mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(costs + 8 * j)), d);
    __m512d cj = _mm512_maskz_sub_pd(known[j], p, l[j]);
    __m512d ej = _mm512_fmadd_pd(slack, _mm512_add_pd(_mm512_abs_pd(cj), _mm512_abs_pd(l[j])),
                                 _mm512_fmadd_pd(vdelta, _mm512_rcp14_pd(x[j]), slack));
    ej = _mm512_mask_blend_pd(known[j], inf, ej);
    if (j == 0 && a == 0) {
      // Candidate 0 has probability 0: its cost is exact.
      cj = _mm512_mask_add_pd(cj, 1, p, _mm512_set1_pd(kZeroProbabilityCost));
      ej = _mm512_mask_mov_pd(ej, 1, _mm512_setzero_pd());
    }
    lo[j] = _mm512_sub_pd(cj, ej);
    const __m512d hi = _mm512_add_pd(cj, ej);
    his[j] = hi;
    rounded[j] = _mm512_cvtpd_ps(lo[j]);
    undecided |= ~unsigned(_mm256_movemask_ps(
                     _mm256_cmp_ps(rounded[j], _mm512_cvtpd_ps(hi), _CMP_EQ_OQ))) & 0xFFu;
    c[j] = cj;
    err[j] = ej;
  }
  double weight;
  if (undecided == 0 && pick_in_registers(lo, his, rounded, costs, weight)) return weight;
  alignas(64) double cs[kCandidates], es[kCandidates];
  for (int j = 0; j < kVectors; ++j) {
    _mm512_store_pd(cs + 8 * j, c[j]);
    _mm512_store_pd(es + 8 * j, err[j]);
  }
  return settle_selection(a, b, costs, decay, cs, es);
}

// select_estimated() when every blend is known to lie well inside the
// estimate's domain (blends_within_ratio): no lane needs a mask, and one
// reciprocal of the smaller probability bounds every blend's 1 / x~_i.
// Stores the costs and returns true only when the selection is settled in
// registers; otherwise leaves costs as they were.
bool select_known_blends(float a, float b, float* costs, float decay, double& weight) {
  constexpr int kVectors = kCandidates / 8;
  const double fa = a, fb = b;
  const __m512d va = _mm512_set1_pd(fa);
  const __m512d vstep = _mm512_set1_pd((fb - fa) * kCandidateStep);
  __m512d x[kVectors], l[kVectors];
  for (int j = 0; j < kVectors; ++j) x[j] = _mm512_fmadd_pd(_mm512_load_pd(kCandidateIndices + 8 * j), vstep, va);
  ln_estimate_lanes<kVectors>(x, l);

  const __m512d slack = _mm512_set1_pd(kCostSlack);
  const __m512d floor = _mm512_set1_pd(known_blends_error_floor(fa, fb));
  const __m512d d = _mm512_set1_pd(decay);
  __m512d lo[kVectors], his[kVectors];
  __m256 rounded[kVectors];
  unsigned undecided = 0;
  for (int j = 0; j < kVectors; ++j) {
    const __m512d p = _mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(costs + 8 * j)), d);
    const __m512d c = _mm512_sub_pd(p, l[j]);
    const __m512d err = _mm512_fmadd_pd(slack, _mm512_add_pd(_mm512_abs_pd(c), _mm512_abs_pd(l[j])), floor);
    lo[j] = _mm512_sub_pd(c, err);
    his[j] = _mm512_add_pd(c, err);
    rounded[j] = _mm512_cvtpd_ps(lo[j]);
    undecided |= ~unsigned(_mm256_movemask_ps(
                     _mm256_cmp_ps(rounded[j], _mm512_cvtpd_ps(his[j]), _CMP_EQ_OQ))) & 0xFFu;
  }
  return undecided == 0 && pick_in_registers(lo, his, rounded, costs, weight);
}

double select_weight(float a, float b, float* costs, float decay) {
  if (blends_equal(a, b)) return select_equal_blends(costs, decay, equal_blend_log(a));
  double weight;
  if (blends_within_ratio(a, b) && select_known_blends(a, b, costs, decay, weight)) return weight;
  return select_estimated(a, b, costs, decay);
}

}  // namespace

const Table avx512_table = {"avx512", false, mix, frequencies, block_sums, decay, select_weight,
                            ln_estimate_many};

}  // namespace bytemix::kernels
