// The byte model's kernels (the contracts are in model/kernels/kernels.h),
// written once on Highway's portable vector operations and compiled by one
// translation unit per target (avx512.cpp, avx2.cpp, sse4.cpp, neon.cpp,
// scalar.cpp), each with its own instruction-set flags (CMakeLists.txt).
// Everything here lives in that target's namespace, HWY_NAMESPACE. No
// include guard: each target's translation unit includes this file once.
//
// Every operation on the model's own values is a single IEEE operation
// (Add, Sub, Mul, Div, conversions, comparisons), so every target gives the
// bits of the scalar reading. MulAdd and MulSub, fused on some targets and
// not on others, appear only in the cost estimates of the selection (the
// logarithm's estimate and the blends it is taken of), whose proven error
// bounds hold for fused and unfused evaluation alike
// (model/ln/ln_estimate.h, model/kernels/selection_settle.h).
//
// Every symbol that a target's translation unit defines lies in a namespace
// of that target: its own functions in HWY_NAMESPACE, and Highway's too,
// as the translation unit names Highway's namespace `hwy` after itself
// (a macro) before including this file. Highway defines a few inline
// functions outside its per-target namespaces (type tags that select
// overloads), which a compiler may keep out of line; under one name for
// the whole program the linker could keep the copy compiled for AVX-512
// for a caller on a processor without it (see model/kernels/kernel_common.h
// for this project's own helpers, and tests/kernel_target_symbols.sh).
//
// Lane counts: N doubles (8 with AVX-512, 4 with AVX2, 2 with SSE4 and
// NEON, 1 for the scalar target), 2N floats and 32-bit integers except on
// the scalar target, which has one lane of each.

#include <cstdint>

// Highway's debug checks call hwy::Abort, which lives in its library; the
// programs link none. And no kernel needs the x86 AES and carry-less
// multiplication instructions, which Highway's SSE4 target would otherwise
// assume.
#define HWY_IS_DEBUG_BUILD 0
#define HWY_DISABLE_PCLMUL_AES
#include "hwy/highway.h"
#include "model/kernels/cpu_features.h"
#include "model/kernels/kernel_common.h"
#include "model/kernels/kernels.h"
#include "model/kernels/ordered_total.h"
#include "model/kernels/selection_settle.h"
#include "model/ln/ln_estimate.h"
#if HWY_TARGET == HWY_AVX3
#include "model/kernels/avx512_sixteenths-inl.h"
#endif

HWY_BEFORE_NAMESPACE();
namespace bytemix::kernels::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

using DD = hn::ScalableTag<double>;
using DF = hn::ScalableTag<float>;
using DI = hn::ScalableTag<std::int32_t>;
using VD = hn::Vec<DD>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
// As many floats or 32-bit integers as doubles: the doubles' conversions.
using DFn = hn::Rebind<float, DD>;
using DIn = hn::Rebind<std::int32_t, DD>;

constexpr int kDoubles = static_cast<int>(hn::MaxLanes(DD()));
constexpr int kFloats = static_cast<int>(hn::MaxLanes(DF()));
constexpr int kInts = static_cast<int>(hn::MaxLanes(DI()));
static_assert(kFloats == kInts && (kFloats == 2 * kDoubles || kFloats == 1));
static_assert(kOccupancyBlock % kFloats == 0 && FrequencyTable::kBlock % kInts == 0);

// ---------------------------------------------------------------------------
// Lane helpers

// The mask's lanes as the low bits of an integer, lane 0 lowest (at most 64
// lanes).
template <class D>
HWY_INLINE std::uint64_t mask_bits(D d, hn::Mask<D> m) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the first byte holds the lowest lanes");
  std::uint8_t bytes[8];
  const std::size_t n = hn::StoreMaskBits(d, m, bytes);
  std::uint64_t bits = 0;
  __builtin_memcpy(&bits, bytes, n);
  return bits;
}

