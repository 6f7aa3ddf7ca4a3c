// The voxel back-projector on hand-made records, and the per-slab loops on
// tiny projection series written by the tests: axis offsets, filters,
// suspension dumps, progress reports and the buffer-position check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backproject/backproject_detail.h"
#include "geometry/geometry.h"
#include "host/host.h"
#include "support/testutil.h"

using testutil::TempDir;

namespace {

// A back-projector record over an n x n grid whose slab spans the whole grid,
// one view per angle, and a filtered projection of `columns` x `rows`.
struct BackProjection {
  ReconParams p;
  std::vector<float> volume, sines, cosines, filtered;

  BackProjection(int n, int zSize, int columns, int rows, const std::vector<double>& angles) {
    initReconParams(p);
    p.gridSizeXY = n;
    p.xOrigin = p.yOrigin = p.zOrigin = 0;
    p.xSize = p.ySize = n;
    p.zSize = zSize;
    p.yprojSize = columns;
    p.zprojSize = rows;
    p.rfanY = 100.0f;
    p.axis = columns / 2.0f;
    p.centralSlice = (rows - 1) / 2.0f;
    p.centralSliceUser = (zSize - 1) / 2.0f;
    for (double a : angles) {
      sines.push_back(static_cast<float>(std::sin(a)));
      cosines.push_back(static_cast<float>(std::cos(a)));
    }
    filtered.assign(static_cast<size_t>(columns) * rows, 1.0f);
    volume.assign(static_cast<size_t>(n) * n * zSize, 0.0f);
    p.volume = volume.data();
    p.sinTable = sines.data();
    p.cosTable = cosines.data();
  }
  void run() {
    for (size_t v = 0; v < sines.size(); ++v) backProjectView(filtered.data(), p, static_cast<int>(v));
  }
  float& voxel(int x, int y, int z) {
    return volume[(static_cast<size_t>(y - p.yOrigin) * p.xSize + (x - p.xOrigin)) * p.zSize + (z - p.zOrigin)];
  }
  float& sample(int col, int row) { return filtered[static_cast<size_t>(col) * p.zprojSize + row]; }
};

// Exact value of a bilinearly interpolated, distance-weighted ray sample.
double directSample(BackProjection& b, int view, int x, int y, int z) {
  const double R = (b.p.gridSizeXY - 1) / 2.0, D = b.p.rfanY;
  const double s = b.sines[view], k = b.cosines[view];
  const double U = D + (y - R) * s + (x - R) * k;
  const double T = (y - R) * k - (x - R) * s;
  const double u = b.p.axis + D * T / U;
  const double v = (z - b.p.centralSliceUser) * D / U + b.p.centralSlice;
  const int iu = static_cast<int>(std::floor(u)), iv = static_cast<int>(std::floor(v));
  const double fu = u - iu, fv = v - iv;
  const double value = (1 - fu) * (1 - fv) * b.sample(iu, iv) + (1 - fu) * fv * b.sample(iu, iv + 1) +
                       fu * (1 - fv) * b.sample(iu + 1, iv) + fu * fv * b.sample(iu + 1, iv + 1);
  return value * (D / U) * (D / U);
}

}  // namespace

TEST(BackProjector, AxisVoxelSamplesAxisColumnWithUnitWeight) {
  BackProjection b(9, 10, 14, 8, {0.0, 0.7, 2.0, 4.0});
  b.p.axis = 6.25f;
  b.p.centralSlice = 3.5f;
  b.p.centralSliceUser = 5.0f;
  for (int col = 0; col < 14; ++col)
    for (int row = 0; row < 8; ++row) b.sample(col, row) = 1000.0f * col + row;  // bilinear is exact on it
  b.run();
  // Rows 0..7 are met by z = 2..7 only: v = z - zc + vc must stay inside them.
  // U and T are stepped along x, so they reach D and 0 only up to rounding.
  for (int z = 0; z < 10; ++z) {
    if (z >= 2 && z < 8)
      EXPECT_NEAR(b.voxel(4, 4, z), 4 * (6250.0 + z - 1.5), 0.01) << "z = " << z;
    else
      EXPECT_EQ(b.voxel(4, 4, z), 0.0f) << "z = " << z;
  }
}

