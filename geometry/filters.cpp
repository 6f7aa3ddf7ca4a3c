// The fixed arrays of filtered back-projection: cosine pre-weights, the ramp
// filter or its spatial Ram-Lak kernel, and Parker's short-scan weights.
#include <cmath>

#include "geometry/geometry_detail.h"

namespace {

// Feldkamp-Davis-Kress pre-weighting: each sample is scaled by the ratio of
// the source-to-axis distance to the length of its ray, 1 on the central ray.
void fillCosineWeights(const ReconParams& p, float* weights) {
  const int w = p.yprojSizeUser;
  for (int j = 0; j < p.zprojSize; ++j) {
    const double dv = (j - double(p.centralSlice)) / p.rfanZ;
    for (int i = 0; i < w; ++i) {
      const double du = (i - double(p.axisUser)) / p.rfanY;
      weights[long(j) * w + i] = static_cast<float>(1.0 / std::sqrt(du * du + dv * dv + 1.0));
    }
  }
}

}  // namespace

// The ramp |omega| / 2 sampled at the FFT frequencies omega = 2 pi k / N, in
// fftReal's packing. A forward and an inverse fftReal of N/2 scale by N/2, so
// k x 2 pi / N^2 becomes pi k / N = |omega| / 2 (Kak & Slaney, ch. 3). Real
// and imaginary parts get the same factor: the filter is real and even.
float* buildRampFilter(ReconParams& p, float* filter, float* weights) {
  fillCosineWeights(p, weights);
  const int n = p.filterSize;
  filter[0] = 0.0f;
  filter[1] = static_cast<float>(M_PI / n);
  const float s = static_cast<float>(2.0 * M_PI / (double(n) * n));
  for (int k = 1; k < n / 2; ++k) {
    filter[2 * k] = static_cast<float>(k * double(s));
    filter[2 * k + 1] = static_cast<float>(k * double(s));
  }
  return filter;
}

// The band-limited ramp's impulse response at integer offsets k: pi/4 at 0,
// -1 / (pi k^2) at odd k, 0 at even k (Ramachandran and Lakshminarayanan,
// scaled to the |omega| / 2 response; Kak & Slaney, ch. 3). The even taps are
// left as the zero-filled array holds them.
float* buildRamLakKernel(ReconParams& p, float* kernel, float* weights) {
  fillCosineWeights(p, weights);
  const int w = p.yprojSizeUser;
  kernel[w - 1] = static_cast<float>(M_PI / 4.0);
  for (int i = p.evenWidth ? 0 : 1; i <= 2 * w - 2; i += 2) {
    const double offset = w - 1 - i;
    kernel[i] = static_cast<float>(-1.0 / (M_PI * offset * offset));
  }
  return kernel;
}

// Parker (1982) weights for a scan over pi plus the fan angle 2 delta. A ray
// at fan angle gamma measured at rotation beta is measured again at
// beta + pi + 2 gamma with fan angle -gamma; near the start (beta < 2 delta -
// 2 gamma) and the end (beta > pi - 2 gamma) of the scan every ray is seen
// twice, and the sin^2 ramps split it so that each pair of weights sums to 1.
// beta is measured from the computed start angle even when the user shifted
// the angle table.
float* buildShortScanWeights(ReconParams& p) {
  const int w = p.yprojSizeUser;
  float* weights = p.shortScanWeight;
  const float delta = static_cast<float>(p.fanAngle / 2.0);
  for (int a = 0; a < p.nang; ++a) {
    const float beta = static_cast<float>(double(p.angles[a]) + p.startAngle - p.angles[0]);
    for (int i = 0; i < w; ++i) {
      const float gamma = static_cast<float>(std::atan((i - double(p.axisUser)) / p.rfanY));
      float weight = 1.0f;
      if (2.0 * (double(delta) - gamma) > beta) {
        // A vanishing denominator gives an infinite or undefined x; the weight
        // then stays as it is.
        const float x = static_cast<float>(beta * M_PI / (4.0 * (double(delta) - gamma)));
        if (std::fabs(x) < 9.9e29) weight = static_cast<float>(std::sin(x) * std::sin(x));
      }
      if (beta > M_PI - 2.0 * gamma) {
        const float x = static_cast<float>((M_PI + 2.0 * delta - beta) * M_PI / (4.0 * (double(gamma) + delta)));
        if (std::fabs(x) < 9.9e29) weight = static_cast<float>(std::sin(x) * std::sin(x));
      }
      weights[long(a) * w + i] = weight;
    }
  }
  return weights;
}
