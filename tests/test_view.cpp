// korvan-view as a process: statistics, previews (read by libpng), comparison, export (by libtiff), axis finding.
#include <png.h>
#include <tiffio.h>

#include <cstring>

#include <gtest/gtest.h>

#include "support/testutil.h"

using namespace testutil;

namespace {

template <typename F>
std::string floatVolume(int nx, int ny, int nz, F f, const std::vector<std::string>& extra = {}) {
  std::vector<double> v;
  for (int i = 0; i < nx * ny * nz; ++i) v.push_back(static_cast<float>(f(i % nx, i / nx % ny, i / nx / ny)));
  return vffFile({nx, ny, nz}, 32, extra, v);
}

ProcessResult viewTool(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), toolBinary("korvan-view"));
  return runProcess(args, {}, "", 120, dir.path());
}

double field(const std::string& out, const std::string& key) {
  const size_t at = ("\n" + out).find("\n" + key + ": ");
  return at == std::string::npos ? NAN : std::strtod(out.c_str() + at + key.size() + 2, nullptr);
}

// A TIFF slice (one strip) as libtiff reads it: bits * 10 + sample format, resolution unit and x, the samples.
std::vector<double> readTiff(const std::string& path) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (!tiff) return {};
  uint16_t bits = 0, format = 0, unit = 0;
  float resolution = 0, f = 0;
  int16_t s = 0;
  TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits), TIFFGetField(tiff, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &unit), TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &resolution);
  std::vector<unsigned char> bytes(TIFFStripSize(tiff));
  bytes.resize(std::max<tmsize_t>(0, TIFFReadEncodedStrip(tiff, 0, bytes.data(), -1))), TIFFClose(tiff);
  std::vector<double> t = {bits * 10.0 + format, double(unit), resolution};
  for (size_t i = 0; bits >= 8 && i < bytes.size(); i += bits / 8)
    std::memcpy(&f, &bytes[i], 4 * (bits == 32)), std::memcpy(&s, &bytes[i], 2 * (bits == 16)),
        t.push_back(bits == 32 ? f : bits == 16 ? s : bytes[i]);
  return t;
}

}  // namespace

// What info tells of a volume, of a file cut short (status 3) and of a header it cannot read (status 2).
TEST(ViewInfo, TellsSampleTypeStatisticsAndDamage) {
  TempDir dir;
  const std::string whole = floatVolume(3, 2, 2, [](int x, int y, int z) { return x - 2.5 * y + 10 * z; });
  const struct { std::string bytes; int status; const char* text; } rows[] = {
      {whole, 0, "\nsize: 3 x 2 x 2\nsamples: 32-bit float, big-endian\nmin: -2.5\nmax: 12\nmean: 4.75\ncomplete\n"},
      {whole.substr(0, whole.size() - 10), 3, "\nTRUNCATED: header says 12 samples, file holds 9\n"},  // 2.5 short
      {"ncab\nsize=2 2;\nbits=8;\n\f\n....", 2, "is not a VFF file"},
  };
  for (const auto& row : rows) {
    writeFile(dir.file("v.vff"), row.bytes);
    const ProcessResult r = viewTool(dir, {"info", "v.vff"});
    EXPECT_TRUE(r.exitStatus == row.status && (r.out + r.err).find(row.text) != std::string::npos) << r.out << r.err;
  }
}

