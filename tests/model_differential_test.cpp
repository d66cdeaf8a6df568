// The fast ByteModel against the literal one, step by step: identical
// frequency tables, running sums, mixed values, weights and costs, on corpus
// files and on generated data. Run once per vector path (BYTEMIX_SIMD).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model/byte_model.h"
#include "model/kernels/kernels.h"
#include "model/reference/literal_byte_model.h"
#include "tests/corpus.h"
#include "tests/kernel_paths.h"
#include "tests/model_view.h"

namespace bytemix {
namespace {

using test::read_corpus;

class ModelDifferential : public ::testing::Test {
 protected:
  void SetUp() override { test::require_requested_path(); }

  // Drives both models with `data` and compares everything each step.
  void run(const std::vector<std::uint8_t>& data) {
    auto fast = std::make_unique<ByteModel>();
    const ByteModelView fast_state(*fast);
    auto literal = std::make_unique<LiteralByteModel>();
    for (std::size_t j = 0; j < data.size(); ++j) {
      const FrequencyTable& f = fast->predict();
      const FrequencyTable& l = literal->predict();
      ASSERT_EQ(f.total, l.total) << "byte " << j;
      ASSERT_EQ(0, std::memcmp(f.freq, l.freq, sizeof f.freq)) << "byte " << j;
      ASSERT_EQ(0, std::memcmp(f.block_cum, l.block_cum, sizeof f.block_cum)) << "byte " << j;
      for (unsigned k = 0; k < 256; ++k) fast_row[k] = fast_state.mixed(k), literal_row[k] = literal->mixed(k);
      ASSERT_TRUE(same(fast_row, literal_row)) << "mixed values, byte " << j;

      const unsigned c = fast_state.context();
      const unsigned x = data[j];
      fast->update(x);
      literal->update(x);
      ASSERT_EQ(bits(fast_state.weight_order0()), bits(literal->weight_order0())) << "byte " << j;
      ASSERT_EQ(bits(fast_state.weight_order1(c)), bits(literal->weight_order1(c))) << "byte " << j;
      ASSERT_EQ(bits(fast_state.weight_final(c)), bits(literal->weight_final(c))) << "byte " << j;
      for (unsigned i = 0; i < kCandidates; ++i) {
        fast_row[i] = fast_state.cost_order0(i), literal_row[i] = literal->cost_order0(i);
        fast_row[64 + i] = fast_state.cost_order1(c, i), literal_row[64 + i] = literal->cost_order1(c, i);
        fast_row[128 + i] = fast_state.cost_final(c, i), literal_row[128 + i] = literal->cost_final(c, i);
        fast_row[192 + i] = literal_row[192 + i] = 0;
      }
      ASSERT_TRUE(same(fast_row, literal_row)) << "costs, byte " << j;
      for (unsigned k = 0; k < 256; ++k) fast_row[k] = fast_state.order0_slow(k), literal_row[k] = literal->order0_slow(k);
      ASSERT_TRUE(same(fast_row, literal_row)) << "order0_slow, byte " << j;
      for (unsigned k = 0; k < 256; ++k) fast_row[k] = fast_state.order0_fast(k), literal_row[k] = literal->order0_fast(k);
      ASSERT_TRUE(same(fast_row, literal_row)) << "order0_fast, byte " << j;
      for (unsigned k = 0; k < 256; ++k) fast_row[k] = fast_state.order1_slow(c, k), literal_row[k] = literal->order1_slow(c, k);
      ASSERT_TRUE(same(fast_row, literal_row)) << "order1_slow, byte " << j;
      for (unsigned k = 0; k < 256; ++k) fast_row[k] = fast_state.order1_fast(c, k), literal_row[k] = literal->order1_fast(c, k);
      ASSERT_TRUE(same(fast_row, literal_row)) << "order1_fast, byte " << j;
    }
  }

  float fast_row[256], literal_row[256];

