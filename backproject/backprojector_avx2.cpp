// AVX2 z loop of the back-projector: four slices per step, one double per
// lane, each lane doing the reference's double operations in the reference's
// order (separate multiplies and adds, never fused).
//
// The four lanes need rows iv0 .. iv0 + 7 at most while m < 2, so one
// eight-float load per filtered column and a permutation replace four
// gathers per step; columns with a large or negative m, and loads that would
// pass the end of the filtered array, gather exactly the samples the
// reference reads. The last zSize mod 4 slices take the scalar path.
#include <immintrin.h>

#include "backproject/column.h"

namespace backproject_detail {

__attribute__((target("avx2"))) void accumulateColumnAvx2(const FilteredView& f, const ViewGeometry& g,
                                                          const ColumnRay& c, float* voxel) {
  const long rows = f.rows;
  const float* column = f.samples + c.iu * rows;  // filtered column iu
  const float* next = column + rows;               // filtered column iu + 1
  const __m256d vc = _mm256_set1_pd(g.vc);
  const __m256d m = _mm256_set1_pd(c.m);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d leftWeight = _mm256_set1_pd(1.0 - c.fu);
  const __m256d rightWeight = _mm256_set1_pd(c.fu);
  const __m256d w = _mm256_set1_pd(c.w);
  const __m256d four = _mm256_set1_pd(4.0);
  const __m128i oneRow = _mm_set1_epi32(1);
  const bool contiguous = c.m > 0.0f && c.m < kContiguousMaxM;
  // Eight-float loads at row iv0 of both columns stay inside the array up to here.
  const std::ptrdiff_t lastLoad = (f.end - next) - 8;

  int z = c.zLo;
  const int zHi = c.zHi;
  // z - zc, exact in double (a small integer less a float), stepped exactly.
  __m256d dz = _mm256_sub_pd(_mm256_add_pd(_mm256_set1_pd(z), _mm256_set_pd(3, 2, 1, 0)), _mm256_set1_pd(g.zc));
  for (; z + 4 <= zHi; z += 4, voxel += 4, dz = _mm256_add_pd(dz, four)) {
    const __m256d v = _mm256_add_pd(_mm256_mul_pd(dz, m), vc);
    const __m128i iv = _mm256_cvttpd_epi32(v);
    const __m256d fv = _mm256_sub_pd(v, _mm256_cvtepi32_pd(iv));
    const __m128i iv1 = _mm_add_epi32(iv, oneRow);

    __m256d f00, f01, f10, f11;  // F(iu, iv), F(iu, iv + 1), F(iu + 1, iv), F(iu + 1, iv + 1)
    const int iv0 = _mm_cvtsi128_si32(iv);
    if (contiguous && iv0 <= lastLoad) {
      const __m256 left = _mm256_loadu_ps(column + iv0);
      const __m256 right = _mm256_loadu_ps(next + iv0);
      const __m128i base = _mm_set1_epi32(iv0);
      const __m256i d0 = _mm256_castsi128_si256(_mm_sub_epi32(iv, base));
      const __m256i d1 = _mm256_castsi128_si256(_mm_sub_epi32(iv1, base));
      f00 = _mm256_cvtps_pd(_mm256_castps256_ps128(_mm256_permutevar8x32_ps(left, d0)));
      f01 = _mm256_cvtps_pd(_mm256_castps256_ps128(_mm256_permutevar8x32_ps(left, d1)));
      f10 = _mm256_cvtps_pd(_mm256_castps256_ps128(_mm256_permutevar8x32_ps(right, d0)));
      f11 = _mm256_cvtps_pd(_mm256_castps256_ps128(_mm256_permutevar8x32_ps(right, d1)));
    } else {
      f00 = _mm256_cvtps_pd(_mm_i32gather_ps(column, iv, 4));
      f01 = _mm256_cvtps_pd(_mm_i32gather_ps(column, iv1, 4));
      f10 = _mm256_cvtps_pd(_mm_i32gather_ps(next, iv, 4));
      f11 = _mm256_cvtps_pd(_mm_i32gather_ps(next, iv1, 4));
    }

    // (1 - fu)(1 - fv) F00 + (1 - fu) fv F01 + fu (1 - fv) F10 + fu fv F11, left to right.
    const __m256d gv = _mm256_sub_pd(one, fv);
    __m256d value = _mm256_mul_pd(_mm256_mul_pd(leftWeight, gv), f00);
    value = _mm256_add_pd(value, _mm256_mul_pd(_mm256_mul_pd(leftWeight, fv), f01));
    value = _mm256_add_pd(value, _mm256_mul_pd(_mm256_mul_pd(rightWeight, gv), f10));
    value = _mm256_add_pd(value, _mm256_mul_pd(_mm256_mul_pd(rightWeight, fv), f11));

    const __m256d sum = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(voxel)), _mm256_mul_pd(value, w));
    _mm_storeu_ps(voxel, _mm256_cvtpd_ps(sum));
  }
  for (; z < zHi; ++z, ++voxel) accumulateSlice(column, rows, g, c, z, voxel);
}

}  // namespace backproject_detail
