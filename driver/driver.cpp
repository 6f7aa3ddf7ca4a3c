// The sequence of a run: options, checks, the header of the first
// projection, the slab plan, geometry setup, the slabs one after the other,
// the output files and the timing figures.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "backproject/backproject.h"
#include "driver/cluster.h"
#include "driver/driver.h"
#include "geometry/geometry.h"
#include "host/host.h"
#include "vff/vff.h"

RunNames runNames;

bool nameGiven(const char* name) { return std::strcmp(name, "NULL") != 0; }

const LoopSwitches& loopSwitches() {
  static const LoopSwitches switches = [] {
    LoopSwitches s;
    const char* reference = std::getenv("KORVAN_BACKPROJECT");
    s.reference = reference != nullptr && std::strcmp(reference, "reference") == 0;
    // Any number given counts, clamped to at least one view per pass.
    if (const char* views = std::getenv("KORVAN_VIEWS_PER_PASS")) s.viewsPerPass = std::max(1, std::atoi(views));
    s.stageTimes = std::getenv("KORVAN_BENCH") != nullptr;
    return s;
  }();
  return switches;
}

namespace {

// The one working record of the run and the copy every slab starts from.
ReconParams params;
ReconParams pristine;

void initRunNames() {
  std::strcpy(runNames.outFile, "NULL");
  std::strcpy(runNames.byteFile, "NULL");
  std::strcpy(runNames.inSpec, "NULL");
  std::strcpy(runNames.outSpec, "NULL");
  runNames.title[0] = '\0';
  runNames.date[0] = '\0';
}

// All arguments from the program name on, joined by single blanks.
char* joinArguments(int argc, char** argv) {
  long room = 0;
  for (int i = 0; i < argc; ++i) room += static_cast<long>(std::strlen(argv[i])) + 2;
  char* text = reinterpret_cast<char*>(bvector(room + 1));
  for (int i = 0; i < argc; ++i) {
    if (i > 0) std::strcat(text, " ");
    std::strcat(text, argv[i]);
  }
  return text;
}

// The values the run goes ahead with, once, after the first setup.
void printParameterEcho(const ReconParams& p) {
  std::printf("subject = %s\n", p.subject);
  std::printf("title = %s\n", runNames.title);
  std::printf("yproj_size_user = %d\n", p.yprojSizeUser);
  std::printf("zproj_size_user = %d\n", p.zprojSizeUser);
  std::printf("yproj_size = %d\n", p.yprojSize);
  std::printf("zproj_size = %d\n", p.zprojSize);
  std::printf("nang = %d\n", p.nang);
  std::printf("axis_user = %f\n", p.axisUser);
  std::printf("axis = %f\n", p.axis);
  std::printf("central_slice_user = %f\n", p.centralSliceUser);
  std::printf("rfan_y = %f\n", p.rfanY);
  std::printf("rfan_z = %f\n", p.rfanZ);
  std::printf("angle_increment = %f\n", p.angleIncrement);
  // Degrees as the user gave it, or the derived angle in radians.
  std::printf("start_angle = %f\n", p.startAngleGiven ? p.startAngleUser : p.startAngle);
  if (p.yBinGiven) std::printf("y_bin_size = %d\n", p.yBinSize);
  if (p.zBinGiven) std::printf("z_bin_size = %d\n", p.zBinSize);
  if (p.fileIncrementGiven) std::printf("file_increment = %d\n", p.fileIncrement);
  if (p.convolution)
    std::printf("kernel_length = %d\n", p.kernelLength);
  else
    std::printf("filter_size = %d\n", p.filterSize);
  if (p.elementSize != -1.0f) std::printf("element size = %f\n", p.elementSize);
  if (p.waterValue != -1.0f) std::printf("float number for water = %f\n", p.waterValue);
  if (p.airValue != -1.0f) std::printf("float number for air = %f\n", p.airValue);
  if (p.boneHU != -1) std::printf("Hounsfield value for SB3 = %d\n", p.boneHU);
  std::printf("x origin of reconstruction matrix = %d\n", p.xOrigin);
  std::printf("y origin of reconstruction matrix = %d\n", p.yOrigin);
  std::printf("z origin of reconstruction matrix = %d\n", p.zOrigin);
  std::printf("x size of reconstruction matrix = %d\n", p.xSize);
  std::printf("y size of reconstruction matrix = %d\n", p.ySize);
  std::printf("z size of reconstruction matrix = %d\n", p.zSize);
  if (p.reflect) std::printf("x reflection selected\n");
  if (p.reverseOrder) std::printf("Reverse rotation direction selected\n");
  if (p.truncated) {
    std::printf("Truncated data reconstruction selected\n");
    std::printf("Full 360 degree rotation assumed\n");
  } else if (p.full360) {
    std::printf("Full 360 degree reconstruction selected\n");
  } else {
    std::printf("180 degrees plus fan angle selected\n");
  }
}

// Every slab of a multi-slab run starts from the pristine record, so that
// geometry setup derives the slab's windows and arrays from the user values
// alone; only the slab counters and the running extremes carry over.
void setupSlab(ReconParams& p) {
  const int chunkIndex = p.chunkIndex;
  const int zOrigin = p.zOrigin;
  const float maxValue = p.maxValue;
  const float minValue = p.minValue;
  freeReconArrays(p);
  p = pristine;
  p.chunkIndex = chunkIndex;
  p.zOrigin = zOrigin;
  p.maxValue = maxValue;
  p.minValue = minValue;
  p.zSize = std::min(pristine.zSize - chunkIndex * p.slicesPerChunk, p.slicesPerChunk);
  setupGeometry(p);
}

// Wall-clock seconds since `start`. The figures are logged with two decimals,
// so they are measured on a monotonic clock finer than whole seconds.
using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void reconstructSlab(ReconParams& p) {
  // The Ram-Lak kernel cannot reach further than the projection is wide.
  if (p.convolution && (p.kernelLength == -1 || p.kernelLength > p.yprojSizeUser)) p.kernelLength = p.yprojSizeUser;
  if (p.chunkIndex == 0) printParameterEcho(p);
  std::fputs(p.offsetFile[0] != '\0' ? "Offset correction enabled.\n" : "Offset correction disabled.\n", stdout);
  if (p.convolution) std::printf("Using convolution to filter\n");
  report_status(p.jobId, "Back-projecting in spatial domain...", 0.0);
  // A slab that another process of a cluster run reconstructs arrives here.
  if (!receiveSlab(p)) {
    if (p.convolution)
      reconstructSlabConvolution(p, runNames.inSpec, loopSwitches());
    else
      reconstructSlabFft(p, runNames.inSpec, loopSwitches());
  }
  report_status(p.jobId, "Back-projecting in spatial domain...", 1.0);
  std::printf("\n");
}

}  // namespace

