// The checks of the values a run cannot do without. Each failure is logged
// (log file and server) with its own message; most also show the usage, so
// that an operator at a console sees what to add.
#include <cstdio>

#include "driver/driver.h"
#include "host/host.h"

namespace {

// Like failRun, with the console and server extras of a failed check in
// their places: the logged message first, then the job's status line (the
// server shows it, so a run that stops for want of input says why there
// too), then the usage.
[[noreturn]] void failCheck(const ReconParams& p, const char* message, const char* status, bool usage) {
  log_error(message);
  if (status != nullptr) report_status(p.jobId, status, 1.0);
  if (usage) printUsage();
  job_end_state = kEndError;
  endRun();
}

[[noreturn]] void failWithUsage(const ReconParams& p, const char* message) { failCheck(p, message, nullptr, true); }

}  // namespace

void checkRequiredArguments(const ReconParams& p) {
  if (!nameGiven(runNames.inSpec)) failWithUsage(p, "Error: No in_spec given!");
  if (p.firstFile == -1) failWithUsage(p, "No first file number given!");
  if (!nameGiven(runNames.outFile)) failWithUsage(p, "No outfile given!");

  // Creating (or emptying) the output file now finds an unwritable place
  // before hours of back-projection rather than after.
  FILE* out = std::fopen(runNames.outFile, "wb");
  if (out == nullptr) failRunf("Error: could not open outfile %s\n", runNames.outFile);
  std::fclose(out);
}

void checkHeaderValues(const ReconParams& p) {
  if (p.axisUser == -1.0f) failWithUsage(p, "\nNo center of rotation given!\n");
  if (p.centralSliceUser == -1.0f) failWithUsage(p, "\nNo central slice given!\n");
  if (p.rfanY == -1.0f) failWithUsage(p, "\nNo rfan given!\n");
  if (p.angleIncrement == -1.0f)
    failCheck(p, "\nNo angle increment given!\n", "Error: incorrect arguments", true);
}

void checkProjectionFiles(const ReconParams& p) {
  char name[1024];
  for (int i = 0; i < p.nang; ++i) {
    std::snprintf(name, sizeof name, runNames.inSpec, p.firstFile + i * p.fileIncrement);
    FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
      char text[1200];
      std::snprintf(text, sizeof text,
                    "Error: unable to open %s.\nNot enough input files to perform reconstruction.", name);
      failCheck(p, text, text, false);
    }
    std::fclose(file);
  }
}
