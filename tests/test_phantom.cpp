// korvan-phantom: the projection geometry, exact chord lengths, the view
// plan, and the files the tool writes.
#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/testutil.h"
#include "tools/phantom/phantom.h"

using testutil::TempDir;

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string headerOf(const std::string& bytes) { return bytes.substr(0, bytes.find('\f') + 2); }

testutil::ProcessResult phantomTool(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), testutil::toolBinary("korvan-phantom"));
  return testutil::runProcess(args, {}, "", 120, dir.path());
}

std::vector<double> samples(const std::string& file) { return testutil::readVff(file).values; }

int filesIn(const std::string& path) {
  int n = 0;
  DIR* d = opendir(path.c_str());
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

}  // namespace

// A bead must land where the reconstructor looks for it: column
// axis + rfan T / U and row centralSlice + z rfan / U, with U and T the
// voxel's distance along and across the central ray, at every view and in
// both directions of rotation. The bead is 16 nested spheres: its smooth
// profile keeps the centroid of the pixel samples within 0.02 pixel of the
// true centre (a single sphere's sharp rim alone aliases by up to 0.08).
TEST(PhantomGeometry, BeadCentroidLandsOnPredictedPixel) {
  phantom::ScanGeometry g;
  g.width = 64, g.height = 48, g.rfan = 200, g.axis = 30.25, g.centralSlice = 22.75;
  const double bx = 9.0, by = -6.0, bz = 5.0;
  phantom::Phantom bead;
  for (int k = 1; k <= 16; ++k) bead.ellipsoids.push_back({bx, by, bz, k * 0.25, k * 0.25, k * 0.25, 0.0, 1.0});
  for (bool reverse : {false, true}) {
    phantom::ViewPlan plan = phantom::plannedViews(g, 7.0, true, reverse);
    ASSERT_EQ(plan.views, 51);
    for (int i = 0; i < plan.views; ++i) {
      double theta = phantom::viewAngle(plan, i);
      double u = g.rfan + by * std::sin(theta) + bx * std::cos(theta);
      double t = by * std::cos(theta) - bx * std::sin(theta);
      double col = g.axis + g.rfan * t / u, row = g.centralSlice + bz * g.rfan / u;
      std::vector<double> p = phantom::projectView(bead, g, theta);
      double sum = 0, sc = 0, sr = 0;
      for (int r = 0; r < g.height; ++r)
        for (int c = 0; c < g.width; ++c) {
          double v = p[static_cast<size_t>(r) * g.width + c];
          sum += v, sc += v * c, sr += v * r;
        }
      ASSERT_GT(sum, 0.0) << "view " << i;
      EXPECT_NEAR(sc / sum, col, 0.025) << "view " << i << (reverse ? " reversed" : "");
      EXPECT_NEAR(sr / sum, row, 0.025) << "view " << i << (reverse ? " reversed" : "");
    }
  }
}

TEST(PhantomGeometry, RayRunsFromSourceThroughAxisPlanePoint) {
  phantom::ScanGeometry g;
  g.width = 32, g.height = 16, g.rfan = 100, g.axis = 12.5, g.centralSlice = 6.0;
  double theta = 0.7;
  phantom::Ray ray = phantom::detectorRay(g, theta, 20.0, 2.0);
  EXPECT_NEAR(ray.ox, -100 * std::cos(theta), 1e-12);
  EXPECT_NEAR(ray.oy, -100 * std::sin(theta), 1e-12);
  EXPECT_NEAR(ray.oz, 0.0, 1e-12);
  // The point at lateral offset 7.5 along (-sin, cos) and height -4.
  double px = -7.5 * std::sin(theta), py = 7.5 * std::cos(theta), pz = -4.0;
  double t = (px - ray.ox) / ray.dx;
  EXPECT_NEAR(ray.oy + t * ray.dy, py, 1e-9);
  EXPECT_NEAR(ray.oz + t * ray.dz, pz, 1e-9);
  EXPECT_NEAR(ray.dx * ray.dx + ray.dy * ray.dy + ray.dz * ray.dz, 1.0, 1e-12);
}

