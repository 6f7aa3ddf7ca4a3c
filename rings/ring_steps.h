// The per-level operations of the ring correction, in the order the driver
// runs them. Each works on ringState at the current level, n = levelRadii.
#pragma once

#include <cstddef>

#include "rings/rings_detail.h"

// Angular sectors a ring profile is averaged over.
constexpr int kSectors = 16;
// Row k of a row-major image of `stride` floats per row.
inline float* imageRow(float* image, int k, int stride) { return image + static_cast<size_t>(k) * stride; }

// Start of a correction: slice size and centre, the tables when not yet
// filled, the four image pointers into scratchSpace, level 0 with n = nRadii.
void beginRingCorrection(int n);
// Exchange polarCurrent and polarOther, halve n (integer division), level + 1.
void nextRingLevel();

// firstDiff: each sample minus the mean of its eight radial neighbours.
void radialHighPass();
// SecondFlag: 1 where the smoothed radial derivative of `polarRow` stays
// within edgeLimit, 0 at a radial edge.
void markRadialEdges(const float* polarRow);
// Per sector and radius: sum and count of the high-pass values that pass the
// magnitude, edge and angular-difference tests.
void accumulateSectorSums();
// Sector means where more than minCount samples were accepted, then four
// smoothing sweeps across sectors over the innermost radii.
void normaliseSectorProfiles();
// One correction row per polar row, interpolated between sector profiles.
void expandProfilesInAngle();
// Subtracts the expanded correction from polarCurrent.
void subtractCorrection();
// polarOther = polarCurrent at half the radial resolution, with its inner
// columns and wrap rows.
void halveRadially();
// Adds the sector profiles of this level, at full radial resolution, into
// finalAveDiff (level 0 overwrites it).
void accumulateFinalProfile();
// finalAveDiff row 0 = row 16, row 17 = row 1.
void wrapFinalProfile();
