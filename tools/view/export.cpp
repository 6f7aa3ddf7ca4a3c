// Volumes out in the formats other programs open: one TIFF file per slice
// (Fiji's image sequences) and an attached NRRD (3D Slicer).
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "tools/view/view.h"

namespace view {
namespace {

// The size of a voxel along x, y and z: the header's spacing= (relative
// sizes, 1 when absent) times elementsize= (millimetres) when given.
struct VoxelSize {
  double size[3] = {1.0, 1.0, 1.0};
  bool millimetres = false;
};

VoxelSize voxelSize(const Volume& v) {
  VoxelSize s;
  if (const std::string* spacing = v.find("spacing")) {
    std::istringstream in(*spacing);
    double d[3];
    int n = 0;
    while (n < 3 && in >> d[n]) ++n;
    for (int i = 0; i < n && i < 3; ++i)
      if (d[i] > 0 && std::isfinite(d[i])) s.size[i] = d[i];
  }
  if (const std::string* element = v.find("elementsize")) {
    double e = std::atof(element->c_str());
    if (e > 0 && std::isfinite(e)) {
      for (double& d : s.size) d *= e;
      s.millimetres = true;
    }
  }
  return s;
}

bool makeDirectory(const std::string& dir, std::string* error) {
  if (mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  }
  *error = "cannot create the directory " + dir + ": " + std::strerror(errno);
  return false;
}

std::string baseName(const std::string& path) {
  std::string base = path.substr(path.find_last_of('/') + 1);
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".vff") == 0) base.resize(base.size() - 4);
  return base;
}

// How the stored values become TIFF samples.
struct Conversion {
  int bits = 32;
  double scale = 1.0, offset = 0.0;  // sample = (value - offset) * scale, for converted types
  bool exact = true;
};

Conversion chooseConversion(const Volume& v, int bits) {
  Conversion c;
  c.bits = bits;
  c.exact = bits == 32 || bits == v.bits || (bits == 16 && v.bits == 8);
  if (c.exact) return c;
  Stats s = statistics(v.values);
  if (bits == 8) {
    c.offset = s.min;
    c.scale = s.max > s.min ? 255.0 / (s.max - s.min) : 0.0;
  } else {  // floats to 16 bits, the largest magnitude to 32767, as korvan scales
    double magnitude = std::max(std::fabs(s.min), std::fabs(s.max));
    c.scale = magnitude > 0 ? 32767.0 / magnitude : 0.0;
  }
  return c;
}

// One slice's samples in the target type, native byte order, x fastest.
std::vector<unsigned char> sliceSamples(const Volume& v, int z, const Conversion& c) {
  const size_t pixels = static_cast<size_t>(v.nx) * v.ny;
  std::vector<unsigned char> out(pixels * (c.bits / 8));
  for (size_t i = 0; i < pixels; ++i) {
    double value = v.values[static_cast<size_t>(z) * pixels + i];
    if (c.bits == 32) {
      float f = static_cast<float>(value);
      std::memcpy(&out[4 * i], &f, 4);
      continue;
    }
    if (!c.exact) value = std::isfinite(value) ? std::round((value - c.offset) * c.scale) : 0.0;
    if (c.bits == 8) {
      out[i] = static_cast<unsigned char>(std::clamp(value, 0.0, 255.0));
    } else {
      int16_t s = static_cast<int16_t>(std::clamp(value, -32768.0, 32767.0));
      std::memcpy(&out[2 * i], &s, 2);
    }
  }
  return out;
}

