// Input checks of the geometry. Setup itself trusts its inputs; every value
// that could make it divide by zero, index outside an array or size an array
// negatively is turned away here, once, with a message naming the value.
#include <cmath>

#include "geometry/geometry.h"
#include "geometry/working_size.h"
#include "host/host.h"

using namespace geometry_detail;

namespace {

// A region along one axis, in binned voxels: the origin must be unset (-1) or
// inside the grid, the size unset or positive (a region of no voxels would
// make a volume of none, with nothing to scale).
void checkRegion(const char* name, int origin, int size, int bin, int grid) {
  const int o = binnedRegion(origin, bin);
  const int s = binnedRegion(size, bin);
  if (o < -1 || o >= grid)
    failRunf("Error: reconstruction region %s origin %d is outside the grid of %d", name, o, grid);
  if (s < -1 || s == 0) failRunf("Error: reconstruction region %s size %d is too small", name, s);
}

}  // namespace

void checkGeometry(const ReconParams& p) {
  if (p.yBinGiven && p.yBinSize < 1) failRunf("Error: y bin size must be at least 1 (got %d)", p.yBinSize);
  if (p.zBinGiven && p.zBinSize < 1) failRunf("Error: z bin size must be at least 1 (got %d)", p.zBinSize);
  const int yBin = yBinFactor(p);
  const int zBin = zBinFactor(p);
  const int binnedWidth = p.projWidth / yBin;
  const int height = workingHeight(p);
  if (binnedWidth < 2 || height < 2)
    failRunf("Error: projections of %d x %d are too small for bin sizes %d x %d", p.projWidth, p.projHeight, yBin,
             zBin);

  if (!(p.rfanY > 0) || !std::isfinite(p.rfanY)) failRunf("Error: rfan must be positive (got %f)", p.rfanY);

  if (p.angleIncrement == 0 || !std::isfinite(p.angleIncrement)) failRun("Error: angle increment must not be zero");
  if (p.fileIncrementGiven) {
    if (p.fileIncrement < 1) failRunf("Error: file increment must be at least 1 (got %d)", p.fileIncrement);
    if (p.angleIncrementUser == 0) failRun("Error: -l needs the angle increment between files given with -t");
  }
  // The step between used views. A step beyond a full turn is no error in
  // itself: the view plan counts the views as for any step (one, for a step
  // up to two turns), and only a plan left without a view is refused.
  const float increment =
      p.fileIncrementGiven ? static_cast<float>(double(p.fileIncrement) * p.angleIncrementUser) : p.angleIncrement;
  if (!(increment > 0 && std::isfinite(increment)))
    failRunf("Error: angle increment must be positive (got %f)", increment);
  if (p.full360 && fullTurnViews(increment * M_PI / 180.0) < 1)
    failRunf("Error: angle increment %f degrees leaves no view of the full turn", increment);

  if (!(p.axisUser >= -double(p.projWidth) && p.axisUser <= 2.0 * p.projWidth))
    failRunf("Error: center of rotation %f is outside the projection width %d", p.axisUser, p.projWidth);
  if (!std::isfinite(p.centralSliceUser))
    failRunf("Error: central slice %f is not a finite number", p.centralSliceUser);
  // As for the axis: a central plane more than a detector height off the
  // detector leaves no row for any slice and no sensible row window.
  if (!(p.centralSliceUser >= -double(p.projHeight) && p.centralSliceUser <= 2.0 * p.projHeight))
    failRunf("Error: central slice %f is outside the projection height %d", p.centralSliceUser, p.projHeight);

  if (binnedWidth > kMaxWorkingWidth)
    failRunf("Error: working projection width of %d columns exceeds the limit of %d", binnedWidth, kMaxWorkingWidth);
  const int width = workingWidth(p);
  if (p.truncated) {
    // The unmeasured part is filled by mirroring the measured row about the
    // axis, which needs the axis on the detector.
    if (p.axisUser < 0)
      failRunf("Error: width-truncated data needs the center of rotation on the detector row (center %f)",
               p.axisUser);
    if (width - binnedWidth < 1)
      failRunf("Error: width-truncated data needs the center of rotation left of the middle of the detector row "
               "(center %f, width %d)",
               p.axisUser, p.projWidth);
    if (width > kMaxWorkingWidth)
      failRunf("Error: working projection width of %d columns exceeds the limit of %d", width, kMaxWorkingWidth);
  }

  // rfan is also the source-to-axis distance in voxels. Only voxels inside
  // the field-of-view circle are reconstructed; a source inside that circle,
  // or on it, would see some of them at or behind itself. Outside it (a wide
  // fan may put the source within the corners of the grid) every visited
  // voxel lies in front of the source; the detector window that setup finds
  // then bounds what the magnification asks for.
  const double radius = (width - 1) * 0.5;
  if (!(binScaled(p.rfanY, yBin) > radius))
    failRunf("Error: rfan %f puts the source inside the field of view (rfan must exceed %f)", p.rfanY,
             radius * yBin);

  // The Ram-Lak kernel needs at least its centre tap; -1 leaves the length
  // to the projection width.
  if (p.convolution && p.kernelLength != -1 && p.kernelLength < 1)
    failRunf("Error: kernel length must be at least 1 (got %d)", p.kernelLength);

  checkRegion("x", p.xOrigin, p.xSize, yBin, width);
  checkRegion("y", p.yOrigin, p.ySize, yBin, width);
  checkRegion("z", p.zOrigin, p.zSize, zBin, height);
}
