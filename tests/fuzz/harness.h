// Fuzz harnesses of korvan's input parsers. Each entry takes one input, runs
// it through the code that reads that kind of input, in this process, and
// says how the input ended: accepted, or turned away through the program's
// failure path (endRun). Broken invariants fail loudly. The same entries run
// under libFuzzer (tests/fuzz/run.sh, built with clang) and over the stored
// corpus in the ordinary test suite (test_fuzz_corpus).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

enum class Outcome { kAccepted, kRejected };

using Entry = Outcome (*)(const uint8_t* data, size_t size);

// The VFF header reader on a file holding the input. The first byte picks
// command-line values given before the merge; the rest is the file.
Outcome vffHeader(const uint8_t* data, size_t size);
// One view of a small series: the first byte picks binning and width-
// truncated mode, the rest is the projection file (header and samples),
// taken through the header merge, the geometry checks and setup to the
// projection reader. Projections wider or higher than 64 are accepted
// unread, to keep every input quick.
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

// ---------------------------------------------------------------------------
// Support shared by the entries (support.cpp).

// Runs one input: resets the end state, calls body and catches the end of
// the run that the failure path would otherwise make of the process. A
// rejection must leave the error end state.
template <typename Body>
Outcome runInput(Body body);

// Writes the bytes to `name` in the harness's scratch folder and returns the
// path.
std::string scratchFile(const std::string& name, const uint8_t* data, size_t size);
std::string scratchPath(const std::string& name);

// Fails the input when `condition` is false: aborts under libFuzzer, throws
// BrokenInvariant when a test has asked for that (catchBrokenInvariants).
void require(bool condition, const char* what);
struct BrokenInvariant {
  std::string what;
};
void catchBrokenInvariants();

// What the stand-in reporting layer saw during the current input: the last
// text passed to log_error, and the host and port of the last client made
// by -U (port -1 when none).
const std::string& lastLoggedText();
const std::string& reportHost();
int reportPort();
// Where the stand-in records them.
extern std::string loggedText;
extern std::string clientHost;
extern int clientPort;

// Thrown by the end-of-run hook.
struct RunEnded {};

// Set up once: scratch folder, a host configuration that does not exist (no
// log, default memory limit), standard input at its end (the long help waits
// for a key), and the end-of-run hook.
void prepare();
void beginInput();
bool endedInError();

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
