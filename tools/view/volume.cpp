// Reading VFF images as stored, their statistics, comparison and NRRD headers.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include "tools/view/view.h"

namespace view {
namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::vector<long> wholeNumbers(const std::string& text, bool* ok) {
  std::vector<long> out;
  std::istringstream in(text);
  std::string word;
  *ok = true;
  while (in >> word) {
    char* end = nullptr;
    long v = std::strtol(word.c_str(), &end, 10);
    if (*end != '\0') *ok = false;
    out.push_back(v);
  }
  return out;
}

// The text between the magic line and the form feed as key=value entries.
bool parseEntries(const std::string& text, std::vector<HeaderEntry>* entries, std::string* error) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      *error = "malformed header line '" + line + "' (expected key=value;)";
      return false;
    }
    std::string value = line.substr(eq + 1);
    if (!value.empty() && value.back() == ';') value.pop_back();
    entries->push_back(HeaderEntry{trim(line.substr(0, eq)), value});
  }
  return true;
}

double sampleAt(const unsigned char* p, int bits) {
  if (bits == 8) return p[0];
  if (bits == 16) return static_cast<int16_t>(static_cast<uint16_t>(p[0] << 8 | p[1]));
  uint32_t u = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

}  // namespace

const std::string* Volume::find(const std::string& key) const {
  for (const auto& e : entries)
    if (e.key == key) return &e.value;
  return nullptr;
}

bool readVolume(const std::string& path, Volume* v, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  *v = Volume();
  if (bytes.compare(0, 4, "ncaa") != 0) {
    *error = path + " is not a VFF file (it does not start with ncaa)";
    return false;
  }
  size_t formFeed = bytes.find('\f');
  if (formFeed == std::string::npos) {
    *error = path + " has no end of header (no form feed)";
    return false;
  }
  if (!parseEntries(bytes.substr(4, formFeed - 4), &v->entries, error)) {
    *error = path + ": " + *error;
    return false;
  }
  v->headerBytes = static_cast<long>(std::min(formFeed + 2, bytes.size()));

  const std::string* size = v->find("size");
  const std::string* bits = v->find("bits");
  const std::string* rank = v->find("rank");
  const std::string* bands = v->find("bands");
  bool ok = true;
  std::vector<long> sizes = size ? wholeNumbers(*size, &ok) : std::vector<long>();
  if (!size || !ok || sizes.size() < 2 || sizes.size() > 3) {
    *error = path + ": the header needs size=X Y; or size=X Y Z;";
    return false;
  }
  v->rank = rank ? std::atoi(rank->c_str()) : static_cast<int>(sizes.size());
  if ((v->rank != 2 && v->rank != 3) || sizes.size() < static_cast<size_t>(v->rank)) {
    *error = path + ": rank " + (rank ? *rank : "") + " does not fit size=" + *size;
    return false;
  }
  for (int i = 0; i < v->rank; ++i)
    if (sizes[i] < 1 || sizes[i] > 1000000) {
      *error = path + ": the sizes must be positive (size=" + *size + ")";
      return false;
    }
  v->bits = bits ? std::atoi(bits->c_str()) : 0;
  if (v->bits != 8 && v->bits != 16 && v->bits != 32) {
    *error = path + ": bits must be 8, 16 or 32 (bits=" + (bits ? *bits : "missing") + ")";
    return false;
  }
  if (bands && std::atoi(bands->c_str()) != 1) {
    *error = path + ": only one band is supported (bands=" + *bands + ")";
    return false;
  }
  v->nx = static_cast<int>(sizes[0]);
  v->ny = static_cast<int>(sizes[1]);
  v->nz = v->rank == 3 ? static_cast<int>(sizes[2]) : 1;
  v->expected = long(v->nx) * v->ny * v->nz;

  int width = v->bits / 8;
  long available = static_cast<long>(bytes.size()) - v->headerBytes;
  v->present = available / width;
  v->extraBytes = std::max(0L, available - v->expected * width);
  long n = std::min(v->present, v->expected);
  v->values.resize(n);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + v->headerBytes;
  for (long i = 0; i < n; ++i) v->values[i] = sampleAt(p + i * width, v->bits);
  return true;
}

Stats statistics(const std::vector<double>& values) {
  Stats s;
  double sum = 0;
  s.min = std::numeric_limits<double>::infinity();
  s.max = -s.min;
  for (double x : values) {
    if (!std::isfinite(x)) {
      ++s.notFinite;
      continue;
    }
    ++s.count;
    sum += x;
    s.min = std::min(s.min, x);
    s.max = std::max(s.max, x);
  }
  if (s.count == 0) s.min = s.max = 0;
  s.mean = s.count ? sum / s.count : 0;
  return s;
}

std::string nrrdHeader(const Volume& v, const std::string& dataFile, std::string* warning) {
  const char* type = v.bits == 8 ? "uchar" : v.bits == 16 ? "short" : "float";
  std::string text = "NRRD0004\n# korvan-view: the samples of " + dataFile + " read in place\n";
  text += std::string("type: ") + type + "\n";
  text += "dimension: " + std::to_string(v.rank) + "\n";
  text += "sizes: " + std::to_string(v.nx) + " " + std::to_string(v.ny);
  if (v.rank == 3) text += " " + std::to_string(v.nz);
  text += "\n";
  if (const std::string* spacing = v.find("spacing")) {
    bool ok = true;
    std::istringstream in(*spacing);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
      char* end = nullptr;
      std::strtod(w.c_str(), &end);
      if (*end != '\0') ok = false;
      words.push_back(w);
    }
    if (ok && words.size() == static_cast<size_t>(v.rank)) {
      text += "spacings:";
      for (const auto& w : words) text += " " + w;
      text += "\n";
    } else {
      *warning = "spacing=" + *spacing + " does not give one number per axis; no spacings written";
    }
  }
  text += "endian: big\nencoding: raw\n";
  text += "byte skip: " + std::to_string(v.headerBytes) + "\n";
  text += "data file: " + dataFile + "\n";
  return text;
}

DiffResult compare(const Volume& a, const Volume& b, const DiffOptions& o) {
  DiffResult r;
  double cx = (a.nx - 1) / 2.0, cy = (a.ny - 1) / 2.0;
  double radius = (a.nx - 1) / 2.0 - 1.0;
  int zEnd = o.zEnd < 0 ? a.nz : o.zEnd;
  double sum2 = 0, sum = 0;
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (int z = o.zFirst; z < zEnd; ++z)
    for (int y = 0; y < a.ny; ++y)
      for (int x = 0; x < a.nx; ++x) {
        if (o.fov && (x - cx) * (x - cx) + (y - cy) * (y - cy) > radius * radius) continue;
        double ref = b.at(x, y, z);
        double d = a.at(x, y, z) * o.scaleA - ref;
        ++r.count;
        sum += d;
        sum2 += d * d;
        // A NaN on either side must show in the result, never vanish in a max.
        r.maxAbs = std::fabs(d) > r.maxAbs || std::isnan(d) ? std::fabs(d) : r.maxAbs;
        lo = std::min(lo, ref);
        hi = std::max(hi, ref);
      }
  if (r.count == 0) return r;
  r.rmse = std::sqrt(sum2 / r.count);
  r.bias = sum / r.count;
  r.peak = hi - lo;
  r.psnr = 20.0 * std::log10(r.peak / r.rmse);
  return r;
}

}  // namespace view
