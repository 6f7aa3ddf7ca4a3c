// The column of the rotation axis from a projection series itself, by the
// redundancy of conjugate rays in a fan beam.
//
// In the plane of the source orbit, the ray of view angle theta through the
// detector column at lateral offset t = c - axis has the fan angle
// gamma = atan(t / rfan); the same line, traversed the other way, is the ray
// of view angle theta + pi + 2 gamma at offset -t. Both measure the same line
// integral. For a trial axis every sample is compared with its conjugate
// (linear in angle between views, cubic in column): the trial axis with the
// least normalised squared difference is the estimate. A parallel-beam
// mirror registration (view against view + pi) would ignore the 2 gamma and
// be biased. Away from the central plane the conjugate is no longer the same
// line, but for rows near the central slice it stays close, and each row
// gives an estimate of its own: their spread is the uncertainty, their slope
// the tilt of the axis.
#include <algorithm>
#include <cmath>
#include <limits>

#include "tools/view/view.h"

namespace view {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Keys' cubic convolution (a = -0.5) weights for a sample at fraction f.
void cubicWeights(double f, double w[4]) {
  const double f2 = f * f, f3 = f2 * f;
  w[0] = -0.5 * f3 + f2 - 0.5 * f;
  w[1] = 1.5 * f3 - 2.5 * f2 + 1.0;
  w[2] = -1.5 * f3 + 2.0 * f2 + 0.5 * f;
  w[3] = 0.5 * f3 - 0.5 * f2;
}

class ConjugateCost {
 public:
  explicit ConjugateCost(const AxisSeries& s) : s_(s), full_(s.fullTurn()) {}

  // Normalised mean squared difference of the samples of rows [r0, r1) and
  // their conjugates for the trial axis; NaN when too few pairs exist. With
  // viewStride > 1 only every viewStride-th view is compared (its conjugate
  // still interpolated between neighbouring views).
  double operator()(double axis, int r0, int r1, int viewStride = 1) const {
    const int w = s_.width, n = s_.views, rows = s_.rows();
    const double step = s_.stepDeg * kPi / 180.0 * (s_.reverse ? -1.0 : 1.0);
    double differences = 0, energy = 0;
    int columns = 0;
    for (int c = 0; c < w; ++c) {
      const double mirror = 2.0 * axis - c;
      const int m = static_cast<int>(std::floor(mirror));
      if (m < 1 || m + 2 > w - 1) continue;
      ++columns;
      double cw[4];
      cubicWeights(mirror - m, cw);
      const double shift = (kPi + 2.0 * std::atan((c - axis) / s_.rfan)) / step;  // in views
      for (int i = 0; i < n; i += viewStride) {
        double j = i + shift;
        if (full_) {
          j = std::fmod(j, double(n));
          if (j < 0) j += n;
        } else if (j < 0 || j > n - 1) {
          continue;
        }
        const int j0 = std::min(static_cast<int>(j), n - 1);
        const int j1 = full_ ? (j0 + 1) % n : std::min(j0 + 1, n - 1);
        const double fj = j - j0;
        for (int r = r0; r < r1; ++r) {
          const float* a = &s_.samples[(static_cast<size_t>(j0) * rows + r) * w + m - 1];
          const float* b = &s_.samples[(static_cast<size_t>(j1) * rows + r) * w + m - 1];
          double qa = 0, qb = 0;
          for (int k = 0; k < 4; ++k) qa += cw[k] * a[k], qb += cw[k] * b[k];
          const double q = (1.0 - fj) * qa + fj * qb;
          const double p = s_.samples[(static_cast<size_t>(i) * rows + r) * w + c];
          differences += (p - q) * (p - q);
          energy += p * p + q * q;
        }
      }
    }
    if (columns < std::max(8, w / 8) || !(energy > 0)) return NAN;
    return differences / energy;
  }

