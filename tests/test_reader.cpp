// Projection reader: big-endian 16-bit and float views, the slab's row window, block-average binning, short and
// malformed files, the composed rows of width-truncated data and the companion numbering.
#include <gtest/gtest.h>

#include <numeric>
#include <regex>

#include "driver/params.h"
#include "host/host.h"
#include "support/testutil.h"
#include "vff/vff.h"

namespace {

// A record for one slab as geometry setup leaves it: views of width x height
// samples, `rows` working rows from working row `first`, binned yBin x zBin,
// `pad` columns added on the left for width-truncated data.
struct Slab {
  testutil::TempDir dir;
  ReconParams p;
  std::string out;  // the console output
  Slab(int width, int height, int bits, int first, int rows, int yBin = 1, int zBin = 1, int pad = 0) {
    initReconParams(p);
    p.projWidth = width, p.projHeight = height, p.bits = bits, p.yBinSize = yBin, p.zBinSize = zBin;
    p.yBinGiven = yBin > 1 ? kOn : 0, p.zBinGiven = zBin > 1 ? kOn : 0, p.truncWidth = width / yBin, p.truncPad = pad;
    p.yprojSizeUser = width / yBin + pad, p.zprojSize = rows;
    p.centralSlice = 3.25f, p.centralSliceUser = 3.25f + static_cast<float>(first);
    const long raw = static_cast<long>(rows) * zBin * width;
    p.projection = vector(static_cast<long>(rows) * p.yprojSizeUser), p.rawShort = svector(raw), p.rawFloat = vector(raw);
  }
  ~Slab() { freeReconArrays(p); }
  // Reads `view` with `opposite` as its companion unless that is empty; an
  // empty text or "-" leaves its file out. Returns the working rows.
  std::vector<float> read(const std::string& view, const std::string& opposite = "") {
    if (!view.empty()) testutil::writeFile(dir.file("p0.vff"), view);
    if (!opposite.empty() && opposite != "-") testutil::writeFile(dir.file("p9.vff"), opposite);
    testing::internal::CaptureStdout();
    if (opposite.empty()) readProjection(p, dir.file("p0.vff").c_str());
    if (!opposite.empty()) readTruncatedProjection(p, dir.file("p0.vff").c_str(), dir.file("p9.vff").c_str());
    out = testing::internal::GetCapturedStdout();
    return std::vector<float>(p.projection, p.projection + p.zprojSize * p.yprojSizeUser);
  }
};

std::string vff(int width, int height, int bits, const std::vector<double>& samples) {
  return testutil::vffFile({width, height}, bits, {"title=view;"}, samples);
}

std::vector<double> ramp(int count, double start) {
  std::vector<double> values(count);
  return std::iota(values.begin(), values.end(), start), values;
}

}  // namespace

// Samples are copied exactly; the window skips leading rows and ignores
// trailing ones; binned blocks are summed in float and divided by zBin * yBin^2.
TEST(ProjectionBinning, SampleFormatsWindowAndBlockSums) {
  struct { const char* name; Slab slab; std::string file; std::vector<float> rows; } rows[] = {
      {"big-endian shorts", {3, 2, 16, 0, 2}, vff(3, 2, 16, {0, 1, -1, 32767, -32768, 258}), {0, 1, -1, 32767, -32768, 258}},
      {"big-endian floats", {2, 2, 32, 0, 2}, vff(2, 2, 32, {1e-40f, 3.14159274f, -2.5e30f, 7}), {1e-40f, 3.14159274f, -2.5e30f, 7}},
      {"window", {3, 5, 32, 2, 2}, vff(3, 5, 32, ramp(15, 0)), {6, 7, 8, 9, 10, 11}},
      {"2 x 2 blocks, first working row skipped", {4, 6, 16, 1, 2, 2, 2}, vff(4, 6, 16, ramp(24, 0)), {5.25, 6.25, 9.25, 10.25}},
      {"vertical", {3, 2, 32, 0, 1, 1, 2}, vff(3, 2, 32, {1, 2, 3, 10, 20, 31}), {5.5f, 11.0f, 17.0f}},
      {"horizontal", {6, 1, 32, 0, 1, 3, 1}, vff(6, 1, 32, {3, 6, 9, 12, 15, 18}), {18.0f / 9, 45.0f / 9}},
      // 2^24 + 1 rounds back to 2^24 in float, so the three ones are lost; a
      // double sum would give (2^24 + 3) / 8, which rounds to 2097152.5.
      {"single precision", {2, 2, 32, 0, 1, 2, 2}, vff(2, 2, 32, {16777216, 1, 1, 1}), {2097152.0f}},
  };
  for (auto& row : rows) EXPECT_EQ(row.slab.read(row.file), row.rows) << row.name;
  EXPECT_EQ(rows[0].slab.out, "Reading file " + rows[0].slab.dir.file("p0.vff") + "\r");
}

