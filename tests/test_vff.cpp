// VFF headers: key lookup, merging the first projection's header under the
// command-line values, rejection of unusable headers, and the exact bytes of
// the headers written for output files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/params.h"
#include "support/testutil.h"
#include "vff/vff_detail.h"

using testutil::readFile;
using testutil::TempDir;

namespace {

// The record as the command line leaves it, and the driver's title and date.
struct Merge {
  ReconParams p;
  char header[kVffHeaderSize], title[200] = "old", date[20] = "old";
  Merge() {
    initReconParams(p);
    p.firstFile = 7;
  }
  // Writes `text` as view 7 of a series in `dir`, with samples after it, and
  // merges its header.
  void read(const TempDir& dir, const std::string& text) {
    testutil::writeFile(dir.file("view007.vff"), text + std::string(16, '\x01'));
    readVffHeader(p, header, title, date, dir.file("view%03d.vff").c_str());
  }
};

std::string withEntries(const std::string& entries) {
  return "ncaa\nrank=2;\nsize=64 32;\nbits=32;\n" + entries + "\f\n";
}

std::string written(const ReconParams& p, int bits) {
  TempDir dir;
  FILE* file = std::fopen(dir.file("out.vff").c_str(), "wb");
  std::fputs("AB", file);  // the header goes where the file stands
  writeVffHeader(p, "Scan 1", "2024-05-01", file, bits);
  std::fclose(file);
  return readFile(dir.file("out.vff"));
}

// An output record of a run with -j 2 -k 4 and no optional values.
ReconParams outputRecord() {
  ReconParams p;
  initReconParams(p);
  std::strcpy(p.subject, "mouse 3");
  p.xSize = 4, p.ySize = 3, p.zSize = 2, p.xOrigin = 1, p.yOrigin = 5, p.zOriginUser = 9;
  p.yBinSize = 2, p.zBinSize = 4;
  p.axisUser = 127.5f, p.centralSliceUser = 64.0f, p.rfanY = 1000.0f, p.rfanZ = 500.25f, p.angleIncrement = 0.5f;
  p.reverseOrder = kOn;
  p.minValue = -1.25f, p.maxValue = 3000.0f;
  return p;
}

const std::string kValues =
    "title=Scan 1;\nsubject=mouse 3;\ndate=2024-05-01;\ncenter_of_rotation=127.500000;\ncentral_slice=64.000000;\n"
    "rfan_y=1000.000000;\nrfan_z=500.250000;\nangle_increment=0.500000;\nreverse_order=yes;\nmin=-1.250000;\n"
    "max=3000.000000;\n";

}  // namespace

TEST(VffHeaderLookup, FirstOccurrenceWinsAndValueIsKeptVerbatim) {
  char value[kVffHeaderSize] = "previous";
  EXPECT_FALSE(getHeaderValue(value, "ncaa\nsize=2 2;\n", "rfan="));
  EXPECT_STREQ(value, "previous");
  EXPECT_TRUE(getHeaderValue(value, "ncaa\nx_size=10;\nsize=256 128;\n", "size="));
  EXPECT_STREQ(value, "10");
  EXPECT_TRUE(getHeaderValue(value, "ncaa\ntitle=bits=8 run;\nbits=16;\n", "bits="));
  EXPECT_STREQ(value, "8 run");
  EXPECT_TRUE(getHeaderValue(value, "ncaa\nsubject= a=b ;\n", "subject="));
  EXPECT_STREQ(value, " a=b ");
  EXPECT_TRUE(getHeaderValue(value, "ncaa\nbits=16\n\f", "bits="));
  EXPECT_STREQ(value, "16\n\f");
}

TEST(VffHeaderMerge, MinimalHeaderGivesSizesAndEmptyTexts) {
  TempDir dir;
  Merge m;
  testing::internal::CaptureStdout();
  m.read(dir, "ncaa\nrank=2;\ntype=raster;\nsize=256   128;\nbits=16;\n\f\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Reading header from file " + dir.file("view007.vff") + "\n");
  EXPECT_STREQ(m.header, "ncaa\nrank=2;\ntype=raster;\nsize=256   128;\nbits=16;\n\f");
  EXPECT_EQ(m.p.projWidth, 256);
  EXPECT_EQ(m.p.projHeight, 128);
  EXPECT_EQ(m.p.bits, 16);
  EXPECT_STREQ(m.p.subject, "");
  EXPECT_STREQ(m.title, "");
  EXPECT_STREQ(m.date, "");
  EXPECT_EQ(m.p.axisUser, -1.0f);
}

