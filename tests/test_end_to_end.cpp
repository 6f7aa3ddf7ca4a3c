// Whole reconstructions of stored series from an independent exact projector and of korvan-phantom's, against truth.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/testutil.h"

using namespace testutil;

// Stored series (an independent projector shows a geometry misreading korvan and its simulator share) or phantom ones
// (64 x 64, rfan 256): slices times `scale` within `radius` of the axis and `half` of slice `centre` against the truth
// (2 x 2 x 2 means when binned), bound at the measured errors + 5 % (so a wrong Parker end ramp shows). A flat cylinder
// shows the filters' levels; without -N, 3 % gain errors ring a quarter above the bound.
TEST(Accuracy, ReconstructionsMatchTheirTruth) {
  const std::vector<std::string> sub = {"-v", "-x", "10", "-y", "12", "-z", "24", "-c", "40", "-d", "36", "-e", "16"};
  const struct { const char* name; std::string data; std::vector<std::string> phantom, korvan; double rmse, bias, psnr,
      radius = 29, centre = 31.5, half = 8, scale = 1; } rows[] = {
      {"external full turn", "shepp64-full", {}, {"-v"}, 0.002926, 0.0015, 24.66, 30.75},
      {"external short scan 16-bit", "shepp64-short16", {}, {"-f", "1"}, 0.003158, 0.0015, 23.99, 29.4, 22.75, 6, 5e-5},
      {"full turn, FFT filter", "", {"--full360"}, {"-v"}, 0.002831, 0.0015, 24.94},
      {"full turn, convolution", "", {"--full360"}, {"-v", "-q"}, 0.002733, 0.0010, 25.25},
      {"half turn plus fan", "", {}, {}, 0.002864, 0.0015, 24.84},
      {"reverse rotation, full turn", "", {"--full360", "--reverse"}, {"-v"}, 0.002831, 0.0015, 24.94},
      {"reverse rotation, half turn", "", {"--reverse"}, {}, 0.002864, 0.0015, 24.84},
      {"16-bit projections", "", {"--full360", "--bits", "16", "--scale", "20000"}, {"-v"}, 0.002831, 0.0015, 24.94,
       29, 31.5, 8, 5e-5},
      {"width-truncated detector, columns 24..", "", {"--truncate-from", "24"}, {"-p"}, 0.002842, 0.0015, 24.91},
      {"binned 2 x 2", "", {"--full360", "--width", "128", "--height", "128", "--rfan", "512"},
       {"-v", "-j", "2", "-k", "2"}, 0.002721, 0.0015, 25.29},
      {"sub-region", "", {"--full360"}, sub, 0.002441, 0.0015, 26.23},
      {"sub-region reflected", "", {"--full360"}, {"-R"}, 0.002441, 0.0015, 26.23},
      {"cylinder, FFT filter", "", {"--phantom", "cylinder", "--full360"}, {"-v"}, 0.003641, 0.005, 22.75, 18},
      {"cylinder, convolution", "", {"--phantom", "cylinder", "--full360"}, {"-v", "-q"}, 5.24e-5, 2.5e-4, 59.59, 18},
      {"gain errors, rings removed", "", {"--gain-error", "3", "--full360", "--width", "256", "--height", "12",
       "--rfan", "1024"}, {"-v", "-N"}, 0.001479, 0.0015, 20.12, 29, 5.5, 3},
  };
  for (const auto& row : rows) {
    TempDir dir;
    const std::string from = row.data.empty() ? dir.path() : testDataDir() + "/" + row.data;
    std::vector<std::string> simulate = {"-o", "p%d.vff", "--truth", "truth.vff"};
    simulate.insert(simulate.end(), row.phantom.begin(), row.phantom.end());
    if (row.data.empty()) runPhantom(dir.path(), simulate);
    std::vector<std::string> args = {"-i", from + "/p%d.vff", "-o", "out.vff", "-w", "s%d.vff", "-f", "0", "-z", "0"};
    args.insert(args.end(), row.korvan.begin(), row.korvan.end());
    if (args.back() == "-R") args.insert(args.end() - 1, sub.begin(), sub.end());
    runKorvan(dir.path(), args);
    const bool part = std::count(args.begin(), args.end(), "-x"), reflect = args.back() == "-R";  // at x 10, y 12
    const int x0 = part ? 10 : 0, y0 = part ? 12 : 0, bin = std::count(args.begin(), args.end(), "-j") ? 2 : 1;
    const view::Volume truth = readVff(from + "/truth.vff");
    double sum2 = 0, sum = 0, peak = 0, count = 0, c = (truth.nx / bin - 1) / 2.0;
    for (int z = int(std::ceil(row.centre - row.half)); z <= row.centre + row.half; ++z) {
      const view::Volume s = readVff(dir.file("s" + std::to_string(z) + ".vff"));
      for (int y = 0; y < s.ny; ++y)
        for (int x = 0; x < s.nx; ++x) {
          const int gx = reflect ? x0 + s.nx - 1 - x : x0 + x, gy = y0 + y;
          if (std::hypot(gx - c, gy - c) > row.radius) continue;
          double t = 0;
          for (int k = 0; k < bin * bin * bin; ++k) t += truth.at(gx * bin + k % bin, gy * bin + k / bin % bin,
                                                                  z * bin + k / bin / bin) / (bin * bin * bin);
          const double d = s.at(x, y, 0) * row.scale - t;
          sum2 += d * d, sum += d, peak = std::max(peak, t), ++count;
        }
    }
    const double rmse = std::sqrt(sum2 / count), bias = sum / count, psnr = 20 * std::log10(peak / rmse);
    std::printf("  %s: rmse %.4g, bias %+.4g, psnr %.3f dB over %.0f voxels\n", row.name, rmse, bias, psnr, count);
    EXPECT_TRUE(rmse <= row.rmse && std::fabs(bias) <= row.bias && psnr >= row.psnr) << row.name;
  }
}
