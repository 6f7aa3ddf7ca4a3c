// korvan-view as a process: statistics and completeness, preview PNGs read
// back with libpng, NRRD headers, volume comparison, TIFF and NRRD export
// read back with libtiff and by hand.
#include <png.h>
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/testutil.h"

using testutil::TempDir;

namespace {

// A float volume holding f(x, y, z), x fastest.
template <typename F>
std::string floatVolume(int nx, int ny, int nz, F f, const std::vector<std::string>& extra = {}) {
  std::vector<double> v;
  for (int z = 0; z < nz; ++z)
    for (int y = 0; y < ny; ++y)
      for (int x = 0; x < nx; ++x) v.push_back(static_cast<float>(f(x, y, z)));
  return testutil::vffFile({nx, ny, nz}, 32, extra, v);
}

testutil::ProcessResult viewTool(std::vector<std::string> args) {
  args.insert(args.begin(), testutil::toolBinary("korvan-view"));
  return testutil::runProcess(args);
}

// The number after "key: " in the output; NaN when absent.
double field(const std::string& out, const std::string& key) {
  size_t at = out.find("\n" + key + ": ");
  if (at == std::string::npos) return NAN;
  return std::strtod(out.c_str() + at + key.size() + 3, nullptr);
}

struct Png {
  int width = 0, height = 0;
  std::vector<uint8_t> grey;
  int at(int x, int y) const { return grey[static_cast<size_t>(y) * width + x]; }
};

Png readPng(const std::string& path) {
  Png out;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
  image.format = PNG_FORMAT_GRAY;
  out.grey.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.grey.data(), 0, nullptr)) return out;
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  return out;
}

// A TIFF slice as libtiff reads it back: sample type, resolution, samples.
struct Tiff {
  uint16_t bits = 0, format = 0, unit = 0;
  float xResolution = 0;
  std::vector<double> samples;
};

Tiff readTiff(const std::string& path) {
  Tiff t;
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (!tiff) return t;
  uint32_t width = 0, height = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &t.bits);
  TIFFGetField(tiff, TIFFTAG_SAMPLEFORMAT, &t.format);
  TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &t.unit);
  TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &t.xResolution);
  std::vector<unsigned char> row(TIFFScanlineSize(tiff));
  for (uint32_t y = 0; y < height && TIFFReadScanline(tiff, row.data(), y) == 1; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      const unsigned char* p = &row[x * t.bits / 8];
      float f;
      int16_t s;
      std::memcpy(&f, p, 4 * (t.bits == 32));
      std::memcpy(&s, p, 2 * (t.bits == 16));
      t.samples.push_back(t.bits == 32 ? f : t.bits == 16 ? s : *p);
    }
  TIFFClose(tiff);
  return t;
}

}  // namespace

TEST(ViewInfo, ReportsStatisticsOfEachSampleType) {
  TempDir dir;
  testutil::writeFile(dir.file("f.vff"), floatVolume(3, 2, 2, [](int x, int y, int z) { return x - 2.5 * y + 10 * z; }));
  testutil::writeFile(dir.file("s.vff"), testutil::vffFile({2, 2, 1}, 16, {}, {-300, 7, 1000, 1}));
  testutil::writeFile(dir.file("b.vff"), testutil::vffFile({4, 1, 1}, 8, {}, {0, 16, 255, 5}));

  testutil::ProcessResult r = viewTool({"info", dir.file("f.vff")});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("\n  size=3 2 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nsize: 3 x 2 x 2\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nsamples: 32-bit float, big-endian\n"), std::string::npos);
  EXPECT_EQ(field(r.out, "min"), -2.5);
  EXPECT_EQ(field(r.out, "max"), 12.0);
  EXPECT_DOUBLE_EQ(field(r.out, "mean"), (12.0 - 15.0 + 60.0) / 12.0);  // sums of x, -2.5 y, 10 z
  EXPECT_NE(r.out.find("\ncomplete\n"), std::string::npos);

  r = viewTool({"info", dir.file("s.vff")});
  EXPECT_NE(r.out.find("\nsamples: 16-bit signed, big-endian\n"), std::string::npos);
  EXPECT_EQ(field(r.out, "min"), -300.0);
  EXPECT_EQ(field(r.out, "max"), 1000.0);
  EXPECT_EQ(field(r.out, "mean"), 177.0);

  r = viewTool({"info", dir.file("b.vff")});
  EXPECT_NE(r.out.find("\nsamples: 8-bit unsigned\n"), std::string::npos);
  EXPECT_EQ(field(r.out, "max"), 255.0);
  EXPECT_EQ(field(r.out, "mean"), (16.0 + 255.0 + 5.0) / 4.0);
}

