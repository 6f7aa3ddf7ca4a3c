// The slab writer and the output assembly: headers, scaling, masking,
// reflection, slice files, the chunk file of multi-slab runs and the
// failures that must not leave a volume passing for complete.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "backproject/backproject.h"
#include "host/host.h"
#include "rings/rings_detail.h"
#include "support/testutil.h"

using testutil::fileExists;
using testutil::readFile;

namespace {

// A one-slab record of xSize x ySize x zSize voxels near the middle of a
// 64 x 64 grid, well inside the field-of-view mask, writing into a temporary
// directory.
struct Output {
  testutil::TempDir dir;
  ReconParams p;
  std::vector<float> volume, floatSlice;
  std::vector<int16_t> shortSlice;
  std::vector<uint8_t> byteSlice;

  Output(int xSize, int ySize, int zSize) {
    initReconParams(p);
    p.xSize = xSize;
    p.ySize = ySize;
    p.zSize = zSize;
    p.xOrigin = p.yOrigin = 30;
    p.zOriginUser = 0;
    p.gridSizeXY = p.yprojSizeUser = p.projWidth = 64;
    p.axisUser = 31.5f;
    p.nChunks = 1;
    volume.assign(static_cast<size_t>(xSize) * ySize * zSize, 0.0f);
    floatSlice.assign(static_cast<size_t>(xSize) * ySize, 0.0f);
    shortSlice.assign(floatSlice.size(), 0);
    byteSlice.assign(floatSlice.size(), 0);
    p.volume = volume.data();
    p.floatSlice = floatSlice.data();
    p.shortSlice = shortSlice.data();
    p.byteSlice = byteSlice.data();
    name(outFile, "out.vff");
    config = testutil::writeConfig(dir, dir.file("korvan.log"));
    setenv("KORVAN_CONFIG", config.c_str(), 1);
  }
  ~Output() { unsetenv("KORVAN_CONFIG"); }

  void name(std::string& field, const std::string& file) { field = dir.file(file); }
  OutputNames names(const char* slices = nullptr) const {
    return {outFile.c_str(), byteFile.empty() ? nullptr : byteFile.c_str(), slices, "T", "D"};
  }
  // Slab voxel at slab column x, row y and slab slice z.
  float& at(int x, int y, int z) { return volume[(static_cast<size_t>(y) * p.xSize + x) * p.zSize + z]; }
  void assemble(const char* slices = nullptr) { assembleOutput(p, names(slices)); }
  std::string slicePattern() const { return dir.file("s%d.vff"); }
  bool logged(const std::string& text) const {
    return readFile(dir.file("korvan.log")).find(": " + text + "\n") != std::string::npos;
  }
  std::string config, outFile, byteFile;
};

// The chunk file of a multi-slab run, named after the output file and the
// process; "" when there is none.
std::string chunkOf(const Output& o) {
  for (const std::string& name : testutil::korvanLeftovers(o.dir.path()))
    if (name.rfind("out.vff.korvan-chunk-", 0) == 0) return o.dir.file(name);
  return "";
}

std::string headerOf(const std::string& bytes) { return bytes.substr(0, bytes.find("\f\n") + 2); }

std::vector<int16_t> shortsOf(const std::string& bytes) {
  std::vector<int16_t> out;
  for (size_t i = headerOf(bytes).size(); i + 1 < bytes.size(); i += 2)
    out.push_back(static_cast<int16_t>((static_cast<uint8_t>(bytes[i]) << 8) | static_cast<uint8_t>(bytes[i + 1])));
  return out;
}

std::vector<float> floatsOf(const std::string& bytes) {
  std::vector<float> out;
  for (size_t i = headerOf(bytes).size(); i + 3 < bytes.size(); i += 4) {
    uint32_t u = 0;
    for (int k = 0; k < 4; ++k) u = (u << 8) | static_cast<uint8_t>(bytes[i + k]);
    float f;
    std::memcpy(&f, &u, 4);
    out.push_back(f);
  }
  return out;
}

// Two slabs, of 2 and 1 slices, whose slices are filled with 1, 2 and 3.
void writeTwoSlabs(Output& o) {
  o.p.nChunks = 2;
  o.p.zSize = 2;
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < o.p.ySize; ++y)
      for (int x = 0; x < o.p.xSize; ++x) o.at(x, y, z) = z + 1.0f;
  writeSlab(o.p, o.names());
  o.p.chunkIndex = 1;
  o.p.zSize = 1;
  for (int i = 0; i < o.p.xSize * o.p.ySize; ++i) o.volume[i] = 3.0f;
  writeSlab(o.p, o.names());
  o.p.zSize = 3;
}

}  // namespace

