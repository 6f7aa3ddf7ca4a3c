// The harnesses and what they share: a scratch folder for input files, the
// end-of-run hook that turns the failure path into an exception, and the
// invariants each kind of input must keep.
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "backproject/backproject_detail.h"
#include "driver/driver.h"
#include "geometry/geometry.h"
#include "host/host.h"
#include "tests/fuzz/harness.h"
#include "vff/vff.h"

namespace fuzz {

std::string loggedText, clientHost;
int clientPort = -1;

namespace {

std::string scratch;  // the folder
bool throwOnBroken = false;
struct RunEnded {};  // thrown by the end-of-run hook
ReconParams p;
char header[kVffHeaderSize], title[kVffTitleSize], date[kVffDateSize];

[[noreturn]] void fail(const std::string& what) { std::perror(what.c_str()), std::abort(); }

void require(bool condition, const char* what) {
  if (condition) return;
  if (throwOnBroken) throw BrokenInvariant{what};
  std::fprintf(stderr, "broken invariant: %s\n", what), std::abort();
}

// Once: the scratch folder, a configuration that does not exist, standard
// input at its end (for the long help), the end-of-run hook.
std::string scratchPath(const std::string& name) {
  if (scratch.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/korvan-fuzz-XXXXXX";
    if (!mkdtemp(&pattern[0])) fail("mkdtemp");
    scratch = pattern;
    std::atexit([] { std::error_code ignored; std::filesystem::remove_all(scratch, ignored); });
    setenv("KORVAN_CONFIG", (scratch + "/no-such-config.ini").c_str(), 1);
    if (!std::freopen("/dev/null", "r", stdin)) fail("stdin");
    endRunHook = [] { throw RunEnded{}; };
  }
  return scratch + "/" + name;
}

std::string scratchFile(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = scratchPath(name);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) fail(path);
  return path;
}

// Runs one input's body, catching the end of the run that the failure path
// would otherwise make of the process.
template <typename Body>
Outcome runInput(Body body) {
  scratchPath("");
  job_end_state = kEndDone, exit_job_id = 0, clientPort = -1;
  loggedText.clear(), clientHost.clear();
  try {
    body();
  } catch (const RunEnded&) {
    require(job_end_state == kEndError, "a run that ends early reports the error end state");
    return Outcome::kRejected;
  }
  return Outcome::kAccepted;
}

// The first byte of an input holding options; the rest is the file.
uint8_t takeOptions(const uint8_t*& data, size_t& size) { return size > 0 ? (--size, *data++) : 0; }
bool fits(const char* field, size_t capacity) { return strnlen(field, capacity) < capacity; }

// The driver's parsing of "korvan <option> <argument>"; the record's heap texts go with the input.
Outcome parse(const char* option, std::string argument) {
  char program[] = "korvan";
  std::string name = option;
  char* argv[] = {program, &name[0], &argument[0], nullptr};
  return runInput([&] {
    initReconParams(p);
    for (char* field : {runNames.outFile, runNames.byteFile, runNames.inSpec, runNames.outSpec})
      std::strcpy(field, "NULL");
    scanner::reset();
    parseArguments(p, 3, argv);
  });
}
void freeParsed() { std::free(p.outDir), std::free(p.serverUrl), p.outDir = p.serverUrl = nullptr; }

}  // namespace

void catchBrokenInvariants() { throwOnBroken = true; }

// Any header merges into the record with a usable size and sample width, the
// command line winning, or ends the run with an error message.
Outcome vffHeader(const uint8_t* data, size_t size) {
  const uint8_t given = takeOptions(data, size);
  scratchFile("view0.vff", data, size);
  const Outcome outcome = runInput([&] {
    initReconParams(p);
    p.firstFile = 0;
    if (given & 1) p.axisUser = 7.25f;
    if (given & 2) p.reverseOrder = kOn;
    if (given & 4) p.xSize = 3;
    readVffHeader(p, header, title, date, scratchPath("view%d.vff").c_str());
  });
  if (outcome == Outcome::kRejected)
    require(loggedText.rfind("Error: ", 0) == 0, "a refused header is logged with an error message");
  else
    require(p.projWidth > 0 && p.projHeight > 0 && (p.bits == 16 || p.bits == 32) &&
                fits(header, sizeof header) && fits(title, sizeof title) && fits(date, sizeof date) &&
                fits(p.subject, sizeof p.subject) && (!(given & 1) || p.axisUser == 7.25f) &&
                (!(given & 4) || p.xSize == 3) &&
                (p.rfanY == p.rfanZ || (std::isnan(p.rfanY) && std::isnan(p.rfanZ)) ||
                 (p.rfanY == -1.0f && p.rfanZ == 0.0f)),
            "an accepted header: positive size, 16 or 32 bits, texts that fit, the command line wins, rfan both ways");
  return outcome;
}

