// The two mappings between a square 16-bit slice and the polar frame centred
// on the rotation axis, and the lookup tables they use. Float values are
// rounded to 32 bits exactly where they are stored into float variables and
// arrays; the arithmetic in between runs in double.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "rings/rings_detail.h"

namespace {

constexpr double kTwoPi = 6.283185307139586;
constexpr double kPi = 3.141592653569793;
constexpr double kInvTwoPi = 0.15915494309290856;

constexpr int kArctanEntries = 1440;
// The float nearest 1/1439: the ratio step between table entries.
constexpr float kArctanRatioStep = 0.00069492706f;

// Angle of a ratio 0..1 (an octant, 0..pi/4) in sixteenths of a turn, from
// the table instead of a library arctangent.
double octantAngle(double ratio) {
  const double position = 1439.0 * ratio;
  const int index = position > 0.0 ? std::min(static_cast<int>(position), kArctanEntries - 1) : 0;
  return ringState.thTab[index];
}

// Bilinear sample of the slice at (x, y). Only points whose truncated
// position lies strictly inside the slice (0 < ix < N - 1) interpolate; all
// others, row 0 and column 0 included, give 0. The comparisons on the floats
// are those on trunc(x) and keep the conversion in range.
float sampleBilinear(const int16_t* slice, int n, float x, float y) {
  if (!(x >= 1.0f && x < n - 1 && y >= 1.0f && y < n - 1)) return 0.0f;
  const int ix = static_cast<int>(x);
  const int iy = static_cast<int>(y);
  const float fx = x - ix;
  const float fy = y - iy;
  const int16_t* upper = slice + static_cast<size_t>(iy) * n + ix;
  const int16_t* lower = upper + n;
  const float top = static_cast<float>(upper[0] + double(fx) * (upper[1] - upper[0]));
  const float bottom = static_cast<float>(lower[0] + double(fx) * (lower[1] - lower[0]));
  return static_cast<float>(top + double(fy) * (double(bottom) - top));
}

// The new pixel after subtracting trunc(v - 0.5): only the low 16 bits of the
// difference are kept, as 16-bit two's-complement arithmetic does (no
// saturation). fmod keeps the conversion to int in range.
int16_t subtractRounded(int16_t pixel, double v) {
  const auto change = static_cast<int32_t>(std::fmod(std::trunc(v - 0.5), 65536.0));
  return static_cast<int16_t>(static_cast<uint16_t>(pixel - change));
}

// Radius range of the grid for the axis at (X, Y) relative to the slice
// centre, the slice covering -c..c on both axes.
void setRadiusRange(float c, float X, float Y) {
  RingCorrectionState& st = ringState;
  double farthest = 0.0;
  for (const double cornerX : {-double(c), double(c)}) {
    for (const double cornerY : {-double(c), double(c)}) {
      const double dx = cornerX - X;
      const double dy = cornerY - Y;
      farthest = std::max(farthest, std::sqrt(dx * dx + dy * dy));
    }
  }
  st.rMax = static_cast<float>(farthest);
  if (-c <= X && X <= c && -c <= Y && Y <= c) {
    st.rMin = 0.0f;
  } else {
    // Axis outside the slice: the nearest edge line bounds the radii seen.
    st.rMin = static_cast<float>(std::min({std::fabs(-double(c) - X), std::fabs(double(c) - X),
                                           std::fabs(-double(c) - Y), std::fabs(double(c) - Y)}));
  }
  st.radialStep = static_cast<float>((double(st.rMax) - st.rMin) / (st.nRadii - 1));
}

}  // namespace

void buildAngleTables(float* tabSin, float* tabCos) {
  const int nA = ringState.nAngles;
  for (int j = 0; j < nA; ++j) {
    const double theta = j * kTwoPi / nA - kPi;
    tabSin[j] = static_cast<float>(std::sin(theta));
    tabCos[j] = static_cast<float>(std::cos(theta));
  }
}

void buildArctanTable() {
  for (int i = 0; i < kArctanEntries; ++i) {
    ringState.thTab[i] = static_cast<float>(std::atan2(i * double(kArctanRatioStep), 1.0) * 16.0 * kInvTwoPi);
  }
}

