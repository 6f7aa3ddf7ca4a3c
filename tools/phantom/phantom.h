// Analytic phantoms and the cone-beam scan geometry of korvan-phantom.
//
// Lengths are detector pixels; one voxel is one pixel at the rotation axis.
// Points are (x, y, z) relative to the rotation axis and the central plane,
// x and y in the plane of rotation, z along the axis. Densities are
// attenuation per voxel, so a line integral is a dimensionless projection
// value, the quantity korvan reconstructs.
#pragma once

#include <string>
#include <vector>

#include "geometry/geometry.h"

namespace phantom {

// A uniform ellipsoid with semi-axes (ax, ay, az) along its body axes, which
// are the x and y axes turned by phiDeg counter-clockwise about +z (seen
// from +z), and the z axis.
struct Ellipsoid {
  double cx, cy, cz;
  double ax, ay, az;
  double phiDeg;
  double density;
};

// A uniform circular cylinder parallel to the rotation axis, centred on
// (cx, cy, cz), reaching halfHeight above and below its centre.
struct Cylinder {
  double cx, cy, cz;
  double radius;
  double halfHeight;
  double density;
};

// Overlapping solids add their densities (the Shepp-Logan convention).
struct Phantom {
  std::vector<Ellipsoid> ellipsoids;
  std::vector<Cylinder> cylinders;
};

// A ray from (ox, oy, oz) along the unit vector (dx, dy, dz); only the part
// with parameter t >= 0 counts (the source side is empty).
struct Ray {
  double ox, oy, oz;
  double dx, dy, dz;
};

// Exact intersection lengths of the ray (t >= 0) with one solid.
double chordLength(const Ellipsoid& e, const Ray& ray);
double chordLength(const Cylinder& c, const Ray& ray);
// Sum over the solids of density times chord length.
double lineIntegral(const Phantom& ph, const Ray& ray);
// Sum of the densities of the solids containing the point.
double densityAt(const Phantom& ph, double x, double y, double z);

// The phantoms, sized to a detector of width x height pixels.
// 3-D modified Shepp-Logan (Kak & Slaney's ellipsoids with the modified
// contrasts 1, -0.8, -0.2, 0.1), every contrast times `density`; the
// phantom's unit cube maps to +-0.45 width in x and y and +-0.45 height in z.
Phantom sheppLogan(int width, int height, double density);
// One uniform cylinder of radius 0.4 width and height 0.7 height.
Phantom uniformCylinder(int width, int height, double density);
// Small spheres (radius 1.5 pixels, ten times `density`) at the centre and
// spread through the field of view and the cone, for geometry checks.
Phantom beads(int width, int height, double density);

// ---------------------------------------------------------------------------
// Scan geometry, as the reconstructor uses it: the source turns about z at
// rfan from the axis; the detector, at rfan from the source, is the plane
// through the axis perpendicular to the central ray (magnification 1 at
// the axis). The axis projects to column `axis`, the central plane to row
// `centralSlice`.
struct ScanGeometry {
  int width = 0;   // full detector columns
  int height = 0;  // detector rows
  double rfan = 0;
  double axis = 0;
  double centralSlice = 0;
};

// Views at firstAngle + i * angleStep, radians (geometry/geometry.h).
using ::ViewPlan;

// The reconstructor's plan for this geometry and angle increment (degrees).
ViewPlan plannedViews(const ScanGeometry& g, double stepDeg, bool full360, bool reverse);

// Angle of view i in radians.
double viewAngle(const ViewPlan& plan, int i);

// The ray of detector position (col, row) at view angle theta (radians):
// from the source at -rfan (cos theta, sin theta, 0) through the point of
// the axis plane at lateral offset col - axis along (-sin theta, cos theta)
// and height row - centralSlice.
Ray detectorRay(const ScanGeometry& g, double theta, double col, double row);

// Where the point (x, y, z) projects at view angle theta.
void projectPoint(const ScanGeometry& g, double theta, double x, double y, double z, double* col, double* row);

// Line integrals of every pixel centre of the full detector, row after row.
std::vector<double> projectView(const Phantom& ph, const ScanGeometry& g, double theta);

// The phantom on the reconstruction grid of n x n x height voxels, voxel
// (x, y, z) centred at (x - (n-1)/2, y - (n-1)/2, z - centralSlice), x
// fastest. Each value is the mean density of 2 x 2 x 2 sub-samples at
// +-1/4 voxel, so edges show their partial volume.
std::vector<float> sampleTruth(const Phantom& ph, int n, int height, double centralSlice);

}  // namespace phantom
