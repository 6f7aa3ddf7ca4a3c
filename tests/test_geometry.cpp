// Geometry setup, the slab plan and the input checks of the geometry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "driver/params.h"
#include "geometry/geometry.h"
#include "support/testutil.h"

namespace {

constexpr double kDegree = M_PI / 180;
using Ints = std::vector<int>;

// width x height projections, axis and central slice in the middle, rfan 4
// widths, a full turn in `step` degree steps, the whole region, one slab.
ReconParams scanRecord(int width, int height, float step = 1.0f) {
  ReconParams p;
  initReconParams(p);
  p.projWidth = width, p.projHeight = height;
  p.axisUser = (width - 1) / 2.0f, p.centralSliceUser = (height - 1) / 2.0f;
  p.rfanY = p.rfanZ = 4.0f * width;
  p.angleIncrement = step;
  p.full360 = kOn;
  p.nChunks = 1;
  return p;
}

// A record after setupGeometry; its arrays go with it.
struct Slab {
  explicit Slab(const ReconParams& record) : p(record) { setupGeometry(p); }
  ~Slab() { freeReconArrays(p); }
  Slab(const Slab&) = delete;
  ReconParams p;
};

// Projects, directly and in double, every voxel the back-projector visits (x
// right of the circle's left edge and left of the whole column holding its
// right edge) in every view; its bilinear samples at floor(u), floor(u) + 1
// (likewise rows, where the ray meets the detector) must lie in the windows,
// which must not be wider than that extent plus the margins.
void expectWindowsHoldSlab(const ReconParams& p) {
  const double r = (p.gridSizeXY - 1) / 2.0, column0 = p.axisUser - p.axis;
  const double row0 = p.centralSliceUser - p.centralSlice, lastRow = p.zprojSizeUser - 1;
  double uLow = 1e30, uHigh = -1e30, vLow = 1e30, vHigh = -1e30;
  for (int view = 0; view < p.nang; ++view)
    for (int y = p.yOrigin; y < p.yOrigin + p.ySize; ++y) {
      const double dy = y - r, chord = std::sqrt(r * r - dy * dy), c = p.cosTable[view], s = p.sinTable[view];
      for (int x = std::max(p.xOrigin, int(std::floor(r - chord)) + 1);
           x < std::min<double>(p.xOrigin + p.xSize, std::floor(r + chord)); ++x) {
        const double d = p.rfanY + (x - r) * c + dy * s;
        const double u = p.axisUser + p.rfanY * (dy * c - (x - r) * s) / d - column0;
        uLow = std::min(uLow, u), uHigh = std::max(uHigh, u);
        ASSERT_TRUE(std::floor(u) >= 0 && std::floor(u) + 1 <= p.yprojSize - 1) << "view " << view << " " << x << "," << y;
        for (int z = p.zOrigin; z < p.zOrigin + p.zSize; ++z) {
          const double row = p.centralSliceUser + (z - p.centralSliceUser) * p.rfanY / d;
          if (!(row >= 0 && row <= lastRow)) continue;
          vLow = std::min(vLow, row), vHigh = std::max(vHigh, row);
          ASSERT_TRUE(std::floor(row) >= row0 && std::min(std::floor(row) + 1, lastRow) <= row0 + p.zprojSize - 1)
              << "view " << view << " " << x << "," << y << "," << z;
        }
      }
    }
  ASSERT_LT(uLow, uHigh) << "no voxel of the slab in the field of view";
  EXPECT_LE(p.yprojSize, uHigh - uLow + 5);
  EXPECT_TRUE(vLow > vHigh || p.zprojSize <= vHigh - vLow + 5);
}

// The slab plan, whose console line is returned.
std::string plan(ReconParams& p) {
  testing::internal::CaptureStdout();
  planSlabs(p);
  return testing::internal::GetCapturedStdout();
}

// Runs with a host configuration of their own: a log file and a memory limit.
class GeometryRun : public ::testing::Test {
 protected:
  void useMemoryLimit(const std::string& limit) {
    setenv("KORVAN_CONFIG", testutil::writeConfig(dir_.path(), logFile_, limit).c_str(), 1);
    std::remove(logFile_.c_str());
  }
  std::vector<std::string> logged() const { return testutil::logTexts(testutil::readFile(logFile_)); }
  testutil::TempDir dir_;
  std::string logFile_ = dir_.file("korvan.log");
};
using SlabPlanDeathTest = GeometryRun;
using GeometryChecksDeathTest = GeometryRun;

}  // namespace

