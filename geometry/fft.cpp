// Radix-2 FFT of complex and of real data, in place, without allocation.
// The twiddle factors come from the trigonometric recurrence
// w' = w + w (cos theta - 1) + i w sin theta, carried in double precision with
// cos theta - 1 written as -2 sin^2(theta/2) to keep it accurate for small
// angles; every stored intermediate is a 32-bit float. The real transform
// packs F_0 and F_n into the first complex slot, which is the layout the ramp
// filter is written for.
#include <cmath>
#include <utility>

#include "geometry/geometry.h"

void fftComplex(float* data, int n, int sign) {
  const int m = 2 * n;

  // Bit-reversal permutation of the complex points (indices in floats).
  int j = 0;
  for (int i = 0; i < m; i += 2) {
    if (j > i) {
      std::swap(data[i], data[j]);
      std::swap(data[i + 1], data[j + 1]);
    }
    int h = m / 2;
    while (h >= 2 && j >= h) {
      j -= h;
      h /= 2;
    }
    j += h;
  }

  // Danielson-Lanczos butterflies, span measured in floats.
  for (int span = 2; m > span;) {
    const int step = 2 * span;
    const double theta = 2.0 * M_PI / (double(span) * sign);
    const double halfSine = std::sin(0.5 * theta);
    const double wpr = -2.0 * halfSine * halfSine;
    const double wpi = std::sin(theta);
    double wr = 1.0;
    double wi = 0.0;
    for (int p = 0; p < span; p += 2) {
      for (int i = p; i < m; i += step) {
        const int q = i + span;
        const float tRe = static_cast<float>(wr * data[q] - wi * data[q + 1]);
        const float tIm = static_cast<float>(wr * data[q + 1] + wi * data[q]);
        data[q] = static_cast<float>(double(data[i]) - tRe);
        data[q + 1] = static_cast<float>(double(data[i + 1]) - tIm);
        data[i] = static_cast<float>(double(data[i]) + tRe);
        data[i + 1] = static_cast<float>(double(data[i + 1]) + tIm);
      }
      const double oldWr = wr;
      wr = wr + (wr * wpr - wi * wpi);
      wi = wi + (wi * wpr + oldWr * wpi);
    }
    span = step;
  }
}

// The 2n real samples are transformed as n complex points z_j = x_2j + i
// x_2j+1; the spectra of the even and odd samples are separated from Z_k and
// conj Z_(n-k) and recombined with the twiddle exp(i pi k / n). The inverse
// runs the same steps backwards.
void fftReal(float* data, int n, int sign) {
  double theta = M_PI / n;
  const float c1 = 0.5f;
  float c2;
  if (sign == 1) {
    fftComplex(data, n, 1);
    c2 = -0.5f;
  } else {
    c2 = 0.5f;
    theta = -theta;
  }
  const double halfSine = std::sin(0.5 * theta);
  const double wpr = -2.0 * halfSine * halfSine;
  const double wpi = std::sin(theta);
  double wr = 1.0 + wpr;
  double wi = wpi;
  for (int i = 1; i < n / 2; ++i) {
    const int i1 = 2 * i, i2 = 2 * i + 1, i3 = 2 * n - 2 * i, i4 = 2 * n - 2 * i + 1;
    const float h1r = static_cast<float>(c1 * (double(data[i1]) + data[i3]));
    const float h1i = static_cast<float>(c1 * (double(data[i2]) - data[i4]));
    const float h2r = static_cast<float>(-c2 * (double(data[i2]) + data[i4]));
    const float h2i = static_cast<float>(c2 * (double(data[i1]) - data[i3]));
    data[i1] = static_cast<float>(h1r + wr * h2r - wi * h2i);
    data[i2] = static_cast<float>(h1i + wr * h2i + wi * h2r);
    data[i3] = static_cast<float>(h1r - wr * h2r + wi * h2i);
    data[i4] = static_cast<float>(-h1i + wr * h2i + wi * h2r);
    const double oldWr = wr;
    wr = wr * wpr - wi * wpi + wr;
    wi = wi * wpr + oldWr * wpi + wi;
  }
  const float a = data[0];
  const float b = data[1];
  if (sign == 1) {
    data[0] = static_cast<float>(double(a) + b);
    data[1] = static_cast<float>(double(a) - b);
  } else {
    data[0] = static_cast<float>(c1 * (double(a) + b));
    data[1] = static_cast<float>(c1 * (double(a) - b));
    fftComplex(data, n, -1);
  }
}
