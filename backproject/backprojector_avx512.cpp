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

// walkRowTo for the AVX-512 back-projector: the columns' U and T are
// stepped one after another exactly as there, and then the rest of
// columnRay is done for eight columns at once, each lane with the same
// double operations, the same exact divisions and the same conversions, so
// every ray comes out with the bits of columnRay's. A group of columns with
// a value the vector conversions would not take as the scalar ones do (not
// finite, or too large for an int) is left to columnRay itself. On the Zen 4
// host of docs/PERFORMANCE.md this took the set-up from 13% to 10% of the
// back-projection of a 64-slice slab (0.79 to 0.85 ns per update before,
// 0.77 to 0.80 after).
__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))) void columnRaysAvx512(
    const ReconParams& p, const ViewGeometry& g, RowWalk& walk, int xEnd, int x0, ColumnRay* rays,
    unsigned char* reached) {
  const int stop = xEnd < walk.xHi ? xEnd : walk.xHi;
  const __m512d D = _mm512_set1_pd(g.D), ua = _mm512_set1_pd(g.ua), zc = _mm512_set1_pd(g.zc);
  const __m512d zLoRatio = _mm512_set1_pd(g.zLoRatio), zHiRatio = _mm512_set1_pd(g.zHiRatio);
  const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd();
  // Beyond this the scalar path's clamping to the int range could differ.
  const __m512d limit = _mm512_set1_pd(1e9);
  const __m256i zOrigin = _mm256_set1_epi32(p.zOrigin), zEnd = _mm256_set1_epi32(p.zOrigin + p.zSize);
  while (walk.x < stop) {
    const int n = stop - walk.x < 8 ? stop - walk.x : 8;
    const int first = walk.x;
    alignas(32) float Us[8] = {}, Ts[8] = {};
    for (int i = 0; i < n; ++i) {
      Us[i] = walk.U;
      Ts[i] = walk.T;
      walk.U = static_cast<float>(double(walk.U) + g.k);
      walk.T = static_cast<float>(double(walk.T) - g.s);
    }
    walk.x += n;
    const __mmask8 lanes = __mmask8((1u << n) - 1);
    // Unused lanes get U = 1, T = 0: harmless values.
    const __m512d U = _mm512_mask_blend_pd(lanes, one, _mm512_cvtps_pd(_mm256_load_ps(Us)));
    const __m512d T = _mm512_maskz_mov_pd(lanes, _mm512_cvtps_pd(_mm256_load_ps(Ts)));

    const __m256 invU = _mm512_cvtpd_ps(_mm512_div_pd(one, U));
    const __m512d invUd = _mm512_cvtps_pd(invU);
    const __m512d DT = _mm512_mul_pd(D, T);
    const __m256 u = _mm512_cvtpd_ps(_mm512_add_pd(ua, _mm512_mul_pd(DT, invUd)));
    const __m256 zLoF = _mm512_cvtpd_ps(_mm512_sub_pd(zc, _mm512_mul_pd(U, zLoRatio)));
    const __m256 zHiF = _mm512_cvtpd_ps(_mm512_add_pd(zc, _mm512_mul_pd(U, zHiRatio)));
    const __m512d ud = _mm512_cvtps_pd(u), zLoD = _mm512_cvtps_pd(zLoF), zHiD = _mm512_cvtps_pd(zHiF);
    // |x| < limit is false for NaN too.
    const __mmask8 tame = _mm512_cmp_pd_mask(_mm512_abs_pd(ud), limit, _CMP_LT_OQ) &
                          _mm512_cmp_pd_mask(_mm512_abs_pd(zLoD), limit, _CMP_LT_OQ) &
                          _mm512_cmp_pd_mask(_mm512_abs_pd(zHiD), limit, _CMP_LT_OQ);
    if ((tame & lanes) != lanes) {
      // columnRay itself, from the same U and T.
      for (int i = 0; i < n; ++i) {
        const size_t at = static_cast<size_t>(first + i - x0);
        reached[at] = columnRay(p, g, Us[i], Ts[i], &rays[at]) ? 1 : 0;
      }
      continue;
    }

    // roundUpIndex: trunc(x + 1) for x >= 0, else trunc(x); roundDownIndex:
    // trunc(x), less one below 0.
    const __mmask8 zLoUp = _mm512_cmp_pd_mask(zLoD, zero, _CMP_GE_OQ);
    __m256i zLo = _mm512_cvttpd_epi32(_mm512_mask_add_pd(zLoD, zLoUp, zLoD, one));
    __m256i zHi = _mm512_cvttpd_epi32(zHiD);
    zHi = _mm256_mask_sub_epi32(zHi, _mm256_cmpgt_epi32_mask(_mm256_setzero_si256(), zHi), zHi,
                                _mm256_set1_epi32(1));
    zLo = _mm256_max_epi32(zLo, zOrigin);
    zHi = _mm256_min_epi32(zHi, zEnd);
    __mmask8 hit = _mm256_cmpgt_epi32_mask(zHi, zLo) & lanes;
    // Width-truncated data: nothing from a ray more than one column left of the axis.
    if (p.truncated)
      hit &= _mm512_cmp_pd_mask(_mm512_div_pd(DT, U), _mm512_set1_pd(-1.0), _CMP_GT_OQ);

    const __m256i iu = _mm256_cvttps_epi32(u);
    const __m256 fu = _mm512_cvtpd_ps(_mm512_sub_pd(ud, _mm512_cvtepi32_pd(iu)));
    const __m256 m = _mm512_cvtpd_ps(_mm512_mul_pd(D, invUd));
    const __m512d md = _mm512_cvtps_pd(m);
    const __m256 w = _mm512_cvtpd_ps(_mm512_mul_pd(md, md));

    alignas(32) int zLos[8], zHis[8], ius[8];
    alignas(32) float fus[8], ms[8], ws[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(zLos), zLo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(zHis), zHi);
    _mm256_store_si256(reinterpret_cast<__m256i*>(ius), iu);
    _mm256_store_ps(fus, fu);
    _mm256_store_ps(ms, m);
    _mm256_store_ps(ws, w);
    for (int i = 0; i < n; ++i) {
      const size_t at = static_cast<size_t>(first + i - x0);
      reached[at] = (hit >> i) & 1;
      rays[at] = ColumnRay{zLos[i], zHis[i], ius[i], fus[i], ms[i], ws[i]};
    }
  }
}

}  // namespace backproject_detail