TEST(PhantomIntegrals, ChordsMatchClosedForms) {
  const double r = 4.0, density = 0.25;
  phantom::Ellipsoid ball{1, 2, 3, r, r, r, 0, density};
  phantom::Ray central{-50, 2, 3, 1, 0, 0};
  EXPECT_NEAR(phantom::chordLength(ball, central), 2 * r, 1e-12);
  phantom::Ray offset{1 + 2.5, -50, 3, 0, 1, 0};
  EXPECT_NEAR(phantom::chordLength(ball, offset), 2 * std::sqrt(r * r - 2.5 * 2.5), 1e-12);
  phantom::Ray fromInside{1, 2, 3, 0, 0, 1};  // starts at the centre: only the far half counts
  EXPECT_NEAR(phantom::chordLength(ball, fromInside), r, 1e-12);
  phantom::Ray miss{-50, 2 + r + 0.01, 3, 1, 0, 0};
  EXPECT_EQ(phantom::chordLength(ball, miss), 0.0);
  phantom::Ray behind{20, 2, 3, 1, 0, 0};  // the solid lies on the source side
  EXPECT_EQ(phantom::chordLength(ball, behind), 0.0);

  // Semi-axes (2, 5, 3) turned by 90 degrees: the long axis lies along x.
  phantom::Ellipsoid turned{0, 0, 0, 2, 5, 3, 90, 1};
  EXPECT_NEAR(phantom::chordLength(turned, phantom::Ray{-50, 0, 0, 1, 0, 0}), 10.0, 1e-9);
  EXPECT_NEAR(phantom::chordLength(turned, phantom::Ray{0, -50, 0, 0, 1, 0}), 4.0, 1e-9);

  phantom::Cylinder can{0, 0, 1, 6, 2, 0.5};
  EXPECT_NEAR(phantom::chordLength(can, phantom::Ray{-50, 0, 1, 1, 0, 0}), 12.0, 1e-12);
  // Steep ray through both caps: the height over the cosine to the axis.
  double s = std::sin(0.3), c = std::cos(0.3);
  EXPECT_NEAR(phantom::chordLength(can, phantom::Ray{-20 * s, 0, 1 - 20 * c, s, 0, c}), 4.0 / c, 1e-9);
  // Shallow ray leaving through the side wall above the bottom cap.
  EXPECT_NEAR(phantom::chordLength(can, phantom::Ray{-50, 3, 0, 1, 0, 0}), 2 * std::sqrt(27.0), 1e-9);
  EXPECT_EQ(phantom::chordLength(can, phantom::Ray{-50, 0, 3.5, 1, 0, 0}), 0.0);

  phantom::Phantom both;
  both.ellipsoids.push_back(ball);
  both.cylinders.push_back(phantom::Cylinder{1, 2, 3, 1, 1, -0.1});
  EXPECT_NEAR(phantom::lineIntegral(both, central), 2 * r * density - 2 * 0.1, 1e-12);
  EXPECT_NEAR(phantom::densityAt(both, 1, 2, 3), density - 0.1, 1e-12);
  EXPECT_EQ(phantom::densityAt(both, 1, 2, 3 + r + 0.1), 0.0);
}

TEST(PhantomTruth, GridHoldsPartialVolumesOfEachVoxel) {
  phantom::Phantom ph;
  ph.ellipsoids.push_back({0, 0, 0, 5, 5, 5, 0, 2.0});
  std::vector<float> grid = phantom::sampleTruth(ph, 21, 15, 7.0);
  ASSERT_EQ(grid.size(), 21u * 21u * 15u);
  auto at = [&](int x, int y, int z) { return grid[(static_cast<size_t>(z) * 21 + y) * 21 + x]; };
  EXPECT_EQ(at(10, 10, 7), 2.0f);      // centre voxel, the axis at (n-1)/2
  EXPECT_EQ(at(0, 0, 0), 0.0f);
  EXPECT_EQ(at(10, 10, 12), 1.0f);     // z = 5 relative: half of the sub-samples inside
  double sum = 0;
  for (float v : grid) {
    sum += v;
    EXPECT_EQ(std::fmod(v * 4.0, 1.0), 0.0);  // multiples of density / 8
  }
  EXPECT_NEAR(sum, 4.0 / 3.0 * kPi * 125 * 2.0, 0.03 * 4.0 / 3.0 * kPi * 125 * 2.0);
}

