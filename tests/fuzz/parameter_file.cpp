// A parameter file through the driver's parsing: pass 1 over the command
// line "korvan -F <file>", then pass 2 over the words of the file. Any file
// must either leave values that fit their fields, or end the run (usage,
// help or an error message) with the error end state.
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "host/host.h"
#include "tests/fuzz/harness.h"

namespace fuzz {
namespace {

bool fits(const char* field, size_t capacity) { return strnlen(field, capacity) < capacity; }

}  // namespace

Outcome parameterFile(const uint8_t* data, size_t size) {
  const std::string path = scratchFile("params", data, size);
  static ReconParams p;
  char program[] = "korvan", option[] = "-F";
  std::string name = path;
  char* argv[] = {program, option, &name[0], nullptr};

  const Outcome outcome = runInput([&] {
    initReconParams(p);
    for (char* field : {runNames.outFile, runNames.byteFile, runNames.inSpec, runNames.outSpec})
      std::strcpy(field, "NULL");
    scanner::reset();
    parseArguments(p, 3, argv);
  });

  if (outcome == Outcome::kAccepted) {
    require(fits(runNames.outFile, sizeof runNames.outFile) && fits(runNames.byteFile, sizeof runNames.byteFile) &&
                fits(runNames.inSpec, sizeof runNames.inSpec) && fits(runNames.outSpec, sizeof runNames.outSpec) &&
                fits(p.offsetFile, sizeof p.offsetFile),
            "names fit their fields");
    require(p.outDir == nullptr || (std::strlen(p.outDir) <= 256 && p.outDir[std::strlen(p.outDir) - 1] == '/'),
            "the output directory ends in its separator");
    require((p.serverUrl == nullptr) == (clientPort == -1), "a server address makes a client");
    require(p.paramFile != 0, "-F marks the parameter file");
  }
  std::free(p.outDir);
  std::free(p.serverUrl);
  p.outDir = p.serverUrl = nullptr;
  return outcome;
}

}  // namespace fuzz
