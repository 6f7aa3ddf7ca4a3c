// Geometry setup, the slab plan and the input checks of the geometry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "geometry/geometry.h"
#include "support/testutil.h"

namespace {

// width x height, axis and slice in the middle, rfan 4 widths, a full turn in `step` degrees, one slab; then `...`.
ReconParams scanRecord(int width, int height, float step) {
  ReconParams p;
  initReconParams(p);
  p.projWidth = width, p.projHeight = height, p.axisUser = (width - 1) / 2.0f, p.centralSliceUser = (height - 1) / 2.0f;
  p.rfanY = p.rfanZ = 4.0f * width, p.angleIncrement = step, p.full360 = kOn, p.nChunks = 1;
  return p;
}
#define SCAN(width, height, step, ...) [&] { ReconParams p = scanRecord(width, height, step); __VA_ARGS__; return p; }()

struct Slab {  // a record after setupGeometry, with its arrays
  explicit Slab(const ReconParams& record) : p(record) { setupGeometry(p); }
  ~Slab() { freeReconArrays(p); }
  ReconParams p;
};

// Projects every voxel the back-projector visits (right of the field-of-view circle's left edge, left of the column
// holding its right edge): floor(u) and floor(u) + 1 must lie in the window, itself no wider than needed.
std::string windowFault(const ReconParams& p) {
  double r = (p.gridSizeXY - 1) / 2.0, column0 = p.axisUser - p.axis, low = 1e30, high = -1e30;
  for (int view = 0; view < p.nang; ++view)
    for (int y = p.yOrigin; y < p.yOrigin + p.ySize; ++y) {
      const double dy = y - r, chord = std::sqrt(r * r - dy * dy), c = p.cosTable[view], s = p.sinTable[view];
      for (int x = std::max(p.xOrigin, int(std::floor(r - chord)) + 1);
           x < std::min<double>(p.xOrigin + p.xSize, std::floor(r + chord)); ++x) {
        const double u = p.axisUser + p.rfanY * (dy * c - (x - r) * s) / (p.rfanY + (x - r) * c + dy * s) - column0;
        low = std::min(low, u), high = std::max(high, u);
        if (std::floor(u) < 0 || std::floor(u) + 1 > p.yprojSize - 1) return "view " + std::to_string(view);
      }
    }
  if (p.yprojSize < 1 || p.zprojSize < 1 || p.yprojSize > std::max(high - low, 0.0) + 5) return "window too wide";
  return low > high ? "no voxel" : "";
}

}  // namespace

// Views: count, first and last angle, step and the start the short-scan weights are measured from (degrees, to a
// hundredth), weighted or not, file increment. Centred in the span; a start angle given moves the table only.
TEST(GeometryViews, CountStartAndStep) {
  const float step = 0x1.00a3d6p+0f, exact = 0x1.1480f6p+8f;  // pi plus the fan of rfan `exact` = 200.0f steps
  const std::tuple<const char*, ReconParams, std::vector<double>> rows[] = {
      {"reversed", SCAN(16, 4, 1, p.reverseOrder = kOn), {360, 359.5, 0.5, -1, 359.5, 0, 1}},
      {"exact quotient: 201", SCAN(101, 4, step, p.full360 = 0, p.rfanY = exact), {201, 0, 200.5, 1, 0, 1, 1}},
      {"smaller fan", SCAN(101, 4, step, p.full360 = 0, p.rfanY = 0x1.1481p+8f), {200, 0.5, 200, 1, 0.5, 1, 1}},
      {"file step", SCAN(16, 4, 0.5f, p.fileIncrementGiven = kOn, p.fileIncrement = 2, p.angleIncrementUser = 0.5f),
       {360, 0.5, 359.5, 1, 0.5, 0, 2}},
      {"start angle given", SCAN(31, 4, 1, p.full360 = 0, p.startAngleGiven = kOn, p.startAngleUser = 20),
       {194, 20, 213, 1, 0.4, 1, 1}},
  };
  auto deg = [](float angle) { return std::round(angle / M_PI * 18000) / 100; };
  for (const auto& [name, record, expected] : rows) {
    const ReconParams& p = Slab(record).p;
    EXPECT_EQ(std::vector<double>({double(p.nang), deg(p.angles[0]), deg(p.angles[p.nang - 1]), deg(p.angleStep),
                                   deg(p.startAngle), double(p.shortScanWeight != nullptr), double(p.fileIncrement)}),
              expected) << name;
  }
}

