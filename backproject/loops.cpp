// The per-slab reconstruction loop of filtered back-projection (Feldkamp,
// Davis & Kress 1984): every view is read, weighted (cosine pre-weights and,
// for a half turn plus the fan, Parker's short-scan weights), ramp-filtered
// row by row into the transposed filtered projection and back-projected into
// the slab. The two forms differ only in the filter step: direct convolution
// with the Ram-Lak kernel, or multiplication with the ramp in frequency space
// (Kak & Slaney, ch. 3).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "backproject/backproject.h"
#include "geometry/geometry.h"
#include "host/host.h"
#include "vff/vff.h"

namespace {

const char kProgressText[] = "Back-projecting in spatial domain...";

// Fraction of the whole reconstruction done so far, one per loop form; it
// runs on across slabs and reaches 1 when the last slab is done.
float convolutionProgress = 0.0f;
float fftProgress = 0.0f;

// Positions fixed once at the start of a slab.
struct SlabStart {
  int rawPosition = 0;       // FFT buffer position of raw column 0 (A)
  int filteredPosition = 0;  // FFT buffer position of filtered column 0 (B)
  int kernelShift = 0;       // raw column of filtered column col is col - kernelShift
  int axisColumn = 0;        // filtered column holding the rotation axis (a0)
};

using RowFilter = void (*)(const ReconParams& p, const SlabStart& start, float* filtered);

std::string formatName(const char* pattern, int number) {
  char name[1100];
  std::snprintf(name, sizeof name, pattern, number);
  return name;
}

// The dump holds little-endian 32-bit words.
void littleEndianToHost(void* words, long count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  swapBytes32(words, count);
#else
  (void)words;
  (void)count;
#endif
}

// A suspended job left its partly accumulated (unscaled) slab and the view to
// go on with; take both and remove the dump, so a later run of this slab
// starts afresh.
void resumeFromDump(ReconParams& p, int* view, int* fileNumber) {
  char name[1100];
  std::snprintf(name, sizeof name, "%ssuspend-dump.%d.%d", p.outDir ? p.outDir : "", p.jobId, kNodeNumber);
  FILE* dump = std::fopen(name, "rb");
  if (!dump) return;
  int32_t next[2];
  const long voxels = static_cast<long>(p.zSize) * p.ySize * p.xSize;
  const bool complete = std::fread(next, sizeof next[0], 2, dump) == 2 &&
                  std::fread(p.volume, sizeof(float), voxels, dump) == static_cast<size_t>(voxels);
  std::fclose(dump);
  littleEndianToHost(next, 2);
  if (!complete || next[0] < 0 || next[0] > p.nang) failRunf("Error: unusable suspension dump %s", name);
  littleEndianToHost(p.volume, voxels);
  std::remove(name);
  *view = next[0];
  *fileNumber = next[1];
}

void applyWeights(ReconParams& p, int view) {
  const int width = p.yprojSizeUser;
  const float* shortScan = p.full360 ? nullptr : p.shortScanWeight + static_cast<long>(view) * width;
  for (int r = 0; r < p.zprojSize; ++r) {
    float* row = p.projection + static_cast<long>(r) * width;
    const float* cosine = p.preWeight + static_cast<long>(r) * width;
    for (int c = 0; c < width; ++c) {
      row[c] = shortScan ? static_cast<float>(double(row[c]) * cosine[c] * shortScan[c])
                         : static_cast<float>(double(row[c]) * cosine[c]);
    }
  }
}

// Direct convolution with the Ram-Lak kernel, L taps either side counting the
// centre. Taps that would fall before the first element of the kernel (the
// filtered range starting right of raw column 0 with L near the width) are
// left out: the kernel has nothing beyond its ends.
void filterByConvolution(const ReconParams& p, const SlabStart& start, float* filtered) {
  const int width = p.yprojSizeUser;
  const int taps = p.kernelLength;
  const int d = start.kernelShift;
  const int firstColumn = p.truncated && start.axisColumn > 0 ? start.axisColumn : 0;
  for (int r = 0; r < p.zprojSize; ++r) {
    const float* row = p.projection + static_cast<long>(r) * width;
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
}

// Ramp filter in frequency space, one zero-padded row at a time. The inverse
// transform's scaling is folded into the filter values. Buffer positions past
// the end of the buffer (an axis far off the centre of a row whose width is
// close to the FFT length) are dropped on the way in and read as zero on the
// way out, instead of running off the buffer.
void filterByFft(const ReconParams& p, const SlabStart& start, float* filtered) {
  const int n = p.filterSize;
  const int width = p.yprojSizeUser;
  for (int r = 0; r < p.zprojSize; ++r) {
    const float* row = p.projection + static_cast<long>(r) * width;
    float* buffer = vector(n);
    for (int c = 0; c < width && start.rawPosition + c < n; ++c) buffer[start.rawPosition + c] = row[c];
    fftReal(buffer, p.filterSizeHalf, 1);
    for (int k = 0; k < n; ++k) buffer[k] = static_cast<float>(double(buffer[k]) * p.rampFilter[k]);
    fftReal(buffer, p.filterSizeHalf, -1);
    for (int col = 0; col < p.yprojSize; ++col) {
      const int position = start.filteredPosition + col;
      filtered[static_cast<long>(col) * p.zprojSize + r] = position < n ? buffer[position] : 0.0f;
    }
    std::free(buffer);
  }
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

void readView(ReconParams& p, const char* inSpec, int fileNumber) {
  const std::string name = formatName(inSpec, fileNumber);
  if (p.truncated) {
    const std::string companion = formatName(inSpec, companionFileNumber(p, fileNumber));
    readTruncatedProjection(p, name.c_str(), companion.c_str());
  } else {
    readProjection(p, name.c_str());
  }
}

void reconstructSlab(ReconParams& p, const char* inSpec, const SlabStart& start, RowFilter filterRows,
                     float* filtered, float& progress) {
  OffsetTable table;
  if (p.offsetFile[0]) readOffsetTable(p.offsetFile, table);

  int firstView = 0;
  int fileNumber = p.firstFile;
  resumeFromDump(p, &firstView, &fileNumber);

  // Share of one view in the whole reconstruction. Without a z size on the
  // command line the run is a single slab over the whole clipped region.
  int slices = p.zSizeUser / p.zBinSize;
  if (slices <= 0) slices = p.zSize;

  for (int view = firstView; view < p.nang; ++view, fileNumber += p.fileIncrement) {
    const float savedAxis = p.axis;
    const float savedAxisUser = p.axisUser;
    float shift = 0.0f;
    const float angle = static_cast<float>(double(view) * p.angleIncrement);
    const bool shifted = table.count > 0 && axisShiftAt(table, angle, p.yBinSize, &shift);
    if (shifted) {
      p.axis = static_cast<float>(double(p.axis) + shift);
      p.axisUser = static_cast<float>(double(p.axisUser) + shift);
    }

    progress = static_cast<float>(double(progress) + double(p.zSize) / slices / p.nang);
    if (p.serverUrl) report_status(p.jobId, kProgressText, progress);

    readView(p, inSpec, fileNumber);
    applyWeights(p, view);
    filterRows(p, start, filtered);
    if (p.truncated) prepareAxisColumns(p, start.axisColumn, filtered);
    backProjectView(filtered, p, view);

    if (shifted) {
      p.axis = savedAxis;
      p.axisUser = savedAxisUser;
    }
  }

  // The factor also scales sums restored from a dump, which are unscaled.
  const float factor = angularScaleFactor(p);
  const long voxels = static_cast<long>(p.zSize) * p.ySize * p.xSize;
  for (long i = 0; i < voxels; ++i) p.volume[i] = static_cast<float>(double(p.volume[i]) * factor);
}

}  // namespace

void readOffsetTable(const char* fileName, OffsetTable& table) {
  table = OffsetTable{};
  FILE* file = std::fopen(fileName, "r");
  if (!file) return;
  float angle, offset;
  while (std::fscanf(file, "%f %f", &angle, &offset) == 2) {
    if (table.count == OffsetTable::kCapacity - 1) {
      std::fclose(file);
      failRunf("Error: offset file %s holds more than 999 pairs", fileName);
    }
    table.angle[table.count] = angle;
    table.offset[table.count] = offset;
    ++table.count;
  }
  // Past the last pair the offset falls linearly towards 0 at 1000 degrees.
  table.angle[table.count] = 1000.0f;
  table.offset[table.count] = 0.0f;
  std::fclose(file);
}

bool axisShiftAt(const OffsetTable& table, float angle, int yBinSize, float* shift) {
  for (int k = 0; k < table.count; ++k) {
    const float a0 = table.angle[k];
    const float a1 = table.angle[k + 1];
    if (a0 <= angle && angle <= a1) {
      double offset = table.offset[k];
      // Two pairs at the same angle: take the first rather than divide by zero.
      if (a1 != a0) offset += (double(angle) - a0) / (double(a1) - a0) * (double(table.offset[k + 1]) - table.offset[k]);
      *shift = static_cast<float>(offset / yBinSize);
      return true;
    }
  }
  return false;
}

float angularScaleFactor(const ReconParams& p) {
  // Width-truncated data count every ray twice over the full turn.
  if (p.full360 && p.truncated) return static_cast<float>(2.0 / p.nang);
  if (p.full360) return static_cast<float>(1.0 / p.nang);
  // Half a turn plus the fan: the Parker weights make each ray count once, so
  // the integral over the angles is the step over pi. The step carries the
  // sign of the rotation direction, but the angular integral does not: a
  // reverse-rotation scan covers the same half turn plus fan, and with the
  // signed step its reconstruction comes out negated (checked end to end on
  // a simulated reverse short scan), so the factor takes the step's size.
  return static_cast<float>(std::fabs(double(p.angleStep)) * 0.3183098861837907);
}

void reconstructSlabConvolution(ReconParams& p, const char* inSpec) {
  SlabStart start;
  start.kernelShift = roundNearest(static_cast<float>(double(p.axis) - p.axisUser));
  start.axisColumn = static_cast<int>(p.axis);
  reconstructSlab(p, inSpec, start, filterByConvolution, p.convFiltered, convolutionProgress);
}

void reconstructSlabFft(ReconParams& p, const char* inSpec) {
  SlabStart start;
  start.rawPosition = roundNearest(static_cast<float>(double(p.filterSizeHalf) - p.axisUser));
  start.filteredPosition = roundNearest(static_cast<float>(double(p.filterSizeHalf) - p.axis));
  if (p.zprojSize > 0 && (start.rawPosition < 0 || start.filteredPosition < 0)) {
    log_error("Internal array offset error.  Center of rotation value may be incorrect.\n");
    exitWithoutHandlers(-1);
  }
  start.axisColumn = static_cast<int>(p.axis);
  reconstructSlab(p, inSpec, start, filterByFft, p.fftFiltered, fftProgress);
}
