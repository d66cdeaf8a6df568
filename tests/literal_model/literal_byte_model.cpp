#include "tests/literal_model/literal_byte_model.h"

#include <cstdint>

#include "model/ln.h"

namespace bytemix {
namespace {

constexpr float kInitialOrder0SlowCount = 0.25f;
constexpr double kSlowDecay = 0.99951171875;  // 2047/2048
constexpr double kFastDecay = 0.9033203125;   // 925/1024
// A count at or below this is left as it is, so a count once incremented
// never decays back to 0 and an exact 0 keeps meaning "never seen".
constexpr double kDecayFloor = 0.001;
constexpr double kCountIncrement = 1.0;
// Frequencies are scaled to total about 2^23, which leaves the 32-bit range
// coder at least 2^24 / 2^23 = 2 units per frequency step after normalising.
constexpr double kTargetTotal = 8388608.0;

// Charged to an endpoint candidate whose blended probability is not positive:
// large enough that such a candidate is never chosen while any other has a
// finite history, small enough to keep the float costs finite.
constexpr double kZeroProbabilityCost = 65535.0;

// Start of the minimum search; every real cost is below it.
constexpr double kInitialBestCost = 1e10;

constexpr float kSelectorDecayOrder0 = 0.9765625f;  // 125/128
constexpr float kSelectorDecayOrder1 = 0.98828125f;  // 253/256
constexpr float kSelectorDecayFinal = 0.984375f;     // 63/64

double sum_in_order(const float* counts) {
  double s = 0;
  for (int k = 0; k < 256; ++k) s += counts[k];
  return s;
}

double inverse_or_zero(double s) { return s > 0 ? 1 / s : 0; }

// Round to nearest, ties to even, for 0 <= v < 2^51: adding 2^52 leaves no
// fraction bits, so the addition itself rounds in the current (nearest) mode,
// without relying on a library rounding function.
std::int32_t round_to_nearest_even(double v) {
  constexpr double kShift = 4503599627370496.0;  // 2^52
  return static_cast<std::int32_t>((v + kShift) - kShift);
}

float decayed(float count, double decay) {
  return static_cast<double>(count) > kDecayFloor ? static_cast<float>(count * decay) : count;
}

void add_count(float& count) { count = static_cast<float>(count + kCountIncrement); }

}  // namespace

void LiteralByteModel::reset() {
  for (int k = 0; k < 256; ++k) {
    order0_slow_[k] = kInitialOrder0SlowCount;
    order0_fast_[k] = 0;
    weight_order1_[k] = 0;
    weight_final_[k] = 0;
    mixed_[k] = 0;
    for (int j = 0; j < 256; ++j) {
      order1_slow_[k][j] = 0;
      order1_fast_[k][j] = 0;
    }
    for (int i = 0; i < kCandidates; ++i) {
      cost_order1_[k][i] = 0;
      cost_final_[k][i] = 0;
    }
  }
  for (int i = 0; i < kCandidates; ++i) cost_order0_[i] = 0;
  weight_order0_ = 0;
  context_ = 0;
  inv_order0_slow_ = inv_order0_fast_ = inv_order1_slow_ = inv_order1_fast_ = 0;
}

const FrequencyTable& LiteralByteModel::predict() {
  const unsigned c = context_;
  const float* o1s = order1_slow_[c];
  const float* o1f = order1_fast_[c];

  inv_order0_slow_ = inverse_or_zero(sum_in_order(order0_slow_));
  inv_order0_fast_ = inverse_or_zero(sum_in_order(order0_fast_));
  inv_order1_slow_ = inverse_or_zero(sum_in_order(o1s));
  inv_order1_fast_ = inverse_or_zero(sum_in_order(o1f));

  const double w0 = weight_order0_;
  const double w1 = weight_order1_[c];
  const double wf = weight_final_[c];
  const double a0 = ((1 - w0) * (1 - wf)) * inv_order0_slow_;
  const double b0 = (w0 * (1 - wf)) * inv_order0_fast_;
  const double a1 = ((1 - w1) * wf) * inv_order1_slow_;
  const double b1 = (wf * w1) * inv_order1_fast_;

  // The running total takes the unrounded mixed values in index order; it is
  // not exact, so neither the order nor the rounding point may change.
  double total = 0;
  for (int k = 0; k < 256; ++k) {
    const double m = ((o1s[k] * a1 + o1f[k] * b1) + order0_fast_[k] * b0) + order0_slow_[k] * a0;
    mixed_[k] = static_cast<float>(m);
    total += m;
  }

  const double scale = total > 0 ? kTargetTotal / total : 0;
  std::uint32_t sum = 0;
  for (int k = 0; k < 256; ++k) {
    std::int32_t f = round_to_nearest_even(scale * mixed_[k]);
    if (f < 1) f = 1;
    table_.freq[k] = f;
    sum += static_cast<std::uint32_t>(f);
  }
  table_.total = sum;
  // The cumulative frequencies at the starts of the blocks of the table.
  std::uint32_t cum = 0;
  for (int k = 0; k < 256; ++k) {
    if (k % FrequencyTable::kBlock == 0) table_.block_cum[k / FrequencyTable::kBlock] = cum;
    cum += static_cast<std::uint32_t>(table_.freq[k]);
  }
  table_.block_cum[256 / FrequencyTable::kBlock] = cum;
  return table_;
}

void LiteralByteModel::update(unsigned x) {
  const unsigned c = context_;
  float* o1s = order1_slow_[c];
  float* o1f = order1_fast_[c];

  const float a0 = static_cast<float>(inv_order0_slow_ * order0_slow_[x]);
  const float b0 = static_cast<float>(inv_order0_fast_ * order0_fast_[x]);
  weight_order0_ = static_cast<float>(
      select_weight(a0, b0, cost_order0_, kSelectorDecayOrder0));

  const float a1 = static_cast<float>(inv_order1_slow_ * o1s[x]);
  const float b1 = static_cast<float>(inv_order1_fast_ * o1f[x]);
  const double w1 = select_weight(a1, b1, cost_order1_[c], kSelectorDecayOrder1);
  weight_order1_[c] = static_cast<float>(w1);

  // The final blend sees the order-0 weight as stored (a float) but the
  // order-1 weight as returned (a double).
  const double w0 = weight_order0_;
  const double p0 = ((1 - w0) * order0_slow_[x]) * inv_order0_slow_ +
                    (w0 * order0_fast_[x]) * inv_order0_fast_;
  const double p1 = ((1 - w1) * o1s[x]) * inv_order1_slow_ + (w1 * o1f[x]) * inv_order1_fast_;
  weight_final_[c] = static_cast<float>(select_weight(
      static_cast<float>(p0), static_cast<float>(p1), cost_final_[c], kSelectorDecayFinal));

  // A byte new to its context gets a bonus in the fast order-0 table, which
  // then carries most of the prediction while the order-1 row is empty.
  if (o1s[x] == 0) add_count(order0_fast_[x]);

  for (int k = 0; k < 256; ++k) {
    o1s[k] = decayed(o1s[k], kSlowDecay);
    o1f[k] = decayed(o1f[k], kFastDecay);
    order0_slow_[k] = decayed(order0_slow_[k], kSlowDecay);
    order0_fast_[k] = decayed(order0_fast_[k], kFastDecay);
  }

  add_count(order0_slow_[x]);
  add_count(order0_fast_[x]);
  add_count(o1s[x]);
  add_count(o1f[x]);
  context_ = x;
}

double LiteralByteModel::select_weight(float a, float b, float costs[kCandidates], float decay) {
  const double d = decay;
  const double step = (static_cast<double>(b) - static_cast<double>(a)) * kCandidateStep;
  double best = kInitialBestCost;
  int index = 0;

  if (a == 0 && b == 0) {
    // Neither predictor saw the byte: every blend is 0 and nothing can be
    // charged, so the costs only decay.
    for (int i = 0; i < kCandidates; ++i) {
      const double c = costs[i] * d;
      costs[i] = static_cast<float>(c);
      if (c < best) {
        best = c;
        index = i;
      }
    }
    return index * kCandidateStep;
  }

  // Candidate 0 is predictor a alone, which may have given the byte 0.
  {
    const double e = a > 0 ? -ln(a) : kZeroProbabilityCost;
    const double c = e + costs[0] * d;
    costs[0] = static_cast<float>(c);
    if (c < best) best = c;
  }

  // Interior blends are positive whenever a, b >= 0 are not both 0, so they
  // take the logarithm without a test. x is accumulated step by step, not
  // recomputed, and the last candidate sees the accumulated value.
  double x = a + step;
  for (int i = 1; i < kCandidates - 1; ++i) {
    const double c = costs[i] * d - ln(x);
    costs[i] = static_cast<float>(c);
    if (c < best) {
      best = c;
      index = i;
    }
    x = x + step;
  }

  // Candidate 63: with b = 0 the accumulated x is a rounding residue that may
  // be zero, negative or slightly positive.
  {
    const double e = x > 0 ? -ln(x) : kZeroProbabilityCost;
    const double c = e + costs[kCandidates - 1] * d;
    costs[kCandidates - 1] = static_cast<float>(c);
    if (c < best) index = kCandidates - 1;
  }
  return index * kCandidateStep;
}

}  // namespace bytemix
