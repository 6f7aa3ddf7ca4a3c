// korvan-phantom: the geometry it simulates, its exact integrals and the
// files it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "support/testutil.h"
#include "tools/phantom/phantom.h"

using namespace testutil;

namespace {

ProcessResult phantomTool(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), toolBinary("korvan-phantom"));
  return runProcess(args, {}, "", 120, dir.path());
}

std::string headerOf(const std::string& path) {
  const std::string bytes = readFile(path);
  return bytes.substr(0, bytes.find('\f') + 2);
}

}  // namespace

// A bead lands where the reconstructor looks for it: column axis + rfan T /
// U, row centralSlice + z rfan / U (U and T the distances along and across
// the central ray), at every view, both ways round. 16 nested spheres give
// a smooth profile whose centroid is exact to 0.02 pixel.
TEST(PhantomGeometry, BeadCentroidLandsOnPredictedPixel) {
  phantom::ScanGeometry g;
  g.width = 64, g.height = 48, g.rfan = 200, g.axis = 30.25, g.centralSlice = 22.75;
  const double bx = 9.0, by = -6.0, bz = 5.0;
  phantom::Phantom bead;
  for (int k = 1; k <= 16; ++k) bead.ellipsoids.push_back({bx, by, bz, k * 0.25, k * 0.25, k * 0.25, 0.0, 1.0});
  for (bool reverse : {false, true}) {
    const phantom::ViewPlan plan = phantom::plannedViews(g, 7.0, true, reverse);
    ASSERT_EQ(plan.views, 51);
    for (int i = 0; i < plan.views; ++i) {
      const double theta = phantom::viewAngle(plan, i);
      const double u = g.rfan + by * std::sin(theta) + bx * std::cos(theta), t = by * std::cos(theta) - bx * std::sin(theta);
      const std::vector<double> p = phantom::projectView(bead, g, theta);
      double sum = 0, sc = 0, sr = 0;
      for (size_t k = 0; k < p.size(); ++k) sum += p[k], sc += p[k] * double(k % g.width), sr += p[k] * double(k / g.width);
      ASSERT_GT(sum, 0.0) << i;
      EXPECT_NEAR(sc / sum, g.axis + g.rfan * t / u, 0.025) << i << " " << reverse;
      EXPECT_NEAR(sr / sum, g.centralSlice + bz * g.rfan / u, 0.025) << i << " " << reverse;
    }
  }
}

TEST(PhantomIntegrals, ChordsMatchClosedForms) {
  const phantom::Ellipsoid ball{1, 2, 3, 4, 4, 4, 0, 0.25}, turned{0, 0, 0, 2, 5, 3, 90, 1};
  const phantom::Cylinder can{0, 0, 1, 6, 2, 0.5};
  const double s = std::sin(0.3), c = std::cos(0.3);
  const struct {
    const char* what;
    const phantom::Ellipsoid* ellipsoid;  // or the cylinder
    phantom::Ray ray;
    double length;
  } rows[] = {
      {"ball through its centre", &ball, {-50, 2, 3, 1, 0, 0}, 8},
      {"ball off centre", &ball, {3.5, -50, 3, 0, 1, 0}, 2 * std::sqrt(16 - 6.25)},
      {"ray from the ball's centre: the far half", &ball, {1, 2, 3, 0, 0, 1}, 4},
      {"ray passing the ball", &ball, {-50, 6.01, 3, 1, 0, 0}, 0},
      {"ball on the source side", &ball, {20, 2, 3, 1, 0, 0}, 0},
      {"turned: the long axis along x", &turned, {-50, 0, 0, 1, 0, 0}, 10},
      {"turned: the short axis along y", &turned, {0, -50, 0, 0, 1, 0}, 4},
      {"cylinder across", nullptr, {-50, 0, 1, 1, 0, 0}, 12},
      {"cylinder through both caps", nullptr, {-20 * s, 0, 1 - 20 * c, s, 0, c}, 4 / c},
      {"cylinder through the side wall above a cap", nullptr, {-50, 3, 0, 1, 0, 0}, 2 * std::sqrt(27.0)},
      {"ray above the cylinder", nullptr, {-50, 0, 3.5, 1, 0, 0}, 0},
  };
  for (const auto& row : rows)
    EXPECT_NEAR(row.ellipsoid ? phantom::chordLength(*row.ellipsoid, row.ray) : phantom::chordLength(can, row.ray),
                row.length, 1e-9)
        << row.what;
  phantom::Phantom both;
  both.ellipsoids.push_back(ball);
  both.cylinders.push_back(phantom::Cylinder{1, 2, 3, 1, 1, -0.1});
  EXPECT_NEAR(phantom::lineIntegral(both, rows[0].ray), 8 * 0.25 - 2 * 0.1, 1e-12);  // overlaps add
  EXPECT_NEAR(phantom::densityAt(both, 1, 2, 3), 0.25 - 0.1, 1e-12);
  EXPECT_EQ(phantom::densityAt(both, 1, 2, 7.1), 0.0);
}

