// Internal to backproject/: the weighting and ramp filtering of a view's
// rows, which the slab loop drives. Each row is multiplied by its cosine
// pre-weights (and, for half a turn plus the fan, Parker's short-scan
// weights), then filtered by direct convolution with the Ram-Lak kernel or
// with the ramp in frequency space (Kak & Slaney, ch. 3), into the
// transposed filtered projection: column by column, rows contiguous.
#pragma once

#include <cstdlib>

#include "driver/params.h"
#include "host/host.h"

// Positions fixed once at the start of a slab.
struct SlabStart {
  int rawPosition = 0;       // FFT buffer position of raw column 0 (A)
  int filteredPosition = 0;  // FFT buffer position of filtered column 0 (B)
  int kernelShift = 0;       // raw column of filtered column col is col - kernelShift
  int axisColumn = 0;        // filtered column holding the rotation axis (a0)
};

// The two filter forms, each as the plain pipeline and as the row step of
// the threaded one with the length of the scratch row it needs (none for
// the convolution, which reads the weighted row where it lies).
struct FilterForm {
  void (*plain)(ReconParams& p, const SlabStart& start, int view, float* filtered);
  void (*row)(ReconParams& p, const SlabStart& start, int view, int r, float* scratch, float* filtered);
  long scratchLength;
};

// One scratch row per thread, allocated once per slab. The block is only
// 16-byte aligned, so each row starts a spare cache line past the end of the
// one before: the FFT works all over its row, and one line shared by two
// threads' rows nearly halved the speed of two threads (0.53 s instead of
// 0.30 s to filter 360 views of 256 rows on the machine of PERFORMANCE.md).
class RowScratch {
 public:
  RowScratch(long length, int threads)
      : threads_(threads), stride_((length + 15) / 16 * 16 + 16), block_(vector(stride_ * threads)) {}
  ~RowScratch() { std::free(block_); }
  RowScratch(const RowScratch&) = delete;
  RowScratch& operator=(const RowScratch&) = delete;
  int threads() const { return threads_; }
  float* forThread(int t) const { return block_ + t * stride_; }

 private:
  int threads_;
  long stride_;
  float* block_;
};

// The plain pipeline, one thread: the whole view is weighted in place, then
// filtered row by row, the FFT form in a fresh zero-filled buffer per row.
void plainConvolution(ReconParams& p, const SlabStart& start, int view, float* filtered);
void plainFft(ReconParams& p, const SlabStart& start, int view, float* filtered);

// The threaded pipeline's step for one row: weighted and, while it is still
// in the core's cache, filtered. Bit for bit the plain pipeline's result.
void convolutionRow(ReconParams& p, const SlabStart& start, int view, int r, float* scratch, float* filtered);
void fftRow(ReconParams& p, const SlabStart& start, int view, int r, float* scratch, float* filtered);

// Every row of the view on the threads of `scratch`.
void filterViewThreaded(ReconParams& p, const SlabStart& start, int view, const FilterForm& form,
                        const RowScratch& scratch, float* filtered);

// Width-truncated data: the columns at the axis weighted so that each ray
// near it, measured twice over the full turn, counts once.
void prepareAxisColumns(ReconParams& p, int a0, float* filtered);
