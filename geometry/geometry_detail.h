// Inside geometry/, and what its tests drive directly: the complex transform
// under the real one, and the filters and weights that setup fills.
#pragma once

#include "driver/params.h"
#include "geometry/geometry.h"

// In-place radix-2 complex transform of n complex points (2n floats),
// G_k = sum_j z_j exp(sign 2 pi i j k / n), unscaled.
void fftComplex(float* data, int n, int sign);

// fftComplex with its butterflies in their plain loop order, one at a time:
// the same floats bit for bit.
void fftComplexReference(float* data, int n, int sign);

// Ramp filter |w|/2 in fftReal's packing; also fills the cosine pre-weights.
float* buildRampFilter(ReconParams& p, float* filter, float* weights);
// Ram-Lak kernel of 2w - 1 taps; also fills the cosine pre-weights.
float* buildRamLakKernel(ReconParams& p, float* kernel, float* weights);
// Parker short-scan weights, nang x yprojSizeUser, into p.shortScanWeight.
float* buildShortScanWeights(ReconParams& p);
