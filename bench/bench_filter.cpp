// Ramp filtering of one detector row in frequency space, as the
// reconstruction loop does it: forward real FFT, multiplication by the
// filter, inverse. The plain transform (the reference pipeline's) against the
// one with cached twiddles and vector butterfly runs; the results are the
// same bit for bit (tests/test_fft.cpp). Items are rows.
//
//   bench_filter [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "geometry/geometry.h"

namespace {

template <void (*Transform)(float*, int, int)>
void FilterRow(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));  // complex points: rows of 2n floats
  std::vector<float> row(2 * static_cast<size_t>(n)), ramp(row.size()), work(row.size());
  std::mt19937 random(3);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  for (size_t i = 0; i < row.size(); ++i) {
    row[i] = sample(random);
    ramp[i] = static_cast<float>(i % n) / n;
  }
  for (auto _ : state) {
    work = row;
    Transform(work.data(), n, 1);
    for (size_t k = 0; k < work.size(); ++k) work[k] = static_cast<float>(double(work[k]) * ramp[k]);
    Transform(work.data(), n, -1);
    benchmark::DoNotOptimize(work.data());
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK_TEMPLATE(FilterRow, fftRealReference)->ArgName("points")->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK_TEMPLATE(FilterRow, fftReal)->ArgName("points")->Arg(256)->Arg(1024)->Arg(4096);

BENCHMARK_MAIN();
