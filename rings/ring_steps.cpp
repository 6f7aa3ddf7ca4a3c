// The per-level steps of the ring correction, in the order the per-slice
// driver runs them: radial high-pass, edge marks, sector sums and means,
// their expansion in angle and subtraction, and the radial halving to the
// next level.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "rings/ring_steps.h"

void radialHighPass() {
  RingCorrectionState& st = ringState;
  const int n = st.levelRadii;
  for (int k = 1; k <= st.nAngleRows; ++k) {
    const float* x = imageRow(st.polarCurrent, k, n + 4);
    float* out = imageRow(st.firstDiff, k - 1, n);
    for (int c = 4; c <= n - 1; ++c) {
      out[c - 4] = static_cast<float>((8.0 * x[c] - (double(x[c - 1]) + x[c + 1]) - (double(x[c - 2]) + x[c + 2]) -
                                       (double(x[c - 3]) + x[c + 3]) - (double(x[c - 4]) + x[c + 4])) *
                                      0.125);
    }
  }
}

void markRadialEdges(const float* x) {
  RingCorrectionState& st = ringState;
  const int n = st.levelRadii;
  const double limit = st.edgeLimit[st.level];
  std::fill(st.SecondFlag, st.SecondFlag + n, int16_t{1});
  // A smoothed derivative over +-4 samples (weights 1/32, 1/8, 1/24, 1/16).
  for (int c = 4; c <= n - 1; ++c) {
    const double g = (double(x[c + 4]) - x[c - 4]) * 0.03125 + (double(x[c + 1]) - x[c - 1]) * 0.125 +
                     (double(x[c + 3]) - x[c - 3]) * 0.0416666665 + (double(x[c + 2]) - x[c - 2]) * 0.0625;
    if (std::fabs(g) > limit) st.SecondFlag[c - 4] = 0;
  }
}

void accumulateSectorSums() {
  RingCorrectionState& st = ringState;
  const int n = st.levelRadii;
  const int stride = n + 4;
  const int rows = st.rowsPerSector;
  const double hpLimit = st.hpLimit[st.level];
  const double angularLimit = st.angularLimit[st.level];
  std::fill(imageRow(st.sectorProfiles, 1, n), imageRow(st.sectorProfiles, kSectors + 1, n), 0.0f);
  std::fill(st.countDiff, st.countDiff + static_cast<size_t>(kSectors) * n, 0);
  for (int s = 0; s < kSectors; ++s) {
    float* sum = imageRow(st.sectorProfiles, s + 1, n);
    int32_t* count = st.countDiff + static_cast<size_t>(s) * n;
    for (int k = 1 + s * rows; k <= (s + 1) * rows; ++k) {
      const float* row = imageRow(st.polarCurrent, k, stride);
      const float* before = row - stride;
      const float* after = row + stride;
      const float* diff = imageRow(st.firstDiff, k - 1, n);
      markRadialEdges(row);
      for (int i = 0; i <= n - 5; ++i) {
        const double d = diff[i];
        if (std::fabs(d) < hpLimit && st.SecondFlag[i] == 1 &&
            std::fabs(double(before[i + 4]) - after[i + 4]) < angularLimit) {
          sum[i] = static_cast<float>(sum[i] + d);
          ++count[i];
        }
      }
    }
  }
}

void normaliseSectorProfiles() {
  RingCorrectionState& st = ringState;
  const int n = st.levelRadii;
  const int32_t minCount = st.minCount[st.level];
  const double gain = st.profileGain[st.level];
  float* profile = st.sectorProfiles;
  auto at = [&](int s, int i) -> float& { return profile[static_cast<size_t>(s) * n + i]; };
  for (int s = 1; s <= kSectors; ++s) {
    const int32_t* count = st.countDiff + static_cast<size_t>(s - 1) * n;
    for (int i = 0; i < n; ++i) {
      at(s, i) = count[i] > minCount ? static_cast<float>(gain * at(s, i) / count[i]) : 0.0f;
    }
  }
  for (int i = 0; i < n; ++i) {
    at(kSectors + 1, i) = at(1, i);
    at(0, i) = at(kSectors, i);
  }
  // Near the axis a sector holds few pixels per radius and its mean is noisy:
  // the innermost radii are smoothed across sectors up to four times
  // (indices 0..7 four times, 8..15 three, 16..31 twice, 32..63 once).
  for (int span = 64; span >= 8; span /= 2) {
    const int width = std::min(span, n);
    for (int j = 0; j < width; ++j) {
      float smoothed[kSectors];
      for (int s = 1; s <= kSectors; ++s) {
        smoothed[s - 1] = static_cast<float>(0.25 * (double(at(s - 1, j)) + at(s + 1, j)) + 0.5 * at(s, j));
      }
      for (int s = 1; s <= kSectors; ++s) at(s, j) = smoothed[s - 1];
      at(kSectors + 1, j) = at(1, j);
      at(0, j) = at(kSectors, j);
    }
  }
}

