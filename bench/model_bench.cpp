// Kernel benchmarks: the byte model per byte (literal and each vector
// path), its kernels one by one, the logarithm and the coder steps.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "coder/range_coder.h"
#include "model/byte_model.h"
#include "model/kernels/kernel_common.h"
#include "model/kernels/kernels.h"
#include "model/ln/ln.h"
#include "model/reference/literal_byte_model.h"
#include "tests/corpus.h"
#include "tests/model_view.h"

namespace {

using namespace bytemix;

const std::vector<std::uint8_t>& book1() {
  static const std::vector<std::uint8_t> data = test::read_corpus("book1");
  return data;
}

// predict() and update() for the bytes of book1, cycling; the model is
// first warmed on 64 KiB so that its rows are populated as in real use.
template <class Model>
void run_model(benchmark::State& state, Model& model) {
  const auto& data = book1();
  std::size_t i = 0;
  for (; i < (1u << 16) && i < data.size(); ++i) {
    model.predict();
    model.update(data[i]);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.predict().total);
    model.update(data[i]);
    if (++i == data.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_LiteralModel(benchmark::State& state) {
  auto model = std::make_unique<LiteralByteModel>();
  run_model(state, *model);
}
BENCHMARK(BM_LiteralModel);

// The fast model on the active path (set BYTEMIX_SIMD to pick one).
void BM_FastModel(benchmark::State& state) {
  state.SetLabel(kernels::active().name);
  auto model = std::make_unique<ByteModel>();
  const ByteModelView model_state(*model);
  run_model(state, *model);
}
BENCHMARK(BM_FastModel);

// The same through predict_lagged(), as the programs drive it: a table that
// needs the index-order total settles during the next update and mix.
void BM_LaggedModel(benchmark::State& state) {
  state.SetLabel(kernels::active().name);
  auto model = std::make_unique<ByteModel>();
  const ByteModelView model_state(*model);
  const auto& data = book1();
  std::size_t i = 0;
  for (; i < (1u << 16) && i < data.size(); ++i) {
    model->predict();
    model->update(data[i]);
  }
  std::uint32_t totals = 0;
  for (auto _ : state) {
    const ByteModel::LaggedTables t = model->predict_lagged();
    if (t.settled_previous != nullptr) totals += t.settled_previous->total;
    if (t.current != nullptr) totals += t.current->total;
    model->update(data[i]);
    if (++i == data.size()) i = 0;
  }
  if (const FrequencyTable* last = model->settle()) totals += last->total;
  benchmark::DoNotOptimize(totals);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LaggedModel);

// A realistic state for the kernels: the rows of the model after 64 KiB.
struct Rows {
  alignas(64) float o1s[256], o1f[256], o0s[256], o0f[256], mixed[256];
  double coef[4] = {0.3, 0.2, 0.1, 0.4};
  std::uint16_t occupied = 0;  // the context's blocks with order-1 counts
  Rows() {
    auto model = std::make_unique<ByteModel>();
    const ByteModelView model_state(*model);
    const auto& data = book1();
    for (std::size_t i = 0; i < (1u << 16) && i < data.size(); ++i) {
      model->predict();
      model->update(data[i]);
    }
    model->predict();
    const unsigned c = model_state.context();
    double s1s = 0, s1f = 0, s0s = 0, s0f = 0;
    for (unsigned k = 0; k < 256; ++k) {
      o1s[k] = model_state.order1_slow(c, k), s1s += o1s[k];
      o1f[k] = model_state.order1_fast(c, k), s1f += o1f[k];
      o0s[k] = model_state.order0_slow(k), s0s += o0s[k];
      o0f[k] = model_state.order0_fast(k), s0f += o0f[k];
      mixed[k] = model_state.mixed(k);
      if (o1s[k] != 0) occupied |= kernels::occupancy_bit(k);
    }
    coef[0] /= s1s, coef[1] /= s1f, coef[2] /= s0f, coef[3] /= s0s;
  }
};

// Argument k: the k-th path this processor runs, best first.
const kernels::Table* path(benchmark::State& state) {
  const kernels::Table* t = kernels::runnable().at(static_cast<std::size_t>(state.range(0)));
  state.SetLabel(t->name);
  return t;
}

void isa_args(benchmark::internal::Benchmark* b) {
  for (std::size_t k = 0; k < kernels::runnable().size(); ++k) b->Arg(static_cast<long>(k));
}

void BM_Mix(benchmark::State& state) {
  const kernels::Table* t = path(state);
  if (!t) return;
  Rows r;
  alignas(64) double m[256];
  kernels::OrderedTotal none;
  for (auto _ : state) {
    benchmark::DoNotOptimize(t->mix(r.o1s, r.o1f, r.o0f, r.o0s, r.coef, r.mixed, m, r.occupied, 0, none));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Mix)->Apply(isa_args);

// Argument 1: at the scale of a total near 1 (kUnitScale), which the model
// uses on nearly every step; argument 0 at the scale of the mixed values'
// own float total.
void BM_Frequencies(benchmark::State& state) {
  const kernels::Table* t = path(state);
  if (!t) return;
  Rows r;
  FrequencyTable table;
  std::uint64_t undecided[4];
  double total = 0;
  for (float v : r.mixed) total += v;
  const bool unit = state.range(1) != 0;
  const double scale = unit ? kernels::kUnitScale : 8388608.0 / total;
  const double margin = unit ? kernels::kUnitScaleMargin : kernels::kHalfwayMargin;
  for (auto _ : state) {
    benchmark::DoNotOptimize(t->frequencies(r.mixed, scale, margin, table, undecided));
    benchmark::DoNotOptimize(table.total);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Frequencies)->Apply([](benchmark::internal::Benchmark* b) {
  for (std::size_t k = 0; k < kernels::runnable().size(); ++k)
    for (int unit = 0; unit < 2; ++unit) b->Args({static_cast<long>(k), unit});
});

// The four rows' decay; the rows are restored every 64 passes so that the
// counts stay mostly above the floor, as in use.
void BM_Decay(benchmark::State& state) {
  const kernels::Table* t = path(state);
  if (!t) return;
  Rows r, w = r;
  double sums[4];
  int n = 0;
  kernels::OrderedTotal none;
  for (auto _ : state) {
    t->decay(w.o1s, w.o1f, w.o0s, w.o0f, sums, r.occupied, 0xFFFF, none);
    benchmark::DoNotOptimize(sums);
    if (++n == 64) n = 0, w = r;
  }
}
BENCHMARK(BM_Decay)->Apply(isa_args);

// One weight selection with a and b drawn as the order-1 selector sees
// them (mostly a, b in (0, 1), both positive).
void BM_SelectWeight(benchmark::State& state) {
  const kernels::Table* t = path(state);
  if (!t) return;
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> p(0.001f, 1.0f);
  float ab[256];
  for (float& v : ab) v = p(rng);
  alignas(64) float costs[kCandidates] = {};
  unsigned i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(t->select_weight(ab[i & 255], ab[(i + 1) & 255], costs, 0.98828125f));
    ++i;
  }
}
BENCHMARK(BM_SelectWeight)->Apply(isa_args);

void BM_Ln(benchmark::State& state) {
  std::mt19937 rng(2);
  std::uniform_real_distribution<double> p(1e-4, 1.0);
  double x[256];
  for (double& v : x) v = p(rng);
  unsigned i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ln(x[i++ & 255]));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Ln);

struct NullIo {
  static bool write(void*, const std::uint8_t*, std::size_t) { return true; }
  static std::size_t read(void* ctx, std::uint8_t* data, std::size_t n) {
    auto* rng = static_cast<std::mt19937*>(ctx);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>((*rng)());
    return n;
  }
};

FrequencyTable book1_table() {
  Rows r;
  FrequencyTable table;
  double total = 0;
  for (float v : r.mixed) total += v;
  std::uint64_t undecided[4];
  kernels::scalar_table.frequencies(r.mixed, 8388608.0 / total, 0, table, undecided);
  return table;
}

// One encoder step, the cumulative frequency taken from the kept sums.
void BM_Encode(benchmark::State& state) {
  const FrequencyTable table = book1_table();
  auto sink = std::make_unique<ByteSink>(NullIo::write, nullptr);
  RangeEncoder encoder(*sink);
  const auto& data = book1();
  std::size_t i = 0;
  for (auto _ : state) {
    const unsigned x = data[i];
    encoder.encode(table.cumulative(x), static_cast<std::uint32_t>(table.freq[x]), table.total);
    if (++i == data.size()) i = 0;
  }
}
BENCHMARK(BM_Encode);

// One decoder step on random input: the symbol search and the narrowing,
// once by the table's own search (its block sums, then one block), once by
// the plain scan.
void BM_DecodeSearch(benchmark::State& state) {
  const FrequencyTable table = book1_table();
  std::mt19937 rng(3);
  auto source = std::make_unique<ByteSource>(NullIo::read, &rng);
  RangeDecoder decoder(*source);
  decoder.start();
  for (auto _ : state) benchmark::DoNotOptimize(decoder.decode_symbol(table));
}
BENCHMARK(BM_DecodeSearch);

void BM_DecodeScan(benchmark::State& state) {
  const FrequencyTable table = book1_table();
  std::mt19937 rng(3);
  auto source = std::make_unique<ByteSource>(NullIo::read, &rng);
  RangeDecoder decoder(*source);
  decoder.start();
  for (auto _ : state) benchmark::DoNotOptimize(decoder.decode_symbol(table.freq, table.total));
}
BENCHMARK(BM_DecodeScan);

}  // namespace

BENCHMARK_MAIN();
