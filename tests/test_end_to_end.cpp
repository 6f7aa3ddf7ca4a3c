// Whole reconstructions: korvan run as a process on projection series made
// outside the project by an exact projector and on series from
// korvan-phantom, compared with the ground truth inside the field of view.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

#include "support/testutil.h"

using testutil::ProcessResult;
using testutil::TempDir;

namespace {

struct Volume {
  int nx = 0, ny = 0, nz = 1, bits = 0;
  std::map<std::string, std::string> keys;
  std::vector<double> v;
  double at(int x, int y, int z = 0) const { return v[(static_cast<size_t>(z) * ny + y) * nx + x]; }
};

// Reads an 8-, 16- or 32-bit big-endian VFF image or volume.
Volume readVff(const std::string& path) {
  std::string bytes = testutil::readFile(path);
  size_t ff = bytes.find('\f');
  if (ff == std::string::npos || ff + 2 > bytes.size()) throw std::runtime_error("not a VFF file: " + path);
  Volume vol;
  std::istringstream header(bytes.substr(0, ff));
  std::string line;
  while (std::getline(header, line)) {
    size_t eq = line.find('='), semi = line.rfind(';');
    if (eq == std::string::npos) continue;
    vol.keys[line.substr(0, eq)] = line.substr(eq + 1, semi == std::string::npos ? std::string::npos : semi - eq - 1);
  }
  std::istringstream size(vol.keys["size"]);
  size >> vol.nx >> vol.ny;
  if (!(size >> vol.nz)) vol.nz = 1;
  vol.bits = std::stoi(vol.keys["bits"]);
  size_t n = static_cast<size_t>(vol.nx) * vol.ny * vol.nz, bytesPer = static_cast<size_t>(vol.bits / 8);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data()) + ff + 2;
  if (bytes.size() - ff - 2 < n * bytesPer) throw std::runtime_error("short VFF file: " + path);
  vol.v.resize(n);
  for (size_t i = 0; i < n; ++i, p += bytesPer) {
    if (vol.bits == 8) {
      vol.v[i] = p[0];
    } else if (vol.bits == 16) {
      vol.v[i] = static_cast<int16_t>((p[0] << 8) | p[1]);
    } else {
      uint32_t u = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
      float f;
      std::memcpy(&f, &u, 4);
      vol.v[i] = f;
    }
  }
  return vol;
}

struct Errors {
  double rmse = NAN, bias = NAN, maxAbs = NAN;
  long count = 0;
};

// Compares float slice files (pattern formatted with firstNumber + z) with the
// truth, for |z - centre| <= halfHeight and inside `radius` around the grid
// centre. Slice values are multiplied by `scale` first.
Errors compareSlices(const std::string& pattern, int firstNumber, const Volume& truth, double centre,
                     double halfHeight, double radius, double scale = 1.0) {
  double sum2 = 0, sum = 0, maxAbs = 0;
  long count = 0;
  double cxy = (truth.nx - 1) / 2.0;
  for (int z = 0; z < truth.nz; ++z) {
    if (std::fabs(z - centre) > halfHeight) continue;
    char name[1024];
    std::snprintf(name, sizeof name, pattern.c_str(), firstNumber + z);
    Volume s = readVff(name);
    for (int y = 0; y < truth.ny; ++y)
      for (int x = 0; x < truth.nx; ++x) {
        if (std::hypot(x - cxy, y - cxy) > radius) continue;
        double d = s.at(x, y) * scale - truth.at(x, y, z);
        sum2 += d * d;
        sum += d;
        maxAbs = std::max(maxAbs, std::fabs(d));
        ++count;
      }
  }
  Errors e;
  e.count = count;
  if (count) {
    e.rmse = std::sqrt(sum2 / count);
    e.bias = sum / count;
    e.maxAbs = maxAbs;
  }
  std::printf("    %s: rmse %.5f, bias %+.5f, max %.4f over %ld voxels\n",
              ::testing::UnitTest::GetInstance()->current_test_info()->name(), e.rmse, e.bias, e.maxAbs, count);
  return e;
}

