// AVX-512 form of the FFT's contiguous butterfly runs: eight butterflies per
// step. The products of the twiddle and the point are taken in double and
// rounded to float as in the plain loop; the sums and differences with the
// other point are float operations, which round exactly as the plain loop's
// double operation followed by its rounding to float (a double carries more
// than twice a float's 24 bits, so the double rounding is innocuous).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "geometry/fft_runs.h"

namespace fft_detail {

__attribute__((target("avx512f"))) int butterflyRunAvx512(float* a, float* b, const double* wr, const double* wi,
                                                          int count) {
  // Real parts to the low half, imaginary parts to the high half, and back.
  const __m512i split = _mm512_set_epi32(15, 13, 11, 9, 7, 5, 3, 1, 14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i merge = _mm512_set_epi32(15, 7, 14, 6, 13, 5, 12, 4, 11, 3, 10, 2, 9, 1, 8, 0);
  int k = 0;
  for (; k + 8 <= count; k += 8) {
    const __m512 bSplit = _mm512_permutexvar_ps(split, _mm512_loadu_ps(b + 2 * k));
    const __m512 aSplit = _mm512_permutexvar_ps(split, _mm512_loadu_ps(a + 2 * k));
    const __m512d bRe = _mm512_cvtps_pd(_mm512_castps512_ps256(bSplit));
    const __m512d bIm = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(bSplit), 1)));
    const __m512d c = _mm512_loadu_pd(wr + k), s = _mm512_loadu_pd(wi + k);
    const __m256 tRe = _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_mul_pd(c, bRe), _mm512_mul_pd(s, bIm)));
    const __m256 tIm = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(c, bIm), _mm512_mul_pd(s, bRe)));
    const __m512 t = _mm512_castpd_ps(
        _mm512_insertf64x4(_mm512_castps_pd(_mm512_castps256_ps512(tRe)), _mm256_castps_pd(tIm), 1));
    _mm512_storeu_ps(b + 2 * k, _mm512_permutexvar_ps(merge, _mm512_sub_ps(aSplit, t)));
    _mm512_storeu_ps(a + 2 * k, _mm512_permutexvar_ps(merge, _mm512_add_ps(aSplit, t)));
  }
  return k;
}

}  // namespace fft_detail
