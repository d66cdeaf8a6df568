#include "model/reference/literal_byte_model.h"

#include <cstdint>

#include "model/ln/ln.h"

namespace bytemix {
namespace {

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
      WeightSelector::select_weight(a0, b0, cost_order0_, kSelectorDecayOrder0));

  const float a1 = static_cast<float>(inv_order1_slow_ * o1s[x]);
  const float b1 = static_cast<float>(inv_order1_fast_ * o1f[x]);
  const double w1 = WeightSelector::select_weight(a1, b1, cost_order1_[c], kSelectorDecayOrder1);
  weight_order1_[c] = static_cast<float>(w1);

  // The final blend sees the order-0 weight as stored (a float) but the
  // order-1 weight as returned (a double).
  const double w0 = weight_order0_;
  const double p0 = ((1 - w0) * order0_slow_[x]) * inv_order0_slow_ +
                    (w0 * order0_fast_[x]) * inv_order0_fast_;
  const double p1 = ((1 - w1) * o1s[x]) * inv_order1_slow_ + (w1 * o1f[x]) * inv_order1_fast_;
  weight_final_[c] = static_cast<float>(WeightSelector::select_weight(
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

}  // namespace bytemix
