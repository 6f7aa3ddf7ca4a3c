// Multi-scale ring correction: the module state, its set-up and release and
// the per-slice driver (the per-level steps are in ring_steps.cpp). A ring is estimated
// per angular sector as the mean radial high-pass where the image is locally
// smooth, on eight radial scales; the sum of the scales is subtracted.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "host/host.h"
#include "rings/ring_steps.h"

RingCorrectionState ringState;

namespace {

constexpr int kLevels = 8;

// Acceptance thresholds per level, in hundredths of the volume's value range:
// the high-pass magnitude, the smoothed radial derivative (edges) and the
// difference to the angular neighbours. Finer levels accept only smaller
// values, so wide rings are taken from the coarse levels.
constexpr double kHighPassBase[kLevels] = {8, 6, 4, 2, 1, 0.6, 0.3, 0.1};
constexpr double kEdgeBase[kLevels] = {5, 3, 1.4, 0.8, 0.4, 0.2, 0.1, 0.05};
constexpr double kAngularBase[kLevels] = {15, 8, 5, 3, 2, 1, 0.5, 0.1};
// A profile value needs more than this many accepted samples.
constexpr int32_t kMinCount = 3;

// Zero-filled block of `count` elements; an allocation failure ends the run
// naming the array. (The shared allocators would report their own text.)
template <typename T>
T* allocateArray(size_t count, const char* name) {
  void* block = std::calloc(std::max<size_t>(count, 1), sizeof(T));
  if (block == nullptr) failRunf("Error: unable to allocate memory for %s!", name);
  return static_cast<T*>(block);
}

template <typename T>
void release(T*& array) {
  std::free(array);
  array = nullptr;
}

// Floats in scratchSpace. The four images of (A + 2) x W floats fit into
// (nA + 7) x (W + 1) for every slice side the output stage corrects; below
// a side of 28 the 18 sector rows of the level-0 profiles outgrow their image,
// and the block is enlarged so that every level stays inside it.
size_t scratchSpaceFloats(int nA, int rows, int width, int nR) {
  const size_t image = static_cast<size_t>(rows + 2) * width;
  const size_t standard = static_cast<size_t>(nA + 7) * (width + 1);
  const size_t profiles = 2 * image + static_cast<size_t>(kSectors + 2) * nR;
  const size_t expanded = 3 * image + static_cast<size_t>(rows + 1) * nR;
  return std::max({standard, profiles, expanded});
}

// The estimate of one level: high-pass, sector sums and means, and its share
// of the full-resolution profile.
void estimateLevel() {
  radialHighPass();
  accumulateSectorSums();
  normaliseSectorProfiles();
  accumulateFinalProfile();
}

}  // namespace

void setupRingCorrection(int n, float volumeMax, float volumeMin) {
  RingCorrectionState& st = ringState;
  if (st.scratch_image != nullptr) releaseRingCorrection();

  // The slice holds value * 29000 / M, so s is one hundredth of the value
  // range in slice units. A volume that is zero everywhere has no range: its
  // thresholds are 0 and accept nothing.
  const double m = std::max(std::fabs(volumeMax), std::fabs(volumeMin));
  st.thresholdScale = m > 0.0 ? static_cast<float>((double(volumeMax) - volumeMin) * 290.0 / m) : 0.0f;
  for (int level = 0; level < kLevels; ++level) {
    st.hpLimit[level] = static_cast<float>(kHighPassBase[level] * st.thresholdScale);
    st.edgeLimit[level] = static_cast<float>(kEdgeBase[level] * st.thresholdScale);
    st.angularLimit[level] = static_cast<float>(kAngularBase[level] * st.thresholdScale);
    st.minCount[level] = kMinCount;
    st.profileGain[level] = 1.0f;
  }

  st.scratch_image = allocateArray<int16_t>(static_cast<size_t>(n) * n, "scratch_image");

  st.nRadii = 2 * n;
  st.polarRowLength = 2 * n + 4;
  st.nAngles = (12 * n) / 5;
  st.nAngleRows = st.nAngles / 4;
  st.rowsPerSector = st.nAngleRows / kSectors;

  const size_t nR = st.nRadii;
  const size_t nA = st.nAngles;
  st.SecondFlag = allocateArray<int16_t>(nR, "SecondFlag");
  st.scratchSpace = allocateArray<float>(
      scratchSpaceFloats(st.nAngles, st.nAngleRows, st.polarRowLength, st.nRadii), "scratchSpace");
  st.firstDiff = allocateArray<float>(nA * nR, "firstDiff");
  st.finalAveDiff = allocateArray<float>((kSectors + 3) * nR, "finalAveDiff");
  st.countDiff = allocateArray<int32_t>(kSectors * nR, "countDiff");
  st.tabSin = allocateArray<float>(nA + 1, "tabSin");
  st.tabCos = allocateArray<float>(nA + 1, "tabCos");
  st.thTab = allocateArray<float>(1440, "thTab");
  // The tables belong to these arrays: the first slice fills them.
  st.tablesReady = false;
}

void releaseRingCorrection() {
  RingCorrectionState& st = ringState;
  release(st.scratch_image);
  release(st.SecondFlag);
  release(st.scratchSpace);
  release(st.firstDiff);
  release(st.finalAveDiff);
  release(st.countDiff);
  release(st.tabSin);
  release(st.tabCos);
  release(st.thTab);
  st.polarCurrent = st.polarOther = st.sectorProfiles = st.expandedCorrection = nullptr;
  st.tablesReady = false;
}

void beginRingCorrection(int n) {
  RingCorrectionState& st = ringState;
  st.sliceSize = n;
  st.gridCentre = static_cast<float>((n - 1) * 0.5);
  if (!st.tablesReady) {
    buildAngleTables(st.tabSin, st.tabCos);
    buildArctanTable();
    st.tablesReady = true;
  }
  const size_t image = static_cast<size_t>(st.nAngleRows + 2) * st.polarRowLength;
  st.polarCurrent = st.scratchSpace;
  st.polarOther = st.scratchSpace + image;
  st.sectorProfiles = st.scratchSpace + 2 * image;
  st.expandedCorrection = st.scratchSpace + 3 * image;
  st.levelRadii = st.nRadii;
  st.level = 0;
}

void nextRingLevel() {
  RingCorrectionState& st = ringState;
  std::swap(st.polarCurrent, st.polarOther);
  st.levelRadii /= 2;
  st.level += 1;
}

void ringCorrectSlice(int n, int16_t* image, float axisColumnOffset, float axisRowOffset) {
  RingCorrectionState& st = ringState;
  beginRingCorrection(n);
  polarResample(image, st.polarCurrent, axisColumnOffset, axisRowOffset);
  estimateLevel();
  // Each coarser level sees the image with the finer estimates removed, so
  // a ring is counted once, at the scale that matches its width.
  for (int step = 1; step < kLevels; ++step) {
    expandProfilesInAngle();
    subtractCorrection();
    halveRadially();
    nextRingLevel();
    estimateLevel();
  }
  wrapFinalProfile();
  applyPolarCorrection(image, st.finalAveDiff, axisColumnOffset, axisRowOffset);
}