// One view of a series whose views all hold these bytes, through the header
// merge, the checks, the slab plan, setup and the (width-truncated) reader.
// Views over 64 wide or high are accepted unread, to stay quick.
Outcome projection(const uint8_t* data, size_t size) {
  const uint8_t options = takeOptions(data, size);
  const std::string view = scratchFile("view0.vff", data, size);
  const Outcome outcome = runInput([&] {
    initReconParams(p);
    struct Released { ~Released() { freeReconArrays(p); } } released;
    p.firstFile = 0;
    p.angleIncrement = p.angleIncrementUser = 45.0f;  // few views: a quick setup
    if (options & 0x03) p.yBinGiven = kOn, p.yBinSize = options & 0x03;
    if (options & 0x0C) p.zBinGiven = kOn, p.zBinSize = (options >> 2) & 0x03;
    if (options & 0x10) p.full360 = kOn;
    if (options & 0x20) p.truncated = p.full360 = kOn;
    if (options & 0x40) p.zSize = 2;
    readVffHeader(p, header, title, date, scratchPath("view%d.vff").c_str());
    if (p.projWidth > 64 || p.projHeight > 64) return;
    checkHeaderValues(p), checkGeometry(p), planSlabs(p), setupGeometry(p);
    if (p.zSize <= 0) return;
    if (p.truncated) {
      const std::string companion = "view" + std::to_string(companionFileNumber(p, 0)) + ".vff";
      readTruncatedProjection(p, view.c_str(), scratchFile(companion, data, size).c_str());
    } else {
      readProjection(p, view.c_str());
    }
    for (long i = 0; p.bits == 16 && i < long(p.zprojSize) * p.yprojSizeUser; ++i)
      require(std::isfinite(p.projection[i]) && std::fabs(p.projection[i]) <= 32768.0f,
              "16-bit samples, averaged or bridged, stay in the 16-bit range");
  });
  require(outcome == Outcome::kAccepted || !loggedText.empty(), "a refused view is logged");
  return outcome;
}

// A parameter file through both passes of the option parsing leaves values
// that fit their fields, or ends the run.
Outcome parameterFile(const uint8_t* data, size_t size) {
  const Outcome outcome = parse("-F", scratchFile("params", data, size));
  if (outcome == Outcome::kAccepted)
    require(fits(runNames.outFile, sizeof runNames.outFile) && fits(runNames.byteFile, sizeof runNames.byteFile) &&
                fits(runNames.inSpec, sizeof runNames.inSpec) && fits(runNames.outSpec, sizeof runNames.outSpec) &&
                fits(p.offsetFile, sizeof p.offsetFile) && p.paramFile != 0 &&
                (p.outDir == nullptr || (std::strlen(p.outDir) <= 256 && p.outDir[std::strlen(p.outDir) - 1] == '/')) &&
                (p.serverUrl == nullptr) == (clientPort == -1),
            "names fit their fields, the output directory ends in '/', a server address makes a client");
  freeParsed();
  return outcome;
}

// "http://host:port", the scheme's seven characters skipped unchecked: a
// client for a non-empty host and a port of 1..65535, or a message naming it.
Outcome serverAddress(const uint8_t* data, size_t size) {
  const std::string address(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  const Outcome outcome = parse("-U", address);
  const size_t colon = address.find(':', 7);
  if (outcome == Outcome::kAccepted)
    require(p.serverUrl != nullptr && address == p.serverUrl && colon != std::string::npos &&
                clientHost == address.substr(7, colon - 7) && !clientHost.empty() && clientPort >= 1 &&
                clientPort <= 65535,
            "the whole address is kept; the host runs to the next colon; host and port are usable");
  else
    require(loggedText == ("Error: server address " + address + " is not of the form http://host:port").substr(0, 1023)
                && p.serverUrl == nullptr && clientPort == -1,
            "a refused address is named in the message and makes no client");
  freeParsed();
  return outcome;
}

// Pairs of a view angle and an axis offset up to the first text that is not
// a pair, closed by the sentinel (1000, 0), or more than 999 pairs end the
// run; finite entries interpolate to finite shifts.
Outcome offsetFile(const uint8_t* data, size_t size) {
  static OffsetTable table;
  const std::string path = scratchFile("offsets.txt", data, size);
  const Outcome outcome = runInput([&] { readOffsetTable(path.c_str(), table); });
  if (outcome == Outcome::kRejected) {
    require(loggedText.rfind("Error: offset file ", 0) == 0, "only an overlong table is refused");
    return outcome;
  }
  require(table.count >= 0 && table.count < OffsetTable::kCapacity && table.angle[table.count] == 1000.0f &&
              table.offset[table.count] == 0.0f,
          "the sentinel closes the table");
  bool finite = true;
  for (int k = 0; k < table.count; ++k)
    finite = finite && std::isfinite(table.angle[k]) && std::isfinite(table.offset[k]);
  for (float angle = -10.0f; angle < 1010.0f; angle += 7.25f)
    for (int bin = 1; bin <= 3; ++bin) {
      float shift = 0.0f;
      const bool shifted = axisShiftAt(table, angle, bin, &shift);
      require(!shifted || (table.count > 0 && (!finite || std::isfinite(shift))),
              "an empty table shifts nothing; finite entries give finite shifts");
    }
  return outcome;
}

const Harness kHarnesses[5] = {{"vff_header", vffHeader}, {"projection", projection}, {"parameter_file", parameterFile},
                               {"offset_file", offsetFile}, {"server_address", serverAddress}};

}  // namespace fuzz
