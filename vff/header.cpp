// VFF headers: key lookup, the reader that merges the first projection's
// header into the record, and the writer used for every output file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/host.h"
#include "vff/vff_detail.h"

namespace {

constexpr int kFormFeed = 12;
static_assert(kVffHeaderSize == 8192, "the header-length message names the capacity");

// Copies at most capacity - 1 characters of `text` into `field`, always
// terminated: header texts longer than the record's fields are cut.
void copyCut(char* field, const char* text, size_t capacity) {
  size_t length = strnlen(text, capacity - 1);
  std::memcpy(field, text, length);
  field[length] = '\0';
}

// Reads the header of `file` up to and including its form feed into
// `header` as a terminated text, then consumes the one byte that follows
// the form feed. The buffer has room for kVffHeaderSize - 1 characters.
void readHeaderText(FILE* file, char* header, const char* name) {
  int length = 0;
  for (;;) {
    if (length == kVffHeaderSize - 1)
      failRunf("Error: header of %s is longer than 8191 characters (no form feed found)", name);
    int c = std::fgetc(file);
    if (c == EOF) failRunf("Error: %s has no VFF header end (form feed) before the end of the file", name);
    header[length++] = static_cast<char>(c);
    if (c == kFormFeed) break;
  }
  header[length] = '\0';
  std::fgetc(file);  // the line end after the form feed
}

// "size=" holds the width, then after one or more blanks the height.
void parseSize(const char* value, int& width, int& height) {
  width = std::atoi(value);
  const char* blank = std::strchr(value, ' ');
  if (!blank) {
    height = 0;
    return;
  }
  while (*blank == ' ') ++blank;
  height = std::atoi(blank);
}

// Optional keys are merged only into fields the command line left unset.
void mergeFloat(float& field, const char* header, const char* key, char* value) {
  if (field == -1.0f && getHeaderValue(value, header, key)) field = static_cast<float>(std::atof(value));
}

void mergeInt(int& field, const char* header, const char* key, char* value) {
  if (field == -1 && getHeaderValue(value, header, key)) field = std::atoi(value);
}

}  // namespace

bool getHeaderValue(char* value, const char* header, const char* key) {
  const char* found = std::strstr(header, key);
  if (!found) return false;
  char work[kVffHeaderSize];
  size_t length = std::strcspn(found, ";");
  if (length > sizeof work - 1) length = sizeof work - 1;
  std::memcpy(work, found, length);
  work[length] = '\0';
  const char* equals = std::strchr(work, '=');
  std::strcpy(value, equals ? equals + 1 : work);
  return true;
}

void readVffHeader(ReconParams& p, char* header, char* title, char* date, const char* inSpec) {
  char name[1024];
  std::snprintf(name, sizeof name, inSpec, p.firstFile);
  const OwnedFile file = openOwned(name, "rb");
  if (!file) failRunf("Error: could not open infile %s\n", name);
  std::printf("Reading header from file %s\n", name);
  readHeaderText(file.get(), header, name);

  char value[kVffHeaderSize];
  copyCut(p.subject, getHeaderValue(value, header, "subject=") ? value : "", sizeof p.subject);
  copyCut(title, getHeaderValue(value, header, "title=") ? value : "", kVffTitleSize);
  copyCut(date, getHeaderValue(value, header, "date=") ? value : "", kVffDateSize);

  bool haveSize = getHeaderValue(value, header, "size=");
  char sizeText[kVffHeaderSize];
  std::strcpy(sizeText, haveSize ? value : "");
  if (haveSize) parseSize(sizeText, p.projWidth, p.projHeight);
  bool haveBits = getHeaderValue(value, header, "bits=");
  if (haveBits) p.bits = std::atoi(value);

  mergeFloat(p.axisUser, header, "center_of_rotation=", value);
  mergeFloat(p.centralSliceUser, header, "central_slice=", value);
  if (p.rfanY == -1.0f && getHeaderValue(value, header, "rfan=")) {
    p.rfanY = static_cast<float>(std::atof(value));
    p.rfanZ = p.rfanY;
  }
  mergeFloat(p.angleIncrement, header, "angle_increment=", value);
  // A header start angle is recorded but does not count as given: only -n
  // moves the angle table away from the centred plan.
  if (!p.startAngleGiven && getHeaderValue(value, header, "start_angle="))
    p.startAngleUser = static_cast<float>(std::atof(value));
  mergeInt(p.kernelLength, header, "kernel_length=", value);
  mergeInt(p.xOrigin, header, "x_origin=", value);
  mergeInt(p.yOrigin, header, "y_origin=", value);
  mergeInt(p.zOrigin, header, "z_origin=", value);
  mergeInt(p.xSize, header, "x_size=", value);
  mergeInt(p.ySize, header, "y_size=", value);
  mergeInt(p.zSize, header, "z_size=", value);
  // "yes" in the header flips the direction, so -m on a series recorded in
  // reverse order restores the normal direction.
  if (getHeaderValue(value, header, "reverse_order=") && std::strcmp(value, "yes") == 0)
    p.reverseOrder = p.reverseOrder ? 0 : kOn;

  // Every later stage sizes its buffers from these three values.
  if (!haveSize) failRunf("Error: %s has no size= entry in its header", name);
  if (!haveBits) failRunf("Error: %s has no bits= entry in its header", name);
  if (p.projWidth <= 0 || p.projHeight <= 0)
    failRunf("Error: %s: size= must give two positive numbers, got '%s'", name, sizeText);
  if (p.bits != 16 && p.bits != 32) failRunf("Error: %s: projections must have bits=16 or bits=32, got %d", name, p.bits);
}