  // Drives a model through predict_lagged() next to one through predict():
  // every table, settled at once, at the next byte, by settle() before the
  // update (every seventh open one, as a decoder that cannot use the
  // estimate) or after the last byte, is the plain model's; an open table's
  // estimate lies within one of the plain one where it is marked. Returns the number of open tables.
  int run_lagged(const std::vector<std::uint8_t>& data) {
    auto plain = std::make_unique<ByteModel>();
    auto lagged = std::make_unique<ByteModel>();
    FrequencyTable waiting{};
    int open = 0;
    auto expect_same = [](const FrequencyTable& a, const FrequencyTable& b, std::size_t j) {
      EXPECT_EQ(0, std::memcmp(a.freq, b.freq, sizeof a.freq)) << "byte " << j;
      EXPECT_EQ(a.total, b.total) << "byte " << j;
      EXPECT_EQ(0, std::memcmp(a.block_cum, b.block_cum, sizeof a.block_cum)) << "byte " << j;
    };
    for (std::size_t j = 0; j < data.size(); ++j) {
      const FrequencyTable& p = plain->predict();
      const ByteModel::LaggedTables t = lagged->predict_lagged();
      if (j > 0 && (t.settled_previous != nullptr) != (waiting.total != 0)) ADD_FAILURE() << "byte " << j;
      if (t.settled_previous != nullptr) expect_same(*t.settled_previous, waiting, j - 1);
      waiting.total = 0;
      if (t.current != nullptr) {
        expect_same(*t.current, p, j);
      } else {
        ++open;
        const std::uint64_t* marked;
        const FrequencyTable& estimate = lagged->open_estimate(marked);
        std::uint32_t sum = 0;
        for (unsigned k = 0; k < 256; ++k) {
          if (k % FrequencyTable::kBlock == 0) {
            EXPECT_EQ(estimate.block_cum[k / FrequencyTable::kBlock], sum);
          }
          sum += static_cast<std::uint32_t>(estimate.freq[k]);
          const int off = p.freq[k] - estimate.freq[k];
          if (marked[k / 64] >> (k % 64) & 1) {
            EXPECT_TRUE(off >= -1 && off <= 1) << "byte " << j << " k " << k;
          } else {
            EXPECT_EQ(off, 0) << "byte " << j << " k " << k;
          }
        }
        EXPECT_EQ(estimate.total, sum);
        if (open % 7 == 0) {
          expect_same(*lagged->settle(), p, j);
        } else {
          waiting = p;
        }
      }
      plain->update(data[j]);
      lagged->update(data[j]);
    }
    const FrequencyTable* last = lagged->settle();
    EXPECT_EQ(last != nullptr, waiting.total != 0);
    if (last != nullptr) expect_same(*last, waiting, data.size() - 1);
    return open;
  }

  static bool same(const float* a, const float* b) { return std::memcmp(a, b, 256 * sizeof(float)) == 0; }

