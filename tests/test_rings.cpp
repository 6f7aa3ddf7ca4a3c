// Ring correction: grid and thresholds, the polar mappings, the sector smoothing, and slices it leaves alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "rings/ring_steps.h"
#include "rings/rings.h"

namespace {

using Slice = std::vector<int16_t>;

// Every test ends with a release, so the next set-up builds tables for its own size; prepare begins at level 0.
struct Release { ~Release() { releaseRingCorrection(); } };
Release prepare(int n) { return setupRingCorrection(n, 1.0f, 0.0f), beginRingCorrection(n), Release(); }

// A slice of side n whose value depends on the pixel's offset from (cx, cy).
template <class Value> Slice drawSlice(int n, double cx, double cy, const Value& value) {
  Slice s(size_t(n) * n);
  for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(value(double(i % n) - cx, double(i / n) - cy));
  return s;
}

}  // namespace

// Thresholds scale with the value range of one sign only: (2 - 1) * 290 / 2.
TEST(RingSetup, DerivesGridSizesAndThresholds) {
  const Release release;
  setupRingCorrection(512, 2.0f, 1.0f);
  const RingCorrectionState& r = ringState;
  const std::vector<double> got = {double(r.nRadii), double(r.polarRowLength), double(r.nAngles), double(r.nAngleRows),
    double(r.rowsPerSector), double(r.minCount[5]), r.thresholdScale, r.hpLimit[0], r.edgeLimit[2], r.angularLimit[7]};
  EXPECT_EQ(got, std::vector<double>({1024, 1028, 1228, 307, 19, 3, 145, 8 * 145.0f, 1.4f * 145.0f, 0.1f * 145.0f}));
}

// Equal sums in every sector and radius give equal means, which smoothing the inner radii (1/4, 1/2, 1/4) keeps.
TEST(RingLevels, SmoothingAcrossSectorsKeepsAnEvenProfile) {
  const Release release = prepare(320);
  RingCorrectionState& r = ringState;
  const int n = r.levelRadii;
  std::fill_n(r.sectorProfiles, 18 * n, 500.0f), std::fill_n(r.countDiff, 16 * n, r.minCount[0] + 1);
  normaliseSectorProfiles();
  const std::vector<float> even(64, r.sectorProfiles[2 * n - 1]);  // an outer radius, not smoothed
  for (int s = 0; s < 18; ++s)
    EXPECT_TRUE(even[0] > 0 && std::equal(even.begin(), even.end(), r.sectorProfiles + s * n)) << "sector " << s;
}

// Row and column 0 of the slice never contribute, the last ones only as second neighbour (weight below 1); a
// constant slice is sampled exactly inside and as 0 at the far corners.
TEST(PolarResample, BorderSamplesFollowTheZeroRule) {
  const int n = 64;
  const Release release = prepare(n);
  const RingCorrectionState& r = ringState;
  const int rows = r.nAngleRows, width = r.polarRowLength;
  float* polar = r.polarCurrent;
  auto largest = [&](double edge) {  // of a slice of 5000 at x or y = edge; a NaN sticks, failing the comparisons
    polarResample(drawSlice(n, 0, 0, [&](double x, double y) { return x == edge || y == edge ? 5000 : 0; }).data(),
                  polar, 0.0f, 0.0f);
    float most = 0;
    for (int i = 0; i < (rows + 2) * width; ++i) most = polar[i] <= most ? most : polar[i];
    return most;
  };
  const float first = largest(0), last = largest(n - 1);
  EXPECT_TRUE(first == 0.0f && last > 0.0f && last < 5000.0f) << first << " " << last;
  polarResample(Slice(n * n, 1000).data(), polar, 0.0f, 0.0f);
  for (int k = 0; k <= rows + 1; ++k) {
    for (int i = 4; (i - 4) * r.radialStep < r.gridCentre - 1; ++i) ASSERT_EQ(polar[k * width + i], 1000.0f);
    EXPECT_EQ(polar[k * width + width - 1], 0.0f);
  }
}

// The correction is subtracted as trunc(value - 0.5) in 16 bits, wrapping.
TEST(ApplyCorrection, SubtractsTruncOfValueLessHalfIn16Bits) {
  const int n = 32;
  const Release release = prepare(n);
  for (const auto& [v, change] : {std::pair{1.4f, 0}, {1.6f, -1}, {-0.4f, 0}, {-0.6f, 1}, {0.0f, 0}, {3.7f, -3}}) {
    Slice slice(n * n, 100);
    slice[5 * n + 7] = 32767;
    polarResample(slice.data(), ringState.polarCurrent, 3.0f, -2.0f);
    std::fill_n(ringState.finalAveDiff, 18 * ringState.nRadii, v);
    applyPolarCorrection(slice.data(), ringState.finalAveDiff, 3.0f, -2.0f);
    EXPECT_EQ(Slice({slice[0], slice[n * n - 1], slice[5 * n + 7]}),
              Slice({int16_t(100 + change), int16_t(100 + change), int16_t(32767 + change)})) << v;
  }
}

// Below side 28 no sector has a row; up to side 106 a sector has at most 3 rows, where a profile value needs more.
TEST(RingCorrection, SlicesWithoutRingsOrTooSmallAreUnchanged) {
  const Release release;
  const struct { const char* name; int n; float top, bottom, ax, ay; int constant; bool changed; } rows[] = {
      {"zero", 256, 1, -1, 0, 0, 0, false},  {"no value range", 256, 0.25f, 0.25f, 4, -2, 29000, false},
      {"rings, side 26", 26, 1, 0, 0, 0, -1, false}, {"rings, side 106", 106, 1, 0, 0, 0, -1, false},
      {"rings, side 108", 108, 1, 0, 0, 0, -1, true},
  };
  for (const auto& row : rows) {
    const Slice slice = drawSlice(row.n, (row.n - 1) * 0.5, (row.n - 1) * 0.5, [&](double dx, double dy) {
      return row.constant >= 0 ? row.constant : 10000 + 1500 * std::cos(std::hypot(dx, dy) * 2 * M_PI / 6);
    });
    Slice image = slice;
    setupRingCorrection(row.n, row.top, row.bottom), ringCorrectSlice(row.n, image.data(), row.ax, row.ay);
    EXPECT_EQ(image != slice, row.changed) << row.name;
  }
}