// The kInts integers n of the sums s = 2^52 + n (0 <= n < 2^31) in lo
// (first) and hi: the low halves of their bits. The scalar target's one
// integer comes from lo.
HWY_INLINE VI ints_from_shifted(VD lo, VD hi) {
  const DI di;
#if HWY_TARGET == HWY_SCALAR
  (void)hi;
  const hn::RebindToUnsigned<DD> du;
  return hn::Set(di, static_cast<std::int32_t>(hn::GetLane(hn::BitCast(du, lo)) & 0xFFFFFFFF));
#else
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the low half of a 64-bit lane is its even 32-bit lane");
  return hn::ConcatEven(di, hn::BitCast(di, hi), hn::BitCast(di, lo));
#endif
}

// Each double lane rounded to float as a C++ conversion rounds it: beyond
// the float range, to infinity. (Highway's scalar DemoteTo saturates there
// instead, and the test for it keeps the compiler from vectorising the
// loops around it.)
HWY_INLINE hn::Vec<DFn> to_floats(VD v) {
#if HWY_TARGET == HWY_SCALAR
  return hn::Set(DFn(), static_cast<float>(hn::GetLane(v)));
#else
  return hn::DemoteTo(DFn(), v);
#endif
}

// ---------------------------------------------------------------------------
// Mix

// With one lane the model's own chain of additions costs less than an
// estimate in another order: that would cost a margin test of every
// product, and leave about half of all tables open (book1), their chains
// still to be added.
constexpr bool kMixTotalIsOrdered = kDoubles == 1;

double mix(const float* o1s, const float* o1f, const float* o0f, const float* o0s, const double coef[4],
           float* mixed, double* m, std::uint16_t occupied, std::uint16_t equal, OrderedTotal& carry) {
  const DD dd;
  const DFn dfn;
  const VD a1 = hn::Set(dd, coef[0]), b1 = hn::Set(dd, coef[1]);
  const VD b0 = hn::Set(dd, coef[2]), a0 = hn::Set(dd, coef[3]);
  auto widened = [dfn, dd](const float* p) { return hn::PromoteTo(dd, hn::LoadU(dfn, p)); };
  // One partial sum per vector of a block: the estimate of the total needs
  // no particular order.
  constexpr int kParts = kOccupancyBlock / kDoubles;
  VD part[kParts];
  HWY_UNROLL(16)  // not a call of memset: the sums stay in registers
  for (VD& p : part) p = hn::Zero(dd);
  for (int k = 0; k < 256; k += kOccupancyBlock) {
    add_total_block(carry);
    const int block = k / kOccupancyBlock;
    if (equal >> block & 1) {
      // Sixteen equal values, one computed (see Table::mix).
      const VD v = hn::Add(hn::Mul(hn::Set(dd, o0f[k]), b0), hn::Mul(hn::Set(dd, o0s[k]), a0));
      const auto f = to_floats(v);
      for (int i = 0; i < kParts; ++i) {
        hn::StoreU(v, dd, m + k + i * kDoubles);
        hn::StoreU(f, dfn, mixed + k + i * kDoubles);
        part[i] = hn::Add(part[i], v);
      }
      continue;
    }
    const bool full = occupied >> block & 1;
    for (int i = 0; i < kParts; ++i) {
      const int j = k + i * kDoubles;
      VD v = hn::Mul(widened(o0f + j), b0);
      if (full) v = hn::Add(hn::Add(hn::Mul(widened(o1s + j), a1), hn::Mul(widened(o1f + j), b1)), v);
      v = hn::Add(v, hn::Mul(widened(o0s + j), a0));
      hn::StoreU(v, dd, m + j);
      hn::StoreU(to_floats(v), dfn, mixed + j);
      part[i] = hn::Add(part[i], v);
    }
  }
  if constexpr (kMixTotalIsOrdered) return ordered_total(m, live_blocks(coef, occupied), equal);
  for (int n = kParts; n > 1; n /= 2)
    for (int i = 0; i < n / 2; ++i) part[i] = hn::Add(part[i], part[i + n / 2]);
  return hn::GetLane(hn::SumOfLanes(dd, part[0]));
}

// ---------------------------------------------------------------------------
// Frequencies