TEST(BackProjector, FieldOfViewCircleItselfIsLeftOut) {
  BackProjection b(9, 3, 24, 8, {0.3, 1.9});
  b.p.axis = 12.0f;
  b.run();
  for (int z = 0; z < 3; ++z) {
    EXPECT_EQ(b.voxel(0, 4, z), 0.0f);
    EXPECT_EQ(b.voxel(8, 4, z), 0.0f);
    EXPECT_GT(b.voxel(1, 4, z), 0.0f);
    EXPECT_GT(b.voxel(7, 4, z), 0.0f);
    for (int x = 0; x < 9; ++x) EXPECT_EQ(b.voxel(x, 0, z), 0.0f) << "x = " << x;  // chord of length 0
  }
}

TEST(BackProjector, SlabOutsideHeldRowsIsUnchanged) {
  BackProjection b(9, 4, 24, 8, {0.3, 1.9});
  b.p.axis = 12.0f;
  b.p.zOrigin = 20;  // the rows reach z of about 8 at most
  std::fill(b.volume.begin(), b.volume.end(), 7.0f);
  b.run();
  for (float v : b.volume) EXPECT_EQ(v, 7.0f);
}

TEST(BackProjector, TruncatedDataSkipsRaysLeftOfAxisColumnMinusOne) {
  BackProjection b(9, 3, 24, 8, {0.0});
  b.p.axis = 12.0f;
  b.p.truncated = kOn;
  b.run();
  // At angle 0, voxel (4, 3) has U = D and T = -1: u is exactly ua - 1.
  EXPECT_EQ(b.voxel(4, 3, 1), 0.0f);
  // Voxel (5, 3) has U = D + 1: u lies just right of ua - 1.
  EXPECT_GT(b.voxel(5, 3, 1), 0.0f);
  EXPECT_GT(b.voxel(4, 4, 1), 0.0f);

  BackProjection full(9, 3, 24, 8, {0.0});
  full.p.axis = 12.0f;
  full.run();
  EXPECT_GT(full.voxel(4, 3, 1), 0.0f);
}

TEST(BackProjector, MatchesDirectEvaluationInsideTheCone) {
  BackProjection b(11, 12, 24, 10, {0.6, 2.2});
  b.p.rfanY = 40.0f;  // a wide cone: magnification differs clearly from 1
  b.p.axis = 10.3f;
  b.p.centralSlice = 4.2f;
  b.p.centralSliceUser = 6.1f;
  unsigned state = 12345;
  for (float& f : b.filtered) {
    state = state * 1103515245u + 12345u;
    f = static_cast<float>((state >> 8) % 1000) / 100.0f - 5.0f;
  }
  b.run();
  const int voxels[][3] = {{5, 5, 6}, {2, 6, 4}, {8, 3, 8}, {6, 9, 5}, {3, 3, 7}};
  for (const auto& v : voxels) {
    const double expected = directSample(b, 0, v[0], v[1], v[2]) + directSample(b, 1, v[0], v[1], v[2]);
    EXPECT_NEAR(b.voxel(v[0], v[1], v[2]), expected, 1e-4 * std::fabs(expected) + 1e-5)
        << v[0] << "," << v[1] << "," << v[2];
  }
}

// ---------------------------------------------------------------------------
// Offset table.

namespace {

// Points KORVAN_CONFIG at a log in `dir` while alive, so that the messages of
// a failed child process can be read back.
struct FailureLog {
  const TempDir& dir;
  explicit FailureLog(const TempDir& d) : dir(d) {
    setenv("KORVAN_CONFIG", testutil::writeConfig(dir, dir.file("korvan.log")).c_str(), 1);
  }
  ~FailureLog() { unsetenv("KORVAN_CONFIG"); }
  bool holds(const std::string& text) const {
    return testutil::readFile(dir.file("korvan.log")).find(": " + text) != std::string::npos;
  }
};

OffsetTable tableFrom(const TempDir& dir, const std::string& text) {
  testutil::writeFile(dir.file("offsets.txt"), text);
  OffsetTable table;
  readOffsetTable(dir.file("offsets.txt").c_str(), table);
  return table;
}

}  // namespace

