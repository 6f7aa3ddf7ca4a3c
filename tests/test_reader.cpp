// Projection reader: big-endian 16-bit and float views written by the test,
// the slab's row window, block-average binning, short and malformed files,
// the composed rows of width-truncated data and the companion numbering.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/params.h"
#include "host/host.h"
#include "support/testutil.h"
#include "vff/vff.h"

using testutil::writeFile;

namespace {

using Row = std::vector<float>;

// A record for one slab as geometry setup leaves it: files of width x height
// samples, `rows` working rows from working row `first`, the working arrays;
// `pad` columns added on the left for width-truncated data.
struct Slab {
  testutil::TempDir dir;
  ReconParams p;
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
  // Reads `view` (and `opposite` for width-truncated data; "" and "-": no
  // file); returns the console output and the working rows.
  std::pair<std::string, std::vector<Row>> read(const std::string& view, const std::string& opposite = "") {
    if (!view.empty()) writeFile(dir.file("p0.vff"), view);
    testing::internal::CaptureStdout();
    if (opposite.empty()) {
      readProjection(p, dir.file("p0.vff").c_str());
    } else {
      if (opposite != "-") writeFile(dir.file("p9.vff"), opposite);
      readTruncatedProjection(p, dir.file("p0.vff").c_str(), dir.file("p9.vff").c_str());
    }
    std::vector<Row> rows;
    for (int r = 0; r < p.zprojSize; ++r) rows.emplace_back(p.projection + r * p.yprojSizeUser, p.projection + (r + 1) * p.yprojSizeUser);
    return {testing::internal::GetCapturedStdout(), rows};
  }
};

std::string vff(int width, int height, int bits, const std::vector<double>& samples) {
  return testutil::vffFile({width, height}, bits, {"title=view;"}, samples);
}

std::vector<double> ramp(int count, double start, double step = 1.0) {
  std::vector<double> values(count);
  for (int i = 0; i < count; ++i) values[i] = start + step * i;
  return values;
}

}  // namespace

TEST(ProjectionReader, SamplesAreBigEndianShortsOrFloatsCopiedBitForBit) {
  Slab shorts(3, 2, 16, 0, 2);
  const auto [console, rows] = shorts.read(vff(3, 2, 16, {0, 1, -1, 32767, -32768, 258}));
  EXPECT_EQ(console, "Reading file " + shorts.dir.file("p0.vff") + "\r");
  EXPECT_EQ(rows, (std::vector<Row>{{0, 1, -1}, {32767, -32768, 258}}));
  const Row samples = {-0.0f, 1e-40f, 3.14159274f, -2.5e30f};
  Slab floats(2, 2, 32, 0, 2);
  floats.read(vff(2, 2, 32, std::vector<double>(samples.begin(), samples.end())));
  EXPECT_EQ(std::memcmp(floats.p.projection, samples.data(), sizeof(float) * samples.size()), 0);
}

// The window skips leading rows and ignores trailing ones; binned blocks are
// summed in float and divided by zBin * yBin^2.
TEST(ProjectionBinning, WindowAndBlockSums) {
  std::vector<double> squares(24);
  for (int i = 0; i < 24; ++i) squares[i] = i * i;
  struct {
    const char* name;
    Slab slab;
    std::string file;
    std::vector<Row> rows;
  } rows[] = {
      {"window", {3, 5, 32, 2, 2}, vff(3, 5, 32, ramp(15, 0)), {{6, 7, 8}, {9, 10, 11}}},
      {"2 x 2 blocks, first working row skipped", {4, 6, 16, 1, 2, 2, 2}, vff(4, 6, 16, squares),
       {{(64 + 81 + 144 + 169) / 8.0f, (100 + 121 + 196 + 225) / 8.0f},
        {(256 + 289 + 400 + 441) / 8.0f, (324 + 361 + 484 + 529) / 8.0f}}},
      {"vertical", {3, 2, 32, 0, 1, 1, 2}, vff(3, 2, 32, {1, 2, 3, 10, 20, 31}), {{5.5f, 11.0f, 17.0f}}},
      {"horizontal", {6, 1, 32, 0, 1, 3, 1}, vff(6, 1, 32, ramp(6, 3, 3)), {{18.0f / 9, 45.0f / 9}}},
      // 2^24 + 1 rounds back to 2^24 in float, so the three ones are lost; a
      // double sum would give (2^24 + 3) / 8, which rounds to 2097152.5.
      {"single precision", {2, 2, 32, 0, 1, 2, 2}, vff(2, 2, 32, {16777216, 1, 1, 1}), {{2097152.0f}}},
  };
  for (auto& row : rows) EXPECT_EQ(row.slab.read(row.file).second, row.rows) << row.name;
}

