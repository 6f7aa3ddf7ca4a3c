// Projection reader: big-endian 16-bit and float views written by the test,
// the slab's row window, block-average binning, short and malformed files,
// the composed rows of width-truncated data and the companion numbering.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/params.h"
#include "host/host.h"
#include "support/testutil.h"
#include "vff/vff.h"

using testutil::TempDir;
using testutil::writeFile;

namespace {

// A record for one slab as geometry setup leaves it: files of width x height
// samples, `rows` working rows from working row `first`, the working arrays;
// `pad` columns added on the left for width-truncated data.
struct Slab {
  ReconParams p;
  Slab(int width, int height, int bits, int first, int rows, int yBin = 1, int zBin = 1, int pad = 0) {
    initReconParams(p);
    p.projWidth = width, p.projHeight = height, p.bits = bits;
    p.yBinSize = yBin, p.zBinSize = zBin;
    p.yBinGiven = yBin > 1 ? kOn : 0, p.zBinGiven = zBin > 1 ? kOn : 0;
    p.truncWidth = width / yBin, p.truncPad = pad;
    p.yprojSizeUser = width / yBin + pad;
    p.zprojSize = rows;
    p.centralSlice = 3.25f, p.centralSliceUser = 3.25f + static_cast<float>(first);
    long raw = static_cast<long>(rows) * zBin * width;
    p.projection = vector(static_cast<long>(rows) * p.yprojSizeUser);
    p.rawShort = svector(raw);
    p.rawFloat = vector(raw);
  }
  ~Slab() { freeReconArrays(p); }
  std::vector<float> row(int r) const {
    return std::vector<float>(p.projection + r * p.yprojSizeUser, p.projection + (r + 1) * p.yprojSizeUser);
  }
};

std::string shortView(int width, int height, const std::vector<int16_t>& samples) {
  return testutil::vffFile({width, height}, 16, {"title=view;"}, std::vector<double>(samples.begin(), samples.end()));
}

std::string floatView(int width, int height, const std::vector<float>& samples) {
  return testutil::vffFile({width, height}, 32, {}, std::vector<double>(samples.begin(), samples.end()));
}

std::vector<float> ramp(int count, float start, float step = 1.0f) {
  std::vector<float> values(count);
  for (int i = 0; i < count; ++i) values[i] = start + step * static_cast<float>(i);
  return values;
}

// Reads `contents` as a view of slab `s`; returns the console output.
std::string readView(Slab& s, const TempDir& dir, const std::string& contents) {
  writeFile(dir.file("p0.vff"), contents);
  testing::internal::CaptureStdout();
  readProjection(s.p, dir.file("p0.vff").c_str());
  return testing::internal::GetCapturedStdout();
}

std::string readPair(Slab& s, const TempDir& dir, const std::string& view, const std::string& opposite) {
  writeFile(dir.file("p0.vff"), view);
  writeFile(dir.file("p9.vff"), opposite);
  testing::internal::CaptureStdout();
  readTruncatedProjection(s.p, dir.file("p0.vff").c_str(), dir.file("p9.vff").c_str());
  return testing::internal::GetCapturedStdout();
}

// Runs `read` in a child process that must end the run having logged
// exactly `message`.
template <typename Read>
void expectLoggedEnd(const TempDir&, Read read, const std::string& message) {
  EXPECT_EQ(testutil::loggedEnd(read), std::vector<std::string>{message});
}

}  // namespace

TEST(ProjectionReader, SamplesAreBigEndianSignedShortsOrFloatsCopiedBitForBit) {
  TempDir dir;
  Slab shorts(3, 2, 16, 0, 2);
  EXPECT_EQ(readView(shorts, dir, shortView(3, 2, {0, 1, -1, 32767, -32768, 258})),
            "Reading file " + dir.file("p0.vff") + "\r");
  EXPECT_EQ(shorts.row(0), (std::vector<float>{0.0f, 1.0f, -1.0f}));
  EXPECT_EQ(shorts.row(1), (std::vector<float>{32767.0f, -32768.0f, 258.0f}));

  const std::vector<float> samples = {-0.0f, 1e-40f, 3.14159274f, -2.5e30f};
  Slab floats(2, 2, 32, 0, 2);
  readView(floats, dir, floatView(2, 2, samples));
  EXPECT_EQ(std::memcmp(floats.p.projection, samples.data(), sizeof(float) * samples.size()), 0);
}