// Width (truncated data padded on the left to centre the axis) / width measured, bins, axis, rfan, slice | grid |
// region (clipped; an empty one settles the grid only) | filter: a power of two above the row and the window.
TEST(GeometrySizes, BinningPaddingFilterLengthAndRegion) {
  const std::tuple<const char*, ReconParams, std::string> rows[] = {
      {"binned", SCAN(1024, 64, 30, p.yBinSize = 2, p.zBinSize = 4, p.yBinGiven = p.zBinGiven = kOn, p.xOrigin = 501,
                      p.yOrigin = 501, p.xSize = p.ySize = 21),
       "512/0 2x4 axis 255.75 rfan 2048/1024 slice 7.875 | 512x16 | 250,250,0 10x10x16 | ramp 1024"},
      {"truncated", SCAN(600, 4, 30, p.truncated = kOn, p.axisUser = 100, p.xOrigin = p.yOrigin = 495, p.xSize = 8),
       "999/600 1x1 axis 499 rfan 2400/2400 slice 1.5 | 999x4 | 495,495,0 8x504x4 | ramp 1024"},
      {"filter: wide fan", SCAN(120, 4, 10, p.rfanY = p.rfanZ = 150),
       "120/0 1x1 axis 59.5 rfan 150/150 slice 1.5 | 120x4 | 0,0,0 120x120x4 | ramp 256"},
      {"region empty", SCAN(24, 10, 15, p.xOrigin = 5, p.xSize = 100, p.ySize = 7, p.zOrigin = 4, p.zSize = 0),
       "24/0 1x1 axis 11.5 rfan 96/96 slice 4.5 | 24x10 | 5,-1,4 19x7x0 | none 0"},
  };
  for (const auto& [name, record, expected] : rows) {
    const ReconParams& p = Slab(record).p;
    char got[200];
    std::snprintf(got, sizeof got, "%d/%d %dx%d axis %g rfan %g/%g slice %g | %dx%d | %d,%d,%d %dx%dx%d | %s %d",
                  p.yprojSizeUser, p.truncWidth, p.yBinSize, p.zBinSize, p.axisUser, p.rfanY, p.rfanZ,
                  p.centralSliceUser, p.gridSizeXY, p.gridSizeZ, p.xOrigin, p.yOrigin, p.zOrigin, p.xSize, p.ySize,
                  p.zSize, p.rampFilter ? "ramp" : "none", p.filterSize);
    EXPECT_EQ(got, expected) << name;
  }
}

// The window holds every column the back-projector reads, with the one-column margin of the interpolation.
TEST(GeometryWindow, HoldsEveryProjectedVoxelOfTheSlab) {
  const std::tuple<const char*, ReconParams, std::string> rows[] = {
      {"even grid, off-centre axis, half turn, corner",
       SCAN(20, 16, 7, p.axisUser = 9.3f, p.rfanY = 30, p.xOrigin = 12, p.xSize = 8, p.ySize = 6, p.full360 = 0), ""},
      {"reversed from a start angle", SCAN(18, 16, 9, p.axisUser = 8.5f, p.rfanY = 26, p.reverseOrder = kOn,
                                           p.startAngleGiven = kOn, p.startAngleUser = 33), ""},
      {"width-truncated", SCAN(15, 8, 15, p.axisUser = 4, p.rfanY = 50, p.truncated = kOn), ""},
      {"wide fan: source between circle and corners", SCAN(20, 16, 10, p.rfanY = 11), ""},
      {"corner wholly outside the field of view", SCAN(20, 8, 30, p.xSize = p.ySize = 2), "no voxel"},
  };
  for (const auto& [name, record, expected] : rows) EXPECT_EQ(windowFault(Slab(record).p), expected) << name;
}

