// The slab writer and the output assembly: headers, scaling, masking,
// reflection, slice files, the chunk file of multi-slab runs and the
// failures that must not leave a volume passing for complete.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "backproject/backproject.h"
#include "host/host.h"
#include "support/testutil.h"

using testutil::fileExists;
using testutil::readFile;

namespace {

using Values = std::vector<double>;

// A one-slab record of xSize x ySize x zSize voxels near the middle of a
// 64 x 64 grid, well inside the field-of-view mask, writing into a temporary
// directory.
struct Output {
  testutil::TempDir dir;
  ReconParams p;
  std::vector<float> volume, floatSlice;
  std::vector<int16_t> shortSlice;
  std::vector<uint8_t> byteSlice;
  std::string outFile = dir.file("out.vff"), byteFile;

  Output(int xSize, int ySize, int zSize)
      : volume(size_t(xSize) * ySize * zSize), floatSlice(size_t(xSize) * ySize), shortSlice(floatSlice.size()), byteSlice(floatSlice.size()) {
    initReconParams(p);
    p.xSize = xSize, p.ySize = ySize, p.zSize = zSize, p.xOrigin = p.yOrigin = 30, p.zOriginUser = 0;
    p.gridSizeXY = p.yprojSizeUser = p.projWidth = 64, p.axisUser = 31.5f, p.nChunks = 1;
    p.volume = volume.data(), p.floatSlice = floatSlice.data(), p.shortSlice = shortSlice.data(), p.byteSlice = byteSlice.data();
    setenv("KORVAN_CONFIG", testutil::writeConfig(dir.path(), dir.file("korvan.log")).c_str(), 1);
  }
  ~Output() { unsetenv("KORVAN_CONFIG"); }
  OutputNames names(const char* slices = nullptr) const {
    return {outFile.c_str(), byteFile.empty() ? nullptr : byteFile.c_str(), slices, "T", "D"};
  }
  // Slab voxel at slab column x, row y and slab slice z.
  float& at(int x, int y, int z) { return volume[(static_cast<size_t>(y) * p.xSize + x) * p.zSize + z]; }
  void write() { writeSlab(p, names()); }
  void assemble(const std::string& slices = "") { assembleOutput(p, names(slices.empty() ? nullptr : slices.c_str())); }
  std::string slices() const { return dir.file("s%d.vff"); }
  Values samples(const std::string& file) const { return testutil::readVff(dir.file(file)).values; }
  // The chunk file of a multi-slab run, named after the output file and the
  // process; "" when there is none.
  std::string chunk() const {
    for (const std::string& name : testutil::korvanLeftovers(dir.path()))
      if (name.rfind("out.vff.korvan-chunk-", 0) == 0) return dir.file(name);
    return "";
  }
  // Two slabs, of 2 and 1 slices, whose slices are filled with 1, 2 and 3.
  void writeTwoSlabs() {
    p.nChunks = 2, p.zSize = 2;
    for (size_t i = 0; i < volume.size(); ++i) volume[i] = 1.0f + i % 2;
    write();
    p.chunkIndex = 1, p.zSize = 1;
    std::fill(volume.begin(), volume.end(), 3.0f);
    write();
    p.zSize = 3;
  }
};

}  // namespace

TEST(OutputFiles, HeadersCarryTotalsExtremesAndBinnedOrigin) {
  Output o(4, 3, 2);
  o.p.zOriginUser = 40, o.p.zBinSize = 2;
  for (size_t i = 0; i < o.volume.size(); ++i) o.volume[i] = 0.5f * i - 3.0f;
  o.write();
  EXPECT_EQ(o.chunk(), "");  // one slab: no chunk file
  o.byteFile = o.dir.file("bytes.vff");
  o.assemble(o.slices());
  const std::string header = readFile(o.outFile), slice = readFile(o.dir.file("s21.vff"));
  for (const char* line : {"rank=3;\n", "size=4 3 2;\n", "origin=30 30 20;\n", "bits=16;\n", "min=-3.000000;\n",
                           "max=8.500000;\n", "spacing=1.00 1.00 2.00;\n", "title=T;\n", "date=D;\n"})
    EXPECT_NE(header.find(line), std::string::npos) << line;
  for (const char* line : {"rank=2;\n", "size=4 3;\n", "origin=30 30;\n", "bits=32;\n", "spacing=1.00 1.00;\n"})
    EXPECT_NE(slice.find(line), std::string::npos) << line;
  for (const char* file : {"out.vff", "bytes.vff"}) {
    const view::Volume v = testutil::readVff(o.dir.file(file));
    EXPECT_TRUE(v.complete() && v.extraBytes == 0 && v.expected == 4 * 3 * 2 && v.bits == (file[0] == 'o' ? 16 : 8)) << file;
  }
  // Slice files are numbered from zOriginUser / zBinSize.
  EXPECT_TRUE(fileExists(o.dir.file("s20.vff")) && !fileExists(o.dir.file("s0.vff")) && !fileExists(o.dir.file("s22.vff")));
}