constexpr int kBlocks = 256 / FrequencyTable::kBlock;
constexpr int kVectorsPerBlock = FrequencyTable::kBlock / kInts;
// The frequencies' loops run over four words of 64 lanes, whose 16 blocks'
// sums stay in registers where the loops are unrolled whole; that pays with
// one or two vectors a block, not with more.
constexpr int kWordsUnrolled = kVectorsPerBlock <= 2 ? 4 : 1;

// total and block_cum from the blocks' frequencies added lane by lane
// (block[j] for block j). Each level of a tree adds neighbouring lanes of
// two vectors into one, keeping the blocks in order: after log2(kInts)
// levels each lane holds one block's sum; their running sums are the
// cumulative frequencies of the blocks that follow.
HWY_INLINE void finish_block_sums(VI block[kBlocks], FrequencyTable& table) {
  const DI di;
#if HWY_TARGET != HWY_SCALAR
  for (int n = kBlocks; n > kBlocks / kInts; n /= 2)
    for (int i = 0; i < n / 2; ++i)
      block[i] = hn::Add(hn::ConcatEven(di, block[2 * i + 1], block[2 * i]),
                         hn::ConcatOdd(di, block[2 * i + 1], block[2 * i]));
#endif
  alignas(64) std::int32_t sums[kBlocks];
  for (int i = 0; i < kBlocks / kInts; ++i) hn::Store(block[i], di, sums + i * kInts);
  std::uint32_t cum = 0;
  for (int j = 0; j < kBlocks; ++j) {
    table.block_cum[j] = cum;
    cum += static_cast<std::uint32_t>(sums[j]);
  }
  table.block_cum[kBlocks] = cum;
  table.total = cum;
}

// The float lanes pay where they are twice as many as the double lanes.
constexpr bool kUnitScaleInFloats = kFloats > kDoubles;

// True if no lane is marked near a half (bit k % 64 of near[k / 64] for
// lane k); otherwise copies the marks to undecided and returns false.
HWY_INLINE bool none_near(const std::uint64_t near[4], std::uint64_t undecided[4]) {
  if ((near[0] | near[1] | near[2] | near[3]) == 0) return true;
  for (int w = 0; w < 4; ++w) undecided[w] = near[w];
  return false;
}

// frequencies() for the scale kUnitScale = 2^23 in float lanes, where each
// product y = 2^23 mixed[k] is exact. For y <= 2^23, s = RN(2^23 + y) lies
// in [2^23, 2^24] and is 2^23 plus y rounded to the nearest integer, ties to
// even (2^23 is even), which is then s - 2^23, exactly; and the difference
// of the bits of s and of 2^23 is that integer too (also for s = 2^24). y -
// round(y) is exact, and so is near_half = 0.5 - margin. Returns false,
// with the table in any state and undecided untouched, if some product
// lies above 2^23 (a mixed value above 1, which the model hardly forms):
// then the double lanes decide.
HWY_INLINE bool frequencies_at_unit_scale(const float* mixed, float near_half, FrequencyTable& table,
                                          std::uint64_t undecided[4], bool& decided) {
  const DF df;
  const DI di;
  const VF unit = hn::Set(df, static_cast<float>(kUnitScale));
  const VI unit_bits = hn::BitCast(di, unit);
  const VF vnear = hn::Set(df, near_half);
  const VI one = hn::Set(di, 1);
  VF largest = hn::Zero(df);
  std::uint64_t near[4];
  VI block[kBlocks];
  HWY_UNROLL(kWordsUnrolled)
  for (int w = 0; w < 4; ++w) {
    std::uint64_t bits = 0;
    HWY_UNROLL(4)
    for (int j = 4 * w; j < 4 * w + 4; ++j) {
      VI sum = hn::Zero(di);
      for (int i = 0; i < kVectorsPerBlock; ++i) {
        const int k = FrequencyTable::kBlock * j + i * kInts;
        const VF y = hn::Mul(hn::LoadU(df, mixed + k), unit);
        const VF s = hn::Add(y, unit);
        largest = hn::Max(largest, y);
        bits |= mask_bits(df, hn::Gt(hn::Abs(hn::Sub(y, hn::Sub(s, unit))), vnear)) << (k % 64);
        const VI f = hn::Max(hn::Sub(hn::BitCast(di, s), unit_bits), one);
        hn::StoreU(f, di, table.freq + k);
        sum = hn::Add(sum, f);
      }
      block[j] = sum;
    }
    near[w] = bits;
  }
  if (!hn::AllFalse(df, hn::Gt(largest, unit))) return false;
  finish_block_sums(block, table);
  decided = none_near(near, undecided);
  return true;
}

