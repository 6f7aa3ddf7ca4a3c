// The offset table of -g: per-angle shifts of the rotation axis, read from
// a text file of angle and offset pairs and interpolated between them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "backproject/backproject_detail.h"
#include "host/host.h"

namespace {

// A file given with -g that yields nothing leaves the run without offsets,
// as if none had been given; the operator learns of it on the console, once
// per run rather than once per slab.
void warnOffsetFileUnused(const char* fileName, const char* why) {
  static std::string warned;
  if (warned == fileName) return;
  warned = fileName;
  std::fflush(stdout);
  std::fprintf(stderr, "Warning: offset file %s %s; reconstructing without axis offsets\n", fileName, why);
}

}  // namespace

void readOffsetTable(const char* fileName, OffsetTable& table) {
  table = OffsetTable{};
  const OwnedFile owned = openOwned(fileName, "r");
  FILE* file = owned.get();
  if (!file) {
    warnOffsetFileUnused(fileName, (std::string("cannot be opened (") + std::strerror(errno) + ")").c_str());
    return;
  }
  float angle, offset;
  while (std::fscanf(file, "%f %f", &angle, &offset) == 2) {
    if (table.count == OffsetTable::kCapacity - 1)
      failRunf("Error: offset file %s holds more than 999 pairs", fileName);
    table.angle[table.count] = angle;
    table.offset[table.count] = offset;
    ++table.count;
  }
  if (table.count == 0) {
    // Say what stopped the reading: the first line as it stands.
    char line[64] = "";
    std::rewind(file);
    if (!std::fgets(line, sizeof line, file)) line[0] = '\0';
    line[std::strcspn(line, "\r\n")] = '\0';
    warnOffsetFileUnused(fileName, line[0] ? ("holds no angle and offset pairs (it begins \"" + std::string(line) +
                                               "\"; expected two numbers per line, separated by blanks)")
                                                  .c_str()
                                            : "is empty");
  }
  // Past the last pair the offset falls linearly towards 0 at 1000 degrees.
  table.angle[table.count] = 1000.0f;
  table.offset[table.count] = 0.0f;
}

bool axisShiftAt(const OffsetTable& table, float angle, int yBinSize, float* shift) {
  for (int k = 0; k < table.count; ++k) {
    const float a0 = table.angle[k];
    const float a1 = table.angle[k + 1];
    if (a0 <= angle && angle <= a1) {
      double offset = table.offset[k];
      // Two pairs at the same angle: take the first rather than divide by zero.
      if (a1 != a0) offset += (double(angle) - a0) / (double(a1) - a0) * (double(table.offset[k + 1]) - table.offset[k]);
      *shift = static_cast<float>(offset / yBinSize);
      return true;
    }
  }
  return false;
}

