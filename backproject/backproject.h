// The reconstruction of a slab from its views (weighting, filtering and
// back-projection), and the output stage that turns the slabs into the
// output volumes and slices.
#pragma once

#include "driver/params.h"

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
