// Ring correction of an output volume's float slices (SliceRingCorrector,
// rings/rings.h).
#include <cmath>

#include "host/host.h"
#include "rings/rings_detail.h"

SliceRingCorrector::SliceRingCorrector(const ReconParams& p) : width_(p.xSize), height_(p.ySize) {
  used_ = p.ringCorrection && p.xSize >= 10 && p.ySize >= 10;
  if (!used_) return;
  n_ = p.xSize > p.ySize ? p.xSize : p.ySize;
  if (n_ % 2) ++n_;
  magnitude_ = std::fabs(p.maxValue) > std::fabs(p.minValue) ? std::fabs(p.maxValue) : std::fabs(p.minValue);
  // The rotation axis in slice columns and rows, mirrored with the slice.
  const float h = static_cast<float>(p.projWidth * 0.5 / p.yBinSize);
  const int16_t colAxis = static_cast<int16_t>(p.reflect ? double(p.xSize) - h + p.xOrigin : double(h) - p.xOrigin);
  const int16_t rowAxis = static_cast<int16_t>(double(h) - p.yOrigin);
  columnOffset_ = static_cast<float>(colAxis - n_ / 2);
  rowOffset_ = static_cast<float>(rowAxis - n_ / 2);
  // Three passes for fine detector elements (or none given) and small slices.
  passes_ = (p.elementSize < 0.015f || n_ < 300) ? 3 : 1;
  setupRingCorrection(n_, p.maxValue, p.minValue);
}

SliceRingCorrector::~SliceRingCorrector() {
  if (used_) releaseRingCorrection();
}

void SliceRingCorrector::correct(float* slice) const {
  if (!used_) return;
  toScratchImage(ringState.scratch_image, n_, slice, width_, height_, magnitude_);
  for (int pass = 0; pass < passes_; ++pass) ringCorrectSlice(n_, ringState.scratch_image, columnOffset_, rowOffset_);
  fromScratchImage(ringState.scratch_image, n_, slice, width_, height_, magnitude_);
}

void toScratchImage(int16_t* image, int n, const float* slice, int width, int height, float m) {
  const float f = static_cast<float>(29000.0 / m);
  for (int row = 0; row < n; ++row)
    for (int col = 0; col < n; ++col)
      image[static_cast<long>(row) * n + col] =
          row < height && col < width ? truncToShort(double(slice[static_cast<long>(row) * width + col]) * f) : 0;
}

void fromScratchImage(const int16_t* image, int n, float* slice, int width, int height, float m) {
  const float g = static_cast<float>(m * (1.0 / 29000.0));
  for (int row = 0; row < height; ++row)
    for (int col = 0; col < width; ++col)
      slice[static_cast<long>(row) * width + col] = static_cast<float>(image[static_cast<long>(row) * n + col] * double(g));
}