class EndToEnd : public ::testing::Test {
 protected:
  TempDir dir;
  std::string log = dir.file("korvan.log");
  std::string config = testutil::writeConfig(dir, log);

  ProcessResult korvan(std::vector<std::string> args, const std::string& memoryLimit = "") {
    std::string cfg = config;
    if (!memoryLimit.empty()) cfg = testutil::writeConfig(dir, log, memoryLimit);
    args.insert(args.begin(), testutil::korvanBinary());
    ProcessResult r = testutil::runProcess(args, {{"KORVAN_CONFIG", cfg}, {"OMP_NUM_THREADS", ""}}, "", 300, dir.path());
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    return r;
  }

  ProcessResult phantom(std::vector<std::string> args) {
    args.insert(args.begin(), testutil::toolBinary("korvan-phantom"));
    ProcessResult r = testutil::runProcess(args, {}, "", 300, dir.path());
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    return r;
  }

  bool logSays(const std::string& text) { return testutil::readFile(log).find(text) != std::string::npos; }
};

}  // namespace

// Reference series from an independent projector: a geometry misreading
// shared by korvan and its own simulator would show here.
TEST_F(EndToEnd, ExternalFullTurnSeriesMatchesItsTruth) {
  std::string data = testutil::testDataDir() + "/shepp64-full";
  korvan({"-i", data + "/p%d.vff", "-f", "0", "-o", "out.vff", "-v", "-z", "0", "-w", dir.file("s%d.vff")});
  Errors e = compareSlices(dir.file("s%d.vff"), 0, readVff(data + "/truth.vff"), 31.5, 64 / 8.0, 30.75);
  EXPECT_LT(e.rmse, 0.0035);
  EXPECT_LT(std::fabs(e.bias), 0.0015);
  EXPECT_TRUE(logSays("Backproject speed = "));
}

TEST_F(EndToEnd, ExternalShortScan16BitSeriesMatchesItsTruth) {
  std::string data = testutil::testDataDir() + "/shepp64-short16";
  korvan({"-i", data + "/p%d.vff", "-f", "1", "-o", "out.vff", "-z", "0", "-w", dir.file("s%d.vff")});
  Errors e = compareSlices(dir.file("s%d.vff"), 0, readVff(data + "/truth.vff"), 22.75, 48 / 8.0, 29.4, 1.0 / 20000);
  EXPECT_LT(e.rmse, 0.0038);
  EXPECT_LT(std::fabs(e.bias), 0.0015);
}

namespace {

// Series from korvan-phantom: 64 x 64 detector, rfan 256, axis and central
// slice at 31.5 unless a case says otherwise.
struct Case {
  std::vector<std::string> phantomArgs;
  std::vector<std::string> korvanArgs;
  double scale = 1.0;  // applied to korvan's slices before comparing
};

class PhantomSeries : public EndToEnd {
 protected:
  // Simulates the series, reconstructs it with float slice files s%d.vff and
  // returns the errors against the truth in the central slices.
  Errors reconstruct(const Case& c, double radius = 29.0, int gridSize = 64) {
    std::vector<std::string> pa = {"-o", dir.file("p%d.vff"), "--truth", dir.file("truth.vff")};
    pa.insert(pa.end(), c.phantomArgs.begin(), c.phantomArgs.end());
    phantom(pa);
    std::vector<std::string> ka = {"-i", dir.file("p%d.vff"), "-f", "0", "-o", dir.file("out.vff"),
                                   "-z", "0", "-w", dir.file("s%d.vff")};
    ka.insert(ka.end(), c.korvanArgs.begin(), c.korvanArgs.end());
    korvan(ka);
    Volume truth = readVff(dir.file("truth.vff"));
    EXPECT_EQ(truth.nx, gridSize);
    return compareSlices(dir.file("s%d.vff"), 0, truth, (truth.nz - 1) / 2.0, truth.nz / 8.0, radius, c.scale);
  }
};

}  // namespace