// Grey levels rounded over the window (0..234 by default): the axial, coronal, sagittal middle slices, z up, 14 wide.
TEST(ViewPreview, PanelsShowCentralSlicesInGrey) {
  TempDir dir;
  const auto value = [](int x, int y, int z) { return x + 10.0 * y + 100.0 * z; };
  writeFile(dir.file("v.vff"), floatVolume(5, 4, 3, value));
  const auto grey = [&](int x, int y, int z) { return int(std::lround(255.0 * value(x, y, z) / 234.0)); };
  // Window 111..131 on axial slice 0 (0..34, below it): coronal z = 2 (220..224) above it, 124 at (4, 2, 1) in it.
  const struct { const char* what; std::vector<std::string> options; int x, y, grey; } rows[] = {
      {"axial: the middle slice", {}, 2, 1, grey(2, 1, 1)},
      {"coronal: the top row is z = 2", {}, 5 + 0, 0, grey(0, 2, 2)},
      {"sagittal", {}, 10 + 3, 0, grey(2, 3, 2)},
      {"window: above", {"--window", "20", "--level", "121", "--slice", "0"}, 5 + 0, 0, 255},
      {"window: inside, 255 * 13 / 20", {"--window", "20", "--level", "121", "--slice", "0"}, 5 + 4, 1, 166},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"preview", "v.vff", "-o", "v.png"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    ASSERT_EQ(viewTool(dir, args).exitStatus, 0);
    png_image im{};  // an 8-bit grey image, 14 x 4
    im.version = PNG_IMAGE_VERSION;
    std::vector<uint8_t> png(14 * 4);
    ASSERT_TRUE(png_image_begin_read_from_file(&im, dir.file("v.png").c_str()) && im.format == PNG_FORMAT_GRAY);
    ASSERT_TRUE(im.width == 14 && im.height == 4 && png_image_finish_read(&im, nullptr, png.data(), 0, nullptr));
    EXPECT_EQ(png[row.y * 14 + row.x], row.grey) << row.what;
  }
}

// B ranges over 0..8; A differs by +3 at one voxel and -4 at another of 32 (4 x 4 x 2): RMSE sqrt(25 / 32), PSNR
// 20 log10(8 / RMSE). The field of view of 8 x 8 is radius 2.5 about (3.5, 3.5): the inner 4 x 4 block.
TEST(ViewDiff, ReportsErrorMeasuresOverChosenVoxels) {
  TempDir dir;
  const auto b = [](int x, int y, int z) { return x + y + 2.0 * z; };
  writeFile(dir.file("a.vff"), floatVolume(4, 4, 2, [&](int x, int y, int z) {
              return b(x, y, z) + (x == 1 && y == 2 && z == 0) * 3 - (x + y == 0 && z == 1) * 4; }));
  writeFile(dir.file("b.vff"), floatVolume(4, 4, 2, b));
  writeFile(dir.file("c.vff"), floatVolume(8, 8, 1, [](int x, int y, int) { return x + y ? 1.0 : 100.0; }));
  writeFile(dir.file("d.vff"), floatVolume(8, 8, 1, [](int, int, int) { return 0.5; }));
  const double rmse = std::sqrt(25.0 / 32.0);  // NaN below: not checked
  const char* keys[] = {"voxels", "rmse", "max abs diff", "bias", "psnr"};
  const struct { std::vector<std::string> args; int status; double want[5]; } rows[] = {
      {{"diff", "a.vff", "b.vff"}, 0, {32, rmse, 4, -1.0 / 32, 20 * std::log10(8.0 / rmse)}},
      {{"diff", "a.vff", "b.vff", "--slices", "0:1"}, 0, {16, std::sqrt(9.0 / 16), 3, NAN, NAN}},
      {{"diff", "c.vff", "d.vff", "--fov", "--scale-a", "0.5", "--tolerance", "0"}, 0, {16, 0, 0, 0, NAN}},
      {{"diff", "c.vff", "d.vff", "--scale-a", "0.5", "--tolerance", "5"}, 1, {64, NAN, 49.5, NAN, NAN}},
      {{"diff", "a.vff", "c.vff"}, 2, {NAN, NAN, NAN, NAN, NAN}},
  };
  for (const auto& row : rows) {
    const ProcessResult r = viewTool(dir, row.args);
    EXPECT_EQ(r.exitStatus, row.status) << r.out << r.err;
    for (int k = 0; k < 5; ++k)
      EXPECT_TRUE(std::isnan(row.want[k]) ||
                  std::fabs(field(r.out, keys[k]) - row.want[k]) <= 1e-4 * std::max(1.0, row.want[k])) << r.out;
  }
}

