// The checks of the values a run cannot do without. Each failure is logged
// (log file and server) with its own message; most also show the usage, so
// that an operator at a console sees what to add.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  if (usage) {
    printUsage();
  } else {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", message);
  }
  endRunInError();
}

[[noreturn]] void failWithUsage(const ReconParams& p, const char* message) { failCheck(p, message, nullptr, true); }

}  // namespace

void checkRequiredArguments(const ReconParams& p) {
  if (!nameGiven(runNames.inSpec)) failWithUsage(p, "Error: No in_spec given!");
  if (p.firstFile == -1) failWithUsage(p, "No first file number given!");
  if (!nameGiven(runNames.outFile)) failWithUsage(p, "No outfile given!");

  // Opening the output file for writing now finds an unwritable place before
  // hours of back-projection rather than after. It is not emptied: the
  // volume is written under a temporary name and replaces the file only
  // when complete, so a failed run leaves a user's earlier file as it was.
  const int out = ::open(runNames.outFile, O_WRONLY | O_CREAT, 0666);
  if (out < 0) failRunf("Error: could not open outfile %s\n", runNames.outFile);
  ::close(out);
}

void checkHeaderValues(const ReconParams& p) {
  if (p.axisUser == -1.0f) failWithUsage(p, "\nNo center of rotation given!\n");
  if (p.centralSliceUser == -1.0f) failWithUsage(p, "\nNo central slice given!\n");
  if (p.rfanY == -1.0f) failWithUsage(p, "\nNo rfan given!\n");
  if (p.angleIncrement == -1.0f)
    failCheck(p, "\nNo angle increment given!\n", "Error: incorrect arguments", true);
}

namespace {

struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
};

FileIdentity identify(const char* name) {
  FileIdentity id;
  struct stat info;
  if (nameGiven(name) && ::stat(name, &info) == 0) {
    id.exists = true;
    id.device = info.st_dev;
    id.inode = info.st_ino;
  }
  return id;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

}  // namespace

void checkProjectionFiles(const ReconParams& p) {
  // Compared by device and inode, so that another spelling of the same path
  // (./p0.vff, a link) is caught too. The output file exists by now (the
  // first check opened it); the byte file only if the user had one there.
  const FileIdentity out = identify(runNames.outFile);
  const FileIdentity bytes = identify(runNames.byteFile);
  if (sameFile(out, bytes))
    failRunf("Error: outfile %s and bytefile %s are the same file; give them different names", runNames.outFile,
             runNames.byteFile);

  char name[1024];
  for (int i = 0; i < p.nang; ++i) {
    std::snprintf(name, sizeof name, runNames.inSpec, p.firstFile + i * p.fileIncrement);
    if (!openOwned(name, "rb")) {
      char text[1200];
      std::snprintf(text, sizeof text,
                    "Error: unable to open %s.\nNot enough input files to perform reconstruction.", name);
      failCheck(p, text, text, false);
    }
    const FileIdentity projection = identify(name);
    if (sameFile(projection, out))
      failRunf("Error: outfile %s is the projection %s of the input series; give it another name", runNames.outFile,
               name);
    if (sameFile(projection, bytes))
      failRunf("Error: bytefile %s is the projection %s of the input series; give it another name",
               runNames.byteFile, name);
  }
}
