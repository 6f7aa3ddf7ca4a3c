// Back-projection of filtered views into a slab, the per-slab reconstruction
// loops, and the assembly of the output volumes and slices.
#pragma once

#include <cstdint>
#include <cstdio>

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

// Switches of the slab loop for comparison and measurement; the driver reads
// them from the environment once.
struct LoopSwitches {
  bool reference = false;   // KORVAN_BACKPROJECT=reference: every stage plainly on one thread, one view at a time
  int viewsPerPass = 0;     // KORVAN_VIEWS_PER_PASS: views per pass of the back-projector, 0 = the default
  bool stageTimes = false;  // KORVAN_BENCH: each slab's time per stage on standard error
};

// Fill the current slab with the filtered back-projection of every view:
// by direct convolution with the Ram-Lak kernel, or with the FFT ramp filter.
void reconstructSlabConvolution(ReconParams& p, const char* inSpec, const LoopSwitches& switches);
void reconstructSlabFft(ReconParams& p, const char* inSpec, const LoopSwitches& switches);
// A slab reconstructed by another process of a cluster run counts as done
// here: the progress advances by the shares of its views, adding them one by
// one as reconstructing it here would, and is reported once.
void creditSlabProgress(ReconParams& p);

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

// The files of the output stage and the texts of their headers.
struct OutputNames {
  const char* volume;        // the 16-bit volume; the chunk file is named beside it
  const char* bytes;         // the byte volume, or nullptr for none
  const char* slicePattern;  // printf pattern of the float slices, or nullptr for none
  const char* title;         // header "title="
  const char* date;          // header "date="
};
// After each slab: slice order, running min/max, chunk file when several slabs.
void writeSlab(ReconParams& p, const OutputNames& out);
// After the last slab: the 16-bit volume, the optional byte volume and slices.
void assembleOutput(ReconParams& p, const OutputNames& out);

// Slice z into p.floatSlice (from the chunk file when there are several
// slabs); returns 0 when nothing could be read.
int readSlice(ReconParams& p, int z, FILE* chunkFile);
// p.floatSlice back into slice z of p.volume (one-slab runs only).
void storeSlice(ReconParams& p, int z);
