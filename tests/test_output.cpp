// The slab writer and the output assembly: headers, scaling, masking, reflection, slice files, the chunk file of
// multi-slab runs and the failures that must not leave a volume passing for complete.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>

#include "backproject/backproject.h"
#include "host/host.h"
#include "support/testutil.h"

using testutil::fileExists;
using testutil::readFile;
using Values = std::vector<double>;

namespace {

// A record of xSize x ySize x zSize voxels well inside the field-of-view mask of a 64 x 64 grid, writing into a
// temporary directory.
struct Output {
  testutil::TempDir dir;
  ReconParams p;
  std::vector<float> volume, floatSlice;
  std::vector<int16_t> shortSlice;
  std::vector<uint8_t> byteSlice;
  std::string outFile = dir.file("out.vff"), byteFile, slices;  // byteFile, slices empty: none

  Output(int xSize, int ySize, int zSize)
      : volume(size_t(xSize) * ySize * zSize), floatSlice(size_t(xSize) * ySize), shortSlice(floatSlice.size()),
        byteSlice(floatSlice.size()) {
    initReconParams(p);
    p.xSize = xSize, p.ySize = ySize, p.zSize = zSize, p.xOrigin = p.yOrigin = 30, p.zOriginUser = 0, p.nChunks = 1;
    p.gridSizeXY = p.yprojSizeUser = p.projWidth = 64, p.axisUser = 31.5f;
    p.volume = volume.data(), p.floatSlice = floatSlice.data(), p.shortSlice = shortSlice.data(), p.byteSlice = &byteSlice[0];
  }
  OutputNames names() const {
    return {outFile.c_str(), byteFile.empty() ? nullptr : byteFile.c_str(), slices.empty() ? nullptr : slices.c_str(), "T", "D"};
  }
  void write() { writeSlab(p, names()); }
  void assemble() { assembleOutput(p, names()); }
  Values samples(const std::string& file) const { return testutil::readVff(dir.file(file)).values; }
  // The chunk file, named after out.vff and the process (sorted first); "" when there is none.
  std::string chunk() const { return testutil::korvanLeftovers(dir.path()).empty() ? "" : dir.file(testutil::korvanLeftovers(dir.path())[0]); }
  static float value(int x, int y, int z) { return 0.25f * float(z * 100 + y * 10 + x) - 3.0f; }
  // Slabs of the given numbers of slices, voxel (x, y, z) of the whole holding value(x, y, z).
  void writeSlabs(const std::vector<int>& slabs) {
    int z0 = 0;
    p.nChunks = int(slabs.size());
    for (int n : slabs) {
      for (size_t i = 0; i < volume.size(); ++i) volume[i] = value(int(i / n) % p.xSize, int(i / n / p.xSize), z0 + int(i % n));
      p.zSize = n, write(), ++p.chunkIndex, z0 += n;
    }
    p.zSize = z0;
  }
};

}  // namespace

// Slices are gathered several at a time, the last block cut short, rows mirrored when reflected; two slabs meet
// in a chunk file, then removed. Slice files are numbered from zOriginUser / zBinSize, the origin likewise.
TEST(OutputFiles, HeadersAndSliceFilesHoldTheWholeVolume) {
  for (const auto& [name, slabs, reflect] : {std::tuple{"one slab", std::vector<int>{37}, false}, {"two slabs, reflected", {20, 17}, true}}) {
    Output o(5, 3, 37);
    o.p.zOriginUser = 40, o.p.zBinSize = 2, o.p.reflect = reflect ? kOn : 0, o.byteFile = o.dir.file("b.vff");
    o.slices = o.dir.file("s%d.vff");
    o.writeSlabs(slabs);
    EXPECT_EQ(o.chunk().empty(), slabs.size() == 1) << name;
    o.assemble();
    EXPECT_TRUE(testutil::korvanLeftovers(o.dir.path()).empty()) << name;
    const std::string header = readFile(o.outFile), slice = readFile(o.dir.file("s20.vff"));
    for (const char* line : {"\nsize=5 3 37;\n", "\norigin=30 30 20;\n", "\nbits=16;\n", "\nmin=-3.000000;\n", "\nmax=903.000000;\n",
                             "\nspacing=1.00 1.00 2.00;\n", "\ntitle=T;\n", "\ndate=D;\n"})
      EXPECT_NE(header.find(line), std::string::npos) << name << line;
    for (const char* line : {"\nrank=2;\n", "\nsize=5 3;\n", "\norigin=30 30;\n", "\nbits=32;\n", "\nspacing=1.00 1.00;\n"})
      EXPECT_NE(slice.find(line), std::string::npos) << name << line;
    for (const char* file : {"out.vff", "b.vff"}) EXPECT_TRUE(testutil::readVff(o.dir.file(file)).complete()) << name << file;
    for (int z = 0; z < 37; ++z) {
      Values expected;
      for (int i = 0; i < 15; ++i) expected.push_back(Output::value(reflect ? 4 - i % 5 : i % 5, i / 5, z));
      ASSERT_EQ(o.samples("s" + std::to_string(20 + z) + ".vff"), expected) << name << ", slice " << z;
    }
    EXPECT_FALSE(fileExists(o.dir.file("s19.vff")) || fileExists(o.dir.file("s57.vff"))) << name;
  }
}