TEST(OffsetTable, ShiftsInterpolateBetweenEntriesAndTowardsTheSentinel) {
  TempDir dir;
  const OffsetTable table = tableFrom(dir, "0 2.0\n180 4.0\n");
  ASSERT_EQ(table.count, 2);
  float shift = 0.0f;
  ASSERT_TRUE(axisShiftAt(table, 90.0f, 2, &shift));
  EXPECT_FLOAT_EQ(shift, 1.5f);
  ASSERT_TRUE(axisShiftAt(table, 270.0f, 2, &shift));
  EXPECT_FLOAT_EQ(shift, static_cast<float>((4.0 - 4.0 * 90.0 / 820.0) / 2.0));
  EXPECT_FALSE(axisShiftAt(table, 1001.0f, 2, &shift));
}

TEST(OffsetTable, ViewsBeforeTheFirstAngleAreNotShifted) {
  TempDir dir;
  const OffsetTable table = tableFrom(dir, "10 3.0\n20 5.0\n");
  float shift = -7.0f;
  EXPECT_FALSE(axisShiftAt(table, 5.0f, 1, &shift));
  EXPECT_EQ(shift, -7.0f);
  ASSERT_TRUE(axisShiftAt(table, 15.0f, 1, &shift));
  EXPECT_FLOAT_EQ(shift, 4.0f);
}

// Reading stops at the first text that is not a pair; a file that yields no
// pair at all (or cannot be opened) leaves the run without offsets, with a
// warning on the console naming the file and what it holds.
TEST(OffsetTable, ReadingStopsAtTextThatIsNotAPairAndWarnsWhenNoneIsRead) {
  TempDir dir;
  const struct {
    const char* name;
    const char* text;  // nullptr: no such file
    int pairs;
    const char* warning;
  } rows[] = {
      {"pairs then text", "0 1\n90 2\nnext 5\n180 9\n", 2, ""},
      {"missing", nullptr, 0, "cannot be opened (No such file or directory)"},
      {"header line", "angle offset\n0 1\n", 0, "holds no angle and offset pairs (it begins \"angle offset\";"},
      {"commas", "0,1.5\n90,2\n", 0, "holds no angle and offset pairs (it begins \"0,1.5\";"},
      {"empty", "", 0, "is empty;"},
  };
  for (const auto& row : rows) {
    const std::string file = dir.file(row.name);
    if (row.text) testutil::writeFile(file, row.text);
    OffsetTable table;
    testing::internal::CaptureStderr();
    readOffsetTable(file.c_str(), table);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(table.count, row.pairs) << row.name;
    if (row.text) {
      EXPECT_EQ(table.angle[table.count], 1000.0f) << row.name;
    }
    if (*row.warning == '\0') {
      EXPECT_EQ(err, "") << row.name;
    } else {
      EXPECT_EQ(err.rfind("Warning: offset file " + file + " " + row.warning, 0), 0u) << err;
      EXPECT_NE(err.find("; reconstructing without axis offsets\n"), std::string::npos) << err;
    }
  }
}