TEST(ProjectionReader, RowWindowSkipsLeadingRowsAndIgnoresTrailingRows) {
  TempDir dir;
  Slab s(3, 5, 32, 2, 2);
  readView(s, dir, floatView(3, 5, ramp(15, 0.0f)));
  EXPECT_EQ(s.row(0), ramp(3, 6.0f));
  EXPECT_EQ(s.row(1), ramp(3, 9.0f));
}

TEST(ProjectionBinning, BlockSumsAreDividedByZBinTimesYBinSquared) {
  TempDir dir;
  // 2 x 2 blocks divide by 8. Rows 0-1 form working row 0 and are skipped.
  std::vector<int16_t> squares(24);
  for (int i = 0; i < 24; ++i) squares[i] = static_cast<int16_t>(i * i);
  Slab both(4, 6, 16, 1, 2, 2, 2);
  readView(both, dir, shortView(4, 6, squares));
  EXPECT_EQ(both.row(0), (std::vector<float>{(64 + 81 + 144 + 169) / 8.0f, (100 + 121 + 196 + 225) / 8.0f}));
  EXPECT_EQ(both.row(1), (std::vector<float>{(256 + 289 + 400 + 441) / 8.0f, (324 + 361 + 484 + 529) / 8.0f}));

  Slab vertical(3, 2, 32, 0, 1, 1, 2);
  readView(vertical, dir, floatView(3, 2, {1.0f, 2.0f, 3.0f, 10.0f, 20.0f, 31.0f}));
  EXPECT_EQ(vertical.row(0), (std::vector<float>{5.5f, 11.0f, 17.0f}));

  Slab horizontal(6, 1, 32, 0, 1, 3, 1);
  readView(horizontal, dir, floatView(6, 1, ramp(6, 3.0f, 3.0f)));
  EXPECT_EQ(horizontal.row(0), (std::vector<float>{18.0f / 9, 45.0f / 9}));
}

TEST(ProjectionBinning, SumIsAccumulatedInSinglePrecision) {
  TempDir dir;
  // 2^24 + 1 rounds back to 2^24 in float, so the three ones are lost; a
  // double sum would give (2^24 + 3) / 8, which rounds to 2097152.5.
  Slab s(2, 2, 32, 0, 1, 2, 2);
  readView(s, dir, floatView(2, 2, {16777216.0f, 1.0f, 1.0f, 1.0f}));
  EXPECT_EQ(s.row(0), std::vector<float>{2097152.0f});
}

