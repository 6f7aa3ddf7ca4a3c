// VFF image files: the header grammar as korvan reads and writes it, and the
// reading of projection rows into the working projection.
#pragma once

#include <cstdio>

#include "driver/params.h"

// Capacity of a header buffer, terminator included.
constexpr int kVffHeaderSize = 8192;
// Capacities of the title and date texts a header is read into, terminator
// included: longer values are cut.
constexpr int kVffTitleSize = 200;
constexpr int kVffDateSize = 20;

// Reads the header of the first projection (inSpec formatted with firstFile)
// into `header` (kVffHeaderSize characters) and merges it into the record,
// the title (kVffTitleSize) and the date (kVffDateSize): command-line
// values win over header values. Fails the run when the file cannot be
// opened or its header is unusable.
void readVffHeader(ReconParams& p, char* header, char* title, char* date, const char* inSpec);

// Writes a complete header, magic to end mark, at the current position of
// `file`. bits 32 gives a 2-D slice header, 8 and 16 a 3-D volume header.
void writeVffHeader(const ReconParams& p, const char* title, const char* date, FILE* file, int bits);

// Reads the rows of view `fileName` that the current slab needs into
// p.projection, converted to float and block-averaged when binning is on.
// Expects the record as geometry setup leaves it for the slab (row window,
// rawShort/rawFloat of zprojSize * zBinSize * projWidth samples). A missing
// or short file ends the run.
void readProjection(ReconParams& p, const char* fileName);

// Width-truncated data: reads view `fileName` and the view half a turn later
// (`companionName`) and composes each padded row from the mirrored companion,
// a linear bridge and the measured part. Needs truncPad >= 1.
void readTruncatedProjection(ReconParams& p, const char* fileName, const char* companionName);

// File number of the view half a turn after file number f, wrapping round to
// the start of the series.
int companionFileNumber(const ReconParams& p, int f);
