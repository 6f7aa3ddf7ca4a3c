// Ramp filter, Ram-Lak kernel, cosine pre-weights and Parker short-scan
// weights, on records built by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "driver/params.h"
#include "geometry/geometry_detail.h"

namespace {

// Rows of `width` columns, axis at column 1, central slice at row 2.
ReconParams filterRecord(int width, int rows) {
  ReconParams p;
  initReconParams(p);
  p.yprojSizeUser = width;
  p.zprojSize = rows;
  p.evenWidth = width % 2 == 0 ? kOn : 0;
  p.axisUser = 1.0f;
  p.centralSlice = 2.0f;
  p.rfanY = 10.0f;
  p.rfanZ = 12.0f;
  p.filterSize = 8;
  return p;
}

// A half turn of views `step` radians apart, centred in [0, pi + fan] as
// geometry setup centres them, on 33 columns with the axis in the middle.
struct ShortScan {
  explicit ShortScan(double step) {
    initReconParams(p);
    p.yprojSizeUser = 33;
    p.axisUser = 16.0f;
    p.rfanY = 60.0f;
    p.fanAngle = static_cast<float>(2.0 * std::atan(16 / 60.0));
    p.nang = static_cast<int>(std::floor((M_PI + p.fanAngle) / step)) + 1;
    p.startAngle = static_cast<float>((M_PI + p.fanAngle - (p.nang - 1) * step) / 2.0);
    for (int a = 0; a < p.nang; ++a) angles.push_back(static_cast<float>(p.startAngle + a * step));
    weights.assign(static_cast<size_t>(p.nang) * 33, -1.0f);
    p.angles = angles.data();
    p.shortScanWeight = weights.data();
    EXPECT_EQ(buildShortScanWeights(p), weights.data());
  }
  float weight(int view, int column) const { return weights[static_cast<size_t>(view) * 33 + column]; }
  ReconParams p;
  std::vector<float> angles, weights;
};

}  // namespace

TEST(RampFilter, HoldsHalfTheAngularFrequencyInPackedOrder) {
  ReconParams p = filterRecord(3, 1);
  std::vector<float> filter(8, -1.0f), weights(3);
  EXPECT_EQ(buildRampFilter(p, filter.data(), weights.data()), filter.data());
  const float s = static_cast<float>(2 * M_PI / 64);
  EXPECT_EQ(filter, (std::vector<float>{0.0f, static_cast<float>(M_PI / 8), s, s, 2 * s, 2 * s, 3 * s, 3 * s}));
}

TEST(RamLakKernel, OddOffsetsFollowTheInverseSquare) {
  const float c = static_cast<float>(M_PI / 4), one = static_cast<float>(-1 / M_PI);
  const float three = static_cast<float>(-1 / (9 * M_PI));
  ReconParams even = filterRecord(4, 1), odd = filterRecord(3, 1);
  std::vector<float> evenKernel(7), oddKernel(5), weights(4);
  EXPECT_EQ(buildRamLakKernel(even, evenKernel.data(), weights.data()), evenKernel.data());
  buildRamLakKernel(odd, oddKernel.data(), weights.data());
  EXPECT_EQ(evenKernel, (std::vector<float>{three, 0, one, c, one, 0, three}));
  EXPECT_EQ(oddKernel, (std::vector<float>{0, one, c, one, 0}));
}

TEST(CosineWeights, OneOnTheCentralRayAndEqualFromBothBuilders) {
  ReconParams p = filterRecord(4, 5);
  std::vector<float> filter(8), kernel(7), fromRamp(20), fromKernel(20);
  buildRampFilter(p, filter.data(), fromRamp.data());
  buildRamLakKernel(p, kernel.data(), fromKernel.data());
  EXPECT_EQ(fromRamp, fromKernel);
  EXPECT_EQ(fromRamp[2 * 4 + 1], 1.0f);  // row centralSlice, column axisUser
  // Column 3, row 0: offsets 2/10 and -2/12 from the central ray.
  EXPECT_FLOAT_EQ(fromRamp[3], static_cast<float>(1 / std::sqrt(0.04 + 1 / 36.0 + 1)));
}

TEST(ShortScanWeights, OneInTheMiddleAndVanishingAtTheEnds) {
  ShortScan scan(0.5 * M_PI / 180);
  const int last = scan.p.nang - 1;
  for (int i = 0; i < 33; ++i) {
    EXPECT_EQ(scan.weight(last / 2, i), 1.0f) << "column " << i;
    if (i >= 2 && i < 31) {  // the outermost rays are measured only once
      EXPECT_LT(scan.weight(0, i), 0.05f) << "column " << i;
      EXPECT_LT(scan.weight(last, i), 0.05f) << "column " << i;
    }
    for (int a = 0; a <= last; ++a) ASSERT_TRUE(scan.weight(a, i) >= 0 && scan.weight(a, i) <= 1) << a << "," << i;
  }
  // The central ray at the first view: sin^2(pi beta / (4 delta)).
  EXPECT_NEAR(scan.weight(0, 16), std::pow(std::sin(M_PI * scan.p.startAngle / (2 * scan.p.fanAngle)), 2), 1e-6);
}

TEST(ShortScanWeights, BothMeasurementsOfARaySumToOne) {
  // The ray (beta, gamma) comes back at beta + pi + 2 gamma in the mirrored
  // column (fan angle -gamma); that weight is interpolated between views.
  const double step = 0.1 * M_PI / 180;
  ShortScan scan(step);
  int pairs = 0;
  for (int a = 0; a < scan.p.nang; ++a)
    for (int i = 0; i < 33; ++i) {
      const double gamma = std::atan((i - 16) / 60.0);
      const double position = (scan.angles[a] + M_PI + 2 * gamma - scan.p.startAngle) / step;
      const int below = static_cast<int>(std::floor(position));
      if (below < 0 || below + 1 >= scan.p.nang) continue;
      const double f = position - below;
      const double twin = (1 - f) * scan.weight(below, 32 - i) + f * scan.weight(below + 1, 32 - i);
      EXPECT_NEAR(scan.weight(a, i) + twin, 1.0, 2e-3) << "view " << a << " column " << i;
      ++pairs;
    }
  EXPECT_GT(pairs, 1000);
}
