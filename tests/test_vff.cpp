// VFF headers: key lookup, merging the first projection's header under the
// command-line values, rejection of unusable headers, and the exact bytes of
// the headers written for output files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "driver/params.h"
#include "support/testutil.h"
#include "vff/vff_detail.h"

using testutil::TempDir;

namespace {

// The record as the command line leaves it, and the driver's title and date.
struct Merge {
  TempDir dir;
  ReconParams p;
  char header[kVffHeaderSize], title[200] = "old", date[20] = "old";
  Merge() { initReconParams(p), p.firstFile = 7; }
  // Merges `text` as the header of view 7, with samples after it.
  void read(const std::string& text) {
    testutil::writeFile(dir.file("view007.vff"), text + std::string(16, '\x01'));
    readVffHeader(p, header, title, date, dir.file("view%03d.vff").c_str());
  }
  std::string fields() const {
    std::ostringstream s;
    s << p.projWidth << "x" << p.projHeight << "x" << p.bits << " " << p.subject << "/" << title << "/" << date << " "
      << p.axisUser << " " << p.centralSliceUser << " " << p.rfanY << "," << p.rfanZ << " " << p.angleIncrement << " "
      << p.startAngleUser << (p.startAngleGiven ? "!" : "") << " " << p.kernelLength << " " << p.xOrigin << ","
      << p.yOrigin << "," << p.zOrigin << " " << p.xSize << "," << p.ySize << "," << p.zSize;
    return s.str();
  }
};

std::string withEntries(const std::string& entries) { return "ncaa\nrank=2;\nsize=64 32;\nbits=32;\n" + entries + "\f\n"; }

std::string written(const ReconParams& p, int bits) {
  TempDir dir;
  FILE* file = std::fopen(dir.file("out.vff").c_str(), "wb");
  std::fputs("AB", file);  // the header goes where the file stands
  writeVffHeader(p, "Scan 1", "2024-05-01", file, bits);
  std::fclose(file);
  return testutil::readFile(dir.file("out.vff"));
}

}  // namespace

// The header fills only what the command line left unset (-1, or no text).
TEST(VffHeaderMerge, HeaderFillsOnlyFieldsTheCommandLineLeftUnset) {
  Merge minimal;
  testing::internal::CaptureStdout();
  minimal.read("ncaa\nrank=2;\ntype=raster;\nsize=256   128;\nbits=16;\n\f\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Reading header from file " + minimal.dir.file("view007.vff") + "\n");
  EXPECT_STREQ(minimal.header, "ncaa\nrank=2;\ntype=raster;\nsize=256   128;\nbits=16;\n\f");
  EXPECT_EQ(minimal.fields(), "256x128x16 // -1 -1 -1,0 -1 0 -1 -1,-1,-1 -1,-1,-1");

  const std::string entries =
      "subject=rat;\ntitle=T1;\ndate=D1;\ncenter_of_rotation=127.25;\ncentral_slice=15.5;\nrfan=1000.0;\n"
      "angle_increment=0.75;\nstart_angle=12.5;\nkernel_length=33;\nx_origin=1;\ny_origin=2;\nz_origin=3;\n"
      "x_size=4;\ny_size=5;\nz_size=6;\n";
  Merge unset, given;
  unset.read(withEntries(entries));
  EXPECT_EQ(unset.fields(), "64x32x32 rat/T1/D1 127.25 15.5 1000,1000 0.75 12.5 33 1,2,3 4,5,6");
  ReconParams& g = given.p;
  g.axisUser = 100.0f, g.centralSliceUser = 0.0f, g.rfanY = 700.0f, g.rfanZ = 650.0f, g.angleIncrement = 1.0f;
  g.startAngleGiven = kOn, g.startAngleUser = 3.0f;
  g.kernelLength = 9, g.xOrigin = 0, g.yOrigin = 0, g.zOrigin = 0, g.xSize = 0, g.ySize = 0, g.zSize = 12;
  given.read(withEntries(entries));
  EXPECT_EQ(given.fields(), "64x32x32 rat/T1/D1 100 0 700,650 1 3! 9 0,0,0 0,0,12");
}

TEST(VffHeaderMerge, ReverseOrderYesTogglesTheFlagAndLongTextsAreCut) {
  const struct {
    bool option;
    const char* entry;
    bool expected;
  } rows[] = {{true, "reverse_order=yes;\n", false},  {true, "reverse_order=no;\n", true},
              {false, "reverse_order=yes;\n", true},  {false, "reverse_order=YES;\n", false},
              {false, "reverse_order= yes;\n", false}, {true, "", true}};
  for (const auto& row : rows) {
    Merge m;
    m.p.reverseOrder = row.option ? kOn : 0;
    m.read(withEntries(row.entry));
    EXPECT_EQ(m.p.reverseOrder != 0, row.expected) << row.option << " " << row.entry;
  }
  Merge m;
  const std::string text(300, 'x');
  m.read(withEntries("title=" + text + ";\ndate=" + text + ";\nsubject=" + text + ";\n"));
  EXPECT_EQ(std::string(m.title) + "/" + m.date + "/" + m.p.subject,
            std::string(199, 'x') + "/" + std::string(19, 'x') + "/" + std::string(199, 'x'));
  const std::string head = "ncaa\nsize=2 2;\nbits=16;";  // a header that fills the buffer is accepted
  m.read(head + std::string(kVffHeaderSize - 2 - head.size(), ' ') + "\f\n");
  EXPECT_EQ(std::strlen(m.header), static_cast<size_t>(kVffHeaderSize - 1));
}

