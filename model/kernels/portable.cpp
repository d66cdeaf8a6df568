// Portable kernels: plain loops, no intrinsics, for any target. The compiler
// may vectorise the element-wise loops; that cannot change a result, since
// each lane performs the same rounded operations (contraction is off).
#include "model/kernels/kernel_common.h"
#include "model/kernels/kernels.h"
#include "model/ln/ln_estimate.h"
#include "model/kernels/selection_settle.h"

namespace bytemix::kernels {
namespace {

void block_sums(FrequencyTable& table) {
  constexpr unsigned B = FrequencyTable::kBlock;
  std::uint32_t cum = 0;
  for (unsigned b = 0; b < 256 / B; ++b) {
    table.block_cum[b] = cum;
    for (unsigned k = B * b; k < B * b + B; ++k) cum += static_cast<std::uint32_t>(table.freq[k]);
  }
  table.block_cum[256 / B] = cum;
  table.total = cum;
}

// Returns the index-order total itself: one chain of additions costs the
// scalar path less than testing every frequency against an estimate. So no
// total of this path is ever left open, and carry is finished as it comes.
double mix(const float* o1s, const float* o1f, const float* o0f, const float* o0s,
           const double coef[4], float* mixed, double* m, std::uint16_t occupied, std::uint16_t equal,
           OrderedTotal& carry) {
  carry.finish();
  const double a1 = coef[0], b1 = coef[1], b0 = coef[2], a0 = coef[3];
  constexpr int B = kOccupancyBlock;
  for (int k = 0; k < 256; k += B) {
    if (equal >> (k / B) & 1) {
      const double v = o0f[k] * b0 + o0s[k] * a0;
      for (int j = k; j < k + B; ++j) m[j] = v;
    } else if (occupied >> (k / B) & 1) {
      for (int j = k; j < k + B; ++j)
        m[j] = ((o1s[j] * a1 + o1f[j] * b1) + o0f[j] * b0) + o0s[j] * a0;
    } else {
      for (int j = k; j < k + B; ++j) m[j] = o0f[j] * b0 + o0s[j] * a0;
    }
  }
  for (int k = 0; k < 256; ++k) mixed[k] = static_cast<float>(m[k]);
  return ordered_total(m, live_blocks(coef, occupied), equal);
}

bool frequencies(const float* mixed, double scale, double margin, FrequencyTable& table,
                 std::uint64_t undecided[4]) {
  if (margin == 0) {
    for (int k = 0; k < 256; ++k) {
      const std::int32_t f = round_to_nearest_even(scale * mixed[k]);
      table.freq[k] = f < 1 ? 1 : f;
    }
    block_sums(table);
    return true;
  }
  constexpr double kShift = 4503599627370496.0;  // 2^52, as round_to_nearest_even
  std::uint64_t near_half[4];
  for (int w = 0; w < 4; ++w) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 64; ++i) {
      const int k = 64 * w + i;
      const double y = scale * mixed[k];
      const double r = (y + kShift) - kShift;
      const double off = y - r;  // exact: y and r lie within 1/2 of each other
      bits |= std::uint64_t{__builtin_fabs(off) > 0.5 - margin} << i;
      const auto f = static_cast<std::int32_t>(r);
      table.freq[k] = f < 1 ? 1 : f;
    }
    near_half[w] = bits;
  }
  block_sums(table);
  if ((near_half[0] | near_half[1] | near_half[2] | near_half[3]) == 0) return true;
  for (int w = 0; w < 4; ++w) undecided[w] = near_half[w];
  return false;
}

// The row sums are exact in any order (model/kernels/kernel_common.h), so partial
// sums replace the one long chain of dependent additions, and the decayed
// count is chosen by a mask rather than a branch. Written with the
// compilers' generic vector types (GCC and Clang lower them to the target's
// vectors, or to scalar code where it has none): the compiler does not
// vectorise the plain loop by itself. Only the blocks of occupied are
// visited.
typedef float Floats4 __attribute__((vector_size(16)));
typedef double Doubles2 __attribute__((vector_size(16)));
typedef std::int32_t Ints4 __attribute__((vector_size(16)));

