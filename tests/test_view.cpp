// korvan-view as a process: statistics and completeness, preview PNGs read
// back with libpng, NRRD headers, volume comparison, TIFF and NRRD export
// read back with libtiff and by hand, axis finding.
#include <png.h>
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "support/testutil.h"

using namespace testutil;

namespace {

// A float volume holding f(x, y, z), x fastest.
template <typename F>
std::string floatVolume(int nx, int ny, int nz, F f, const std::vector<std::string>& extra = {}) {
  std::vector<double> v;
  for (int i = 0; i < nx * ny * nz; ++i) v.push_back(static_cast<float>(f(i % nx, i / nx % ny, i / nx / ny)));
  return vffFile({nx, ny, nz}, 32, extra, v);
}

ProcessResult viewTool(std::vector<std::string> args) {
  args.insert(args.begin(), toolBinary("korvan-view"));
  return runProcess(args);
}

// The number after "key: " in the output; NaN when absent.
double field(const std::string& out, const std::string& key) {
  const size_t at = ("\n" + out).find("\n" + key + ": ");
  return at == std::string::npos ? NAN : std::strtod(out.c_str() + at + key.size() + 2, nullptr);
}

// A PNG's grey levels, row after row, as libpng reads them; the width first.
std::vector<int> readPng(const std::string& path) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
  image.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> grey(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr)) return {};
  std::vector<int> out = {int(image.width)};
  return out.insert(out.end(), grey.begin(), grey.end()), out;
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
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width), TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &t.bits), TIFFGetField(tiff, TIFFTAG_SAMPLEFORMAT, &t.format);
  TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &t.unit), TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &t.xResolution);
  std::vector<unsigned char> row(TIFFScanlineSize(tiff));
  for (uint32_t y = 0; y < height && TIFFReadScanline(tiff, row.data(), y) == 1; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      const unsigned char* p = &row[x * t.bits / 8];
      float f = 0;
      int16_t s = 0;
      std::memcpy(&f, p, 4 * (t.bits == 32)), std::memcpy(&s, p, 2 * (t.bits == 16));
      t.samples.push_back(t.bits == 32 ? f : t.bits == 16 ? s : *p);
    }
  TIFFClose(tiff);
  return t;
}

}  // namespace

// What info tells of each sample type, of a file cut short (status 3) and of
// headers it cannot read (status 2); diff refuses both.
TEST(ViewInfo, TellsSampleTypeStatisticsAndDamage) {
  TempDir dir;
  const std::string whole = floatVolume(3, 2, 2, [](int x, int y, int z) { return x - 2.5 * y + 10 * z; });
  const struct {
    std::string bytes;
    int status;
    const char* text;  // in standard output or error
  } rows[] = {
      {whole, 0, "\nsize: 3 x 2 x 2\nsamples: 32-bit float, big-endian\nmin: -2.5\nmax: 12\nmean: 4.75\ncomplete\n"},
      {vffFile({2, 2, 1}, 16, {}, {-300, 7, 1000, 1}), 0,
       "\nsamples: 16-bit signed, big-endian\nmin: -300\nmax: 1000\nmean: 177\ncomplete\n"},
      {vffFile({4, 1, 1}, 8, {}, {0, 16, 255, 5}), 0, "\nsamples: 8-bit unsigned\nmin: 0\nmax: 255\nmean: 69\n"},
      {whole.substr(0, whole.size() - 10), 3, "\nTRUNCATED: header says 12 samples, file holds 9\n"},  // 2.5 short
      {"ncab\nsize=2 2;\nbits=8;\n\f\n....", 2, "is not a VFF file"},
      {"ncaa\nsize=2 2;\nbits=8;\n", 2, "no end of header"},
      {"ncaa\nsize=2 2;\nbits=12;\n\f\n....", 2, "bits must be 8, 16 or 32"},
      {"ncaa\nsize=2 0;\nbits=8;\n\f\n....", 2, "sizes must be positive"},
      {"ncaa\nsize=2 2;\nbits 8;\n\f\n....", 2, "malformed header line 'bits 8;'"},
  };
  for (const auto& row : rows) {
    writeFile(dir.file("v.vff"), row.bytes);
    const ProcessResult r = viewTool({"info", dir.file("v.vff")});
    EXPECT_EQ(r.exitStatus, row.status) << row.text;
    EXPECT_NE((r.out + r.err).find(row.text), std::string::npos) << r.out << r.err;
    EXPECT_EQ(row.status ? viewTool({"diff", dir.file("v.vff"), dir.file("v.vff")}).exitStatus : 2, 2) << row.text;
  }
}

