// Each vector path's kernels against the literal scalar steps, on inputs
// chosen to reach their rare branches: skipped blocks of the order-1 rows,
// halfway products in the frequencies, counts at the decay floor, zero and
// equal probabilities, ties and loose or unknown estimates in the selector.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "model/kernels/kernel_common.h"
#include "model/kernels/kernels.h"
#include "model/ln/ln.h"
#include "model/ln/ln_estimate.h"
#include "model/kernels/selection_settle.h"
#include "model/reference/literal_byte_model.h"

namespace bytemix {
namespace {

template <class T>
bool same_bits(T a, T b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The occupancy mask of two order-1 rows: the blocks holding a nonzero count.
std::uint16_t occupancy(const float* o1s, const float* o1f) {
  std::uint16_t mask = 0;
  for (unsigned k = 0; k < 256; ++k)
    if (o1s[k] != 0 || o1f[k] != 0) mask |= kernels::occupancy_bit(k);
  return mask;
}

// A count as the model can hold it: 0, or a float in [2^-11, 2^12).
float random_count(std::mt19937& rng) {
  const int kind = static_cast<int>(rng() % 8);
  if (kind == 0) return 0;
  if (kind == 1) {
    // Few significant bits: halfway cases in the running total.
    return std::ldexp(static_cast<float>(1 + rng() % 8), static_cast<int>(rng() % 22) - 13);
  }
  std::uniform_real_distribution<float> exponent(-11, 11.9f);
  return std::exp2(exponent(rng));
}

TEST(ModelKernels, MixMatchesLiteralValues) {
  std::mt19937 rng(21);
  alignas(64) float o1s[256], o1f[256], o0f[256], o0s[256], mixed[256], expect[256];
  alignas(64) double expect_m[256];
  for (int trial = 0; trial < 4000; ++trial) {
    for (int k = 0; k < 256; ++k) {
      o1s[k] = random_count(rng), o1f[k] = random_count(rng);
      o0f[k] = random_count(rng), o0s[k] = random_count(rng);
    }
    if (trial % 3 == 0) {
      // One large value among small ones: a total far from any one value.
      o0s[trial % 256] = 3000.0f;
    }
    // Blocks of zeros in both order-1 rows, as most contexts have them.
    const std::uint16_t empty = static_cast<std::uint16_t>(trial % 2 == 0 ? rng() : 0);
    for (int k = 0; k < 256; ++k)
      if (empty >> (k / kernels::kOccupancyBlock) & 1) o1s[k] = o1f[k] = 0;
    const std::uint16_t occupied = occupancy(o1s, o1f);
    // Some empty blocks made equal: one slow and one fast count throughout
    // (as the model flags frozen blocks of unseen bytes).
    std::uint16_t equal = 0;
    if (trial % 3 != 2)
      for (unsigned j = 0; j < 16; ++j) {
        if ((occupied >> j & 1) != 0 || rng() % 2 == 0) continue;
        equal |= static_cast<std::uint16_t>(1u << j);
        for (unsigned k = 16 * j + 1; k < 16 * j + 16; ++k) o0s[k] = o0s[16 * j], o0f[k] = o0f[16 * j];
      }
    double coef[4];
    for (double& c : coef) c = rng() % 4 == 0 ? 0.0 : std::ldexp(static_cast<double>(rng()), -40);
    if (trial % 5 == 0) coef[0] = 1.0, coef[1] = coef[2] = coef[3] = 0;  // m = o1s exactly
    // Values beyond the float range: their floats are infinite, as a
    // conversion makes them (not the largest float).
    if (trial % 7 == 6) coef[3] = 0x1p120;
    double total = 0;
    for (int k = 0; k < 256; ++k) {
      const double m = ((o1s[k] * coef[0] + o1f[k] * coef[1]) + o0f[k] * coef[2]) + o0s[k] * coef[3];
      expect[k] = static_cast<float>(m);
      expect_m[k] = m;
      total += m;
    }
    ASSERT_TRUE(same_bits(kernels::ordered_total(expect_m), total));
    // Without order-0 shares the total skips the blocks of +0.
    ASSERT_TRUE(same_bits(kernels::ordered_total(expect_m, kernels::live_blocks(coef, occupied)), total));
    // The equal blocks' sixteen additions in one step where exact: the same bits.
    ASSERT_TRUE(same_bits(kernels::ordered_total(expect_m, 0xFFFF, equal), total));
    for (const kernels::Table* t : kernels::runnable()) {
      // The blocks the mask leaves out are skipped; a full mask must give
      // the same values.
      for (const std::uint16_t mask : {occupied, std::uint16_t{0xFFFF}}) {
        alignas(64) double m[256];
        // The mix carries another table's index-order total along (here
        // one of the same values, from a copy): whatever it leaves, the
        // total comes out with the same bits as the plain chain.
        alignas(64) double carried[256];
        std::memcpy(carried, expect_m, sizeof carried);
        kernels::OrderedTotal carry;
        kernels::start_total(carry, carried, mask, equal);
        const double got = t->mix(o1s, o1f, o0f, o0s, coef, mixed, m, mask, equal, carry);
        ASSERT_TRUE(same_bits(kernels::finish_total(carry), kernels::ordered_total(expect_m, mask))) << t->name;
        // Any order of addition: within 2 * 255 u of the index-order total.
        ASSERT_LE(std::abs(got - total), 0x1p-44 * total) << t->name << " trial " << trial;
        ASSERT_TRUE(!t->mix_total_is_ordered || same_bits(got, total)) << t->name << " trial " << trial;
        ASSERT_EQ(0, std::memcmp(mixed, expect, sizeof mixed)) << t->name << " trial " << trial;
        ASSERT_EQ(0, std::memcmp(m, expect_m, sizeof m)) << t->name << " trial " << trial;
      }
    }
  }
}

// Sixteen additions of one value in one step: whenever the step is taken it
// gives the chain's bits, and it is taken in most cases where the total
// lies in one binade throughout, but never on a tie (a value half-way
// between two multiples of the spacing, where the chain rounds by parity).
TEST(ModelKernels, EqualValuesAddedInOneStepOnlyWhereExact) {
  std::mt19937_64 rng(31);
  int taken = 0, ties = 0, trials = 0;
  for (; trials < 200000; ++trials) {
    // A total as the chain meets it (mostly below 1), or an edge case.
    double s = std::ldexp(1.0 + static_cast<double>(rng() >> 11) * 0x1p-53, static_cast<int>(rng() % 64) - 60);
    if (trials % 97 == 0) s = 0;
    if (trials % 89 == 0) s = 0x1p-1060;  // subnormal
    const int e = std::ilogb(s == 0 ? 1 : s);
    const double gap = std::ldexp(1.0, e - 52);
    double m;
    switch (trials % 6) {
      case 0:  // a few spacings and a fraction of one, often a half
        m = gap * static_cast<double>(rng() % 40) +
            (rng() % 2 == 0 ? gap / 2 : gap * std::ldexp(static_cast<double>(rng() % 256), -8));
        break;
      case 1:  // tiny against the spacing
        m = gap * std::ldexp(static_cast<double>(rng() % 1000), -12);
        break;
      case 2:  // comparable with the total: the binade is left
        m = s * std::ldexp(static_cast<double>(rng() % 1000 + 1), -12);
        break;
      case 3:
        m = rng() % 4 == 0 ? 0.0 : s * 3;
        break;
      default:  // a random value below the total
        m = std::ldexp(static_cast<double>(rng() >> 11), -53 - static_cast<int>(rng() % 40)) * s;
    }
    double chain = s;
    for (int k = 0; k < 16; ++k) chain += m;
    double step = s;
    const bool tie = s != 0 && std::fmod(m, gap) == gap / 2;
    ties += tie;
    if (kernels::add_equal_values(step, m)) {
      ++taken;
      ASSERT_TRUE(same_bits(step, chain)) << std::hexfloat << s << " + 16 x " << m;
      ASSERT_FALSE(tie) << std::hexfloat << s << " + 16 x " << m;
    } else {
      ASSERT_TRUE(same_bits(step, s)) << "a refused step leaves the total";
    }
  }
  EXPECT_GT(taken, trials / 3);
  EXPECT_GT(ties, trials / 50);
}

TEST(ModelKernels, FrequenciesMatchLiteralConversion) {
  std::mt19937 rng(22);
  alignas(64) float mixed[256];
  for (int trial = 0; trial < 2000; ++trial) {
    double total = 0;
    for (float& v : mixed) {
      v = rng() % 5 == 0 ? 0.0f : std::ldexp(static_cast<float>(rng() % 100000), -24);
      total += v;
    }
    // Halfway products: scale a power of two, mixed values with one
    // fraction bit below the integer.
    if (trial % 4 == 0)
      for (float& v : mixed) v = std::ldexp(static_cast<float>(rng() % 64) + 0.5f, -23), total = 1;
    // Mixed values of 24 significant bits that sum to about 1, at the scale
    // 2^23: exact halves among the large products, as in the model.
    if (trial % 4 == 1) {
      for (float& v : mixed) {
        const double quarters = rng() % 65536 + (rng() % 2 ? 0.5 : 0.0) + (rng() % 4 == 0 ? 0.25 : 0.0);
        v = rng() % 3 == 0 ? 0.0f : static_cast<float>(std::ldexp(quarters, -23));
      }
      if (trial % 8 == 1) mixed[rng() % 256] = 0.5f + 0x1p-24f;  // a product of 2^22 + 1/2
      total = 1;
    }
    const double scale = trial % 97 == 0 ? 0.0 : (trial % 4 <= 1 ? 8388608.0 : 8388608.0 / total);
    FrequencyTable expect{};
    std::uint32_t sum = 0;
    for (int k = 0; k < 256; ++k) {
      std::int32_t f = kernels::round_to_nearest_even(scale * mixed[k]);
      expect.freq[k] = f < 1 ? 1 : f;
      if (k % FrequencyTable::kBlock == 0) expect.block_cum[k / FrequencyTable::kBlock] = sum;
      sum += static_cast<std::uint32_t>(expect.freq[k]);
    }
    expect.block_cum[256 / FrequencyTable::kBlock] = expect.total = sum;
    // A product within the margin of a half-integer: then the kernels must
    // refuse to decide when given the margin.
    auto near_half = [&](int k, double margin) {
      const double y = scale * mixed[k];
      return std::abs(std::abs(y - std::nearbyint(y)) - 0.5) < margin;
    };
    for (const kernels::Table* t : kernels::runnable()) {
      // At the scale 2^23 the vector paths may work in float lanes.
      for (const double margin : {0.0, kernels::kHalfwayMargin, kernels::kUnitScaleMargin}) {
        bool any_near = false;
        for (int k = 0; k < 256; ++k) any_near |= near_half(k, margin);
        FrequencyTable got{};
        std::uint64_t undecided[4] = {};
        const bool decided = t->frequencies(mixed, scale, margin, got, undecided);
        ASSERT_EQ(decided, !any_near) << t->name << " trial " << trial;
        ASSERT_EQ(0, std::memcmp(got.freq, expect.freq, sizeof got.freq)) << t->name;
        if (!decided) {
          // Exactly the lanes near a half-integer are marked.
          for (int k = 0; k < 256; ++k) {
            ASSERT_EQ(near_half(k, margin), (undecided[k / 64] >> (k % 64) & 1) != 0)
                << t->name << " k=" << k;
          }
        }
        // Decided or not, the sums are those of the frequencies written.
        ASSERT_EQ(got.total, expect.total) << t->name;
        ASSERT_EQ(0, std::memcmp(got.block_cum, expect.block_cum, sizeof got.block_cum)) << t->name;
      }
    }
  }
}

TEST(ModelKernels, DecayMatchesDoubleProductsAndSums) {
  std::mt19937 rng(23);
  // Floats on both sides of 0.001, each decayed under both constants.
  std::vector<float> near_floor;
  for (float v = 0.00095f; v < 0.00105f; v = std::nextafter(v, 1.0f)) near_floor.push_back(v);
  std::size_t next = 0;
  alignas(64) float rows[4][256], expect[4][256];
  const double decays[4] = {0.99951171875, 0.9033203125, 0.99951171875, 0.9033203125};
  for (int trial = 0; trial < 3000; ++trial) {
    double sums[4] = {0, 0, 0, 0};
    // Blocks of zeros in both order-1 rows; blocks of both order-0 rows at
    // or below the floor, which the decay may be told to skip (and then
    // leaves out of the sums).
    const std::uint16_t empty = static_cast<std::uint16_t>(trial % 2 == 0 ? rng() : 0);
    const std::uint16_t at_floor = static_cast<std::uint16_t>(trial % 3 == 0 ? rng() : 0);
    const std::uint16_t order0_live = static_cast<std::uint16_t>(~at_floor);
    double live_sums[2] = {0, 0};
    for (int r = 0; r < 4; ++r)
      for (int k = 0; k < 256; ++k) {
        const int block = k / kernels::kOccupancyBlock;
        float v = random_count(rng);
        if (k % 2 == 0) v = near_floor[next++ % near_floor.size()];
        if (r < 2 && (empty >> block & 1)) v = 0;
        if (r >= 2 && (at_floor >> block & 1)) v = std::min(v, k % 3 == 0 ? 0.0f : kernels::kDecayFloorF);
        rows[r][k] = v;
        expect[r][k] = static_cast<double>(v) > 0.001 ? static_cast<float>(v * decays[r]) : v;
        sums[r] += expect[r][k];
        if (r >= 2 && (order0_live >> block & 1)) live_sums[r - 2] += expect[r][k];
      }
    const std::uint16_t occupied = occupancy(rows[0], rows[1]);
    for (const kernels::Table* t : kernels::runnable()) {
      for (const std::uint16_t mask : {occupied, std::uint16_t{0xFFFF}}) {
        for (const std::uint16_t live : {std::uint16_t{0xFFFF}, order0_live}) {
          alignas(64) float work[4][256];
          std::memcpy(work, rows, sizeof work);
          double got[4];
          // A total carried through the decay, over the rows' values.
          alignas(64) double carried[256];
          for (int k = 0; k < 256; ++k) carried[k] = static_cast<double>(rows[2][k]) * 0x1p-9 + rows[3][k];
          kernels::OrderedTotal carry;
          kernels::start_total(carry, carried, live);
          t->decay(work[0], work[1], work[2], work[3], got, mask, live, carry);
          ASSERT_TRUE(same_bits(kernels::finish_total(carry), kernels::ordered_total(carried, live))) << t->name;
          ASSERT_EQ(0, std::memcmp(work, expect, sizeof work)) << t->name << " trial " << trial;
          for (int r = 0; r < 4; ++r) {
            const double want = r >= 2 && live != 0xFFFF ? live_sums[r - 2] : sums[r];
            ASSERT_TRUE(same_bits(got[r], want)) << t->name << " row " << r;
          }
        }
      }
    }
  }
}

TEST(ModelKernels, SelectWeightMatchesLiteral) {
  std::mt19937 rng(24);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const float decays[3] = {0.9765625f, 0.98828125f, 0.984375f};
  for (int trial = 0; trial < 20000; ++trial) {
    float a = unit(rng), b = unit(rng);
    switch (trial % 8) {
      case 0: a = 0; break;
      case 1: b = 0; break;
      case 2: a = b = 0; break;
      case 3: b = a; break;
      case 4:
        // Far apart, up to and past the ratio where every blend's
        // estimate still has a bound from the smaller probability alone.
        switch (trial / 8 % 5) {
          case 0: a = std::ldexp(a, -30); break;
          case 1: a = std::ldexp(b, -42); break;
          case 2: b = std::ldexp(a, -42); break;
          case 3: b = std::ldexp(a, -41); break;
          default: b = std::ldexp(a, -43); break;
        }
        break;
      case 5: b = std::ldexp(b, -20), a = std::nextafter(b, 1.0f); break;
      case 6:
        // A very predictable file: blends near 1, costs near 0, often equal.
        a = 1 - std::ldexp(a, -10);
        b = trial % 3 == 0 ? a : trial % 3 == 1 ? 1.0f : 1 - std::ldexp(b, -12);
        break;
      default: break;
    }
    float costs[kCandidates];
    const float cost_scale = trial % 8 == 6 ? std::ldexp(1.0f, -static_cast<int>(rng() % 30)) : 40;
    for (float& c : costs) c = trial % 7 == 0 ? 0.0f : unit(rng) * cost_scale;
    if (trial % 8 == 6 && trial % 5 == 0) {
      for (int i = 0; i < kCandidates; ++i) costs[i] = costs[i / 16 * 16];
    }
    if (trial % 11 == 0) costs[rng() % kCandidates] = 65535.0f * 60;
    const float d = decays[trial % 3];
    float expect_costs[kCandidates];
    std::memcpy(expect_costs, costs, sizeof costs);
    const double expect = WeightSelector::select_weight(a, b, expect_costs, d);
    for (const kernels::Table* t : kernels::runnable()) {
      float got_costs[kCandidates];
      std::memcpy(got_costs, costs, sizeof costs);
      const double got = t->select_weight(a, b, got_costs, d);
      ASSERT_TRUE(same_bits(got, expect)) << t->name << " a=" << a << " b=" << b;
      ASSERT_EQ(0, std::memcmp(got_costs, expect_costs, sizeof costs)) << t->name << " a=" << a << " b=" << b;
    }
  }
}

// The selection from estimates: whatever the estimates and their bounds
// (exact, loose, tight or unknown), as long as each bound holds, the stored
// floats and the chosen weight are the selector's own.
TEST(ModelKernels, SettleSelectionGivesTheExactSelection) {
  std::mt19937 rng(25);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_real_distribution<double> spread(-0.5, 0.5);
  const float decays[3] = {0.9765625f, 0.98828125f, 0.984375f};
  for (int trial = 0; trial < 20000; ++trial) {
    float a = unit(rng), b = unit(rng);
    switch (trial % 6) {
      case 0: a = 0; break;
      case 1: b = 0; break;
      case 2: a = b = 0; break;
      case 3: b = a; break;
      default: break;
    }
    float costs[kCandidates];
    for (float& c : costs) c = unit(rng) * 40;
    if (trial % 5 == 0) {
      // Runs of equal costs: ties, and with a = b ties that survive the
      // blend.
      for (int i = 0; i < kCandidates; ++i) costs[i] = costs[i / 16 * 16];
    }
    const float d = decays[trial % 3];
    // The exact costs, as the selector forms them.
    double exact[kCandidates];
    double x[kCandidates];
    kernels::accumulate_candidates(a, b, x);
    for (int i = 0; i < kCandidates; ++i) {
      double y = ln(x[i]);
      if ((i == 0 || i == kCandidates - 1) && !(x[i] > 0)) y = -kZeroProbabilityCost;
      exact[i] = a == 0 && b == 0 ? costs[i] * static_cast<double>(d)
                                  : costs[i] * static_cast<double>(d) - y;
    }
    double c[kCandidates], err[kCandidates];
    const int kind = trial % 4;
    for (int i = 0; i < kCandidates; ++i) {
      const int lane_kind = kind == 3 ? static_cast<int>(rng() % 3) : kind;
      if (lane_kind == 0) {
        c[i] = exact[i], err[i] = 0;
      } else if (lane_kind == 1) {
        err[i] = std::ldexp(std::abs(exact[i]), -static_cast<int>(10 + rng() % 36)) + 0x1p-60;
        c[i] = exact[i] + err[i] * spread(rng);
      } else {
        c[i] = 0, err[i] = INFINITY;
      }
    }
    float expect_costs[kCandidates], got_costs[kCandidates];
    std::memcpy(expect_costs, costs, sizeof costs);
    std::memcpy(got_costs, costs, sizeof costs);
    const double expect = WeightSelector::select_weight(a, b, expect_costs, d);
    const double got = kernels::settle_selection(a, b, got_costs, d, c, err);
    ASSERT_TRUE(same_bits(got, expect)) << "trial " << trial;
    ASSERT_EQ(0, std::memcmp(got_costs, expect_costs, sizeof costs)) << "trial " << trial;
  }
}

// The kernels' error bound on an estimated cost (model/kernels/selection_settle.h)
// holds with the margin its derivation claims, 1.4 over the error, for the
// blends formed with two roundings or with one (fused), taking the least
// reciprocal a kernel may use. Probabilities of every kind the model
// forms: near 1 with costs near 0 (where the bound is tightest against the
// float spacing), far apart, tiny, and one of them 0.
TEST(ModelKernels, CostEstimatesStayWithinTheirBound) {
  std::mt19937 rng(26);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  double worst = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    float a = unit(rng), b = unit(rng);
    switch (trial % 6) {
      case 0: a = 1 - std::ldexp(a, -10), b = 1 - std::ldexp(b, -10); break;
      case 1: b = 1, a = 1 - std::ldexp(a, -12); break;
      case 2: a = std::ldexp(a, -static_cast<int>(rng() % 42)); break;
      case 3: b = 0; break;
      case 4: a = std::ldexp(a, -100), b = std::ldexp(b, -100); break;
      default: break;
    }
    const float d = 0.98828125f;
    float costs[kCandidates];
    for (float& c : costs) c = trial % 2 == 0 ? unit(rng) * 0.01f : unit(rng) * 300;
    double x[kCandidates];
    kernels::accumulate_candidates(a, b, x);
    const double fa = a, fb = b;
    const double step = (fb - fa) * kCandidateStep;
    const double delta = kernels::blend_slack(fa, fb);
    for (int i = 0; i < kCandidates; ++i) {
      const double p = costs[i] * static_cast<double>(d);
      for (const double estimated : {fa + i * step, std::fma(static_cast<double>(i), step, fa)}) {
        // Lanes outside the domain are settled exactly by the kernels.
        if (!(estimated > 4 * delta) || !ln_estimate_domain(estimated)) continue;
        const double exact = p - ln(x[i]);
        const double l = ln_estimate(estimated);
        const double c = p - l;
        const double err = kernels::kCostSlack * (std::abs(c) + std::abs(l) + 1) +
                           delta * ((1 - 0x1p-11) / estimated);
        const double ratio = std::abs(c - exact) / err;
        worst = std::max(worst, ratio);
        ASSERT_LE(ratio * 1.4, 1.0) << "trial " << trial << " a=" << a << " b=" << b << " i=" << i;
      }
    }
  }
  // Nor is the bound far above the errors (about 4 times the largest here).
  EXPECT_GT(worst, 1e-2);
}

// Equal probabilities outside the model's range as well: the selector's own
// results (an infinite a = b makes the step NaN, not a shared logarithm).
TEST(ModelKernels, SelectWeightEqualProbabilitiesAtTheEdges) {
  for (const float p : {INFINITY, -1.0f, -0.0f, 0.0f, 0x1p-149f, 0x1p-126f, 1.0f, 3.0f}) {
    float costs[kCandidates];
    for (int i = 0; i < kCandidates; ++i) costs[i] = static_cast<float>((i * 37) % 64) * 0.25f;
    float expect_costs[kCandidates];
    std::memcpy(expect_costs, costs, sizeof costs);
    const double expect = WeightSelector::select_weight(p, p, expect_costs, 0.984375f);
    for (const kernels::Table* t : kernels::runnable()) {
      float got_costs[kCandidates];
      std::memcpy(got_costs, costs, sizeof costs);
      const double got = t->select_weight(p, p, got_costs, 0.984375f);
      EXPECT_TRUE(same_bits(got, expect)) << t->name << " a = b = " << p;
      EXPECT_EQ(0, std::memcmp(got_costs, expect_costs, sizeof costs)) << t->name << " a = b = " << p;
    }
  }
}

// Equal costs: the lowest index wins, on every path.
TEST(ModelKernels, SelectWeightTiesGoToLowestIndex) {
  for (const kernels::Table* t : kernels::runnable()) {
    float costs[kCandidates];
    for (float& c : costs) c = 5.0f;
    EXPECT_EQ(t->select_weight(0, 0, costs, 0.984375f), 0.0) << t->name;
    for (float& c : costs) c = 5.0f;
    costs[17] = costs[40] = 1.0f;
    EXPECT_EQ(t->select_weight(0, 0, costs, 0.984375f), 17 * kCandidateStep) << t->name;
  }
}

}  // namespace
}  // namespace bytemix
