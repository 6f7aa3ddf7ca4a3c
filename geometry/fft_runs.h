// Internal to geometry/: the vector forms of the FFT's loops, for fft.cpp.
#pragma once

namespace fft_detail {

// The first butterflies of a run of `count`, eight at a time, exactly as the
// plain loop computes them (a[k], b[k] complex floats, twiddle wr[k] + i wi[k]);
// returns how many were done, the rest being left to the caller. Callable
// only where the CPU has AVX-512 F.
int butterflyRunAvx512(float* a, float* b, const double* wr, const double* wi, int count);

// The first three stages (butterflies 1, 2 and 4 points apart) of an n-point
// transform, n a multiple of 8, after the bit-reversal; wr and wi are the
// stage twiddles as fftComplex tabulates them (stage of run r from r - 1 on).
void firstStagesAvx512(float* data, int n, const double* wr, const double* wi);

// The real transform's recombination for points 1, 2, ... eight at a time,
// as far as both a step's points and their mirrors stay on their side of
// n / 2; wr and wi indexed by point. Returns the first point left to the
// caller.
int recombineAvx512(float* data, int n, float c1, float c2, const double* wr, const double* wi);

}  // namespace fft_detail
