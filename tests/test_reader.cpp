// Projection reader: views' samples, the row window, binning, width-truncated rows, bad files, companion numbers.
#include <gtest/gtest.h>

#include <numeric>
#include <regex>

#include "host/host.h"
#include "support/testutil.h"
#include "vff/vff.h"

namespace {

using Samples = std::vector<double>;

// A slab's record as geometry setup leaves it: views of width x height, `rows` working rows from row `first`,
// binned yBin x zBin, `pad` columns added on the left for width-truncated data.
struct Slab {
  testutil::TempDir dir;
  ReconParams p;
  std::string out;  // the console output
  Slab(int width, int height, int bits, int first, int rows, int yBin = 1, int zBin = 1, int pad = 0) {
    initReconParams(p);
    p.projWidth = width, p.projHeight = height, p.bits = bits, p.yBinSize = yBin, p.zBinSize = zBin, p.zprojSize = rows;
    p.yBinGiven = yBin > 1 ? kOn : 0, p.zBinGiven = zBin > 1 ? kOn : 0, p.truncWidth = width / yBin, p.truncPad = pad;
    p.yprojSizeUser = width / yBin + pad, p.centralSlice = 3.25f, p.centralSliceUser = 3.25f + first;
    const long raw = rows * zBin * width;
    p.projection = vector(rows * p.yprojSizeUser), p.rawShort = svector(raw), p.rawFloat = vector(raw);
  }
  ~Slab() { freeReconArrays(p); }
  // Reads `view`, with `opposite` as its companion unless empty ("" or "-": no file); returns the working rows.
  Samples read(const std::string& view, const std::string& opposite) {
    if (!view.empty()) testutil::writeFile(dir.file("p0.vff"), view);
    if (opposite.size() > 1) testutil::writeFile(dir.file("p9.vff"), opposite);
    testing::internal::CaptureStdout();
    if (opposite.empty()) readProjection(p, dir.file("p0.vff").c_str());
    if (!opposite.empty()) readTruncatedProjection(p, dir.file("p0.vff").c_str(), dir.file("p9.vff").c_str());
    out = testing::internal::GetCapturedStdout();
    return Samples(p.projection, p.projection + p.zprojSize * p.yprojSizeUser);
  }
};

std::string vff(int w, int h, int bits, const Samples& samples) { return testutil::vffFile({w, h}, bits, {}, samples); }
Samples ramp(int count, double start) { Samples v(count); return std::iota(v.begin(), v.end(), start), v; }

}  // namespace

// Samples are copied exactly; the window skips leading rows and ignores trailing ones; binned blocks are summed in
// float and divided by zBin * yBin^2. With P pad columns (width-truncated data) a row starts with max(1, P - 9)
// mirrored companion values, then a linear bridge from the last of them to the first measured value.
TEST(ProjectionReaderDeathTest, RowsOrTheEndOfTheRun) {
  const Samples shorts = {0, 1, -1, 32767, -32768, 258}, floats = {1e-40f, 3.14159274f, -2.5e30f, 7};
  const std::string own = vff(8, 1, 16, ramp(8, 17)), opposite = vff(8, 1, 16, ramp(8, 0));
  const std::string v7 = vff(2, 4, 16, ramp(7, 1)), v8 = vff(2, 4, 16, ramp(8, 1));
  struct { const char* name; Slab slab; std::string file, opposite; Samples row; std::string message; } rows[] = {
      {"big-endian shorts", {3, 2, 16, 0, 2}, vff(3, 2, 16, shorts), "", shorts},
      {"big-endian floats", {2, 2, 32, 0, 2}, vff(2, 2, 32, floats), "", floats},
      {"window", {3, 5, 32, 2, 2}, vff(3, 5, 32, ramp(15, 0)), "", {6, 7, 8, 9, 10, 11}},
      {"2 x 2, first row skipped", {4, 6, 16, 1, 2, 2, 2}, vff(4, 6, 16, ramp(24, 0)), "", {5.25, 6.25, 9.25, 10.25}},
      {"horizontal", {6, 1, 32, 0, 1, 3, 1}, vff(6, 1, 32, {3, 6, 9, 12, 15, 18}), "", {2, 5}},
      // 2^24 + 1 rounds back to 2^24 in float, so the three ones are lost; a
      // double sum would give (2^24 + 3) / 8, which rounds to 2097152.5.
      {"single precision", {2, 2, 32, 0, 1, 2, 2}, vff(2, 2, 32, {16777216, 1, 1, 1}), "", {2097152}},
      {"P = 11: 2 mirrored, 9 bridge, steps of 10", {2, 2, 32, 1, 1, 1, 1, 11}, vff(2, 2, 32, {-5, -5, 109, 110}),
       vff(2, 2, 32, {0, 0, 9, 8}), {8, 9, 19, 29, 39, 49, 59, 69, 79, 89, 99, 109, 110}},
      {"P = 1: no bridge", {8, 1, 16, 0, 1, 1, 1, 1}, own, opposite, {7, 17, 18, 19, 20, 21, 22, 23, 24}},
      {"both views binned by 2", {8, 1, 16, 0, 1, 2, 1, 2}, vff(8, 1, 16, {40, 40, 44, 48, 52, 52, 60, 60}),
       vff(8, 1, 16, {0, 4, 8, 8, 12, 12, 16, 16}), {8, 14, 20, 23, 26, 30}},
      // The skipped row 0 and working rows 1 to 3 need all 8 samples.
      {"no view", {2, 4, 16, 1, 3}, "", "", {}, "could not open infile <p0.vff>"},
      {"7 shorts", {2, 4, 16, 1, 3}, v7, "", {}, "end of input file reached!!!"},
      {"no form feed", {2, 4, 16, 1, 3}, "ncaa\n" + std::string(64, 'x'), "", {}, "end of input file reached!!!"},
      {"no companion", {2, 4, 16, 1, 3, 1, 1, 1}, v8, "-", {}, "could not open infile <p9.vff>"},
      {"7 shorts in the companion", {2, 4, 16, 1, 3, 1, 1, 1}, v8, v7, {}, "end of input file reached!!!"},
  };
  for (auto& row : rows) {
    const auto read = [&] { return row.slab.read(row.file, row.opposite); };
    const std::string message = std::regex_replace(row.message, std::regex("<(.*)>"), row.slab.dir.path() + "/$1");
    if (message.empty()) { EXPECT_EQ(read(), row.row) << row.name; continue; }
    EXPECT_EQ(testutil::loggedEnd(read), std::vector<std::string>{"Error: " + message}) << row.name;
  }
  const Slab& pair = rows[6].slab;
  EXPECT_EQ(pair.out, "Reading file " + pair.dir.file("p0.vff") + " and file " + pair.dir.file("p9.vff") + "\r");
}

// Half a turn later, wrapping round to the first view at exactly one turn (of 15 file numbers in the last two rows).
TEST(CompanionNumber, HalfATurnLaterWrappingRound) {
  const struct { int first, increment, views, file, companion; } rows[] = {
      {0, 1, 360, 179, 359}, {0, 1, 360, 180, 0}, {100, 3, 5, 107, 114}, {100, 3, 5, 108, 100}};
  for (const auto& row : rows) {
    ReconParams p{};
    p.firstFile = row.first, p.fileIncrement = row.increment, p.nang = row.views;
    EXPECT_EQ(companionFileNumber(p, row.file), row.companion) << row.file;
  }
}
