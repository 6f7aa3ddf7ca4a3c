// Radix-2 FFT of complex and of real data, in place. The twiddle factors
// come from the trigonometric recurrence w' = w + w (cos theta - 1) +
// i w sin theta, carried in double precision with cos theta - 1 written as
// -2 sin^2(theta/2) to keep it accurate for small angles; every stored
// intermediate is a 32-bit float. The real transform packs F_0 and F_n into
// the first complex slot, which is the layout the ramp filter is written for.
//
// Two forms give the same floats bit for bit: the plain one runs the
// recurrences along with the butterflies and allocates nothing; the fast one
// keeps the recurrences' values and the bit-reversal's exchanges in a
// per-thread table for the length last used, and runs long butterfly groups
// with AVX-512 where the CPU has it.
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "geometry/fft_runs.h"
#include "geometry/geometry_detail.h"

namespace {

// Calls exchange(i, j) for the complex points (indices in floats) that the
// bit-reversal permutation of m floats exchanges, each pair once.
template <class Exchange>
void forEachBitReversedPair(int m, Exchange&& exchange) {
  int j = 0;
  for (int i = 0; i < m; i += 2) {
    if (j > i) exchange(i, j);
    int h = m / 2;
    while (h >= 2 && j >= h) {
      j -= h;
      h /= 2;
    }
    j += h;
  }
}

void exchangePoints(float* data, int i, int j) {
  std::swap(data[i], data[j]);
  std::swap(data[i + 1], data[j + 1]);
}

// The twiddle step of the butterflies `span` floats apart.
struct TwiddleStep {
  double wpr, wpi;
  TwiddleStep(int span, int sign) {
    const double theta = 2.0 * M_PI / (double(span) * sign);
    const double halfSine = std::sin(0.5 * theta);
    wpr = -2.0 * halfSine * halfSine;
    wpi = std::sin(theta);
  }
  void advance(double& wr, double& wi) const {
    const double oldWr = wr;
    wr = wr + (wr * wpr - wi * wpi);
    wi = wi + (wi * wpr + oldWr * wpi);
  }
};

// The twiddle exp(i pi k / n) of the real transform's recombination, the
// inverse's conjugate, stepped from k = 1 on.
struct RealTwiddleStep {
  double wpr, wpi;
  RealTwiddleStep(int n, int sign) {
    const double theta = sign == 1 ? M_PI / n : -(M_PI / n);
    const double halfSine = std::sin(0.5 * theta);
    wpr = -2.0 * halfSine * halfSine;
    wpi = std::sin(theta);
  }
  double firstWr() const { return 1.0 + wpr; }
  double firstWi() const { return wpi; }
  void advance(double& wr, double& wi) const {
    const double oldWr = wr;
    wr = wr * wpr - wi * wpi + wr;
    wi = wi * wpr + oldWr * wpi + wi;
  }
};

// The butterfly of the points x and y with twiddle (wr, wi).
inline void butterfly(float* x, float* y, double wr, double wi) {
  const float tRe = static_cast<float>(wr * y[0] - wi * y[1]);
  const float tIm = static_cast<float>(wr * y[1] + wi * y[0]);
  y[0] = static_cast<float>(double(x[0]) - tRe);
  y[1] = static_cast<float>(double(x[1]) - tIm);
  x[0] = static_cast<float>(double(x[0]) + tRe);
  x[1] = static_cast<float>(double(x[1]) + tIm);
}

// Whether the CPU has the AVX-512 forms' instructions.
bool wideFft() {
  static const bool wide = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
  }();
  return wide;
}

// `count` butterflies between consecutive points a[k] and b[k], twiddle k
// each, eight at a time where the CPU has AVX-512.
void butterflyRun(float* a, float* b, const double* wr, const double* wi, int count) {
  int k = wideFft() ? fft_detail::butterflyRunAvx512(a, b, wr, wi, count) : 0;
  for (; k < count; ++k) butterfly(a + 2 * k, b + 2 * k, wr[k], wi[k]);
}

// Below this many butterflies per group a stage keeps the plain loop order.
constexpr int kShortestRun = 8;

}  // namespace

void fftComplexReference(float* data, int n, int sign) {
  const int m = 2 * n;
  forEachBitReversedPair(m, [data](int i, int j) { exchangePoints(data, i, j); });
  // Danielson-Lanczos butterflies, span measured in floats.
  for (int span = 2; m > span; span *= 2) {
    const int step = 2 * span;
    const TwiddleStep twiddle(span, sign);
    double wr = 1.0;
    double wi = 0.0;
    for (int p = 0; p < span; p += 2) {
      for (int i = p; i < m; i += step) butterfly(data + i, data + i + span, wr, wi);
      twiddle.advance(wr, wi);
    }
  }
}

