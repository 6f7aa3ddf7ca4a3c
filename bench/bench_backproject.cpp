// Back-projection of one view into an N^3 slab (N-row filtered columns, a
// full turn of 360 views, source at 4N): the reference loop against the
// threaded SIMD one. Items are voxel updates, xSize * ySize * zSize per view,
// the unit of the program's own "Backproject speed" figure.
//
//   bench_backproject [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <omp.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "backproject/backproject_detail.h"
#include "geometry/geometry.h"

namespace {

struct Scan {
  ReconParams p;
  std::vector<float> filtered;

  // slices > 0: a slab of that many slices in the middle of the volume, as
  // a run split into slabs by its memory limit back-projects it.
  explicit Scan(int n, int slices = 0) {
    initReconParams(p);
    if (slices > 0) {
      p.zOrigin = (n - slices) / 2;
      p.zSize = slices;
    }
    p.projWidth = p.projHeight = n;
    p.axisUser = p.centralSliceUser = (n - 1) / 2.0f;
    p.rfanY = p.rfanZ = 4.0f * n;
    p.angleIncrement = 1.0f;
    p.full360 = kOn;
    p.memoryLimit = 1 << 30;
    p.nChunks = 1;
    setupGeometry(p);
    filtered.resize(static_cast<size_t>(p.yprojSize) * p.zprojSize);
    std::mt19937 random(1);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    for (float& f : filtered) f = sample(random);
  }
  ~Scan() { freeReconArrays(p); }
  double voxels() const { return double(p.xSize) * p.ySize * p.zSize; }
};

// One scan per size and slab height, set up once for all benchmarks.
Scan& scanOfSize(int n, int slices = 0) {
  static std::map<std::pair<int, int>, std::unique_ptr<Scan>> scans;
  std::unique_ptr<Scan>& scan = scans[{n, slices}];
  if (!scan) scan.reset(new Scan(n, slices));
  return *scan;
}

template <class Project>
void run(benchmark::State& state, Scan& scan, Project&& project) {
  int view = 0;
  for (auto _ : state) {
    project(scan.filtered.data(), scan.p, view);
    view = (view + 1) % scan.p.nang;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * scan.voxels()));
}

void Reference(benchmark::State& state) {
  run(state, scanOfSize(int(state.range(0))), backProjectViewReference);
}

// Arguments: size, threads, SIMD level (0 scalar, 1 AVX2, 2 AVX-512; capped
// at what the CPU has).
void Fast(benchmark::State& state) {
  Scan& scan = scanOfSize(int(state.range(0)));
  omp_set_num_threads(int(state.range(1)));
  const SimdLevel level = std::min(static_cast<SimdLevel>(state.range(2)), bestSimdLevel());
  state.SetLabel(level == SimdLevel::kAvx512 ? "avx512" : level == SimdLevel::kAvx2 ? "avx2" : "scalar");
  run(state, scan, [level](const float* f, ReconParams& p, int view) { backProjectViewWith(f, p, view, level); });
}

// Arguments: size, threads, views per pass over the slab (AVX-512 or the
// widest level the CPU has). Items count every view of a pass.
void batched(benchmark::State& state, Scan& scan) {
  omp_set_num_threads(int(state.range(1)));
  const int count = int(state.range(2));
  std::vector<ViewToProject> views(static_cast<size_t>(count));
  int view = 0;
  for (auto _ : state) {
    for (ViewToProject& v : views) {
      v = ViewToProject{scan.filtered.data(), view, scan.p.axis};
      view = (view + 1) % scan.p.nang;
    }
    backProjectViewsWith(views.data(), count, scan.p, bestSimdLevel());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count * scan.voxels()));
}
void Batched(benchmark::State& state) { batched(state, scanOfSize(int(state.range(0)))); }
// Batched for a slab of the volume; a fourth argument, its height in slices.
void BatchedSlab(benchmark::State& state) {
  batched(state, scanOfSize(int(state.range(0)), int(state.range(3))));
}

}  // namespace

BENCHMARK(Batched)
    ->ArgNames({"size", "threads", "views"})
    ->ArgsProduct({{256}, {1, 2}, {1, 2, 4, 8}})
    // Larger slabs, whose filtered views no longer fit a core's caches.
    ->Args({512, 1, 4})
    ->Args({512, 2, 4})
    ->Args({1024, 1, 4})
    ->Args({1024, 2, 4})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Slabs of 64 slices, as a 1024^3 volume under the default memory limit
// runs: short voxel columns, where the per-column set-up counts most.
BENCHMARK(BatchedSlab)
    ->ArgNames({"size", "threads", "views", "slices"})
    ->Args({512, 1, 4, 64})
    ->Args({1024, 1, 4, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Reference)->ArgName("size")->Arg(128)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Fast)
    ->ArgNames({"size", "threads", "simd"})
    ->ArgsProduct({{128, 256}, {1, 2}, {2}})
    ->Args({256, 1, 0})
    ->Args({256, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
