// AVX-512 forms of the FFT's loops: the contiguous butterfly runs of the
// later stages eight butterflies per step, the first three stages on blocks
// of eight points held in one register, and the real transform's
// recombination eight points per step. The products of the twiddle and the
// point are taken in double and rounded to float as in the plain loop; the
// butterflies' sums and differences with the other point are float
// operations, which round exactly as the plain loop's double operation
// followed by its rounding to float (a double carries more than twice a
// float's 24 bits, so the double rounding is innocuous). The recombination
// keeps every double operation of the plain loop, in its order.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "geometry/fft_runs.h"

namespace fft_detail {

namespace {

#define KORVAN_AVX512 __attribute__((target("avx512f"), always_inline)) inline

// The low and high eight floats of v, widened to double.
KORVAN_AVX512 __m512d lowHalf(__m512 v) { return _mm512_cvtps_pd(_mm512_castps512_ps256(v)); }
KORVAN_AVX512 __m512d highHalf(__m512 v) {
  return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
}
// v rounded to float, as a double again.
KORVAN_AVX512 __m512d asFloat(__m512d v) { return _mm512_cvtps_pd(_mm512_cvtpd_ps(v)); }
// -v exactly, the sign of a zero included (0 - v would give +0 for +0).
KORVAN_AVX512 __m512d negate(__m512d v) {
  return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x8000000000000000LL)));
}
// One vector of the eight floats `low` followed by the eight `high`.
KORVAN_AVX512 __m512 join(__m256 low, __m256 high) {
  return _mm512_castpd_ps(
      _mm512_insertf64x4(_mm512_castps_pd(_mm512_castps256_ps512(low)), _mm256_castps_pd(high), 1));
}

// Permutations of the 16 floats of eight complex points for the stage whose
// butterflies pair point j with point j + run (run 1, 2 or 4): `split`
// gathers the first points of the four butterflies into the low eight
// floats and their partners into the high eight, `merge` puts them back;
// `twiddle` is the twiddle index of each butterfly.
struct BlockStage {
  int split[16], merge[16], twiddle[4];
};

BlockStage blockStage(int run) {
  BlockStage stage{};
  int first = 0;
  for (int j = 0; j < 8; ++j) {
    if ((j / run) % 2 != 0) continue;
    const int partner = j + run;
    stage.twiddle[first] = j % run;
    for (int part = 0; part < 2; ++part) {
      stage.split[2 * first + part] = 2 * j + part;
      stage.split[8 + 2 * first + part] = 2 * partner + part;
      stage.merge[2 * j + part] = 2 * first + part;
      stage.merge[2 * partner + part] = 8 + 2 * first + part;
    }
    ++first;
  }
  return stage;
}

}  // namespace

__attribute__((target("avx512f"))) int butterflyRunAvx512(float* a, float* b, const double* wr, const double* wi,
                                                          int count) {
  // Real parts to the low half, imaginary parts to the high half, and back.
  const __m512i split = _mm512_set_epi32(15, 13, 11, 9, 7, 5, 3, 1, 14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i merge = _mm512_set_epi32(15, 7, 14, 6, 13, 5, 12, 4, 11, 3, 10, 2, 9, 1, 8, 0);
  int k = 0;
  for (; k + 8 <= count; k += 8) {
    const __m512 bSplit = _mm512_permutexvar_ps(split, _mm512_loadu_ps(b + 2 * k));
    const __m512 aSplit = _mm512_permutexvar_ps(split, _mm512_loadu_ps(a + 2 * k));
    const __m512d bRe = lowHalf(bSplit), bIm = highHalf(bSplit);
    const __m512d c = _mm512_loadu_pd(wr + k), s = _mm512_loadu_pd(wi + k);
    const __m256 tRe = _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_mul_pd(c, bRe), _mm512_mul_pd(s, bIm)));
    const __m256 tIm = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(c, bIm), _mm512_mul_pd(s, bRe)));
    const __m512 t = join(tRe, tIm);
    _mm512_storeu_ps(b + 2 * k, _mm512_permutexvar_ps(merge, _mm512_sub_ps(aSplit, t)));
    _mm512_storeu_ps(a + 2 * k, _mm512_permutexvar_ps(merge, _mm512_add_ps(aSplit, t)));
  }
  return k;
}