TEST(OffsetTableDeathTest, MoreThan999PairsEndTheRun) {
  TempDir dir;
  FailureLog log(dir);
  std::string text;
  for (int i = 0; i < 1000; ++i) text += std::to_string(i * 0.3) + " 0.5\n";
  EXPECT_EXIT(tableFrom(dir, text), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(log.holds("Error: offset file " + dir.file("offsets.txt") + " holds more than 999 pairs\n"));
}

// ---------------------------------------------------------------------------
// The loops on a tiny full-turn series: 8 views of 12 x 6 float samples.

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kWidth = 12, kHeight = 6, kViews = 8;

float smoothSample(int view, int row, int col) {
  const double c = col - 5.5 - 2.0 * std::cos(view * 0.785398);
  return static_cast<float>(std::exp(-c * c / 6.0) * (1.0 + 0.1 * row));
}

// Writes view files prefix%d.vff; `sample` gives each value.
template <typename F>
void writeSeries(const TempDir& dir, const std::string& prefix, F sample) {
  for (int v = 0; v < kViews; ++v) {
    std::vector<float> values;
    for (int r = 0; r < kHeight; ++r)
      for (int c = 0; c < kWidth; ++c) values.push_back(sample(v, r, c));
    testutil::writeFile(dir.file(prefix + std::to_string(v) + ".vff"),
                        testutil::vffHeader(kWidth, kHeight, 32, {}) + testutil::bigEndianFloats(values));
  }
}

struct Series {
  ReconParams p;
  std::string outDir;

  Series(const TempDir& dir, bool convolution) : outDir(dir.path() + "/") {
    initReconParams(p);
    p.firstFile = 0;
    p.projWidth = kWidth;
    p.projHeight = kHeight;
    p.bits = 32;
    p.axisUser = 5.5f;
    p.centralSliceUser = 2.5f;
    p.rfanY = p.rfanZ = 60.0f;
    p.angleIncrement = 45.0f;
    p.full360 = kOn;
    p.convolution = convolution ? kOn : 0;
    p.zSizeUser = -1;
    p.zOriginUser = -1;
    p.memoryLimit = 1 << 20;
    p.nChunks = 1;
    p.jobId = 7;
    p.outDir = &outDir[0];
    setupGeometry(p);
    p.kernelLength = p.yprojSizeUser;
  }
  ~Series() { freeReconArrays(p); }
  void run(const std::string& pattern) {
    if (p.convolution)
      reconstructSlabConvolution(p, pattern.c_str(), {});
    else
      reconstructSlabFft(p, pattern.c_str(), {});
  }
  std::vector<float> slab() const {
    return std::vector<float>(p.volume, p.volume + static_cast<size_t>(p.zSize) * p.ySize * p.xSize);
  }
};

void writeDump(const std::string& name, int32_t view, int32_t file, const std::vector<float>& slab) {
  std::string bytes(reinterpret_cast<const char*>(&view), 4);
  bytes.append(reinterpret_cast<const char*>(&file), 4);
  bytes.append(reinterpret_cast<const char*>(slab.data()), slab.size() * 4);
  testutil::writeFile(name, bytes);
}

}  // namespace

TEST(ReconstructionLoop, SuspensionDumpResumesAtItsView) {
  TempDir dir;
  writeSeries(dir, "p", smoothSample);
  const int resumeAt = 3;
  writeSeries(dir, "head", [](int v, int r, int c) { return v < resumeAt ? smoothSample(v, r, c) : 0.0f; });

  Series whole(dir, false);
  ASSERT_EQ(whole.p.nang, kViews);  // 1/8 scales exactly, so the partial sum can be recovered
  whole.run(dir.file("p%d.vff"));

  Series head(dir, false);
  head.run(dir.file("head%d.vff"));
  std::vector<float> partial = head.slab();
  for (float& v : partial) v *= kViews;
  const std::string dump = dir.file("suspend-dump.7.0");
  writeDump(dump, resumeAt, resumeAt, partial);

  Series resumed(dir, false);
  resumed.run(dir.file("p%d.vff"));
  EXPECT_FALSE(testutil::fileExists(dump));
  const std::vector<float> expected = whole.slab(), actual = resumed.slab();
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(actual[i], expected[i]) << "voxel " << i;
}

TEST(ReconstructionLoop, DumpAfterTheLastViewIsOnlyScaled) {
  TempDir dir;
  writeSeries(dir, "p", smoothSample);
  Series s(dir, true);
  writeDump(dir.file("suspend-dump.7.0"), kViews, kViews, std::vector<float>(s.slab().size(), 2.0f));
  s.run(dir.file("missing%d.vff"));  // no view is read
  for (float v : s.slab()) ASSERT_EQ(v, 0.25f);
}