TEST(OutputFiles, HeadersCarryTotalsExtremesAndBinnedOrigin) {
  Output o(4, 3, 2);
  o.p.zOriginUser = 40;
  o.p.zBinSize = 2;
  for (size_t i = 0; i < o.volume.size(); ++i) o.volume[i] = 0.5f * i - 3.0f;
  writeSlab(o.p, o.names());
  EXPECT_EQ(chunkOf(o), "");  // one slab: no chunk file
  o.name(o.byteFile, "bytes.vff");
  o.assemble(o.slicePattern().c_str());

  const std::string volume = readFile(o.dir.file("out.vff"));
  const std::string header = headerOf(volume);
  for (const char* line : {"rank=3;\n", "size=4 3 2;\n", "origin=30 30 20;\n", "bits=16;\n", "min=-3.000000;\n",
                           "max=8.500000;\n", "spacing=1.00 1.00 2.00;\n", "title=T;\n", "date=D;\n"})
    EXPECT_NE(header.find(line), std::string::npos) << line;
  EXPECT_EQ(volume.size(), header.size() + 4 * 3 * 2 * 2);
  const std::string bytes = readFile(o.dir.file("bytes.vff"));
  EXPECT_NE(headerOf(bytes).find("bits=8;\n"), std::string::npos);
  EXPECT_EQ(bytes.size(), headerOf(bytes).size() + 4 * 3 * 2);

  // Slice files are numbered from zOriginUser / zBinSize.
  EXPECT_FALSE(fileExists(o.dir.file("s0.vff")));
  EXPECT_FALSE(fileExists(o.dir.file("s22.vff")));
  const std::string slice = readFile(o.dir.file("s21.vff"));
  for (const char* line : {"rank=2;\n", "size=4 3;\n", "origin=30 30;\n", "bits=32;\n", "spacing=1.00 1.00;\n"})
    EXPECT_NE(headerOf(slice).find(line), std::string::npos) << line;
  const std::vector<float> values = floatsOf(slice);
  ASSERT_EQ(values.size(), 12u);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(values[y * 4 + x], o.at(x, y, 1));
  EXPECT_TRUE(fileExists(o.dir.file("s20.vff")));
}

TEST(OutputScaling, HounsfieldModeMapsWaterToZeroAndAirToMinus1000) {
  Output o(5, 1, 1);
  const float values[] = {0.2f, 0.0f, 0.4f, 10.0f, -10.0f};
  for (int x = 0; x < 5; ++x) o.at(x, 0, 0) = values[x];
  o.p.waterValue = 0.2f;
  o.p.airValue = 0.0f;
  o.p.minValue = -0.1f;
  o.p.maxValue = 0.5f;
  o.name(o.byteFile, "bytes.vff");
  o.assemble();
  EXPECT_EQ(shortsOf(readFile(o.dir.file("out.vff"))), (std::vector<int16_t>{0, -1000, 1000, 32767, -32768}));
  const std::string bytes = readFile(o.dir.file("bytes.vff"));
  EXPECT_EQ(bytes.substr(headerOf(bytes).size()), std::string("\x7f\x2a\xd4\xff\x00", 5));
}

TEST(OutputScaling, LargestMagnitudeMapsTo32767WithoutBothReferences) {
  Output o(3, 1, 1);
  const float values[] = {-0.5f, 0.25f, 0.0f};
  for (int x = 0; x < 3; ++x) o.at(x, 0, 0) = values[x];
  o.p.waterValue = 0.2f;  // air not given: no Hounsfield units
  writeSlab(o.p, o.names());
  o.assemble();
  EXPECT_EQ(shortsOf(readFile(o.dir.file("out.vff"))), (std::vector<int16_t>{-32767, 16383, 0}));
}

TEST(OutputScaling, ConstantVolumeGivesZeroBytesAndShorts) {
  Output o(3, 2, 1);
  writeSlab(o.p, o.names());
  o.name(o.byteFile, "bytes.vff");
  o.assemble();
  EXPECT_EQ(shortsOf(readFile(o.dir.file("out.vff"))), std::vector<int16_t>(6, 0));
  const std::string bytes = readFile(o.dir.file("bytes.vff"));
  EXPECT_EQ(bytes.substr(headerOf(bytes).size()), std::string(6, '\0'));
}