void korvanMain(int argc, char** argv) {
  joinCluster();
  ReconParams& p = params;
  initReconParams(p);
  initRunNames();
  std::atexit(report_at_exit);
  printBanner();
  const Clock::time_point runStart = Clock::now();

  parseArguments(p, argc, argv);
  if (p.jobId != -1) log_errorf("process %d started on node %d...", p.jobId, kNodeNumber);
  if (p.jobId != -1 && p.serverUrl != nullptr) report_child_pid(p.jobId, static_cast<int>(getpid()));

  if (!clusterWorker()) checkRequiredArguments(p);
  char header[kVffHeaderSize];
  readVffHeader(p, header, runNames.title, runNames.date, runNames.inSpec);
  checkHeaderValues(p);
  p.cmdLine = joinArguments(argc, argv);
  report_status(p.jobId, "setup...", 0.0);

  checkGeometry(p);
  planSlabs(p);

  pristine = p;
  setupGeometry(p);
  const double firstSetupTime = secondsSince(runStart);
  double totalSetupTime = firstSetupTime;
  if (p.zSize > 0) checkProjectionFiles(p);
  shareOutWork(p);
  const Clock::time_point loopStart = Clock::now();

  const OutputNames outputs = {runNames.outFile, nameGiven(runNames.byteFile) ? runNames.byteFile : nullptr,
                               nameGiven(runNames.outSpec) ? runNames.outSpec : nullptr, runNames.title,
                               runNames.date};
  int slicesDone = 0;
  for (p.chunkIndex = 0; p.chunkIndex < p.nChunks;) {
    const Clock::time_point slabStart = Clock::now();
    if (p.nChunks > 1) setupSlab(p);
    totalSetupTime += secondsSince(slabStart);
    if (p.chunkIndex == 0) report_status(p.jobId, "setup...", 1.0);
    slicesDone += p.zSize;

    if (takesPartInSlab(p.chunkIndex)) {
      reconstructSlab(p);
      if (!sendSlab(p)) writeSlab(p, outputs);
    }
    p.zOrigin += p.zSize;
    ++p.chunkIndex;
  }

  leaveIfWorker();
  p.zSize = slicesDone;
  assembleOutput(p, outputs);
  report_status(p.jobId, "cleanup...", 0.0);
  log_errorf("Setup time = %0.2f seconds\n", firstSetupTime);
  if (p.jobId != -1) log_errorf("process %d finished.", p.jobId);

  // The first setup happened before the loop started but is still counted in
  // the setup total; a short run can therefore show no loop time at all, and
  // then it has no meaningful speed either.
  const double loopTime = secondsSince(loopStart) - totalSetupTime;
  const double backProjections = double(p.xSize) * p.ySize * p.zSize * p.nang;
  const float speed = static_cast<float>(loopTime > 0.0 ? backProjections / loopTime : 0.0);
  log_errorf("Execution time = %0.2f seconds\n", loopTime);
  log_errorf("Backproject speed = %f bp/s\n", speed);

  // The final report is sent here, once; the exit handler that would send it
  // again on the error paths is skipped.
  report_done(exit_job_id);
  leaveCluster();
  exitWithoutHandlers(0);
}