// The views are centred in the scanned span; a user start angle moves the
// table only, not the start the short-scan weights are measured from.
TEST(GeometryViews, CountStartAndStep) {
  const float fan = static_cast<float>(50 / std::tan(10.25 * kDegree));  // 20.5 degrees on 101 columns
  const struct {
    const char* name;
    int width;
    float step;
    std::function<void(ReconParams&)> change;
    int views;
    double start, angleStep;  // degrees; start < 0: not checked
  } rows[] = {
      {"full turn", 16, 1, [](ReconParams&) {}, 360, 0.5, 1},
      {"reversed", 16, 1, [](ReconParams& p) { p.reverseOrder = kOn; }, 360, 359.5, -1},
      {"half turn: pi plus the fan", 101, 1, [&](ReconParams& p) { p.full360 = 0, p.rfanY = p.rfanZ = fan; }, 201, 0.25, 1},
      // A step dividing pi plus the fan exactly (quotient 200.0f) gives 201
      // views; a slightly smaller fan gives 200.
      {"exact quotient", 101, 0x1.00a3d6p+0f, [](ReconParams& p) { p.full360 = 0, p.rfanY = p.rfanZ = 0x1.1480f6p+8f; }, 201, -1, 0x1.00a3d6p+0},
      {"just below", 101, 0x1.00a3d6p+0f, [](ReconParams& p) { p.full360 = 0, p.rfanY = p.rfanZ = 0x1.1481p+8f; }, 200, -1, 0x1.00a3d6p+0},
      {"file increment without -l", 16, 0.5f, [](ReconParams& p) { p.fileIncrement = 2, p.angleIncrementUser = 0.5f; }, 720, 0.25, 0.5},
      {"file increment", 16, 0.5f, [](ReconParams& p) { p.fileIncrement = 2, p.angleIncrementUser = 0.5f, p.fileIncrementGiven = kOn; }, 360, 0.5, 1},
      {"user start angle", 31, 1, [](ReconParams& p) { p.full360 = 0, p.startAngleGiven = kOn, p.startAngleUser = 20; }, 194, -1, 1},
  };
  for (const auto& row : rows) {
    ReconParams p = scanRecord(row.width, 4, row.step);
    row.change(p);
    Slab s(p);
    const double first = p.startAngleGiven ? p.startAngleUser * kDegree : s.p.startAngle;
    EXPECT_EQ(s.p.nang, row.views) << row.name;
    EXPECT_NEAR(s.p.startAngle, row.start < 0 ? s.p.startAngle : row.start * kDegree, 1e-5) << row.name;
    EXPECT_NEAR(s.p.angleStep, row.angleStep * kDegree, 1e-7) << row.name;
    EXPECT_NEAR(s.p.angles[s.p.nang - 1], first + (s.p.nang - 1) * row.angleStep * kDegree, 1e-5) << row.name;
    EXPECT_EQ(s.p.shortScanWeight != nullptr, !p.full360) << row.name;
    EXPECT_EQ(s.p.fileIncrement, p.fileIncrementGiven ? 2 : 1) << row.name;
  }
}

