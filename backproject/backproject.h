// Back-projection of filtered views into a slab, the per-slab reconstruction
// loops, and the assembly of the output volumes and slices.
#pragma once

#include <cstdio>

#include "driver/params.h"

// Adds view `view` of the transposed filtered projection (col * zprojSize +
// row) into p.volume, voxel by voxel, with bilinear interpolation and the
// (D/U)^2 cone-beam weight.
void backProjectView(const float* filtered, ReconParams& p, int view);
// The plain single-threaded loop that defines the result bit for bit.
void backProjectViewReference(const float* filtered, ReconParams& p, int view);

// Fill the current slab with the filtered back-projection of every view:
// by direct convolution with the Ram-Lak kernel, or with the FFT ramp filter.
void reconstructSlabConvolution(ReconParams& p, const char* inSpec);
void reconstructSlabFft(ReconParams& p, const char* inSpec);

// After each slab: slice order, running min/max, chunk file when several slabs.
void writeSlab(ReconParams& p);
// After the last slab: the 16-bit volume, the optional byte volume and slices.
void assembleOutput(ReconParams& p, const char* title, const char* date, const char* slicePattern);

// Slice z into p.floatSlice (from the chunk file when there are several
// slabs); returns 0 when nothing could be read.
int readSlice(ReconParams& p, int z, FILE* chunkFile);
// p.floatSlice back into slice z of p.volume (one-slab runs only).
void storeSlice(ReconParams& p, int z);
// The n x n 16-bit image the ring correction works on, and back.
void toScratchImage(int16_t* image, int n, const float* slice, int width, int height, float m);
void fromScratchImage(const int16_t* image, int n, float* slice, int width, int height, float m);