// TIFF slices of each width scaled over the volume's range, the voxel size as resolution; NRRD as stored.
TEST(ViewExport, TiffSlicesAndNrrdHoldTheSamples) {
  TempDir dir;
  const auto f = [](int x, int y, int z) { return (x - 1.25) * 3 + 7 * y - 100.5 * z; };  // -104.25 .. 9.25
  const std::string floats = floatVolume(3, 2, 2, f, {"spacing=1.00 1.00 2.00;", "elementsize=0.050000;"});
  writeFile(dir.file("f.vff"), floats);
  const struct { std::vector<std::string> args; double type, offset, gain; } rows[] = {
      {{"export", "f.vff", "out", "--tiff"}, 320 + SAMPLEFORMAT_IEEEFP, 0, 0},
      {{"export", "f.vff", "out", "--tiff", "--bits", "16"}, 160 + SAMPLEFORMAT_INT, 0, 32767 / 104.25},
      {{"export", "f.vff", "out", "--tiff", "--bits", "8"}, 80 + SAMPLEFORMAT_UINT, 104.25, 255 / 113.5},
  };
  const std::vector<double> v = readVff(dir.file("f.vff")).values;
  for (const auto& row : rows) {
    ASSERT_EQ(viewTool(dir, row.args).exitStatus, 0);
    for (int z = 0; z < 2; ++z) {
      std::vector<double> expected = {row.type, RESUNIT_CENTIMETER, 200};  // 0.05 mm voxels: 200 per centimetre
      for (int i = 6 * z; i < 6 * z + 6; ++i)
        expected.push_back(row.gain ? std::round((v[i] + row.offset) * row.gain) : v[i]);
      EXPECT_EQ(readTiff(dir.file("out/f_000" + std::to_string(z) + ".tif")), expected) << row.type << " slice " << z;
    }
  }
  ASSERT_EQ(viewTool(dir, {"export", "f.vff", "out", "--nrrd"}).exitStatus, 0);
  const std::string nrrd = readFile(dir.file("out/f.nrrd"));
  EXPECT_NE(nrrd.find("\nsizes: 3 2 2\nspace directions: (0.05,0,0) (0,0.05,0) (0,0,0.1)\n"), std::string::npos);
  EXPECT_EQ(nrrd.substr(nrrd.find("\n\n") + 2), floats.substr(floats.find('\f') + 2));
}

// The reference series and a width-truncated one: the axis within a tenth of a column, the tilt for full turns only.
TEST(ViewAxis, FindsTheAxisWithinATenthOfAColumn) {
  TempDir dir;
  const std::string data = testDataDir(), half = data + "/shepp64-short16/p%d.vff";
  ASSERT_EQ(runProcess({toolBinary("korvan-phantom"), "-o", dir.file("cut%d.vff"), "--width", "64", "--height", "24",
                        "--axis", "27.4", "--truncate-from", "12", "--full360"}).exitStatus, 0);
  // The axis in the files' columns (NaN: refused or warned), and the exit status, " tilt" when shown, standard error.
  const struct { std::vector<std::string> args; double axis; const char* said; } rows[] = {
      {{"axis", data + "/shepp64-full/p%d.vff", "-f", "0"}, 31.5, "0 tilt"},
      {{"axis", half, "-f", "1"}, 30.25, "0"},
      {{"axis", "cut%d.vff", "-f", "0"}, 15.4, "0 tilt"},
      {{"axis", half, "-f", "1", "--reverse"}, NAN, "warning: the views agree far better taken to turn the other way"},
  };
  for (const auto& row : rows) {
    const ProcessResult r = viewTool(dir, row.args);
    const std::string said =
        std::to_string(r.exitStatus) + (r.out.find("\ntilt: ") == std::string::npos ? "" : " tilt") + r.err;
    EXPECT_TRUE(std::isnan(row.axis) ? said.find(row.said) != std::string::npos : said == row.said) << said;
    if (std::isnan(row.axis)) continue;
    const double axis = field(r.out, "axis"), uncertainty = std::stod(r.out.substr(r.out.find(" +- ") + 4));
    EXPECT_NEAR(axis, row.axis, std::min(0.1, 3 * uncertainty)) << row.args[0];  // the uncertainty is honest
    EXPECT_NEAR(std::stod(r.out.substr(r.out.find("\nkorvan option: -a ") + 19)), axis, 0.005) << r.out;
  }
}