TEST(GeometrySizes, BinningPaddingFilterLengthAndRegion) {
  ReconParams p = scanRecord(1024, 64, 30.0f);
  p.axisUser = 511.0f, p.centralSliceUser = 30.0f, p.elementSize = 0.25f;
  p.xOrigin = 500, p.yOrigin = 501, p.xSize = 20, p.ySize = 21, p.yBinSize = 2, p.zBinSize = 4;
  Slab unbinned(p);  // factors are reset to 1 without -j / -k
  EXPECT_EQ(Ints({unbinned.p.yBinSize, unbinned.p.zBinSize, unbinned.p.yprojSizeUser}), Ints({1, 1, 1024}));
  p.yBinGiven = p.zBinGiven = kOn;
  Slab s(p);
  EXPECT_EQ(Ints({s.p.yprojSizeUser, s.p.gridSizeXY, s.p.zprojSizeUser, s.p.xOrigin, s.p.yOrigin, s.p.xSize, s.p.ySize}),
            Ints({512, 512, 16, 250, 250, 10, 10}));
  EXPECT_EQ(std::vector<float>({s.p.axisUser, s.p.rfanY, s.p.rfanZ, s.p.centralSliceUser, s.p.elementSize}),
            std::vector<float>({255.5f, 2048.0f, 1024.0f, 7.5f, 0.5f}));
  // A width-truncated row is padded on the left to put the axis in its middle.
  p = scanRecord(600, 4, 30.0f);
  p.truncated = kOn, p.axisUser = 100.0f, p.xOrigin = p.yOrigin = 495, p.xSize = p.ySize = 8;
  Slab truncated(p);
  EXPECT_EQ(Ints({truncated.p.truncWidth, truncated.p.yprojSizeUser, truncated.p.truncPad, truncated.p.evenWidth}),
            Ints({600, 999, 399, 0}));
  EXPECT_EQ(truncated.p.axisUser, 499.0f);
  // The filter is the power of two above the longer of the row and the
  // window: one voxel on the axis leaves the row to decide; a wide fan
  // magnifies the grid to more than 128 columns.
  for (auto [width, rfan, expected] : {std::tuple{500, 2000.0f, 512}, {512, 2048.0f, 1024}, {513, 2052.0f, 1024}, {120, 150.0f, 256}}) {
    p = scanRecord(width, 4, 10.0f);
    p.rfanY = p.rfanZ = rfan;
    if (width != 120) p.xOrigin = p.yOrigin = width / 2, p.xSize = p.ySize = 1;
    Slab one(p);
    EXPECT_EQ(Ints({one.p.filterSize, one.p.filterSizeHalf}), Ints({expected, expected / 2})) << width;
    EXPECT_TRUE(one.p.rampFilter && one.p.fftFiltered && !one.p.convKernel) << width;
  }
  p.convolution = kOn;
  Slab convolved(p);
  EXPECT_TRUE(convolved.p.filterSize == 0 && convolved.p.convKernel && convolved.p.convFiltered && !convolved.p.rampFilter);
  // The region defaults to the grid and is clipped to it; an empty one settles the grid only.
  Slab whole(scanRecord(24, 10, 15.0f));
  EXPECT_EQ(Ints({whole.p.xOrigin, whole.p.yOrigin, whole.p.zOrigin, whole.p.xSize, whole.p.ySize, whole.p.zSize, whole.p.zprojSize}),
            Ints({0, 0, 0, 24, 24, 10, 10}));
  p = scanRecord(24, 10, 15.0f);
  p.xOrigin = 5, p.xSize = 100, p.ySize = 7, p.zOrigin = 4, p.zSize = 9;
  Slab clipped(p);
  EXPECT_EQ(Ints({clipped.p.xSize, clipped.p.ySize, clipped.p.zSize}), Ints({19, 7, 6}));
  p.zSize = 0;
  Slab empty(p);
  EXPECT_EQ(Ints({empty.p.gridSizeXY, empty.p.gridSizeZ, empty.p.xSize}), Ints({24, 10, 19}));
  EXPECT_TRUE(!empty.p.angles && !empty.p.volume && !empty.p.preWeight);
}

