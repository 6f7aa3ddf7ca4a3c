// korvan-phantom: the geometry it simulates, its exact integrals and the files it writes.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/testutil.h"
#include "tools/phantom/phantom.h"

using namespace testutil;

// A bead lands where the reconstructor looks for it: column axis + rfan T / U, row centralSlice + z rfan / U (U and
// T along and across the central ray), at every view, both ways round. 16 nested spheres: a centroid exact to 0.02.
TEST(PhantomGeometry, BeadCentroidLandsOnPredictedPixel) {
  const phantom::ScanGeometry g{64, 48, 200, 30.25, 22.75};
  const double bx = 9.0, by = -6.0, bz = 5.0;
  phantom::Phantom bead;
  for (int k = 1; k <= 16; ++k) bead.ellipsoids.push_back({bx, by, bz, k * 0.25, k * 0.25, k * 0.25, 0.0, 1.0});
  for (bool reverse : {false, true}) {
    const phantom::ViewPlan plan = phantom::plannedViews(g, 7.0, true, reverse);
    for (int i = 0; i < plan.views; ++i) {
      const double th = phantom::viewAngle(plan, i), u = g.rfan + by * std::sin(th) + bx * std::cos(th);
      const std::vector<double> p = phantom::projectView(bead, g, th);
      double sum = 0, sc = 0, sr = 0;
      for (size_t k = 0; k < p.size(); ++k) sum += p[k], sc += p[k] * double(k % 64), sr += p[k] * double(k / 64);
      EXPECT_NEAR(sc / sum, g.axis + g.rfan * (by * std::cos(th) - bx * std::sin(th)) / u, 0.025) << i << reverse;
      EXPECT_NEAR(sr / sum, g.centralSlice + bz * g.rfan / u, 0.025) << i << " " << reverse;
    }
  }
}

// Only the ray's far side (t >= 0) counts; the turn and the caps are where closed forms are easy to get wrong.
TEST(PhantomIntegrals, ChordsMatchClosedForms) {
  const phantom::Ellipsoid ball{1, 2, 3, 4, 4, 4, 0, 0.25}, turned{0, 0, 0, 2, 5, 3, 90, 1};
  const phantom::Cylinder can{0, 0, 1, 6, 2, 0.5};
  const double s = std::sin(0.3), c = std::cos(0.3);
  const struct { const char* what; const phantom::Ellipsoid* ellipsoid; phantom::Ray ray; double length; } rows[] = {
      {"ray from the ball's centre: the far half", &ball, {1, 2, 3, 0, 0, 1}, 4},
      {"ball on the source side", &ball, {20, 2, 3, 1, 0, 0}, 0},
      {"turned: the long axis along x", &turned, {-50, 0, 0, 1, 0, 0}, 10},
      {"cylinder through both caps", nullptr, {-20 * s, 0, 1 - 20 * c, s, 0, c}, 4 / c},
      {"ray above the cylinder", nullptr, {-50, 0, 3.5, 1, 0, 0}, 0},
  };
  for (const auto& row : rows)
    EXPECT_NEAR(row.ellipsoid ? chordLength(*row.ellipsoid, row.ray) : chordLength(can, row.ray), row.length, 1e-9)
        << row.what;
}

// The files: a header korvan reads, 16-bit samples the floats times the scale (clamped with a warning), Poisson noise
// of 1e5 photons (about 1/sqrt(1e5 exp(-p)) per sample) that the seed repeats.
TEST(PhantomTool, WritesTheSeriesItPromises) {
  TempDir dir;
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), toolBinary("korvan-phantom"));
    args.insert(args.end(), {"--width", "24", "--height", "20", "--rfan", "80", "--views", "2", "--step", "30",
                             "--full360", "--first", "5"});
    return runProcess(args, {}, "", 120, dir.path()).err;
  };
  run({"-o", "f%d.vff"});
  run({"-o", "s%02d.vff", "--bits", "16", "--scale", "20000"});
  EXPECT_NE(run({"-o", "c%d.vff", "--bits", "16", "--scale", "1e6"}).find("outside the 16-bit range and were clamped"),
            std::string::npos);
  for (const std::string n : {"n7", "m7", "n8"}) run({"-o", n + "_%d.vff", "--noise", "1e5", "--seed", n.substr(1)});
  const std::string s06 = readFile(dir.file("s06.vff"));
  EXPECT_EQ(s06.substr(0, s06.find('\f') + 2), "ncaa\nrank=2;\ntype=raster;\nsize=24 20;\nbands=1;\nbits=16;\n"
            "format=slice;\ntitle=korvan-phantom shepp;\ncenter_of_rotation=11.500000;\ncentral_slice=9.500000;\n"
            "rfan=80.000000;\nangle_increment=30.000000;\n\f\n");
  const std::vector<double> f = readVff(dir.file("f6.vff")).values, s = readVff(dir.file("s06.vff")).values,
                            a = readVff(dir.file("n7_6.vff")).values, c = readVff(dir.file("c6.vff")).values;
  double worst = 0, err = 0;
  for (size_t i = 0; i < f.size(); ++i)
    worst = std::max(worst, std::fabs(s.at(i) - std::round(f[i] * 20000))), err += std::pow(a.at(i) - f[i], 2);
  EXPECT_TRUE(worst <= 1 && *std::max_element(s.begin(), s.end()) > 3000 &&
              *std::max_element(c.begin(), c.end()) == 32767) << worst;
  EXPECT_TRUE(a == readVff(dir.file("m7_6.vff")).values && a != readVff(dir.file("n8_6.vff")).values);
  EXPECT_TRUE(std::sqrt(err / a.size()) > 0.001 && std::sqrt(err / a.size()) < 0.01) << err;
}
