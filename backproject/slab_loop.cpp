// The per-slab reconstruction loop of filtered back-projection (Feldkamp,
// Davis & Kress 1984): every view is read, weighted and ramp-filtered
// (backproject/filtering.h) and back-projected into the slab, several views
// per pass; then the slab is scaled by the angular step. Progress goes to the
// server view by view.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "backproject/backproject_detail.h"
#include "backproject/filtering.h"
#include "backproject/suspension.h"
#include "geometry/geometry.h"
#include "host/host.h"
#include "host/unfinished_files.h"
#include "vff/vff.h"

namespace {

const char kProgressText[] = "Back-projecting in spatial domain...";

// Fraction of the whole reconstruction done so far, one per loop form; it
// runs on across slabs and reaches 1 when the last slab is done.
float convolutionProgress = 0.0f;
float fftProgress = 0.0f;

std::string formatName(const char* pattern, int number) {
  char name[1100];
  std::snprintf(name, sizeof name, pattern, number);
  return name;
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

// On request (KORVAN_BENCH), the time spent in each stage of a slab goes to
// standard error, to see where a run's time goes.
class StageTimes {
 public:
  enum Stage { kOther, kRead, kFilter, kBackProject, kScale, kStages };

  explicit StageTimes(bool enabled) : enabled_(enabled), last_(Clock::now()) {}

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
// A views-per-pass switch (1 to 16) overrides the default for measurements;
// the extra filtered views are capped at kBatchBytes, so that a large
// detector falls back to fewer views per pass rather than to a large
// allocation the memory plan did not count.
class ViewBatch {
 public:
  static constexpr int kDefaultViews = 4;
  static constexpr long kBatchBytes = 32L << 20;

  ViewBatch(const ReconParams& p, float* first, const LoopSwitches& switches) : plain_(switches.reference) {
    const long samples = static_cast<long>(p.yprojSize) * p.zprojSize;
    int views = switches.viewsPerPass > 0 ? switches.viewsPerPass : kDefaultViews;
    views = std::max(1, std::min(views, kMaxViews));
    const long bytes = std::max(1L, samples) * static_cast<long>(sizeof(float));
    views = static_cast<int>(std::max(1L, std::min<long>(views, kBatchBytes / bytes)));
    if (plain_) views = 1;
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
    if (plain_) {
      // The reference loop reads the axis from the record.
      const float axis = p.axis;
      for (int j = 0; j < count_; ++j) {
        p.axis = pending_[j].axis;
        backProjectViewReference(pending_[j].filtered, p, pending_[j].view);
      }
      p.axis = axis;
    } else if (count_ > 0) {
      backProjectViews(pending_, count_, p);
    }
    count_ = 0;
  }

 private:
  static constexpr int kMaxViews = 16;
  bool plain_;
  float* buffers_[kMaxViews] = {};
  ViewToProject pending_[kMaxViews] = {};
  int capacity_ = 1;
  int count_ = 0;
  int lastView_ = 0;
};

void reconstructSlab(ReconParams& p, const char* inSpec, const LoopSwitches& switches, const SlabStart& start,
                     const FilterForm& form, float* filtered, float& progress) {
  // The reference pipeline runs every stage plainly on one thread, one view
  // at a time; the threaded one gives the same bits.
  const bool plain = switches.reference;
  const RowScratch scratch(plain ? 0 : form.scratchLength, plain ? 1 : omp_get_max_threads());
  ViewBatch batch(p, filtered, switches);
  StageTimes times(switches.stageTimes);

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

void reconstructSlabConvolution(ReconParams& p, const char* inSpec, const LoopSwitches& switches) {
  SlabStart start;
  start.kernelShift = roundNearest(static_cast<float>(double(p.axis) - p.axisUser));
  start.axisColumn = static_cast<int>(p.axis);
  const FilterForm form{plainConvolution, convolutionRow, 0};
  reconstructSlab(p, inSpec, switches, start, form, p.convFiltered, convolutionProgress);
}

void reconstructSlabFft(ReconParams& p, const char* inSpec, const LoopSwitches& switches) {
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
  reconstructSlab(p, inSpec, switches, start, form, p.fftFiltered, fftProgress);
}