TEST(ProjectionReaderDeathTest, MissingShortAndHeaderlessFilesEndTheRun) {
  // The skipped row 0 and working rows 1 to 3 need all 8 samples.
  const std::string end = "Error: end of input file reached!!!", eight = vff(2, 4, 16, ramp(8, 1));
  const struct { const char* name; std::string view, opposite; int bits; std::string message; } rows[] = {
      {"no view", "", "", 16, "Error: could not open infile <p0.vff>"},
      {"7 shorts", vff(2, 4, 16, ramp(7, 1)), "", 16, end},
      {"no form feed", "ncaa\nsize=2 4;\nbits=16;\n" + std::string(64, 'x'), "", 16, end},
      {"8-bit samples", eight, "", 8, "Error: unsupported sample width bits=8"},
      {"no companion", eight, "-", 16, "Error: could not open infile <p9.vff>"},
      {"7 shorts in the companion", eight, vff(2, 4, 16, ramp(7, 1)), 16, end},
  };
  for (const auto& row : rows) {
    Slab s(2, 4, row.bits, 1, 3, 1, 1, row.opposite.empty() ? 0 : 1);
    const std::string message = std::regex_replace(row.message, std::regex("<(.*)>"), s.dir.path() + "/$1");
    EXPECT_EQ(testutil::loggedEnd([&] { s.read(row.view, row.opposite); }), std::vector<std::string>{message}) << row.name;
  }
}

// P pad columns: min(P, ...) mirrored companion values, then a linear bridge
// from the last of them to the first measured value.
TEST(TruncatedReader, PadIsMirroredCompanionThenLinearBridge) {
  const std::string own = vff(8, 1, 16, ramp(8, 17)), opposite = vff(8, 1, 16, ramp(8, 0));
  struct { const char* name; Slab slab; std::string own, opposite; std::vector<float> row; } rows[] = {
      // Working row 1 of views 12 wide: 3 mirrored (the companion holds 0..11 there) and the most bridge values, 9,
      // in steps of 10 from the last mirrored value towards the first measured value, 109.
      {"P = 12", {12, 2, 32, 1, 1, 1, 1, 12}, vff(12, 2, 32, ramp(24, 97)), vff(12, 2, 32, ramp(24, -12)),
       {11, 10, 9, 19, 29, 39, 49, 59, 69, 79, 89, 99, 109, 110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120}},
      {"P = 5: 1 mirrored, 4 bridge", {8, 1, 16, 0, 1, 1, 1, 5}, own, opposite, {7, 9, 11, 13, 15, 17, 18, 19, 20, 21, 22, 23, 24}},
      {"P = 1: no bridge", {8, 1, 16, 0, 1, 1, 1, 1}, own, opposite, {7, 17, 18, 19, 20, 21, 22, 23, 24}},
      {"both views binned by 2", {8, 1, 16, 0, 1, 2, 1, 2}, vff(8, 1, 16, {40, 40, 44, 48, 52, 52, 60, 60}),
       vff(8, 1, 16, {0, 4, 8, 8, 12, 12, 16, 16}), {8, 14, 20, 23, 26, 30}},
  };
  for (auto& row : rows) EXPECT_EQ(row.slab.read(row.own, row.opposite), row.row) << row.name;
  const Slab& s = rows[0].slab;
  EXPECT_EQ(s.out, "Reading file " + s.dir.file("p0.vff") + " and file " + s.dir.file("p9.vff") + "\r");
}

// Half a turn later, wrapping round to the first view at exactly one turn.
TEST(CompanionNumber, HalfATurnLaterWrappingRound) {
  const struct { int first, increment, views, file, companion; } rows[] = {
      {0, 1, 360, 179, 359}, {0, 1, 360, 180, 0}, {100, 3, 5, 107, 114}, {100, 3, 5, 108, 100}};  // the last: a turn of 15
  for (const auto& row : rows) {
    ReconParams p{};
    p.firstFile = row.first, p.fileIncrement = row.increment, p.nang = row.views;
    EXPECT_EQ(companionFileNumber(p, row.file), row.companion) << row.file;
  }
}
