// The slab writer and the output assembly: files, scaling, mask, chunk file, and failures that leave nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "backproject/backproject.h"
#include "support/testutil.h"

using Values = std::vector<double>;

namespace {

// A record of voxels well inside the field-of-view mask of a 64 x 64 grid, writing into a temporary directory.
struct Output {
  testutil::TempDir dir;
  ReconParams p;
  std::vector<float> volume, floats;
  std::vector<int16_t> shorts;
  std::vector<uint8_t> bytes;
  std::string outFile = dir.file("out.vff"), byteFile, slices;  // byteFile, slices empty: none

  Output(int xSize, int ySize, int zSize)
      : volume(xSize * ySize * zSize), floats(xSize * ySize), shorts(floats.size()), bytes(floats.size()) {
    initReconParams(p);
    p.xSize = xSize, p.ySize = ySize, p.zSize = zSize, p.xOrigin = p.yOrigin = 30, p.zOriginUser = 0, p.nChunks = 1;
    p.gridSizeXY = p.yprojSizeUser = p.projWidth = 64, p.axisUser = 31.5f;
    p.volume = volume.data(), p.floatSlice = floats.data(), p.shortSlice = shorts.data(), p.byteSlice = bytes.data();
  }
  static const char* orNull(const std::string& name) { return name.empty() ? nullptr : name.c_str(); }
  OutputNames names() const { return {outFile.c_str(), orNull(byteFile), orNull(slices), "T", "D"}; }
  void write() { writeSlab(p, names()); }
  void assemble() { assembleOutput(p, names()); }
  Values samples(const std::string& file) const { return testutil::readVff(dir.file(file)).values; }
  // The chunk file, named after out.vff and the process (listed first); "" when there is none.
  std::string chunk() const { for (auto& n : testutil::korvanLeftovers(dir.path())) return dir.file(n); return ""; }
  static float value(size_t x, size_t y, size_t z) { return 0.25f * float(z * 100 + y * 10 + x) - 3.0f; }
  // Slabs of the given numbers of slices, voxel (x, y, z) of the whole holding value(x, y, z).
  void writeSlabs(const std::vector<int>& slabs) {
    int z0 = 0;
    p.nChunks = int(slabs.size());
    for (int n : slabs) {
      for (size_t i = 0; i < volume.size(); ++i) volume[i] = value(i / n % p.xSize, i / n / p.xSize, z0 + i % n);
      p.zSize = n, write(), ++p.chunkIndex, z0 += n;
    }
    p.zSize = z0;
  }
};

}  // namespace

// Slices are gathered several at a time, the last block cut short, rows mirrored when reflected; two slabs meet
// in a chunk file, then removed. Slice files are numbered from zOriginUser / zBinSize, the origin likewise.
TEST(OutputFiles, HeadersAndSliceFilesHoldTheWholeVolume) {
  for (const auto& [name, slabs, reflect] :
       {std::tuple{"one slab", std::vector<int>{37}, false}, {"two slabs, reflected", {20, 17}, true}}) {
    Output o(5, 3, 37);
    o.p.zOriginUser = 40, o.p.zBinSize = 2, o.p.reflect = reflect ? kOn : 0;
    o.byteFile = o.dir.file("b.vff"), o.slices = o.dir.file("s%d.vff"), o.writeSlabs(slabs);
    EXPECT_EQ(o.chunk().empty(), slabs.size() == 1) << name;
    o.assemble();
    EXPECT_TRUE(testutil::korvanLeftovers(o.dir.path()).empty()) << name;
    const std::string volume = testutil::readFile(o.outFile), slice = testutil::readFile(o.dir.file("s20.vff"));
    for (const auto& [text, line] :
         {std::pair{&volume, "\nsize=5 3 37;\norigin=30 30 20;\n"}, {&volume, "\nbits=16;\n"}, {&slice, "\nbits=32;\n"},
          {&volume, "\nmin=-3.000000;\nmax=903.000000;\nspacing=1.00 1.00 2.00;\n"},
          {&slice, "\nsize=5 3;\norigin=30 30;\n"}})
      EXPECT_NE(text->find(line), std::string::npos) << name << line;
    for (const char* file : {"out.vff", "b.vff"}) EXPECT_TRUE(testutil::readVff(o.dir.file(file)).complete()) << file;
    Values got, expected;  // slice after slice
    for (int z = 0; z < 37; ++z) for (double v : o.samples("s" + std::to_string(20 + z) + ".vff")) got.push_back(v);
    for (int i = 0; i < 15 * 37; ++i) expected.push_back(Output::value(reflect ? 4 - i % 5 : i % 5, i / 5 % 3, i / 15));
    EXPECT_EQ(got, expected) << name;
    EXPECT_FALSE(testutil::fileExists(o.dir.file("s19.vff")) || testutil::fileExists(o.dir.file("s57.vff"))) << name;
  }
}

