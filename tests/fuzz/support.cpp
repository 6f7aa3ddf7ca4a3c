// What the fuzz harnesses share: a scratch folder for input files, the
// end-of-run hook that turns the failure path into an exception, invariant
// checks, and what the stand-in reporting layer (report_stub.cpp) recorded.
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/host.h"
#include "tests/fuzz/harness.h"

namespace fuzz {

std::string loggedText, clientHost;
int clientPort = -1;

namespace {

std::string scratchFolder;
bool throwOnBrokenInvariant = false;

[[noreturn]] void fail(const std::string& what) {
  std::perror(what.c_str());
  std::abort();
}

}  // namespace

void prepare() {
  if (!scratchFolder.empty()) return;
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/korvan-fuzz-XXXXXX";
  if (!mkdtemp(&pattern[0])) fail("mkdtemp");
  scratchFolder = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(scratchFolder, ignored);
  });
  setenv("KORVAN_CONFIG", (scratchFolder + "/no-such-config.ini").c_str(), 1);
  if (!std::freopen("/dev/null", "r", stdin)) fail("stdin");
  endRunHook = [] { throw RunEnded{}; };
}

void beginInput() {
  job_end_state = kEndDone;
  exit_job_id = 0;
  loggedText.clear();
  clientHost.clear();
  clientPort = -1;
}

bool endedInError() { return job_end_state == kEndError; }

std::string scratchPath(const std::string& name) {
  prepare();
  return scratchFolder + "/" + name;
}

std::string scratchFile(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = scratchPath(name);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) fail(path);
  return path;
}

void require(bool condition, const char* what) {
  if (condition) return;
  if (throwOnBrokenInvariant) throw BrokenInvariant{what};
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

void catchBrokenInvariants() { throwOnBrokenInvariant = true; }

const Harness kHarnesses[5] = {{"vff_header", vffHeader},
                               {"projection", projection},
                               {"parameter_file", parameterFile},
                               {"offset_file", offsetFile},
                               {"server_address", serverAddress}};

}  // namespace fuzz