// frequencies() in double lanes, for any scale; with kTestNear false, for
// margin 0 (nothing to test).
template <bool kTestNear>
HWY_NOINLINE bool frequencies_in_doubles(const float* mixed, double scale, double margin, FrequencyTable& table,
                                         std::uint64_t undecided[4]) {
  const DD dd;
  const DFn dfn;
  const VD vscale = hn::Set(dd, scale);
  const VD vnear = hn::Set(dd, 0.5 - margin);
  // Adding 2^52 rounds a product below 2^31 to an integer in the current
  // (nearest) mode, as round_to_nearest_even, and leaves it in the low half
  // of the sum's bits; y - round(y) is then exact.
  const VD shift = hn::Set(dd, 4503599627370496.0);
  const VI one = hn::Set(DI(), 1);
  std::uint64_t near[4];
  VI block[kBlocks];
  HWY_UNROLL(kWordsUnrolled)
  for (int w = 0; w < 4; ++w) {
    std::uint64_t bits = 0;
    // The product at k, rounded by adding 2^52, its lanes near a half marked.
    auto shifted = [&](int k) {
      const VD y = hn::Mul(vscale, hn::PromoteTo(dd, hn::LoadU(dfn, mixed + k)));
      const VD s = hn::Add(y, shift);
      if constexpr (kTestNear)
        bits |= mask_bits(dd, hn::Gt(hn::Abs(hn::Sub(y, hn::Sub(s, shift))), vnear)) << (k % 64);
      return s;
    };
    HWY_UNROLL(4)
    for (int j = 4 * w; j < 4 * w + 4; ++j) {
      VI sum = hn::Zero(DI());
      for (int i = 0; i < kVectorsPerBlock; ++i) {
        const int k = FrequencyTable::kBlock * j + i * kInts;
        const VD lo = shifted(k);
        const VD hi = kInts > kDoubles ? shifted(k + kDoubles) : lo;
        const VI f = hn::Max(ints_from_shifted(lo, hi), one);
        hn::StoreU(f, DI(), table.freq + k);
        sum = hn::Add(sum, f);
      }
      block[j] = sum;
    }
    near[w] = bits;
  }
  finish_block_sums(block, table);
  return none_near(near, undecided);
}

bool frequencies(const float* mixed, double scale, double margin, FrequencyTable& table,
                 std::uint64_t undecided[4]) {
  if constexpr (kUnitScaleInFloats) {
    const auto near_half = static_cast<float>(0.5 - margin);
    bool decided;
    if (scale == kUnitScale && near_half == 0.5 - margin &&
        frequencies_at_unit_scale(mixed, near_half, table, undecided, decided))
      return decided;
  }
  if (margin == 0) return frequencies_in_doubles<false>(mixed, scale, margin, table, undecided);
  return frequencies_in_doubles<true>(mixed, scale, margin, table, undecided);
}

// ---------------------------------------------------------------------------
// Decay

// A row's decayed counts are summed in partial sums, exact in any order:
// on the vector targets two, the low and the high half of each vector of
// floats; on the scalar target one per count of a block, so that no chain
// of additions runs through the block and the compiler can vectorise it.
constexpr int kRowSums = HWY_TARGET == HWY_SCALAR ? kOccupancyBlock : 2;

