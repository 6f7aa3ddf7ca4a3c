// The back-projector's field of view, the axis offset table, and the slab loop's convolution and suspension dumps.
#include <gtest/gtest.h>

#include <cmath>

#include "backproject/backproject_detail.h"
#include "geometry/geometry.h"
#include "host/host.h"
#include "support/testutil.h"

using testutil::TempDir;

// Voxels on the field-of-view circle are left out, row 0 being a chord of length 0; so are, with width-truncated
// data, rays at or left of the axis column less one. Each loop and SIMD level has its own copy of the rule.
TEST(BackProjector, FieldOfViewCircleAndTruncatedRaysAreLeftOut) {
  for (int level = -1; level <= int(bestSimdLevel()); ++level)  // -1: the reference loop
    for (bool truncated : {false, true}) {
      ReconParams p;
      initReconParams(p);
      std::vector<float> volume(9 * 9 * 3), filtered(24 * 8, 1.0f), sine = {0.0f}, cosine = {1.0f};
      p.gridSizeXY = p.xSize = p.ySize = 9, p.xOrigin = p.yOrigin = p.zOrigin = 0, p.zSize = 3;
      p.yprojSize = 24, p.zprojSize = 8, p.rfanY = 100, p.axis = 12, p.centralSlice = 3.5f, p.centralSliceUser = 1;
      p.volume = volume.data(), p.sinTable = sine.data(), p.cosTable = cosine.data(), p.truncated = truncated ? kOn : 0;
      if (level < 0) backProjectViewReference(filtered.data(), p, 0);
      else backProjectViewWith(filtered.data(), p, 0, SimdLevel(level));
      // At y * 9 + x: row 0; (0, 4), (8, 4) on the circle; (1, 4), (7, 4); (4, 3): u = ua - 1; (5, 3); (4, 4).
      std::string got;
      for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 36, 44, 37, 43, 31, 32, 40}) got += volume[i * 3 + 1] > 0 ? '+' : '0';
      EXPECT_EQ(got, truncated ? "00000000000++0++" : "00000000000+++++") << "level " << level;
    }
}

// Shifts interpolate between entries, past the last towards 0 at 1000 degrees, in units of the bin size (NAN: no
// shift). Reading stops at text that is not a pair; a file without pairs (nullptr: none) earns a warning.
TEST(OffsetTable, ShiftsAndUnusableFiles) {
  TempDir dir;
  const struct { const char *name, *text; float angle; int bin; float shift; const char* warning; } rows[] = {
      {"between entries, binned", "0 2.0\n180 4.0\n", 90, 2, 1.5f, ""},
      {"towards the end at 1000", "0 2.0\n180 4.0\n", 270, 2, float((4.0 - 4.0 * 90 / 820) / 2), ""},
      {"past the end", "0 2.0\n180 4.0\n", 1001, 2, NAN, ""},
      {"before the first angle", "10 3.0\n20 5.0\n", 5, 1, NAN, ""},
      {"pairs then text", "0 1\n90 2\nnext 5\n180 9\n", 180, 1, float(2 - 2.0 * 90 / 910), ""},
      {"missing", nullptr, 0, 1, NAN, "cannot be opened (No such file or directory)"},
      {"header line", "angle offset\n0 1\n", 0, 1, NAN, "holds no angle and offset pairs (it begins \"angle offset\";"},
      {"commas", "0,1.5\n90,2\n", 0, 1, NAN, "holds no angle and offset pairs (it begins \"0,1.5\";"},
      {"empty", "", 0, 1, NAN, "is empty;"},
  };
  for (const auto& r : rows) {
    const std::string file = dir.file(r.name), warning = "Warning: offset file " + file + " " + r.warning;
    if (r.text) testutil::writeFile(file, r.text);
    OffsetTable table;
    testing::internal::CaptureStderr(), readOffsetTable(file.c_str(), table);
    const std::string err = testing::internal::GetCapturedStderr(), end = "; reconstructing without axis offsets\n";
    float shift = NAN;
    EXPECT_TRUE(axisShiftAt(table, r.angle, r.bin, &shift) ? std::fabs(shift - r.shift) < 1e-6 : std::isnan(r.shift))
        << r.name << ": " << shift;
    EXPECT_TRUE(*r.warning ? err.rfind(warning, 0) == 0 && err.find(end) != err.npos : err.empty()) << err;
  }
}

TEST(OffsetTableDeathTest, MoreThan999PairsEndTheRun) {
  TempDir dir;
  std::string text, file = dir.file("o.txt");
  for (int i = 0; i < 1000; ++i) text += std::to_string(i) + " 0.5\n";
  testutil::writeFile(file, text);
  EXPECT_EQ(testutil::loggedEnd([&] { OffsetTable t; readOffsetTable(file.c_str(), t); }),
            std::vector<std::string>{"Error: offset file " + file + " holds more than 999 pairs"});
}