 private:
  const AxisSeries& s_;
  bool full_;
};

// The least of cost over [lo, hi] in steps of `step`, refined by a parabola
// through the least sample and its neighbours.
template <typename Cost>
double minimise(const Cost& cost, double lo, double hi, double step) {
  const int n = static_cast<int>(std::floor((hi - lo) / step)) + 1;
  std::vector<double> values(n);
  int best = -1;
  for (int k = 0; k < n; ++k) {
    values[k] = cost(lo + k * step);
    if (!std::isnan(values[k]) && (best < 0 || values[k] < values[best])) best = k;
  }
  if (best < 0) return NAN;
  double at = lo + best * step;
  if (best > 0 && best < n - 1 && !std::isnan(values[best - 1]) && !std::isnan(values[best + 1])) {
    const double curvature = values[best - 1] - 2.0 * values[best] + values[best + 1];
    if (curvature > 0) at += 0.5 * step * (values[best - 1] - values[best + 1]) / curvature;
  }
  return at;
}

}  // namespace

bool AxisSeries::fullTurn() const { return std::fabs(views * stepDeg - 360.0) <= 0.5 * stepDeg; }

AxisEstimate findAxis(const AxisSeries& s, bool perRow) {
  AxisEstimate e;
  const ConjugateCost cost(s);
  const int rows = s.rows(), centre = std::clamp(static_cast<int>(std::lround(s.centralSlice)) - s.firstRow, 0, rows - 1);
  // Coarse: the rows near the central slice, at most about 90 views, every
  // quarter column (the mirror moves by half a column).
  const int stride = std::max(1, s.views / 90);
  const int c0 = std::max(0, centre - 1), c1 = std::min(rows, centre + 2);
  const double coarse = minimise([&](double a) { return cost(a, c0, c1, stride); }, 1.0, s.width - 2.0, 0.25);
  if (std::isnan(coarse)) return e;
  const double joint = minimise([&](double a) { return cost(a, 0, rows); }, coarse - 0.5, coarse + 0.5, 0.02);
  if (std::isnan(joint)) return e;
  e.found = true;
  e.axis = joint;
  e.residual = cost(joint, 0, rows);
  if (!perRow) return e;
  for (int r = 0; r < rows; ++r) {
    const double a = minimise([&](double t) { return cost(t, r, r + 1); }, joint - 0.4, joint + 0.4, 0.02);
    if (!std::isnan(a)) {
      e.rowAxis.push_back(a);
      e.row.push_back(s.firstRow + r);
    }
  }
  const int n = static_cast<int>(e.rowAxis.size());
  if (n < 3) return e;
  // A line through the per-row estimates: its value at the central slice,
  // its slope (the tilt, for a full turn) and the scatter about it.
  double mr = 0, ma = 0;
  for (int k = 0; k < n; ++k) mr += e.row[k], ma += e.rowAxis[k];
  mr /= n;
  ma /= n;
  double srr = 0, sra = 0;
  for (int k = 0; k < n; ++k) srr += (e.row[k] - mr) * (e.row[k] - mr), sra += (e.row[k] - mr) * (e.rowAxis[k] - ma);
  const bool tilt = s.fullTurn();
  const double slope = tilt && srr > 0 ? sra / srr : 0.0;
  double residual = 0;
  for (int k = 0; k < n; ++k) {
    const double d = e.rowAxis[k] - ma - slope * (e.row[k] - mr);
    residual += d * d;
  }
  // Neighbouring rows see nearly the same object, so their estimates are not
  // independent: the scatter itself stands for the uncertainty, not scatter
  // / sqrt(n), and never below the resolution of the search.
  const double sigma = std::max(std::sqrt(residual / (n - (tilt ? 2 : 1))), 0.01);
  if (tilt) {
    e.axis = ma + slope * (s.centralSlice - mr);
    e.tiltKnown = true;
    e.tiltDeg = std::atan(slope) * 180.0 / kPi;
    e.tiltUncertaintyDeg = (srr > 0 ? sigma / std::sqrt(srr) : 0.0) * 180.0 / kPi;
  } else {
    e.axis = ma;
  }
  e.uncertainty = sigma;
  return e;
}

}  // namespace view
