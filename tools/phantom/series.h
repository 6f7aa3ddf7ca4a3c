// Writing a projection series: file-name patterns, VFF headers and samples,
// the detector model (gains and photon noise) and atomic file writes.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/common/files.h"

namespace phantom {

// A file-name pattern must hold exactly one integer conversion, by korvan's
// own rule (checkFilePattern: %d, %04d, %.3d, ...) and no other conversion
// ("%%" is a literal percent sign). On failure `why` says what is wrong.
bool checkPattern(const std::string& pattern, std::string* why);
// The pattern formatted with a file number (the pattern must be valid).
std::string fileName(const std::string& pattern, int number);

// The header of one projection file, magic to end mark.
struct ProjectionHeader {
  int width = 0, height = 0, bits = 32;
  std::string title;
  double axis = 0, centralSlice = 0, rfan = 0, angleIncrement = 0;
  bool reverse = false;
  bool startGiven = false;
  double startDeg = 0;
};
std::string projectionHeaderText(const ProjectionHeader& h);
// A float volume of nx x ny x nz voxels.
std::string volumeHeaderText(int nx, int ny, int nz, const std::string& title, double centralSlice);

// Big-endian samples: bits 32 stores floats, bits 16 stores
// round(value * scale) as signed 16-bit integers, clamping values outside
// the range and counting them in *clamped.
std::string encodeSamples(const std::vector<double>& values, int bits, double scale, long* clamped);
std::string encodeFloats(const std::vector<float>& values);

// Detector columns with gain errors, as rings mode uses them: each column's
// gain differs from 1 by up to spreadFraction (0.01 = 1 %), drawn from the seed.
std::vector<double> columnGains(int width, uint64_t seed, double spreadFraction = 0.01);
// Turns ideal line integrals p (rows of `width`) into measured ones:
// I = N0 g exp(-p) with the column gains g (none: 1), drawn from a Poisson
// distribution when photons N0 > 0 (a count of zero is taken as half a
// photon), then -ln(I / N0).
void measure(std::vector<double>& integrals, int width, const std::vector<double>& gains, double photons,
             std::mt19937_64& rng);

using tools::writeAtomically;

}  // namespace phantom
