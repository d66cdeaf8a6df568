// ns per call of bytemix::ln next to std::log on the arguments the model
// sees: uniform on (0, 1), and values close to 1.
//
//   ./bench/ln_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "model/ln/ln.h"

namespace {

constexpr size_t kCount = 4096;  // fits in L1 together with the table

std::vector<double> uniform_unit() {
  std::mt19937_64 rng(1);
  std::vector<double> v(kCount);
  for (double& x : v) x = std::ldexp(double((rng() >> 11) | 1), -53);
  return v;
}

// 1 - u 2^-10, u uniform on [0, 1).
std::vector<double> near_one() {
  std::mt19937_64 rng(2);
  std::vector<double> v(kCount);
  for (double& x : v) x = 1.0 - std::ldexp(double(rng() >> 11), -63);
  return v;
}

template <double (*F)(double)>
void run(benchmark::State& state, const std::vector<double>& args) {
  double sum = 0;
  for (auto _ : state) {
    for (double x : args) sum += F(x);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(args.size()));
  state.counters["ns/call"] = benchmark::Counter(double(state.iterations()) * double(args.size()),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

double bytemix_ln(double x) { return bytemix::ln(x); }
double std_log(double x) { return std::log(x); }

void BM_bytemix_ln_uniform(benchmark::State& s) { run<bytemix_ln>(s, uniform_unit()); }
void BM_std_log_uniform(benchmark::State& s) { run<std_log>(s, uniform_unit()); }
void BM_bytemix_ln_near_one(benchmark::State& s) { run<bytemix_ln>(s, near_one()); }
void BM_std_log_near_one(benchmark::State& s) { run<std_log>(s, near_one()); }

BENCHMARK(BM_bytemix_ln_uniform);
BENCHMARK(BM_std_log_uniform);
BENCHMARK(BM_bytemix_ln_near_one);
BENCHMARK(BM_std_log_near_one);

}  // namespace
