// Known states of the byte model: the first table of every file and the
// state after a first byte 0x00, worked out by hand from the model's rules.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "model/byte_model.h"
#include "model/frequency_table.h"
#include "model/kernels/kernels.h"
#include "model/reference/weight_selector.h"
#include "tests/model_view.h"

namespace bytemix {
namespace {

TEST(ByteModel, FirstTableIsFlat) {
  auto model = std::make_unique<ByteModel>();
  const ByteModelView model_state(*model);
  const FrequencyTable& t = model->predict();
  for (int k = 0; k < 256; ++k) EXPECT_EQ(t.freq[k], 32768) << "byte " << k;
  EXPECT_EQ(t.total, 8388608u);
  EXPECT_EQ(model_state.mixed(0), 1.0f / 256);
}

TEST(ByteModel, StateAfterFirstZeroByte) {
  auto model = std::make_unique<ByteModel>();
  const ByteModelView model_state(*model);
  model->predict();
  model->update(0);

  EXPECT_EQ(model_state.context(), 0u);
  EXPECT_EQ(model_state.weight_order0(), 0.0f);
  EXPECT_EQ(model_state.weight_order1(0), 0.0f);
  EXPECT_EQ(model_state.weight_final(0), 0.0f);
  EXPECT_EQ(model_state.order0_slow(0), 1.2498779296875f);
  for (int k = 1; k < 256; ++k) EXPECT_EQ(model_state.order0_slow(k), 0.2498779296875f) << k;
  // New to its context: the fast order-0 count gets the novelty bonus, which
  // decays once, and then the increment.
  EXPECT_EQ(model_state.order0_fast(0), static_cast<float>(0.9033203125 + 1));
  EXPECT_EQ(model_state.order1_slow(0, 0), 1.0f);
  EXPECT_EQ(model_state.order1_fast(0, 0), 1.0f);

  const FrequencyTable& t = model->predict();
  EXPECT_EQ(t.freq[0], 161381);
  for (int k = 1; k < 256; ++k) EXPECT_EQ(t.freq[k], 32264) << "byte " << k;
  EXPECT_EQ(t.total, 8388701u);
}

TEST(ByteModel, ResetRestoresTheInitialState) {
  auto model = std::make_unique<ByteModel>();
  const ByteModelView model_state(*model);
  for (unsigned x : {7u, 7u, 200u, 7u, 0u}) {
    model->predict();
    model->update(x);
  }
  model->reset();
  const FrequencyTable& t = model->predict();
  for (int k = 0; k < 256; ++k) ASSERT_EQ(t.freq[k], 32768);
  EXPECT_EQ(model_state.context(), 0u);
}

TEST(ByteModel, EveryByteStaysCodableAndTotalIsTheSum) {
  auto model = std::make_unique<ByteModel>();
  const ByteModelView model_state(*model);
  // A long run drives every other byte's share towards nothing.
  for (int i = 0; i < 5000; ++i) {
    const FrequencyTable& t = model->predict();
    std::uint32_t sum = 0;
    for (int k = 0; k < 256; ++k) {
      ASSERT_GE(t.freq[k], 1);
      sum += static_cast<std::uint32_t>(t.freq[k]);
    }
    ASSERT_EQ(sum, t.total);
    model->update(i < 4000 ? 'a' : static_cast<unsigned>(i % 256));
  }
}

TEST(ByteModel, SameBytesGiveSameTables) {
  auto a = std::make_unique<ByteModel>();
  auto b = std::make_unique<ByteModel>();
  unsigned x = 1;
  for (int i = 0; i < 3000; ++i) {
    const FrequencyTable& ta = a->predict();
    const FrequencyTable& tb = b->predict();
    ASSERT_EQ(0, std::memcmp(ta.freq, tb.freq, sizeof ta.freq));
    ASSERT_EQ(ta.total, tb.total);
    x = (x * 1103515245u + 12345u) >> 7 & 0x3F;
    a->update(x);
    b->update(x);
  }
}

// The cumulative frequencies and the symbol search of a table that keeps
// only its block sums, against a plain scan: every byte, every interval's
// ends, values past the total.
TEST(FrequencyTable, CumulativeAndFindMatchAScan) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 300; ++trial) {
    FrequencyTable t{};
    for (unsigned k = 0; k < 256; ++k) {
      const unsigned kind = rng() % 4;
      t.set(k, static_cast<std::int32_t>(kind == 0 ? 1 : kind == 1 ? rng() % 16 + 1 : rng() % (1u << (rng() % 22)) + 1));
    }
    std::uint32_t scan[257];
    scan[0] = 0;
    for (int k = 0; k < 256; ++k) scan[k + 1] = scan[k] + static_cast<std::uint32_t>(t.freq[k]);
    ASSERT_EQ(t.total, scan[256]);
    for (unsigned x = 0; x < 256; ++x) ASSERT_EQ(t.cumulative(x), scan[x]) << "x " << x;
    auto expect_find = [&](std::uint32_t v) {
      unsigned s = 0;
      while (s < 255 && scan[s + 1] <= v) ++s;
      std::uint32_t cum = ~0u;
      ASSERT_EQ(t.find(v, cum), s) << "v " << v;
      ASSERT_EQ(cum, scan[s]) << "v " << v;
    };
    for (unsigned s = 0; s < 256; ++s) {
      expect_find(scan[s]);
      expect_find(scan[s + 1] - 1);
    }
    for (int i = 0; i < 64; ++i) expect_find(static_cast<std::uint32_t>(rng() % t.total));
    expect_find(t.total);
    expect_find(t.total + 12345);
  }
}

TEST(WeightSelector, BothZeroOnlyDecaysAndPicksFirstCheapest) {
  float costs[kCandidates];
  for (int i = 0; i < kCandidates; ++i) costs[i] = static_cast<float>(100 - (i % 10));
  // Cheapest (91) first occurs at index 9.
  const double w = WeightSelector::select_weight(0, 0, costs, 0.5f);
  EXPECT_EQ(w, 9 * kCandidateStep);
  EXPECT_EQ(costs[9], 45.5f);
  EXPECT_EQ(costs[0], 50.0f);
}

TEST(WeightSelector, ZeroProbabilityEndpointIsCharged) {
  float costs[kCandidates] = {};
  // a = 0: candidate 0 is charged 65535 and the blend grows towards b, so
  // the b end is cheapest.
  const double w = WeightSelector::select_weight(0, 0.5f, costs, 1.0f);
  EXPECT_EQ(costs[0], 65535.0f);
  EXPECT_EQ(w, 63 * kCandidateStep);
  EXPECT_FLOAT_EQ(costs[63], 0.6931472f);
}

TEST(WeightSelector, TiesGoToTheLowestIndex) {
  // a = b: every blend has the same probability and the same cost.
  float costs[kCandidates] = {};
  EXPECT_EQ(WeightSelector::select_weight(0.25f, 0.25f, costs, 1.0f), 0.0);
  for (int i = 1; i < kCandidates; ++i) ASSERT_EQ(costs[i], costs[0]);
}

TEST(WeightSelector, ReturnsProductNotQuotient) {
  // index * (1/63) and index / 63 differ in the last bit for some indices;
  // the weight is the product.
  int differing = 0;
  for (int i = 0; i < kCandidates; ++i) differing += (i * kCandidateStep != i / 63.0);
  EXPECT_GT(differing, 0);
}

}  // namespace
}  // namespace bytemix
