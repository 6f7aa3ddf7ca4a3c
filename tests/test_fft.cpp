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

}  // namespace

// The complex transform in both directions; the real one packs the half
// spectrum (G_0 and G_n/2 real, in the first pair) and its inverse gives
// the signal back times n/2. The signal has no symmetry, so that misplaced
// or conjugated bins show.
TEST(FftTransforms, MatchTheDirectTransform) {
  for (int n : {1, 2, 4, 8, 16, 64, 128}) {
    std::vector<float> signal(2 * n);
    for (int i = 0; i < 2 * n; ++i) signal[i] = static_cast<float>(std::sin(0.7 * i * i + 0.3) + 0.25 * i - 1.0);
    auto expectNear = [&](const std::vector<float>& data, const std::vector<double>& expected, const char* what) {
      for (int i = 0; i < 2 * n; ++i) EXPECT_NEAR(data[i], expected[i], 1e-4 * n) << what << " n=" << n << " i=" << i;
    };
    for (int sign : {1, -1}) {
      std::vector<Complex> z(n);
      for (int j = 0; j < n; ++j) z[j] = Complex(signal[2 * j], signal[2 * j + 1]);
      std::vector<double> expected;
      for (const Complex& g : directDft(z, sign)) expected.insert(expected.end(), {g.real(), g.imag()});
      std::vector<float> data = signal;
      fftComplex(data.data(), n, sign);
      expectNear(data, expected, sign > 0 ? "complex +" : "complex -");
    }
    const std::vector<Complex> f = directDft(std::vector<Complex>(signal.begin(), signal.end()), +1);
    std::vector<double> packed = {f[0].real(), f[n].real()}, scaled;
    for (int k = 1; k < n; ++k) packed.insert(packed.end(), {f[k].real(), f[k].imag()});
    for (float x : signal) scaled.push_back(n * double(x));
    std::vector<float> data = signal;
    fftReal(data.data(), n, 1);
    expectNear(data, packed, "real");
    fftReal(data.data(), n, -1);
    expectNear(data, scaled, "real and back");
  }
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
  for (int n = 1; n <= 4096; n *= 2)
    for (int sign : {1, -1})
      for (const char* fill : {"random", "padded", "zeros"}) {
        std::vector<float> data(2 * static_cast<size_t>(n));
        for (float& x : data) x = sample(random);
        const size_t zerosFrom = fill[0] == 'r' ? data.size() : fill[0] == 'p' ? data.size() / 4 : 0;
        for (size_t i = zerosFrom; i < data.size(); ++i) data[i] = random() % 2 ? -0.0f : 0.0f;
        for (bool real : {false, true}) {
          std::vector<float> plain = data, grouped = data;
          (real ? fftRealReference : fftComplexReference)(plain.data(), n, sign);
          (real ? fftReal : fftComplex)(grouped.data(), n, sign);
          ASSERT_EQ(std::memcmp(plain.data(), grouped.data(), data.size() * sizeof(float)), 0)
              << (real ? "real" : "complex") << ", n=" << n << " sign=" << sign << " " << fill;
        }
      }
}
