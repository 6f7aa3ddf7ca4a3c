// The per-slab reconstruction loop of filtered back-projection (Feldkamp,
// Davis & Kress 1984): every view is read, weighted (cosine pre-weights and,
// for a half turn plus the fan, Parker's short-scan weights), ramp-filtered
// row by row into the transposed filtered projection and back-projected into
// the slab. The two forms differ only in the filter step: direct convolution
// with the Ram-Lak kernel, or multiplication with the ramp in frequency space
// (Kak & Slaney, ch. 3).
#include <omp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backproject/backproject.h"
#include "backproject/fast.h"
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
  int32_t next[2];
  const long voxels = static_cast<long>(p.zSize) * p.ySize * p.xSize;
  bool complete;
  {
    const OwnedFile dump = openOwned(name, "rb");
    if (!dump) return;
    complete = std::fread(next, sizeof next[0], 2, dump.get()) == 2 &&
               std::fread(p.volume, sizeof(float), voxels, dump.get()) == static_cast<size_t>(voxels);
  }
  littleEndianToHost(next, 2);
  if (!complete || next[0] < 0 || next[0] > p.nang) failRunf("Error: unusable suspension dump %s", name);
  littleEndianToHost(p.volume, voxels);
  std::remove(name);
  *view = next[0];
  *fileNumber = next[1];
}

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

void readView(ReconParams& p, const char* inSpec, int fileNumber) {
  const std::string name = formatName(inSpec, fileNumber);
  if (p.truncated) {
    const std::string companion = formatName(inSpec, companionFileNumber(p, fileNumber));
    readTruncatedProjection(p, name.c_str(), companion.c_str());
  } else {
    readProjection(p, name.c_str());
  }
}

// KORVAN_BENCH=1 prints the time spent in each stage of a slab to standard
// error, to see where a run's time goes.
class StageTimes {
 public:
  enum Stage { kOther, kRead, kFilter, kBackProject, kScale, kStages };

  StageTimes() : enabled_(std::getenv("KORVAN_BENCH") != nullptr), last_(Clock::now()) {}

  // The time since the previous call goes to `stage`.
  void charge(Stage stage) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    seconds_[stage] += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

  void print(int slab) const {
    if (!enabled_) return;
    std::fprintf(stderr, "korvan bench: slab %d: read %.3f s, weight and filter %.3f s, back-project %.3f s, "
                 "scale %.3f s, other %.3f s\n",
                 slab, seconds_[kRead], seconds_[kFilter], seconds_[kBackProject], seconds_[kScale], seconds_[kOther]);
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  Clock::time_point last_;
  double seconds_[kStages] = {};
};

// Filtered views kept for one pass of the back-projector over the slab.
// Each voxel still takes the views one after another in view order, so the
// sums are those of one view per pass; what a batch saves is the slab's trip
// over the memory bus for every view (docs/PERFORMANCE.md has the figures).
// KORVAN_VIEWS_PER_PASS (1 to 16) overrides the default for measurements;
// the extra filtered views are capped at kBatchBytes, so that a large
// detector falls back to fewer views per pass rather than to a large
// allocation the memory plan did not count.
class ViewBatch {
 public:
  static constexpr int kDefaultViews = 4;
  static constexpr long kBatchBytes = 32L << 20;

  ViewBatch(const ReconParams& p, float* first, bool plain) {
    const long samples = static_cast<long>(p.yprojSize) * p.zprojSize;
    int views = kDefaultViews;
    if (const char* choice = std::getenv("KORVAN_VIEWS_PER_PASS")) views = std::atoi(choice);
    views = std::max(1, std::min(views, kMaxViews));
    const long bytes = std::max(1L, samples) * static_cast<long>(sizeof(float));
    views = static_cast<int>(std::max(1L, std::min<long>(views, kBatchBytes / bytes)));
    if (plain) views = 1;
    lastView_ = p.nang - 1;
    buffers_[0] = first;
    // Zero-filled like the record's own buffer: the convolution form never
    // writes the columns left of the axis of width-truncated data.
    for (int j = 1; j < views; ++j) buffers_[j] = vector(std::max(1L, samples));
    capacity_ = views;
  }
  ~ViewBatch() {
    for (int j = 1; j < capacity_; ++j) std::free(buffers_[j]);
  }
  ViewBatch(const ViewBatch&) = delete;
  ViewBatch& operator=(const ViewBatch&) = delete;

  // The buffer to filter `view` into. Any run of consecutive views takes
  // distinct buffers, and the last view of the slab the record's own, which
  // thus ends holding the last filtered view as with one view per pass.
  float* bufferFor(int view) const { return buffers_[(lastView_ - view) % capacity_]; }
  // `view` has been filtered into bufferFor(view); true when the batch is full.
  bool add(int view, float axis) {
    pending_[count_++] = ViewToProject{bufferFor(view), view, axis};
    return count_ == capacity_;
  }
  void backProject(ReconParams& p) {
    if (count_ > 0) backProjectViews(pending_, count_, p);
    count_ = 0;
  }