void expandProfilesInAngle() {
  RingCorrectionState& st = ringState;
  const int n = st.levelRadii;
  const int rows = st.nAngleRows;
  if (rows == 0) return;
  // t is the position of polar row k between sector centres, in sectors; it
  // runs over (-0.5, 15.5 - 8 / A], so rows before the first centre are
  // extrapolated from sectors 1 and 2 and the last rows reach the wrap row 17.
  const float perSector = static_cast<float>(rows * 0.0625);
  float t = static_cast<float>(-0.5 * (double(perSector) - 1.0) / perSector);
  const float step = static_cast<float>(1.0 / perSector);
  for (int k = 1; k <= rows; ++k) {
    const int whole = static_cast<int>(t);
    const float f = static_cast<float>(double(t) - whole);
    const int ti = std::min(std::max(whole, 0), kSectors - 1);  // against rounding drift only
    const float* lower = imageRow(st.sectorProfiles, ti + 1, n);
    const float* upper = lower + n;
    float* out = imageRow(st.expandedCorrection, k, n);
    for (int i = 0; i < n; ++i) out[i] = static_cast<float>(lower[i] + double(f) * (double(upper[i]) - lower[i]));
    t = static_cast<float>(double(t) + step);
  }
}

void subtractCorrection() {
  RingCorrectionState& st = ringState;
  const int n = st.levelRadii;
  if (n < 1) return;
  long total = 0;
  for (int s = 0; s < kSectors; ++s) total += st.countDiff[static_cast<size_t>(s) * n];
  for (int k = 1; k <= st.nAngleRows; ++k) {
    float* p = imageRow(st.polarCurrent, k, n + 4) + 4;
    const float* e = imageRow(st.expandedCorrection, k, n);
    if (total != 0 || n < 3) {
      p[0] = static_cast<float>(double(p[0]) - e[0]);
    } else {
      // No sample at the innermost radius was accepted: continue the
      // corrected profile linearly from the next two radii instead.
      p[0] = static_cast<float>(2.0 * (double(p[1]) - e[1]) - (double(p[2]) - e[2]));
    }
    for (int i = 1; i < n; ++i) p[i] = static_cast<float>(double(p[i]) - e[i]);
  }
}

void halveRadially() {
  RingCorrectionState& st = ringState;
  const int n = st.levelRadii;
  const int h = n / 2;
  const int stride = h + 4;
  const int rows = st.nAngleRows;
  for (int k = 1; k <= rows; ++k) {
    const float* p = imageRow(st.polarCurrent, k, n + 4) + 4;
    float* q = imageRow(st.polarOther, k, stride) + 4;
    for (int j = 0; j < h; ++j) q[j] = static_cast<float>(0.5 * (double(p[2 * j]) + p[2 * j + 1]));
  }
  // The inner columns continue the radius through the axis: radii 4, 3, 2, 1
  // of the row half a turn away. A level shorter than that has no high-pass
  // values, so the columns it lacks are filled with 0.
  const int half = rows / 2;
  for (int k = 1; k <= 2 * half; ++k) {
    const int opposite = k <= half ? k + half : k - half;
    float* q = imageRow(st.polarOther, k, stride);
    const float* mirror = imageRow(st.polarOther, opposite, stride);
    for (int c = 0; c < 4; ++c) q[c] = 8 - c < stride ? mirror[8 - c] : 0.0f;
  }
  // An odd last row belongs to no sector; cleared so that no level depends on
  // what the block held before.
  if (rows % 2 == 1) {
    float* last = imageRow(st.polarOther, rows, stride);
    std::fill(last, last + 4, 0.0f);
  }
  std::memcpy(imageRow(st.polarOther, 0, stride), imageRow(st.polarOther, rows, stride), stride * sizeof(float));
  std::memcpy(imageRow(st.polarOther, rows + 1, stride), imageRow(st.polarOther, 1, stride), stride * sizeof(float));
}

void accumulateFinalProfile() {
  RingCorrectionState& st = ringState;
  const int n = st.levelRadii;
  const int nR = st.nRadii;
  if (n == 0) return;
  const float* profile = st.sectorProfiles;
  float* total = st.finalAveDiff;
  if (st.level == 0) {
    for (int s = 1; s <= kSectors; ++s) {
      std::memcpy(imageRow(total, s, nR), imageRow(st.sectorProfiles, s, n), static_cast<size_t>(nR) * sizeof(float));
    }
    return;
  }
  // t is the position of full-resolution radius i in coarse samples; the
  // first radii (t < 0) extrapolate from coarse samples 0 and 1.
  const int f = nR / n;
  float t = static_cast<float>((f - 1) * (-1.0 / f) * 0.5);
  const float step = static_cast<float>(1.0 / f);
  for (int i = 0; i < nR; ++i) {
    const int ti = std::min(static_cast<int>(t), n - 1);
    const double fr = double(t) - ti;
    // The outermost radii fall beyond coarse sample n - 1. The profile is held
    // at that sample there: extending it linearly would amplify the noise of
    // the edge. (Its last four samples have no high-pass value and are 0, so
    // either continuation adds 0 in practice.)
    const int next = std::min(ti + 1, n - 1);
    for (int s = 1; s <= kSectors; ++s) {
      const float* coarse = profile + static_cast<size_t>(s) * n;
      float& out = total[static_cast<size_t>(s) * nR + i];
      out = static_cast<float>(out + (coarse[ti] + fr * (double(coarse[next]) - coarse[ti])));
    }
    t = static_cast<float>(double(t) + step);
  }
}

void wrapFinalProfile() {
  RingCorrectionState& st = ringState;
  const size_t nR = st.nRadii;
  std::memcpy(st.finalAveDiff, st.finalAveDiff + kSectors * nR, nR * sizeof(float));
  std::memcpy(st.finalAveDiff + (kSectors + 1) * nR, st.finalAveDiff + nR, nR * sizeof(float));
}
