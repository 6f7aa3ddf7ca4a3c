// Internal to geometry/: the vector form of the FFT's contiguous butterfly
// runs, for fft.cpp and its tests.
#pragma once

namespace fft_detail {

// The first butterflies of a run of `count`, eight at a time, exactly as the
// plain loop computes them (a[k], b[k] complex floats, twiddle wr[k] + i wi[k]);
// returns how many were done, the rest being left to the caller. Callable
// only where the CPU has AVX-512 F.
int butterflyRunAvx512(float* a, float* b, const double* wr, const double* wi, int count);

}  // namespace fft_detail