// The decay of one block of a row: each count above the floor multiplied by
// the row's decay; the block's decayed counts added to the row's sums.
HWY_INLINE void decay_block(float* row, VF factor, VD sums[kRowSums]) {
  const DD dd;
  const DF df;
  const VF floor = hn::Set(df, kDecayFloorF);
  for (int i = 0; i < kOccupancyBlock; i += kFloats) {
    VF v = hn::LoadU(df, row + i);
#if HWY_TARGET == HWY_SCALAR
    // The choice made on the bits: Highway's scalar IfThenElse is a
    // branch or a conditional move, which keeps the compiler from
    // vectorising the block.
    const VF above = hn::VecFromMask(df, hn::Gt(v, floor));
    v = hn::Or(hn::And(above, hn::Mul(v, factor)), hn::AndNot(above, v));
    hn::StoreU(v, df, row + i);
    sums[i] = hn::Add(sums[i], hn::PromoteTo(dd, v));
#else
    v = hn::IfThenElse(hn::Gt(v, floor), hn::Mul(v, factor), v);
    hn::StoreU(v, df, row + i);
    const DFn dfn;
    sums[0] = hn::Add(sums[0], hn::PromoteTo(dd, hn::LowerHalf(dfn, v)));
    sums[1] = hn::Add(sums[1], hn::PromoteTo(dd, hn::UpperHalf(dfn, v)));
#endif
  }
}

HWY_INLINE double row_sum(VD sums[kRowSums]) {
  for (int n = kRowSums; n > 1; n /= 2)
    for (int i = 0; i < n / 2; ++i) sums[i] = hn::Add(sums[i], sums[i + n / 2]);
  return hn::GetLane(hn::SumOfLanes(DD(), sums[0]));
}

// The decay of the blocks of a slow and a fast row, with their sums. One
// block of carry every fourth pair of blocks, counted by turn: a block of
// the chain is sixteen dependent additions, which outlast several pairs of
// the decay's own, and a denser share would fill the processor's window
// with the chain.
HWY_INLINE void decay_rows(float* slow, float* fast, std::uint16_t blocks, double& slow_sum, double& fast_sum,
                           OrderedTotal& carry, unsigned& turn) {
  const DF df;
  const VF slow_decay = hn::Set(df, kSlowDecayF), fast_decay = hn::Set(df, kFastDecayF);
  VD slow_sums[kRowSums], fast_sums[kRowSums];
  for (int i = 0; i < kRowSums; ++i) slow_sums[i] = fast_sums[i] = hn::Zero(DD());
  for (unsigned bits = blocks; bits != 0; bits &= bits - 1) {
    const int i = __builtin_ctz(bits) * kOccupancyBlock;
    if ((++turn & 3) == 0) add_total_block(carry);
    decay_block(slow + i, slow_decay, slow_sums);
    decay_block(fast + i, fast_decay, fast_sums);
  }
  slow_sum = row_sum(slow_sums);
  fast_sum = row_sum(fast_sums);
}

// The order-0 rows first: their sums set the next prediction's order-0
// coefficients, while the order-1 rows' are needed only when their context
// comes again.
void decay(float* o1s, float* o1f, float* o0s, float* o0f, double sums[4], std::uint16_t occupied,
           std::uint16_t order0_live, OrderedTotal& carry) {
  unsigned turn = 0;
  decay_rows(o0s, o0f, order0_live, sums[2], sums[3], carry, turn);
  decay_rows(o1s, o1f, occupied, sums[0], sums[1], carry, turn);
}

// ---------------------------------------------------------------------------
// The estimated logarithm

#if HWY_TARGET != HWY_AVX3
// The sixteenths' table (model/ln/ln_estimate.h) read at the lanes' indices
// (AVX3: model/kernels/avx512_sixteenths-inl.h).
class SixteenthsLanes {
 public:
  using VI = hn::Vec<hn::RebindToSigned<DD>>;
  // r[j] and t[j] for the index j (0 to 15) of each lane.
  VD r(VI j) const { return hn::GatherIndex(DD(), ln_estimate_detail::kSixteenths.r, j); }
  VD t(VI j) const { return hn::GatherIndex(DD(), ln_estimate_detail::kSixteenths.t, j); }
};
#endif

// The Taylor coefficients of Q after the first, highest first.
constexpr double kPolynomial[] = {ln_estimate_detail::kQ8, ln_estimate_detail::kQ7, ln_estimate_detail::kQ6,
                                  ln_estimate_detail::kQ5, ln_estimate_detail::kQ4, ln_estimate_detail::kQ3,
                                  ln_estimate_detail::kQ2};