TEST(GeometryWindow, HoldsEveryProjectedVoxelOfTheSlab) {
  const struct {
    const char* name;
    int width, rows;
    float step, axis, slice, rfan;
    int xOrigin, xSize, ySize, zOrigin, zSize;
    bool halfTurn, reverse, truncated;
  } rows[] = {
      {"odd grid, off-centre axis", 21, 16, 10, 9.3f, 7.5f, 40, -1, -1, -1, 3, 5, false, false, false},
      {"even grid, half turn, corner", 20, 16, 7, 9.5f, 12, 30, 12, 8, 6, 0, 2, true, false, false},
      {"bottom slab, reversed", 18, 16, 9, 8.5f, 3, 26, -1, -1, -1, 14, 2, false, true, false},
      {"width-truncated", 15, 8, 15, 4, 3.5f, 50, -1, -1, -1, -1, -1, false, false, true},
      {"wide fan: source between circle and corners", 20, 16, 10, 9.5f, 7.5f, 11, -1, -1, -1, -1, -1, false, false, false}};
  for (const auto& c : rows) {
    SCOPED_TRACE(c.name);
    ReconParams p = scanRecord(c.width, c.rows, c.step);
    p.axisUser = c.axis, p.centralSliceUser = c.slice, p.rfanY = p.rfanZ = c.rfan;
    p.xOrigin = c.xOrigin, p.xSize = c.xSize, p.ySize = c.ySize, p.zOrigin = c.zOrigin, p.zSize = c.zSize;
    p.full360 = c.halfTurn ? 0 : kOn;
    p.reverseOrder = p.startAngleGiven = c.reverse ? kOn : 0;
    p.startAngleUser = 33;
    p.truncated = c.truncated ? kOn : 0;
    Slab s(p);
    expectWindowsHoldSlab(s.p);
  }
  ReconParams corner = scanRecord(20, 8, 30.0f);
  corner.xSize = corner.ySize = 2;  // wholly outside the field-of-view circle
  Slab s(corner);
  EXPECT_TRUE(s.p.yprojSize >= 1 && s.p.yprojSize <= 5 && s.p.zprojSize >= 1 && s.p.zprojSize <= 8);
}

TEST_F(GeometryRun, SlabPlanSplitsTheRegionUnderTheLimit) {
  useMemoryLimit("268435456");
  ReconParams p = scanRecord(512, 600);
  p.xSize = p.ySize = 512, p.zSize = 600;
  EXPECT_EQ(plan(p), "(node/req. mem/max. mem/# chunks) = (0/600.00 MB/256.00 MB/3)\n");
  EXPECT_EQ(Ints({p.memoryLimit, p.slicesPerChunk, p.nChunks, p.zSize}), Ints({268435456, 256, 3, 600}));
  p = scanRecord(512, 600);
  p.xSize = p.ySize = 512, p.zSize = 100, p.zOrigin = 10, p.zBinGiven = kOn, p.zBinSize = 2;
  plan(p);
  EXPECT_EQ(Ints({p.zSize, p.zOrigin, p.zSizeUser, p.zOriginUser, p.nChunks}), Ints({50, 5, 100, 10, 1}));
  // A height reaching past the grid is planned as setup will clip it: no
  // empty slabs after the last slice.
  p = scanRecord(512, 600);
  p.xSize = p.ySize = 512, p.zSize = 700, p.zOrigin = 100;
  plan(p);
  EXPECT_EQ(Ints({p.zSize, p.nChunks}), Ints({500, 2}));

  // 64 columns binned by 2: a 32 x 32 grid; y given as 20 (10 binned), x and
  // z unset, z from 4 to 40. Seven slices of 32 x 10 fit.
  useMemoryLimit(std::to_string(32 * 10 * 4 * 7 + 100));
  p = scanRecord(64, 40, 20.0f);
  p.yBinGiven = kOn, p.yBinSize = 2, p.ySize = 20, p.zOrigin = 4;
  plan(p);
  EXPECT_EQ(Ints({p.slicesPerChunk, p.zSize, p.nChunks}), Ints({7, 36, 6}));
}

