// The voxel back-projector on hand-made records, the axis offset table, and
// the per-slab loop on tiny projection series written by the tests: filters
// at their buffer positions and suspension dumps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "backproject/backproject_detail.h"
#include "geometry/geometry.h"
#include "host/host.h"
#include "support/testutil.h"

using testutil::TempDir;

namespace {

// A back-projector record over an n x n grid whose slab spans the whole grid,
// one view per angle, and a filtered projection of `columns` x `rows`, all 1.
struct BackProjection {
  ReconParams p;
  std::vector<float> volume, sines, cosines, filtered;

  BackProjection(int n, int zSize, int columns, int rows, const std::vector<double>& angles, float axis) {
    initReconParams(p);
    p.gridSizeXY = p.xSize = p.ySize = n;
    p.xOrigin = p.yOrigin = p.zOrigin = 0;
    p.zSize = zSize, p.yprojSize = columns, p.zprojSize = rows;
    p.rfanY = 100.0f, p.axis = axis;
    p.centralSlice = (rows - 1) / 2.0f, p.centralSliceUser = (zSize - 1) / 2.0f;
    for (double a : angles) sines.push_back(float(std::sin(a))), cosines.push_back(float(std::cos(a)));
    filtered.assign(static_cast<size_t>(columns) * rows, 1.0f);
    volume.assign(static_cast<size_t>(n) * n * zSize, 0.0f);
    p.volume = volume.data(), p.sinTable = sines.data(), p.cosTable = cosines.data();
  }
  // level < 0: the reference loop; above the best SIMD level: backProjectView.
  void run(int level = 3) {
    for (int v = 0; v < static_cast<int>(sines.size()); ++v) {
      if (level < 0) backProjectViewReference(filtered.data(), p, v);
      else if (level > int(bestSimdLevel())) backProjectView(filtered.data(), p, v);
      else backProjectViewWith(filtered.data(), p, v, SimdLevel(level));
    }
  }
  float voxel(int x, int y, int z) const { return volume[(static_cast<size_t>(y) * p.xSize + x) * p.zSize + z]; }
  float& sample(int col, int row) { return filtered[static_cast<size_t>(col) * p.zprojSize + row]; }
  // Exact value of the bilinearly interpolated, distance-weighted ray sample.
  double direct(int view, int x, int y, int z) {
    const double R = (p.gridSizeXY - 1) / 2.0, D = p.rfanY, s = sines[view], k = cosines[view];
    const double U = D + (y - R) * s + (x - R) * k, T = (y - R) * k - (x - R) * s;
    const double u = p.axis + D * T / U, v = (z - p.centralSliceUser) * D / U + p.centralSlice;
    const int iu = static_cast<int>(std::floor(u)), iv = static_cast<int>(std::floor(v));
    const double fu = u - iu, fv = v - iv;
    return ((1 - fu) * (1 - fv) * sample(iu, iv) + (1 - fu) * fv * sample(iu, iv + 1) + fu * (1 - fv) * sample(iu + 1, iv) +
            fu * fv * sample(iu + 1, iv + 1)) * (D / U) * (D / U);
  }
};

}  // namespace

TEST(BackProjector, MatchesDirectEvaluationInsideTheCone) {
  BackProjection b(11, 12, 24, 10, {0.6, 2.2}, 10.3f);
  b.p.rfanY = 40.0f;  // a wide cone: magnification differs clearly from 1
  b.p.centralSlice = 4.2f, b.p.centralSliceUser = 6.1f;
  unsigned state = 12345;
  for (float& f : b.filtered) {
    state = state * 1103515245u + 12345u;
    f = static_cast<float>((state >> 8) % 1000) / 100.0f - 5.0f;
  }
  b.run();
  for (const auto& v : {std::vector{5, 5, 6}, {2, 6, 4}, {8, 3, 8}, {6, 9, 5}, {3, 3, 7}}) {
    const double expected = b.direct(0, v[0], v[1], v[2]) + b.direct(1, v[0], v[1], v[2]);
    EXPECT_NEAR(b.voxel(v[0], v[1], v[2]), expected, 1e-4 * std::fabs(expected) + 1e-5) << v[0] << "," << v[1] << "," << v[2];
  }
}

