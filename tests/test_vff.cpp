// VFF headers: the first view's header merged under the command line, unusable ones refused, the output's bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>

#include "support/testutil.h"
#include "vff/vff_detail.h"

// The header fills only what the command line left unset (-1, or no text), its "reverse_order=yes" toggles -m,
// and it is kept up to its form feed; or the run ends with a message naming the view (%s).
TEST(VffHeaderDeathTest, HeaderFillsWhatTheCommandLineLeftUnsetOrEndsTheRun) {
  const std::string base = "ncaa\nrank=2;\nsize=64 32;\nbits=32;\n", x(300, 'x'), head = "ncaa\nsize=2 2;\nbits=16;";
  const std::string all = base + "subject=rat;\ntitle=T1;\ndate=D1;\ncenter_of_rotation=127.25;\ncentral_slice=15.5;\n"
      "rfan=1000.0;\nangle_increment=0.75;\nstart_angle=12.5;\nkernel_length=33;\nx_origin=1;\ny_origin=2;\n"
      "z_origin=3;\nx_size=4;\ny_size=5;\nz_size=6;\nreverse_order=yes;\n";
  // The fields in the order composed below; "!": the start angle given, "m": -m.
  const std::string unset = "-1 -1 -1 0 -1 0 -1 -1 -1 -1 -1 -1 -1 ", given = "64 32 32 9 0 7 6 1 3 9 0 0 0 0 0 2 !";
  const struct { const char* name; std::string text, result; bool given = false; } rows[] = {
      {"blanks in size=", "ncaa\ntype=raster;\nsize=256   128;\nbits=16;\n", "256 128 16 " + unset + "//"},
      {"every entry; yes sets -m", all, "64 32 32 127.25 15.5 1000 1000 0.75 12.5 33 1 2 3 4 5 6 rat/T1/D1 m"},
      {"the command line wins; yes clears -m", all, given + " rat/T1/D1", true},
      {"no keeps -m", base + "reverse_order=no;\n", given + " // m", true},
      {"YES is not yes", base + "reverse_order=YES;\n", "64 32 32 " + unset + "//"},
      {"long texts cut", base + "subject=" + x + ";\ntitle=" + x + ";\ndate=" + x + ";\n",
       "64 32 32 " + unset + x.substr(101) + "/" + x.substr(101) + "/" + x.substr(281)},
      {"full buffer", head + std::string(kVffHeaderSize - 2 - head.size(), ' '), "2 2 16 " + unset + "//"},
      {"no file", "", "Error: could not open infile %s\n"},
      {"no form feed", head, "Error: %s has no VFF header end (form feed) before the end of the file"},
      {"no form feed in the buffer", head + std::string(kVffHeaderSize, ' ') + "\f\n",
       "Error: header of %s is longer than 8191 characters (no form feed found)"},
      {"no size", "ncaa\nbits=16;\n\f\n", "Error: %s has no size= entry in its header"},
      {"no bits", "ncaa\nsize=2 2;\n\f\n", "Error: %s has no bits= entry in its header"},
      {"one number", "ncaa\nsize=256;\nbits=16;\n\f\n", "Error: %s: size= must give two positive numbers, got '256'"},
      {"height 0", "ncaa\nsize=8 0;\nbits=16;\n\f\n", "Error: %s: size= must give two positive numbers, got '8 0'"},
      {"8 bits", "ncaa\nsize=2 2;\nbits=8;\n\f\n", "Error: %s: projections must have bits=16 or bits=32, got 8"},
  };
  for (const auto& row : rows) {
    testutil::TempDir dir;
    ReconParams g;
    char header[kVffHeaderSize], title[200] = "old", date[20] = "old";
    initReconParams(g), g.firstFile = 7;
    if (row.given) g.axisUser = 9, g.centralSliceUser = g.xOrigin = g.yOrigin = g.zOrigin = g.xSize = 0;
    if (row.given) g.rfanY = 7, g.rfanZ = 6, g.angleIncrement = 1, g.startAngleUser = 3, g.kernelLength = 9;
    if (row.given) g.startAngleGiven = g.reverseOrder = kOn, g.ySize = 0, g.zSize = 2;
    const bool refused = row.result.rfind("Error", 0) == 0;
    if (!row.text.empty()) testutil::writeFile(dir.file("view007.vff"), row.text + (refused ? "" : "\f\n") + "samples");
    const auto read = [&] { readVffHeader(g, header, title, date, dir.file("view%03d.vff").c_str()); };
    const std::string message = std::regex_replace(row.result, std::regex("%s"), dir.file("view007.vff"));
    if (refused) { EXPECT_EQ(testutil::loggedEnd(read), std::vector<std::string>{message}) << row.name; continue; }
    read();
    std::ostringstream s;
    for (int v : {g.projWidth, g.projHeight, g.bits}) s << v << ' ';
    for (auto v : {g.axisUser, g.centralSliceUser, g.rfanY, g.rfanZ, g.angleIncrement, g.startAngleUser}) s << v << ' ';
    for (int v : {g.kernelLength, g.xOrigin, g.yOrigin, g.zOrigin, g.xSize, g.ySize, g.zSize}) s << v << ' ';
    s << (g.startAngleGiven ? "! " : "") << g.subject << "/" << title << "/" << date << (g.reverseOrder ? " m" : "");
    EXPECT_EQ(s.str() + "|" + header, row.result + "|" + row.text + "\f") << row.name;
  }
}

// A volume of a run with -j 2 -k 4, written where the file stands: its z
// origin and spacing count binned slices; optional entries only when set.
TEST(VffHeaderWriter, VolumeHeaderBytes) {
  ReconParams p;
  char cmdLine[] = "korvan -f 0";
  initReconParams(p), std::strcpy(p.subject, "mouse 3"), p.cmdLine = cmdLine;
  p.xSize = 4, p.ySize = 3, p.zSize = 2, p.xOrigin = 1, p.yOrigin = 5, p.zOriginUser = 9, p.yBinSize = 2;
  p.axisUser = 127.5f, p.centralSliceUser = 64, p.rfanY = 1000, p.rfanZ = 500.25f, p.angleIncrement = 0.5f;
  p.reverseOrder = kOn, p.minValue = -1.25f, p.maxValue = 3000, p.elementSize = 0.05f, p.airValue = 0, p.zBinSize = 4;
  testutil::TempDir dir;
  FILE* file = std::fopen(dir.file("out.vff").c_str(), "wb");
  std::fputs("AB", file), writeVffHeader(p, "Scan 1", "2024-05-01", file, 16), std::fclose(file);
  EXPECT_EQ(testutil::readFile(dir.file("out.vff")),
            "ABncaa\nrank=3;\ntype=raster;\nsize=4 3 2;\norigin=1 5 2;\ny_bin=2;\nz_bin=4;\nbands=1;\nbits=16;\n"
            "format=slice;\ntitle=Scan 1;\nsubject=mouse 3;\ndate=2024-05-01;\ncenter_of_rotation=127.500000;\n"
            "central_slice=64.000000;\nrfan_y=1000.000000;\nrfan_z=500.250000;\nangle_increment=0.500000;\n"
            "reverse_order=yes;\nmin=-1.250000;\nmax=3000.000000;\nspacing=1.00 1.00 2.00;\nelementsize=0.050000;\n"
            "air=0.000000;\ncmdLine=\"korvan -f 0\";\n\f\n");
}
