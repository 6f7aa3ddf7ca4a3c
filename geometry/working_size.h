// Quantities that geometry setup derives from the merged record, available
// ahead of setup to the input checks and the slab plan, which must agree with
// setup about the working projection size. Internal to geometry/.
#pragma once

#include "driver/params.h"

namespace geometry_detail {

// Widest working projection row accepted, after binning and padding. It keeps
// the padded width, the detector window and the FFT length well inside int.
constexpr int kMaxWorkingWidth = 65536;

// Binning factors in effect: the given factor, or 1 when none was given.
int yBinFactor(const ReconParams& p);
int zBinFactor(const ReconParams& p);

// value x 1/bin, formed in double and rounded to float: how binning scales
// the centre of rotation, the central slice and the source distances.
float binScaled(float value, int bin);

// A region field after binning; -1 (not given) stays -1.
int binnedRegion(int value, int bin);

// Width of a width-truncated row padded on its low-index side so that the
// rotation axis ends up at the middle of the row.
int paddedWidth(int width, float axisUser);

// The working projection width and height setup will derive from a record
// that has not been set up yet (binning and, for truncated data, padding).
int workingWidth(const ReconParams& p);
int workingHeight(const ReconParams& p);

// Views of a full-turn plan with this step in radians (0 for a step of more
// than about two turns): the one rule for the setup and the checks.
int fullTurnViews(double step);

// Widest detector window accepted. With the source just outside the field
// of view (a wide fan) the nearest voxels are magnified without bound; the
// window stays within four working widths, as the grid's corners allowed
// before wide fans were taken.
constexpr int kMaxDetectorWindow = 4 * kMaxWorkingWidth;

}  // namespace geometry_detail
