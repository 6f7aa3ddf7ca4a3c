// VFF headers: the first view's header merged under the command-line values,
// unusable headers refused, and the exact bytes of an output header.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "driver/params.h"
#include "support/testutil.h"
#include "vff/vff_detail.h"

namespace {

// The record as the command line leaves it, and the driver's title and date.
struct Merge {
  testutil::TempDir dir;
  ReconParams p;
  char header[kVffHeaderSize], title[200] = "old", date[20] = "old";
  Merge() { initReconParams(p), p.firstFile = 7; }
  // Merges `text` (none: no file) as the header of view 7, with samples after it.
  void read(const std::string& text) {
    if (!text.empty()) testutil::writeFile(dir.file("view007.vff"), text + std::string(16, '\x01'));
    readVffHeader(p, header, title, date, dir.file("view%03d.vff").c_str());
  }
};

}  // namespace

// The header fills only what the command line left unset (-1, or no text),
// and its "reverse_order=yes" toggles -m. The header is kept up to its form feed.
TEST(VffHeaderMerge, HeaderFillsOnlyFieldsTheCommandLineLeftUnset) {
  const std::string base = "ncaa\nrank=2;\nsize=64 32;\nbits=32;\n", x(300, 'x'), unset = "// -1 -1 -1,0 -1 0 -1 -1,-1,-1 -1,-1,-1";
  const std::string all = base + "subject=rat;\ntitle=T1;\ndate=D1;\ncenter_of_rotation=127.25;\ncentral_slice=15.5;\n"
      "rfan=1000.0;\nangle_increment=0.75;\nstart_angle=12.5;\nkernel_length=33;\nx_origin=1;\ny_origin=2;\nz_origin=3;\n"
      "x_size=4;\ny_size=5;\nz_size=6;\nreverse_order=yes;\n", head = "ncaa\nsize=2 2;\nbits=16;";
  const struct { const char* name; bool given; std::string text, fields; } rows[] = {
      {"blanks in size=", false, "ncaa\nrank=2;\ntype=raster;\nsize=256   128;\nbits=16;\n", "256x128x16 " + unset},
      {"every entry; yes sets -m", false, all, "64x32x32 rat/T1/D1 127.25 15.5 1000,1000 0.75 12.5 33 1,2,3 4,5,6 m"},
      {"the command line wins; yes clears -m", true, all, "64x32x32 rat/T1/D1 100 0 700,650 1 3! 9 0,0,0 0,0,12"},
      {"no keeps -m", true, base + "reverse_order=no;\n", "64x32x32 // 100 0 700,650 1 3! 9 0,0,0 0,0,12 m"},
      {"YES is not yes", false, base + "reverse_order=YES;\n", "64x32x32 " + unset},
      {"long texts cut", false, base + "subject=" + x + ";\ntitle=" + x + ";\ndate=" + x + ";\n",
       "64x32x32 " + x.substr(101) + "/" + x.substr(101) + "/" + x.substr(281) + unset.substr(2)},
      {"a header that fills the buffer", false, head + std::string(kVffHeaderSize - 2 - head.size(), ' '), "2x2x16 " + unset},
  };
  for (const auto& row : rows) {
    Merge m;
    ReconParams& g = m.p;
    if (row.given) g.axisUser = 100, g.centralSliceUser = 0, g.rfanY = 700, g.rfanZ = 650, g.angleIncrement = 1, g.startAngleUser = 3;
    if (row.given) g.startAngleGiven = g.reverseOrder = kOn, g.kernelLength = 9, g.xOrigin = g.yOrigin = g.zOrigin = 0;
    if (row.given) g.xSize = g.ySize = 0, g.zSize = 12;
    m.read(row.text + "\f\n");
    std::ostringstream s;
    s << g.projWidth << "x" << g.projHeight << "x" << g.bits << " " << g.subject << "/" << m.title << "/" << m.date << " "
      << g.axisUser << " " << g.centralSliceUser << " " << g.rfanY << "," << g.rfanZ << " " << g.angleIncrement << " "
      << g.startAngleUser << (g.startAngleGiven ? "! " : " ") << g.kernelLength << " " << g.xOrigin << "," << g.yOrigin
      << "," << g.zOrigin << " " << g.xSize << "," << g.ySize << "," << g.zSize << (g.reverseOrder ? " m" : "");
    EXPECT_EQ(s.str() + "|" + m.header, row.fields + "|" + row.text + "\f") << row.name;
  }
}

