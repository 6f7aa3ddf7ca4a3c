// Preview images: three orthogonal slices in 8-bit grey, written as PNG.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>

#include "tools/view/view.h"

namespace view {
namespace {

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::string*>(png_get_io_ptr(png));
  out->append(reinterpret_cast<const char*>(data), length);
}

void flushNothing(png_structp) {}

}  // namespace

uint8_t greyLevel(double v, double lo, double hi) {
  if (std::isnan(v)) return 0;
  if (!(hi > lo)) return v >= lo ? 255 : 0;
  double g = std::round(255.0 * (v - lo) / (hi - lo));
  return static_cast<uint8_t>(std::clamp(g, 0.0, 255.0));
}

GreyImage previewImage(const Volume& v, double lo, double hi, int axialSlice) {
  GreyImage image;
  bool volume = v.rank == 3;
  image.width = volume ? 2 * v.nx + v.ny : v.nx;
  image.height = volume ? std::max(v.ny, v.nz) : v.ny;
  image.pixels.assign(static_cast<size_t>(image.width) * image.height, 0);
  auto put = [&](int col, int row, double value) {
    image.pixels[static_cast<size_t>(row) * image.width + col] = greyLevel(value, lo, hi);
  };
  for (int y = 0; y < v.ny; ++y)
    for (int x = 0; x < v.nx; ++x) put(x, y, v.at(x, y, axialSlice));
  if (!volume) return image;
  // Coronal and sagittal panels show z upwards, as a scanner's side views do.
  for (int z = 0; z < v.nz; ++z) {
    int row = v.nz - 1 - z;
    for (int x = 0; x < v.nx; ++x) put(v.nx + x, row, v.at(x, v.ny / 2, z));
    for (int y = 0; y < v.ny; ++y) put(2 * v.nx + y, row, v.at(v.nx / 2, y, z));
  }
  return image;
}

bool writePng(const std::string& path, const GreyImage& image, std::string* error) {
  std::string encoded;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    *error = "cannot set up the PNG encoder";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    *error = "PNG encoding of " + path + " failed";
    return false;
  }
  png_set_write_fn(png, &encoded, appendBytes, flushNothing);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int row = 0; row < image.height; ++row)
    png_write_row(png, const_cast<png_bytep>(&image.pixels[static_cast<size_t>(row) * image.width]));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return writeAtomically(path, encoded, error);
}

}  // namespace view
