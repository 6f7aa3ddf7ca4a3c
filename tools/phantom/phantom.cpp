// Exact ray intersections with ellipsoids and finite cylinders, and the
// phantoms built from them. No voxelisation: a projection value is the sum
// over the solids of density times the length of the ray inside the solid.
#include <algorithm>
#include <cmath>
#include <limits>

#include "tools/phantom/phantom.h"

namespace phantom {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The part [t0, t1] of the line o + t d inside the solid, clipped to t >= 0;
// returns 0 when the ray misses. Lengths are t differences times |d|.
double clippedLength(double t0, double t1, const Ray& ray) {
  t0 = std::max(t0, 0.0);
  if (!(t1 > t0)) return 0.0;
  return (t1 - t0) * std::sqrt(ray.dx * ray.dx + ray.dy * ray.dy + ray.dz * ray.dz);
}

// Solves a t^2 + 2 b t + c = 0 for the interval where the quadratic is
// negative (inside the quadric); false when there is none.
bool insideInterval(double a, double b, double c, double* t0, double* t1) {
  double disc = b * b - a * c;
  if (!(disc > 0.0) || !(a > 0.0)) return false;
  double root = std::sqrt(disc);
  *t0 = (-b - root) / a;
  *t1 = (-b + root) / a;
  return true;
}

// Ellipsoid body frame: translate to the centre, turn by -phi about z, then
// divide by the semi-axes, which makes the ellipsoid the unit sphere.
struct BodyFrame {
  double c, s;
  const Ellipsoid& e;
  explicit BodyFrame(const Ellipsoid& el)
      : c(std::cos(el.phiDeg * kPi / 180.0)), s(std::sin(el.phiDeg * kPi / 180.0)), e(el) {}
  void point(double x, double y, double z, double* q) const {
    double dx = x - e.cx, dy = y - e.cy;
    q[0] = (c * dx + s * dy) / e.ax;
    q[1] = (-s * dx + c * dy) / e.ay;
    q[2] = (z - e.cz) / e.az;
  }
  void direction(double dx, double dy, double dz, double* q) const {
    q[0] = (c * dx + s * dy) / e.ax;
    q[1] = (-s * dx + c * dy) / e.ay;
    q[2] = dz / e.az;
  }
};

bool containsPoint(const Ellipsoid& e, double x, double y, double z) {
  double q[3];
  BodyFrame(e).point(x, y, z, q);
  return q[0] * q[0] + q[1] * q[1] + q[2] * q[2] <= 1.0;
}

bool containsPoint(const Cylinder& c, double x, double y, double z) {
  double dx = x - c.cx, dy = y - c.cy;
  return dx * dx + dy * dy <= c.radius * c.radius && std::fabs(z - c.cz) <= c.halfHeight;
}

Ellipsoid sphere(double x, double y, double z, double r, double density) {
  return Ellipsoid{x, y, z, r, r, r, 0.0, density};
}

// Axis-aligned box that holds the solid, in solid coordinates.
void bounds(const Ellipsoid& e, double* lo, double* hi) {
  double r = std::max(e.ax, e.ay);
  lo[0] = e.cx - r, hi[0] = e.cx + r;
  lo[1] = e.cy - r, hi[1] = e.cy + r;
  lo[2] = e.cz - e.az, hi[2] = e.cz + e.az;
}

void bounds(const Cylinder& c, double* lo, double* hi) {
  lo[0] = c.cx - c.radius, hi[0] = c.cx + c.radius;
  lo[1] = c.cy - c.radius, hi[1] = c.cy + c.radius;
  lo[2] = c.cz - c.halfHeight, hi[2] = c.cz + c.halfHeight;
}

// Adds density / 8 for each of the 2 x 2 x 2 sub-samples of every voxel of
// the solid's bounding box that the solid contains.
template <typename Solid>
void addToGrid(const Solid& solid, int n, int height, double centralSlice, std::vector<double>& acc) {
  double r = (n - 1) * 0.5;
  double lo[3], hi[3];
  bounds(solid, lo, hi);
  double centre[3] = {r, r, centralSlice};
  int limit[3] = {n, n, height};
  int first[3], last[3];
  for (int a = 0; a < 3; ++a) {
    first[a] = std::max(0, static_cast<int>(std::floor(lo[a] + centre[a] - 1.0)));
    last[a] = std::min(limit[a] - 1, static_cast<int>(std::ceil(hi[a] + centre[a] + 1.0)));
  }
  static const double kSub[2] = {-0.25, 0.25};
  for (int z = first[2]; z <= last[2]; ++z)
    for (int y = first[1]; y <= last[1]; ++y)
      for (int x = first[0]; x <= last[0]; ++x) {
        int inside = 0;
        for (double sz : kSub)
          for (double sy : kSub)
            for (double sx : kSub)
              if (containsPoint(solid, x - r + sx, y - r + sy, z - centralSlice + sz)) ++inside;
        if (inside) acc[(static_cast<size_t>(z) * n + y) * n + x] += solid.density * inside / 8.0;
      }
}

}  // namespace

double chordLength(const Ellipsoid& e, const Ray& ray) {
  BodyFrame frame(e);
  double o[3], d[3];
  frame.point(ray.ox, ray.oy, ray.oz, o);
  frame.direction(ray.dx, ray.dy, ray.dz, d);
  double t0, t1;
  if (!insideInterval(d[0] * d[0] + d[1] * d[1] + d[2] * d[2], o[0] * d[0] + o[1] * d[1] + o[2] * d[2],
                      o[0] * o[0] + o[1] * o[1] + o[2] * o[2] - 1.0, &t0, &t1))
    return 0.0;
  return clippedLength(t0, t1, ray);
}

