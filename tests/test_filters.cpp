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
  p.yprojSizeUser = width, p.zprojSize = rows;
  p.evenWidth = width % 2 == 0 ? kOn : 0;
  p.axisUser = 1.0f, p.centralSlice = 2.0f;
  p.rfanY = 10.0f, p.rfanZ = 12.0f;
  p.filterSize = 8;
  return p;
}

}  // namespace

// The ramp |w|/2 in the real FFT's packing; the Ram-Lak taps pi/4 in the
// middle, -1/(pi k^2) at odd offsets k, 0 at even ones; both builders give
// the same cosine pre-weights, 1 on the central ray.
TEST(FilterKernels, RampRamLakAndCosineWeights) {
  ReconParams three = filterRecord(3, 1), p = filterRecord(4, 5);
  std::vector<float> filter(8, -1.0f), weights(20), fromKernel(20), evenKernel(7), oddKernel(5);
  EXPECT_EQ(buildRampFilter(three, filter.data(), weights.data()), filter.data());
  const float s = static_cast<float>(2 * M_PI / 64);
  EXPECT_EQ(filter, (std::vector<float>{0.0f, static_cast<float>(M_PI / 8), s, s, 2 * s, 2 * s, 3 * s, 3 * s}));

  const float c = static_cast<float>(M_PI / 4), one = static_cast<float>(-1 / M_PI), three9 = static_cast<float>(-1 / (9 * M_PI));
  EXPECT_EQ(buildRamLakKernel(p, evenKernel.data(), fromKernel.data()), evenKernel.data());
  buildRamLakKernel(three, oddKernel.data(), weights.data());
  EXPECT_EQ(evenKernel, (std::vector<float>{three9, 0, one, c, one, 0, three9}));
  EXPECT_EQ(oddKernel, (std::vector<float>{0, one, c, one, 0}));

  buildRampFilter(p, filter.data(), weights.data());
  EXPECT_EQ(weights, fromKernel);
  EXPECT_EQ(weights[2 * 4 + 1], 1.0f);  // row centralSlice, column axisUser
  // Column 3, row 0: offsets 2/10 and -2/12 from the central ray.
  EXPECT_FLOAT_EQ(weights[3], static_cast<float>(1 / std::sqrt(0.04 + 1 / 36.0 + 1)));
}

// A half turn of views 0.1 degrees apart, centred in [0, pi + fan] as
// geometry setup centres them, on 33 columns with the axis in the middle.
TEST(ShortScanWeights, OneInTheMiddleVanishingAtTheEndsAndBothMeasurementsSumToOne) {
  const int width = 33;
  const double step = 0.1 * M_PI / 180;
  ReconParams p;
  initReconParams(p);
  p.yprojSizeUser = width, p.axisUser = 16.0f, p.rfanY = 60.0f;
  p.fanAngle = static_cast<float>(2.0 * std::atan(16 / 60.0));
  p.nang = static_cast<int>(std::floor((M_PI + p.fanAngle) / step)) + 1;
  p.startAngle = static_cast<float>((M_PI + p.fanAngle - (p.nang - 1) * step) / 2.0);
  std::vector<float> angles, weights(static_cast<size_t>(p.nang) * width, -1.0f);
  for (int a = 0; a < p.nang; ++a) angles.push_back(static_cast<float>(p.startAngle + a * step));
  p.angles = angles.data();
  p.shortScanWeight = weights.data();
  ASSERT_EQ(buildShortScanWeights(p), weights.data());
  auto weight = [&](int view, int column) { return weights[static_cast<size_t>(view) * width + column]; };

  const int last = p.nang - 1;
  for (int i = 0; i < width; ++i) {
    EXPECT_EQ(weight(last / 2, i), 1.0f) << "column " << i;
    // The outermost rays are measured only once.
    EXPECT_TRUE(i < 2 || i >= width - 2 || (weight(0, i) < 0.05f && weight(last, i) < 0.05f)) << "column " << i;
  }
  // The central ray at the first view: sin^2(pi beta / (4 delta)).
  EXPECT_NEAR(weight(0, 16), std::pow(std::sin(M_PI * p.startAngle / (2 * p.fanAngle)), 2), 1e-6);
  // The ray (beta, gamma) comes back at beta + pi + 2 gamma in the mirrored
  // column (fan angle -gamma); that weight is interpolated between views.
  int pairs = 0;
  for (int a = 0; a < p.nang; ++a)
    for (int i = 0; i < width; ++i) {
      ASSERT_TRUE(weight(a, i) >= 0 && weight(a, i) <= 1) << a << "," << i;
      const double position = (angles[a] + M_PI + 2 * std::atan((i - 16) / 60.0) - p.startAngle) / step;
      const int below = static_cast<int>(std::floor(position));
      if (below < 0 || below + 1 >= p.nang) continue;
      const double f = position - below, twin = (1 - f) * weight(below, 32 - i) + f * weight(below + 1, 32 - i);
      EXPECT_NEAR(weight(a, i) + twin, 1.0, 2e-3) << "view " << a << " column " << i;
      ++pairs;
    }
  EXPECT_GT(pairs, 1000);
}
