// One view of a small series, from its file to the working projection: the
// header merge, the checks, the slab plan and setup, then the projection
// reader (or the width-truncated one, which completes each row from the view
// half a turn later).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "geometry/geometry.h"
#include "tests/fuzz/harness.h"
#include "vff/vff.h"

namespace fuzz {
namespace {

constexpr int kLargestSide = 64;

// The record's arrays are released however the input ends.
struct ArraysReleased {
  ReconParams& p;
  ~ArraysReleased() { freeReconArrays(p); }
};

}  // namespace

Outcome projection(const uint8_t* data, size_t size) {
  const uint8_t options = size > 0 ? data[0] : 0;
  if (size > 0) {
    ++data;
    --size;
  }
  // Every view of the series is this one file; the truncated reader pairs
  // view 0 with a view half a turn later, which then holds the same bytes.
  scratchFile("view0.vff", data, size);
  const std::string pattern = scratchPath("view%d.vff");

  static ReconParams p;
  static char header[kVffHeaderSize];
  static char title[kVffTitleSize], date[kVffDateSize];
  const Outcome outcome = runInput([&] {
    initReconParams(p);
    ArraysReleased release{p};
    p.firstFile = 0;
    // A coarse angle step keeps the view count, and so setup, small.
    p.angleIncrement = p.angleIncrementUser = 45.0f;
    if (options & 0x03) {
      p.yBinGiven = kOn;
      p.yBinSize = options & 0x03;
    }
    if (options & 0x0C) {
      p.zBinGiven = kOn;
      p.zBinSize = (options >> 2) & 0x03;
    }
    if (options & 0x10) p.full360 = kOn;
    if (options & 0x20) p.truncated = p.full360 = kOn;
    if (options & 0x40) p.zSize = 2;

    readVffHeader(p, header, title, date, pattern.c_str());
    if (p.projWidth > kLargestSide || p.projHeight > kLargestSide) return;
    checkHeaderValues(p);
    checkGeometry(p);
    planSlabs(p);
    setupGeometry(p);
    if (p.zSize <= 0) return;

    const std::string view = scratchPath("view0.vff");
    if (p.truncated) {
      char companion[64];
      std::snprintf(companion, sizeof companion, "view%d.vff", companionFileNumber(p, 0));
      scratchFile(companion, data, size);
      readTruncatedProjection(p, view.c_str(), scratchPath(companion).c_str());
    } else {
      readProjection(p, view.c_str());
    }

    // 16-bit samples, averaged or bridged, stay within the 16-bit range.
    const long count = static_cast<long>(p.zprojSize) * p.yprojSizeUser;
    for (long i = 0; p.bits == 16 && i < count; ++i)
      require(std::isfinite(p.projection[i]) && std::fabs(p.projection[i]) <= 32768.0f,
              "16-bit samples read as values of the 16-bit range");
  });

  if (outcome == Outcome::kRejected) require(!loggedText.empty(), "a refused view is logged");
  return outcome;
}

}  // namespace fuzz