void polarResample(const int16_t* slice, float* polar, float axisColumnOffset, float axisRowOffset) {
  RingCorrectionState& st = ringState;
  const int n = st.sliceSize;
  const int nA = st.nAngles;
  const int rows = st.nAngleRows;
  const size_t width = st.polarRowLength;
  setRadiusRange(st.gridCentre, axisColumnOffset, axisRowOffset);

  // Rays from the axis, sampled from four steps inside rMin outwards; the
  // position is advanced by addition along each ray.
  const float axisX = static_cast<float>(double(st.gridCentre) + axisColumnOffset);
  const float axisY = static_cast<float>(double(st.gridCentre) + axisRowOffset);
  const float r0 = static_cast<float>(st.rMin - 4.0 * st.radialStep);
  for (int j = 0; j < nA; ++j) {
    float* out = polar + j * width;
    float x = static_cast<float>(axisX + double(r0) * st.tabCos[j]);
    float y = static_cast<float>(axisY + double(r0) * st.tabSin[j]);
    const float stepX = static_cast<float>(double(st.radialStep) * st.tabCos[j]);
    const float stepY = static_cast<float>(double(st.radialStep) * st.tabSin[j]);
    for (size_t i = 0; i < width; ++i) {
      out[i] = sampleBilinear(slice, n, x, y);
      x = static_cast<float>(double(x) + stepX);
      y = static_cast<float>(double(y) + stepY);
    }
  }

  // Every four neighbouring angle rows are averaged into one (the sectors of
  // the correction are built from these), in place: row k + 1 is written
  // after its four sources are read, and later sources lie beyond it.
  if (rows == 0) return;
  const size_t group = nA / rows;
  for (int k = 0; k < rows; ++k) {
    const float* source = polar + group * k * width;
    float* out = polar + (k + 1) * width;
    for (size_t i = 0; i < width; ++i) {
      out[i] = static_cast<float>(
          0.25 * (double(source[i]) + source[width + i] + source[2 * width + i] + source[3 * width + i]));
    }
  }
  std::memcpy(polar, polar + rows * width, width * sizeof(float));
  std::memcpy(polar + (rows + 1) * width, polar + width, width * sizeof(float));
}

double sectorCoordinate(double dy, double dx) {
  // Row s + 1 of the correction table holds sector s, whose polar rows
  // centre near s - 7.5 sixteenths of a turn (angle row 0 is at -pi); the base
  // b (about 8.56) maps that angle to coordinate s + 1 within a sixteenth of a
  // sector. phi runs over (-8, 8], so trunc(b + phi) addresses rows 0..16.
  const double b = 9.0 - 0.35 * (1.0 + double(ringState.nAngleRows) / ringState.nAngles);
  if (dx == 0.0 && dy == 0.0) return b;
  if (dy >= 0.0) {
    if (dx >= 0.0) return dx < dy ? b + 4.0 - octantAngle(dx / dy) : b + octantAngle(dy / dx);
    return -dx < dy ? b + 4.0 + octantAngle(-dx / dy) : b + 8.0 - octantAngle(dy / -dx);
  }
  if (dx <= 0.0) return -dx < -dy ? b - 4.0 - octantAngle(dx / dy) : b - 8.0 + octantAngle(dy / dx);
  return dx < -dy ? b - 4.0 + octantAngle(dx / -dy) : b - octantAngle(-dy / dx);
}

void applyPolarCorrection(int16_t* slice, const float* finalAveDiff, float axisColumnOffset, float axisRowOffset) {
  const RingCorrectionState& st = ringState;
  const int n = st.sliceSize;
  const int nR = st.nRadii;
  const double axisX = double(st.gridCentre) + axisColumnOffset;
  const double axisY = double(st.gridCentre) + axisRowOffset;
  const float invStep = static_cast<float>(1.0 / st.radialStep);

  // The angle changes slowly against the radius, so the sector position is
  // taken once per 2 x 2 block and the radius per pixel.
  for (int y = 0; y < n; y += 2) {
    for (int x = 0; x < n; x += 2) {
      const double s = sectorCoordinate(y - axisY, x - axisX);
      const int ks = std::min(std::max(static_cast<int>(s), 0), 16);
      const double fs = s - ks;
      const float* sectorA = finalAveDiff + static_cast<size_t>(ks) * nR;
      const float* sectorB = sectorA + nR;
      for (int py = y; py < y + 2 && py < n; ++py) {
        for (int px = x; px < x + 2 && px < n; ++px) {
          const double dx = px - axisX;
          const double dy = py - axisY;
          const double rho = (std::sqrt(dx * dx + dy * dy) - st.rMin) * invStep;
          int kr = 0;
          if (rho >= nR - 1) {
            kr = nR - 1;
          } else if (rho > 0.0) {
            kr = static_cast<int>(rho);
          }
          const double fr = rho - kr;
          // Past the last radius both samples are the last one.
          const int kr1 = std::min(kr + 1, nR - 1);
          const double a = sectorA[kr] + fr * (double(sectorA[kr1]) - sectorA[kr]);
          const double b = sectorB[kr] + fr * (double(sectorB[kr1]) - sectorB[kr]);
          int16_t& pixel = slice[static_cast<size_t>(py) * n + px];
          pixel = subtractRounded(pixel, a + fs * (b - a));
        }
      }
    }
  }
}