TEST(ProjectionReaderDeathTest, MissingShortAndHeaderlessFilesEndTheRun) {
  // The skipped row 0 and working rows 1 to 3 need all 8 samples.
  const struct {
    std::string contents;
    int bits;
    const char* message;
  } cases[] = {
      {"", 16, "Error: could not open infile %s"},
      {shortView(2, 4, {1, 2, 3, 4, 5, 6, 7}), 16, "Error: end of input file reached!!!"},
      {shortView(2, 4, {1}), 16, "Error: end of input file reached!!!"},
      {floatView(2, 4, std::vector<float>(7, 1.0f)), 32, "Error: end of input file reached!!!"},
      {"ncaa\nsize=2 4;\nbits=16;\n" + std::string(64, 'x'), 16, "Error: end of input file reached!!!"},
      {shortView(2, 4, std::vector<int16_t>(8, 1)), 8, "Error: unsupported sample width bits=8"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::string name = dir.file("p0.vff"), message = c.message;
    if (message.find("%s") != std::string::npos) message.replace(message.find("%s"), 2, name);
    if (!c.contents.empty()) writeFile(name, c.contents);
    Slab s(2, 4, c.bits, 1, 3);
    expectLoggedEnd(dir, [&] { readProjection(s.p, name.c_str()); }, message);
  }
}

TEST(TruncatedReader, PadIsMirroredCompanionThenLinearBridge) {
  TempDir dir;
  // P = 20: 11 mirrored and 9 bridge values. Working row 1 is read: the
  // companion holds 24..47 there, the view 117 + c; the bridge runs from the
  // last mirrored value 37 towards 117 in ten steps of 8.
  std::vector<float> own(48, -5.0f);
  for (int c = 0; c < 24; ++c) own[24 + c] = 117.0f + static_cast<float>(c);
  Slab wide(24, 2, 32, 1, 1, 1, 1, 20);
  EXPECT_EQ(readPair(wide, dir, floatView(24, 2, own), floatView(24, 2, ramp(48, 0.0f))),
            "Reading file " + dir.file("p0.vff") + " and file " + dir.file("p9.vff") + "\r");
  std::vector<float> expected = ramp(11, 47.0f, -1.0f), bridge = ramp(9, 45.0f, 8.0f), measured = ramp(24, 117.0f);
  expected.insert(expected.end(), bridge.begin(), bridge.end());
  expected.insert(expected.end(), measured.begin(), measured.end());
  EXPECT_EQ(wide.row(0), expected);

  // P = 5: one mirrored value and a bridge of 4; P = 1: no bridge at all.
  const std::string view = shortView(8, 1, {17, 18, 19, 20, 21, 22, 23, 24});
  const std::string opposite = shortView(8, 1, {0, 1, 2, 3, 4, 5, 6, 7});
  Slab five(8, 1, 16, 0, 1, 1, 1, 5);
  readPair(five, dir, view, opposite);
  EXPECT_EQ(five.row(0), (std::vector<float>{7, 9, 11, 13, 15, 17, 18, 19, 20, 21, 22, 23, 24}));
  Slab one(8, 1, 16, 0, 1, 1, 1, 1);
  readPair(one, dir, view, opposite);
  EXPECT_EQ(one.row(0), (std::vector<float>{7, 17, 18, 19, 20, 21, 22, 23, 24}));
}

TEST(TruncatedReader, BothViewsAreBinned) {
  TempDir dir;
  // Working width 4 after binning by 2: each value is a pair sum over 4.
  Slab s(8, 1, 16, 0, 1, 2, 1, 2);
  readPair(s, dir, shortView(8, 1, {40, 40, 44, 48, 52, 52, 60, 60}), shortView(8, 1, {0, 4, 8, 8, 12, 12, 16, 16}));
  EXPECT_EQ(s.row(0), (std::vector<float>{8, 14, 20, 23, 26, 30}));
}

TEST(TruncatedReaderDeathTest, CompanionFailuresEndTheRun) {
  TempDir dir;
  std::string view = dir.file("p0.vff"), opposite = dir.file("p9.vff");
  writeFile(view, shortView(4, 1, {1, 2, 3, 4}));
  Slab s(4, 1, 16, 0, 1, 1, 1, 3);
  auto read = [&] { readTruncatedProjection(s.p, view.c_str(), opposite.c_str()); };
  expectLoggedEnd(dir, read, "Error: could not open infile " + opposite);
  writeFile(opposite, shortView(4, 1, {1, 2, 3}));
  expectLoggedEnd(dir, read, "Error: end of input file reached!!!");
}

TEST(CompanionNumber, HalfATurnLaterWrappingRound) {
  ReconParams p;
  initReconParams(p);
  p.firstFile = 0, p.fileIncrement = 1, p.nang = 360;
  EXPECT_EQ(companionFileNumber(p, 0), 180);
  EXPECT_EQ(companionFileNumber(p, 179), 359);
  EXPECT_EQ(companionFileNumber(p, 180), 0);
  EXPECT_EQ(companionFileNumber(p, 200), 20);
  p.fileIncrement = 2, p.nang = 180;
  EXPECT_EQ(companionFileNumber(p, 10), 190);
  EXPECT_EQ(companionFileNumber(p, 190), 10);
  p.firstFile = 100, p.fileIncrement = 3, p.nang = 5;  // a turn of 15 numbers
  EXPECT_EQ(companionFileNumber(p, 107), 114);
  EXPECT_EQ(companionFileNumber(p, 108), 100);
}
