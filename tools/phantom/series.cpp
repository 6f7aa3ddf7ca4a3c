// File-level work of korvan-phantom: names, headers, sample encoding, the
// detector model.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "tools/phantom/series.h"

namespace phantom {

bool checkPattern(const std::string& pattern, std::string* why) {
  std::string problem;
  if (checkFilePattern(pattern.c_str(), &problem)) return true;
  *why = "output pattern '" + pattern + "' " + problem;
  return false;
}

std::string fileName(const std::string& pattern, int number) { return tools::numberedFile(pattern, number); }

std::string projectionHeaderText(const ProjectionHeader& h) {
  char line[512];
  std::string text = "ncaa\nrank=2;\ntype=raster;\n";
  std::snprintf(line, sizeof line, "size=%d %d;\nbands=1;\nbits=%d;\nformat=slice;\n", h.width, h.height, h.bits);
  text += line;
  text += "title=" + h.title + ";\n";
  std::snprintf(line, sizeof line,
                "center_of_rotation=%f;\ncentral_slice=%f;\nrfan=%f;\nangle_increment=%f;\n", h.axis,
                h.centralSlice, h.rfan, h.angleIncrement);
  text += line;
  if (h.startGiven) {
    std::snprintf(line, sizeof line, "start_angle=%f;\n", h.startDeg);
    text += line;
  }
  if (h.reverse) text += "reverse_order=yes;\n";
  text += "\f\n";
  return text;
}

std::string volumeHeaderText(int nx, int ny, int nz, const std::string& title, double centralSlice) {
  char line[512];
  std::snprintf(line, sizeof line,
                "ncaa\nrank=3;\ntype=raster;\nsize=%d %d %d;\nbands=1;\nbits=32;\nformat=slice;\n", nx, ny, nz);
  std::string text = line;
  text += "title=" + title + ";\n";
  std::snprintf(line, sizeof line, "central_slice=%f;\nspacing=1.00 1.00 1.00;\n\f\n", centralSlice);
  return text + line;
}

std::string encodeSamples(const std::vector<double>& values, int bits, double scale, long* clamped) {
  if (bits == 32) {
    std::vector<float> floats(values.begin(), values.end());
    return encodeFloats(floats);
  }
  std::string out(values.size() * 2, '\0');
  for (size_t i = 0; i < values.size(); ++i) {
    double v = std::round(values[i] * scale);  // halves away from zero
    if (v > 32767.0 || v < -32768.0) {
      ++*clamped;
      v = v > 0 ? 32767.0 : -32768.0;
    }
    auto u = static_cast<uint16_t>(static_cast<int16_t>(v));
    out[2 * i] = static_cast<char>(u >> 8);
    out[2 * i + 1] = static_cast<char>(u & 0xFF);
  }
  return out;
}

std::string encodeFloats(const std::vector<float>& values) {
  std::string out(values.size() * 4, '\0');
  for (size_t i = 0; i < values.size(); ++i) {
    uint32_t u;
    std::memcpy(&u, &values[i], 4);
    for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<char>((u >> (24 - 8 * b)) & 0xFF);
  }
  return out;
}

std::vector<double> columnGains(int width, uint64_t seed, double spreadFraction) {
  // A stream of its own, so that switching the noise on or off does not
  // change the rings.
  std::mt19937_64 rng(seed ^ 0x9E3779B97F4A7C15ull);
  std::uniform_real_distribution<double> spread(-spreadFraction, spreadFraction);
  std::vector<double> gains(width);
  for (double& g : gains) g = 1.0 + spread(rng);
  return gains;
}

void measure(std::vector<double>& integrals, int width, const std::vector<double>& gains, double photons,
             std::mt19937_64& rng) {
  if (gains.empty() && !(photons > 0)) return;
  double n0 = photons > 0 ? photons : 1.0;
  for (size_t i = 0; i < integrals.size(); ++i) {
    double gain = gains.empty() ? 1.0 : gains[i % width];
    double expected = n0 * gain * std::exp(-integrals[i]);
    double counted = expected;
    if (photons > 0) {
      std::poisson_distribution<long> photonsSeen(expected);
      counted = std::max(0.5, static_cast<double>(photonsSeen(rng)));
    }
    integrals[i] = -std::log(counted / n0);
  }
}

}  // namespace phantom
