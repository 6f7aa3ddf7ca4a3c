// Weighting and ramp filtering of a view's rows (backproject/filtering.h).
#include "backproject/filtering.h"

#include <omp.h>

#include <algorithm>

#include "geometry/geometry.h"

namespace {

float* projectionRow(ReconParams& p, int r) { return p.projection + static_cast<long>(r) * p.yprojSizeUser; }

// Row r of the current view, in place, times its cosine pre-weights and, for
// half a turn plus the fan, the view's short-scan weights (Parker 1982).
void weightRow(ReconParams& p, int view, int r) {
  const long width = p.yprojSizeUser;
  float* row = projectionRow(p, r);
  const float* cosine = p.preWeight + r * width;
  if (p.full360) {
    for (long c = 0; c < width; ++c) row[c] = static_cast<float>(double(row[c]) * cosine[c]);
  } else {
    const float* shortScan = p.shortScanWeight + view * width;
    for (long c = 0; c < width; ++c) row[c] = static_cast<float>(double(row[c]) * cosine[c] * shortScan[c]);
  }
}

void applyWeights(ReconParams& p, int view) {
  for (int r = 0; r < p.zprojSize; ++r) weightRow(p, view, r);
}

// Copies the weighted row into the zero-padded FFT buffer from position A
// on; raw columns that would fall past its end are dropped.
void placeRow(const ReconParams& p, const SlabStart& start, const float* row, float* buffer) {
  const int columns = std::max(0, std::min(p.yprojSizeUser, p.filterSize - start.rawPosition));
  std::copy(row, row + columns, buffer + start.rawPosition);
}

// Direct convolution of weighted row r with the Ram-Lak kernel, L taps either
// side counting the centre. Taps that would fall before the first element of
// the kernel (the filtered range starting right of raw column 0 with L near
// the width) are left out: the kernel has nothing beyond its ends.
void convolveRow(const ReconParams& p, const SlabStart& start, const float* row, int r, float* filtered) {
  const int width = p.yprojSizeUser;
  const int taps = p.kernelLength;
  const int d = start.kernelShift;
  const int firstColumn = p.truncated && start.axisColumn > 0 ? start.axisColumn : 0;
  for (int col = firstColumn; col < p.yprojSize; ++col) {
    int lo = col - taps + 1;
    if (lo < 0) lo = 0;
    if (lo < col - d - (width - 1)) lo = col - d - (width - 1);
    int hi = col + taps - 1;
    if (hi > width - 1) hi = width - 1;
    if (hi > col - 1 - d + width) hi = col - 1 - d + width;
    const long tap = (width - 1) - col + d;  // kernel index of raw column k is tap + k
    double sum = 0.0;
    for (int k = lo; k <= hi; ++k) sum += double(row[k]) * p.convKernel[tap + k];
    filtered[static_cast<long>(col) * p.zprojSize + r] = static_cast<float>(sum);
  }
}

// Ramp filter in frequency space of row r, placed zero-padded in `buffer`
// (filterSize floats). The inverse transform's scaling is folded into the
// filter values. Buffer positions past the end of the buffer (an axis far off
// the centre of a row whose width is close to the FFT length) read as zero.
// `transform` is fftReal, or fftRealReference in the plain pipeline.
void rampFilterRow(const ReconParams& p, const SlabStart& start, float* buffer, int r, float* filtered,
                   void (*transform)(float*, int, int)) {
  const int n = p.filterSize;
  transform(buffer, p.filterSizeHalf, 1);
  for (int k = 0; k < n; ++k) buffer[k] = static_cast<float>(double(buffer[k]) * p.rampFilter[k]);
  transform(buffer, p.filterSizeHalf, -1);
  for (int col = 0; col < p.yprojSize; ++col) {
    const int position = start.filteredPosition + col;
    filtered[static_cast<long>(col) * p.zprojSize + r] = position < n ? buffer[position] : 0.0f;
  }
}

}  // namespace

// The plain pipeline, one thread: the whole view is weighted in place, then
// filtered row by row, the FFT form in a fresh zero-filled buffer per row.
void plainConvolution(ReconParams& p, const SlabStart& start, int view, float* filtered) {
  applyWeights(p, view);
  for (int r = 0; r < p.zprojSize; ++r) convolveRow(p, start, projectionRow(p, r), r, filtered);
}

void plainFft(ReconParams& p, const SlabStart& start, int view, float* filtered) {
  applyWeights(p, view);
  for (int r = 0; r < p.zprojSize; ++r) {
    float* buffer = vector(p.filterSize);
    placeRow(p, start, projectionRow(p, r), buffer);
    rampFilterRow(p, start, buffer, r, filtered, fftRealReference);
    std::free(buffer);
  }
}

// The threaded pipeline's step for one row: the row is weighted and, while
// it is still in the core's cache, filtered; the FFT form works in the
// thread's scratch row instead of a fresh buffer. The float operations are
// those of the plain pipeline, so the result is the same bit for bit, and the
// weighted view is left in the projection as there.
void convolutionRow(ReconParams& p, const SlabStart& start, int view, int r, float*, float* filtered) {
  weightRow(p, view, r);
  convolveRow(p, start, projectionRow(p, r), r, filtered);
}

void fftRow(ReconParams& p, const SlabStart& start, int view, int r, float* scratch, float* filtered) {
  weightRow(p, view, r);
  std::fill(scratch, scratch + p.filterSize, 0.0f);
  placeRow(p, start, projectionRow(p, r), scratch);
  rampFilterRow(p, start, scratch, r, filtered, fftReal);
}

// Rows are independent, so they are spread over the threads in blocks of
// kRowBlock: each thread writes its own range of rows r in every transposed
// column, and threads share a cache line only where two ranges meet. The
// blocks are handed out as threads come free rather than split evenly in
// advance, so that a thread the system has put aside for other work (a
// shared host) holds the view up by one block at most.
constexpr int kRowBlock = 32;

void filterViewThreaded(ReconParams& p, const SlabStart& start, int view, const FilterForm& form,
                        const RowScratch& scratch, float* filtered) {
  const int rows = p.zprojSize;
#pragma omp parallel for num_threads(scratch.threads()) schedule(dynamic, kRowBlock)
  for (int r = 0; r < rows; ++r) form.row(p, start, view, r, scratch.forThread(omp_get_thread_num()), filtered);
}

// Width-truncated data: each view was completed from the opposite one, so
// every ray near the axis is counted twice over the full turn. Column a0 - 1
// is cleared and columns a0, a0 + 1 are ramped, so that the interpolated weight
// rises from 0 one column left of the axis to 1 two columns right of a0 and is
// exactly one half at the axis itself. (The convolution form never writes
// column a0 - 1, so clearing it changes nothing there.)
void prepareAxisColumns(ReconParams& p, int a0, float* filtered) {
  const long rows = p.zprojSize;
  const double ua = p.axis;
  if (a0 - 1 >= 0 && a0 - 1 < p.yprojSize) {
    for (long r = 0; r < rows; ++r) filtered[(a0 - 1) * rows + r] = 0.0f;
  }
  const double first = 0.5 * (a0 + 1 - ua);
  const double second = 0.5 * (a0 + 2 - ua);
  if (a0 >= 0 && a0 + 1 < p.yprojSize) {
    for (long r = 0; r < rows; ++r) {
      filtered[a0 * rows + r] = static_cast<float>(double(filtered[a0 * rows + r]) * first);
      filtered[(a0 + 1) * rows + r] = static_cast<float>(double(filtered[(a0 + 1) * rows + r]) * second);
    }
  }
}

