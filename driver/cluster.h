// One job shared by several processes started by mpirun. The slabs of the
// slab plan are dealt out in turn (slab k to process k mod N); every process
// reconstructs its slabs with its own threads, exactly as a single run would,
// and hands each finished slab to process 0. Process 0 alone speaks for the
// job: it prints, logs, reports to the server, takes the slabs in slab order
// through the same slab writer as a single run (so the running extremes are
// gathered in the same order) and writes the outputs. Views are never split
// between processes: each voxel's sum keeps the order of a single run, so the
// output is the same byte for byte.
//
// Started without mpirun (or by mpirun with one process) all of this does
// nothing: MPI is not even started.
#pragma once

#include "driver/params.h"

// First thing in a run. Under mpirun with several processes, joins the job;
// a worker then says nothing itself and waits here until process 0 has
// checked the input and shares out the work (or ends the job).
void joinCluster();

// True on a worker. A worker skips the checks of the command line, which
// process 0 has made, and above all the creation of the output file, which is
// process 0's alone and may not even be reachable from the worker's machine.
bool clusterWorker();

// After the input checks, before the first slab: process 0 lets the workers
// start; a worker checks that it planned the same slabs as process 0.
void shareOutWork(const ReconParams& p);

// Whether this process has a part in slab `slab`: process 0 in every slab
// (it reconstructs or receives it), a worker in its own.
bool takesPartInSlab(int slab);

// On process 0, for a slab another process reconstructs: waits for it, takes
// it into p.volume, credits its progress and returns true. False where this
// process reconstructs the slab itself.
bool receiveSlab(ReconParams& p);

// On a worker: hands its finished slab to process 0 and returns true. False on
// process 0, which writes the slab itself.
bool sendSlab(ReconParams& p);

// After the slab loop: a worker leaves the job here (never returns); process 0
// goes on to the outputs.
void leaveIfWorker();

// Process 0, at the normal end of the run: the job is over for everyone.
void leaveCluster();