// Voxels on the field-of-view circle are left out; with width-truncated data
// rays left of the axis column less one are too (u exactly ua - 1 included).
TEST(BackProjector, FieldOfViewCircleAndTruncatedRaysAreLeftOut) {
  BackProjection b(9, 3, 24, 8, {0.3, 1.9}, 12.0f);
  b.run();
  for (int z = 0; z < 3; ++z) {
    EXPECT_TRUE(b.voxel(0, 4, z) == 0 && b.voxel(8, 4, z) == 0 && b.voxel(1, 4, z) > 0 && b.voxel(7, 4, z) > 0) << z;
    for (int x = 0; x < 9; ++x) EXPECT_EQ(b.voxel(x, 0, z), 0.0f) << "x = " << x;  // chord of length 0
  }
  // Every loop and SIMD level has this rule in its ray set-up.
  for (int level = -1; level <= int(bestSimdLevel()); ++level)
    for (bool truncated : {false, true}) {
      BackProjection t(9, 3, 24, 8, {0.0}, 12.0f);
      t.p.truncated = truncated ? kOn : 0;
      t.run(level);
      // At angle 0, voxel (4, 3) has U = D and T = -1: u is exactly ua - 1;
      // voxel (5, 3) has U = D + 1: u lies just right of it.
      EXPECT_EQ(t.voxel(4, 3, 1) > 0, !truncated) << "level " << level;
      EXPECT_TRUE(t.voxel(5, 3, 1) > 0 && t.voxel(4, 4, 1) > 0) << "level " << level;
    }
}

// ---------------------------------------------------------------------------
// Offset table.

namespace {

OffsetTable tableFrom(const std::string& file, const char* text) {
  if (text) testutil::writeFile(file, text);
  OffsetTable table;
  readOffsetTable(file.c_str(), table);
  return table;
}

}  // namespace

// Shifts interpolate between entries and towards the sentinel at 1000
// degrees, divided by the bin size; views before the first angle or past
// the sentinel are not shifted.
TEST(OffsetTable, ShiftsInterpolateBetweenEntries) {
  TempDir dir;
  const struct {
    const char* text;
    float angle;
    int bin;
    float shift;  // -7: not shifted
  } rows[] = {
      {"0 2.0\n180 4.0\n", 90.0f, 2, 1.5f},
      {"0 2.0\n180 4.0\n", 270.0f, 2, static_cast<float>((4.0 - 4.0 * 90.0 / 820.0) / 2.0)},
      {"0 2.0\n180 4.0\n", 1001.0f, 2, -7.0f},
      {"10 3.0\n20 5.0\n", 5.0f, 1, -7.0f},
      {"10 3.0\n20 5.0\n", 15.0f, 1, 4.0f},
  };
  for (const auto& row : rows) {
    float shift = -7.0f;
    EXPECT_EQ(axisShiftAt(tableFrom(dir.file("o.txt"), row.text), row.angle, row.bin, &shift), row.shift != -7.0f) << row.angle;
    EXPECT_FLOAT_EQ(shift, row.shift) << row.angle;
  }
}

// Reading stops at the first text that is not a pair; a file that yields no
// pair at all (or cannot be opened) leaves the run without offsets, with a
// warning on the console naming the file and what it holds.
TEST(OffsetTable, ReadingStopsAtTextThatIsNotAPair) {
  TempDir dir;
  const struct {
    const char *name, *text;  // nullptr: no such file
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
    testing::internal::CaptureStderr();
    const OffsetTable table = tableFrom(file, row.text);
    const std::string err = testing::internal::GetCapturedStderr(), warning = "Warning: offset file " + file + " " + row.warning;
    EXPECT_TRUE(table.count == row.pairs && (!row.text || table.angle[table.count] == 1000.0f)) << row.name;
    EXPECT_TRUE(*row.warning ? err.rfind(warning, 0) == 0 && err.find("; reconstructing without axis offsets\n") != std::string::npos
                             : err.empty()) << err;
  }
}