  static std::uint32_t bits(float v) {
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  }
};

// Prefixes keep each path's run to a few seconds; book1 is the file whose
// compressed bytes are pinned, the others differ in kind (binary, image,
// source, tables).
constexpr std::size_t kPrefix = 48 * 1024;

TEST_F(ModelDifferential, Book1) {
  const auto data = read_corpus("book1", 256 * 1024);
  run(data);
}

// Text leaves most blocks of bytes unseen; once frozen, those the model
// marks as equal hold one slow and one fast count throughout (checked every
// 1024 bytes), so that their mixed values are equal. A block where a few
// bytes came early and then, like the rest, not for a long while is frozen
// but not equal: its counts decayed to the floor from other values.
TEST_F(ModelDifferential, EqualBlocksHoldEqualCounts) {
  std::vector<std::uint8_t> early_then_letters(48 * 1024);
  std::mt19937 rng(13);
  for (auto& b : early_then_letters) b = static_cast<std::uint8_t>('a' + rng() % 26);
  early_then_letters[100] = 200;
  early_then_letters[500] = early_then_letters[900] = 201;
  for (const auto& data : {read_corpus("book1", kPrefix), early_then_letters}) {
      auto model = std::make_unique<ByteModel>();
      const ByteModelView model_state(*model);
    int marked = 0;
    for (std::size_t j = 0; j < data.size(); ++j) {
      model->predict();
      model->update(data[j]);
      if (j % 1024 != 0) continue;
      for (unsigned b = 0; b < 16; ++b) {
        if ((model_state.order0_equal() >> b & 1) == 0) continue;
        ++marked;
        for (unsigned k = 16 * b; k < 16 * b + 16; ++k) {
          ASSERT_EQ(bits(model_state.order0_slow(k)), bits(model_state.order0_slow(16 * b))) << "byte " << j;
          ASSERT_EQ(bits(model_state.order0_fast(k)), bits(model_state.order0_fast(16 * b))) << "byte " << j;
        }
      }
    }
    EXPECT_GT(marked, 100);
  }
  run(early_then_letters);
}

TEST_F(ModelDifferential, LaggedTablesAreThePlainOnes) {
  const auto data = read_corpus("book1", kPrefix);
  ASSERT_FALSE(data.empty());
  // A kernel whose mix returns the index-order total leaves no table open.
  if (kernels::active().mix_total_is_ordered)
    EXPECT_EQ(run_lagged(data), 0);
  else
    EXPECT_GT(run_lagged(data), 1000);
  std::mt19937 rng(5);
  std::vector<std::uint8_t> noise(20000);
  for (auto& b : noise) b = static_cast<std::uint8_t>(rng() % 7 == 0 ? rng() : rng() % 4);
  run_lagged(noise);
}

TEST_F(ModelDifferential, CorpusPrefixes) {
  for (const char* name : {"pic", "geo", "obj1", "obj2", "progc", "trans"}) {
    SCOPED_TRACE(name);
    const auto data = read_corpus(name, kPrefix);
    ASSERT_FALSE(data.empty());
    run(data);
  }
}

TEST_F(ModelDifferential, UniformRandom) {
  std::mt19937 rng(11);
  std::vector<std::uint8_t> data(32768);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  run(data);
}

// Geometric bytes: a few values common, most rare, so counts span the whole
// range from the decay floor to near the maximum.
TEST_F(ModelDifferential, SkewedRandom) {
  std::mt19937 rng(12);
  std::geometric_distribution<int> g(0.3);
  std::vector<std::uint8_t> data(32768);
  for (auto& b : data) b = static_cast<std::uint8_t>(g(rng) & 0xFF);
  run(data);
}

// Long runs drive counts to their maximum and others to the floor; a byte
// never seen before after such a run meets an empty row, zero probabilities
// and the rounding residue of the last candidate.
TEST_F(ModelDifferential, RunsThenNovelBytes) {
  std::vector<std::uint8_t> data;
  for (int v = 0; v < 256; v += 37) {
    data.insert(data.end(), 6000, static_cast<std::uint8_t>(v));
    data.push_back(static_cast<std::uint8_t>(255 - v));
    data.push_back(static_cast<std::uint8_t>(v ^ 0x55));
  }
  run(data);
}

// Every byte value, in order and in every context, then shuffled.
TEST_F(ModelDifferential, AllValues) {
  std::vector<std::uint8_t> data;
  for (int r = 0; r < 40; ++r)
    for (int v = 0; v < 256; ++v) data.push_back(static_cast<std::uint8_t>((v * (2 * r + 1)) & 0xFF));
  run(data);
}

TEST_F(ModelDifferential, EmptyAndTiny) {
  run({});
  run({0x00});
  run({0x00, 0xFF});
  run({0x61, 0x61, 0x61, 0x00});
}

}  // namespace
}  // namespace bytemix
