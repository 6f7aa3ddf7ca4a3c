// Fuzz harnesses of korvan's input parsers. Each entry runs one input through
// the code that reads that kind of input, in this process, and says how it
// ended: accepted, or turned away through the failure path, which must leave
// the error end state and a message. Broken invariants fail loudly. The same
// entries run under libFuzzer (tests/fuzz/run.sh, clang) and over the stored
// corpus (test_fuzz_corpus).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

enum class Outcome { kAccepted, kRejected };
using Entry = Outcome (*)(const uint8_t* data, size_t size);

Outcome vffHeader(const uint8_t* data, size_t size);      // the first byte: command-line values
Outcome projection(const uint8_t* data, size_t size);     // the first byte: binning, scan, slab
Outcome parameterFile(const uint8_t* data, size_t size);  // -F <file>
Outcome offsetFile(const uint8_t* data, size_t size);     // -g <file>
Outcome serverAddress(const uint8_t* data, size_t size);  // -U, up to the first NUL byte

struct Harness {
  const char* name;  // also the corpus folder tests/fuzz/corpus/<name>
  Entry entry;
};
extern const Harness kHarnesses[5];

// What the stand-in reporting layer (report_stub.cpp) saw during the current
// input: the last text logged, the host and port of the last client (-1: none).
extern std::string loggedText, clientHost;
extern int clientPort;

// A broken invariant aborts under libFuzzer; once a test has called
// catchBrokenInvariants() it throws instead.
struct BrokenInvariant {
  std::string what;
};
void catchBrokenInvariants();

}  // namespace fuzz
