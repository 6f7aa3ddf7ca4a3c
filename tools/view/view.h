// korvan-view: reading VFF volumes and slices, statistics, preview images,
// NRRD headers, volume comparison and export.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/files.h"

namespace view {

struct HeaderEntry {
  std::string key, value;  // "key=value;" without '=' and ';'
};

// A VFF image as stored: a slice (rank 2, nz = 1) or a volume (rank 3) of
// 8-bit unsigned, 16-bit signed or 32-bit float samples, x fastest, then y,
// then z. `values` holds the samples present, converted to double.
struct Volume {
  std::vector<HeaderEntry> entries;
  long headerBytes = 0;  // offset of the first sample: the form feed and one byte more
  int rank = 0;
  int nx = 0, ny = 0, nz = 1;
  int bits = 0;
  long expected = 0;  // samples the header announces
  long present = 0;   // whole samples the file holds (may exceed expected)
  long extraBytes = 0;  // bytes after the announced samples
  std::vector<double> values;  // min(expected, present) samples

  bool complete() const { return present >= expected; }
  const std::string* find(const std::string& key) const;
  double at(int x, int y, int z) const { return values[(static_cast<size_t>(z) * ny + y) * nx + x]; }
};

// Reads and checks a VFF file; on failure `error` says what is wrong.
bool readVolume(const std::string& path, Volume* volume, std::string* error);

struct Stats {
  long count = 0;  // finite values
  long notFinite = 0;
  double min = 0, max = 0, mean = 0;
};
Stats statistics(const std::vector<double>& values);

// 8-bit grey image, rows top to bottom.
struct GreyImage {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

// Grey level of a value for the window [lo, hi]: round(255 (v - lo) /
// (hi - lo)), clamped to 0..255; with hi <= lo a step at lo.
uint8_t greyLevel(double v, double lo, double hi);

// The axial slice z, then the coronal slice at y = ny/2 and the sagittal
// slice at x = nx/2 side by side (z upwards in the latter two); a rank-2
// image gives the slice alone.
GreyImage previewImage(const Volume& v, double lo, double hi, int axialSlice);
bool writePng(const std::string& path, const GreyImage& image, std::string* error);

// A detached NRRD header that reads the VFF's samples in place.
std::string nrrdHeader(const Volume& v, const std::string& dataFile, std::string* warning);

struct DiffOptions {
  bool fov = false;  // only inside the circle of radius (nx-1)/2 - 1 about the centre
  int zFirst = 0, zEnd = -1;  // slices zFirst .. zEnd-1 (-1: to the last)
  double scaleA = 1.0;
};
struct DiffResult {
  long count = 0;
  double rmse = 0, maxAbs = 0, bias = 0, peak = 0, psnr = 0;
};
// Compares a * scaleA with b over the chosen voxels; PSNR uses the range of
// b over those voxels as its peak.
DiffResult compare(const Volume& a, const Volume& b, const DiffOptions& options);

// Export of the volume read from `source` into the directory `dir` (made
// when missing): one TIFF file per slice, NAME_0000.tif .., of `bits` 8, 16
// or 32 (see korvan-view's help for the conversions), or one attached NRRD
// file NAME.nrrd holding the samples as stored. `report` says what was
// written.
bool exportTiff(const Volume& v, const std::string& source, const std::string& dir, int bits, std::string* report,
                std::string* error);
bool exportNrrd(const Volume& v, const std::string& source, const std::string& dir, std::string* report,
                std::string* error);

// A projection series for the axis finder: the rows firstRow .. lastRow-1
// of every view, in the file order.
struct AxisSeries {
  int width = 0, height = 0, views = 0;
  int firstRow = 0, lastRow = 0;
  double rfan = 0;          // source-to-detector distance in detector columns
  double stepDeg = 0;       // angle between successive views
  double centralSlice = 0;  // row of the orbit plane
  bool reverse = false;     // the views turn the other way
  std::vector<float> samples;  // view after view, row after row, `width` each
  int rows() const { return lastRow - firstRow; }
  bool fullTurn() const;  // views x step covers 360 degrees
};
struct AxisEstimate {
  bool found = false;
  double axis = NAN, uncertainty = NAN;  // column at the central slice
  double residual = NAN;  // normalised squared difference of the conjugates there
  bool tiltKnown = false;                // full turns only
  double tiltDeg = 0, tiltUncertaintyDeg = 0;  // positive: the axis leans to higher columns with higher rows
  std::vector<int> row;                  // the per-row estimates
  std::vector<double> rowAxis;
};
// Estimates the axis from the redundancy of conjugate rays (see axis.cpp);
// without perRow only the joint estimate of all rows and its residual.
AxisEstimate findAxis(const AxisSeries& series, bool perRow = true);

using tools::writeAtomically;

}  // namespace view