TEST(VffHeaderDeathTest, UnusableHeadersAreLoggedAndEndTheRun) {
  const std::string ok = "ncaa\nsize=2 2;\nbits=16;\n";
  const struct { std::string text; const char* message; } rows[] = {  // %s stands for the file name
      {"", "Error: could not open infile %s\n"},
      {ok, "Error: %s has no VFF header end (form feed) before the end of the file"},
      {ok + std::string(kVffHeaderSize, ' ') + "\f\n", "Error: header of %s is longer than 8191 characters (no form feed found)"},
      {"ncaa\nbits=16;\n\f\n", "Error: %s has no size= entry in its header"},
      {"ncaa\nsize=2 2;\n\f\n", "Error: %s has no bits= entry in its header"},
      {"ncaa\nsize=256;\nbits=16;\n\f\n", "Error: %s: size= must give two positive numbers, got '256'"},
      {"ncaa\nsize=8 0;\nbits=16;\n\f\n", "Error: %s: size= must give two positive numbers, got '8 0'"},
      {"ncaa\nsize=2 2;\nbits=8;\n\f\n", "Error: %s: projections must have bits=16 or bits=32, got 8"},
  };
  for (const auto& row : rows) {
    Merge m;
    std::string expected = row.message;
    expected.replace(expected.find("%s"), 2, m.dir.file("view007.vff"));
    EXPECT_EQ(testutil::loggedEnd([&] { m.read(row.text); }), std::vector<std::string>{expected});
  }
}

// A volume of a run with -j 2 -k 4: its z origin and spacing count binned
// slices; the optional entries appear only when set. The header goes where
// the file stands.
TEST(VffHeaderWriter, VolumeHeaderBytes) {
  ReconParams p;
  initReconParams(p);
  std::strcpy(p.subject, "mouse 3");
  p.xSize = 4, p.ySize = 3, p.zSize = 2, p.xOrigin = 1, p.yOrigin = 5, p.zOriginUser = 9, p.yBinSize = 2, p.zBinSize = 4;
  p.axisUser = 127.5f, p.centralSliceUser = 64.0f, p.rfanY = 1000.0f, p.rfanZ = 500.25f, p.angleIncrement = 0.5f;
  p.reverseOrder = kOn, p.minValue = -1.25f, p.maxValue = 3000.0f;
  const auto written = [&](const std::string& bytes) {
    testutil::TempDir dir;
    FILE* file = std::fopen(dir.file("out.vff").c_str(), "wb");
    std::fputs("AB", file);
    writeVffHeader(p, "Scan 1", "2024-05-01", file, 16);
    std::fclose(file);
    EXPECT_EQ(testutil::readFile(dir.file("out.vff")), "ABncaa\nrank=3;\ntype=raster;\nsize=4 3 2;\norigin=1 5 2;\ny_bin=2;\n"
        "z_bin=4;\nbands=1;\nbits=16;\nformat=slice;\ntitle=Scan 1;\nsubject=mouse 3;\ndate=2024-05-01;\n"
        "center_of_rotation=127.500000;\ncentral_slice=64.000000;\nrfan_y=1000.000000;\nrfan_z=500.250000;\n"
        "angle_increment=0.500000;\nreverse_order=yes;\nmin=-1.250000;\nmax=3000.000000;\nspacing=1.00 1.00 2.00;\n" + bytes);
  };
  written("\f\n");
  char cmdLine[] = "korvan -i p%03d.vff -f 0";
  p.elementSize = 0.05f, p.waterValue = 0.2f, p.airValue = 0.0f, p.boneHU = 1500, p.cmdLine = cmdLine;
  written("elementsize=0.050000;\nwater=0.200000;\nair=0.000000;\nboneHU=1500;\ncmdLine=\"korvan -i p%03d.vff -f 0\";\n\f\n");
}
