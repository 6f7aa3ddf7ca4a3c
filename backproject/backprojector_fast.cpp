// The back-projector as the reconstruction loops run it: the reference
// computation (backprojector.cpp) spread over OpenMP threads by voxel rows y,
// with the z loop of every voxel column vectorised over slices with AVX2 or
// AVX-512 when the CPU has them, and several views added in one pass over
// each voxel column.
//
// Bit-identity with the reference holds by construction: every voxel column
// takes its U, T, u, fu, m, w and z range from the same code (column.h);
// each lane of a kernel does the reference's double operations in the
// reference's order; each voxel row is written by one thread only; and a
// voxel column takes the views of a pass one after another in view order, so
// every voxel sees the same sequence of float additions.
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
  const int xSize = p.xSize;
  const int yEnd = p.yOrigin + p.ySize;
  // One voxel row (xSize x zSize contiguous floats) per task. Dynamic
  // scheduling evens out the rows, which shorten towards the edge of the
  // field-of-view circle.
#pragma omp parallel for schedule(dynamic, 1)
  for (int y = p.yOrigin; y < yEnd; ++y) {
    // The rays of every column of the row for every view first, then each
    // voxel column takes the views in order while it stays in the core's
    // first-level cache.
    thread_local std::vector<ColumnRay> rays;
    thread_local std::vector<unsigned char> reached;
    rays.resize(static_cast<size_t>(count) * xSize);
    reached.assign(static_cast<size_t>(count) * xSize, 0);
    int xLo = p.xOrigin + xSize, xHi = p.xOrigin;
    for (int j = 0; j < count; ++j) {
      forEachColumn(p, geometry[j], y, [&](int x, const ColumnRay& c) {
        const size_t at = static_cast<size_t>(j) * xSize + (x - p.xOrigin);
        rays[at] = c;
        reached[at] = 1;
        xLo = std::min(xLo, x);
        xHi = std::max(xHi, x + 1);
      });
    }
    for (int x = xLo; x < xHi; ++x) {
      for (int j = 0; j < count; ++j) {
        const size_t at = static_cast<size_t>(j) * xSize + (x - p.xOrigin);
        if (reached[at]) kernel(filtered[j], geometry[j], rays[at], voxelAt(p, x, y, rays[at].zLo));
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
