// The radix-2 complex and real FFTs against a direct transform in double.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "geometry/geometry_detail.h"

namespace {

using Complex = std::complex<double>;

// G_k = sum_j z_j exp(sign 2 pi i j k / n), straight from the definition.
std::vector<Complex> directDft(const std::vector<Complex>& z, int sign) {
  const size_t n = z.size();
  std::vector<Complex> g(n);
  for (size_t k = 0; k < n; ++k)
    for (size_t j = 0; j < n; ++j) g[k] += z[j] * std::polar(1.0, sign * 2.0 * M_PI * double(j * k % n) / double(n));
  return g;
}

// No symmetry, so that misplaced or conjugated bins show.
std::vector<float> testSignal(int count) {
  std::vector<float> x(count);
  for (int i = 0; i < count; ++i) x[i] = static_cast<float>(std::sin(0.7 * i * i + 0.3) + 0.25 * i - 1.0);
  return x;
}

}  // namespace

TEST(FftComplex, MatchesDirectTransformForBothSigns) {
  for (int n : {1, 2, 4, 8, 16, 64})
    for (int sign : {1, -1}) {
      std::vector<float> data = testSignal(2 * n);
      std::vector<Complex> z(n);
      for (int j = 0; j < n; ++j) z[j] = Complex(data[2 * j], data[2 * j + 1]);
      const std::vector<Complex> expected = directDft(z, sign);
      fftComplex(data.data(), n, sign);
      for (int k = 0; k < n; ++k) {
        EXPECT_NEAR(data[2 * k], expected[k].real(), 1e-4 * n) << "n=" << n << " sign=" << sign << " k=" << k;
        EXPECT_NEAR(data[2 * k + 1], expected[k].imag(), 1e-4 * n) << "n=" << n << " sign=" << sign << " k=" << k;
      }
    }
}

TEST(FftReal, ForwardPacksTheHalfSpectrum) {
  for (int n : {1, 2, 4, 8, 32}) {
    std::vector<float> data = testSignal(2 * n);
    const std::vector<Complex> f = directDft(std::vector<Complex>(data.begin(), data.end()), +1);
    fftReal(data.data(), n, 1);
    EXPECT_NEAR(data[0], f[0].real(), 1e-4 * n) << "n=" << n;
    EXPECT_NEAR(data[1], f[n].real(), 1e-4 * n) << "n=" << n;
    for (int k = 1; k < n; ++k) {
      EXPECT_NEAR(data[2 * k], f[k].real(), 1e-4 * n) << "n=" << n << " k=" << k;
      EXPECT_NEAR(data[2 * k + 1], f[k].imag(), 1e-4 * n) << "n=" << n << " k=" << k;
    }
  }
}

TEST(FftReal, ForwardThenInverseScalesByHalfTheLength) {
  for (int n : {1, 2, 8, 128}) {
    const std::vector<float> original = testSignal(2 * n);
    std::vector<float> data = original;
    fftReal(data.data(), n, 1);
    fftReal(data.data(), n, -1);
    for (int i = 0; i < 2 * n; ++i) EXPECT_NEAR(data[i], n * original[i], 1e-4 * n) << "n=" << n << " i=" << i;
  }
}

TEST(FftEdgeCases, ConstantSignalAndSinglePoint) {
  std::vector<float> data(16, 0.75f);
  fftReal(data.data(), 8, 1);
  EXPECT_FLOAT_EQ(data[0], 12.0f);
  for (int i = 1; i < 16; ++i) EXPECT_NEAR(data[i], 0.0f, 1e-5) << "i=" << i;
  float pair[2] = {1.5f, -2.25f};  // one complex point is its own transform
  fftComplex(pair, 1, 1);
  EXPECT_EQ(pair[0], 1.5f);
  EXPECT_EQ(pair[1], -2.25f);
}

// The fast transforms against the plain ones: the same floats, bit for bit,
// for every length (stages shorter than a vector, exactly one, and many),
// both directions, random data whose roundings differ from butterfly to
// butterfly, rows zero-padded as the ramp filter pads them and rows of zeros
// alone, with zeros of both signs (the sign of a zero result depends on the
// order of operations, and only an all-zero row keeps it to the end).
TEST(FftGroupedButterflies, MatchThePlainLoopBitForBit) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> sample(-1000.0f, 1000.0f);
  for (int n = 1; n <= 4096; n *= 2) {
    for (int sign : {1, -1}) {
      for (const char* fill : {"random", "padded", "zeros"}) {
        std::vector<float> data(2 * static_cast<size_t>(n));
        for (float& x : data) x = sample(random);
        const size_t zerosFrom = fill[0] == 'r' ? data.size() : fill[0] == 'p' ? data.size() / 4 : 0;
        for (size_t i = zerosFrom; i < data.size(); ++i) data[i] = random() % 2 ? -0.0f : 0.0f;
        std::vector<float> plain = data, grouped = data;
        fftComplexReference(plain.data(), n, sign);
        fftComplex(grouped.data(), n, sign);
        ASSERT_EQ(std::memcmp(plain.data(), grouped.data(), data.size() * sizeof(float)), 0)
            << "complex, n=" << n << " sign=" << sign << " " << fill;
        plain = grouped = data;
        fftRealReference(plain.data(), n, sign);
        fftReal(grouped.data(), n, sign);
        ASSERT_EQ(std::memcmp(plain.data(), grouped.data(), data.size() * sizeof(float)), 0)
            << "real, n=" << n << " sign=" << sign << " " << fill;
      }
    }
  }
}