// The files: a header korvan reads, the plan korvan would make, 16-bit
// samples the floats times the scale (clamped with a warning), seeded noise,
// and nothing written for a refused pattern or geometry.
TEST(PhantomTool, WritesTheSeriesItPromises) {
  TempDir dir;
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--width", "24", "--height", "20", "--rfan", "80", "--views", "2", "--step", "30", "--full360"});
    return phantomTool(dir, args);
  };
  // The first view of korvan's plan of twelve, centred in the turn.
  const std::string plan = run({"-o", "f%d.vff", "--first", "5"}).out;
  EXPECT_NEAR(std::stod(plan.substr(plan.find("views 2, start angle ") + 21)), 15.0, 1e-4) << plan;
  ASSERT_EQ(run({"-o", "s%02d.vff", "--first", "5", "--bits", "16", "--scale", "20000"}).exitStatus, 0);
  EXPECT_NE(run({"-o", "c%d.vff", "--bits", "16", "--scale", "1000000"}).err.find("outside the 16-bit range and were clamped"),
            std::string::npos);
  for (const char* seed : {"7", "7", "8"}) run({"-o", std::string("n") + seed + "_%d.vff", "--noise", "100000", "--seed", seed});
  run({"-o", "m7_%d.vff", "--noise", "100000", "--seed", "7"});
  EXPECT_EQ(headerOf(dir.file("s06.vff")),
            "ncaa\nrank=2;\ntype=raster;\nsize=24 20;\nbands=1;\nbits=16;\nformat=slice;\n"
            "title=korvan-phantom shepp;\ncenter_of_rotation=11.500000;\ncentral_slice=9.500000;\n"
            "rfan=80.000000;\nangle_increment=30.000000;\n\f\n");
  EXPECT_TRUE(fileExists(dir.file("s05.vff")) && !fileExists(dir.file("s07.vff")));
  const std::vector<double> f = readVff(dir.file("f6.vff")).values, s = readVff(dir.file("s06.vff")).values;
  const std::vector<double> clamped = readVff(dir.file("c1.vff")).values, a = readVff(dir.file("n7_1.vff")).values;
  ASSERT_EQ(s.size(), f.size());
  double err = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    EXPECT_NEAR(s[i], std::round(f[i] * 20000), 1.0) << i;  // a byte-swapped series fails here
    err += (a[i] - f[i]) * (a[i] - f[i]);
  }
  EXPECT_GT(*std::max_element(s.begin(), s.end()), 3000);
  EXPECT_EQ(*std::max_element(clamped.begin(), clamped.end()), 32767.0);
  EXPECT_TRUE(a == readVff(dir.file("m7_1.vff")).values && a != readVff(dir.file("n8_1.vff")).values);
  // Poisson noise of 1e5 photons: about 1/sqrt(1e5 exp(-p)) per sample.
  EXPECT_TRUE(std::sqrt(err / a.size()) > 0.001 && std::sqrt(err / a.size()) < 0.01) << err;
  const struct {
    std::vector<std::string> args;
    const char* err;
  } refused[] = {
      {{"-o", "p%d", "--rfan", "31.5"},
       "korvan-phantom: --rfan 31.5 must be larger than the radius 31.5 of the field of view\n"},
      {{"-o", "p%03d_%s.vff"},
       "korvan-phantom: output pattern 'p%03d_%s.vff' holds the conversion '%s'; only one integer conversion such as "
       "%d, %04d or %.3d is allowed\n"},
  };
  for (const auto& row : refused) {
    TempDir empty;
    const ProcessResult r = phantomTool(empty, row.args);
    EXPECT_TRUE(r.exitStatus == 2 && std::filesystem::is_empty(empty.path())) << r.exitStatus << row.err;
    EXPECT_EQ(r.err, row.err);
  }
}