TEST(PhantomTool, WritesHeaderAndSixteenBitBigEndianSamples) {
  TempDir dir;
  std::vector<std::string> common = {"--width", "24", "--height", "20", "--rfan", "80", "--views", "2",
                                     "--step", "30", "--first", "5"};
  auto args16 = common, args32 = common;
  args16.insert(args16.end(), {"-o", "s%02d.vff", "--bits", "16", "--scale", "20000"});
  args32.insert(args32.end(), {"-o", "f%d.vff"});
  ASSERT_EQ(phantomTool(dir, args16).exitStatus, 0);
  ASSERT_EQ(phantomTool(dir, args32).exitStatus, 0);
  std::string bytes16 = testutil::readFile(dir.file("s06.vff"));
  EXPECT_EQ(headerOf(bytes16),
            "ncaa\nrank=2;\ntype=raster;\nsize=24 20;\nbands=1;\nbits=16;\nformat=slice;\n"
            "title=korvan-phantom shepp;\ncenter_of_rotation=11.500000;\ncentral_slice=9.500000;\n"
            "rfan=80.000000;\nangle_increment=30.000000;\n\f\n");
  std::vector<double> s16 = samples(dir.file("s06.vff")), f32 = samples(dir.file("f6.vff"));
  ASSERT_EQ(s16.size(), 24u * 20u);
  ASSERT_EQ(f32.size(), 24u * 20u);
  double peak = 0;
  for (size_t i = 0; i < s16.size(); ++i) {
    EXPECT_NEAR(s16[i], std::round(f32[i] * 20000), 1.0) << i;
    peak = std::max(peak, s16[i]);
  }
  EXPECT_GT(peak, 3000);  // a byte-swapped or unscaled series would not pass both checks
  EXPECT_FALSE(testutil::fileExists(dir.file("s07.vff")));
  EXPECT_TRUE(testutil::fileExists(dir.file("s05.vff")));

  auto over = common;
  over.insert(over.end(), {"-o", "c%d.vff", "--bits", "16", "--scale", "1000000"});
  testutil::ProcessResult r = phantomTool(dir, over);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.err.find("outside the 16-bit range and were clamped"), std::string::npos) << r.err;
  std::vector<double> clamped = samples(dir.file("c5.vff"));
  EXPECT_EQ(*std::max_element(clamped.begin(), clamped.end()), 32767.0);
}

TEST(PhantomTool, TruncatedDetectorKeepsTheRightColumns) {
  TempDir dir;
  std::vector<std::string> common = {"--width", "32", "--height", "12", "--rfan", "90", "--step", "45",
                                     "--views", "3", "--full360"};
  auto full = common, cut = common;
  full.insert(full.end(), {"-o", "full%d.vff"});
  cut.insert(cut.end(), {"-o", "cut%d.vff", "--truncate-from", "9", "--truth", "truth.vff"});
  ASSERT_EQ(phantomTool(dir, full).exitStatus, 0);
  ASSERT_EQ(phantomTool(dir, cut).exitStatus, 0);
  for (int i = 0; i < 3; ++i) {
    std::string c = testutil::readFile(dir.file("cut" + std::to_string(i) + ".vff"));
    EXPECT_NE(headerOf(c).find("size=23 12;\n"), std::string::npos);
    EXPECT_NE(headerOf(c).find("center_of_rotation=6.500000;\n"), std::string::npos);
    std::vector<double> a = samples(dir.file("full" + std::to_string(i) + ".vff"));
    std::vector<double> b = samples(dir.file("cut" + std::to_string(i) + ".vff"));
    ASSERT_EQ(b.size(), 23u * 12u);
    for (int row = 0; row < 12; ++row)
      for (int col = 9; col < 32; ++col) ASSERT_EQ(b[row * 23 + col - 9], a[row * 32 + col]) << row << " " << col;
  }
  // The truth covers the grid korvan pads the truncated rows back to: 32
  // voxels across, centred on the axis. Inside the skull, half-way to the
  // back of the head (y = -6), lies shell plus brain only.
  std::string truth = testutil::readFile(dir.file("truth.vff"));
  EXPECT_EQ(headerOf(truth).rfind("ncaa\nrank=3;\ntype=raster;\nsize=32 32 12;\nbands=1;\nbits=32;\n", 0), 0u);
  std::vector<double> t = samples(dir.file("truth.vff"));
  ASSERT_EQ(t.size(), 32u * 32u * 12u);
  EXPECT_NEAR(t[(5 * 32 + 9) * 32 + 15], 0.05 * (1.0 - 0.8), 1e-7);  // z = 5, next to the central plane 5.5
  EXPECT_EQ(t[0], 0.0);
}