TEST(VffHeaderMerge, HeaderFillsOnlyFieldsTheCommandLineLeftUnset) {
  const std::string entries =
      "subject=rat;\ntitle=T1;\ndate=D1;\ncenter_of_rotation=127.25;\ncentral_slice=15.5;\nrfan=1000.0;\n"
      "angle_increment=0.75;\nstart_angle=12.5;\nkernel_length=33;\nx_origin=1;\ny_origin=2;\nz_origin=3;\n"
      "x_size=4;\ny_size=5;\nz_size=6;\n";
  TempDir dir;
  Merge unset;
  unset.read(dir, withEntries(entries));
  const ReconParams& u = unset.p;
  EXPECT_STREQ(u.subject, "rat");
  EXPECT_STREQ(unset.title, "T1");
  EXPECT_STREQ(unset.date, "D1");
  EXPECT_TRUE(u.axisUser == 127.25f && u.centralSliceUser == 15.5f && u.angleIncrement == 0.75f);
  EXPECT_TRUE(u.rfanY == 1000.0f && u.rfanZ == 1000.0f);
  EXPECT_TRUE(u.startAngleUser == 12.5f && u.startAngleGiven == 0);
  EXPECT_TRUE(u.kernelLength == 33 && u.xOrigin == 1 && u.yOrigin == 2 && u.zOrigin == 3);
  EXPECT_TRUE(u.xSize == 4 && u.ySize == 5 && u.zSize == 6);

  Merge given;
  ReconParams& g = given.p;
  g.axisUser = 100.0f, g.centralSliceUser = 0.0f, g.rfanY = 700.0f, g.rfanZ = 650.0f, g.angleIncrement = 1.0f;
  g.startAngleGiven = kOn, g.startAngleUser = 3.0f;
  g.kernelLength = 9, g.xOrigin = 0, g.yOrigin = 0, g.zOrigin = 0, g.xSize = 0, g.ySize = 0, g.zSize = 12;
  given.read(dir, withEntries(entries));
  EXPECT_TRUE(g.axisUser == 100.0f && g.centralSliceUser == 0.0f && g.angleIncrement == 1.0f);
  EXPECT_TRUE(g.rfanY == 700.0f && g.rfanZ == 650.0f && g.startAngleUser == 3.0f);
  EXPECT_TRUE(g.kernelLength == 9 && g.xOrigin == 0 && g.yOrigin == 0 && g.zOrigin == 0);
  EXPECT_TRUE(g.xSize == 0 && g.ySize == 0 && g.zSize == 12);
}

TEST(VffHeaderMerge, ReverseOrderYesTogglesTheFlag) {
  const struct {
    bool option;
    const char* entry;
    bool expected;
  } cases[] = {{true, "reverse_order=yes;\n", false},  {true, "reverse_order=no;\n", true},
               {false, "reverse_order=yes;\n", true},  {false, "reverse_order=YES;\n", false},
               {false, "reverse_order= yes;\n", false}, {true, "", true}};
  TempDir dir;
  for (const auto& c : cases) {
    Merge m;
    m.p.reverseOrder = c.option ? kOn : 0;
    m.read(dir, withEntries(c.entry));
    EXPECT_EQ(m.p.reverseOrder != 0, c.expected) << c.option << " " << c.entry;
  }
}

TEST(VffHeaderMerge, LongTextsAreCutAndAFullBufferIsAccepted) {
  TempDir dir;
  Merge m;
  std::string text(300, 'x');
  m.read(dir, withEntries("title=" + text + ";\ndate=" + text + ";\nsubject=" + text + ";\n"));
  EXPECT_EQ(std::string(m.title), std::string(199, 'x'));
  EXPECT_EQ(std::string(m.date), std::string(19, 'x'));
  EXPECT_EQ(std::string(m.p.subject), std::string(199, 'x'));

  std::string head = "ncaa\nsize=2 2;\nbits=16;";
  m.read(dir, head + std::string(kVffHeaderSize - 2 - head.size(), ' ') + "\f\n");
  EXPECT_EQ(std::strlen(m.header), static_cast<size_t>(kVffHeaderSize - 1));
}

