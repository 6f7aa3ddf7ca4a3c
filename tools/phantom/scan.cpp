// The cone-beam scan of korvan-phantom: the view plan the reconstructor
// derives from a projection header, and the rays of the detector pixels.
#include <cmath>

#include "host/host.h"
#include "tools/phantom/phantom.h"

namespace phantom {

ViewPlan plannedViews(const ScanGeometry& g, double stepDeg, bool full360, bool reverse) {
  // The reconstructor's own plan, so that the default series holds exactly
  // the views korvan will ask for.
  return planViews(g.width, static_cast<float>(g.axis), static_cast<float>(g.rfan), static_cast<float>(stepDeg),
                   full360, reverse);
}

double viewAngle(const ViewPlan& plan, int i) { return double(plan.firstAngle) + i * double(plan.angleStep); }

Ray detectorRay(const ScanGeometry& g, double theta, double col, double row) {
  double s = std::sin(theta), k = std::cos(theta);
  double t = col - g.axis, z = row - g.centralSlice;
  Ray ray;
  ray.ox = -g.rfan * k;
  ray.oy = -g.rfan * s;
  ray.oz = 0.0;
  // Towards the point of the axis plane that this pixel sees.
  double dx = -t * s - ray.ox, dy = t * k - ray.oy, dz = z;
  double len = std::sqrt(dx * dx + dy * dy + dz * dz);
  ray.dx = dx / len;
  ray.dy = dy / len;
  ray.dz = dz / len;
  return ray;
}

void projectPoint(const ScanGeometry& g, double theta, double x, double y, double z, double* col, double* row) {
  double s = std::sin(theta), k = std::cos(theta);
  double u = g.rfan + y * s + x * k;  // distance from the source along the central ray
  double t = y * k - x * s;           // lateral offset from the central ray
  *col = g.axis + g.rfan * t / u;
  *row = g.centralSlice + z * g.rfan / u;
}

std::vector<double> projectView(const Phantom& ph, const ScanGeometry& g, double theta) {
  std::vector<double> out(static_cast<size_t>(g.width) * g.height);
  for (int row = 0; row < g.height; ++row)
    for (int col = 0; col < g.width; ++col)
      out[static_cast<size_t>(row) * g.width + col] = lineIntegral(ph, detectorRay(g, theta, col, row));
  return out;
}

}  // namespace phantom
