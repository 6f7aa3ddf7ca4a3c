// The ring correction's working state and steps below the output stage's
// one entry (rings.h): the polar frame, the per-slice correction of a 16-bit
// image and the conversions of a float slice to that image and back. Used by
// rings/ itself and by the tests that pin each piece.
#pragma once

#include <cstdint>

#include "rings/rings.h"

// Module-wide state: one correction at a time per process.
//
// Polar grid: radii in slice pixels, angles in radians (x along increasing
// column, y along increasing row). Polar images are row-major float rows of
// polarRowLength samples at level 0; columns 0..3 lie inside rMin, column 4 + i
// is radius rMin + i * radialStep. Averaged angle rows are 1..nAngleRows; rows
// 0 and nAngleRows + 1 are wrap copies of the last and first row.
struct RingCorrectionState {
  // Polar grid.
  int32_t sliceSize;        // N, side of the square slice, even
  float gridCentre;         // (N - 1) * 0.5
  int32_t nRadii;           // 2N
  int32_t nAngles;          // (12 N) / 5
  int32_t nAngleRows;       // nAngles / 4, rows kept after angular averaging
  int32_t rowsPerSector;    // nAngleRows / 16
  int32_t polarRowLength;   // nRadii + 4
  float rMin, rMax, radialStep;
  float* tabSin;            // nAngles + 1
  float* tabCos;
  float* thTab;             // 1440-entry octant arctangent table
  bool tablesReady;

  // Working arrays (element counts; N slice side, nR radii, nA angles).
  int16_t* scratch_image;   // N x N
  int16_t* SecondFlag;      // nRadii
  float* scratchSpace;      // (nAngles + 7) x (polarRowLength + 1)
  float* firstDiff;         // nAngles x nRadii
  float* finalAveDiff;      // 19 x nRadii
  int32_t* countDiff;       // 16 x nRadii
  float* polarCurrent;      // four images inside scratchSpace
  float* polarOther;
  float* sectorProfiles;
  float* expandedCorrection;

  // Current level and its acceptance thresholds, in slice units (the output
  // stage scales values by 29000 / max |value|).
  int32_t levelRadii;       // radial length of the current level
  int32_t level;            // 0..7
  float thresholdScale;     // one hundredth of the volume's value range
  float hpLimit[8];
  float edgeLimit[8];
  float angularLimit[8];
  int32_t minCount[8];
  float profileGain[8];
};
extern RingCorrectionState ringState;

// Once per run, before the first slice: thresholds, grid sizes and every
// working array. An allocation failure ends the run with "Error: unable to
// allocate memory for <array>!". The angle and arctangent tables live in the
// arrays allocated here and are filled by the first ringCorrectSlice after
// each setup; a setup after releaseRingCorrection (or over a live one, which
// it releases first) therefore rebuilds them for its own nAngles.
void setupRingCorrection(int n, float volumeMax, float volumeMin);
// Corrects ringState.scratch_image (or any N x N image) in place; n is the
// side given to setupRingCorrection. The offsets place the axis at column
// gridCentre + axisColumnOffset, row gridCentre + axisRowOffset.
void ringCorrectSlice(int n, int16_t* image, float axisColumnOffset, float axisRowOffset);
// Releases the working arrays of setupRingCorrection, in allocation order,
// and clears every pointer into them.
void releaseRingCorrection();

// Polar resampling around the axis.
void buildAngleTables(float* tabSin, float* tabCos);
void buildArctanTable();
void polarResample(const int16_t* slice, float* polar, float axisColumnOffset, float axisRowOffset);
double sectorCoordinate(double dy, double dx);
void applyPolarCorrection(int16_t* slice, const float* finalAveDiff, float axisColumnOffset, float axisRowOffset);

// The N x N 16-bit image of a width x height float slice, scaled by 29000 / m
// and padded with zeros, and back.
void toScratchImage(int16_t* image, int n, const float* slice, int width, int height, float m);
void fromScratchImage(const int16_t* image, int n, float* slice, int width, int height, float m);