// ln_estimate (model/ln/ln_estimate.h) of kCount vectors, step by step over
// all of them so that the processor always has independent work: exponent
// and fraction from the bits, the sixteenths' table read by index, fused
// operations where the target has them (each only lowers the error).
// Lanes outside the estimate's domain give meaningless values.
template <int kCount>
HWY_INLINE void ln_estimate_lanes(const VD* x, VD* y) {
  using namespace ln_estimate_detail;
  const SixteenthsLanes table;
  const DD dd;
  const hn::RebindToUnsigned<DD> du;
  const hn::RebindToSigned<DD> di;
  const VD one = hn::Set(dd, 1.0);
  VD z[kCount], q[kCount], head[kCount];
  for (int j = 0; j < kCount; ++j) {
    const auto bits = hn::BitCast(du, x[j]);
    // The biased exponent as a double: the bits of 2^52 + e + 1023, less
    // 2^52 + 1023.
    const VD e = hn::Sub(hn::BitCast(dd, hn::Or(hn::ShiftRight<52>(bits), hn::Set(du, kExponentMagicBits))),
                         hn::Set(dd, kExponentMagic));
    const auto index = hn::BitCast(di, hn::And(hn::ShiftRight<kIndexShift>(bits), hn::Set(du, 15)));
    const VD m = hn::BitCast(dd, hn::Or(hn::And(bits, hn::Set(du, kFractionMask)), hn::Set(du, kOneBits)));
    z[j] = hn::MulSub(m, table.r(index), one);
    head[j] = hn::MulAdd(e, hn::Set(dd, kLn2Hi), table.t(index));
    y[j] = hn::Mul(e, hn::Set(dd, kLn2Lo));
    q[j] = hn::Set(dd, kQ9);
  }
  for (const double k : kPolynomial)
    for (int j = 0; j < kCount; ++j) q[j] = hn::MulAdd(z[j], q[j], hn::Set(dd, k));
  for (int j = 0; j < kCount; ++j) {
    const VD tail = hn::MulAdd(hn::Mul(z[j], z[j]), q[j], y[j]);
    y[j] = hn::Add(head[j], hn::Add(z[j], tail));
  }
}

void ln_estimate_many(const double* x, double* y, int n) {
  const DD dd;
  int k = 0;
  for (; k + kDoubles <= n; k += kDoubles) {
    const VD v = hn::LoadU(dd, x + k);
    VD l;
    ln_estimate_lanes<1>(&v, &l);
    hn::StoreU(l, dd, y + k);
  }
  for (; k < n; ++k) y[k] = ln_estimate(x[k]);
}

// ---------------------------------------------------------------------------
// The weight selection

constexpr int kCandidateVectors = kCandidates / kDoubles;
// Vectors taken through the logarithm together: enough independent work to
// hide its latencies, few enough to stay in registers. On the scalar target
// all of them, in arrays, so that the compiler vectorises each step of the
// logarithm across the candidates.
constexpr int kLnBatch = HWY_TARGET == HWY_AVX3 ? 8 : HWY_TARGET == HWY_SCALAR ? kCandidateVectors : 4;
static_assert(kCandidateVectors % kLnBatch == 0);

// The candidates' costs before this byte, decayed: P_i = costs[i] * decay.
HWY_INLINE VD decayed_costs(const float* costs, int j, VD decay) {
  return hn::Mul(hn::PromoteTo(DD(), hn::LoadU(DFn(), costs + j * kDoubles)), decay);
}

// Equal probabilities (blends_equal): every cost is RN(P_i - y) with the
// one logarithm y (0 when both are 0), exact.
double select_equal_blends(float* costs, float decay, double y) {
  const DD dd;
  const DFn dfn;
  const VD vdecay = hn::Set(dd, decay);
  const VD vy = hn::Set(dd, y);
  VD c[kCandidateVectors];
  VD lowest = hn::Set(dd, kInitialBestCost);
  for (int j = 0; j < kCandidateVectors; ++j) {
    c[j] = hn::Sub(decayed_costs(costs, j, vdecay), vy);
    hn::StoreU(to_floats(c[j]), dfn, costs + j * kDoubles);
    lowest = hn::Min(lowest, c[j]);
  }
  // The first index holding the smallest cost; none if no cost is below
  // the initial best (then the index stays 0).
  const double best = hn::GetLane(hn::MinOfLanes(dd, lowest));
  if (!(best < kInitialBestCost)) return 0;
  const VD target = hn::Set(dd, best);
  for (int j = 0;; ++j) {
    const intptr_t i = hn::FindFirstTrue(dd, hn::Eq(c[j], target));
    if (i >= 0) return static_cast<double>(j * kDoubles + i) * kCandidateStep;
  }
}

