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

#include "backproject/backproject.h"
#include "backproject/column.h"
#include "backproject/fast.h"

using namespace backproject_detail;

namespace {

void accumulateColumnScalar(const float* column, const float*, long rows, const ViewGeometry& g,
                            const ColumnRay& c, float* voxel) {
  for (int z = c.zLo; z < c.zHi; ++z, ++voxel) accumulateSlice(column, rows, g, c, z, voxel);
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

// KORVAN_BACKPROJECT=reference runs the plain single-threaded loop instead,
// for comparison and timing.
bool referenceRequested() {
  const char* choice = std::getenv("KORVAN_BACKPROJECT");
  return choice != nullptr && std::strcmp(choice, "reference") == 0;
}

}  // namespace

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
  const long rows = p.zprojSize;
  const float* end = filtered + static_cast<std::ptrdiff_t>(p.yprojSize) * rows;
  const ColumnKernel kernel = kernelFor(level);
  const int yEnd = p.yOrigin + p.ySize;

  // One voxel row (xSize x zSize contiguous floats) per task. Dynamic
  // scheduling evens out the rows, which shorten towards the edge of the
  // field-of-view circle.
#pragma omp parallel for schedule(dynamic, 1)
  for (int y = p.yOrigin; y < yEnd; ++y) {
    forEachColumn(p, g, y, [&](int x, const ColumnRay& c) {
      kernel(filtered + c.iu * rows, end, rows, g, c, voxelAt(p, x, y, c.zLo));
    });
  }
}

void backProjectView(const float* filtered, ReconParams& p, int view) {
  static const bool reference = referenceRequested();
  if (reference)
    backProjectViewReference(filtered, p, view);
  else
    backProjectViewWith(filtered, p, view, bestSimdLevel());
}
