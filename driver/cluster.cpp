// Sharing the slabs of one job among the processes mpirun starts (see
// cluster.h). MPI is used only when the program was built with it and a
// launcher started this process as one of several; a plain run never touches
// it, not even by loading the library, so it starts and ends as before.
#include "driver/cluster.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "backproject/backproject.h"
#include "driver/driver.h"
#include "driver/mpi_link.h"
#include "host/host.h"

namespace {

// The number of processes a launcher started for this job, from the variables
// it sets in each of them (Open MPI, and the PMI of MPICH and Slurm); 1 when
// none is set.
int launchedProcesses(const char** rankVariable) {
  static const char* const kVariables[][2] = {{"OMPI_COMM_WORLD_SIZE", "OMPI_COMM_WORLD_RANK"},
                                              {"PMI_SIZE", "PMI_RANK"}};
  for (const auto& pair : kVariables) {
    if (const char* size = std::getenv(pair[0])) {
      *rankVariable = pair[1];
      return std::atoi(size);
    }
  }
  return 1;
}

#ifdef KORVAN_MPI

// KORVAN_BENCH=1 adds, on standard error, what each process spends handing
// slabs over, beside the stage times of the slab loop.
void benchNote(int process, int slab, const char* what, std::chrono::steady_clock::time_point since) {
  if (!loopSwitches().stageTimes) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  std::fprintf(stderr, "korvan bench: process %d: slab %d: %s %.3f s\n", process, slab, what, seconds);
}

const MpiLink* mpi = nullptr;
int rank = 0;
int processes = 1;  // 1: a plain run
bool workShared = false;
// What process 0 sends to start the job (or end it before it starts): go
// (1 or 0), then the slab plan it made, which every worker must share.
enum { kGo, kSlabs, kSlicesPerSlab, kViews, kStartFields };
int start[kStartFields];

bool isWorker() { return processes > 1 && rank != 0; }
int ownerOf(int slab) { return slab % processes; }
long slabVoxels(const ReconParams& p) { return static_cast<long>(p.zSize) * p.ySize * p.xSize; }

// The last text a worker would have logged: when it fails, the failure's
// message, which process 0 logs and reports in its place.
std::string lastText;
void keepText(const char* text) { lastText = text; }

// A worker's end through a failure: its message goes to process 0, which
// logs and reports it once and ends every process of the job, this one
// included; until then the worker waits.
void handOverFailure() {
  if (lastText.empty()) lastText = "Error: process " + std::to_string(rank) + " of the job stopped";
  mpi->sendFailure(lastText.c_str());
  // Process 0 sends no second start message.
  int never[kStartFields];
  mpi->receiveStart(never, kStartFields);
  exitWithoutHandlers(1);
}

// Process 0 ending through the exit handlers (an error, a usage end), which
// have sent the final report and removed unfinished files by now. Before the
// work is shared out the workers are still waiting to start and are simply
// told to end; once they work, the whole job is aborted.
void endJobEarly() {
  if (workShared) mpi->abortJob();
  const int stop[kStartFields] = {0, 0, 0, 0};
  for (int q = 1; q < processes; ++q) mpi->sendStart(stop, kStartFields, q);
  mpi->finalize();
}

// The MPI module beside the program. Without it the job cannot be shared,
// and every process ends at once (one of them saying why).
const MpiLink* loadMpiLink(bool speak) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string();
  path = path.substr(0, path.rfind('/') + 1) + "libkorvan-mpi.so";
  // Global symbols: the MPI library loads its own components, which need them.
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  using Entry = const MpiLink* (*)();
  const Entry entry = module ? reinterpret_cast<Entry>(dlsym(module, "korvanMpiLink")) : nullptr;
  if (entry) return entry();
  if (speak) std::fprintf(stderr, "Error: cannot share the job among processes: %s\n", dlerror());
  exitWithoutHandlers(1);
}

// A worker keeps quiet: its console texts would repeat those of process 0.
// Standard error stays open for the stage times when they are asked for.
void silenceConsole() {
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0) return;
  std::fflush(stdout);
  dup2(null, STDOUT_FILENO);
  if (!loopSwitches().stageTimes) dup2(null, STDERR_FILENO);
  close(null);
}

#endif

}  // namespace

#ifdef KORVAN_MPI