// Grey levels rounded over the window: the axial slice, then the coronal and
// sagittal ones through the middle, z upwards, in an image 5 + 5 + 4 wide.
TEST(ViewPreview, PanelsShowCentralSlicesInGrey) {
  TempDir dir;
  const auto value = [](int x, int y, int z) { return x + 10.0 * y + 100.0 * z; };
  writeFile(dir.file("v.vff"), floatVolume(5, 4, 3, value));
  const auto grey = [&](int x, int y, int z) { return int(std::lround(255.0 * value(x, y, z) / 234.0)); };  // 0..234
  const struct {
    std::vector<std::string> options;
    int x, y, grey;  // of the image
  } rows[] = {
      {{}, 2, 1, grey(2, 1, 1)}, {{}, 4, 3, grey(4, 3, 1)},  // axial: the middle slice
      {{}, 5 + 3, 2, grey(3, 2, 0)}, {{}, 5 + 0, 0, grey(0, 2, 2)},  // coronal: the bottom row z = 0
      {{}, 10 + 1, 1, grey(2, 1, 1)}, {{}, 10 + 3, 0, grey(2, 3, 2)},  // sagittal
      {{}, 7, 3, 0},  // below the three-slice side panels
      // Window 111..131 on axial slice 0: that slice (0..34) lies below it,
      // coronal z = 2 (220..224) above it, 124 at (4, 2, 1) in it.
      {{"--window", "20", "--level", "121", "--slice", "0"}, 4, 3, 0},
      {{"--window", "20", "--level", "121", "--slice", "0"}, 5 + 0, 0, 255},
      {{"--window", "20", "--level", "121", "--slice", "0"}, 5 + 4, 1, int(std::lround(255.0 * 13 / 20))},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"preview", dir.file("v.vff"), "-o", dir.file("v.png")};
    args.insert(args.end(), row.options.begin(), row.options.end());
    ASSERT_EQ(viewTool(args).exitStatus, 0);
    const std::vector<int> png = readPng(dir.file("v.png"));
    ASSERT_TRUE(png.size() == 1 + 14 * 4 && png[0] == 14) << png.size();
    EXPECT_EQ(png[1 + row.y * 14 + row.x], row.grey) << row.x << " " << row.y;
  }
  EXPECT_NE(viewTool({"preview", dir.file("v.vff"), "-o", dir.file("x.png"), "--slice", "3"}).exitStatus, 0);
  EXPECT_FALSE(fileExists(dir.file("x.png")));
}

TEST(ViewNhdr, ByteSkipPointsAtFirstSample) {
  TempDir dir;
  const std::string bytes = floatVolume(3, 2, 2, [](int x, int y, int z) { return 1.5 + x + y + z; },
                                        {"title=a \"title\" with spaces;", "spacing=1.00 1.00 2.00;"});
  writeFile(dir.file("vol.vff"), bytes);
  ASSERT_EQ(viewTool({"nhdr", dir.file("vol.vff")}).exitStatus, 0);
  const std::string nhdr = readFile(dir.file("vol.vff.nhdr"));
  EXPECT_EQ(nhdr.rfind("NRRD0004\n", 0), 0u);
  for (const char* line : {"\ntype: float\n", "\ndimension: 3\n", "\nsizes: 3 2 2\n", "\nspacings: 1.00 1.00 2.00\n",
                           "\nendian: big\n", "\nencoding: raw\n", "\ndata file: vol.vff\n"})
    EXPECT_NE(nhdr.find(line), std::string::npos) << line;
  const size_t skip = static_cast<size_t>(field(nhdr, "byte skip"));
  EXPECT_EQ(bytes.substr(skip, 8), std::string("\x3f\xc0\0\0\x40\x20\0\0", 8));  // 1.5, 2.5
  EXPECT_EQ(bytes.size() - skip, 12u * 4);
}

