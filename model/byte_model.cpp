#include "model/byte_model.h"

#include <cstdint>

#include "model/kernels/kernel_common.h"
#include "model/kernels/kernels.h"

namespace bytemix {
namespace {

double inverse_or_zero(double s) { return s > 0 ? 1 / s : 0; }
double scale_for(double total) { return total > 0 ? kTargetTotal / total : 0; }

// Blocks of an open table's total added as soon as it opens (out of 16 at
// most), and after the order-0 selection: a block is a chain of sixteen
// dependent additions, and the processor overlaps only a few of them with
// the independent work that follows. The rest is left to the decay and the
// next mix. Both counts are tuned by measurement (bench/README.md).
constexpr int kOpenTotalHeadStart = 3;
constexpr int kOpenTotalAfterSelection = 2;

// How often update() looks for order-0 blocks to freeze: a block's counts
// take thousands of bytes to decay to the floor, so the check (a pass over
// the live blocks) need not run every byte.
constexpr unsigned kFreezeInterval = 1024;

// The sum of one block of a row; exact, as every row sum (kernel_common.h).
double block_sum(const float* row, unsigned block) {
  double sum = 0;
  for (int k = 0; k < kernels::kOccupancyBlock; ++k) sum += row[kernels::kOccupancyBlock * block + k];
  return sum;
}

bool at_floor(const float* row, unsigned block) {
  for (int k = 0; k < kernels::kOccupancyBlock; ++k)
    if (row[kernels::kOccupancyBlock * block + k] > kernels::kDecayFloorF) return false;
  return true;
}

bool all_equal(const float* row, unsigned block) {
  for (int k = 1; k < kernels::kOccupancyBlock; ++k)
    if (row[kernels::kOccupancyBlock * block + k] != row[kernels::kOccupancyBlock * block]) return false;
  return true;
}

// Adds the increment to a count and returns what the row's sum gains by it.
// Both the count and the sums are multiples of 2^-34 below 2^12, so the
// difference and the sum it is added to are exact.
double add_count(float& count) {
  const float before = count;
  count = static_cast<float>(count + kCountIncrement);
  return static_cast<double>(count) - before;
}

}  // namespace

void ByteModel::reset() {
  for (int k = 0; k < 256; ++k) {
    order0_slow_[k] = kInitialOrder0SlowCount;
    order0_fast_[k] = 0;
    weight_order1_[k] = weight_final_[k] = 0;
    for (int i = 0; i < kCandidates; ++i) cost_order1_[k][i] = cost_final_[k][i] = 0;
    mixed_[0][k] = mixed_[1][k] = 0;
    sum_order1_slow_[k] = 0;
    sum_order1_fast_[k] = 0;
    occupied_[k] = 0;
    for (int j = 0; j < 256; ++j) {
      order1_slow_[k][j] = 0;
      order1_fast_[k][j] = 0;
    }
  }
  for (int i = 0; i < kCandidates; ++i) cost_order0_[i] = 0;
  sum_order0_slow_ = 256 * static_cast<double>(kInitialOrder0SlowCount);
  sum_order0_fast_ = 0;
  weight_order0_ = 0;
  context_ = 0;
  inv_order0_slow_ = inv_order0_fast_ = inv_order1_slow_ = inv_order1_fast_ = 0;
  order0_live_ = 0xFFFF;
  order0_equal_ = 0;
  frozen_order0_slow_ = frozen_order0_fast_ = 0;
  bytes_to_freeze_ = kFreezeInterval;
  open_ = false;
  kernels::start_total(open_total_, nullptr, 0);
}

const FrequencyTable& ByteModel::predict() {
  const LaggedTables tables = predict_lagged();
  return tables.current != nullptr ? *tables.current : settle_open();
}

ByteModel::LaggedTables ByteModel::predict_lagged() {
  const kernels::Table& k = kernels::active();
  const unsigned c = context_;
  side_ ^= 1;
  float* mixed = mixed_[side_];
  double* m = mixed_unrounded_[side_];
  FrequencyTable& table = tables_[side_];

  inv_order0_slow_ = inverse_or_zero(sum_order0_slow_);
  inv_order0_fast_ = inverse_or_zero(sum_order0_fast_);
  inv_order1_slow_ = inverse_or_zero(sum_order1_slow_[c]);
  inv_order1_fast_ = inverse_or_zero(sum_order1_fast_[c]);

  const double w0 = weight_order0_;
  const double w1 = weight_order1_[c];
  const double wf = weight_final_[c];
  const double coef[4] = {
      ((1 - w1) * wf) * inv_order1_slow_,
      (wf * w1) * inv_order1_fast_,
      (w0 * (1 - wf)) * inv_order0_fast_,
      ((1 - w0) * (1 - wf)) * inv_order0_slow_,
  };
  const auto equal = static_cast<std::uint16_t>(order0_equal_ & ~occupied_[c]);
  // The mix adds what is left of the last table's total, if that is open.
  const double estimate = k.mix(order1_slow_[c], order1_fast_[c], order0_fast_, order0_slow_, coef, mixed, m,
                                occupied_[c], equal, open_total_);
  LaggedTables result{settle(), &table};

  // A total estimated in any order decides almost every frequency; the
  // steps where it cannot (kHalfwayMargin) take the index-order total. A
  // kernel that returns that total itself leaves nothing to test.
  double scale = scale_for(estimate);
  double margin = k.mix_total_is_ordered ? 0 : kernels::kHalfwayMargin;
  if (!k.mix_total_is_ordered && kernels::total_near_one(estimate)) {
    scale = kernels::kUnitScale;
    margin = kernels::kUnitScaleMargin;
  }
  if (!k.frequencies(mixed, scale, margin, table, undecided_[side_])) {
    open_ = true;
    open_side_ = side_;
    kernels::start_total(open_total_, m, kernels::live_blocks(coef, occupied_[c]), equal);
    // What follows (the coder's step, the order-0 selection) does not
    // depend on the total either: its first blocks run beside it.
    for (int i = 0; i < kOpenTotalHeadStart; ++i) kernels::add_total_block(open_total_);
    result.current = nullptr;
  }
  return result;
}

const FrequencyTable* ByteModel::settle() { return open_ ? &settle_open() : nullptr; }

// The other frequencies are the same under the index-order total.
const FrequencyTable& ByteModel::settle_open() {
  const double scale = scale_for(kernels::finish_total(open_total_));
  const float* mixed = mixed_[open_side_];
  FrequencyTable& table = tables_[open_side_];
  const std::uint64_t* undecided = undecided_[open_side_];
  for (int w = 0; w < 4; ++w) {
    for (std::uint64_t bits = undecided[w]; bits != 0; bits &= bits - 1) {
      const int j = 64 * w + __builtin_ctzll(bits);
      const std::int32_t f = kernels::round_to_nearest_even(scale * mixed[j]);
      table.set(j, f < 1 ? 1 : f);
    }
  }
  open_ = false;
  return table;
}

// An undecided product lies within the margin of a half-integer h + 1/2 and
// the model's own within the margin of it (kHalfwayMargin), so both round
// to h or h + 1.
const FrequencyTable& ByteModel::open_estimate(const std::uint64_t*& open) const {
  open = undecided_[open_side_];
  return tables_[open_side_];
}

void ByteModel::update(unsigned x) {
  const kernels::Table& k = kernels::active();
  const unsigned c = context_;
  float* o1s = order1_slow_[c];
  float* o1f = order1_fast_[c];

  const float a0 = static_cast<float>(inv_order0_slow_ * order0_slow_[x]);
  const float b0 = static_cast<float>(inv_order0_fast_ * order0_fast_[x]);
  weight_order0_ =
      static_cast<float>(k.select_weight(a0, b0, cost_order0_, kSelectorDecayOrder0));

  // The order-1 and final selections and the decay do not depend on the
  // open total either.
  for (int i = 0; i < kOpenTotalAfterSelection; ++i) kernels::add_total_block(open_total_);

  const float a1 = static_cast<float>(inv_order1_slow_ * o1s[x]);
  const float b1 = static_cast<float>(inv_order1_fast_ * o1f[x]);
  const double w1 = k.select_weight(a1, b1, cost_order1_[c], kSelectorDecayOrder1);
  weight_order1_[c] = static_cast<float>(w1);

  // The final blend sees the order-0 weight as stored (a float), the
  // order-1 weight as returned (a double).
  const double w0 = weight_order0_;
  const double p0 = ((1 - w0) * order0_slow_[x]) * inv_order0_slow_ +
                    (w0 * order0_fast_[x]) * inv_order0_fast_;
  const double p1 = ((1 - w1) * o1s[x]) * inv_order1_slow_ + (w1 * o1f[x]) * inv_order1_fast_;
  weight_final_[c] = static_cast<float>(
      k.select_weight(static_cast<float>(p0), static_cast<float>(p1), cost_final_[c], kSelectorDecayFinal));

  // x's counts are about to leave the floor: its block decays again.
  thaw_order0_block(x);
  // A byte new to its context gets a bonus in the fast order-0 table, which
  // then carries most of the prediction while the order-1 row is empty.
  if (o1s[x] == 0) order0_fast_[x] = static_cast<float>(order0_fast_[x] + kCountIncrement);

  double sums[4];
  // The decay adds some of this table's total, if it is open.
  k.decay(o1s, o1f, order0_slow_, order0_fast_, sums, occupied_[c], order0_live_, open_total_);
  sum_order1_slow_[c] = sums[0] + add_count(o1s[x]);
  sum_order1_fast_[c] = sums[1] + add_count(o1f[x]);
  sum_order0_slow_ = (sums[2] + frozen_order0_slow_) + add_count(order0_slow_[x]);
  sum_order0_fast_ = (sums[3] + frozen_order0_fast_) + add_count(order0_fast_[x]);
  occupied_[c] |= kernels::occupancy_bit(x);
  context_ = x;
  if (--bytes_to_freeze_ == 0) freeze_order0_blocks();
}

void ByteModel::thaw_order0_block(unsigned byte) {
  const unsigned block = byte / kernels::kOccupancyBlock;
  const auto bit = static_cast<std::uint16_t>(1u << block);
  if ((order0_live_ & bit) != 0) return;
  order0_live_ |= bit;
  order0_equal_ &= static_cast<std::uint16_t>(~bit);
  frozen_order0_slow_ -= block_sum(order0_slow_, block);
  frozen_order0_fast_ -= block_sum(order0_fast_, block);
}

void ByteModel::freeze_order0_blocks() {
  bytes_to_freeze_ = kFreezeInterval;
  for (unsigned block = 0; block < 256 / kernels::kOccupancyBlock; ++block) {
    const auto bit = static_cast<std::uint16_t>(1u << block);
    if ((order0_live_ & bit) == 0 || !at_floor(order0_slow_, block) || !at_floor(order0_fast_, block)) continue;
    order0_live_ &= static_cast<std::uint16_t>(~bit);
    if (all_equal(order0_slow_, block) && all_equal(order0_fast_, block)) order0_equal_ |= bit;
    frozen_order0_slow_ += block_sum(order0_slow_, block);
    frozen_order0_fast_ += block_sum(order0_fast_, block);
  }
}

}  // namespace bytemix