bool writeTiffSlice(const std::string& path, const Volume& v, int z, const Conversion& c, const VoxelSize& size,
                    std::string* error) {
  std::string temporary = path + ".partial." + std::to_string(getpid());
  TIFF* tiff = TIFFOpen(temporary.c_str(), "w");
  if (!tiff) {
    *error = "cannot create " + temporary;
    return false;
  }
  const uint16_t format = c.bits == 32 ? SAMPLEFORMAT_IEEEFP : c.bits == 16 ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(v.nx));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(v.ny));
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(c.bits));
  TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, format);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(1));
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(v.ny));
  // Resolution is pixels per unit: per centimetre for a size in millimetres.
  const double perUnit = size.millimetres ? 10.0 : 1.0;
  TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, size.millimetres ? RESUNIT_CENTIMETER : RESUNIT_NONE);
  TIFFSetField(tiff, TIFFTAG_XRESOLUTION, static_cast<float>(perUnit / size.size[0]));
  TIFFSetField(tiff, TIFFTAG_YRESOLUTION, static_cast<float>(perUnit / size.size[1]));
  // ImageJ's description: the unit and the slice spacing of the stack.
  char description[200];
  std::snprintf(description, sizeof description, "ImageJ=1.11a\nunit=%s\nspacing=%.9g\n",
                size.millimetres ? "mm" : "voxel", size.size[2]);
  TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description);
  TIFFSetField(tiff, TIFFTAG_SOFTWARE, "korvan-view");
  std::vector<unsigned char> samples = sliceSamples(v, z, c);
  const size_t rowBytes = static_cast<size_t>(v.nx) * (c.bits / 8);
  bool ok = true;
  for (int row = 0; row < v.ny && ok; ++row) ok = TIFFWriteScanline(tiff, &samples[row * rowBytes], row, 0) == 1;
  TIFFClose(tiff);
  ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = "cannot write " + path;
    std::remove(temporary.c_str());
  }
  return ok;
}

}  // namespace

bool exportTiff(const Volume& v, const std::string& source, const std::string& dir, int bits, std::string* report,
                std::string* error) {
  if (!makeDirectory(dir, error)) return false;
  TIFFSetWarningHandler(nullptr);
  const Conversion c = chooseConversion(v, bits);
  const VoxelSize size = voxelSize(v);
  const std::string base = dir + "/" + baseName(source) + "_";
  char number[32];
  for (int z = 0; z < v.nz; ++z) {
    std::snprintf(number, sizeof number, "%04d.tif", z);
    if (!writeTiffSlice(base + number, v, z, c, size, error)) return false;
  }
  const char* type = bits == 32 ? "32-bit float" : bits == 16 ? "16-bit signed" : "8-bit unsigned";
  char text[300];
  if (c.exact)
    std::snprintf(text, sizeof text, "%s, the values as stored", type);
  else
    std::snprintf(text, sizeof text, "%s, sample = round((value - %.9g) * %.9g)", type, c.offset, c.scale);
  *report = std::to_string(v.nz) + (v.nz == 1 ? " slice " : " slices ") + base + "0000.tif .. : " + text;
  return true;
}

bool exportNrrd(const Volume& v, const std::string& source, const std::string& dir, std::string* report,
                std::string* error) {
  if (!makeDirectory(dir, error)) return false;
  const VoxelSize size = voxelSize(v);
  const char* type = v.bits == 8 ? "uchar" : v.bits == 16 ? "short" : "float";
  std::string text = "NRRD0004\n# korvan-view export of " + baseName(source) + ".vff\n";
  text += std::string("type: ") + type + "\ndimension: 3\nspace: left-posterior-superior\n";
  text += "sizes: " + std::to_string(v.nx) + " " + std::to_string(v.ny) + " " + std::to_string(v.nz) + "\n";
  char line[300];
  std::snprintf(line, sizeof line, "space directions: (%.9g,0,0) (0,%.9g,0) (0,0,%.9g)\n", size.size[0],
                size.size[1], size.size[2]);
  text += line;
  if (size.millimetres) text += "space units: \"mm\" \"mm\" \"mm\"\n";
  text += "kinds: domain domain domain\nendian: big\nencoding: raw\n\n";
  // The samples as the VFF file stores them: big-endian, of the same type.
  const int width = v.bits / 8;
  std::string samples(v.values.size() * width, '\0');
  for (size_t i = 0; i < v.values.size(); ++i) {
    if (v.bits == 8) {
      samples[i] = static_cast<char>(static_cast<uint8_t>(v.values[i]));
      continue;
    }
    uint32_t u;
    if (v.bits == 16) {
      u = static_cast<uint16_t>(static_cast<int16_t>(v.values[i]));
    } else {
      float f = static_cast<float>(v.values[i]);
      std::memcpy(&u, &f, 4);
    }
    for (int b = 0; b < width; ++b) samples[i * width + b] = static_cast<char>(u >> (8 * (width - 1 - b)));
  }
  const std::string path = dir + "/" + baseName(source) + ".nrrd";
  if (!writeAtomically(path, text + samples, error)) return false;
  *report = path;
  return true;
}

}  // namespace view
