// AVX-512 z loop of the back-projector: eight slices per step, one double
// per lane, each lane doing the reference's double operations in the
// reference's order (separate multiplies and adds, never fused).
//
// Consecutive slices map to detector rows about m apart, m = D/U near 1, so
// the sixteen rows from the first lane's row iv0 on hold every sample the
// eight lanes need: two contiguous loads per filtered column and a
// two-register permutation replace four gathers per step. The samples come
// widened to double once per view, which spares four conversions per step.
// Columns with a large or negative m gather exactly the samples the
// reference reads.
//
// Per step: z - zc is stepped exactly (small integers less a float), the row
// indices are truncated straight to 64-bit lanes (AVX-512 DQ), which the
// permutations take as they are, and only a last partial step masks its
// voxel access. On the EPYC of docs/PERFORMANCE.md (256^3 slab, one thread)
// that took a view from 9.5 ms to 7.4 ms.
//
// GCC 12's AVX-512 intrinsics start some results from a deliberately
// undefined register, which -Wmaybe-uninitialized reports once they are
// inlined (GCC bug 105593); every such lane is overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "backproject/column.h"

namespace backproject_detail {
namespace {

// One step of eight slices; `lanes` masks the voxel access of a last,
// partial step (and the gathered lanes).
template <bool kPartial, bool kContiguous>
__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"), always_inline)) inline void step(
    const double* column, const double* next, __m512d dz, __m512d m, __m512d vc,
    __m512d leftWeight, __m512d rightWeight, __m512d w, __mmask8 lanes, float* voxel) {
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d v = _mm512_add_pd(_mm512_mul_pd(dz, m), vc);
  const __m512i iv = _mm512_cvttpd_epi64(v);
  // v less v truncated: the reference's v - (int)v, as v lies well inside the int range.
  const __m512d fv = _mm512_sub_pd(v, _mm512_roundscale_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));

  __m512d f00, f01, f10, f11;  // F(iu, iv), F(iu, iv + 1), F(iu + 1, iv), F(iu + 1, iv + 1)
  if (kContiguous) {
    // Rows iv0 .. iv0 + 15 of both columns; the padding after the widened
    // copy keeps the loads inside it even at the last column.
    const long long iv0 = _mm_cvtsi128_si64(_mm512_castsi512_si128(iv));
    const __m512d left0 = _mm512_loadu_pd(column + iv0), left1 = _mm512_loadu_pd(column + iv0 + 8);
    const __m512d right0 = _mm512_loadu_pd(next + iv0), right1 = _mm512_loadu_pd(next + iv0 + 8);
    const __m512i d0 = _mm512_sub_epi64(iv, _mm512_set1_epi64(iv0));
    const __m512i d1 = _mm512_add_epi64(d0, _mm512_set1_epi64(1));
    f00 = _mm512_permutex2var_pd(left0, d0, left1);
    f01 = _mm512_permutex2var_pd(left0, d1, left1);
    f10 = _mm512_permutex2var_pd(right0, d0, right1);
    f11 = _mm512_permutex2var_pd(right0, d1, right1);
  } else {
    const __m512i iv1 = _mm512_add_epi64(iv, _mm512_set1_epi64(1));
    const __m512d zero = _mm512_setzero_pd();
    const __mmask8 gathered = kPartial ? lanes : __mmask8(0xFF);
    f00 = _mm512_mask_i64gather_pd(zero, gathered, iv, column, 8);
    f01 = _mm512_mask_i64gather_pd(zero, gathered, iv1, column, 8);
    f10 = _mm512_mask_i64gather_pd(zero, gathered, iv, next, 8);
    f11 = _mm512_mask_i64gather_pd(zero, gathered, iv1, next, 8);
  }

  // (1 - fu)(1 - fv) F00 + (1 - fu) fv F01 + fu (1 - fv) F10 + fu fv F11, left to right.
  const __m512d gv = _mm512_sub_pd(one, fv);
  __m512d value = _mm512_mul_pd(_mm512_mul_pd(leftWeight, gv), f00);
  value = _mm512_add_pd(value, _mm512_mul_pd(_mm512_mul_pd(leftWeight, fv), f01));
  value = _mm512_add_pd(value, _mm512_mul_pd(_mm512_mul_pd(rightWeight, gv), f10));
  value = _mm512_add_pd(value, _mm512_mul_pd(_mm512_mul_pd(rightWeight, fv), f11));
  value = _mm512_mul_pd(value, w);

  if (kPartial) {
    const __m512d sum = _mm512_add_pd(_mm512_cvtps_pd(_mm256_maskz_loadu_ps(lanes, voxel)), value);
    _mm256_mask_storeu_ps(voxel, lanes, _mm512_cvtpd_ps(sum));
  } else {
    const __m512d sum = _mm512_add_pd(_mm512_cvtps_pd(_mm256_loadu_ps(voxel)), value);
    _mm256_storeu_ps(voxel, _mm512_cvtpd_ps(sum));
  }
}

}  // namespace

__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))) void accumulateColumnAvx512(const FilteredView& f,
                                                                                          const ViewGeometry& g,
                                                                                          const ColumnRay& c,
                                                                                          float* voxel) {
  const double* column = f.widened + c.iu * f.rows;  // filtered column iu
  const double* next = column + f.rows;               // filtered column iu + 1
  const __m512d vc = _mm512_set1_pd(g.vc);
  const __m512d m = _mm512_set1_pd(c.m);
  const __m512d leftWeight = _mm512_set1_pd(1.0 - c.fu);
  const __m512d rightWeight = _mm512_set1_pd(c.fu);
  const __m512d w = _mm512_set1_pd(c.w);
  const __m512d eight = _mm512_set1_pd(8.0);
  const bool contiguous = c.m > 0.0f && c.m < kContiguousMaxM;

  // z - zc, exact in double (a small integer less a float), stepped exactly.
  __m512d dz = _mm512_sub_pd(_mm512_add_pd(_mm512_set1_pd(c.zLo), _mm512_set_pd(7, 6, 5, 4, 3, 2, 1, 0)),
                             _mm512_set1_pd(g.zc));
  const int zHi = c.zHi;
  int z = c.zLo;
  if (contiguous) {
    for (; z + 8 <= zHi; z += 8, voxel += 8, dz = _mm512_add_pd(dz, eight))
      step<false, true>(column, next, dz, m, vc, leftWeight, rightWeight, w, 0xFF, voxel);
    if (z < zHi)
      step<true, true>(column, next, dz, m, vc, leftWeight, rightWeight, w, __mmask8((1u << (zHi - z)) - 1), voxel);
  } else {
    for (; z + 8 <= zHi; z += 8, voxel += 8, dz = _mm512_add_pd(dz, eight))
      step<false, false>(column, next, dz, m, vc, leftWeight, rightWeight, w, 0xFF, voxel);
    if (z < zHi)
      step<true, false>(column, next, dz, m, vc, leftWeight, rightWeight, w, __mmask8((1u << (zHi - z)) - 1), voxel);
  }
}

}  // namespace backproject_detail
