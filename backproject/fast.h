// Internal to backproject/ and its tests and benchmarks: the switch to the
// plain reference pipeline, and the threaded SIMD back-projector with its
// instruction-set level chosen by the caller.
#pragma once

#include "backproject/backproject.h"
#include "driver/params.h"

enum class SimdLevel { kScalar = 0, kAvx2 = 1, kAvx512 = 2 };

// The widest level this CPU (and its operating system) supports.
SimdLevel bestSimdLevel();

// backProjectView on the OpenMP threads with the z loop at `level`, which
// must not exceed bestSimdLevel(). Bit-identical to backProjectViewReference
// at every level and thread count.
void backProjectViewWith(const float* filtered, ReconParams& p, int view, SimdLevel level);
// backProjectViews likewise.
void backProjectViewsWith(const ViewToProject* views, int count, ReconParams& p, SimdLevel level);
