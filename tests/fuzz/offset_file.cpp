// The offset-correction table: pairs of a view angle and an axis offset read
// until the first text that is not a pair, closed by the sentinel (1000, 0).
// Any file gives such a table, or more than 999 pairs end the run; the
// interpolation between finite entries gives finite shifts.
#include <cmath>

#include "backproject/backproject_detail.h"
#include "tests/fuzz/harness.h"

namespace fuzz {

Outcome offsetFile(const uint8_t* data, size_t size) {
  const std::string path = scratchFile("offsets.txt", data, size);
  static OffsetTable table;
  const Outcome outcome = runInput([&] { readOffsetTable(path.c_str(), table); });
  if (outcome == Outcome::kRejected) {
    require(loggedText.rfind("Error: offset file ", 0) == 0, "only an overlong table is refused");
    return outcome;
  }

  require(table.count >= 0 && table.count < OffsetTable::kCapacity, "the table leaves room for its sentinel");
  require(table.angle[table.count] == 1000.0f && table.offset[table.count] == 0.0f, "the sentinel closes the table");
  bool finite = true;
  for (int k = 0; k < table.count; ++k) finite = finite && std::isfinite(table.angle[k]) && std::isfinite(table.offset[k]);
  for (float angle = -10.0f; angle < 1010.0f; angle += 7.25f) {
    for (int bin = 1; bin <= 3; ++bin) {
      float shift = 0.0f;
      const bool shifted = axisShiftAt(table, angle, bin, &shift);
      require(!shifted || table.count > 0, "an empty table shifts nothing");
      require(!shifted || !finite || std::isfinite(shift), "finite entries give finite shifts");
    }
  }
  return outcome;
}

}  // namespace fuzz