TEST(ReconstructionLoopDeathTest, DumpShorterThanItsSlabEndsTheRun) {
  TempDir dir;
  FailureLog log(dir);
  Series s(dir, false);
  writeDump(dir.file("suspend-dump.7.0"), 2, 2, std::vector<float>(s.slab().size() - 1, 1.0f));
  EXPECT_EXIT(s.run(dir.file("p%d.vff")), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(log.holds("Error: unusable suspension dump " + dir.file("suspend-dump.7.0") + "\n"));
}

TEST(ReconstructionLoop, ConvolutionSpreadsAnImpulseOverTheRamLakKernel) {
  TempDir dir;
  const int row = 3, col = 6;
  writeSeries(dir, "p", [](int v, int r, int c) { return v == kViews - 1 && r == row && c == col ? 2.0f : 0.0f; });
  Series s(dir, true);
  s.run(dir.file("p%d.vff"));
  // The last view stays in the working arrays: its weighted impulse and its
  // filtered projection. Filtered column col + d holds raw column col.
  const int first = roundNearest(s.p.centralSliceUser - s.p.centralSlice);
  const float impulse = s.p.projection[(row - first) * s.p.yprojSizeUser + col];
  ASSERT_GT(impulse, 1.9f);
  const int centre = col + roundNearest(s.p.axis - s.p.axisUser);
  for (int c = 0; c < s.p.yprojSize; ++c) {
    const int k = std::abs(c - centre);
    const double tap = k == 0 ? kPi / 4 : k % 2 ? -1.0 / (kPi * k * k) : 0.0;
    for (int r = 0; r < s.p.zprojSize; ++r) {
      const double expected = r == row - first ? impulse * tap : 0.0;
      EXPECT_NEAR(s.p.convFiltered[c * s.p.zprojSize + r], expected, 1e-6) << "column " << c << " row " << r;
    }
  }
}

TEST(ReconstructionLoop, FftFilterAppliesTheRampAtTheBufferPositions) {
  TempDir dir;
  const int row = 2, col = 4;
  writeSeries(dir, "p", [](int v, int r, int c) { return v == kViews - 1 && r == row && c == col ? 2.0f : 0.0f; });
  Series s(dir, false);
  s.run(dir.file("p%d.vff"));
  const int first = roundNearest(s.p.centralSliceUser - s.p.centralSlice);
  const double impulse = s.p.projection[(row - first) * s.p.yprojSizeUser + col];
  const int n = s.p.filterSize;
  const int position = roundNearest(s.p.filterSizeHalf - s.p.axisUser) + col;  // A + col
  const int start = roundNearest(s.p.filterSizeHalf - s.p.axis);              // B
  for (int c = 0; c < s.p.yprojSize; ++c) {
    // Circular convolution with the response of |w|/2 sampled at the FFT frequencies.
    const int j = start + c - position;
    double sum = (kPi / n) * (j % 2 ? -1.0 : 1.0);
    for (int k = 1; k < n / 2; ++k) sum += 2.0 * (2.0 * kPi / (double(n) * n)) * k * std::cos(2.0 * kPi * k * j / n);
    EXPECT_NEAR(s.p.fftFiltered[c * s.p.zprojSize + (row - first)], impulse / 2.0 * sum, 1e-5) << "column " << c;
  }
}

TEST(ReconstructionLoop, ReportsProgressPerViewWhenAServerIsGiven) {
  TempDir dir;
  writeSeries(dir, "p", smoothSample);
  testutil::RpcServer server;
  init_report_client("127.0.0.1", server.port());
  Series s(dir, false);
  std::string url = server.url();
  s.p.serverUrl = &url[0];
  s.p.zSizeUser = 2 * s.p.zSize;  // this slab is half of the volume
  s.run(dir.file("p%d.vff"));
  const std::vector<std::string> calls = server.calls("setJobStatus");
  ASSERT_EQ(calls.size(), static_cast<size_t>(kViews));
  double previous = -1.0;
  for (const std::string& call : calls) {
    const std::string head = "setJobStatus\t[7, [\"Back-projecting in spatial domain...\", ";
    ASSERT_EQ(call.compare(0, head.size(), head), 0) << call;
    const double progress = std::atof(call.c_str() + head.size());
    if (previous >= 0.0) {
      EXPECT_NEAR(progress - previous, 0.5 / kViews, 1e-6);
    }
    previous = progress;
  }
}

TEST(ReconstructionLoopDeathTest, NegativeBufferPositionEndsWithStatusMinusOne) {
  TempDir dir;
  FailureLog log(dir);
  writeSeries(dir, "p", smoothSample);
  Series s(dir, false);
  s.p.axisUser = static_cast<float>(s.p.filterSizeHalf + 3);
  EXPECT_EXIT(s.run(dir.file("p%d.vff")), testing::ExitedWithCode(255), "");
  EXPECT_TRUE(log.holds("Internal array offset error.  Center of rotation value may be incorrect.\n"));
}
