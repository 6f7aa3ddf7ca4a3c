// Whole reconstructions of stored series from an independent exact
// projector and of korvan-phantom's, against their truth.
#include <gtest/gtest.h>

#include <cmath>

#include "support/testutil.h"

using namespace testutil;

namespace {

struct Errors {
  double rmse, bias, psnr;
};

// The float slices s<z>.vff of `dir` times `scale` against the truth, for
// |z - centre| <= halfHeight, within `radius` of the grid centre; a sub-region
// starts at (x0, y0), mirrored in x when `reflect`. PSNR's peak: the truth's range.
Errors compareSlices(const std::string& dir, const view::Volume& truth, double centre, double halfHeight,
                     double radius, double scale = 1.0, int x0 = 0, int y0 = 0, bool reflect = false) {
  double sum2 = 0, sum = 0, lo = INFINITY, hi = -INFINITY;
  long count = 0;
  const double c = (truth.nx - 1) / 2.0;
  for (int z = 0; z < truth.nz; ++z) {
    if (std::fabs(z - centre) > halfHeight) continue;
    const view::Volume s = readVff(dir + "/s" + std::to_string(z) + ".vff");
    for (int y = 0; y < s.ny; ++y)
      for (int x = 0; x < s.nx; ++x) {
        const int gx = reflect ? x0 + s.nx - 1 - x : x0 + x, gy = y0 + y;
        if (std::hypot(gx - c, gy - c) > radius) continue;
        const double t = truth.at(gx, gy, z), d = s.at(x, y, 0) * scale - t;
        sum2 += d * d, sum += d, lo = std::min(lo, t), hi = std::max(hi, t), ++count;
      }
  }
  const Errors e{std::sqrt(sum2 / count), sum / count, 20 * std::log10((hi - lo) / std::sqrt(sum2 / count))};
  std::printf("    rmse %.6f, bias %+.6f, psnr %.3f dB over %ld voxels\n", e.rmse, e.bias, e.psnr, count);
  return e;
}

// The truth on the grid of a run binned by two both ways: means of 2 x 2 x 2 blocks.
view::Volume binnedTruth(const view::Volume& fine) {
  view::Volume coarse = fine;
  coarse.nx = fine.nx / 2, coarse.ny = fine.ny / 2, coarse.nz = fine.nz / 2;
  coarse.values.assign(static_cast<size_t>(coarse.nx) * coarse.ny * coarse.nz, 0.0);
  for (size_t i = 0; i < fine.values.size(); ++i) {
    const size_t x = i % fine.nx, y = i / fine.nx % fine.ny, z = i / fine.nx / fine.ny;
    coarse.values[(z / 2 * coarse.ny + y / 2) * coarse.nx + x / 2] += fine.values[i] / 8;
  }
  return coarse;
}

// Ring energy of the slices a<z> - b<z> of `dir`, z0 <= z < z1: the squares of
// the radial profile (one-voxel bins about the centre) less its 7-bin mean.
double ringEnergy(const std::string& dir, const std::string& a, const std::string& b, int z0, int z1, int bins) {
  double energy = 0;
  for (int z = z0; z < z1; ++z) {
    const view::Volume va = readVff(dir + "/" + a + std::to_string(z) + ".vff");
    const view::Volume vb = readVff(dir + "/" + b + std::to_string(z) + ".vff");
    const double c = (va.nx - 1) / 2.0;
    std::vector<double> sum(bins, 0.0), count(bins, 0.0);
    for (size_t i = 0; i < va.values.size(); ++i) {
      const int r = static_cast<int>(std::hypot(double(i % va.nx) - c, double(i / va.nx) - c));
      if (r < bins) sum[r] += va.values[i] - vb.values[i], count[r] += 1;
    }
    for (int r = 3; r + 3 < bins; ++r) {
      double mean = 0;
      for (int k = -3; k <= 3; ++k) mean += sum[r + k] / count[r + k] / 7;
      energy += (sum[r] / count[r] - mean) * (sum[r] / count[r] - mean);
    }
  }
  return energy;
}

}  // namespace