TEST(VffHeaderDeathTest, UnusableHeadersAreLoggedAndEndTheRun) {
  const std::string ok = "ncaa\nsize=2 2;\nbits=16;\n";
  const struct {
    std::string contents;
    const char* message;  // %s stands for the file name
  } rows[] = {
      {"", "Error: could not open infile %s\n"},
      {ok, "Error: %s has no VFF header end (form feed) before the end of the file"},
      {ok + std::string(kVffHeaderSize, ' ') + "\f\n", "Error: header of %s is longer than 8191 characters (no form feed found)"},
      {"ncaa\nbits=16;\n\f\n", "Error: %s has no size= entry in its header"},
      {"ncaa\nsize=2 2;\n\f\n", "Error: %s has no bits= entry in its header"},
      {"ncaa\nsize=256;\nbits=16;\n\f\n", "Error: %s: size= must give two positive numbers, got '256'"},
      {"ncaa\nsize=-4 8;\nbits=16;\n\f\n", "Error: %s: size= must give two positive numbers, got '-4 8'"},
      {"ncaa\nsize=2 2;\nbits=8;\n\f\n", "Error: %s: projections must have bits=16 or bits=32, got 8"},
  };
  for (const auto& row : rows) {
    Merge m;
    const std::string name = m.dir.file("view007.vff");
    if (!row.contents.empty()) testutil::writeFile(name, row.contents);
    std::string expected = row.message;
    expected.replace(expected.find("%s"), 2, name);
    EXPECT_EQ(testutil::loggedEnd([&] { readVffHeader(m.p, m.header, m.title, m.date, m.dir.file("view%03d.vff").c_str()); }),
              std::vector<std::string>{expected});
  }
}

// An output record of a run with -j 2 -k 4: the volume's z origin and
// spacing count binned slices; optional entries appear only when set.
TEST(VffHeaderWriter, VolumeAndSliceHeaderBytes) {
  ReconParams p;
  initReconParams(p);
  std::strcpy(p.subject, "mouse 3");
  p.xSize = 4, p.ySize = 3, p.zSize = 2, p.xOrigin = 1, p.yOrigin = 5, p.zOriginUser = 9;
  p.yBinSize = 2, p.zBinSize = 4;
  p.axisUser = 127.5f, p.centralSliceUser = 64.0f, p.rfanY = 1000.0f, p.rfanZ = 500.25f, p.angleIncrement = 0.5f;
  p.reverseOrder = kOn;
  p.minValue = -1.25f, p.maxValue = 3000.0f;
  const std::string values =
      "title=Scan 1;\nsubject=mouse 3;\ndate=2024-05-01;\ncenter_of_rotation=127.500000;\ncentral_slice=64.000000;\n"
      "rfan_y=1000.000000;\nrfan_z=500.250000;\nangle_increment=0.500000;\nreverse_order=yes;\nmin=-1.250000;\n"
      "max=3000.000000;\n";
  EXPECT_EQ(written(p, 16), "ABncaa\nrank=3;\ntype=raster;\nsize=4 3 2;\norigin=1 5 2;\ny_bin=2;\nz_bin=4;\nbands=1;\n"
                            "bits=16;\nformat=slice;\n" + values + "spacing=1.00 1.00 2.00;\n\f\n");
  EXPECT_EQ(written(p, 32), "ABncaa\nrank=2;\ntype=raster;\nsize=4 3;\norigin=1 5;\ny_bin=2;\nz_bin=4;\nbands=1;\n"
                            "bits=32;\nformat=slice;\n" + values + "spacing=1.00 1.00;\n\f\n");

  // Optional entries appear only when set.
  p.elementSize = 0.05f, p.waterValue = 0.2f, p.airValue = 0.0f, p.boneHU = 1500;
  char cmdLine[] = "korvan -i p%03d.vff -f 0";
  p.cmdLine = cmdLine;
  EXPECT_NE(written(p, 8).find("\nspacing=1.00 1.00 2.00;\nelementsize=0.050000;\nwater=0.200000;\nair=0.000000;\nboneHU=1500;\n"
                               "cmdLine=\"korvan -i p%03d.vff -f 0\";\n\f\n"), std::string::npos) << written(p, 8);
  p.elementSize = -1.0f, p.boneHU = -1, p.cmdLine = nullptr;
  EXPECT_NE(written(p, 8).find("\nspacing=1.00 1.00 2.00;\nwater=0.200000;\nair=0.000000;\n\f\n"), std::string::npos) << written(p, 8);
}