// B ranges over 0..8; A differs by +3 at one voxel and -4 at another of 32
// (4 x 4 x 2): RMSE sqrt(25 / 32), PSNR 20 log10(8 / RMSE). The field of
// view of 8 x 8 is radius 2.5 about (3.5, 3.5): the inner 4 x 4 block.
TEST(ViewDiff, ReportsErrorMeasuresOverChosenVoxels) {
  TempDir dir;
  const auto b = [](int x, int y, int z) { return x + y + 2.0 * z; };
  writeFile(dir.file("a.vff"), floatVolume(4, 4, 2, [&](int x, int y, int z) {
              return b(x, y, z) + (x == 1 && y == 2 && z == 0) * 3 - (x + y == 0 && z == 1) * 4; }));
  writeFile(dir.file("b.vff"), floatVolume(4, 4, 2, b));
  writeFile(dir.file("c.vff"), floatVolume(8, 8, 1, [](int x, int y, int) { return x + y ? 1.0 : 100.0; }));
  writeFile(dir.file("d.vff"), floatVolume(8, 8, 1, [](int, int, int) { return 0.5; }));
  writeFile(dir.file("n.vff"), floatVolume(4, 4, 2, [&](int x, int y, int z) { return x == 3 ? NAN : b(x, y, z); }));
  const double rmse = std::sqrt(25.0 / 32.0);
  const struct {
    std::vector<std::string> args;
    int status;
    double voxels, rmse, maxAbs, bias, psnr;  // NaN: not checked
  } rows[] = {
      {{"a", "b"}, 0, 32, rmse, 4, -1.0 / 32, 20 * std::log10(8.0 / rmse)},
      {{"a", "b", "--slices", "0:1"}, 0, 16, std::sqrt(9.0 / 16), 3, NAN, NAN},
      {{"c", "d", "--fov", "--scale-a", "0.5", "--tolerance", "0"}, 0, 16, 0, 0, 0, NAN},
      {{"c", "d", "--scale-a", "0.5", "--tolerance", "5"}, 1, 64, NAN, 49.5, NAN, NAN},
      {{"n", "b", "--tolerance", "1e9"}, 1, NAN, NAN, NAN, NAN, NAN},  // a NaN fails any tolerance
      {{"a", "c"}, 2, NAN, NAN, NAN, NAN, NAN},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"diff", dir.file(row.args[0] + ".vff"), dir.file(row.args[1] + ".vff")};
    args.insert(args.end(), row.args.begin() + 2, row.args.end());
    const ProcessResult r = viewTool(args);
    EXPECT_EQ(r.exitStatus, row.status) << r.out << r.err;
    const double want[] = {row.voxels, row.rmse, row.maxAbs, row.bias, row.psnr};
    const char* keys[] = {"voxels", "rmse", "max abs diff", "bias", "psnr"};
    for (int k = 0; k < 5; ++k)
      EXPECT_TRUE(std::isnan(want[k]) || std::fabs(field(r.out, keys[k]) - want[k]) <= 1e-4 * std::max(1.0, std::fabs(want[k])))
          << keys[k] << "\n" << r.out;
  }
}

// TIFF slices of each sample width, scaled over the volume's range, with the
// voxel size as resolution; NRRD with the samples as stored.
TEST(ViewExport, TiffSlicesAndNrrdHoldTheSamples) {
  TempDir dir;
  const auto f = [](int x, int y, int z) { return (x - 1.25) * 3 + 7 * y - 100.5 * z; };  // -104.25 .. 9.25
  const std::string floats = floatVolume(3, 2, 2, f, {"spacing=1.00 1.00 2.00;", "elementsize=0.050000;"});
  writeFile(dir.file("f.vff"), floats);
  writeFile(dir.file("s.vff"), vffFile({2, 2, 1}, 16, {}, {-300, 7, 32767, -32768}));
  const double shorts[] = {-300, 7, 32767, -32768};
  const struct {
    const char* volume;
    const char* bits;  // "" for the default
    uint16_t tiffBits, format;
    std::function<double(int, int, int)> sample;
  } rows[] = {
      {"f", "", 32, SAMPLEFORMAT_IEEEFP, f},
      {"f", "16", 16, SAMPLEFORMAT_INT, [&](int x, int y, int z) { return std::round(f(x, y, z) * 32767 / 104.25); }},
      {"f", "8", 8, SAMPLEFORMAT_UINT, [&](int x, int y, int z) { return std::round((f(x, y, z) + 104.25) * 255 / 113.5); }},
      {"s", "", 16, SAMPLEFORMAT_INT, [&](int x, int y, int) { return shorts[2 * y + x]; }},
      {"s", "32", 32, SAMPLEFORMAT_IEEEFP, [&](int x, int y, int) { return shorts[2 * y + x]; }},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"export", dir.file(std::string(row.volume) + ".vff"), dir.file("out"), "--tiff"};
    if (*row.bits) args.insert(args.end(), {"--bits", row.bits});
    ASSERT_EQ(viewTool(args).exitStatus, 0) << row.volume << row.bits;
    const int nx = *row.volume == 'f' ? 3 : 2;
    for (int z = 0; z < nx - 1; ++z) {
      const Tiff t = readTiff(dir.file("out/" + std::string(row.volume) + "_000" + std::to_string(z) + ".tif"));
      std::vector<double> expected;
      for (int i = 0; i < 2 * nx; ++i) expected.push_back(row.sample(i % nx, i / nx, z));
      EXPECT_EQ(t.bits * 10 + t.format, row.tiffBits * 10 + row.format) << row.volume << row.bits;
      EXPECT_EQ(t.samples, expected) << row.volume << row.bits << " slice " << z;
    }
  }
  const Tiff t = readTiff(dir.file("out/f_0000.tif"));  // 0.05 mm voxels: 200 per centimetre
  EXPECT_TRUE(t.unit == RESUNIT_CENTIMETER && t.xResolution == 200.0f) << t.unit << " " << t.xResolution;
  ASSERT_EQ(viewTool({"export", dir.file("f.vff"), dir.file("out"), "--nrrd"}).exitStatus, 0);
  const std::string nrrd = readFile(dir.file("out/f.nrrd"));
  EXPECT_NE(nrrd.find("\nsizes: 3 2 2\nspace directions: (0.05,0,0) (0,0.05,0) (0,0,0.1)\n"), std::string::npos) << nrrd;
  EXPECT_EQ(nrrd.substr(nrrd.find("\n\n") + 2), floats.substr(floats.find('\f') + 2));
  writeFile(dir.file("plain"), "");
  EXPECT_EQ(viewTool({"export", dir.file("f.vff"), dir.file("plain"), "--tiff"}).exitStatus, 2);
}

