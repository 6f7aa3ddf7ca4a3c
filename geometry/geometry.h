// Scan geometry, slab plan, filters, weights and the real FFT.
#pragma once

#include "driver/params.h"

// Rejects, through failRun, merged values that would make the geometry
// meaningless or unsafe to set up: bin sizes below 1 or too large for the
// projection, a non-positive rfan or one that puts the source inside the
// reconstruction grid, a zero, negative or non-finite angle increment, a bad
// file increment, a non-finite or far-off centre of rotation or central
// slice, truncated data whose axis is off the detector or right of the
// middle, and a region that lies outside the grid. The driver calls it once,
// after the header merge and the required-value checks, before planSlabs.
void checkGeometry(const ReconParams& p);

// The views of a scan with their float roundings, the one rule for the
// reconstruction and for the series simulated for it: over a full turn
// round(360 / increment) views, otherwise the least that cover half a turn
// plus the fan angle, centred in that span; reversed, the views start at the
// span's far end and step backwards. The row is `width` columns wide with the
// rotation axis at column `axis`, the source `rfan` columns from the
// detector; `increment` is in degrees.
struct ViewPlan {
  int views = 0;
  float fanAngle = 0;    // full fan angle of a detector row, radians
  double span = 0;       // 2 pi, or pi plus the fan angle
  float firstAngle = 0;  // angle of the first view, radians
  float angleStep = 0;   // radians, negative for reverse rotation
};
ViewPlan planViews(int width, float axis, float rfan, float increment, bool full360, bool reverse);

// Derives the views, angle tables, detector windows, filter length and every
// working array of the current slab from the merged user fields, and fills
// the filter or kernel and the weights.
void setupGeometry(ReconParams& p);

// The slab plan, run by the driver once before the first setup: copies the
// z region to zSizeUser/zOriginUser, applies vertical binning to it, takes
// memoryLimit from the host configuration, computes slicesPerChunk and
// nChunks and prints the plan line. When a region size is not given the plan
// is made for the region setup will derive, and zSize is replaced by that
// region's (binned) height so that the slabs can split it.
void planSlabs(ReconParams& p);

// In-place real transform of 2n samples. sign = +1: packed half spectrum
// (F_0, F_n, Re F_1, Im F_1, ...); otherwise the inverse, times n.
void fftReal(float* data, int n, int sign);

// The real transform with its butterflies in their plain loop order, one at a
// time: the same floats as fftReal bit for bit (the reference pipeline's).
void fftRealReference(float* data, int n, int sign);