// With water and air (-1: not given) shorts are Hounsfield units, saturated, else the largest magnitude maps to 32767;
// bytes (none if empty) span min to max (NAN: the slab writer's), and a constant volume gives zeros.
TEST(OutputScaling, ShortsAndBytes) {
  const struct { const char* name; Values volume; float water, air, min, max; Values shorts, bytes; } rows[] = {
      {"HU", {0.2, 0, 0.4, 10, -10}, 0.2f, 0, -0.1f, 0.5f, {0, -1000, 1000, 32767, -32768}, {127, 42, 212, 255, 0}},
      {"largest magnitude, air not given", {-0.5, 0.25, 0}, 0.2f, -1, NAN, NAN, {-32767, 16383, 0}, {}},
      {"constant", {0, 0, 0}, -1, -1, NAN, NAN, {0, 0, 0}, {0, 0, 0}},
  };
  for (const auto& row : rows) {
    Output o(int(row.volume.size()), 1, 1);
    o.volume.assign(row.volume.begin(), row.volume.end());
    o.p.waterValue = row.water, o.p.airValue = row.air, o.byteFile = row.bytes.empty() ? "" : o.dir.file("b.vff");
    if (std::isnan(row.min)) o.write();
    else o.p.minValue = row.min, o.p.maxValue = row.max;
    o.assemble();
    EXPECT_EQ(std::pair(o.samples("out.vff"), row.bytes.empty() ? row.bytes : o.samples("b.vff")),
              std::pair(row.shorts, row.bytes)) << row.name;
  }
}

// The mask's radius is the axis's distance to the nearer row end, the right one counted from the last but one column;
// voxels at exactly that radius, (6, 4) and (4, 2) at 2, are zeroed. Radius min(2, 96) keeps 3 x 3, min(97, 1) one.
TEST(OutputMask, VoxelAtTheMaskRadiusIsZeroed) {
  for (const auto& [axis, kept] : {std::pair{2.0f, 9}, std::pair{97.0f, 1}}) {
    Output o(9, 9, 1);
    o.p.xOrigin = o.p.yOrigin = 0, o.p.gridSizeXY = 9, o.p.yprojSizeUser = 100, o.p.axisUser = axis;
    o.slices = o.dir.file("s%d.vff"), std::fill(o.volume.begin(), o.volume.end(), 1.0f), o.write(), o.assemble();
    const Values v = o.samples("s0.vff");
    EXPECT_TRUE(std::count(v.begin(), v.end(), 1.0) == kept && v[42] == 0 && v[22] == 0 && v[40] == 1) << axis;
  }
}

TEST(OutputFailureDeathTest, EndTheRunAndRemoveWhatWasBegun) {
  // `before` sets up a failing write (else assembly); the message ends in dir + `under`, or else in the chunk's name.
  const struct { std::function<void(Output&)> before; bool writing; std::string logged; const char* under; } rows[] = {
      {[](Output& o) { o.byteFile = o.dir.file("missing/b.vff"), o.write(); }, false,
       "could not open bytefile ", "/missing/b.vff"},
      {[](Output& o) { o.writeSlabs({1, 1}), o.byteFile = o.dir.file("b.vff"), o.slices = o.dir.file("no/s%d.vff"); },
       false, "could not open slicefile ", "/no/s0.vff"},
      {[](Output& o) { o.p.nChunks = 2, o.outFile = o.dir.file("missing/o.vff"); }, true,
       "could not create chunk file beside ", "/missing/o.vff"},
      {[](Output& o) { o.p.nChunks = 2, o.write(), o.p.chunkIndex = 1;
         const std::string c = o.chunk(); ASSERT_TRUE(std::remove(c.c_str()) == 0 && mkdir(c.c_str(), 0755) == 0);
       }, true, "could not append to chunk file ", ""},  // a directory cannot be appended to
      {[](Output& o) { o.writeSlabs({1, 1}); ASSERT_EQ(truncate(o.chunk().c_str(), 24), 0); }, false,
       "could not read chunk file ", ""},
  };
  for (const auto& row : rows) {
    Output o(2, 2, 2);
    row.before(o);
    const std::string message = "Error: " + row.logged + (*row.under ? o.dir.path() + row.under : o.chunk());
    EXPECT_EQ(testutil::loggedEnd([&] { row.writing ? o.write() : o.assemble(); }), std::vector<std::string>{message});
    EXPECT_TRUE(!testutil::fileExists(o.outFile) && !testutil::fileExists(o.dir.file("b.vff")) &&
                testutil::korvanLeftovers(o.dir.path()).empty()) << message;
  }
}
