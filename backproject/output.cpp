// From reconstructed slabs to output files: the slab writer keeps the running
// extremes and gathers the slabs of a multi-slab run in the chunk file; the
// output assembly reads the slices back in z order, optionally removes ring
// artefacts, masks the field of view and writes the 16-bit volume, the
// optional byte volume and the optional float slices, each with its VFF
// header. Unfinished files are watched by host/unfinished_files.h.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backproject/backproject_detail.h"
#include "host/host.h"
#include "host/unfinished_files.h"
#include "rings/rings.h"
#include "vff/vff.h"

namespace {

// Voxels that are not finite numbers: a NaN or infinite projection sample
// spreads along its rays through the filter and the back-projection. They
// are counted over all slabs of the run, left out of the extremes (one of
// them would otherwise turn every scale into 0 or NaN) and written as 0.
long nonFiniteVoxels = 0;

// Slab element of slice row `row`, slice column `col` and slab slice z: the
// slice is mirrored in x when the output is reflected.
long slabIndex(const ReconParams& p, int row, int col, int z) {
  const int x = p.reflect ? p.xSize - 1 - col : col;
  return (static_cast<long>(row) * p.xSize + x) * p.zSize + z;
}

// Below this many pixels a slice is copied on the calling thread alone:
// starting the threads would cost more than the copy.
constexpr long kThreadedSlicePixels = 16384;

// Slice z gathered from the [y][x][z] slab, a stride of zSize floats apart:
// a memory-bound copy, spread over the threads by rows for large slices.
void copySliceOut(ReconParams& p, int z) {
#pragma omp parallel for schedule(static) if (static_cast<long>(p.xSize) * p.ySize >= kThreadedSlicePixels)
  for (int row = 0; row < p.ySize; ++row)
    for (int col = 0; col < p.xSize; ++col)
      p.floatSlice[static_cast<long>(row) * p.xSize + col] = p.volume[slabIndex(p, row, col, z)];
}

// The output passes take the slices in z order. Gathering them one by one
// reads one float of each 64-byte line of the [y][x][z] slab per slice; a
// block of consecutive slices takes several floats of each line at once
// (profile of a two-thread 256^3 run: the slice copies went from 4.3% of the
// samples to 1.4%). The block holds at most kSliceBlockBytes or a 16th of
// the slab or of the memory limit, whichever is less, if that is more, so
// that large slices still come several at a time (1024^2 slices two at a
// time instead of 16 read each line of the slab eight times: a quarter of
// the processor time of a 1024^3 run from four views went to the gathering)
// and the block adds at most 1/16 to the memory the plan counted.
class SliceBlocks {
 public:
  static constexpr int kMostSlices = 16;
  static constexpr long kSliceBlockBytes = 8L << 20;

  explicit SliceBlocks(const ReconParams& p) : pixels_(static_cast<long>(p.xSize) * p.ySize) {
    const long bytes = std::max(1L, pixels_) * static_cast<long>(sizeof(float));
    const long slab = std::min(bytes * p.zSize, static_cast<long>(std::max(0, p.memoryLimit)));
    const long limit = std::max(kSliceBlockBytes, slab / kMostSlices);
    slices_ = static_cast<int>(std::max(1L, std::min<long>(kMostSlices, limit / bytes)));
    if (slices_ > 1) block_.resize(static_cast<size_t>(slices_ * pixels_));
  }

  // Slice z of the slab into p.floatSlice.
  void copyOut(ReconParams& p, int z) {
    if (slices_ == 1) {
      copySliceOut(p, z);
      return;
    }
    if (z < first_ || z >= first_ + count_) gather(p, z);
    const float* slice = block_.data() + (z - first_) * pixels_;
    std::copy(slice, slice + pixels_, p.floatSlice);
  }

 private:
  void gather(const ReconParams& p, int z) {
    first_ = z;
    count_ = std::min(slices_, p.zSize - z);
    const int count = count_;
    float* block = block_.data();
    const long pixels = pixels_;
#pragma omp parallel for schedule(static) if (pixels >= kThreadedSlicePixels)
    for (int row = 0; row < p.ySize; ++row) {
      // The row's lines of the slab (xSize of them) stay in the first-level
      // cache while each slice's row is written out in order.
      for (int k = 0; k < count; ++k) {
        float* out = block + k * pixels + static_cast<long>(row) * p.xSize;
        for (int col = 0; col < p.xSize; ++col) out[col] = p.volume[slabIndex(p, row, col, z + k)];
      }
    }
  }