TEST(OutputMask, VoxelAtTheMaskRadiusIsZeroed) {
  Output o(9, 9, 1);
  o.p.xOrigin = o.p.yOrigin = 0;
  o.p.gridSizeXY = 9;       // centre (4, 4)
  o.p.yprojSizeUser = 100;  // radius min(2, 96) = 2
  o.p.axisUser = 2.0f;
  std::fill(o.volume.begin(), o.volume.end(), 1.0f);
  writeSlab(o.p, o.names());
  o.assemble(o.slicePattern().c_str());
  const std::vector<float> values = floatsOf(readFile(o.dir.file("s0.vff")));
  ASSERT_EQ(values.size(), 81u);
  int kept = 0;
  for (float v : values) kept += v != 0.0f;
  EXPECT_EQ(kept, 9);  // the 3 x 3 block around the centre
  EXPECT_EQ(values[4 * 9 + 6], 0.0f);
  EXPECT_EQ(values[2 * 9 + 4], 0.0f);
  EXPECT_EQ(values[5 * 9 + 5], 1.0f);
}

TEST(OutputReflect, FirstValueOfEachRowIsTheLastColumn) {
  Output o(3, 2, 1);
  o.p.reflect = kOn;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) o.at(x, y, 0) = 10.0f * y + x + 1;
  writeSlab(o.p, o.names());
  o.assemble(o.slicePattern().c_str());
  EXPECT_EQ(floatsOf(readFile(o.dir.file("s0.vff"))), (std::vector<float>{3, 2, 1, 13, 12, 11}));
}

// Slices are gathered from the slab several at a time: with more slices
// than one block holds, a last block cut short, and mirrored rows, every
// slice file must still hold exactly its own slice of the slab.
TEST(OutputFiles, EverySliceFileHoldsItsSlabSlice) {
  for (bool reflect : {false, true}) {
    SCOPED_TRACE(reflect ? "reflected" : "as reconstructed");
    Output o(5, 3, 37);
    o.p.reflect = reflect ? kOn : 0;
    for (size_t i = 0; i < o.volume.size(); ++i) o.volume[i] = 0.25f * float(i);
    writeSlab(o.p, o.names());
    EXPECT_EQ(o.p.maxValue, 0.25f * float(o.volume.size() - 1));
    o.assemble(o.slicePattern().c_str());
    for (int z = 0; z < 37; ++z) {
      std::vector<float> expected;
      for (int y = 0; y < 3; ++y)
        for (int col = 0; col < 5; ++col) expected.push_back(o.at(reflect ? 4 - col : col, y, z));
      ASSERT_EQ(floatsOf(readFile(o.dir.file("s" + std::to_string(z) + ".vff"))), expected) << "slice " << z;
    }
  }
}

TEST(ChunkFile, SlabsAreGatheredInOrderAndTheChunkRemoved) {
  Output o(2, 2, 2);
  writeTwoSlabs(o);
  ASSERT_NE(chunkOf(o), "");
  EXPECT_EQ(readFile(chunkOf(o)).size(), 3u * 4 * 4);
  EXPECT_EQ(o.p.minValue, 1.0f);
  EXPECT_EQ(o.p.maxValue, 3.0f);
  o.assemble(o.slicePattern().c_str());
  for (int z = 0; z < 3; ++z)
    EXPECT_EQ(floatsOf(readFile(o.dir.file("s" + std::to_string(z) + ".vff"))), std::vector<float>(4, z + 1.0f));
  EXPECT_TRUE(testutil::korvanLeftovers(o.dir.path()).empty());
  EXPECT_NE(headerOf(readFile(o.dir.file("out.vff"))).find("size=2 2 3;\n"), std::string::npos);
}

