#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/frequency_table.h"
#include "model/kernels/ordered_total.h"

namespace bytemix::kernels {

// The byte model's per-byte loops, one implementation per instruction set:
// model/kernels/kernels-inl.h, compiled once for each target. Every
// implementation performs the same IEEE operations on the same values
// (only the grouping into lanes differs, and only where the result is exact
// in any grouping), so all of them give bit-identical results; the fastest
// one the processor supports is chosen once per run.
struct Table {
  // The name BYTEMIX_SIMD selects it by.
  const char* name;
  // The x86 extensions its code was compiled for (kCompiledX86Features of
  // its translation unit): it runs only where the processor has them all.
  std::uint32_t x86_features;
  // True if mix() returns the index-order total itself: then no frequency
  // needs testing against a margin, and the model passes margin 0.
  bool mix_total_is_ordered;

  // The 256 mixed values of one prediction:
  //   m = ((o1s[k] * a1 + o1f[k] * b1) + o0f[k] * b0) + o0s[k] * a0
  // with coef = {a1, b1, b0, a0}; stores float(m) in mixed[k] and m in
  // m_out[k], and returns the sum of the m added in some order (see
  // mix_total_is_ordered). The model's total is the sum in index order
  // (model/kernels/ordered_total.h), which an estimate in another order
  // replaces wherever it cannot change a frequency (see kHalfwayMargin).
  // A clear bit j of occupied promises that o1s and o1f are 0 at 16j ..
  // 16j + 15 (see kOccupancyBlock).
  // A set bit j of equal promises more: o1s and o1f are 0 there, and o0s
  // and o0f each hold one value throughout the block, so that its sixteen
  // mixed values are equal; a kernel may compute one and store it sixteen
  // times.
  // carry: the index-order total of an earlier prediction still being
  // added (or none open); the kernel adds some or all of its blocks
  // between its own, and leaves the rest to the caller.
  double (*mix)(const float* o1s, const float* o1f, const float* o0f, const float* o0s,
                const double coef[4], float* mixed, double* m_out, std::uint16_t occupied,
                std::uint16_t equal, OrderedTotal& carry);

  // freq[k] = max(1, round_to_nearest_even(scale * mixed[k])) for every k,
  // and total and block_cum (see FrequencyTable) from them. Then, if no
  // product scale * mixed[k] lies within margin of a number halfway between
  // two integers (always so with margin 0), returns true; otherwise sets
  // bit k % 64 of undecided[k / 64] for each such k and returns false.
  bool (*frequencies)(const float* mixed, double scale, double margin, FrequencyTable& table,
                      std::uint64_t undecided[4]);

  // Decays the four rows of 256 counts in place: each count above the floor
  // 0.001 is multiplied by its decay (2047/2048 for the slow rows o1s and
  // o0s, 925/1024 for the fast rows o1f and o0f) and stored as a float.
  // Returns in sums[] the sums of the decayed rows, in the order o1s, o1f,
  // o0s, o0f. The sums are exact (see model/kernels/kernel_common.h), so any order
  // of addition gives the same doubles. occupied as for mix. A clear bit j
  // of order0_live promises that every count of o0s and o0f in the block of
  // 16 bytes j is at or below the floor, so that the decay leaves it as it
  // is: such blocks are skipped and left out of sums[2] and sums[3].
  // carry as for mix: the decay adds a few of its blocks between its own.
  void (*decay)(float* o1s, float* o1f, float* o0s, float* o0f, double sums[4],
                std::uint16_t occupied, std::uint16_t order0_live, OrderedTotal& carry);

  // WeightSelector::select_weight with the same contract and results.
  double (*select_weight)(float a, float b, float* costs, float decay);

  // y[k] = this path's evaluation of ln_estimate (model/ln/ln_estimate.h) for
  // k < n, within kLnEstimateError of bytemix::ln for x[k] in its domain
  // (meaningless outside). For tests of that bound.
  void (*ln_estimate_many)(const double* x, double* y, int n);
};

// The implementation in use, chosen at the first call: the one that the
// environment variable BYTEMIX_SIMD names, if this build has it and the
// processor runs it; otherwise the best the processor runs.
const Table& active();

// The paths this build has and this processor runs, best first (the last
// is the scalar one). For tests and benchmarks.
std::vector<const Table*> runnable();

// The path called `name`, or nullptr if this build has none of that name or
// the processor cannot run it.
const Table* find(const char* name);

// Empty if BYTEMIX_SIMD is unset or names a path that runs here; otherwise
// one line saying why it cannot be honoured and which names would be. The
// programs refuse to run then, rather than time or test the wrong path.
std::string requested_path_problem();

// Per target; only those built for this architecture exist.
extern const Table scalar_table;
#if defined(__x86_64__) || defined(__i386__)
extern const Table sse4_table;
#endif
#if defined(__x86_64__) && !defined(__ILP32__)  // not x32: as CMakeLists.txt
extern const Table avx2_table;
extern const Table avx512_table;
#endif
#if defined(__aarch64__)
extern const Table neon_table;
#endif

}  // namespace bytemix::kernels
