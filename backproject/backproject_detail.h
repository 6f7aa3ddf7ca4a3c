// Inside backproject/, and what its tests and benchmarks drive directly: the
// back-projectors (the plain reference loop that defines the result bit for
// bit, and the threaded SIMD one with its instruction-set level), the offset
// table, the angular scale and the slice access of the output stage.
#pragma once

#include <cstdio>

#include "backproject/backproject.h"
#include "driver/params.h"

// Adds view `view` of the transposed filtered projection (col * zprojSize +
// row) into p.volume, voxel by voxel, with bilinear interpolation and the
// (D/U)^2 cone-beam weight.
void backProjectView(const float* filtered, ReconParams& p, int view);
// The plain single-threaded loop that defines the result bit for bit.
void backProjectViewReference(const float* filtered, ReconParams& p, int view);

// One view of a batch: its filtered projection, its index and the rotation
// axis (p.axis) it was filtered with, which an offset file shifts per view.
struct ViewToProject {
  const float* filtered;
  int view;
  float axis;
};
// Adds `count` views in one pass over the slab: each voxel column takes the
// views one after another in the order given, so the slab ends exactly as
// after backProjectView of each in turn, while it crosses the memory bus once
// instead of `count` times.
void backProjectViews(const ViewToProject* views, int count, ReconParams& p);

enum class SimdLevel { kScalar = 0, kAvx2 = 1, kAvx512 = 2 };

// The widest level this CPU (and its operating system) supports.
SimdLevel bestSimdLevel();

// backProjectView on the OpenMP threads with the z loop at `level`, which
// must not exceed bestSimdLevel(). Bit-identical to backProjectViewReference
// at every level and thread count.
void backProjectViewWith(const float* filtered, ReconParams& p, int view, SimdLevel level);
// backProjectViews likewise.
void backProjectViewsWith(const ViewToProject* views, int count, ReconParams& p, SimdLevel level);

// Per-angle correction of the rotation axis read from the offset file: pairs
// of a view angle in degrees and an axis offset in unbinned detector columns,
// ascending in angle, closed by the sentinel (1000, 0).
struct OffsetTable {
  static constexpr int kCapacity = 1000;  // 999 pairs and the sentinel
  int count = 0;                          // pairs read, sentinel not counted
  float angle[kCapacity] = {};
  float offset[kCapacity] = {};
};
// Reads `fileName` into `table`. A file that does not open gives an empty
// table; reading stops at the first pair that does not parse; more than 999
// pairs fail the run.
void readOffsetTable(const char* fileName, OffsetTable& table);
// The axis shift, in binned columns, for a view at `angle` degrees: linear
// interpolation between the entries around it, divided by yBinSize. Returns
// false (no shift) when the table is empty or the angle lies outside it.
bool axisShiftAt(const OffsetTable& table, float angle, int yBinSize, float* shift);

// Scale of the finished slab: the step of the integral over the view angles
// (2/nang for width-truncated data, 1/nang for a full turn, the signed angle
// step over pi for a half turn plus the fan).
float angularScaleFactor(const ReconParams& p);

// Slice z into p.floatSlice (from the chunk file when there are several
// slabs); returns 0 when nothing could be read.
int readSlice(ReconParams& p, int z, FILE* chunkFile);
// p.floatSlice back into slice z of p.volume (one-slab runs only).
void storeSlice(ReconParams& p, int z);