// The series from tests/data (an independent projector shows a geometry
// misreading korvan and its simulator share) or korvan-phantom (64 x 64,
// rfan 256, axis and central slice 31.5 unless the row says otherwise).
// Bounds: the measured errors plus 5 %, so a wrong Parker end ramp shows.
TEST(Accuracy, ReconstructionsMatchTheirTruth) {
  const struct {
    const char* name;
    std::string data;                    // tests/data folder, or empty: simulate
    std::vector<std::string> phantom;    // korvan-phantom options
    std::vector<std::string> korvan;     // korvan options
    double centre, halfHeight, radius;   // of the region compared
    double scale;                        // applied to korvan's slices
    double rmse, bias, psnr;             // bounds: rmse and |bias| at most, psnr at least
    int x0 = 0, y0 = 0;                  // sub-region origin
    bool reflect = false, binned = false;
  } rows[] = {
      {"external full turn", "shepp64-full", {}, {"-f", "0", "-v"}, 31.5, 8, 30.75, 1, 0.002926, 0.0015, 24.66},
      {"external short scan, 16-bit", "shepp64-short16", {}, {"-f", "1"}, 22.75, 6, 29.4, 1.0 / 20000, 0.003158, 0.0015, 23.99},
      {"full turn, FFT filter", "", {"--full360"}, {"-v"}, 31.5, 8, 29, 1, 0.002831, 0.0015, 24.94},
      {"full turn, convolution", "", {"--full360"}, {"-v", "-q"}, 31.5, 8, 29, 1, 0.002733, 0.0010, 25.25},
      {"half turn plus fan", "", {}, {}, 31.5, 8, 29, 1, 0.002864, 0.0015, 24.84},
      {"reverse rotation, full turn", "", {"--full360", "--reverse"}, {"-v"}, 31.5, 8, 29, 1, 0.002831, 0.0015, 24.94},
      {"reverse rotation, half turn", "", {"--reverse"}, {}, 31.5, 8, 29, 1, 0.002864, 0.0015, 24.84},
      {"16-bit projections", "", {"--full360", "--bits", "16", "--scale", "20000"}, {"-v"}, 31.5, 8, 29, 1.0 / 20000,
       0.002831, 0.0015, 24.94},
      // Columns 24.. of a 64-wide detector: the axis (31.5) and the right side.
      {"width-truncated detector", "", {"--truncate-from", "24"}, {"-p"}, 31.5, 8, 29, 1, 0.002842, 0.0015, 24.91},
      {"binned 2 x 2", "", {"--full360", "--width", "128", "--height", "128", "--rfan", "512"}, {"-v", "-j", "2", "-k", "2"},
       31.5, 8, 29, 1, 0.002721, 0.0015, 25.29, 0, 0, false, true},
      {"sub-region", "", {"--full360"}, {"-v", "-x", "10", "-y", "12", "-z", "24", "-c", "40", "-d", "36", "-e", "16"},
       31.5, 8, 29, 1, 0.002441, 0.0015, 26.23, 10, 12},
      {"sub-region reflected", "", {"--full360"},
       {"-v", "-x", "10", "-y", "12", "-z", "24", "-c", "40", "-d", "36", "-e", "16", "-R"}, 31.5, 8, 29, 1, 0.002441,
       0.0015, 26.23, 10, 12, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::printf("  %s:\n", row.name);
    TempDir dir;
    std::string series = testDataDir() + "/" + row.data + "/p%d.vff", truth = testDataDir() + "/" + row.data + "/truth.vff";
    if (row.data.empty()) {
      series = dir.file("p%d.vff");
      truth = dir.file("truth.vff");
      std::vector<std::string> args = {"-o", series, "--truth", truth};
      args.insert(args.end(), row.phantom.begin(), row.phantom.end());
      runPhantom(dir.path(), args);
    }
    std::vector<std::string> args = {"-i", series, "-o", "out.vff", "-w", "s%d.vff"};
    if (row.data.empty()) args.insert(args.end(), {"-f", "0"});
    args.insert(args.end(), row.korvan.begin(), row.korvan.end());
    // Without -z korvan starts at the first slice; the slices are numbered by z.
    if (std::find(args.begin(), args.end(), "-z") == args.end()) args.insert(args.end(), {"-z", "0"});
    runKorvan(dir.path(), args);
    const view::Volume t = row.binned ? binnedTruth(readVff(truth)) : readVff(truth);
    const Errors e = compareSlices(dir.path(), t, row.centre, row.halfHeight, row.radius, row.scale, row.x0, row.y0,
                                   row.reflect);
    EXPECT_LE(e.rmse, row.rmse);
    EXPECT_LE(std::fabs(e.bias), row.bias);
    EXPECT_GE(e.psnr, row.psnr);
  }
}

// A uniform cylinder shows each filter's level in flat regions: the
// frequency-sampled ramp (zero at DC, rows padded to the next power of two
// only) reconstructs a few percent low, the Ram-Lak convolution within a
// fraction of a percent.
TEST(Accuracy, UniformCylinderLevelPerFilter) {
  TempDir dir;
  runPhantom(dir.path(), {"-o", "p%d.vff", "--phantom", "cylinder", "--full360", "--truth", "truth.vff"});
  view::Volume truth = readVff(dir.file("truth.vff"));
  double level[2];
  for (int convolution = 0; convolution < 2; ++convolution) {
    std::vector<std::string> args = {"-i", "p%d.vff", "-f", "0", "-o", "out.vff", "-v", "-z", "0", "-w", "s%d.vff"};
    if (convolution) args.push_back("-q");
    runKorvan(dir.path(), args);
    // The mean inside radius 18 over the central slices, against 0.05.
    std::fill(truth.values.begin(), truth.values.end(), 0.0);
    level[convolution] = compareSlices(dir.path(), truth, 31.5, 8, 18).bias / 0.05;
  }
  std::printf("    cylinder level: FFT %.4f, convolution %.4f of the true density\n", level[0], level[1]);
  EXPECT_GT(level[0], 0.90);
  EXPECT_LT(level[0], 1.0);
  EXPECT_NEAR(level[1], 1.0, 0.005);
}


// A detector with per-column gain errors (up to 3 %) reconstructs with rings
// around the axis; -N removes most of their energy from every output slice.
TEST(Accuracy, RingCorrectionRemovesDetectorRings) {
  TempDir dir;
  for (const std::string gain : {"0", "3"})
    runPhantom(dir.path(), {"-o", "g" + gain + "_%d.vff", "--gain-error", gain, "--full360", "--width", "256",
                            "--height", "12", "--rfan", "1024"});
  const struct {
    const char *series, *slices;
    bool correct;
  } runs[] = {{"g0_", "c", false}, {"g3_", "r", false}, {"g3_", "n", true}};
  for (const auto& run : runs) {
    std::vector<std::string> args = {"-i", std::string(run.series) + "%d.vff", "-f", "0", "-o", "out.vff",
                                     "-v", "-z", "0", "-w", std::string(run.slices) + "%d.vff"};
    if (run.correct) args.push_back("-N");
    runKorvan(dir.path(), args);
  }
  const double before = ringEnergy(dir.path(), "r", "c", 3, 9, 120), after = ringEnergy(dir.path(), "n", "c", 3, 9, 120);
  std::printf("    ring energy: %.3g without -N, %.3g with -N\n", before, after);
  EXPECT_GT(before, 0.0);
  EXPECT_LT(after, 0.15 * before);
}
