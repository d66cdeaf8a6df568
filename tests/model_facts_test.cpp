// The arithmetic facts the fast model relies on, checked rather than
// assumed: exhaustively over the floats concerned where that is cheap, and
// on real runs of the model for the bounds on counts and sums.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "model/byte_model.h"
#include "model/kernels/kernel_common.h"
#include "tests/corpus.h"
#include "tests/model_view.h"

namespace bytemix {
namespace {

float float_from_bits(std::uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}
std::uint32_t bits_of(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Every float a nonzero count can be: [2^-11, 2^12).
const std::uint32_t kFirstCount = bits_of(0x1p-11f);
const std::uint32_t kEndCount = bits_of(0x1p12f);

// Every weight the model can hold, a candidate's i * kCandidateStep or its
// float, lies in [0, 1]; so every blend coefficient (1 - w) and w is at
// least 0, and with counts and inverse sums at least 0 so is every mixed
// value. The bound on a total added in any order (kHalfwayMargin) rests on
// that.
TEST(ModelFacts, CandidateWeightsLieBetweenZeroAndOne) {
  for (int i = 0; i < kCandidates; ++i) {
    const double w = i * kCandidateStep;
    ASSERT_GE(w, 0.0) << i;
    ASSERT_LE(w, 1.0) << i;
    ASSERT_LE(static_cast<float>(w), 1.0f) << i;
    ASSERT_GE(1 - w, 0.0) << i;
    ASSERT_GE(1 - static_cast<double>(static_cast<float>(w)), 0.0) << i;
  }
}

// count * decay in double, rounded to float, equals the float product, for
// both decays and every count; so the kernels may multiply in floats.
TEST(ModelFacts, FloatDecayEqualsRoundedDoubleDecay) {
  std::uint64_t mismatches = 0;
  for (std::uint32_t b = kFirstCount; b < kEndCount; ++b) {
    const float c = float_from_bits(b);
    mismatches += static_cast<float>(c * 0.99951171875) != c * kernels::kSlowDecayF;
    mismatches += static_cast<float>(c * 0.9033203125) != c * kernels::kFastDecayF;
  }
  EXPECT_EQ(mismatches, 0u);
}

// count > 0.001 (in double) exactly when count > kDecayFloorF (in float).
TEST(ModelFacts, FloatFloorTestEqualsDoubleFloorTest) {
  EXPECT_LT(static_cast<double>(kernels::kDecayFloorF), 0.001);
  EXPECT_GT(static_cast<double>(std::nextafter(kernels::kDecayFloorF, 1.0f)), 0.001);
  std::uint64_t mismatches = 0;
  for (std::uint32_t b = bits_of(0x1p-12f); b <= bits_of(0x1p-8f); ++b) {
    const float c = float_from_bits(b);
    mismatches += (static_cast<double>(c) > 0.001) != (c > kernels::kDecayFloorF);
  }
  EXPECT_EQ(mismatches, 0u);
}

// A row's counts: each 0 or in [2^-11, 2^12), so a whole multiple of 2^-34;
// their sum below 2^12 and the same in double whatever the order, equal to
// the exact integer sum, and equal to the sum the model keeps.
void check_row(const float* row, double kept, const char* what, std::size_t step) {
  std::int64_t exact = 0;  // in units of 2^-34
  double forward = 0, backward = 0;
  for (int k = 0; k < 256; ++k) {
    const float c = row[k];
    ASSERT_TRUE(c == 0 || (c >= 0x1p-11f && c < 0x1p12f)) << what << " step " << step << " count " << c;
    const double units = std::ldexp(static_cast<double>(c), 34);
    ASSERT_EQ(units, std::floor(units));
    exact += static_cast<std::int64_t>(units);
    forward += row[k];
    backward += row[255 - k];
  }
  ASSERT_LT(exact, std::int64_t{1} << 46) << what;
  const double exact_sum = std::ldexp(static_cast<double>(exact), -34);
  ASSERT_EQ(forward, exact_sum) << what << " step " << step;
  ASSERT_EQ(backward, exact_sum) << what << " step " << step;
  ASSERT_EQ(kept, exact_sum) << what << " step " << step;
}

void run_and_check(const std::vector<std::uint8_t>& data) {
  auto model = std::make_unique<ByteModel>();
  const ByteModelView model_state(*model);
  float row[4][256];
  for (std::size_t j = 0; j < data.size(); ++j) {
    model->predict();
    // Every mixed value is at most 1 + 2^-23 (kUnitScaleMargin rests on it):
    // each is part of a total that mixes normalised tables.
    for (unsigned k = 0; k < 256; ++k) ASSERT_LE(model_state.mixed(k), 1 + 0x1p-23f) << "step " << j;
    const unsigned c = model_state.context();
    model->update(data[j]);
    for (unsigned k = 0; k < 256; ++k) {
      row[0][k] = model_state.order0_slow(k);
      row[1][k] = model_state.order0_fast(k);
      row[2][k] = model_state.order1_slow(c, k);
      row[3][k] = model_state.order1_fast(c, k);
      // The kernels skip the blocks the occupancy mask leaves out: every
      // nonzero order-1 count must lie in a marked block.
      if (row[2][k] != 0 || row[3][k] != 0) {
        ASSERT_NE(model_state.occupied(c) & kernels::occupancy_bit(k), 0) << "context " << c << " byte " << k;
      }
    }
    check_row(row[0], model_state.sum_order0_slow(), "order0_slow", j);
    check_row(row[1], model_state.sum_order0_fast(), "order0_fast", j);
    check_row(row[2], model_state.sum_order1_slow(c), "order1_slow", j);
    check_row(row[3], model_state.sum_order1_fast(c), "order1_fast", j);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(ModelFacts, CountsAndSumsOnCorpusText) {
  run_and_check(test::read_corpus("book1", 65536));
}

// The largest counts and sums: one byte value for a long time, so that its
// slow count approaches 2048, then new bytes against the saturated rows.
TEST(ModelFacts, CountsAndSumsOnLongRuns) {
  std::vector<std::uint8_t> data(40000, 'a');
  for (int v = 0; v < 256; ++v) data.push_back(static_cast<std::uint8_t>(v));
  data.insert(data.end(), 20000, 0);
  run_and_check(data);
}

}  // namespace
}  // namespace bytemix
