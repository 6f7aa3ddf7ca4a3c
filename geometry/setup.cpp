// Geometry setup of one slab: working projection size, angle plan and
// tables, clipped region, the detector window the slab projects onto, the FFT
// length, and every working array with its filter and weights.
//
// Units: detector pixels of the binned projection; the voxel edge is one such
// pixel seen at the rotation axis, so rfanY is also the source-to-axis
// distance in voxels. Angles are radians here. Intermediate arithmetic is
// double; values are rounded to float exactly where they are stored.
#include <algorithm>
#include <cmath>

#include "geometry/geometry_detail.h"
#include "geometry/working_size.h"
#include "host/host.h"

using namespace geometry_detail;

namespace {

// Horizontal and vertical binning of the working projection and of
// everything measured in its pixels.
void applyBinning(ReconParams& p) {
  if (p.yBinGiven) {
    const int b = p.yBinSize;
    p.axisUser = binScaled(p.axisUser, b);
    p.rfanY = binScaled(p.rfanY, b);
    p.elementSize = static_cast<float>(double(p.elementSize) * b);
    p.yprojSizeUser = p.projWidth / b;
    p.xOrigin = binnedRegion(p.xOrigin, b);
    p.yOrigin = binnedRegion(p.yOrigin, b);
    p.xSize = binnedRegion(p.xSize, b);
    p.ySize = binnedRegion(p.ySize, b);
  } else {
    p.yBinSize = 1;
    p.yprojSizeUser = p.projWidth;
  }
  if (p.zBinGiven) {
    const int f = p.zBinSize;
    p.centralSliceUser = binScaled(p.centralSliceUser, f);
    p.rfanZ = binScaled(p.rfanZ, f);
    p.zprojSizeUser = p.projHeight / f;
  } else {
    p.zBinSize = 1;
    p.zprojSizeUser = p.projHeight;
  }
}

// An unset size, or one reaching past the grid, becomes the rest of the grid.
void clipSize(int& size, int origin, int grid) {
  if (size == -1 || size > grid - origin) size = grid - origin;
}

// Angle, sine and cosine of every view. The angles are accumulated by
// repeated addition of the step; a user start angle shifts the table but not
// startAngle, from which the short-scan weights are measured.
void fillAngleTables(ReconParams& p) {
  p.angles = vector(p.nang);
  p.sinTable = vector(p.nang);
  p.cosTable = vector(p.nang);
  double angle = p.startAngleGiven ? p.startAngleUser * M_PI / 180.0 : double(p.startAngle);
  for (int i = 0; i < p.nang; ++i) {
    p.angles[i] = static_cast<float>(angle);
    angle += p.angleStep;
  }
  for (int i = 0; i < p.nang; ++i) {
    p.sinTable[i] = static_cast<float>(std::sin(double(p.angles[i])));
    p.cosTable[i] = static_cast<float>(std::cos(double(p.angles[i])));
  }
}

// The detector columns and rows that some voxel of the slab projects onto in
// some view, widened by one pixel for the bilinear interpolation of the
// back-projector. The voxels visited are exactly the back-projector's: inside
// the field-of-view circle of radius R = (gridSizeXY - 1) / 2 around (R, R).
// A voxel at distance D from the source along the central ray is magnified by
// m = rfanY / D; its lateral offset T lands at column axisUser + T m and its
// slice z at row centralSliceUser + (z - centralSliceUser) m.
void findDetectorWindow(ReconParams& p) {
  const int w = p.yprojSizeUser;
  const int rows = p.zprojSizeUser;
  const float r = static_cast<float>((p.gridSizeXY - 1) * 0.5);
  const float r2 = static_cast<float>(double(r) * r);
  const double rfan = p.rfanY;

  float uMin = static_cast<float>(w), uMax = static_cast<float>(-w);
  float mMin = 0, mMax = 0;
  bool seen = false;
  for (int view = 0; view < p.nang; ++view) {
    const double s = p.sinTable[view];
    const double k = p.cosTable[view];
    for (int y = p.yOrigin; y < p.yOrigin + p.ySize; ++y) {
      const double dy = y - double(r);
      const float chord = static_cast<float>(std::sqrt(r2 - dy * dy));
      const int xLo = std::max(roundUpIndex(static_cast<float>(double(r) - chord)), p.xOrigin);
      const int xHi = std::min(roundDownIndex(static_cast<float>(double(r) + chord)), p.xOrigin + p.xSize);
      if (xLo >= xHi) continue;
      float d = static_cast<float>(rfan + (xLo - double(r)) * k + dy * s);
      float t = static_cast<float>(dy * k - (xLo - double(r)) * s);
      for (int x = xLo; x < xHi; ++x) {
        const float m = static_cast<float>(rfan / d);
        const float u = static_cast<float>(double(t) * m);
        if (!seen) {
          mMin = mMax = m;
          seen = true;
        }
        uMin = std::min(uMin, u);
        uMax = std::max(uMax, u);
        mMin = std::min(mMin, m);
        mMax = std::max(mMax, m);
        d = static_cast<float>(d + k);
        t = static_cast<float>(t - s);
      }
    }
  }

  // Row extremes: z m is monotonic in m for a fixed plane, so the extreme
  // magnifications of the slab's first and last plane bound every row.
  float vMin = static_cast<float>(rows), vMax = static_cast<float>(-rows);
  const float z0 = static_cast<float>(p.zOrigin - double(p.centralSliceUser));
  const float z1 = static_cast<float>((p.zOrigin + p.zSize - 1) - double(p.centralSliceUser));
  for (float plane : {z0, z1}) {
    for (float m : {mMin, mMax}) {
      const float v = static_cast<float>(double(plane) * m);
      vMin = std::min(vMin, v);
      vMax = std::max(vMax, v);
    }
  }
  // A slab without a single voxel in the field of view projects nowhere; a
  // small window round the axis keeps every size positive.
  if (!seen) uMin = uMax = vMin = vMax = 0.0f;

  // Columns are not clipped to the detector: the filtered row extends beyond
  // it, and the back-projector reads columns iu and iu + 1 of every voxel.
  const int first = roundDownIndex(static_cast<float>(double(uMin) + p.axisUser - 1.0));
  const int last = roundUpIndex(static_cast<float>(double(uMax) + p.axisUser + 1.0));
  p.yprojSize = last - first + 1;
  p.axis = static_cast<float>(double(p.axisUser) - first);

  // Rows are clipped to the detector. Should the slab's shadow miss the
  // detector altogether (a few views far apart), one row is still held.
  int firstRow = std::max(0, roundDownIndex(static_cast<float>(double(vMin) + p.centralSliceUser - 1.0)));
  int lastRow = std::min(rows - 1, roundUpIndex(static_cast<float>(double(vMax) + p.centralSliceUser + 1.0)));
  firstRow = std::min(firstRow, rows - 1);
  lastRow = std::max(lastRow, firstRow);
  p.zprojSize = lastRow - firstRow + 1;
  p.centralSlice = static_cast<float>(double(p.centralSliceUser) - firstRow);
}

// The smallest power of two above the longer of the projection row and the
// filtered window: the linear convolution of the ramp with a row must not
// wrap round the circular FFT.
void chooseFilterLength(ReconParams& p) {
  const int n = std::max(p.yprojSizeUser, p.yprojSize);
  const int k = roundDownIndex(static_cast<float>(std::log(double(n)) / std::log(2.0)));
  p.filterSize = 2 << k;
  p.filterSizeHalf = p.filterSize / 2;
}

void allocateArrays(ReconParams& p) {
  const long w = p.yprojSizeUser;
  const long rowsHeld = p.zprojSize;
  const long slice = long(p.ySize) * p.xSize;
  if (p.nChunks >= 2) {
    // Every slab of a multi-slab run uses the buffer the plan budgeted.
    log_error("Enabling chunking operation");
    p.volume = vector(p.memoryLimit / 4);
  } else {
    p.volume = vector(long(p.zSize) * slice);
  }
  p.byteSlice = bvector(slice);
  p.shortSlice = svector(slice);
  p.floatSlice = vector(slice);
  p.preWeight = vector(rowsHeld * w);
  p.projection = vector(rowsHeld * w);
  const long raw = rowsHeld * p.zBinSize * p.projWidth;
  p.rawShort = svector(raw);
  p.rawFloat = vector(raw);
  const long filtered = long(p.yprojSize) * rowsHeld;
  if (p.convolution) {
    p.convKernel = vector(2 * w - 1);
    p.convFiltered = vector(filtered);
  } else {
    p.rampFilter = vector(p.filterSize);
    p.fftFiltered = vector(filtered);
  }
  if (!p.full360) p.shortScanWeight = vector(w * p.nang);
}

}  // namespace