double decay_row(float* row, float decay, std::uint16_t occupied) {
  const Floats4 floor = {kDecayFloorF, kDecayFloorF, kDecayFloorF, kDecayFloorF};
  const Floats4 factor = {decay, decay, decay, decay};
  Doubles2 part[4] = {};
  for (unsigned bits = occupied; bits != 0; bits &= bits - 1) {
    float* block = row + kOccupancyBlock * __builtin_ctz(bits);
    for (int j = 0; j < kOccupancyBlock; j += 4) {
      Floats4 c;
      __builtin_memcpy(&c, block + j, sizeof c);
      const Ints4 above = c > floor;
      const Floats4 v = (Floats4)(((Ints4)(c * factor) & above) | ((Ints4)c & ~above));
      __builtin_memcpy(block + j, &v, sizeof v);
      part[j / 8 * 2] += __builtin_convertvector(__builtin_shufflevector(v, v, 0, 1), Doubles2);
      part[j / 8 * 2 + 1] += __builtin_convertvector(__builtin_shufflevector(v, v, 2, 3), Doubles2);
    }
  }
  const Doubles2 sum = (part[0] + part[1]) + (part[2] + part[3]);
  return sum[0] + sum[1];
}

void decay(float* o1s, float* o1f, float* o0s, float* o0f, double sums[4], std::uint16_t occupied,
           std::uint16_t order0_live, OrderedTotal& carry) {
  carry.finish();
  sums[2] = decay_row(o0s, kSlowDecayF, order0_live);
  sums[3] = decay_row(o0f, kFastDecayF, order0_live);
  sums[0] = decay_row(o1s, kSlowDecayF, occupied);
  sums[1] = decay_row(o1f, kFastDecayF, occupied);
}

// Estimated costs with error bounds (model/kernels/selection_settle.h), settled here
// when every float is decided and one candidate alone can be the cheapest,
// else by settle_selection.
double select_weight(float a, float b, float* costs, float decay) {
  const double d = decay;
  double c[kCandidates], err[kCandidates];
  if (blends_equal(a, b)) {
    // One logarithm makes every cost exact.
    const double y = equal_blend_log(a);
    for (int i = 0; i < kCandidates; ++i) c[i] = costs[i] * d - y, err[i] = 0;
    return settle_selection(a, b, costs, decay, c, err);
  }
  const double fa = a, fb = b;
  const double step = (fb - fa) * kCandidateStep;
  const double delta = blend_slack(fa, fb);
  // Step by step over all candidates (see ln_estimate_reduce), with the
  // bounds of model/kernels/selection_settle.h.
  double x[kCandidates], e[kCandidates], z[kCandidates], t[kCandidates];
  bool known[kCandidates];
  for (int i = 0; i < kCandidates; ++i) {
    x[i] = fa + i * step;
    known[i] = x[i] > 4 * delta && ln_estimate_domain(x[i]);
    ln_estimate_reduce(known[i] ? x[i] : 1.0, e[i], z[i], t[i]);
  }
  // The blends' term of the bound from the smallest known blend (they
  // form an arithmetic progression, so it is an end or next to the unknown
  // ones): one division instead of 64. Where that is loose, a quotient per
  // candidate.
  double smallest = __builtin_inf();
  for (int i = 0; i < kCandidates; ++i) smallest = known[i] && x[i] < smallest ? x[i] : smallest;
  const double blend_term = delta / smallest;
  const bool per_candidate = !(blend_term <= 0x1p-40);
  for (int i = 0; i < kCandidates; ++i) {
    const double l = ln_estimate_finish(e[i], z[i], t[i]);
    c[i] = costs[i] * d - l;
    err[i] = (kCostSlack * (__builtin_fabs(c[i]) + __builtin_fabs(l)) + kCostSlack) +
             (per_candidate ? delta / x[i] : blend_term);
  }
  for (int i = 0; i < kCandidates; ++i) {
    if (!known[i]) c[i] = 0, err[i] = __builtin_inf();
  }
  if (a == 0) c[0] = costs[0] * d + kZeroProbabilityCost, err[0] = 0;

  double upper = kInitialBestCost;
  bool undecided = false;
  for (int i = 0; i < kCandidates; ++i) {
    const double hi = c[i] + err[i];
    upper = hi < upper ? hi : upper;
    undecided |= static_cast<float>(c[i] - err[i]) != static_cast<float>(hi);
  }
  if (!undecided && upper < kInitialBestCost) {
    int contenders = 0, index = 0;
    for (int i = 0; i < kCandidates; ++i) {
      if (c[i] - err[i] <= upper) ++contenders, index = i;
    }
    if (contenders == 1) {
      for (int i = 0; i < kCandidates; ++i) costs[i] = static_cast<float>(c[i]);
      return index * kCandidateStep;
    }
  }
  return settle_selection(a, b, costs, decay, c, err);
}

void ln_estimate_many(const double* x, double* y, int n) {
  for (int k = 0; k < n; ++k) y[k] = ln_estimate(x[k]);
}

}  // namespace

const Table portable_table = {"portable", true, mix, frequencies, block_sums, decay, select_weight,
                              ln_estimate_many};

}  // namespace bytemix::kernels
