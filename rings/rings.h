// Removal of ring artefacts centred on the rotation axis from output slices,
// estimated in polar coordinates over eight radial scales.
#pragma once

#include <cstdint>

// Module-wide state: one correction at a time per process.
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

  // Working arrays.
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

  int32_t levelRadii;       // radial length of the current level
  int32_t level;            // 0..7
  float thresholdScale;
  float hpLimit[8];
  float edgeLimit[8];
  float angularLimit[8];
  int32_t minCount[8];
  float profileGain[8];
};
extern RingCorrectionState ringState;

// Once per run, before the first slice.
void setupRingCorrection(int n, float volumeMax, float volumeMin);
// Corrects ringState.scratch_image (or any N x N image) in place.
void ringCorrectSlice(int n, int16_t* image, float axisColumnOffset, float axisRowOffset);
// Releases the working arrays of setupRingCorrection.
void releaseRingCorrection();

// Polar resampling around the axis (exposed for tests).
void buildAngleTables(float* tabSin, float* tabCos);
void buildArctanTable();
void polarResample(const int16_t* slice, float* polar, float axisColumnOffset, float axisRowOffset);
double sectorCoordinate(double dy, double dx);
void applyPolarCorrection(int16_t* slice, const float* finalAveDiff, float axisColumnOffset, float axisRowOffset);