// Water and air given: Hounsfield units, saturated; otherwise the largest magnitude maps to 32767. Bytes span the
// extremes; a constant volume gives zeros.
TEST(OutputScaling, ShortsAndBytes) {
  // water, air -1: not given; min, max NAN: from the slab writer; bytes empty: no byte file.
  const struct { const char* name; Values volume; float water, air, min, max; Values shorts, bytes; } rows[] = {
      {"Hounsfield", {0.2, 0.0, 0.4, 10, -10}, 0.2f, 0.0f, -0.1f, 0.5f, {0, -1000, 1000, 32767, -32768}, {127, 42, 212, 255, 0}},
      {"largest magnitude, air not given", {-0.5, 0.25, 0}, 0.2f, -1, NAN, NAN, {-32767, 16383, 0}, {}},
      {"constant", {0, 0, 0}, -1, -1, NAN, NAN, {0, 0, 0}, {0, 0, 0}},
  };
  for (const auto& row : rows) {
    Output o(int(row.volume.size()), 1, 1);
    o.volume.assign(row.volume.begin(), row.volume.end());
    o.p.waterValue = row.water, o.p.airValue = row.air;
    if (std::isnan(row.min)) o.write();
    else o.p.minValue = row.min, o.p.maxValue = row.max;
    if (!row.bytes.empty()) o.byteFile = o.dir.file("b.vff");
    o.assemble();
    EXPECT_EQ(o.samples("out.vff"), row.shorts) << row.name;
    EXPECT_EQ(row.bytes.empty() ? row.bytes : o.samples("b.vff"), row.bytes) << row.name;
  }
}

// The mask's radius is the axis's distance to the nearer end of the row, the right end counted from the last but
// one column; a voxel at exactly that radius is zeroed. Radius min(2, 96) keeps a 3 x 3 block, min(97, 1) the centre.
TEST(OutputMask, VoxelAtTheMaskRadiusIsZeroed) {
  for (const auto& [axis, kept] : {std::pair{2.0f, 9}, std::pair{97.0f, 1}}) {
    Output o(9, 9, 1);
    o.p.xOrigin = o.p.yOrigin = 0, o.p.gridSizeXY = 9, o.p.yprojSizeUser = 100, o.p.axisUser = axis, o.slices = o.dir.file("s%d.vff");
    std::fill(o.volume.begin(), o.volume.end(), 1.0f), o.write(), o.assemble();
    const Values v = o.samples("s0.vff");
    EXPECT_TRUE(std::count(v.begin(), v.end(), 1.0) == kept && v[4 * 9 + 6] == 0 && v[2 * 9 + 4] == 0 && v[4 * 9 + 4] == 1) << axis;
  }
}

// Failures end the run through the failure path and remove the chunk file and every output begun.
TEST(OutputFailureDeathTest, EndTheRunAndRemoveWhatWasBegun) {
  // Set up by `before`, writing a slab (or else assembling) fails; <chunk>, <dir>: the chunk file, the directory.
  const struct { std::function<void(Output&)> before; bool writing; std::string logged; } rows[] = {
      {[](Output& o) { o.byteFile = o.dir.file("missing/b.vff"), o.write(); }, false, "could not open bytefile <dir>/missing/b.vff"},
      {[](Output& o) { o.writeSlabs({1, 1}), o.byteFile = o.dir.file("b.vff"), o.slices = o.dir.file("missing/s%d.vff"); },
       false, "could not open slicefile <dir>/missing/s0.vff"},
      {[](Output& o) { o.p.nChunks = 2, o.outFile = o.dir.file("missing/o.vff"); }, true,
       "could not create chunk file beside <dir>/missing/o.vff"},
      {[](Output& o) {  // a directory cannot be appended to
         o.p.nChunks = 2, o.write(), o.p.chunkIndex = 1;
         const std::string chunk = o.chunk();
         ASSERT_TRUE(std::remove(chunk.c_str()) == 0 && mkdir(chunk.c_str(), 0755) == 0);
       }, true, "could not append to chunk file <chunk>"},
      {[](Output& o) { o.writeSlabs({1, 1}); ASSERT_EQ(truncate(o.chunk().c_str(), 24), 0); }, false, "could not read chunk file <chunk>"},
  };
  for (const auto& row : rows) {
    Output o(2, 2, 2);
    row.before(o);
    std::string message = "Error: " + row.logged;
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"<dir>", o.dir.path()}, {"<chunk>", o.chunk()}})
      if (message.find(key) != std::string::npos) message.replace(message.find(key), key.size(), value);
    EXPECT_EQ(testutil::loggedEnd([&] { row.writing ? o.write() : o.assemble(); }), std::vector<std::string>{message});
    // (The directory standing in for the chunk file stays.)
    EXPECT_TRUE(!fileExists(o.outFile) && !fileExists(o.dir.file("b.vff")) &&
                (testutil::korvanLeftovers(o.dir.path()).empty() || row.logged.find("append") != std::string::npos)) << message;
  }
}