namespace {

constexpr int kWidth = 12, kHeight = 6, kViews = 8;  // a full turn

// Writes view files dir/prefix%d.vff; `sample(view, row, column)` gives each value.
void writeSeries(const TempDir& dir, const std::string& prefix, const std::function<double(int, int, int)>& sample) {
  for (int v = 0; v < kViews; ++v) {
    std::vector<double> values;
    for (int i = 0; i < kWidth * kHeight; ++i) values.push_back(sample(v, i / kWidth, i % kWidth));
    testutil::writeFile(dir.file(prefix + std::to_string(v) + ".vff"), testutil::vffFile({12, 6}, 32, {}, values));
  }
}

// The loop over the views of one slab, job 7, writing its dumps in `dir`.
struct Series {
  ReconParams p;
  std::string outDir;

  Series(const TempDir& dir, bool convolution) : outDir(dir.path() + "/") {
    initReconParams(p);
    p.firstFile = 0, p.projWidth = kWidth, p.projHeight = kHeight, p.bits = 32, p.convolution = convolution ? kOn : 0;
    p.axisUser = 5.5f, p.centralSliceUser = 2.5f, p.rfanY = p.rfanZ = 60.0f, p.angleIncrement = 45.0f, p.full360 = kOn;
    p.memoryLimit = 1 << 20, p.nChunks = 1, p.jobId = 7, p.outDir = &outDir[0], p.zSizeUser = p.zOriginUser = -1;
    setupGeometry(p);
  }
  ~Series() { freeReconArrays(p); }
  void run(const std::string& series) {  // the views outDir/<series>%d.vff
    (p.convolution ? reconstructSlabConvolution : reconstructSlabFft)(p, (outDir + series + "%d.vff").c_str(), {});
  }
  std::vector<float> slab() const { return {p.volume, p.volume + size_t(p.zSize) * p.ySize * p.xSize}; }
};

// A suspension dump: the view to resume at, the file number (here the same) and the slab.
void writeDump(const std::string& name, int32_t view, const std::vector<float>& slab) {
  const std::string bytes(reinterpret_cast<const char*>(&view), 4);
  testutil::writeFile(name, bytes + bytes + std::string(reinterpret_cast<const char*>(slab.data()), slab.size() * 4));
}

}  // namespace

// A dump holds the views before its view, summed and not yet scaled (1/8 scales exactly): the resumed slab equals
// the whole one bit for bit, and a dump after the last view is only scaled.
TEST(ReconstructionLoop, SuspensionDumpResumesAtItsView) {
  TempDir dir;
  auto blob = [](int v, int r, int c) { return std::exp(-std::pow(c - 5.5 - 2 * std::cos(v), 2) / 6) * (1 + r / 9.0); };
  writeSeries(dir, "p", blob), writeSeries(dir, "head", [&](int v, int r, int c) { return blob(v, r, c) * (v < 3); });
  Series whole(dir, false), head(dir, false), resumed(dir, false), scaled(dir, true);
  const std::string dump = dir.file("suspend-dump.7.0");
  whole.run("p"), head.run("head");
  std::vector<float> partial = head.slab();
  for (float& v : partial) v *= kViews;
  writeDump(dump, 3, partial), resumed.run("p");
  EXPECT_TRUE(whole.p.nang == kViews && !testutil::fileExists(dump) && resumed.slab() == whole.slab());
  writeDump(dump, kViews, std::vector<float>(partial.size(), 2.0f)), scaled.run("missing");  // reads no view
  EXPECT_EQ(scaled.slab(), std::vector<float>(partial.size(), 0.25f));
}

TEST(ReconstructionLoopDeathTest, DumpShorterThanItsSlabEndsTheRun) {
  TempDir dir;
  Series s(dir, false);
  writeDump(dir.file("suspend-dump.7.0"), 2, std::vector<float>(s.slab().size() - 1, 1.0f));
  EXPECT_EQ(testutil::loggedEnd([&] { s.run("p"); }),
            std::vector<std::string>{"Error: unusable suspension dump " + dir.file("suspend-dump.7.0")});
}

// An impulse of 2 in the last view, as the cosine pre-weight leaves it, is spread along its row by the Ram-Lak taps
// 0..3 either side, though the kernel holds more; the filtered view stays in the working arrays.
TEST(ReconstructionLoop, ConvolutionSpreadsAnImpulseOverTheKernelTaps) {
  TempDir dir;
  Series s(dir, true);
  s.p.kernelLength = 4;
  const int row = 3, col = 6, r0 = roundNearest(s.p.centralSliceUser - s.p.centralSlice);  // the first row held
  writeSeries(dir, "p", [&](int v, int r, int c) { return v == kViews - 1 && r == row && c == col ? 2.0 : 0.0; });
  s.run("p");
  const double impulse = s.p.projection[(row - r0) * s.p.yprojSizeUser + col];
  ASSERT_GT(impulse, 1.9);
  for (int c = 0; c < s.p.yprojSize; ++c) {
    const int k = std::abs(c - col - roundNearest(s.p.axis - s.p.axisUser));
    const double tap = k == 0 ? M_PI / 4 : k % 2 && k < 4 ? -1.0 / (M_PI * k * k) : 0.0;
    for (int r = 0; r < s.p.zprojSize; ++r)
      EXPECT_NEAR(s.p.convFiltered[c * s.p.zprojSize + r], r == row - r0 ? impulse * tap : 0.0, 1e-6) << c << "," << r;
  }
}
