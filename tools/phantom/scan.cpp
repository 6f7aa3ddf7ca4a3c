// The cone-beam scan of korvan-phantom: the view plan the reconstructor
// derives from a projection header, and the rays of the detector pixels.
#include <algorithm>
#include <cmath>

#include "host/host.h"
#include "tools/phantom/phantom.h"

namespace phantom {
namespace {
constexpr double kPi = 3.14159265358979323846;
}  // namespace

ViewPlan plannedViews(const ScanGeometry& g, double stepDeg, bool full360, bool reverse) {
  // The same float roundings as the reconstructor's setup, so that the
  // default series holds exactly the views korvan will ask for.
  float axis = static_cast<float>(g.axis);
  float rfan = static_cast<float>(g.rfan);
  float increment = static_cast<float>(stepDeg);
  double reach = std::max(double(g.width - 1) - axis, double(axis));
  float fan = static_cast<float>(2.0 * std::atan(reach / rfan));
  double stepExact = double(increment) * kPi / 180.0;
  float step = static_cast<float>(stepExact);

  ViewPlan plan;
  plan.fanAngle = fan;
  if (full360) {
    plan.span = 2.0 * kPi;
    plan.views = roundNearest(static_cast<float>(2.0 * kPi / stepExact));
  } else {
    plan.span = kPi + fan;
    plan.views = roundUpIndex(static_cast<float>((kPi + double(fan)) / stepExact));
  }
  float start = static_cast<float>((plan.span - double(plan.views - 1) * step) / 2.0);
  plan.angleStep = step;
  if (reverse) {
    start = static_cast<float>(plan.span - start);
    plan.angleStep = -double(step);
  }
  plan.firstAngle = start;
  return plan;
}

double viewAngle(const ViewPlan& plan, int i) { return plan.firstAngle + i * plan.angleStep; }

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
