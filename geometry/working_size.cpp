#include "geometry/working_size.h"

#include <cmath>

namespace geometry_detail {

int yBinFactor(const ReconParams& p) { return p.yBinGiven ? p.yBinSize : 1; }
int zBinFactor(const ReconParams& p) { return p.zBinGiven ? p.zBinSize : 1; }

float binScaled(float value, int bin) { return static_cast<float>(double(value) * (1.0 / bin)); }

int binnedRegion(int value, int bin) { return value == -1 ? -1 : value / bin; }

int paddedWidth(int width, float axisUser) {
  return 1 + static_cast<int>(std::trunc(2.0 * ((width - 1) - double(axisUser))));
}

int workingWidth(const ReconParams& p) {
  const int bin = yBinFactor(p);
  const int width = p.projWidth / bin;
  if (!p.truncated) return width;
  return paddedWidth(width, p.yBinGiven ? binScaled(p.axisUser, bin) : p.axisUser);
}

int workingHeight(const ReconParams& p) { return p.projHeight / zBinFactor(p); }

}  // namespace geometry_detail
