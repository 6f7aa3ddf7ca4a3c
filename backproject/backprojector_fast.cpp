// The back-projector as the reconstruction loops run it: the reference
// computation (backprojector.cpp) spread over OpenMP threads by bands of
// voxel rows y, walked in tiles that keep the filtered samples in cache, with
// the z loop of every voxel column vectorised over slices with AVX2 or
// AVX-512 when the CPU has them, and several views added in one pass over
// each voxel column.
//
// Bit-identity with the reference holds by construction: every voxel column
// takes its U, T, u, fu, m, w and z range from the same code (column.h);
// each lane of a kernel does the reference's double operations in the
// reference's order; each band of voxel rows is written by one thread only;
// and a voxel column takes the views of a pass one after another in view
// order, so every voxel sees the same sequence of float additions. The tiles
// change only the order in which voxel columns are visited.
#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "backproject/column.h"
#include "backproject/backproject_detail.h"

using namespace backproject_detail;

namespace {

void accumulateColumnScalar(const FilteredView& f, const ViewGeometry& g, const ColumnRay& c, float* voxel) {
  const float* column = f.samples + c.iu * f.rows;
  for (int z = c.zLo; z < c.zHi; ++z, ++voxel) accumulateSlice(column, f.rows, g, c, z, voxel);
}

// Views of fewer samples are widened on the calling thread alone.
constexpr long kThreadedWidening = 1L << 16;

ColumnKernel kernelFor(SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx512:
      return accumulateColumnAvx512;
    case SimdLevel::kAvx2:
      return accumulateColumnAvx2;
    case SimdLevel::kScalar:
      break;
  }
  return accumulateColumnScalar;
}

// The slab is walked in tiles of voxel columns, a band of rows by a block of
// columns, so that the filtered samples a tile reads stay in the core's
// second-level cache while the tile's columns take them (docs/PERFORMANCE.md
// has the arithmetic). A tile of r rows and c columns meets about
// 1.3 (r + c) filtered columns of each view at the magnifications of a
// scan, each `rows` samples high; r + c columns of every view of the pass
// take kTileBytes, so the tile's share is about 2/3 of a 1 MiB cache and
// the voxel columns streaming through keep the rest. Only the order of the
// voxel columns changes: each still takes the views of the pass in order.
struct Tiles {
  int rows;     // voxel rows per band: one band per task
  int columns;  // voxel columns per block
};
constexpr long kTileBytes = 512L << 10;

Tiles tilesFor(const ReconParams& p, int count, size_t sampleBytes) {
  const long columnBytes = std::max(1L, static_cast<long>(p.zprojSize) * static_cast<long>(sampleBytes)) * count;
  const int side = static_cast<int>(std::max(4L, std::min(64L, kTileBytes / (2 * columnBytes))));
  // Bands no taller than a 32nd of a thread's share, so that the last band
  // a thread takes, or one held up by a thread the system has put aside,
  // leaves the others little to wait for.
  const int threads = std::max(1, omp_get_max_threads());
  const int rows = std::max(2, std::min(side, p.ySize / (32 * threads)));
  return Tiles{rows, std::max(4, 2 * side - rows)};
}

}  // namespace

SimdLevel bestSimdLevel() {
  static const SimdLevel level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
      return SimdLevel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
    return SimdLevel::kScalar;
  }();
  return level;
}