TEST_F(PhantomSeries, FullTurnFftFilter) {
  Errors e = reconstruct({{"--full360"}, {"-v"}});
  EXPECT_LT(e.rmse, 0.0035);
  EXPECT_LT(std::fabs(e.bias), 0.0015);
}

TEST_F(PhantomSeries, FullTurnConvolution) {
  Errors e = reconstruct({{"--full360"}, {"-v", "-q"}});
  EXPECT_LT(e.rmse, 0.0035);
  EXPECT_LT(std::fabs(e.bias), 0.0010);
}

TEST_F(PhantomSeries, HalfTurnPlusFan) {
  Errors e = reconstruct({{}, {}});
  EXPECT_LT(e.rmse, 0.0040);
  EXPECT_LT(std::fabs(e.bias), 0.0015);
}

TEST_F(PhantomSeries, ReverseRotationFullTurn) {
  Errors e = reconstruct({{"--full360", "--reverse"}, {"-v"}});
  EXPECT_LT(e.rmse, 0.0035);
}

TEST_F(PhantomSeries, ReverseRotationHalfTurn) {
  Errors e = reconstruct({{"--reverse"}, {}});
  EXPECT_LT(e.rmse, 0.0040);
  EXPECT_LT(std::fabs(e.bias), 0.0015);
}

TEST_F(PhantomSeries, SixteenBitProjections) {
  Errors e = reconstruct({{"--full360", "--bits", "16", "--scale", "20000"}, {"-v"}, 1.0 / 20000});
  EXPECT_LT(e.rmse, 0.0035);
}

TEST_F(PhantomSeries, WidthTruncatedDetector) {
  // Columns 24.. of a 64-wide detector: the axis (31.5) and the right side.
  Errors e = reconstruct({{"--truncate-from", "24"}, {"-p"}});
  EXPECT_LT(e.rmse, 0.0060);
  EXPECT_LT(std::fabs(e.bias), 0.0030);
}

namespace {

// Mean of the slice files' values inside `radius` around the grid centre, over
// the slices within `halfHeight` of the central one.
double meanInside(const std::string& pattern, int nz, int nxy, double halfHeight, double radius) {
  double sum = 0;
  long n = 0;
  double c = (nxy - 1) / 2.0;
  for (int z = 0; z < nz; ++z) {
    if (std::fabs(z - (nz - 1) / 2.0) > halfHeight) continue;
    char name[1024];
    std::snprintf(name, sizeof name, pattern.c_str(), z);
    Volume s = readVff(name);
    for (int y = 0; y < s.ny; ++y)
      for (int x = 0; x < s.nx; ++x)
        if (std::hypot(x - c, y - c) <= radius) {
          sum += s.at(x, y);
          ++n;
        }
  }
  return n ? sum / n : NAN;
}

}  // namespace

// A uniform cylinder shows each filter's level in flat regions: the
// frequency-sampled ramp (zero at DC, rows padded to the next power of two
// only) reconstructs a few percent low, the Ram-Lak convolution within a
// fraction of a percent.
TEST_F(PhantomSeries, UniformCylinderLevelPerFilter) {
  phantom({"-o", dir.file("p%d.vff"), "--phantom", "cylinder", "--full360"});
  const double density = 0.05;
  korvan({"-i", dir.file("p%d.vff"), "-f", "0", "-o", dir.file("fft.vff"), "-v", "-z", "0", "-w", dir.file("f%d.vff")});
  korvan({"-i", dir.file("p%d.vff"), "-f", "0", "-o", dir.file("conv.vff"), "-v", "-q", "-z", "0", "-w",
          dir.file("c%d.vff")});
  double fft = meanInside(dir.file("f%d.vff"), 64, 64, 8, 18) / density;
  double conv = meanInside(dir.file("c%d.vff"), 64, 64, 8, 18) / density;
  std::printf("    cylinder level: FFT %.4f, convolution %.4f of the true density\n", fft, conv);
  EXPECT_GT(fft, 0.90);
  EXPECT_LT(fft, 1.0);
  EXPECT_NEAR(conv, 1.0, 0.005);
}