// Water and air given: Hounsfield units, saturated; otherwise the largest
// magnitude maps to 32767. Bytes span the extremes; a constant volume gives
// zeros.
TEST(OutputScaling, ShortsAndBytes) {
  const struct {
    const char* name;
    Values volume;
    float water, air, min, max;  // min, max NaN: from the slab writer
    Values shorts, bytes;        // bytes empty: no byte file
  } rows[] = {
      {"Hounsfield", {0.2, 0.0, 0.4, 10, -10}, 0.2f, 0.0f, -0.1f, 0.5f, {0, -1000, 1000, 32767, -32768}, {127, 42, 212, 255, 0}},
      {"largest magnitude, air not given", {-0.5, 0.25, 0}, 0.2f, NAN, NAN, NAN, {-32767, 16383, 0}, {}},
      {"constant", {0, 0, 0}, NAN, NAN, NAN, NAN, {0, 0, 0}, {0, 0, 0}},
  };
  for (const auto& row : rows) {
    Output o(int(row.volume.size()), 1, 1);
    o.volume.assign(row.volume.begin(), row.volume.end());
    if (!std::isnan(row.water)) o.p.waterValue = row.water;
    if (!std::isnan(row.air)) o.p.airValue = row.air;
    if (std::isnan(row.min)) o.write();
    else o.p.minValue = row.min, o.p.maxValue = row.max;
    if (!row.bytes.empty()) o.byteFile = o.dir.file("bytes.vff");
    o.assemble();
    EXPECT_EQ(o.samples("out.vff"), row.shorts) << row.name;
    EXPECT_EQ(row.bytes.empty() ? row.bytes : o.samples("bytes.vff"), row.bytes) << row.name;
  }
}

// The mask's radius is the axis's distance to the nearer end of the row
// (the right end counted from the last but one column); a voxel at exactly
// that radius is zeroed.
TEST(OutputMask, VoxelAtTheMaskRadiusIsZeroed) {
  for (const auto& [axis, kept] : {std::pair{2.0f, 9}, std::pair{97.0f, 1}}) {  // radius min(2, 96), min(97, 1)
    Output o(9, 9, 1);
    o.p.xOrigin = o.p.yOrigin = 0;
    o.p.gridSizeXY = 9;  // centre (4, 4)
    o.p.yprojSizeUser = 100, o.p.axisUser = axis;
    std::fill(o.volume.begin(), o.volume.end(), 1.0f);
    o.write();
    o.assemble(o.slices());
    const Values values = o.samples("s0.vff");
    ASSERT_EQ(values.size(), 81u);
    EXPECT_EQ(std::count(values.begin(), values.end(), 1.0), kept) << axis;  // the 3 x 3 block, or the centre
    EXPECT_TRUE(values[4 * 9 + 6] == 0 && values[2 * 9 + 4] == 0 && values[4 * 9 + 4] == 1) << axis;
  }
}

// Slices are gathered from the slab several at a time: with more slices
// than one block holds, a last block cut short, and mirrored rows (the first
// value of a row is its last column), every slice file must still hold
// exactly its own slice of the slab.
TEST(OutputFiles, EverySliceFileHoldsItsSlabSlice) {
  for (bool reflect : {false, true}) {
    SCOPED_TRACE(reflect ? "reflected" : "as reconstructed");
    Output o(5, 3, 37);
    o.p.reflect = reflect ? kOn : 0;
    for (size_t i = 0; i < o.volume.size(); ++i) o.volume[i] = 0.25f * float(i);
    o.write();
    EXPECT_EQ(o.p.maxValue, 0.25f * float(o.volume.size() - 1));
    o.assemble(o.slices());
    for (int z = 0; z < 37; ++z) {
      Values expected;
      for (int y = 0; y < 3; ++y)
        for (int col = 0; col < 5; ++col) expected.push_back(o.at(reflect ? 4 - col : col, y, z));
      ASSERT_EQ(o.samples("s" + std::to_string(z) + ".vff"), expected) << "slice " << z;
    }
  }
}

