// Internal to backproject/: the per-view and per-voxel-column quantities of
// the voxel-driven back-projector (Feldkamp, Davis & Kress 1984), shared by
// the reference loop and the threaded SIMD one so that both start every
// voxel column from the very same floats and differ only in how they walk z.
//
// Rounding follows the reconstruction's definition: intermediate arithmetic
// in double, rounded to float exactly where a value is kept as a float.
// These functions are compiled for the baseline instruction set; the SIMD
// kernels inline them into their wider-ISA bodies without changing a bit,
// since -ffp-contract=off rules out fused multiply-adds everywhere.
#pragma once

#include <cmath>
#include <cstddef>

#include "driver/params.h"
#include "host/host.h"

namespace backproject_detail {

// Per-view constants, each rounded to float where the reconstruction keeps it
// as a float.
struct ViewGeometry {
  float D;       // source-to-detector distance = source-to-axis distance in voxels
  float ua;      // rotation axis as a column of the filtered window
  float vc;      // central plane as a row of the rows held for the slab
  float zc;      // central plane as a z index of the whole volume
  float s, k;    // sin and cos of the view angle
  float R, R2;   // centre and squared radius of the field-of-view circle
  float zLoRatio;  // vc / D: how far below the central plane the held rows reach, per unit U
  float zHiRatio;  // (zprojSize - 1 - vc) / D: the same above it
};

inline ViewGeometry viewGeometry(const ReconParams& p, int view) {
  ViewGeometry g;
  g.D = p.rfanY;
  g.ua = p.axis;
  g.vc = p.centralSlice;
  g.zc = p.centralSliceUser;
  g.s = p.sinTable[view];
  g.k = p.cosTable[view];
  g.R = static_cast<float>((p.gridSizeXY - 1) * 0.5);
  g.R2 = static_cast<float>(double(g.R) * g.R);
  g.zLoRatio = static_cast<float>(double(g.vc) / g.D);
  g.zHiRatio = static_cast<float>((double(p.zprojSize) - 1 - g.vc) / g.D);
  return g;
}

// What the z loop of one voxel column (x, y) needs from this view.
struct ColumnRay {
  int zLo, zHi;  // slices [zLo, zHi) whose rays meet the held detector rows
  int iu;        // left filtered column of the bilinear pair
  float fu;      // weight of the right column
  float m;       // magnification D/U: rows advanced per slice
  float w;       // distance weight (D/U)^2
};

// The quantities of the column at distance U from the source along the
// central ray and lateral offset T from it. False when the column receives
// nothing from this view.
inline bool columnRay(const ReconParams& p, const ViewGeometry& g, float U, float T, ColumnRay* c) {
  const float invU = static_cast<float>(1.0 / U);
  const float u = static_cast<float>(double(g.ua) + double(g.D) * T * invU);

  // Width-truncated data: only the axis and one side of it were measured; a
  // ray meeting the detector more than one column left of the axis carries
  // nothing for this view (the opposite view supplies it).
  if (p.truncated && double(g.D) * T / U <= -1.0) return false;

  int zLo = roundUpIndex(static_cast<float>(double(g.zc) - double(U) * g.zLoRatio));
  int zHi = roundDownIndex(static_cast<float>(double(g.zc) + double(U) * g.zHiRatio));
  if (zLo < p.zOrigin) zLo = p.zOrigin;
  if (zHi > p.zOrigin + p.zSize) zHi = p.zOrigin + p.zSize;
  if (zLo >= zHi) return false;

  c->zLo = zLo;
  c->zHi = zHi;
  c->iu = static_cast<int>(u);
  c->fu = static_cast<float>(double(u) - c->iu);
  c->m = static_cast<float>(double(g.D) * invU);
  c->w = static_cast<float>(double(c->m) * c->m);
  return true;
}

// The walk of one voxel row y over the columns that receive something from
// a view, x ascending, which may stop at any column and go on later: U and T
// are stepped along x rather than recomputed, so every caller, whether it
// walks the row in one go or block by block, sees the same float sequence.
struct RowWalk {
  int x = 0, xHi = 0;  // next column, one past the last inside the circle
  float U = 0, T = 0;  // of column x
};

inline RowWalk startRow(const ReconParams& p, const ViewGeometry& g, int y) {
  const double dy = double(y) - g.R;
  // Half chord of the field-of-view circle at this y. Both bounds exclude an
  // exact integer, so voxels on the circle itself are never reconstructed.
  const float h = static_cast<float>(std::sqrt(double(g.R2) - dy * dy));
  int xLo = roundUpIndex(static_cast<float>(double(g.R) - h));
  int xHi = roundDownIndex(static_cast<float>(double(g.R) + h));
  if (xLo < p.xOrigin) xLo = p.xOrigin;
  if (xHi > p.xOrigin + p.xSize) xHi = p.xOrigin + p.xSize;
  RowWalk w;
  if (xLo >= xHi) {
    w.x = w.xHi = p.xOrigin;
    return w;
  }
  const double dx = double(xLo) - g.R;
  w.x = xLo;
  w.xHi = xHi;
  w.U = static_cast<float>(double(g.D) + dy * g.s + dx * g.k);
  w.T = static_cast<float>(dy * g.k - dx * g.s);
  return w;
}

// Calls column(x, ray) for the columns of the walk before xEnd that receive
// something from this view, and leaves the walk at xEnd (or its end).
template <class Column>
inline void walkRowTo(const ReconParams& p, const ViewGeometry& g, RowWalk& w, int xEnd, Column&& column) {
  const int stop = xEnd < w.xHi ? xEnd : w.xHi;
  for (; w.x < stop; ++w.x) {
    ColumnRay ray;
    if (columnRay(p, g, w.U, w.T, &ray)) column(w.x, ray);
    w.U = static_cast<float>(double(w.U) + g.k);
    w.T = static_cast<float>(double(w.T) - g.s);
  }
}

// Calls column(x, ray) for every voxel column of row y that receives
// something from this view, x ascending.
template <class Column>
inline void forEachColumn(const ReconParams& p, const ViewGeometry& g, int y, Column&& column) {
  RowWalk w = startRow(p, g, y);
  walkRowTo(p, g, w, w.xHi, column);
}

// Voxel (x, y, z) of the slab: [y][x][z], z fastest.
inline float* voxelAt(const ReconParams& p, int x, int y, int z) {
  return p.volume +
         ((static_cast<std::ptrdiff_t>(y - p.yOrigin) * p.xSize + (x - p.xOrigin)) * p.zSize + (z - p.zOrigin));
}

// The sample of slice z: bilinear interpolation between filtered columns iu
// and iu + 1 (`column` points at column iu, rows apart) and rows iv and
// iv + 1, weighted and added to *voxel. This order of double operations
// defines the result; the SIMD kernels repeat it lane by lane.
inline void accumulateSlice(const float* column, long rows, const ViewGeometry& g, const ColumnRay& c, int z,
                            float* voxel) {
  const double v = (double(z) - g.zc) * c.m + g.vc;
  const int iv = static_cast<int>(v);
  const double fv = v - iv;
  const float* f0 = column + iv;
  const float* f1 = f0 + rows;
  const double value = (1.0 - c.fu) * (1.0 - fv) * f0[0] + (1.0 - c.fu) * fv * f0[1] +
                       double(c.fu) * (1.0 - fv) * f1[0] + double(c.fu) * fv * f1[1];
  *voxel = static_cast<float>(double(*voxel) + value * c.w);
}

// One filtered view as the z loop kernels read it: the caller's floats,
// and for the AVX-512 kernel the same samples widened to double once per
// view (exact) with kWidenedPadding spare elements after the last, so that
// its contiguous loads never need an end test.
struct FilteredView {
  const float* samples;   // F(col, row) at col * rows + row
  const float* end;       // one past the caller's array: kernels never read at or beyond it
  const double* widened;  // samples as doubles, or null below AVX-512
  long rows;              // zprojSize
};
constexpr long kWidenedPadding = 16;

// A z loop kernel: slices [c.zLo, c.zHi) of one voxel column, `voxel` at
// c.zLo.
using ColumnKernel = void (*)(const FilteredView& f, const ViewGeometry& g, const ColumnRay& c, float* voxel);

// The kernels: 4 doubles per step with AVX2, 8 with AVX-512 (F, BW, VL, DQ).
// Callable only where the CPU has those instruction sets.
void accumulateColumnAvx2(const FilteredView& f, const ViewGeometry& g, const ColumnRay& c, float* voxel);
void accumulateColumnAvx512(const FilteredView& f, const ViewGeometry& g, const ColumnRay& c, float* voxel);

// walkRowTo for one view up to xEnd, computing the rays of eight columns at
// once: column x's ray into rays[x - x0], and reached[x - x0] set to whether
// it receives anything, for every column the walk passes. Bit for bit what
// walkRowTo with columnRay gives; AVX-512 (F, BW, VL, DQ) only.
void columnRaysAvx512(const ReconParams& p, const ViewGeometry& g, RowWalk& walk, int xEnd, int x0, ColumnRay* rays,
                      unsigned char* reached);

// Largest magnification m at which the slices of one vector step fall within
// one contiguous load of 2n samples of the filtered column: the rows iv of n
// lanes lie within floor((n - 1) m) + 1 of the first lane's row, and iv + 1
// one further, which stays below 2n while m < 2 (the margin to 2 absorbs
// the rounding of v). Columns with a larger (or a negative) m gather their
// samples instead.
constexpr float kContiguousMaxM = 1.9f;

}  // namespace backproject_detail