  long pixels_;
  int slices_ = 1;
  std::vector<float> block_;
  int first_ = 0, count_ = 0;
};

// Conversion toward zero that stays defined for values out of range: it
// saturates, and a NaN gives 0 (truncToShort, host/host.h, likewise).
uint8_t truncToByte(float value) {
  if (value > 255.0f) return 255;
  return value >= 0.0f ? static_cast<uint8_t>(value) : 0;
}

struct Scales {
  float byteScale;   // (value - minValue) * byteScale spans 0 .. 255
  float shortScale;
  bool hounsfield;   // water maps to 0 and air to -1000
};

Scales outputScales(const ReconParams& p) {
  Scales s;
  // A constant volume has no range to spread over the bytes: all bytes 0.
  s.byteScale = p.maxValue == p.minValue ? 0.0f : static_cast<float>(255.0 / (double(p.maxValue) - p.minValue));
  s.hounsfield = p.waterValue != -1.0f && p.airValue != -1.0f;
  if (s.hounsfield) {
    s.shortScale = static_cast<float>(1000.0 / (double(p.waterValue) - p.airValue));
  } else if (p.maxValue == 0.0f && p.minValue == 0.0f) {
    s.shortScale = 0.0f;  // an all-zero volume stays all zero
  } else {
    // The largest magnitude maps to 32767.
    const float magnitude = std::fabs(p.minValue) < p.maxValue ? p.maxValue : std::fabs(p.minValue);
    s.shortScale = static_cast<float>(32767.0 / magnitude);
  }
  return s;
}

// Field-of-view circle in slice coordinates: outside the circle every ray
// missed part of the views, so nothing there is trusted.
struct Mask {
  float cx, cy, radius;
};

Mask fieldOfViewMask(const ReconParams& p) {
  Mask m;
  const float R = static_cast<float>((p.gridSizeXY - 1) * 0.5);
  m.cx = p.reflect ? static_cast<float>(double(p.xOrigin) + p.xSize - 1 - R) : static_cast<float>(double(R) - p.xOrigin);
  m.cy = static_cast<float>(double(R) - p.yOrigin);
  const float right = static_cast<float>(double(p.yprojSizeUser) - 2 - p.axisUser);
  m.radius = p.axisUser < right ? p.axisUser : right;
  return m;
}

// Masks p.floatSlice and fills the 16-bit and (when wanted) the byte slice,
// on the threads for large slices (a square root per pixel: a tenth of the
// processor time of a 1024^3 run from four views).
void maskAndScale(ReconParams& p, const Mask& mask, const Scales& scales, bool bytes) {
#pragma omp parallel for schedule(static) if (static_cast<long>(p.xSize) * p.ySize >= kThreadedSlicePixels)
  for (int row = 0; row < p.ySize; ++row) {
    for (int col = 0; col < p.xSize; ++col) {
      const long i = static_cast<long>(row) * p.xSize + col;
      const double dx = double(col) - mask.cx;
      const double dy = double(row) - mask.cy;
      if (std::sqrt(dx * dx + dy * dy) >= mask.radius || !std::isfinite(p.floatSlice[i])) p.floatSlice[i] = 0.0f;
      const float value = p.floatSlice[i];
      if (bytes) p.byteSlice[i] = truncToByte(static_cast<float>((double(value) - p.minValue) * scales.byteScale));
      const float s = scales.hounsfield ? static_cast<float>((double(value) - p.waterValue) * scales.shortScale)
                                        : static_cast<float>(double(value) * scales.shortScale);
      p.shortSlice[i] = truncToShort(s);
    }
  }
}

void createWithHeader(WatchedSlot slot, const char* name, const char* failure, const ReconParams& p, const char* title,
                      const char* date, int bits) {
  FILE* file = beginOutput(slot, name);
  if (!file) failRunf(failure, name);
  writeVffHeader(p, title, date, file, bits);
}

void writeSliceFile(ReconParams& p, const char* title, const char* date, const char* pattern, int z) {
  char name[1100];
  std::snprintf(name, sizeof name, pattern, p.zOriginUser / p.zBinSize + z);
  FILE* file = beginOutput(kSliceSlot, name);
  if (!file) failRunf("Error: could not open slicefile %s", name);
  writeVffHeader(p, title, date, file, 32);
  const long pixels = static_cast<long>(p.xSize) * p.ySize;
  swapBytes32(p.floatSlice, pixels);
  writeWatched(kSliceSlot, p.floatSlice, sizeof(float), pixels);
  finishWatched(kSliceSlot);
}

}  // namespace