TEST(ProjectionReaderDeathTest, MissingShortAndHeaderlessFilesEndTheRun) {
  // The skipped row 0 and working rows 1 to 3 need all 8 samples.
  const std::string end = "Error: end of input file reached!!!";
  const struct {
    std::string contents, opposite;  // opposite: a width-truncated pair ("-": missing)
    int bits;
    std::string message;  // %s stands for the missing file
  } rows[] = {
      {"", "", 16, "Error: could not open infile %s"},
      {vff(2, 4, 16, ramp(7, 1)), "", 16, end},
      {vff(2, 4, 16, {1}), "", 16, end},
      {vff(2, 4, 32, ramp(7, 1)), "", 32, end},
      {"ncaa\nsize=2 4;\nbits=16;\n" + std::string(64, 'x'), "", 16, end},
      {vff(2, 4, 16, ramp(8, 1)), "", 8, "Error: unsupported sample width bits=8"},
      {vff(2, 4, 16, ramp(8, 1)), "-", 16, "Error: could not open infile %s"},
      {vff(2, 4, 16, ramp(8, 1)), vff(2, 4, 16, ramp(7, 1)), 16, end},
  };
  for (const auto& row : rows) {
    Slab s(2, 4, row.bits, 1, 3, 1, 1, row.opposite.empty() ? 0 : 1);
    const std::string name = s.dir.file(row.opposite.empty() ? "p0.vff" : "p9.vff");
    std::string message = row.message;
    if (message.find("%s") != std::string::npos) message.replace(message.find("%s"), 2, name);
    EXPECT_EQ(testutil::loggedEnd([&] { s.read(row.contents, row.opposite); }), std::vector<std::string>{message})
        << message;
  }
}

// P pad columns: min(P, ...) mirrored companion values, then a linear bridge
// from the last of them to the first measured value.
TEST(TruncatedReader, PadIsMirroredCompanionThenLinearBridge) {
  // P = 20: 11 mirrored and 9 bridge values. Working row 1 is read: the
  // companion holds 24..47 there, the view 117 + c; the bridge runs from the
  // last mirrored value 37 towards 117 in ten steps of 8.
  std::vector<double> own(48, -5.0);
  for (int c = 0; c < 24; ++c) own[24 + c] = 117.0 + c;
  Slab wide(24, 2, 32, 1, 1, 1, 1, 20);
  const auto [console, rows] = wide.read(vff(24, 2, 32, own), vff(24, 2, 32, ramp(48, 0)));
  EXPECT_EQ(console, "Reading file " + wide.dir.file("p0.vff") + " and file " + wide.dir.file("p9.vff") + "\r");
  Row expected;
  for (const auto& part : {ramp(11, 47, -1), ramp(9, 45, 8), ramp(24, 117)}) expected.insert(expected.end(), part.begin(), part.end());
  EXPECT_EQ(rows[0], expected);

  // P = 5: one mirrored value and a bridge of 4; P = 1: no bridge at all;
  // binned by 2: both views are binned.
  const std::string own8 = vff(8, 1, 16, ramp(8, 17)), opposite8 = vff(8, 1, 16, ramp(8, 0));
  EXPECT_EQ(Slab(8, 1, 16, 0, 1, 1, 1, 5).read(own8, opposite8).second[0], (Row{7, 9, 11, 13, 15, 17, 18, 19, 20, 21, 22, 23, 24}));
  EXPECT_EQ(Slab(8, 1, 16, 0, 1, 1, 1, 1).read(own8, opposite8).second[0], (Row{7, 17, 18, 19, 20, 21, 22, 23, 24}));
  EXPECT_EQ(Slab(8, 1, 16, 0, 1, 2, 1, 2).read(vff(8, 1, 16, {40, 40, 44, 48, 52, 52, 60, 60}),
                                               vff(8, 1, 16, {0, 4, 8, 8, 12, 12, 16, 16})).second[0],
            (Row{8, 14, 20, 23, 26, 30}));
}

TEST(CompanionNumber, HalfATurnLaterWrappingRound) {
  const struct {
    int first, increment, views, file, companion;
  } rows[] = {{0, 1, 360, 0, 180},   {0, 1, 360, 179, 359}, {0, 1, 360, 180, 0},
              {0, 1, 360, 200, 20},  {0, 2, 180, 10, 190},  {0, 2, 180, 190, 10},
              {100, 3, 5, 107, 114}, {100, 3, 5, 108, 100}};  // the last: a turn of 15 numbers
  for (const auto& row : rows) {
    ReconParams p;
    initReconParams(p);
    p.firstFile = row.first, p.fileIncrement = row.increment, p.nang = row.views;
    EXPECT_EQ(companionFileNumber(p, row.file), row.companion) << row.file;
  }
}
