// The back-projector as the reconstruction loops run it: the reference
// computation (backprojector.cpp) spread over OpenMP threads by voxel rows y,
// with the z loop of every voxel column vectorised over slices with AVX2 or
// AVX-512 when the CPU has them.
//
// Bit-identity with the reference holds by construction: every voxel column
// takes its U, T, u, fu, m, w and z range from the same code (column.h);
// each lane of a kernel does the reference's double operations in the
// reference's order; each voxel row is written by one thread only; and the
// views still arrive one after another, so every voxel sees the same
// sequence of float additions.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "backproject/backproject.h"
#include "backproject/column.h"
#include "backproject/fast.h"

using namespace backproject_detail;

namespace {

void accumulateColumnScalar(const FilteredView& f, const ViewGeometry& g, const ColumnRay& c, float* voxel) {
  const float* column = f.samples + c.iu * f.rows;
  for (int z = c.zLo; z < c.zHi; ++z, ++voxel) accumulateSlice(column, f.rows, g, c, z, voxel);
}

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

bool referencePipelineRequested() {
  static const bool requested = [] {
    const char* choice = std::getenv("KORVAN_BACKPROJECT");
    return choice != nullptr && std::strcmp(choice, "reference") == 0;
  }();
  return requested;
}

SimdLevel bestSimdLevel() {
  static const SimdLevel level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl"))
      return SimdLevel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
    return SimdLevel::kScalar;
  }();
  return level;
}

void backProjectViewWith(const float* filtered, ReconParams& p, int view, SimdLevel level) {
  const ViewGeometry g = viewGeometry(p, view);
  const long count = static_cast<long>(p.yprojSize) * p.zprojSize;
  FilteredView f{filtered, filtered + count, nullptr, p.zprojSize};

  // The AVX-512 kernel reads the view widened to double, padded at the end.
  // The buffer lives on with the calling thread, so a run of views reuses it.
  thread_local std::vector<double> widened;
  if (level == SimdLevel::kAvx512) {
    widened.assign(filtered, filtered + count);
    widened.resize(static_cast<size_t>(count + kWidenedPadding), 0.0);
    f.widened = widened.data();
  }

  const ColumnKernel kernel = kernelFor(level);
  const int yEnd = p.yOrigin + p.ySize;
  // One voxel row (xSize x zSize contiguous floats) per task. Dynamic
  // scheduling evens out the rows, which shorten towards the edge of the
  // field-of-view circle.
#pragma omp parallel for schedule(dynamic, 1)
  for (int y = p.yOrigin; y < yEnd; ++y) {
    forEachColumn(p, g, y, [&](int x, const ColumnRay& c) { kernel(f, g, c, voxelAt(p, x, y, c.zLo)); });
  }
}

void backProjectView(const float* filtered, ReconParams& p, int view) {
  if (referencePipelineRequested())
    backProjectViewReference(filtered, p, view);
  else
    backProjectViewWith(filtered, p, view, bestSimdLevel());
}
