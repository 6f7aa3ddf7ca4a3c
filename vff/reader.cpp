// Projection reader: loads the detector rows the current slab needs from one
// VFF view into the record's working projection, undoing the big-endian
// byte order and block-averaging when binning is on. For width-truncated
// data a second reader completes the unmeasured columns from the view half
// a turn later.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "host/host.h"
#include "vff/vff.h"

namespace {

constexpr int kFormFeed = 12;

using File = OwnedFile;

struct FreeBlock {
  void operator()(void* block) const { std::free(block); }
};
template <typename T>
using Block = std::unique_ptr<T[], FreeBlock>;

[[noreturn]] void endOfInput() { failRun("Error: end of input file reached!!!"); }

// Sample buffers come from the shared allocators so that a failed
// allocation ends the run the usual way.
template <typename Sample>
Sample* allocateSamples(long count);
template <>
int16_t* allocateSamples<int16_t>(long count) { return svector(count); }
template <>
float* allocateSamples<float>(long count) { return vector(count); }

void swapSamples(int16_t* samples, long count) { swapBytes16(samples, count); }
void swapSamples(float* samples, long count) { swapBytes32(samples, count); }

// The rows of the file that the slab needs: `skip` samples to pass over,
// then `count` samples to keep (both in file samples, before binning).
struct RowWindow {
  long skip;
  long count;
};

RowWindow rowWindow(const ReconParams& p) {
  // centralSlice is the central slice relative to the first row held for the
  // slab, so the difference is the index of that first working row.
  const long first = roundNearest(static_cast<float>(static_cast<double>(p.centralSliceUser) - p.centralSlice));
  const long rowSamples = static_cast<long>(p.zBinSize) * p.projWidth;
  return {first * rowSamples, static_cast<long>(p.zprojSize) * rowSamples};
}

File openView(const char* name) {
  FILE* file = std::fopen(name, "rb");
  if (!file) failRunf("Error: could not open infile %s", name);
  return File(file);
}

// Passes over the header: everything up to the form feed and the one byte
// (the line end) after it.
void skipHeader(FILE* file) {
  int c;
  do {
    c = std::fgetc(file);
    if (c == EOF) endOfInput();
  } while (c != kFormFeed);
  if (std::fgetc(file) == EOF) endOfInput();
}

template <typename Sample>
void readSamples(Sample* buffer, long count, FILE* file) {
  if (count > 0 && std::fread(buffer, sizeof(Sample), static_cast<size_t>(count), file) != static_cast<size_t>(count))
    endOfInput();
}

// Value of working row r, working column c of raw rows as read from a file:
// the sample itself without binning, the block average with it.
template <typename Sample>
class WorkingRows {
 public:
  WorkingRows(const ReconParams& p, const Sample* raw)
      : raw_(raw),
        width_(p.projWidth),
        yBin_(p.yBinSize),
        zBin_(p.zBinSize),
        binned_(p.yBinGiven || p.zBinGiven),
        // The horizontal factor enters twice: the divisor is zBin * yBin^2,
        // not the block size. Lengths are measured in binned columns, so a
        // voxel edge grows by yBin; the extra 1 / yBin keeps the
        // reconstructed values on the scale of an unbinned run.
        scale_(1.0 / (static_cast<double>(p.zBinSize) * p.yBinSize * p.yBinSize)) {}

  // Working columns that the raw rows cover.
  int columns() const { return width_ / yBin_; }

  float operator()(int r, int c) const {
    if (!binned_) return static_cast<float>(raw_[static_cast<long>(r) * width_ + c]);
    float sum = 0.0f;
    for (int k = 0; k < zBin_; ++k) {
      const Sample* row = raw_ + (static_cast<long>(zBin_) * r + k) * width_ + static_cast<long>(yBin_) * c;
      for (int m = 0; m < yBin_; ++m) sum = static_cast<float>(static_cast<double>(sum) + row[m]);
    }
    return static_cast<float>(static_cast<double>(sum) * scale_);
  }