TEST(OutputFiles, ChunkFileGathersTheSlabsInOrderAndIsRemoved) {
  Output o(2, 2, 2);
  o.writeTwoSlabs();
  ASSERT_NE(o.chunk(), "");
  EXPECT_EQ(readFile(o.chunk()).size(), 3u * 4 * 4);
  EXPECT_TRUE(o.p.minValue == 1.0f && o.p.maxValue == 3.0f);
  o.assemble(o.slices());
  for (int z = 0; z < 3; ++z) EXPECT_EQ(o.samples("s" + std::to_string(z) + ".vff"), Values(4, z + 1.0));
  EXPECT_TRUE(testutil::korvanLeftovers(o.dir.path()).empty());
  EXPECT_NE(readFile(o.outFile).find("size=2 2 3;\n"), std::string::npos);
}

// Failures end the run (exit status 0 through the failure path) and remove
// the chunk file and every output file that was begun.
TEST(OutputFailureDeathTest, EndTheRunAndRemoveWhatWasBegun) {
  const struct {
    const char* name;
    std::function<void(Output&)> before, failing;
    std::string logged;  // <chunk>, <dir> stand for the chunk file and the directory
  } rows[] = {
      {"outfile", [](Output& o) { o.outFile = o.dir.file("missing/out.vff"), o.write(); }, [](Output& o) { o.assemble(); },
       "could not open outfile <dir>/missing/out.vff"},
      {"bytefile", [](Output& o) { o.byteFile = o.dir.file("missing/b.vff"), o.write(); }, [](Output& o) { o.assemble(); },
       "could not open bytefile <dir>/missing/b.vff"},
      {"slice file", [](Output& o) { o.writeTwoSlabs(), o.byteFile = o.dir.file("b.vff"); },
       [](Output& o) { o.assemble(o.dir.file("missing/s%d.vff")); }, "could not open slicefile <dir>/missing/s0.vff"},
      {"chunk file not created", [](Output& o) { o.p.nChunks = 2, o.outFile = o.dir.file("missing/out.vff"); },
       [](Output& o) { o.write(); }, "could not create chunk file beside <dir>/missing/out.vff"},
      {"chunk file not appended", [](Output& o) {  // a directory cannot be appended to
         o.p.nChunks = 2, o.write(), o.p.chunkIndex = 1;
         const std::string chunk = o.chunk();
         ASSERT_TRUE(std::remove(chunk.c_str()) == 0 && mkdir(chunk.c_str(), 0755) == 0);
       }, [](Output& o) { o.write(); }, "could not append to chunk file <chunk>"},
      {"chunk file cut short", [](Output& o) {
         o.writeTwoSlabs();
         ASSERT_EQ(truncate(o.chunk().c_str(), 2 * 16 + 8), 0);
       },
       [](Output& o) { o.assemble(); }, "could not read chunk file <chunk>"},
  };
  for (const auto& row : rows) {
    Output o(2, 2, 2);
    row.before(o);
    std::string message = "Error: " + row.logged;
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"<dir>", o.dir.path()}, {"<chunk>", o.chunk()}})
      if (message.find(key) != std::string::npos) message.replace(message.find(key), key.size(), value);
    EXPECT_EXIT(row.failing(o), testing::ExitedWithCode(0), "") << row.name;
    EXPECT_NE(readFile(o.dir.file("korvan.log")).find(": " + message + "\n"), std::string::npos) << row.name;
    for (const char* file : {"out.vff", "b.vff"}) EXPECT_FALSE(fileExists(o.dir.file(file))) << row.name << " " << file;
    // (The directory standing in for the chunk file stays.)
    EXPECT_TRUE(testutil::korvanLeftovers(o.dir.path()).empty() || row.logged.find("append") != std::string::npos) << row.name;
  }
}