void backProjectViewsWith(const ViewToProject* views, int count, ReconParams& p, SimdLevel level) {
  if (count <= 0) return;
  const long samples = static_cast<long>(p.yprojSize) * p.zprojSize;

  // Per view: its geometry, with the axis it was filtered for, and its
  // samples as the kernels read them. The AVX-512 kernel reads each view
  // widened to double, padded at the end; the buffers live on with the
  // calling thread, so a run of batches reuses them.
  thread_local std::vector<std::vector<double>> widened;
  std::vector<ViewGeometry> geometry(static_cast<size_t>(count));
  std::vector<FilteredView> filtered(static_cast<size_t>(count));
  if (level == SimdLevel::kAvx512 && widened.size() < static_cast<size_t>(count)) widened.resize(count);
  for (int j = 0; j < count; ++j) {
    geometry[j] = viewGeometry(p, views[j].view);
    geometry[j].ua = views[j].axis;
    filtered[j] = FilteredView{views[j].filtered, views[j].filtered + samples, nullptr, p.zprojSize};
    if (level == SimdLevel::kAvx512) {
      widened[j].resize(static_cast<size_t>(samples + kWidenedPadding), 0.0);
      filtered[j].widened = widened[j].data();
    }
  }
  if (level == SimdLevel::kAvx512) {
    // On the threads too: on many cores a serial copy would begin to count.
    // Every view of the batch in one parallel region: each region's end is
    // a wait for the slowest thread, which on a shared host may be one the
    // system has put aside.
    // The buffers are the calling thread's: the others reach them through
    // these pointers, never through a thread_local of their own.
    constexpr long kBlock = 8192;
    const long blocksPerView = (samples + kBlock - 1) / kBlock;
    std::vector<double*> target(static_cast<size_t>(count));
    for (int j = 0; j < count; ++j) target[j] = widened[j].data();
#pragma omp parallel for schedule(static) if (samples >= kThreadedWidening)
    for (long b = 0; b < blocksPerView * count; ++b) {
      const long j = b / blocksPerView, first = (b % blocksPerView) * kBlock;
      const float* from = views[j].filtered;
      double* to = target[j];
      for (long i = first; i < std::min(samples, first + kBlock); ++i) to[i] = from[i];
    }
    for (int j = 0; j < count; ++j) std::fill(target[j] + samples, target[j] + samples + kWidenedPadding, 0.0);
  }

  const ColumnKernel kernel = kernelFor(level);
  const Tiles tiles = tilesFor(p, count, level == SimdLevel::kAvx512 ? sizeof(double) : sizeof(float));
  const int yEnd = p.yOrigin + p.ySize;
  const int bands = (p.ySize + tiles.rows - 1) / tiles.rows;
  // One band of voxel rows per task. Dynamic scheduling evens out the bands,
  // which shorten towards the edge of the field-of-view circle.
#pragma omp parallel for schedule(dynamic, 1)
  for (int band = 0; band < bands; ++band) {
    const int y0 = p.yOrigin + band * tiles.rows, y1 = std::min(yEnd, y0 + tiles.rows);
    // Each row of the band walks along x for each view, block by block.
    thread_local std::vector<RowWalk> walks;
    thread_local std::vector<ColumnRay> rays;
    thread_local std::vector<unsigned char> reached;
    walks.resize(static_cast<size_t>(y1 - y0) * count);
    rays.resize(static_cast<size_t>(count) * tiles.columns);
    int xLo = p.xOrigin + p.xSize, xHi = p.xOrigin;
    for (int y = y0; y < y1; ++y) {
      for (int j = 0; j < count; ++j) {
        RowWalk& w = walks[static_cast<size_t>(y - y0) * count + j];
        w = startRow(p, geometry[j], y);
        if (w.x >= w.xHi) continue;
        xLo = std::min(xLo, w.x);
        xHi = std::max(xHi, w.xHi);
      }
    }
    for (int x0 = xLo; x0 < xHi; x0 += tiles.columns) {
      const int x1 = std::min(xHi, x0 + tiles.columns);
      for (int y = y0; y < y1; ++y) {
        // The rays of the block's columns for every view first, then each
        // voxel column takes the views in order while it stays in the
        // core's first-level cache.
        reached.assign(static_cast<size_t>(count) * tiles.columns, 0);
        for (int j = 0; j < count; ++j) {
          RowWalk& walk = walks[static_cast<size_t>(y - y0) * count + j];
          if (level == SimdLevel::kAvx512) {
            const size_t at = static_cast<size_t>(j) * tiles.columns;
            columnRaysAvx512(p, geometry[j], walk, x1, x0, &rays[at], &reached[at]);
            continue;
          }
          walkRowTo(p, geometry[j], walk, x1,
                    [&](int x, const ColumnRay& c) {
                      const size_t at = static_cast<size_t>(j) * tiles.columns + (x - x0);
                      rays[at] = c;
                      reached[at] = 1;
                    });
        }
        for (int x = x0; x < x1; ++x) {
          for (int j = 0; j < count; ++j) {
            const size_t at = static_cast<size_t>(j) * tiles.columns + (x - x0);
            if (reached[at]) kernel(filtered[j], geometry[j], rays[at], voxelAt(p, x, y, rays[at].zLo));
          }
        }
      }
    }
  }
}

void backProjectViewWith(const float* filtered, ReconParams& p, int view, SimdLevel level) {
  const ViewToProject one{filtered, view, p.axis};
  backProjectViewsWith(&one, 1, p, level);
}

void backProjectView(const float* filtered, ReconParams& p, int view) {
  backProjectViewWith(filtered, p, view, bestSimdLevel());
}

void backProjectViews(const ViewToProject* views, int count, ReconParams& p) {
  backProjectViewsWith(views, count, p, bestSimdLevel());
}
