// The VFF header reader: any file must either merge into the record with a
// usable size and sample width, or end the run with an error message.
#include <cstring>

#include "driver/params.h"
#include "tests/fuzz/harness.h"
#include "vff/vff.h"

namespace fuzz {

Outcome vffHeader(const uint8_t* data, size_t size) {
  // Command-line values given before the merge, so that the fuzzer also
  // drives the rules of which side wins.
  const uint8_t given = size > 0 ? data[0] : 0;
  const bool axisGiven = given & 1;
  const bool reverseGiven = given & 2;
  const bool sizeGiven = given & 4;
  if (size > 0) {
    ++data;
    --size;
  }
  scratchFile("view0.vff", data, size);

  static ReconParams p;
  static char header[kVffHeaderSize];
  static char title[kVffTitleSize], date[kVffDateSize];
  const std::string pattern = scratchPath("view%d.vff");
  const Outcome outcome = runInput([&] {
    initReconParams(p);
    p.firstFile = 0;
    if (axisGiven) p.axisUser = 7.25f;
    if (reverseGiven) p.reverseOrder = kOn;
    if (sizeGiven) p.xSize = 3;
    readVffHeader(p, header, title, date, pattern.c_str());
  });

  if (outcome == Outcome::kAccepted) {
    require(p.projWidth > 0 && p.projHeight > 0, "an accepted header gives a positive size");
    require(p.bits == 16 || p.bits == 32, "an accepted header gives 16- or 32-bit samples");
    // A NUL byte in the header ends the text that keys are looked up in.
    require(strnlen(header, kVffHeaderSize) < kVffHeaderSize, "the header text is terminated inside its buffer");
    require(strnlen(title, sizeof title) < sizeof title && strnlen(date, sizeof date) < sizeof date &&
                strnlen(p.subject, sizeof p.subject) < sizeof p.subject,
            "title, date and subject fit their fields");
    require(!axisGiven || p.axisUser == 7.25f, "the command line wins over the header");
    require(!sizeGiven || p.xSize == 3, "the command line wins over the header");
    require(p.rfanY == p.rfanZ || (p.rfanY != p.rfanY && p.rfanZ != p.rfanZ) || (p.rfanY == -1.0f && p.rfanZ == 0.0f),
            "rfan sets both directions");
  } else {
    require(loggedText.rfind("Error: ", 0) == 0, "a refused header is logged with an error message");
  }
  return outcome;
}

}  // namespace fuzz
