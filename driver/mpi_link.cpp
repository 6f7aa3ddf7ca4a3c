// libkorvan-mpi.so: the MPI operations of a shared job (see mpi_link.h).
#include "driver/mpi_link.h"

#include <mpi.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

enum Tag { kStartTag = 1, kSlabTag, kFailureTag };

void init(int* rank, int* processes) {
  int provided = 0;
  // Only the main thread calls MPI; the OpenMP threads never do.
  MPI_Init_thread(nullptr, nullptr, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, rank);
  MPI_Comm_size(MPI_COMM_WORLD, processes);
}

void finalize() { MPI_Finalize(); }

[[noreturn]] void abortJob() {
  MPI_Abort(MPI_COMM_WORLD, 1);
  std::abort();
}

void sendStart(const int* values, int count, int to) {
  MPI_Send(values, count, MPI_INT, to, kStartTag, MPI_COMM_WORLD);
}

void receiveStart(int* values, int count) {
  MPI_Recv(values, count, MPI_INT, 0, kStartTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
}

void sendSlab(const float* voxels, int count) { MPI_Send(voxels, count, MPI_FLOAT, 0, kSlabTag, MPI_COMM_WORLD); }

bool slabWaiting(int from) {
  int ready = 0;
  MPI_Iprobe(from, kSlabTag, MPI_COMM_WORLD, &ready, MPI_STATUS_IGNORE);
  return ready != 0;
}

void receiveSlab(float* voxels, int count, int from, void (*whileWaiting)()) {
  MPI_Request request;
  MPI_Irecv(voxels, count, MPI_FLOAT, from, kSlabTag, MPI_COMM_WORLD, &request);
  for (int done = 0;;) {
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    if (done) return;
    whileWaiting();
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void sendFailure(const char* text) {
  MPI_Send(text, static_cast<int>(std::strlen(text)) + 1, MPI_CHAR, 0, kFailureTag, MPI_COMM_WORLD);
}

int failureWaiting(int* from) {
  int waiting = 0;
  MPI_Status status;
  MPI_Iprobe(MPI_ANY_SOURCE, kFailureTag, MPI_COMM_WORLD, &waiting, &status);
  if (!waiting) return 0;
  int length = 0;
  MPI_Get_count(&status, MPI_CHAR, &length);
  *from = status.MPI_SOURCE;
  return length;
}

void receiveFailure(char* text, int length, int from) {
  MPI_Recv(text, length, MPI_CHAR, from, kFailureTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
}

const MpiLink link = {init,        finalize,    abortJob,    sendStart,      receiveStart,  sendSlab,
                      slabWaiting, receiveSlab, sendFailure, failureWaiting, receiveFailure};

}  // namespace

extern "C" const MpiLink* korvanMpiLink() { return &link; }