 private:
  const Sample* raw_;
  int width_;
  int yBin_;
  int zBin_;
  bool binned_;
  double scale_;
};

void checkSampleWidth(const ReconParams& p) {
  if (p.bits != 16 && p.bits != 32) failRunf("Error: unsupported sample width bits=%d", p.bits);
}

template <typename Sample>
void readPlain(ReconParams& p, const char* fileName, Sample* raw) {
  const RowWindow window = rowWindow(p);
  // The rows before the window are read, not seeked over, into scratch.
  Block<Sample> skipped(allocateSamples<Sample>(window.skip));
  File file = openView(fileName);
  std::printf("Reading file %s\r", fileName);
  skipHeader(file.get());
  readSamples(skipped.get(), window.skip, file.get());
  readSamples(raw, window.count, file.get());
  swapSamples(raw, window.count);

  const WorkingRows<Sample> rows(p, raw);
  const int w = p.yprojSizeUser;
  const int columns = std::min(w, rows.columns());
  for (int r = 0; r < p.zprojSize; ++r) {
    float* out = p.projection + static_cast<long>(r) * w;
    for (int c = 0; c < columns; ++c) out[c] = rows(r, c);
  }
}

template <typename Sample>
void readTruncated(ReconParams& p, const char* fileName, const char* companionName) {
  const int measured = p.truncWidth;
  // The padding is filled by `mirrored` values from the companion view and
  // a linear bridge of `bridge` values; at most 9 bridge values, and at
  // least one mirrored value.
  int mirrored = p.truncPad - 9;
  int bridge = 9;
  if (mirrored < 1) {
    mirrored = 1;
    bridge = p.truncPad - 1;
  }

  const RowWindow window = rowWindow(p);
  Block<Sample> skipped(allocateSamples<Sample>(window.skip));
  Block<Sample> viewRaw(allocateSamples<Sample>(window.count));
  Block<Sample> companionRaw(allocateSamples<Sample>(window.count));

  File view = openView(fileName);
  std::printf("Reading file %s ", fileName);
  skipHeader(view.get());
  File companion = openView(companionName);
  std::printf("and file %s\r", companionName);
  std::fflush(stdout);
  skipHeader(companion.get());

  readSamples(skipped.get(), window.skip, view.get());
  readSamples(skipped.get(), window.skip, companion.get());
  readSamples(viewRaw.get(), window.count, view.get());
  readSamples(companionRaw.get(), window.count, companion.get());
  swapSamples(viewRaw.get(), window.count);
  swapSamples(companionRaw.get(), window.count);

  const WorkingRows<Sample> own(p, viewRaw.get());
  const WorkingRows<Sample> opposite(p, companionRaw.get());
  for (int r = 0; r < p.zprojSize; ++r) {
    float* out = p.projection + static_cast<long>(r) * p.yprojSizeUser;
    // Half a turn later the same rays are measured from the other side, so
    // the companion's rightmost columns, reversed, stand in for the
    // unmeasured left part of this row.
    for (int t = 0; t < mirrored; ++t) out[t] = opposite(r, measured - 1 - t);
    // The two views disagree where they meet; a linear ramp from the last
    // mirrored value towards the first measured one avoids a step, which
    // the ramp filter would turn into a streak.
    const float last = out[mirrored - 1];
    const float target = own(r, 0);
    const double step = (static_cast<double>(target) - last) / (bridge + 1);
    for (int t = 1; t <= bridge; ++t) out[mirrored - 1 + t] = static_cast<float>(last + t * step);
    for (int c = 0; c < measured; ++c) out[mirrored + bridge + c] = own(r, c);
  }
}

}  // namespace

void readProjection(ReconParams& p, const char* fileName) {
  checkSampleWidth(p);
  if (p.bits == 16)
    readPlain(p, fileName, p.rawShort);
  else
    readPlain(p, fileName, p.rawFloat);
}

void readTruncatedProjection(ReconParams& p, const char* fileName, const char* companionName) {
  checkSampleWidth(p);
  if (p.bits == 16)
    readTruncated<int16_t>(p, fileName, companionName);
  else
    readTruncated<float>(p, fileName, companionName);
}

int companionFileNumber(const ReconParams& p, int f) {
  const int turn = p.fileIncrement * p.nang;
  int companion = f + turn / 2;
  if (companion >= p.firstFile + turn) companion -= turn;
  return companion;
}