namespace {

// The twiddles of one direction of an n-point transform, each from its
// plain recurrence: those of the complex stages (the stage of span floats
// holds span / 2 from index span / 2 - 1 on) and those that recombine the
// real transform's halves (index i for 1 <= i < n / 2). Every row of a view
// is filtered with the same n, so each thread computes them once.
struct Twiddles {
  int n = 0, sign = 0;
  std::vector<std::pair<int, int>> swaps;  // the bit-reversal's exchanges, in floats
  std::vector<double> wr, wi;          // complex stages
  std::vector<double> realWr, realWi;  // real recombination
};

const Twiddles& twiddlesFor(int n, int sign) {
  thread_local Twiddles cache[2];
  Twiddles& t = cache[sign > 0 ? 0 : 1];
  if (t.n == n && t.sign == sign) return t;
  t.n = n;
  t.sign = sign;
  t.swaps.clear();
  forEachBitReversedPair(2 * n, [&t](int i, int j) { t.swaps.emplace_back(i, j); });
  t.wr.assign(static_cast<size_t>(std::max(n - 1, 0)), 0.0);
  t.wi.assign(t.wr.size(), 0.0);
  for (int span = 2; 2 * n > span; span *= 2) {
    const TwiddleStep twiddle(span, sign);
    double wr = 1.0, wi = 0.0;
    for (int k = 0; k < span / 2; ++k) {
      t.wr[span / 2 - 1 + k] = wr;
      t.wi[span / 2 - 1 + k] = wi;
      twiddle.advance(wr, wi);
    }
  }
  t.realWr.assign(static_cast<size_t>(std::max(n / 2, 1)), 0.0);
  t.realWi.assign(t.realWr.size(), 0.0);
  const RealTwiddleStep step(n, sign);
  double wr = step.firstWr(), wi = step.firstWi();
  for (int i = 1; i < n / 2; ++i) {
    t.realWr[i] = wr;
    t.realWi[i] = wi;
    step.advance(wr, wi);
  }
  return t;
}

}  // namespace

// Within a stage every point takes part in one butterfly, so the order of the
// butterflies is free: stages with long groups run group by group, each
// group's butterflies as one contiguous run. The twiddles are the plain
// recurrence's, so every float is the reference's.
void fftComplex(float* data, int n, int sign) {
  const int m = 2 * n;
  const Twiddles& t = twiddlesFor(n, sign);
  for (const auto& [i, j] : t.swaps) exchangePoints(data, i, j);
  int span = 2;
  if (wideFft() && n >= 8) {
    // The three stages of butterflies within blocks of eight points.
    fft_detail::firstStagesAvx512(data, n, t.wr.data(), t.wi.data());
    span = 16;
  }
  for (; m > span; span *= 2) {
    const int step = 2 * span;
    const int run = span / 2;
    const double* wr = t.wr.data() + (run - 1);
    const double* wi = t.wi.data() + (run - 1);
    if (run < kShortestRun) {
      for (int k = 0; k < run; ++k)
        for (int i = 2 * k; i < m; i += step) butterfly(data + i, data + i + span, wr[k], wi[k]);
    } else {
      for (int i = 0; i < m; i += step) butterflyRun(data + i, data + i + span, wr, wi, run);
    }
  }
}

// The 2n real samples are transformed as n complex points z_j = x_2j + i
// x_2j+1; the spectra of the even and odd samples are separated from Z_k and
// conj Z_(n-k) and recombined with the twiddle exp(i pi k / n). The inverse
// runs the same steps backwards.
namespace {

// The separation and recombination of fftReal for 1 <= i < n / 2 with
// twiddle (wr, wi), in place.
inline void recombine(float* data, int n, int i, float c1, float c2, double wr, double wi) {
  const int i1 = 2 * i, i2 = 2 * i + 1, i3 = 2 * n - 2 * i, i4 = 2 * n - 2 * i + 1;
  const float h1r = static_cast<float>(c1 * (double(data[i1]) + data[i3]));
  const float h1i = static_cast<float>(c1 * (double(data[i2]) - data[i4]));
  const float h2r = static_cast<float>(-c2 * (double(data[i2]) + data[i4]));
  const float h2i = static_cast<float>(c2 * (double(data[i1]) - data[i3]));
  data[i1] = static_cast<float>(h1r + wr * h2r - wi * h2i);
  data[i2] = static_cast<float>(h1i + wr * h2i + wi * h2r);
  data[i3] = static_cast<float>(h1r - wr * h2r + wi * h2i);
  data[i4] = static_cast<float>(-h1i + wr * h2i + wi * h2r);
}

// `plain`: the complex transform and the twiddles of the reference, the
// recurrence run along; otherwise the fast transform and the cached table.
void fftRealWith(float* data, int n, int sign, bool plain) {
  const float c1 = 0.5f;
  const float c2 = sign == 1 ? -0.5f : 0.5f;
  if (sign == 1) plain ? fftComplexReference(data, n, 1) : fftComplex(data, n, 1);
  if (plain) {
    const RealTwiddleStep step(n, sign);
    double wr = step.firstWr(), wi = step.firstWi();
    for (int i = 1; i < n / 2; ++i) {
      recombine(data, n, i, c1, c2, wr, wi);
      step.advance(wr, wi);
    }
  } else {
    const Twiddles& t = twiddlesFor(n, sign);
    int i = wideFft() ? fft_detail::recombineAvx512(data, n, c1, c2, t.realWr.data(), t.realWi.data()) : 1;
    for (; i < n / 2; ++i) recombine(data, n, i, c1, c2, t.realWr[i], t.realWi[i]);
  }
  const float a = data[0];
  const float b = data[1];
  if (sign == 1) {
    data[0] = static_cast<float>(double(a) + b);
    data[1] = static_cast<float>(double(a) - b);
  } else {
    data[0] = static_cast<float>(c1 * (double(a) + b));
    data[1] = static_cast<float>(c1 * (double(a) - b));
    plain ? fftComplexReference(data, n, -1) : fftComplex(data, n, -1);
  }
}

}  // namespace

void fftReal(float* data, int n, int sign) { fftRealWith(data, n, sign, false); }

void fftRealReference(float* data, int n, int sign) { fftRealWith(data, n, sign, true); }