TEST(OffsetTableDeathTest, MoreThan999PairsEndTheRun) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 1000; ++i) text += std::to_string(i * 0.3) + " 0.5\n";
  EXPECT_EQ(testutil::loggedEnd([&] { tableFrom(dir.file("o.txt"), text.c_str()); }),
            std::vector<std::string>{"Error: offset file " + dir.file("o.txt") + " holds more than 999 pairs"});
}

// ---------------------------------------------------------------------------
// The loops on a tiny full-turn series: 8 views of 12 x 6 float samples.

namespace {

constexpr int kWidth = 12, kHeight = 6, kViews = 8;

float smoothSample(int view, int row, int col) {
  const double c = col - 5.5 - 2.0 * std::cos(view * 0.785398);
  return static_cast<float>(std::exp(-c * c / 6.0) * (1.0 + 0.1 * row));
}

// Writes view files prefix%d.vff; `sample` gives each value.
template <typename F>
void writeSeries(const TempDir& dir, const std::string& prefix, F sample) {
  for (int v = 0; v < kViews; ++v) {
    std::vector<double> values;
    for (int r = 0; r < kHeight; ++r)
      for (int c = 0; c < kWidth; ++c) values.push_back(sample(v, r, c));
    testutil::writeFile(dir.file(prefix + std::to_string(v) + ".vff"), testutil::vffFile({kWidth, kHeight}, 32, {}, values));
  }
}

// The loop over the views of one slab, job 7, writing its dumps in `dir`.
struct Series {
  ReconParams p;
  std::string outDir;

  Series(const TempDir& dir, bool convolution) : outDir(dir.path() + "/") {
    initReconParams(p);
    p.firstFile = 0, p.projWidth = kWidth, p.projHeight = kHeight, p.bits = 32;
    p.axisUser = 5.5f, p.centralSliceUser = 2.5f, p.rfanY = p.rfanZ = 60.0f;
    p.angleIncrement = 45.0f, p.full360 = kOn;
    p.convolution = convolution ? kOn : 0;
    p.zSizeUser = p.zOriginUser = -1;
    p.memoryLimit = 1 << 20, p.nChunks = 1, p.jobId = 7;
    p.outDir = &outDir[0];
    setupGeometry(p);
    p.kernelLength = p.yprojSizeUser;
  }
  ~Series() { freeReconArrays(p); }
  void run(const std::string& pattern) {
    (p.convolution ? reconstructSlabConvolution : reconstructSlabFft)(p, pattern.c_str(), {});
  }
  std::vector<float> slab() const { return std::vector<float>(p.volume, p.volume + static_cast<size_t>(p.zSize) * p.ySize * p.xSize); }
  // The filtered last view, which stays in the working arrays, after an
  // impulse of 2 at (row, col) in it; and the impulse as the cosine
  // pre-weight left it.
  std::pair<std::vector<double>, double> impulseResponse(const TempDir& dir, int row, int col) {
    writeSeries(dir, "p", [&](int v, int r, int c) { return v == kViews - 1 && r == row && c == col ? 2.0f : 0.0f; });
    run(dir.file("p%d.vff"));
    const int first = roundNearest(p.centralSliceUser - p.centralSlice);
    const float* filtered = p.convolution ? p.convFiltered : p.fftFiltered;
    return {std::vector<double>(filtered, filtered + p.yprojSize * p.zprojSize), p.projection[(row - first) * p.yprojSizeUser + col]};
  }
};

void writeDump(const std::string& name, int32_t view, int32_t file, const std::vector<float>& slab) {
  std::string bytes(reinterpret_cast<const char*>(&view), 4);
  bytes.append(reinterpret_cast<const char*>(&file), 4);
  bytes.append(reinterpret_cast<const char*>(slab.data()), slab.size() * 4);
  testutil::writeFile(name, bytes);
}

}  // namespace