TEST(ScratchImage, ScalesTo29000OfTheLargestMagnitudeAndPadsWithZeros) {
  const float slice[] = {1.0f, -0.5f, 1e-4f, -1e-4f, 2.0f, -2.0f};
  std::vector<int16_t> image(16, 99);
  toScratchImage(image.data(), 4, slice, 3, 2, 2.0f);
  EXPECT_EQ(image, (std::vector<int16_t>{14500, -7250, 1, 0, -1, 29000, -29000, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  float back[6];
  fromScratchImage(image.data(), 4, back, 3, 2, 2.0f);
  const float expected[] = {1.0f, -0.5f, 2.0f / 29000, -2.0f / 29000, 2.0f, -2.0f};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], expected[i], 1e-6) << i;
}

// ---------------------------------------------------------------------------
// Failures end the run (exit status 0 through the failure path) and remove
// the chunk file and every output file that was begun.

using OutputFailureDeathTest = testing::Test;

TEST(OutputFailureDeathTest, OutfileThatCannotBeCreated) {
  Output o(2, 2, 1);
  o.name(o.outFile, "missing/out.vff");
  writeSlab(o.p, o.names());
  EXPECT_EXIT(o.assemble(), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(o.logged("Error: could not open outfile " + o.dir.file("missing/out.vff")));
}

TEST(OutputFailureDeathTest, BytefileThatCannotBeCreatedRemovesTheVolume) {
  Output o(2, 2, 1);
  o.name(o.byteFile, "missing/bytes.vff");
  writeSlab(o.p, o.names());
  EXPECT_EXIT(o.assemble(), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(o.logged("Error: could not open bytefile " + o.dir.file("missing/bytes.vff")));
  EXPECT_FALSE(fileExists(o.dir.file("out.vff")));
}

TEST(OutputFailureDeathTest, SlicefileThatCannotBeOpenedRemovesEverythingBegun) {
  Output o(2, 2, 2);
  writeTwoSlabs(o);
  o.name(o.byteFile, "bytes.vff");
  EXPECT_EXIT(o.assemble(o.dir.file("missing/s%d.vff").c_str()), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(o.logged("Error: could not open slicefile " + o.dir.file("missing/s0.vff")));
  EXPECT_FALSE(fileExists(o.dir.file("out.vff")));
  EXPECT_FALSE(fileExists(o.dir.file("bytes.vff")));
  EXPECT_TRUE(testutil::korvanLeftovers(o.dir.path()).empty());
}

TEST(OutputFailureDeathTest, ChunkFileThatCannotBeCreatedOrAppended) {
  Output o(2, 2, 2);
  o.p.nChunks = 2;
  o.name(o.outFile, "missing/out.vff");
  EXPECT_EXIT(writeSlab(o.p, o.names()), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(o.logged("Error: could not create chunk file beside " + o.dir.file("missing/out.vff")));

  o.name(o.outFile, "out.vff");
  writeSlab(o.p, o.names());
  const std::string chunk = chunkOf(o);
  ASSERT_EQ(std::remove(chunk.c_str()), 0);
  ASSERT_EQ(mkdir(chunk.c_str(), 0755), 0);  // a directory cannot be appended to
  o.p.chunkIndex = 1;
  EXPECT_EXIT(writeSlab(o.p, o.names()), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(o.logged("Error: could not append to chunk file " + chunk));
}

TEST(OutputFailureDeathTest, ChunkFileCutShortRemovesTheVolume) {
  Output o(2, 2, 2);
  writeTwoSlabs(o);
  ASSERT_EQ(truncate(chunkOf(o).c_str(), 2 * 16 + 8), 0);
  const std::string chunk = chunkOf(o);
  EXPECT_EXIT(o.assemble(), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(o.logged("Error: could not read chunk file " + chunk));
  EXPECT_FALSE(fileExists(o.dir.file("out.vff")));
  EXPECT_TRUE(testutil::korvanLeftovers(o.dir.path()).empty());
}

// A full disk, as the file size limit gives it (its signal ignored): the
// failure is reported, the unfinished files are removed and a volume the
// user had at the output path is left as it was.
TEST(OutputFailureDeathTest, FullDiskIsReportedAndTheEarlierFileKept) {
  const auto limited = [](rlim_t bytes, const std::function<void()>& work) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    work();
  };
  Output o(32, 32, 4);  // 16 KiB of floats, 8 KiB of 16-bit samples; the log stays far below
  o.p.nChunks = 2;
  EXPECT_EXIT(limited(8192, [&] { writeSlab(o.p, o.names()); }), testing::ExitedWithCode(0), "");
  const std::string text = readFile(o.dir.file("korvan.log"));
  EXPECT_NE(text.find(": Error: could not write chunk file " + o.dir.file("out.vff.korvan-chunk-")),
            std::string::npos);
  EXPECT_NE(text.find(" (disk full?)\n"), std::string::npos);
  EXPECT_TRUE(testutil::korvanLeftovers(o.dir.path()).empty());

  o.p.nChunks = 1;
  testutil::writeFile(o.dir.file("out.vff"), "an older volume");
  writeSlab(o.p, o.names());
  EXPECT_EXIT(limited(4096, [&] { o.assemble(); }), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(o.logged("Error: could not write " + o.dir.file("out.vff") + " (disk full?)"));
  EXPECT_EQ(readFile(o.dir.file("out.vff")), "an older volume");
  EXPECT_TRUE(testutil::korvanLeftovers(o.dir.path()).empty());
}