TEST_F(SlabPlanDeathTest, RejectsALimitBelowOneSlice) {
  ReconParams p = scanRecord(512, 100);
  p.xSize = p.ySize = 512, p.zSize = 100;
  for (const std::string limit : {"1000", "0"}) {
    useMemoryLimit(limit);
    EXPECT_EXIT(planSlabs(p), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(logged(), std::vector<std::string>{"Error: memory limit of " + limit + " bytes is smaller than one slice of 1048576 bytes"});
  }
}

// A scan that passes every check (64 x 32, rfan 200), changed by `change`.
#define WITH(change) [] { ReconParams p = scanRecord(64, 32); p.rfanY = p.rfanZ = 200.0f; change; return p; }()

TEST_F(GeometryChecksDeathTest, AcceptsSoundScans) {
  useMemoryLimit("");
  for (const ReconParams& record : {
           WITH(), WITH(p.yBinGiven = p.zBinGiven = kOn; p.yBinSize = p.zBinSize = 2),
           WITH(p.truncated = kOn; p.axisUser = 20.0f; p.rfanY = 300.0f),
           WITH(p.fileIncrementGiven = kOn; p.fileIncrement = 2; p.angleIncrementUser = 0.5f),
           WITH(p.rfanY = 32),                          // wide fan: source in the grid's corners, outside the field of view
           WITH(p.angleIncrement = 400),                // step beyond a full turn: one view
           WITH(p.full360 = 0; p.angleIncrement = 720),  // half turn, step of two turns
           WITH(p.convolution = kOn; p.kernelLength = -1), WITH(p.kernelLength = 0)})  // kernel length unset, unused
    checkGeometry(record);
  EXPECT_FALSE(testutil::fileExists(logFile_));
}

TEST_F(GeometryChecksDeathTest, RejectsUnusableScans) {
  const std::vector<std::pair<ReconParams, std::string>> rows = {
      {WITH(p.yBinGiven = kOn; p.yBinSize = 0), "y bin size must be at least 1 (got 0)"},
      {WITH(p.yBinGiven = kOn; p.yBinSize = 40), "projections of 64 x 32 are too small for bin sizes 40 x 1"},
      {WITH(p.projHeight = 1), "projections of 64 x 1 are too small for bin sizes 1 x 1"},
      {WITH(p.projWidth = 70000), "working projection width of 70000 columns exceeds the limit of 65536"},
      {WITH(p.rfanY = 0), "rfan must be positive (got 0.000000)"},
      {WITH(p.rfanY = std::numeric_limits<float>::infinity()), "rfan must be positive (got inf)"},
      // The field of view's radius is (64 - 1) / 2: on it is inside.
      {WITH(p.rfanY = 31.5f), "rfan 31.500000 puts the source inside the field of view (rfan must exceed 31.500000)"},
      {WITH(p.convolution = kOn; p.kernelLength = 0), "kernel length must be at least 1 (got 0)"},
      {WITH(p.convolution = kOn; p.kernelLength = -5), "kernel length must be at least 1 (got -5)"},
      {WITH(p.angleIncrement = 0), "angle increment must not be zero"},
      {WITH(p.angleIncrement = std::nanf("")), "angle increment must not be zero"},
      {WITH(p.angleIncrement = -1), "angle increment must be positive (got -1.000000)"},
      {WITH(p.angleIncrement = 800), "angle increment 800.000000 degrees leaves no view of the full turn"},
      {WITH(p.fileIncrementGiven = kOn; p.fileIncrement = 0; p.angleIncrementUser = 1), "file increment must be at least 1 (got 0)"},
      {WITH(p.fileIncrementGiven = kOn; p.fileIncrement = 2), "-l needs the angle increment between files given with -t"},
      {WITH(p.fileIncrementGiven = kOn; p.fileIncrement = 400; p.angleIncrementUser = 2),
       "angle increment 800.000000 degrees leaves no view of the full turn"},
      {WITH(p.axisUser = -65), "center of rotation -65.000000 is outside the projection width 64"},
      {WITH(p.axisUser = std::nanf("")), "center of rotation nan is outside the projection width 64"},
      {WITH(p.centralSliceUser = std::numeric_limits<float>::infinity()), "central slice inf is not a finite number"},
      {WITH(p.truncated = kOn; p.axisUser = 32), "width-truncated data needs the center of rotation left of the middle "
                                                 "of the detector row (center 32.000000, width 64)"},
      {WITH(p.yOrigin = -2), "reconstruction region y origin -2 is outside the grid of 64"},
      {WITH(p.yBinGiven = kOn; p.yBinSize = 2; p.xOrigin = 64), "reconstruction region x origin 32 is outside the grid of 32"},
      {WITH(p.xSize = 0), "reconstruction region x size 0 is too small"},
      {WITH(p.zSize = -3), "reconstruction region z size -3 is too small"},
      {WITH(p.zSize = 0), "reconstruction region z size 0 is too small"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(testutil::loggedEnd([&] { checkGeometry(row.first); }), std::vector<std::string>{"Error: " + row.second});
}