__attribute__((target("avx512f"))) void firstStagesAvx512(float* data, int n, const double* wr, const double* wi) {
  static const BlockStage stages[3] = {blockStage(1), blockStage(2), blockStage(4)};
  __m512i split[3], merge[3];
  __m512d twiddleRe[3], twiddleIm[3];  // per butterfly, repeated for its real and imaginary lane
  for (int s = 0; s < 3; ++s) {
    const int run = 1 << s;
    split[s] = _mm512_loadu_si512(stages[s].split);
    merge[s] = _mm512_loadu_si512(stages[s].merge);
    double re[8], im[8];
    for (int b = 0; b < 4; ++b) {
      const int k = run - 1 + stages[s].twiddle[b];  // the stage's twiddles start at run - 1
      re[2 * b] = re[2 * b + 1] = wr[k];
      im[2 * b] = im[2 * b + 1] = wi[k];
    }
    twiddleRe[s] = _mm512_loadu_pd(re);
    twiddleIm[s] = _mm512_loadu_pd(im);
  }

  for (int block = 0; block < n / 8; ++block) {
    float* points = data + 16 * block;
    __m512 z = _mm512_loadu_ps(points);
    for (int s = 0; s < 3; ++s) {
      const __m512 pairs = _mm512_permutexvar_ps(split[s], z);
      const __m256 x = _mm512_castps512_ps256(pairs);
      const __m512d y = highHalf(pairs);
      // (wr yRe, wr yIm) and (wi yIm, wi yRe): the real lanes take their
      // difference, the imaginary lanes their sum.
      const __m512d p = _mm512_mul_pd(twiddleRe[s], y);
      const __m512d q = _mm512_mul_pd(twiddleIm[s], _mm512_permute_pd(y, 0x55));
      const __m256 t = _mm512_cvtpd_ps(_mm512_mask_sub_pd(_mm512_add_pd(p, q), 0x55, p, q));
      z = _mm512_permutexvar_ps(merge[s], join(_mm256_add_ps(x, t), _mm256_sub_ps(x, t)));
    }
    _mm512_storeu_ps(points, z);
  }
}

__attribute__((target("avx512f"))) int recombineAvx512(float* data, int n, float c1, float c2, const double* wr,
                                                       const double* wi) {
  // Real parts to the low half, imaginary parts to the high half; the same
  // for eight points in reverse order; and back.
  const __m512i split = _mm512_set_epi32(15, 13, 11, 9, 7, 5, 3, 1, 14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i splitReversed = _mm512_set_epi32(1, 3, 5, 7, 9, 11, 13, 15, 0, 2, 4, 6, 8, 10, 12, 14);
  const __m512i merge = _mm512_set_epi32(15, 7, 14, 6, 13, 5, 12, 4, 11, 3, 10, 2, 9, 1, 8, 0);
  const __m512i mergeReversed = _mm512_set_epi32(8, 0, 9, 1, 10, 2, 11, 3, 12, 4, 13, 5, 14, 6, 15, 7);
  const __m512d c1Lanes = _mm512_set1_pd(c1), minusC2Lanes = _mm512_set1_pd(-c2), c2Lanes = _mm512_set1_pd(c2);
  // Points i .. i + 7 and their mirrors n - i - 7 .. n - i, while all of them
  // lie on their side of n / 2: every point is read and written by one step.
  int i = 1;
  for (; i + 7 <= n / 2 - 1; i += 8) {
    float* forward = data + 2 * i;
    float* backward = data + 2 * (n - i - 7);
    const __m512 a = _mm512_permutexvar_ps(split, _mm512_loadu_ps(forward));
    const __m512 b = _mm512_permutexvar_ps(splitReversed, _mm512_loadu_ps(backward));
    const __m512d aRe = lowHalf(a), aIm = highHalf(a), bRe = lowHalf(b), bIm = highHalf(b);
    const __m512d h1r = asFloat(_mm512_mul_pd(c1Lanes, _mm512_add_pd(aRe, bRe)));
    const __m512d h1i = asFloat(_mm512_mul_pd(c1Lanes, _mm512_sub_pd(aIm, bIm)));
    const __m512d h2r = asFloat(_mm512_mul_pd(minusC2Lanes, _mm512_add_pd(aIm, bIm)));
    const __m512d h2i = asFloat(_mm512_mul_pd(c2Lanes, _mm512_sub_pd(aRe, bRe)));
    const __m512d c = _mm512_loadu_pd(wr + i), s = _mm512_loadu_pd(wi + i);
    const __m512d cr = _mm512_mul_pd(c, h2r), ci = _mm512_mul_pd(c, h2i);
    const __m512d sr = _mm512_mul_pd(s, h2r), si = _mm512_mul_pd(s, h2i);
    const __m512d outARe = _mm512_sub_pd(_mm512_add_pd(h1r, cr), si);
    const __m512d outAIm = _mm512_add_pd(_mm512_add_pd(h1i, ci), sr);
    const __m512d outBRe = _mm512_add_pd(_mm512_sub_pd(h1r, cr), si);
    const __m512d outBIm = _mm512_add_pd(_mm512_add_pd(negate(h1i), ci), sr);
    _mm512_storeu_ps(forward, _mm512_permutexvar_ps(merge, join(_mm512_cvtpd_ps(outARe), _mm512_cvtpd_ps(outAIm))));
    _mm512_storeu_ps(backward, _mm512_permutexvar_ps(mergeReversed, join(_mm512_cvtpd_ps(outBRe), _mm512_cvtpd_ps(outBIm))));
  }
  return i;
}

#undef KORVAN_AVX512

}  // namespace fft_detail