// Series of korvan-phantom and the stored reference series: the axis within
// a tenth of a column, an honest uncertainty, the tilt for full turns only.
TEST(ViewAxis, FindsTheAxisWithinATenthOfAColumn) {
  TempDir dir;
  const std::string data = testDataDir();
  const struct {
    std::string pattern, first;
    std::vector<std::string> phantom;  // korvan-phantom's options, none for a reference series
    double axis;                       // in the files' columns
  } rows[] = {
      {dir.file("full%d.vff"), "0", {"--full360", "--axis", "33.3"}, 33.3},
      {dir.file("half%d.vff"), "0", {"--axis", "29.71", "--step", "1.5"}, 29.71},
      {dir.file("short%d.vff"), "0", {"--bits", "16", "--axis", "34.13", "--rfan", "180"}, 34.13},
      {dir.file("cut%d.vff"), "0", {"--axis", "27.4", "--truncate-from", "12"}, 15.4},
      {dir.file("back%d.vff"), "0", {"--full360", "--reverse", "--axis", "32.77"}, 32.77},
      {data + "/shepp64-full/p%d.vff", "0", {}, 31.5},
      {data + "/shepp64-short16/p%d.vff", "1", {}, 30.25},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {toolBinary("korvan-phantom"), "-o", row.pattern, "--width", "64", "--height", "24"};
    args.insert(args.end(), row.phantom.begin(), row.phantom.end());
    ASSERT_TRUE(row.phantom.empty() || runProcess(args).exitStatus == 0) << row.pattern;
    const ProcessResult r = viewTool({"axis", row.pattern, "-f", row.first});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const double axis = field(r.out, "axis"), uncertainty = std::strtod(r.out.c_str() + r.out.find(" +- ") + 4, nullptr);
    EXPECT_NEAR(axis, row.axis, std::min(0.1, 3 * uncertainty)) << row.pattern;  // the uncertainty is honest
    char option[40];
    std::snprintf(option, sizeof option, "\nkorvan option: -a %.2f\n", axis);
    EXPECT_NE(r.out.find(option), std::string::npos) << r.out;
    const bool fullTurn = row.pattern.find("half") == std::string::npos && row.pattern.find("short") == std::string::npos;
    EXPECT_EQ(r.out.find("\ntilt: ") != std::string::npos, fullTurn) << r.out;
    EXPECT_EQ(r.err, "");
  }
  ProcessResult r = viewTool({"axis", dir.file("half%d.vff"), "--views", "60"});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("covers less than half a turn"), std::string::npos) << r.err;
  r = viewTool({"axis", dir.file("half%d.vff"), "--reverse"});  // the wrong direction of rotation
  EXPECT_NE(r.err.find("warning: the views agree far better taken to turn the other way"), std::string::npos);
}