// The candidates' estimated blends x~_i = a + i step (formed with one
// rounding or two) and their estimated logarithms.
HWY_INLINE void estimate_blends(double a, double b, VD x[kCandidateVectors], VD l[kCandidateVectors]) {
  const DD dd;
  const VD va = hn::Set(dd, a);
  const VD vstep = hn::Set(dd, (b - a) * kCandidateStep);
  for (int j = 0; j < kCandidateVectors; ++j)
    x[j] = hn::MulAdd(hn::Load(dd, kCandidateIndices + j * kDoubles), vstep, va);
  for (int j = 0; j < kCandidateVectors; j += kLnBatch) ln_estimate_lanes<kLnBatch>(x + j, l + j);
}

// The end of a selection from estimates whose floats are all decided
// (rounded holds each cost's float, lo and hi the ends of its interval):
// if one candidate alone has its lower end at or below the smallest upper
// end, it is the cheapest; then stores the floats, sets weight and returns
// true. Otherwise (two or more could be the cheapest) leaves costs as they
// were. Overwrites hi.
HWY_INLINE bool pick_in_registers(const VD lo[kCandidateVectors], VD hi[kCandidateVectors],
                                  const hn::Vec<DFn> rounded[kCandidateVectors], float* costs, double& weight) {
  const DD dd;
  // A tree, not a chain: the smallest upper end is on the critical path.
  for (int n = kCandidateVectors; n > 1; n /= 2)
    for (int j = 0; j < n / 2; ++j) hi[j] = hn::Min(hi[j], hi[j + n / 2]);
  const double h = hn::GetLane(hn::MinOfLanes(dd, hi[0]));
  if (!(h < kInitialBestCost)) return false;
  const VD vh = hn::Set(dd, h);
  std::uint64_t contenders = 0;
  for (int j = 0; j < kCandidateVectors; ++j) contenders |= mask_bits(dd, hn::Le(lo[j], vh)) << (j * kDoubles);
  if (contenders == 0 || (contenders & (contenders - 1)) != 0) return false;
  for (int j = 0; j < kCandidateVectors; ++j) hn::StoreU(rounded[j], DFn(), costs + j * kDoubles);
  weight = __builtin_ctzll(contenders) * kCandidateStep;
  return true;
}

// A selection whose every blend lies well inside the estimate's domain
// (blends_within_ratio): no lane needs a mask, and one reciprocal of the
// smaller probability bounds every blend's 1 / x~_i. Stores the costs and
// returns true only when the selection is settled in registers; otherwise
// leaves costs as they were.
HWY_INLINE bool select_known_blends(double a, double b, float* costs, float decay,
                                    const VD l[kCandidateVectors], double& weight) {
  const DD dd;
  const DFn dfn;
  const VD vdecay = hn::Set(dd, decay);
  const VD slack = hn::Set(dd, kCostSlack);
  const VD floor = hn::Set(dd, known_blends_error_floor(a, b));
  VD lo[kCandidateVectors], hi[kCandidateVectors];
  hn::Vec<DFn> rounded[kCandidateVectors];
  auto undecided = hn::FirstN(dfn, 0);
  for (int j = 0; j < kCandidateVectors; ++j) {
    const VD c = hn::Sub(decayed_costs(costs, j, vdecay), l[j]);
    const VD err = hn::MulAdd(slack, hn::Add(hn::Abs(c), hn::Abs(l[j])), floor);
    lo[j] = hn::Sub(c, err);
    hi[j] = hn::Add(c, err);
    rounded[j] = to_floats(lo[j]);
    undecided = hn::Or(undecided, hn::Ne(rounded[j], to_floats(hi[j])));
  }
  return hn::AllFalse(dfn, undecided) && pick_in_registers(lo, hi, rounded, costs, weight);
}