TEST(VffHeaderDeathTest, UnusableHeadersAreLoggedAndEndTheRun) {
  const std::string ok = "ncaa\nsize=2 2;\nbits=16;\n";
  const struct {
    std::string contents;
    const char* message;  // %s stands for the file name
  } cases[] = {
      {"", "Error: could not open infile %s\n"},
      {ok, "Error: %s has no VFF header end (form feed) before the end of the file"},
      {ok + std::string(kVffHeaderSize, ' ') + "\f\n",
       "Error: header of %s is longer than 8191 characters (no form feed found)"},
      {"ncaa\nbits=16;\n\f\n", "Error: %s has no size= entry in its header"},
      {"ncaa\nsize=2 2;\n\f\n", "Error: %s has no bits= entry in its header"},
      {"ncaa\nsize=256;\nbits=16;\n\f\n", "Error: %s: size= must give two positive numbers, got '256'"},
      {"ncaa\nsize=-4 8;\nbits=16;\n\f\n", "Error: %s: size= must give two positive numbers, got '-4 8'"},
      {"ncaa\nsize=2 2;\nbits=8;\n\f\n", "Error: %s: projections must have bits=16 or bits=32, got 8"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::string name = dir.file("view007.vff"), log = dir.file("korvan.log");
    setenv("KORVAN_CONFIG", testutil::writeConfig(dir, log).c_str(), 1);
    Merge m;
    if (!c.contents.empty()) testutil::writeFile(name, c.contents);
    EXPECT_EXIT(readVffHeader(m.p, m.header, m.title, m.date, dir.file("view%03d.vff").c_str()),
                ::testing::ExitedWithCode(0), "");
    std::string expected = c.message;
    expected.replace(expected.find("%s"), 2, name);
    EXPECT_NE(readFile(log).find(": " + expected + "\n"), std::string::npos) << expected;
    unsetenv("KORVAN_CONFIG");
  }
}

TEST(VffHeaderWriter, VolumeAndSliceHeaderBytes) {
  const ReconParams p = outputRecord();
  EXPECT_EQ(written(p, 16), "ABncaa\nrank=3;\ntype=raster;\nsize=4 3 2;\norigin=1 5 2;\ny_bin=2;\nz_bin=4;\nbands=1;\n"
                            "bits=16;\nformat=slice;\n" + kValues + "spacing=1.00 1.00 2.00;\n\f\n");
  EXPECT_EQ(written(p, 32), "ABncaa\nrank=2;\ntype=raster;\nsize=4 3;\norigin=1 5;\ny_bin=2;\nz_bin=4;\nbands=1;\n"
                            "bits=32;\nformat=slice;\n" + kValues + "spacing=1.00 1.00;\n\f\n");
}

TEST(VffHeaderWriter, OptionalEntriesAppearOnlyWhenSet) {
  ReconParams p = outputRecord();
  p.zBinSize = 1, p.reverseOrder = 0;
  p.elementSize = 0.05f, p.waterValue = 0.2f, p.airValue = 0.0f, p.boneHU = 1500;
  char cmdLine[] = "korvan -i p%03d.vff -f 0";
  p.cmdLine = cmdLine;
  std::string bytes = written(p, 8);
  EXPECT_NE(bytes.find("origin=1 5 9;\ny_bin=2;\nz_bin=1;\nbands=1;\nbits=8;\n"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("\nreverse_order=no;\nmin="), std::string::npos);
  EXPECT_NE(bytes.find("\nspacing=1.00 1.00 0.50;\nelementsize=0.050000;\nwater=0.200000;\nair=0.000000;\n"
                       "boneHU=1500;\ncmdLine=\"korvan -i p%03d.vff -f 0\";\n\f\n"),
            std::string::npos);

  p.elementSize = -1.0f, p.boneHU = -1, p.cmdLine = nullptr;
  bytes = written(p, 8);
  EXPECT_NE(bytes.find("\nspacing=1.00 1.00 0.50;\nwater=0.200000;\nair=0.000000;\n\f\n"), std::string::npos);
}