TEST_F(PhantomSeries, BinnedProjections) {
  phantom({"-o", dir.file("p%d.vff"), "--truth", dir.file("truth.vff"), "--full360", "--width", "128", "--height",
           "128", "--rfan", "512"});
  korvan({"-i", dir.file("p%d.vff"), "-f", "0", "-o", dir.file("out.vff"), "-v", "-j", "2", "-k", "2", "-z", "0",
          "-w", dir.file("s%d.vff")});
  // The truth on the binned grid: the mean of each 2 x 2 x 2 block.
  Volume fine = readVff(dir.file("truth.vff"));
  Volume coarse;
  coarse.nx = coarse.ny = coarse.nz = 64;
  coarse.v.assign(64 * 64 * 64, 0.0);
  for (int z = 0; z < 128; ++z)
    for (int y = 0; y < 128; ++y)
      for (int x = 0; x < 128; ++x) coarse.v[((z / 2) * 64 + y / 2) * 64 + x / 2] += fine.at(x, y, z) / 8;
  Errors e = compareSlices(dir.file("s%d.vff"), 0, coarse, 31.5, 8, 29.0);
  EXPECT_LT(e.rmse, 0.0040);
  EXPECT_LT(std::fabs(e.bias), 0.0015);
  Volume header = readVff(dir.file("out.vff"));
  EXPECT_EQ(header.keys["y_bin"], "2");
  EXPECT_EQ(header.keys["z_bin"], "2");
}

TEST_F(PhantomSeries, SubRegionAndReflection) {
  phantom({"-o", dir.file("p%d.vff"), "--truth", dir.file("truth.vff"), "--full360"});
  Volume truth = readVff(dir.file("truth.vff"));
  for (bool reflect : {false, true}) {
    std::vector<std::string> args = {"-i", dir.file("p%d.vff"), "-f", "0", "-o", dir.file("out.vff"), "-v",
                                     "-x", "10", "-y", "12", "-z", "24", "-c", "40", "-d", "36", "-e", "16",
                                     "-w", dir.file("r%d.vff")};
    if (reflect) args.push_back("-R");
    korvan(args);
    double sum2 = 0;
    long n = 0;
    for (int z = 24; z < 40; ++z) {
      Volume s = readVff(dir.file("r" + std::to_string(z) + ".vff"));
      ASSERT_EQ(s.nx, 40);
      ASSERT_EQ(s.ny, 36);
      for (int y = 0; y < 36; ++y)
        for (int x = 0; x < 40; ++x) {
          int gx = reflect ? 10 + 39 - x : 10 + x, gy = 12 + y;
          if (std::hypot(gx - 31.5, gy - 31.5) > 29) continue;
          double d = s.at(x, y) - truth.at(gx, gy, z);
          sum2 += d * d;
          ++n;
        }
    }
    double rmse = std::sqrt(sum2 / n);
    std::printf("    sub-region%s: rmse %.5f over %ld voxels\n", reflect ? " reflected" : "", rmse, n);
    EXPECT_LT(rmse, 0.0035) << (reflect ? "with -R" : "without -R");
  }
}

// A memory limit of a few slices splits the volume into slabs gathered in
// the chunk file; inside the output mask the result is that of one slab.
TEST_F(PhantomSeries, SlabsReproduceTheOneSlabVolume) {
  phantom({"-o", dir.file("p%d.vff"), "--full360"});
  korvan({"-i", dir.file("p%d.vff"), "-f", "0", "-o", dir.file("one.vff"), "-v", "-z", "0", "-w", dir.file("a%d.vff")});
  ProcessResult r = korvan({"-i", dir.file("p%d.vff"), "-f", "0", "-o", dir.file("many.vff"), "-v", "-z", "0", "-w",
                            dir.file("b%d.vff")},
                           std::to_string(64 * 64 * 4 * 10));
  EXPECT_NE(r.out.find("/7)\n"), std::string::npos) << r.out;  // seven slabs of at most 10 slices
  EXPECT_TRUE(testutil::korvanLeftovers(dir.path()).empty());
  double maxDiff = 0;
  for (int z = 0; z < 64; ++z) {
    Volume a = readVff(dir.file("a" + std::to_string(z) + ".vff"));
    Volume b = readVff(dir.file("b" + std::to_string(z) + ".vff"));
    for (size_t i = 0; i < a.v.size(); ++i) maxDiff = std::max(maxDiff, std::fabs(a.v[i] - b.v[i]));
  }
  std::printf("    largest difference between the slab and one-slab float slices: %g\n", maxDiff);
  EXPECT_EQ(maxDiff, 0.0);
}