void joinCluster() {
  const char* rankVariable = nullptr;
  const int launched = launchedProcesses(&rankVariable);
  if (launched <= 1) return;
  const char* rankText = std::getenv(rankVariable);
  const bool first = rankText == nullptr || std::atoi(rankText) == 0;
  mpi = loadMpiLink(first);
  mpi->init(&rank, &processes);
  if (processes != launched) {
    // A launcher of another MPI than the one korvan was built with: each
    // process would take itself for the only one and run the whole job.
    if (first)
      std::fprintf(stderr, "Error: the launcher started %d processes, korvan's MPI sees %d; use the mpirun of the "
                           "MPI korvan was built with\n", launched, processes);
    exitWithoutHandlers(1);
  }
  if (rank == 0) {
    // Registered before any other exit handler, so it runs after them all.
    std::atexit(endJobEarly);
    return;
  }
  silenceConsole();
  quietLogHook = keepText;
  endRunHook = handOverFailure;
  mpi->receiveStart(start, kStartFields);
  if (start[kGo] == 0) {
    mpi->finalize();
    exitWithoutHandlers(0);
  }
}

bool clusterWorker() { return isWorker(); }

void shareOutWork(const ReconParams& p) {
  if (processes <= 1) return;
  workShared = true;
  if (rank == 0) {
    const int go[kStartFields] = {1, p.nChunks, p.slicesPerChunk, p.nang};
    for (int q = 1; q < processes; ++q) mpi->sendStart(go, kStartFields, q);
    std::printf("%d processes share the %d slab%s\n", processes, p.nChunks, p.nChunks == 1 ? "" : "s");
    // A process of the job that dies (killed, out of memory) sends nothing;
    // the launcher then stops the others with SIGTERM. Process 0 ends the
    // job through the failure path instead, so the end is logged, reported
    // and its unfinished files removed.
    deferStopSignals("Error: the shared job was stopped: one of its processes ended or the job was stopped");
    return;
  }
  if (start[kSlabs] != p.nChunks || start[kSlicesPerSlab] != p.slicesPerChunk || start[kViews] != p.nang)
    failRunf("Error: process %d planned %d slabs of %d slices from %d views, process 0 %d slabs of %d slices from %d "
             "views; every process must see the same configuration and projections",
             rank, p.nChunks, p.slicesPerChunk, p.nang, start[kSlabs], start[kSlicesPerSlab], start[kViews]);
}

bool takesPartInSlab(int slab) { return !isWorker() || ownerOf(slab) == rank; }

bool receiveSlab(ReconParams& p) {
  if (processes <= 1 || rank != 0 || ownerOf(p.chunkIndex) == 0) return false;
  const auto waitStart = std::chrono::steady_clock::now();
  const int owner = ownerOf(p.chunkIndex);
  for (;;) {
    // A failure anywhere ends the job, whichever slab it happened in.
    checkStopSignal();
    int from = 0;
    if (const int length = mpi->failureWaiting(&from)) {
      std::string text(static_cast<size_t>(length), '\0');
      mpi->receiveFailure(&text[0], length, from);
      failRun(text.c_str());
    }
    if (mpi->slabWaiting(owner)) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  benchNote(0, p.chunkIndex, "waited", waitStart);
  const auto receiveStart = std::chrono::steady_clock::now();
  // A slab holds at most the memory limit, a 32-bit count of bytes.
  mpi->receiveSlab(p.volume, static_cast<int>(slabVoxels(p)), owner, checkStopSignal);
  benchNote(0, p.chunkIndex, "received", receiveStart);
  creditSlabProgress(p);
  return true;
}

bool sendSlab(ReconParams& p) {
  if (!isWorker()) return false;
  const auto sendStart = std::chrono::steady_clock::now();
  mpi->sendSlab(p.volume, static_cast<int>(slabVoxels(p)));
  benchNote(rank, p.chunkIndex, "handed over", sendStart);
  return true;
}

void leaveIfWorker() {
  if (!isWorker()) return;
  mpi->finalize();
  exitWithoutHandlers(0);
}

void leaveCluster() {
  if (processes > 1) mpi->finalize();
}

#else

// Built without MPI: several processes started by a launcher would each run
// the whole job and write the same files, so none of them starts.
void joinCluster() {
  const char* rankVariable = nullptr;
  if (launchedProcesses(&rankVariable) <= 1) return;
  const char* rank = std::getenv(rankVariable);
  if (rank == nullptr || std::atoi(rank) == 0)
    std::fprintf(stderr, "Error: this korvan was built without MPI and cannot share a job among processes; "
                         "run it without mpirun\n");
  exitWithoutHandlers(1);
}

bool clusterWorker() { return false; }
void shareOutWork(const ReconParams&) {}
bool takesPartInSlab(int) { return true; }
bool receiveSlab(ReconParams&) { return false; }
bool sendSlab(ReconParams&) { return false; }
void leaveIfWorker() {}
void leaveCluster() {}

#endif