int geometry_detail::fullTurnViews(double step) { return roundNearest(static_cast<float>(2.0 * M_PI / step)); }

// The span of the plan is a full turn, or half a turn plus the fan angle, the
// least over which every ray of a fan beam is measured at least once.
ViewPlan planViews(int width, float axis, float rfan, float increment, bool full360, bool reverse) {
  const double step = increment * M_PI / 180.0;
  const double reach = std::max((width - 1) - double(axis), double(axis));
  ViewPlan plan;
  plan.fanAngle = static_cast<float>(2.0 * std::atan(reach / rfan));
  if (full360) {
    plan.span = 2.0 * M_PI;
    plan.views = fullTurnViews(step);
  } else {
    plan.span = M_PI + double(plan.fanAngle);
    plan.views = roundUpIndex(static_cast<float>((M_PI + double(plan.fanAngle)) / step));
  }
  // Centre the views in [0, span], leaving equal gaps at both ends.
  plan.angleStep = static_cast<float>(step);
  plan.firstAngle = static_cast<float>((plan.span - (plan.views - 1) * double(plan.angleStep)) / 2.0);
  if (reverse) {
    plan.firstAngle = static_cast<float>(plan.span - plan.firstAngle);
    plan.angleStep = -plan.angleStep;
  }
  return plan;
}