 private:
  static constexpr int kMaxViews = 16;
  float* buffers_[kMaxViews] = {};
  ViewToProject pending_[kMaxViews] = {};
  int capacity_ = 1;
  int count_ = 0;
  int lastView_ = 0;
};

void reconstructSlab(ReconParams& p, const char* inSpec, const SlabStart& start, const FilterForm& form,
                     float* filtered, float& progress) {
  // The reference pipeline runs every stage plainly on one thread, one view
  // at a time; the threaded one gives the same bits.
  const bool plain = referencePipelineRequested();
  const RowScratch scratch(plain ? 0 : form.scratchLength, plain ? 1 : omp_get_max_threads());
  ViewBatch batch(p, filtered, plain);
  StageTimes times;

  OffsetTable table;
  if (p.offsetFile[0]) readOffsetTable(p.offsetFile, table);

  int firstView = 0;
  int fileNumber = p.firstFile;
  resumeFromDump(p, &firstView, &fileNumber);

  // Share of one view in the whole reconstruction: zSizeUser holds the height
  // given, or the one the slab plan derived when none was given. A record
  // that never went through the plan counts its own slab as the whole.
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
    checkStopSignal();

    times.charge(StageTimes::kOther);
    readView(p, inSpec, fileNumber);
    times.charge(StageTimes::kRead);
    float* out = batch.bufferFor(view);
    if (plain)
      form.plain(p, start, view, out);
    else
      filterViewThreaded(p, start, view, form, scratch, out);
    if (p.truncated) prepareAxisColumns(p, start.axisColumn, out);
    times.charge(StageTimes::kFilter);
    if (batch.add(view, p.axis) || view == p.nang - 1) {
      batch.backProject(p);
      times.charge(StageTimes::kBackProject);
    }

    if (shifted) {
      p.axis = savedAxis;
      p.axisUser = savedAxisUser;
    }
  }

  // The factor also scales sums restored from a dump, which are unscaled.
  const float factor = angularScaleFactor(p);
  const long voxels = static_cast<long>(p.zSize) * p.ySize * p.xSize;
  times.charge(StageTimes::kOther);
#pragma omp parallel for schedule(static) if (!plain)
  for (long i = 0; i < voxels; ++i) p.volume[i] = static_cast<float>(double(p.volume[i]) * factor);
  times.charge(StageTimes::kScale);
  times.print(p.chunkIndex);
}

}  // namespace

namespace {

// A file given with -g that yields nothing leaves the run without offsets,
// as if none had been given; the operator learns of it on the console, once
// per run rather than once per slab.
void warnOffsetFileUnused(const char* fileName, const char* why) {
  static std::string warned;
  if (warned == fileName) return;
  warned = fileName;
  std::fflush(stdout);
  std::fprintf(stderr, "Warning: offset file %s %s; reconstructing without axis offsets\n", fileName, why);
}

}  // namespace

void readOffsetTable(const char* fileName, OffsetTable& table) {
  table = OffsetTable{};
  const OwnedFile owned = openOwned(fileName, "r");
  FILE* file = owned.get();
  if (!file) {
    warnOffsetFileUnused(fileName, (std::string("cannot be opened (") + std::strerror(errno) + ")").c_str());
    return;
  }
  float angle, offset;
  while (std::fscanf(file, "%f %f", &angle, &offset) == 2) {
    if (table.count == OffsetTable::kCapacity - 1)
      failRunf("Error: offset file %s holds more than 999 pairs", fileName);
    table.angle[table.count] = angle;
    table.offset[table.count] = offset;
    ++table.count;
  }
  if (table.count == 0) {
    // Say what stopped the reading: the first line as it stands.
    char line[64] = "";
    std::rewind(file);
    if (!std::fgets(line, sizeof line, file)) line[0] = '\0';
    line[std::strcspn(line, "\r\n")] = '\0';
    warnOffsetFileUnused(fileName, line[0] ? ("holds no angle and offset pairs (it begins \"" + std::string(line) +
                                               "\"; expected two numbers per line, separated by blanks)")
                                                  .c_str()
                                            : "is empty");
  }
  // Past the last pair the offset falls linearly towards 0 at 1000 degrees.
  table.angle[table.count] = 1000.0f;
  table.offset[table.count] = 0.0f;
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

void creditSlabProgress(ReconParams& p) {
  float& progress = p.convolution ? convolutionProgress : fftProgress;
  int slices = p.zSizeUser / p.zBinSize;
  if (slices <= 0) slices = p.zSize;
  for (int view = 0; view < p.nang; ++view)
    progress = static_cast<float>(double(progress) + double(p.zSize) / slices / p.nang);
  if (p.serverUrl) report_status(p.jobId, kProgressText, progress);
}

void reconstructSlabConvolution(ReconParams& p, const char* inSpec) {
  SlabStart start;
  start.kernelShift = roundNearest(static_cast<float>(double(p.axis) - p.axisUser));
  start.axisColumn = static_cast<int>(p.axis);
  const FilterForm form{plainConvolution, convolutionRow, 0};
  reconstructSlab(p, inSpec, start, form, p.convFiltered, convolutionProgress);
}

void reconstructSlabFft(ReconParams& p, const char* inSpec) {
  SlabStart start;
  start.rawPosition = roundNearest(static_cast<float>(double(p.filterSizeHalf) - p.axisUser));
  start.filteredPosition = roundNearest(static_cast<float>(double(p.filterSizeHalf) - p.axis));
  if (p.zprojSize > 0 && (start.rawPosition < 0 || start.filteredPosition < 0)) {
    log_error("Internal array offset error.  Center of rotation value may be incorrect.\n");
    // This end skips the exit handlers (no final report is sent), so the
    // chunk file and unfinished outputs are removed here.
    discardUnfinishedOutput();
    exitWithoutHandlers(-1);
  }
  start.axisColumn = static_cast<int>(p.axis);
  const FilterForm form{plainFft, fftRow, p.filterSize};
  reconstructSlab(p, inSpec, start, form, p.fftFiltered, fftProgress);
}
