// Voxel-driven cone-beam back-projection of one filtered view into the slab
// (Feldkamp, Davis & Kress 1984): for every voxel inside the field-of-view
// circle the ray from the source through the voxel is followed to the
// detector, the filtered projection is sampled there by bilinear
// interpolation and added with the distance weight (D/U)^2.
//
// The reference loop below defines the result bit for bit. The threaded SIMD
// flavour (backprojector_fast.cpp) shares its per-column quantities
// (column.h) and must reproduce it exactly; backProjectView, the one entry
// point the loops call, lives beside that flavour.
#include "backproject/backproject_detail.h"
#include "backproject/column.h"

using namespace backproject_detail;

void backProjectViewReference(const float* filtered, ReconParams& p, int view) {
  const ViewGeometry g = viewGeometry(p, view);
  const long rows = p.zprojSize;

  for (int y = p.yOrigin; y < p.yOrigin + p.ySize; ++y) {
    forEachColumn(p, g, y, [&](int x, const ColumnRay& c) {
      const float* column = filtered + c.iu * rows;  // column iu; column iu + 1 follows at + rows
      float* voxel = voxelAt(p, x, y, c.zLo);
      for (int z = c.zLo; z < c.zHi; ++z, ++voxel) accumulateSlice(column, rows, g, c, z, voxel);
    });
  }
}