// A suspension dump holds the views before its view number, summed and not
// yet scaled: a resumed slab equals the whole one bit for bit; a dump after
// the last view is only scaled.
TEST(ReconstructionLoop, SuspensionDumpResumesAtItsView) {
  TempDir dir;
  const int resumeAt = 3;
  writeSeries(dir, "p", smoothSample);
  writeSeries(dir, "head", [](int v, int r, int c) { return v < resumeAt ? smoothSample(v, r, c) : 0.0f; });
  Series whole(dir, false), head(dir, false), resumed(dir, false), scaled(dir, true);
  ASSERT_EQ(whole.p.nang, kViews);  // 1/8 scales exactly, so the partial sum can be recovered
  whole.run(dir.file("p%d.vff"));
  head.run(dir.file("head%d.vff"));
  std::vector<float> partial = head.slab();
  for (float& v : partial) v *= kViews;
  const std::string dump = dir.file("suspend-dump.7.0");
  writeDump(dump, resumeAt, resumeAt, partial);
  resumed.run(dir.file("p%d.vff"));
  EXPECT_FALSE(testutil::fileExists(dump));
  EXPECT_EQ(resumed.slab(), whole.slab());
  writeDump(dump, kViews, kViews, std::vector<float>(partial.size(), 2.0f));
  scaled.run(dir.file("missing%d.vff"));  // no view is read
  EXPECT_EQ(scaled.slab(), std::vector<float>(partial.size(), 0.25f));
}

TEST(ReconstructionLoopDeathTest, DumpShorterThanItsSlabEndsTheRun) {
  TempDir dir;
  Series s(dir, false);
  writeDump(dir.file("suspend-dump.7.0"), 2, 2, std::vector<float>(s.slab().size() - 1, 1.0f));
  EXPECT_EQ(testutil::loggedEnd([&] { s.run(dir.file("p%d.vff")); }),
            std::vector<std::string>{"Error: unusable suspension dump " + dir.file("suspend-dump.7.0")});
}

// Filtered column col + d holds raw column col convolved with the taps
// 0..3 either side, though the kernel holds more.
TEST(ReconstructionLoop, ConvolutionSpreadsAnImpulseOverTheRamLakKernel) {
  TempDir dir;
  Series s(dir, true);
  s.p.kernelLength = 4;
  const int row = 3, col = 6;
  const auto [response, impulse] = s.impulseResponse(dir, row, col);
  ASSERT_GT(impulse, 1.9);
  const int centre = col + roundNearest(s.p.axis - s.p.axisUser), first = roundNearest(s.p.centralSliceUser - s.p.centralSlice);
  for (int c = 0; c < s.p.yprojSize; ++c) {
    const int k = std::abs(c - centre);
    const double tap = k == 0 ? M_PI / 4 : k % 2 && k < 4 ? -1.0 / (M_PI * k * k) : 0.0;
    for (int r = 0; r < s.p.zprojSize; ++r)
      EXPECT_NEAR(response[c * s.p.zprojSize + r], r == row - first ? impulse * tap : 0.0, 1e-6) << c << "," << r;
  }
}

// Circular convolution with the response of |w|/2 sampled at the FFT
// frequencies, the row placed at A = half - axisUser, read back at B = half - axis.
TEST(ReconstructionLoop, FftFilterAppliesTheRampAtTheBufferPositions) {
  TempDir dir;
  Series s(dir, false);
  const int row = 2, col = 4, n = s.p.filterSize;
  const auto [response, impulse] = s.impulseResponse(dir, row, col);
  const int position = roundNearest(s.p.filterSizeHalf - s.p.axisUser) + col, start = roundNearest(s.p.filterSizeHalf - s.p.axis);
  const int first = roundNearest(s.p.centralSliceUser - s.p.centralSlice);
  for (int c = 0; c < s.p.yprojSize; ++c) {
    const int j = start + c - position;
    double sum = (M_PI / n) * (j % 2 ? -1.0 : 1.0);
    for (int k = 1; k < n / 2; ++k) sum += 2.0 * (2.0 * M_PI / (double(n) * n)) * k * std::cos(2.0 * M_PI * k * j / n);
    for (int r = 0; r < s.p.zprojSize; ++r)
      EXPECT_NEAR(response[c * s.p.zprojSize + r], r == row - first ? impulse / 2.0 * sum : 0.0, 1e-5) << c << "," << r;
  }
}