TEST(ViewInfo, TellsTruncatedAndMalformedFiles) {
  TempDir dir;
  std::string whole = floatVolume(3, 2, 2, [](int x, int, int) { return x; });
  testutil::writeFile(dir.file("cut.vff"), whole.substr(0, whole.size() - 10));  // 2.5 samples short
  testutil::ProcessResult r = viewTool({"info", dir.file("cut.vff")});
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_NE(r.out.find("\nTRUNCATED: header says 12 samples, file holds 9\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("complete"), std::string::npos);
  EXPECT_EQ(viewTool({"diff", dir.file("cut.vff"), dir.file("cut.vff")}).exitStatus, 2);

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"ncab\nsize=2 2;\nbits=8;\n\f\n....", "is not a VFF file"},
      {"ncaa\nsize=2 2;\nbits=8;\n", "no end of header"},
      {"ncaa\nsize=2 2;\nbits=12;\n\f\n....", "bits must be 8, 16 or 32"},
      {"ncaa\nbits=8;\n\f\n....", "the header needs size="},
      {"ncaa\nsize=2 0;\nbits=8;\n\f\n....", "sizes must be positive"},
      {"ncaa\nsize=2 2;\nbits 8;\n\f\n....", "malformed header line 'bits 8;'"},
  };
  for (const auto& [bytes, message] : bad) {
    testutil::writeFile(dir.file("bad.vff"), bytes);
    r = viewTool({"info", dir.file("bad.vff")});
    EXPECT_EQ(r.exitStatus, 2) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
}

TEST(ViewPreview, PanelsShowCentralSlicesInGrey) {
  TempDir dir;
  auto value = [](int x, int y, int z) { return x + 10.0 * y + 100.0 * z; };
  testutil::writeFile(dir.file("v.vff"), floatVolume(5, 4, 3, value));
  ASSERT_EQ(viewTool({"preview", dir.file("v.vff"), "-o", dir.file("v.png")}).exitStatus, 0);
  Png png = readPng(dir.file("v.png"));
  ASSERT_EQ(png.width, 5 + 5 + 4);
  ASSERT_EQ(png.height, 4);
  // Default window: min..max = 0..234.
  auto grey = [&](int x, int y, int z) { return static_cast<int>(std::lround(255.0 * value(x, y, z) / 234.0)); };
  EXPECT_EQ(png.at(2, 1), grey(2, 1, 1));      // axial slice z = 3/2 = 1
  EXPECT_EQ(png.at(4, 3), grey(4, 3, 1));
  EXPECT_EQ(png.at(5 + 3, 2), grey(3, 2, 0));  // coronal at y = 2, z upwards: bottom row z = 0
  EXPECT_EQ(png.at(5 + 0, 0), grey(0, 2, 2));
  EXPECT_EQ(png.at(10 + 1, 1), grey(2, 1, 1)); // sagittal at x = 2
  EXPECT_EQ(png.at(10 + 3, 0), grey(2, 3, 2));
  EXPECT_EQ(png.at(7, 3), 0);                  // below the three-slice side panels

  ASSERT_EQ(viewTool({"preview", dir.file("v.vff"), "-o", dir.file("w.png"), "--window", "20", "--level", "121",
                      "--slice", "0"})
                .exitStatus,
            0);
  png = readPng(dir.file("w.png"));
  // Window 111..131: axial slice 0 (0..34) lies below it, coronal z = 2
  // (220..224) above it, and 124 at (4, 2, 1) in it.
  EXPECT_EQ(png.at(4, 3), 0);
  EXPECT_EQ(png.at(5 + 0, 0), 255);
  EXPECT_EQ(png.at(5 + 4, 1), static_cast<int>(std::lround(255.0 * (124 - 111) / 20)));
  EXPECT_NE(viewTool({"preview", dir.file("v.vff"), "-o", dir.file("x.png"), "--slice", "3"}).exitStatus, 0);
  EXPECT_FALSE(testutil::fileExists(dir.file("x.png")));
}

TEST(ViewNhdr, ByteSkipPointsAtFirstSample) {
  TempDir dir;
  std::string bytes = floatVolume(3, 2, 2, [](int x, int y, int z) { return 1.5 + x + y + z; },
                                  {"title=a \"title\" with spaces;", "spacing=1.00 1.00 2.00;"});
  testutil::writeFile(dir.file("vol.vff"), bytes);
  ASSERT_EQ(viewTool({"nhdr", dir.file("vol.vff")}).exitStatus, 0);
  std::string nhdr = testutil::readFile(dir.file("vol.vff.nhdr"));
  EXPECT_EQ(nhdr.rfind("NRRD0004\n", 0), 0u);
  for (const char* line : {"\ntype: float\n", "\ndimension: 3\n", "\nsizes: 3 2 2\n", "\nspacings: 1.00 1.00 2.00\n",
                           "\nendian: big\n", "\nencoding: raw\n", "\ndata file: vol.vff\n"})
    EXPECT_NE(nhdr.find(line), std::string::npos) << line;
  size_t at = nhdr.find("\nbyte skip: ");
  ASSERT_NE(at, std::string::npos);
  long skip = std::strtol(nhdr.c_str() + at + 12, nullptr, 10);
  ASSERT_EQ(bytes.size() - skip, 12u * 4u);
  EXPECT_EQ(bytes.substr(skip, 4), std::string("\x3f\xc0\0\0", 4));
  EXPECT_EQ(bytes.substr(skip + 4, 4), std::string("\x40\x20\0\0", 4));
}

TEST(ViewDiff, ReportsErrorMeasuresOverChosenVoxels) {
  TempDir dir;
  // B ranges over 0..8; A differs by +3 at one voxel and -4 at another of
  // 32 (4 x 4 x 2): RMSE = sqrt(25 / 32), PSNR = 20 log10(8 / RMSE).
  auto b = [](int x, int y, int z) { return x + y + 2.0 * z; };
  auto a = [&](int x, int y, int z) { return b(x, y, z) + (x == 1 && y == 2 && z == 0 ? 3 : 0) - (x == 0 && y == 0 && z == 1 ? 4 : 0); };
  testutil::writeFile(dir.file("a.vff"), floatVolume(4, 4, 2, a));
  testutil::writeFile(dir.file("b.vff"), floatVolume(4, 4, 2, b));
  testutil::ProcessResult r = viewTool({"diff", dir.file("a.vff"), dir.file("b.vff")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  double rmse = std::sqrt(25.0 / 32.0);
  EXPECT_EQ(field("\n" + r.out, "voxels"), 32);
  EXPECT_NEAR(field(r.out, "rmse"), rmse, 1e-8);
  EXPECT_EQ(field(r.out, "max abs diff"), 4.0);
  EXPECT_NEAR(field(r.out, "bias"), -1.0 / 32.0, 1e-9);
  EXPECT_NEAR(field(r.out, "psnr"), 20 * std::log10(8.0 / rmse), 1e-3);

  r = viewTool({"diff", dir.file("a.vff"), dir.file("b.vff"), "--slices", "0:1"});  // z = 0 only
  EXPECT_NEAR(field(r.out, "rmse"), std::sqrt(9.0 / 16.0), 1e-8) << r.out;
  // The field of view of radius 0.5 about (1.5, 1.5) holds no voxel of a 4 x 4
  // slice; on 8 x 8 it is radius 2.5 about (3.5, 3.5), leaving the corners out.
  auto corner = [](int x, int y, int) { return (x == 0 && y == 0) ? 100.0 : 1.0; };
  testutil::writeFile(dir.file("c.vff"), floatVolume(8, 8, 1, corner));
  testutil::writeFile(dir.file("d.vff"), floatVolume(8, 8, 1, [](int, int, int) { return 0.5; }));
  r = viewTool({"diff", dir.file("c.vff"), dir.file("d.vff"), "--fov", "--scale-a", "0.5", "--tolerance", "0"});
  EXPECT_EQ(r.exitStatus, 0) << r.out;
  EXPECT_EQ(field(r.out, "rmse"), 0.0);
  EXPECT_EQ(field("\n" + r.out, "voxels"), 16);  // the 4 x 4 inner block
  r = viewTool({"diff", dir.file("c.vff"), dir.file("d.vff"), "--scale-a", "0.5", "--tolerance", "5"});
  EXPECT_EQ(r.exitStatus, 1) << r.out;
  EXPECT_EQ(viewTool({"diff", dir.file("a.vff"), dir.file("c.vff")}).exitStatus, 2);

  // A NaN must fail the tolerance, never pass it.
  testutil::writeFile(dir.file("n.vff"), floatVolume(4, 4, 2, [&](int x, int y, int z) { return x == 3 ? NAN : b(x, y, z); }));
  r = viewTool({"diff", dir.file("n.vff"), dir.file("b.vff"), "--tolerance", "1e9"});
  EXPECT_EQ(r.exitStatus, 1) << r.out;
}

TEST(ViewExport, TiffSlicesAndNrrdHoldTheSamples) {
  TempDir dir;
  auto f = [](int x, int y, int z) { return (x - 1.25) * 3 + 7 * y - 100.5 * z; };  // -104.25 .. 9.25
  const std::string floats = floatVolume(3, 2, 2, f, {"spacing=1.00 1.00 2.00;", "elementsize=0.050000;"});
  testutil::writeFile(dir.file("f.vff"), floats);
  testutil::writeFile(dir.file("s.vff"), testutil::vffFile({2, 2, 1}, 16, {}, {-300, 7, 32767, -32768}));
  const double shorts[] = {-300, 7, 32767, -32768};
  struct Case {
    const char* volume;
    const char* bits;  // "" for the default
    uint16_t tiffBits, format;
    std::function<double(int, int, int)> sample;
  };
  const Case cases[] = {
      {"f", "", 32, SAMPLEFORMAT_IEEEFP, f},
      {"f", "16", 16, SAMPLEFORMAT_INT, [&](int x, int y, int z) { return std::round(f(x, y, z) * 32767 / 104.25); }},
      {"f", "8", 8, SAMPLEFORMAT_UINT, [&](int x, int y, int z) { return std::round((f(x, y, z) + 104.25) * 255 / 113.5); }},
      {"s", "", 16, SAMPLEFORMAT_INT, [&](int x, int y, int) { return shorts[2 * y + x]; }},
      {"s", "32", 32, SAMPLEFORMAT_IEEEFP, [&](int x, int y, int) { return shorts[2 * y + x]; }},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"export", dir.file(std::string(c.volume) + ".vff"), dir.file("out"), "--tiff"};
    if (*c.bits) args.insert(args.end(), {"--bits", c.bits});
    ASSERT_EQ(viewTool(args).exitStatus, 0) << c.volume << c.bits;
    for (int z = 0; z < (*c.volume == 'f' ? 2 : 1); ++z) {
      Tiff t = readTiff(dir.file("out/" + std::string(c.volume) + "_000" + std::to_string(z) + ".tif"));
      EXPECT_EQ(t.bits, c.tiffBits);
      EXPECT_EQ(t.format, c.format);
      std::vector<double> expected;
      for (int y = 0; y < 2; ++y)
        for (int x = 0; x < (*c.volume == 'f' ? 3 : 2); ++x) expected.push_back(c.sample(x, y, z));
      EXPECT_EQ(t.samples, expected) << c.volume << c.bits << " slice " << z;
    }
  }
  Tiff t = readTiff(dir.file("out/f_0000.tif"));  // 0.05 mm voxels: 200 per centimetre
  EXPECT_EQ(t.unit, RESUNIT_CENTIMETER);
  EXPECT_FLOAT_EQ(t.xResolution, 200.0f);

  ASSERT_EQ(viewTool({"export", dir.file("f.vff"), dir.file("out"), "--nrrd"}).exitStatus, 0);
  std::string nrrd = testutil::readFile(dir.file("out/f.nrrd"));
  EXPECT_NE(nrrd.find("\nsizes: 3 2 2\nspace directions: (0.05,0,0) (0,0.05,0) (0,0,0.1)\n"), std::string::npos) << nrrd;
  size_t data = nrrd.find("\n\n");
  ASSERT_NE(data, std::string::npos);
  EXPECT_EQ(nrrd.substr(data + 2), floats.substr(floats.find('\f') + 2));  // the samples as stored
  testutil::writeFile(dir.file("plain"), "");
  EXPECT_EQ(viewTool({"export", dir.file("f.vff"), dir.file("plain"), "--tiff"}).exitStatus, 2);
}

TEST(ViewAxis, FindsTheAxisWithinATenthOfAColumn) {
  TempDir dir;
  struct Case {
    std::string pattern, first;
    std::vector<std::string> phantom;  // korvan-phantom's options, none for a reference series
    double axis;                       // in the files' columns
    bool fullTurn;
  };
  const std::string data = testutil::testDataDir();
  const Case cases[] = {
      {dir.file("full%d.vff"), "0", {"--full360", "--axis", "33.3"}, 33.3, true},
      {dir.file("half%d.vff"), "0", {"--axis", "29.71", "--step", "1.5"}, 29.71, false},
      {dir.file("short%d.vff"), "0", {"--bits", "16", "--axis", "34.13", "--rfan", "180"}, 34.13, false},
      {dir.file("cut%d.vff"), "0", {"--axis", "27.4", "--truncate-from", "12"}, 15.4, true},
      {dir.file("back%d.vff"), "0", {"--full360", "--reverse", "--axis", "32.77"}, 32.77, true},
      {data + "/shepp64-full/p%d.vff", "0", {}, 31.5, true},
      {data + "/shepp64-short16/p%d.vff", "1", {}, 30.25, false},
  };
  for (const Case& c : cases) {
    if (!c.phantom.empty()) {
      std::vector<std::string> args = {testutil::toolBinary("korvan-phantom"), "-o", c.pattern, "--width", "64",
                                       "--height", "24"};
      args.insert(args.end(), c.phantom.begin(), c.phantom.end());
      ASSERT_EQ(testutil::runProcess(args).exitStatus, 0) << c.pattern;
    }
    testutil::ProcessResult r = viewTool({"axis", c.pattern, "-f", c.first});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const double axis = field(r.out, "axis"), uncertainty = std::strtod(r.out.c_str() + r.out.find(" +- ") + 4, nullptr);
    EXPECT_NEAR(axis, c.axis, 0.1) << c.pattern;
    EXPECT_LE(std::fabs(axis - c.axis), 3 * uncertainty) << c.pattern;  // the uncertainty is honest
    char option[40];
    std::snprintf(option, sizeof option, "\nkorvan option: -a %.2f\n", axis);
    EXPECT_NE(r.out.find(option), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\ntilt: ") != std::string::npos, c.fullTurn) << r.out;
    EXPECT_EQ(r.err, "");
  }
  testutil::ProcessResult r = viewTool({"axis", dir.file("half%d.vff"), "--views", "60"});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("covers less than half a turn"), std::string::npos) << r.err;
  r = viewTool({"axis", dir.file("half%d.vff"), "--reverse"});  // the wrong direction of rotation
  EXPECT_NE(r.err.find("warning: the views agree far better taken to turn the other way"), std::string::npos);
}