void writeVffHeader(const ReconParams& p, const char* title, const char* date, FILE* file, int bits) {
  const bool slice = bits == 32;
  std::fputs("ncaa\n", file);
  std::fputs(slice ? "rank=2;\n" : "rank=3;\n", file);
  std::fputs("type=raster;\n", file);
  std::fprintf(file, "size=%d %d", p.xSize, p.ySize);
  if (!slice) std::fprintf(file, " %d", p.zSize);
  std::fputs(";\n", file);
  if (slice)
    std::fprintf(file, "origin=%d %d;\n", p.xOrigin, p.yOrigin);
  else
    std::fprintf(file, "origin=%d %d %d;\n", p.xOrigin, p.yOrigin, p.zOriginUser / p.zBinSize);
  std::fprintf(file, "y_bin=%d;\n", p.yBinSize);
  std::fprintf(file, "z_bin=%d;\n", p.zBinSize);
  std::fputs("bands=1;\n", file);
  std::fprintf(file, "bits=%d;\n", bits);
  std::fputs("format=slice;\n", file);
  std::fprintf(file, "title=%s;\n", title);
  std::fprintf(file, "subject=%s;\n", p.subject);
  std::fprintf(file, "date=%s;\n", date);
  std::fprintf(file, "center_of_rotation=%f;\n", static_cast<double>(p.axisUser));
  std::fprintf(file, "central_slice=%f;\n", static_cast<double>(p.centralSliceUser));
  std::fprintf(file, "rfan_y=%f;\n", static_cast<double>(p.rfanY));
  std::fprintf(file, "rfan_z=%f;\n", static_cast<double>(p.rfanZ));
  std::fprintf(file, "angle_increment=%f;\n", static_cast<double>(p.angleIncrement));
  std::fputs(p.reverseOrder ? "reverse_order=yes;\n" : "reverse_order=no;\n", file);
  std::fprintf(file, "min=%f;\n", static_cast<double>(p.minValue));
  std::fprintf(file, "max=%f;\n", static_cast<double>(p.maxValue));
  // The voxel is one binned detector column wide; vertically it spans
  // zBin / yBin of that.
  if (slice)
    std::fprintf(file, "spacing=%4.2f %4.2f;\n", 1.0, 1.0);
  else
    std::fprintf(file, "spacing=%4.2f %4.2f %4.2f;\n", 1.0, 1.0, static_cast<double>(p.zBinSize) / p.yBinSize);
  if (p.elementSize != -1.0f) std::fprintf(file, "elementsize=%f;\n", static_cast<double>(p.elementSize));
  if (p.waterValue != -1.0f) std::fprintf(file, "water=%f;\n", static_cast<double>(p.waterValue));
  if (p.airValue != -1.0f) std::fprintf(file, "air=%f;\n", static_cast<double>(p.airValue));
  if (p.boneHU != -1) std::fprintf(file, "boneHU=%d;\n", p.boneHU);
  if (p.cmdLine) std::fprintf(file, "cmdLine=\"%s\";\n", p.cmdLine);
  std::fputs("\f\n", file);
}