// Any selection with unequal probabilities. A blend is known if above both
// 4 Delta and the smallest normal double, and finite; its bound's 1 / x~_i
// is that of the smallest known blend where that is tight enough (they form
// an arithmetic progression, so it lies at an end or next to the unknown
// ones), else its own quotient. Settled in registers when every float is
// decided and one candidate alone can be the cheapest, else by
// settle_selection.
double select_estimated(float a, float b, float* costs, float decay, const VD x[kCandidateVectors],
                        const VD l[kCandidateVectors]) {
  const DD dd;
  const DFn dfn;
  const double delta = blend_slack(a, b);
  const VD vdecay = hn::Set(dd, decay);
  const VD slack = hn::Set(dd, kCostSlack);
  const VD inf = hn::Set(dd, __builtin_inf());
  const VD known_above = hn::Set(dd, 4 * delta > 0x1p-1022 ? 4 * delta : 0x1p-1022);
  const VD largest = hn::Set(dd, 0x1.fffffffffffffp+1023);
  hn::Mask<DD> known[kCandidateVectors];
  VD smallest = inf;
  for (int j = 0; j < kCandidateVectors; ++j) {
    known[j] = hn::And(hn::Gt(x[j], known_above), hn::Le(x[j], largest));
    smallest = hn::Min(smallest, hn::IfThenElse(known[j], x[j], inf));
  }
  const double term = delta / hn::GetLane(hn::MinOfLanes(dd, smallest));
  const bool per_candidate = !(term <= 0x1p-40);

  alignas(64) double cs[kCandidates], es[kCandidates];
  VD lo[kCandidateVectors], hi[kCandidateVectors];
  hn::Vec<DFn> rounded[kCandidateVectors];
  auto undecided = hn::FirstN(dfn, 0);
  for (int j = 0; j < kCandidateVectors; ++j) {
    const VD p = decayed_costs(costs, j, vdecay);
    const VD estimate = hn::Sub(p, l[j]);
    const VD rho = per_candidate ? hn::Div(hn::Set(dd, delta), x[j]) : hn::Set(dd, term);
    VD c = hn::IfThenElseZero(known[j], estimate);
    VD err = hn::IfThenElse(
        known[j], hn::Add(hn::MulAdd(slack, hn::Add(hn::Abs(estimate), hn::Abs(l[j])), slack), rho), inf);
    if (j == 0 && a == 0) {
      // Candidate 0 has probability 0: its cost is exact.
      const auto first = hn::FirstN(dd, 1);
      c = hn::IfThenElse(first, hn::Add(p, hn::Set(dd, kZeroProbabilityCost)), c);
      err = hn::IfThenZeroElse(first, err);
    }
    lo[j] = hn::Sub(c, err);
    hi[j] = hn::Add(c, err);
    rounded[j] = to_floats(lo[j]);
    undecided = hn::Or(undecided, hn::Ne(rounded[j], to_floats(hi[j])));
    hn::Store(c, dd, cs + j * kDoubles);
    hn::Store(err, dd, es + j * kDoubles);
  }
  double weight;
  if (hn::AllFalse(dfn, undecided) && pick_in_registers(lo, hi, rounded, costs, weight)) return weight;
  return settle_selection(a, b, costs, decay, cs, es);
}

double select_weight(float a, float b, float* costs, float decay) {
  if (blends_equal(a, b)) return select_equal_blends(costs, decay, equal_blend_log(a));
  VD x[kCandidateVectors], l[kCandidateVectors];
  estimate_blends(a, b, x, l);
  double weight;
  if (blends_within_ratio(a, b) && select_known_blends(a, b, costs, decay, l, weight)) return weight;
  return select_estimated(a, b, costs, decay, x, l);
}

// ---------------------------------------------------------------------------

constexpr Table make_table(const char* name) {
  return {name, kCompiledX86Features, kMixTotalIsOrdered, mix, frequencies, decay, select_weight, ln_estimate_many};
}

}  // namespace bytemix::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();
