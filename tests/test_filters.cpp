// Ramp filter, Ram-Lak kernel, cosine pre-weights and Parker short-scan weights.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "geometry/geometry_detail.h"

// The ramp |w|/2 in the real FFT's packing; Ram-Lak taps pi/4 in the middle, -1/(pi k^2) at odd offsets k, 0 at
// even ones; the cosine pre-weights both builders fill, 1 on the central ray.
TEST(FilterKernels, RampRamLakAndCosineWeights) {
  ReconParams p;  // rows 4 wide, the axis at column 1, the central slice at row 2
  initReconParams(p);
  p.yprojSizeUser = 4, p.zprojSize = 5, p.evenWidth = kOn, p.filterSize = 8, p.axisUser = 1.0f, p.centralSlice = 2.0f;
  p.rfanY = 10.0f, p.rfanZ = 12.0f;
  std::vector<float> ramp(8, -1.0f), weights(20), kernel(7), fromKernel(20);
  buildRampFilter(p, ramp.data(), weights.data());
  buildRamLakKernel(p, kernel.data(), fromKernel.data());
  const float s = float(2 * M_PI / 64), c = float(M_PI / 4), k1 = float(-1 / M_PI), k3 = float(-1 / (9 * M_PI));
  const std::tuple<const char*, std::vector<float>, std::vector<float>> rows[] = {
      {"ramp", ramp, {0, float(M_PI / 8), s, s, 2 * s, 2 * s, 3 * s, 3 * s}},
      {"Ram-Lak", kernel, {k3, 0, k1, c, k1, 0, k3}},
      {"weights of both builders", fromKernel, weights},
      {"central ray; column 3, row 0", {weights[9], weights[3]}, {1, float(1 / std::sqrt(0.04 + 1 / 36.0 + 1))}},
  };
  for (const auto& [name, got, want] : rows) EXPECT_EQ(got, want) << name;
}

// A half turn in 0.1 degree steps on 33 columns, as setup plans it. The ray (beta, gamma) comes back at beta + pi +
// 2 gamma in the mirrored column: its weights there and here (interpolated between views) sum to one.
TEST(ShortScanWeights, OneInTheMiddleVanishingAtTheEndsAndBothMeasurementsSumToOne) {
  ReconParams p;
  initReconParams(p);
  p.projWidth = 33, p.projHeight = 2, p.axisUser = 16, p.centralSliceUser = 0.5f, p.rfanY = p.rfanZ = 60;
  p.angleIncrement = 0.1f, p.nChunks = 1, p.xSize = p.ySize = 1;
  setupGeometry(p);
  const int last = p.nang - 1;
  auto w = [&](int view, int column) { return double(p.shortScanWeight[view * 33 + column]); };
  std::vector<int> failing(3);  // rays failing each row
  for (int a = 0; a < p.nang; ++a)
    for (int i = 0; i < 33; ++i) {
      const double at = (p.angles[a] + M_PI + 2 * std::atan((i - 16) / 60.0) - p.startAngle) / p.angleStep;
      const int k = int(std::floor(at));  // the twin: views k, k + 1
      const double f = at - k, twin = k < 0 || k >= last ? 1 - w(a, i) : (1 - f) * w(k, 32 - i) + f * w(k + 1, 32 - i);
      failing[0] += a == last / 2 && w(a, i) != 1;                                     // 1 in the middle view
      failing[1] += (a == 0 || a == last) && i >= 2 && i <= 30 && !(w(a, i) < 0.05);  // fading out at the ends
      failing[2] += !(std::fabs(w(a, i) + twin - 1) < 2e-3);                         // sums to one
    }
  EXPECT_EQ(failing, std::vector<int>(3, 0)) << "middle view, ends but the outer two columns, the sums with the twins";
  EXPECT_NEAR(w(0, 16), std::pow(std::sin(M_PI * p.startAngle / (2 * p.fanAngle)), 2), 1e-6) << "start ramp: sin^2";
  freeReconArrays(p);
}
