// Fuzz harnesses of korvan's input parsers. Each entry runs one input
// through the code that reads that kind of input, in this process, and says
// how it ended: accepted, or turned away through the failure path (endRun).
// Broken invariants fail loudly. The same entries run under libFuzzer
// (tests/fuzz/run.sh, clang) and over the stored corpus (test_fuzz_corpus).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

enum class Outcome { kAccepted, kRejected };
using Entry = Outcome (*)(const uint8_t* data, size_t size);

// The VFF header reader; the first byte picks command-line values given
// before the merge.
Outcome vffHeader(const uint8_t* data, size_t size);
// One view of a small series through the header merge, the checks, setup and
// the projection reader; the first byte picks binning and width-truncated
// mode. Views over 64 wide or high are accepted unread, to stay quick.
Outcome projection(const uint8_t* data, size_t size);
// A parameter file (-F) through both passes of the option parsing.
Outcome parameterFile(const uint8_t* data, size_t size);
// The offset-correction table reader and its interpolation.
Outcome offsetFile(const uint8_t* data, size_t size);
// The server address of -U (the input up to its first NUL byte).
Outcome serverAddress(const uint8_t* data, size_t size);

struct Harness {
  const char* name;  // also the corpus folder tests/fuzz/corpus/<name>
  Entry entry;
};
extern const Harness kHarnesses[5];

// What the stand-in reporting layer (report_stub.cpp) saw during the current
// input: the last text passed to log_error, and the host and port of the
// last client made by -U (port -1 when none).
extern std::string loggedText, clientHost;
extern int clientPort;

// Writes the bytes to `name` in the scratch folder; returns the path.
std::string scratchFile(const std::string& name, const uint8_t* data, size_t size);
std::string scratchPath(const std::string& name);

// Fails the input when `condition` is false: aborts under libFuzzer, throws
// BrokenInvariant once a test has called catchBrokenInvariants().
void require(bool condition, const char* what);
struct BrokenInvariant {
  std::string what;
};
void catchBrokenInvariants();

// Set up once (scratch folder, a configuration that does not exist, standard
// input at its end for the long help, the end-of-run hook); then per input.
void prepare();
void beginInput();
bool endedInError();
struct RunEnded {};  // thrown by the end-of-run hook

// Runs one input's body and catches the end of the run that the failure
// path would otherwise make of the process. A rejection must leave the
// error end state.
template <typename Body>
Outcome runInput(Body body) {
  prepare();
  beginInput();
  try {
    body();
  } catch (const RunEnded&) {
    require(endedInError(), "a run that ends early reports the error end state");
    return Outcome::kRejected;
  }
  return Outcome::kAccepted;
}

}  // namespace fuzz