int readSlice(ReconParams& p, int z, FILE* chunkFile) {
  const long pixels = static_cast<long>(p.xSize) * p.ySize;
  if (p.nChunks > 1) {
    return chunkFile && std::fread(p.floatSlice, sizeof(float), pixels, chunkFile) == static_cast<size_t>(pixels);
  }
  if (z < 0 || z >= p.zSize) return 0;
  copySliceOut(p, z);
  return 1;
}

void storeSlice(ReconParams& p, int z) {
  for (int row = 0; row < p.ySize; ++row)
    for (int col = 0; col < p.xSize; ++col)
      p.volume[slabIndex(p, row, col, z)] = p.floatSlice[static_cast<long>(row) * p.xSize + col];
}

void writeSlab(ReconParams& p, const OutputNames& out) {
  const bool chunked = p.nChunks > 1;
  if (p.chunkIndex == 0) {
    p.maxValue = -1e8f;
    p.minValue = 1e8f;
    nonFiniteVoxels = 0;
    // Named beside the output, under a name no other file has.
    if (chunked && !createWatched(kChunkSlot, out.volume, "korvan-chunk", ""))
      failRunf("Error: could not create chunk file beside %s", out.volume);
  } else if (chunked && !reopenWatched(kChunkSlot, "ab")) {
    failRunf("Error: could not append to chunk file %s", watchedName(kChunkSlot));
  }

  const long pixels = static_cast<long>(p.xSize) * p.ySize;
  SliceBlocks blocks(p);
  for (int z = 0; z < p.zSize; ++z) {
    blocks.copyOut(p, z);
    for (long i = 0; i < pixels; ++i) {
      const float v = p.floatSlice[i];
      if (!std::isfinite(v)) {
        ++nonFiniteVoxels;
        continue;
      }
      if (v > p.maxValue) p.maxValue = v;
      if (v < p.minValue) p.minValue = v;
    }
    if (chunked) writeWatched(kChunkSlot, p.floatSlice, sizeof(float), pixels);
  }
  if (chunked) closeWatched(kChunkSlot);
}

void assembleOutput(ReconParams& p, const OutputNames& out) {
  p.chunkIndex = 0;
  std::printf("finished gathering min/max information\n");
  if (nonFiniteVoxels > 0)
    log_errorf("Warning: %ld voxels are not finite numbers (NaN or infinite projection samples); "
               "they are left out of min and max and written as 0",
               nonFiniteVoxels);
  const Scales scales = outputScales(p);
  const bool chunked = p.nChunks > 1;
  const bool bytes = out.bytes != nullptr;
  const bool slices = out.slicePattern != nullptr;

  createWithHeader(kVolumeSlot, out.volume, "Error: could not open outfile %s", p, out.title, out.date, 16);
  if (bytes)
    createWithHeader(kByteSlot, out.bytes, "Error: could not open bytefile %s", p, out.title, out.date, 8);

  const char* chunkName = watchedName(kChunkSlot);
  FILE* chunk = nullptr;
  if (chunked && !(chunk = reopenWatched(kChunkSlot, "rb"))) failRunf("Error: could not read chunk file %s", chunkName);

  const Mask mask = fieldOfViewMask(p);
  const SliceRingCorrector rings(p);
  bool correctInOutputPass = rings.used();
  if (rings.used() && !chunked) {
    // The whole volume is in memory: correct it in place first.
    for (int z = 0; z < p.zSize; ++z) {
      readSlice(p, z, nullptr);
      rings.correct(p.floatSlice);
      storeSlice(p, z);
    }
    correctInOutputPass = false;
  }

  const long pixels = static_cast<long>(p.xSize) * p.ySize;
  SliceBlocks blocks(p);
  for (int z = 0; z < p.zSize; ++z) {
    // Every slice was written to the chunk file, so one missing means the
    // file was cut short: the volume cannot be completed.
    if (!chunked)
      blocks.copyOut(p, z);
    else if (!readSlice(p, z, chunk))
      failRunf("Error: could not read chunk file %s", chunkName);
    if (correctInOutputPass) rings.correct(p.floatSlice);
    maskAndScale(p, mask, scales, bytes);
    swapBytes16(p.shortSlice, pixels);  // most significant byte first
    if (bytes) writeWatched(kByteSlot, p.byteSlice, 1, pixels);
    writeWatched(kVolumeSlot, p.shortSlice, sizeof(int16_t), pixels);
    if (slices) writeSliceFile(p, out.title, out.date, out.slicePattern, z);
  }

  finishWatched(kVolumeSlot);
  if (bytes) finishWatched(kByteSlot);
  if (chunked) removeWatched(kChunkSlot);
}