double chordLength(const Cylinder& c, const Ray& ray) {
  double ox = ray.ox - c.cx, oy = ray.oy - c.cy;
  double a = ray.dx * ray.dx + ray.dy * ray.dy;
  double t0 = -std::numeric_limits<double>::infinity();
  double t1 = std::numeric_limits<double>::infinity();
  if (a > 0.0) {
    if (!insideInterval(a, ox * ray.dx + oy * ray.dy, ox * ox + oy * oy - c.radius * c.radius, &t0, &t1))
      return 0.0;
  } else if (!(ox * ox + oy * oy < c.radius * c.radius)) {
    return 0.0;
  }
  double zLo = c.cz - c.halfHeight, zHi = c.cz + c.halfHeight;
  if (ray.dz != 0.0) {
    double ta = (zLo - ray.oz) / ray.dz, tb = (zHi - ray.oz) / ray.dz;
    t0 = std::max(t0, std::min(ta, tb));
    t1 = std::min(t1, std::max(ta, tb));
  } else if (!(ray.oz > zLo && ray.oz < zHi)) {
    return 0.0;
  }
  return clippedLength(t0, t1, ray);
}

double lineIntegral(const Phantom& ph, const Ray& ray) {
  double sum = 0.0;
  for (const auto& e : ph.ellipsoids) sum += e.density * chordLength(e, ray);
  for (const auto& c : ph.cylinders) sum += c.density * chordLength(c, ray);
  return sum;
}

double densityAt(const Phantom& ph, double x, double y, double z) {
  double sum = 0.0;
  for (const auto& e : ph.ellipsoids)
    if (containsPoint(e, x, y, z)) sum += e.density;
  for (const auto& c : ph.cylinders)
    if (containsPoint(c, x, y, z)) sum += c.density;
  return sum;
}

Phantom sheppLogan(int width, int height, double density) {
  // Contrast, semi-axes a b c, centre x y z, turn phi (degrees), all in the
  // phantom's unit cube: the 3-D Shepp-Logan head with the modified
  // contrasts that make its inner structures visible on a linear scale.
  static const double kTable[10][8] = {
      {1.0, 0.6900, 0.9200, 0.8100, 0.0, 0.0, 0.0, 0.0},
      {-0.8, 0.6624, 0.8740, 0.7800, 0.0, -0.0184, 0.0, 0.0},
      {-0.2, 0.1100, 0.3100, 0.2200, 0.22, 0.0, 0.0, -18.0},
      {-0.2, 0.1600, 0.4100, 0.2800, -0.22, 0.0, 0.0, 18.0},
      {0.1, 0.2100, 0.2500, 0.4100, 0.0, 0.35, -0.15, 0.0},
      {0.1, 0.0460, 0.0460, 0.0500, 0.0, 0.1, 0.25, 0.0},
      {0.1, 0.0460, 0.0460, 0.0500, 0.0, -0.1, 0.25, 0.0},
      {0.1, 0.0460, 0.0230, 0.0500, -0.08, -0.605, 0.0, 0.0},
      {0.1, 0.0230, 0.0230, 0.0200, 0.0, -0.606, 0.0, 0.0},
      {0.1, 0.0230, 0.0460, 0.0200, 0.06, -0.605, 0.0, 0.0},
  };
  double sxy = 0.45 * width, sz = 0.45 * height;
  Phantom ph;
  for (const auto& row : kTable)
    ph.ellipsoids.push_back(Ellipsoid{row[4] * sxy, row[5] * sxy, row[6] * sz, row[1] * sxy, row[2] * sxy,
                                      row[3] * sz, row[7], row[0] * density});
  return ph;
}

Phantom uniformCylinder(int width, int height, double density) {
  Phantom ph;
  ph.cylinders.push_back(Cylinder{0.0, 0.0, 0.0, 0.4 * width, 0.35 * height, density});
  return ph;
}

Phantom beads(int width, int height, double density) {
  // Fractions of the width (x, y) and height (z): one bead on the axis in
  // the central plane, the others off the axis and off the plane so that a
  // wrong angle, direction or magnification moves them visibly.
  static const double kPlaces[6][3] = {
      {0.0, 0.0, 0.0},    {0.3, 0.0, 0.0},    {0.0, -0.3, 0.2},
      {-0.2, 0.2, -0.2}, {0.2, 0.25, 0.3},   {-0.3, -0.1, -0.3},
  };
  Phantom ph;
  for (const auto& p : kPlaces)
    ph.ellipsoids.push_back(sphere(p[0] * width, p[1] * width, p[2] * height, 1.5, 10.0 * density));
  return ph;
}

std::vector<float> sampleTruth(const Phantom& ph, int n, int height, double centralSlice) {
  std::vector<double> acc(static_cast<size_t>(n) * n * height, 0.0);
  for (const auto& e : ph.ellipsoids) addToGrid(e, n, height, centralSlice, acc);
  for (const auto& c : ph.cylinders) addToGrid(c, n, height, centralSlice, acc);
  // Cancelling contrasts (shell and brain) leave rounding residues of order
  // 1e-18 where the true value is zero; show them as the zero they are.
  std::vector<float> grid(acc.size());
  for (size_t i = 0; i < acc.size(); ++i) grid[i] = std::fabs(acc[i]) < 1e-12 ? 0.0f : static_cast<float>(acc[i]);
  return grid;
}

}  // namespace phantom