namespace {

// Ring energy of the difference a - b over the slices z0..z1-1: the
// difference is averaged over angle in one-voxel radius bins around the
// grid centre, the radial profile is high-passed (minus its 7-bin moving
// mean) and its squares summed.
double ringEnergy(const std::string& a, const std::string& b, int z0, int z1, int nxy, double maxRadius) {
  int bins = static_cast<int>(maxRadius);
  double energy = 0;
  double c = (nxy - 1) / 2.0;
  for (int z = z0; z < z1; ++z) {
    char na[1024], nb[1024];
    std::snprintf(na, sizeof na, a.c_str(), z);
    std::snprintf(nb, sizeof nb, b.c_str(), z);
    Volume va = readVff(na), vb = readVff(nb);
    std::vector<double> sum(bins, 0.0), count(bins, 0.0);
    for (int y = 0; y < nxy; ++y)
      for (int x = 0; x < nxy; ++x) {
        int r = static_cast<int>(std::hypot(x - c, y - c));
        if (r >= bins) continue;
        sum[r] += va.at(x, y) - vb.at(x, y);
        count[r] += 1;
      }
    std::vector<double> profile(bins);
    for (int r = 0; r < bins; ++r) profile[r] = count[r] ? sum[r] / count[r] : 0;
    for (int r = 3; r + 3 < bins; ++r) {
      double mean = 0;
      for (int k = -3; k <= 3; ++k) mean += profile[r + k] / 7;
      energy += (profile[r] - mean) * (profile[r] - mean);
    }
  }
  return energy;
}

}  // namespace

// A detector with per-column gain errors (up to 3 %) reconstructs with rings
// around the axis; -N removes most of their energy from every output slice.
// The correction also takes part of the phantom's own near-circular edges
// for rings, so the error against a ring-free reconstruction grows a little
// while the rings fall by an order of magnitude.
TEST_F(PhantomSeries, RingCorrectionRemovesDetectorRings) {
  std::vector<std::string> geometry = {"--full360", "--width", "256", "--height", "12", "--rfan", "1024"};
  auto simulate = [&](const std::string& name, const std::string& gainError) {
    std::vector<std::string> args = {"-o", dir.file(name + "%d.vff"), "--gain-error", gainError};
    args.insert(args.end(), geometry.begin(), geometry.end());
    phantom(args);
  };
  simulate("clean", "0");
  simulate("ringy", "3");
  auto run = [&](const std::string& series, const std::string& slices, bool correct) {
    std::vector<std::string> args = {"-i", dir.file(series + "%d.vff"), "-f", "0", "-o", dir.file(slices + ".vff"),
                                     "-v", "-z", "0", "-w", dir.file(slices + "%d.vff")};
    if (correct) args.push_back("-N");
    korvan(args);
  };
  run("clean", "c", false);
  run("ringy", "r", false);
  run("ringy", "n", true);
  double before = ringEnergy(dir.file("r%d.vff"), dir.file("c%d.vff"), 3, 9, 256, 120);
  double after = ringEnergy(dir.file("n%d.vff"), dir.file("c%d.vff"), 3, 9, 256, 120);
  std::printf("    ring energy: %.3g without -N, %.3g with -N (%.1f %% removed)\n", before, after,
              100 * (1 - after / before));
  EXPECT_GT(before, 0.0);
  EXPECT_LT(after, 0.15 * before);
}