void setupGeometry(ReconParams& p) {
  applyBinning(p);

  if (p.zSize == 0) {
    // Nothing to reconstruct: settle the grid and the in-plane sizes only.
    p.gridSizeXY = p.yprojSizeUser;
    p.gridSizeZ = p.zprojSizeUser;
    clipSize(p.xSize, p.xOrigin, p.gridSizeXY);
    clipSize(p.ySize, p.yOrigin, p.gridSizeXY);
    return;
  }

  if (p.truncated) {
    // Width-truncated data: pad the row on the low-index side so that the
    // rotation axis sits at its middle; the reader fills the padding from the
    // opposite view.
    p.truncWidth = p.yprojSizeUser;
    const int width = paddedWidth(p.yprojSizeUser, p.axisUser);
    p.truncPad = width - p.yprojSizeUser;
    p.axisUser = static_cast<float>(double(p.axisUser) + p.truncPad);
    p.yprojSizeUser = width;
  }

  if (p.fileIncrementGiven)
    p.angleIncrement = static_cast<float>(double(p.fileIncrement) * p.angleIncrementUser);
  else
    p.fileIncrement = 1;
  p.gridSizeXY = p.yprojSizeUser;
  p.gridSizeZ = p.zprojSizeUser;

  if (p.xOrigin == -1) p.xOrigin = 0;
  if (p.yOrigin == -1) p.yOrigin = 0;
  if (p.zOrigin == -1) p.zOrigin = 0;
  clipSize(p.xSize, p.xOrigin, p.gridSizeXY);
  clipSize(p.ySize, p.yOrigin, p.gridSizeXY);
  clipSize(p.zSize, p.zOrigin, p.zprojSizeUser);

  const ViewPlan plan = planViews(p.yprojSizeUser, p.axisUser, p.rfanY, p.angleIncrement, p.full360, p.reverseOrder);
  p.fanAngle = plan.fanAngle;
  p.nang = plan.views;
  p.startAngle = plan.firstAngle;
  p.angleStep = plan.angleStep;
  fillAngleTables(p);
  findDetectorWindow(p);
  if (p.yprojSize > kMaxDetectorWindow)
    failRunf("Error: rfan %f puts the source so close to the field of view that it spans %d detector columns "
             "(at most %d); check rfan",
             double(p.rfanY) * p.yBinSize, p.yprojSize, kMaxDetectorWindow);
  p.evenWidth = p.yprojSizeUser % 2 == 0 ? kOn : 0;
  if (!p.convolution) chooseFilterLength(p);

  allocateArrays(p);
  if (p.convolution)
    p.convKernel = buildRamLakKernel(p, p.convKernel, p.preWeight);
  else
    p.rampFilter = buildRampFilter(p, p.rampFilter, p.preWeight);
  if (!p.full360) p.shortScanWeight = buildShortScanWeights(p);
}