TEST(PhantomTool, ReportsPlanAndMarksReverseRotation) {
  // Defaults: half a turn plus a fan of 2 atan(31.5 / 256) in 2-degree steps,
  // 98 views centred in the span; reversed, they start at the span's far end.
  const double span = 180.0 + 2.0 * std::atan(31.5 / 256.0) * 180.0 / kPi;
  const double start = (span - 97 * 2.0) / 2.0;
  auto plan = [](const std::string& out, double* startDeg, double* stepDeg) {
    int views = 0;
    size_t at = out.find("views ");
    if (at == std::string::npos ||
        std::sscanf(out.c_str() + at, "views %d, start angle %lf degrees, step %lf degrees", &views, startDeg,
                    stepDeg) != 3)
      return -1;
    return views;
  };
  TempDir dir;
  double startDeg = NAN, stepDeg = NAN;
  testutil::ProcessResult r = phantomTool(dir, {"-o", "q%d.vff"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(plan(r.out, &startDeg, &stepDeg), 98) << r.out;
  EXPECT_NEAR(startDeg, start, 2e-5);
  EXPECT_NEAR(stepDeg, 2.0, 1e-9);
  EXPECT_TRUE(testutil::fileExists(dir.file("q97.vff")));
  EXPECT_FALSE(testutil::fileExists(dir.file("q98.vff")));
  EXPECT_EQ(testutil::readFile(dir.file("q0.vff")).find("reverse_order"), std::string::npos);

  r = phantomTool(dir, {"-o", "p%d.vff", "--reverse", "--views", "1"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(plan(r.out, &startDeg, &stepDeg), 1) << r.out;
  EXPECT_NEAR(startDeg, span - start, 2e-5);
  EXPECT_NEAR(stepDeg, -2.0, 1e-9);
  EXPECT_NE(testutil::readFile(dir.file("p0.vff")).find("reverse_order=yes;\n"), std::string::npos);
}

TEST(PhantomTool, NoiseIsSeededAndRingsAreColumnOffsets) {
  TempDir dir;
  std::vector<std::string> common = {"--width", "16", "--height", "8", "--rfan", "60", "--views", "2"};
  auto run = [&](const std::string& name, std::vector<std::string> extra) {
    auto args = common;
    args.insert(args.end(), {"-o", name + "%d.vff"});
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(phantomTool(dir, args).exitStatus, 0);
    return samples(dir.file(name + "1.vff"));
  };
  std::vector<double> clean = run("clean", {});
  std::vector<double> a = run("a", {"--noise", "100000", "--seed", "7"});
  std::vector<double> b = run("b", {"--noise", "100000", "--seed", "7"});
  std::vector<double> c = run("c", {"--noise", "100000", "--seed", "8"});
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  double err = 0;
  for (size_t i = 0; i < a.size(); ++i) err += (a[i] - clean[i]) * (a[i] - clean[i]);
  // Poisson noise of 1e5 photons: about 1/sqrt(1e5 exp(-p)) per sample.
  EXPECT_GT(std::sqrt(err / a.size()), 0.001);
  EXPECT_LT(std::sqrt(err / a.size()), 0.01);

  std::vector<double> rings = run("r", {"--phantom", "rings"});
  double spread = 0;
  for (int col = 0; col < 16; ++col) {
    double offset = rings[col] - clean[col];
    spread = std::max(spread, std::fabs(offset));
    EXPECT_LE(std::fabs(offset), 0.0101);
    for (int row = 1; row < 8; ++row) EXPECT_NEAR(rings[row * 16 + col] - clean[row * 16 + col], offset, 1e-6);
  }
  EXPECT_GT(spread, 0.001);
}

// A refused pattern or geometry says why and writes nothing.
TEST(PhantomTool, RejectsBadPatternsAndGeometryWritingNothing) {
  const struct {
    std::vector<std::string> args;
    const char* err;
  } rows[] = {
      {{"-o", "p%d", "--rfan", "31.5"},
       "korvan-phantom: --rfan 31.5 must be larger than the radius 31.5 of the field of view\n"},
      {{"-o", "p%03d_%s.vff"},
       "korvan-phantom: output pattern 'p%03d_%s.vff' holds the conversion '%s'; only one integer conversion such as "
       "%d, %04d or %.3d is allowed\n"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    testutil::ProcessResult r = phantomTool(dir, row.args);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(filesIn(dir.path()), 0);
  }
}
