// The radix-2 complex and real FFTs against a direct transform in double, and their grouped butterflies.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "geometry/geometry_detail.h"

// The real transform of 2n samples, G_k = sum_j x_j exp(2 pi i j k / 2n), packed as the half spectrum with G_0 and
// G_n (both real) in the first pair; its inverse gives the signal back times n. Each runs the complex one of n points.
TEST(FftTransforms, MatchTheDirectTransform) {
  for (int n : {1, 2, 4, 16, 128})
    for (bool back : {false, true}) {
      std::vector<float> data(2 * n);  // no symmetry, so that misplaced or conjugated bins show
      for (int i = 0; i < 2 * n; ++i) data[i] = static_cast<float>(std::sin(0.7 * i * i + 0.3) + 0.25 * i - 1.0);
      std::vector<double> want(data.begin(), data.end());
      for (int k = 0; k <= n && !back; ++k) {
        std::complex<double> g;
        for (int j = 0; j < 2 * n; ++j) g += double(data[j]) * std::polar(1.0, M_PI * (j * k % (2 * n)) / n);
        (k < n ? want[2 * k] : want[1]) = g.real();
        if (k < n) want[2 * k + 1] = g.imag();
      }
      fftReal(data.data(), n, 1);
      if (back) fftReal(data.data(), n, -1);
      for (int i = 0; i < 2 * n; ++i)
        EXPECT_NEAR(data[i], want[i] * (back ? n : 1), 1e-4 * n) << "n=" << n << (back ? " back" : "") << ", " << i;
    }
}

// The plain loop's floats, bit for bit: every length (stages shorter than a vector, one, many), random roundings, rows
// zero-padded as the ramp filter pads them, and signed zeros alone (their sign depends on the order of operations).
TEST(FftGroupedButterflies, MatchThePlainLoopBitForBit) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> sample(-1000.0f, 1000.0f);
  for (int n = 1; n <= 4096; n *= 2)
    for (const char* fill : {"random", "padded", "zeros"})
      for (int row = 0; row < 4; ++row) {  // complex +, complex -, real +, real -
        std::vector<float> plain(2 * static_cast<size_t>(n)), grouped;
        const size_t kept = fill[0] == 'r' ? plain.size() : fill[0] == 'p' ? plain.size() / 4 : 0;
        for (size_t i = 0; i < plain.size(); ++i) plain[i] = i < kept ? sample(random) : random() % 2 ? -0.0f : 0.0f;
        grouped = plain;
        (row < 2 ? fftComplexReference : fftRealReference)(plain.data(), n, row % 2 ? -1 : 1);
        (row < 2 ? fftComplex : fftReal)(grouped.data(), n, row % 2 ? -1 : 1);
        ASSERT_EQ(std::memcmp(plain.data(), grouped.data(), plain.size() * sizeof(float)), 0)
            << "row " << row << ", n=" << n << " " << fill;
      }
}
