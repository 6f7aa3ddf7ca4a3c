// Sharing the slabs of one job among the processes mpirun starts (see
// cluster.h). MPI is used only when the program was built with it and a
// launcher started this process as one of several; a plain run never touches
// it, so it starts and ends as quickly as before.
#include "driver/cluster.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "backproject/backproject.h"
#include "host/host.h"

#ifdef KORVAN_MPI
#include <mpi.h>
#endif

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
  if (!std::getenv("KORVAN_BENCH")) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  std::fprintf(stderr, "korvan bench: process %d: slab %d: %s %.3f s\n", process, slab, what, seconds);
}

enum Tag { kStartTag = 1, kSlabTag, kFailureTag };

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
  MPI_Send(lastText.c_str(), static_cast<int>(lastText.size()) + 1, MPI_CHAR, 0, kFailureTag, MPI_COMM_WORLD);
  int never;
  MPI_Recv(&never, 1, MPI_INT, 0, kStartTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  exitWithoutHandlers(1);
}

// Process 0 ending through the exit handlers (an error, a usage end), which
// have sent the final report and removed unfinished files by now. Before the
// work is shared out the workers are still waiting to start and are simply
// told to end; once they work, the whole job is aborted.
void endJobEarly() {
  if (workShared) MPI_Abort(MPI_COMM_WORLD, 1);
  const int stop[kStartFields] = {0, 0, 0, 0};
  for (int q = 1; q < processes; ++q) MPI_Send(stop, kStartFields, MPI_INT, q, kStartTag, MPI_COMM_WORLD);
  MPI_Finalize();
}

// A worker keeps quiet: its console texts would repeat those of process 0.
// Standard error stays open for the stage times when they are asked for.
void silenceConsole() {
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0) return;
  std::fflush(stdout);
  dup2(null, STDOUT_FILENO);
  if (!std::getenv("KORVAN_BENCH")) dup2(null, STDERR_FILENO);
  close(null);
}

#endif

}  // namespace

#ifdef KORVAN_MPI

void joinCluster() {
  const char* rankVariable = nullptr;
  if (launchedProcesses(&rankVariable) <= 1) return;
  int provided = 0;
  // Only the main thread calls MPI; the OpenMP threads never do.
  MPI_Init_thread(nullptr, nullptr, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &processes);
  if (processes <= 1) {
    MPI_Finalize();
    return;
  }
  if (rank == 0) {
    // Registered before any other exit handler, so it runs after them all.
    std::atexit(endJobEarly);
    return;
  }
  silenceConsole();
  quietLogHook = keepText;
  endRunHook = handOverFailure;
  MPI_Recv(start, kStartFields, MPI_INT, 0, kStartTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  if (start[kGo] == 0) {
    MPI_Finalize();
    exitWithoutHandlers(0);
  }
}

bool clusterWorker() { return isWorker(); }

void shareOutWork(const ReconParams& p) {
  if (processes <= 1) return;
  workShared = true;
  if (rank == 0) {
    const int go[kStartFields] = {1, p.nChunks, p.slicesPerChunk, p.nang};
    for (int q = 1; q < processes; ++q) MPI_Send(go, kStartFields, MPI_INT, q, kStartTag, MPI_COMM_WORLD);
    std::printf("%d processes share the %d slab%s\n", processes, p.nChunks, p.nChunks == 1 ? "" : "s");
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
    int failed = 0;
    MPI_Status status;
    MPI_Iprobe(MPI_ANY_SOURCE, kFailureTag, MPI_COMM_WORLD, &failed, &status);
    if (failed) {
      int length = 0;
      MPI_Get_count(&status, MPI_CHAR, &length);
      std::string text(static_cast<size_t>(length > 0 ? length : 1), '\0');
      MPI_Recv(&text[0], length, MPI_CHAR, status.MPI_SOURCE, kFailureTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      failRun(text.c_str());
    }
    int ready = 0;
    MPI_Iprobe(owner, kSlabTag, MPI_COMM_WORLD, &ready, MPI_STATUS_IGNORE);
    if (ready) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  benchNote(0, p.chunkIndex, "waited", waitStart);
  const auto receiveStart = std::chrono::steady_clock::now();
  // A slab holds at most the memory limit, a 32-bit count of bytes.
  MPI_Recv(p.volume, static_cast<int>(slabVoxels(p)), MPI_FLOAT, owner, kSlabTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  benchNote(0, p.chunkIndex, "received", receiveStart);
  creditSlabProgress(p);
  return true;
}

bool sendSlab(ReconParams& p) {
  if (!isWorker()) return false;
  const auto sendStart = std::chrono::steady_clock::now();
  MPI_Send(p.volume, static_cast<int>(slabVoxels(p)), MPI_FLOAT, 0, kSlabTag, MPI_COMM_WORLD);
  benchNote(rank, p.chunkIndex, "handed over", sendStart);
  return true;
}

void leaveIfWorker() {
  if (!isWorker()) return;
  MPI_Finalize();
  exitWithoutHandlers(0);
}

void leaveCluster() {
  if (processes > 1) MPI_Finalize();
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
