// The few MPI operations a shared job needs (see cluster.h). They live in a
// module of their own, libkorvan-mpi.so beside the program, which is loaded
// only when a launcher started the process as one of several: a plain run
// does not even map the MPI library, so it starts as quickly as without MPI.
#pragma once

struct MpiLink {
  void (*init)(int* rank, int* processes);
  void (*finalize)();
  void (*abortJob)();  // never returns
  // The start message from process 0 to a worker: a few ints.
  void (*sendStart)(const int* values, int count, int to);
  void (*receiveStart)(int* values, int count);
  // A finished slab from a worker to process 0.
  void (*sendSlab)(const float* voxels, int count);
  bool (*slabWaiting)(int from);
  // Receives the slab, calling whileWaiting until it has arrived: a
  // process that dies in the middle of handing it over would otherwise hold
  // the receiver in the call for good.
  void (*receiveSlab)(float* voxels, int count, int from, void (*whileWaiting)());
  // A worker's failure message to process 0; failureWaiting gives its
  // length (the terminating zero included) and sender, or 0 when none waits.
  void (*sendFailure)(const char* text);
  int (*failureWaiting)(int* from);
  void (*receiveFailure)(char* text, int length, int from);
};

// The module's one entry point.
extern "C" const MpiLink* korvanMpiLink();