// A memory limit below one slice ends the run; under a larger one, as many slabs as it needs (and the console line
// saying so), over the region as setup will clip it: no empty slabs past the last slice.
TEST(SlabPlanDeathTest, SplitsTheRegionUnderTheLimit) {
  const testutil::TempDir dir;
  ReconParams p = SCAN(512, 600, 1, p.zSize = 700, p.zOrigin = 100);  // slices of 1 MB, 200 of them past the grid
  setenv("KORVAN_CONFIG", testutil::writeConfig(dir.path(), dir.file("log"), "1000").c_str(), 1);
  EXPECT_EXIT(planSlabs(p), ::testing::ExitedWithCode(0), "");
  std::string got;
  for (const std::string& text : testutil::logTexts(testutil::readFile(dir.file("log")))) got += text + "\n";
  setenv("KORVAN_CONFIG", testutil::writeConfig(dir.path(), dir.file("log"), "268435456").c_str(), 1);
  testing::internal::CaptureStdout();
  planSlabs(p);
  got += testing::internal::GetCapturedStdout() + std::to_string(p.slicesPerChunk) + " slices: " +
         std::to_string(p.zOrigin) + "+" + std::to_string(p.zSize) + " of " + std::to_string(p.zSizeUser);
  unsetenv("KORVAN_CONFIG");
  EXPECT_EQ(got, "Error: memory limit of 1000 bytes is smaller than one slice of 1048576 bytes\n"
                 "(node/req. mem/max. mem/# chunks) = (0/500.00 MB/256.00 MB/2)\n256 slices: 100+500 of 500");
}

// A sound scan (64 x 32, rfan 200) goes ahead without a word; each change makes it refused with a message naming it.
#define CHECKED(...) SCAN(64, 32, 1, p.rfanY = 200.0f; __VA_ARGS__)
TEST(GeometryChecksDeathTest, RefusesOnlyUnusableScans) {
  const std::pair<ReconParams, std::string> rows[] = {
      {CHECKED(), ""},
      {CHECKED(p.yBinGiven = kOn, p.yBinSize = 0), "y bin size must be at least 1 (got 0)"},
      {CHECKED(p.projHeight = 1), "projections of 64 x 1 are too small for bin sizes 1 x 1"},
      {CHECKED(p.rfanY = 0), "rfan must be positive (got 0.000000)"},
      {CHECKED(p.rfanY = 31.5), "rfan 31.500000 puts the source inside the field of view (rfan must exceed 31.500000)"},
      {CHECKED(p.convolution = kOn, p.kernelLength = 0), "kernel length must be at least 1 (got 0)"},
      {CHECKED(p.angleIncrement = 0), "angle increment must not be zero"},
      {CHECKED(p.angleIncrement = -1), "angle increment must be positive (got -1.000000)"},
      {CHECKED(p.angleIncrement = 800), "angle increment 800.000000 degrees leaves no view of the full turn"},
      {CHECKED(p.fileIncrementGiven = kOn, p.fileIncrement = 0), "file increment must be at least 1 (got 0)"},
      {CHECKED(p.fileIncrementGiven = kOn), "-l needs the angle increment between files given with -t"},
      {CHECKED(p.centralSliceUser = NAN), "central slice nan is not a finite number"},
      {CHECKED(p.axisUser = 1e30f), "center of rotation 1000000015047466219876688855040.000000 is outside the "
                                    "projection width 64"},
      {CHECKED(p.truncated = kOn, p.axisUser = 32),
       "width-truncated data needs the center of rotation left of the middle of the detector row "
       "(center 32.000000, width 64)"},
      {CHECKED(p.xOrigin = 64), "reconstruction region x origin 64 is outside the grid of 64"},
      {CHECKED(p.xSize = 0), "reconstruction region x size 0 is too small"},
      {CHECKED(p.zSize = -3), "reconstruction region z size -3 is too small"},
  };
  for (const auto& [record, message] : rows)
    EXPECT_EQ(testutil::loggedEnd([&] { checkGeometry(record); std::exit(0); }),
              message.empty() ? std::vector<std::string>{} : std::vector<std::string>{"Error: " + message});
}
