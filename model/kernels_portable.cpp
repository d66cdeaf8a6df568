// Portable kernels: plain loops, no intrinsics, for any target. The compiler
// may vectorise the element-wise loops; that cannot change a result, since
// each lane performs the same rounded operations (contraction is off).
#include "model/kernel_common.h"
#include "model/kernels.h"

namespace bytemix::kernels {
namespace {

double mix(const float* o1s, const float* o1f, const float* o0f, const float* o0s,
           const double coef[4], float* mixed) {
  const double a1 = coef[0], b1 = coef[1], b0 = coef[2], a0 = coef[3];
  double m[256];
  for (int k = 0; k < 256; ++k) {
    m[k] = ((o1s[k] * a1 + o1f[k] * b1) + o0f[k] * b0) + o0s[k] * a0;
    mixed[k] = static_cast<float>(m[k]);
  }
  // Not exact: the order of addition is part of the result.
  double total = 0;
  for (int k = 0; k < 256; ++k) total += m[k];
  return total;
}

void frequencies(const float* mixed, double scale, FrequencyTable& table) {
  for (int k = 0; k < 256; ++k) {
    const std::int32_t f = round_to_nearest_even(scale * mixed[k]);
    table.freq[k] = f < 1 ? 1 : f;
  }
  std::uint32_t cum = 0;
  for (int k = 0; k < 256; ++k) {
    table.cum[k] = cum;
    cum += static_cast<std::uint32_t>(table.freq[k]);
  }
  table.cum[256] = cum;
  table.total = cum;
}

// The row sums are exact in any order (model/kernel_common.h), so eight
// partial sums replace the one long chain of dependent additions, and the
// decayed count is chosen by a mask rather than a branch: the compiler can
// put the loop in vectors.
double decay_row(float* row, float decay) {
  double part[8] = {};
  for (int k = 0; k < 256; k += 8) {
    for (int j = 0; j < 8; ++j) {
      const float c = row[k + j];
      const float p = c * decay;
      std::uint32_t cb, pb;
      __builtin_memcpy(&cb, &c, sizeof cb);
      __builtin_memcpy(&pb, &p, sizeof pb);
      const std::uint32_t take = 0u - static_cast<std::uint32_t>(c > kDecayFloorF);
      const std::uint32_t vb = (pb & take) | (cb & ~take);
      float v;
      __builtin_memcpy(&v, &vb, sizeof v);
      row[k + j] = v;
      part[j] += v;
    }
  }
  return ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
}

void decay(float* o1s, float* o1f, float* o0s, float* o0f, double sums[4]) {
  sums[0] = decay_row(o1s, kSlowDecayF);
  sums[1] = decay_row(o1f, kFastDecayF);
  sums[2] = decay_row(o0s, kSlowDecayF);
  sums[3] = decay_row(o0f, kFastDecayF);
}

// model/ln_lanes.h, each step over up to 64 lanes before the next, so that
// the independent lanes overlap and the compiler may put the arithmetic
// steps in vectors; also the path of targets without vector kernels.
int ln_many(const double* x, double* y, int n) {
  using namespace ln_detail;
  constexpr int B = 64;
  int fallbacks = 0;
  for (int k = 0; k < n; k += B) {
    const int count = n - k < B ? n - k : B;
    double z[B], ep[B], l_hi[B], l_mid[B], sh[B], sl[B], q3[B], h[B], l[B];
    bool pass[B];
    for (int j = 0; j < count; ++j) {
      const double v = lane_domain(x[k + j]) ? x[k + j] : 1.0;
      const TableEntry* t;
      lane_reduce(v, z[j], ep[j], t);
      l_hi[j] = t->l_hi;
      l_mid[j] = t->l_mid;
    }
    for (int j = 0; j < count; ++j) lane_poly(z[j], sh[j], sl[j], q3[j]);
    for (int j = 0; j < count; ++j)
      lane_sum(z[j], ep[j], l_hi[j], l_mid[j], sh[j], sl[j], q3[j], h[j], l[j]);
    for (int j = 0; j < count; ++j) pass[j] = lane_test(h[j], l[j], q3[j], y[k + j]);
    for (int j = 0; j < count; ++j) {
      if (!pass[j] || !lane_domain(x[k + j])) {
        y[k + j] = ln(x[k + j]);
        ++fallbacks;
      }
    }
  }
  return fallbacks;
}

double select_weight(float a, float b, float* costs, float decay) {
  const double d = decay;
  double c[kCandidates];
  if (a == 0 && b == 0) {
    for (int i = 0; i < kCandidates; ++i) c[i] = costs[i] * d;
  } else {
    double x[kCandidates], y[kCandidates];
    accumulate_candidates(a, b, x);
    candidate_logs(ln_many, x, y);
    for (int i = 0; i < kCandidates; ++i) c[i] = costs[i] * d - y[i];
  }
  double best = kInitialBestCost;
  int index = 0;
  for (int i = 0; i < kCandidates; ++i) {
    costs[i] = static_cast<float>(c[i]);
    if (c[i] < best) {
      best = c[i];
      index = i;
    }
  }
  return index * kCandidateStep;
}

}  // namespace

const Table portable_table = {Isa::portable, "portable", mix, frequencies, decay, select_weight,
                              ln_many};

}  // namespace bytemix::kernels
