// Files that must not outlive a failed run. The chunk file is temporary, and
// an output file stopped half-way still carries a header promising every
// slice, so it would pass for complete. Each output is therefore written
// under a temporary name beside its final one and renamed into place only
// when it is complete, so that a failed or killed run leaves whatever file
// the user had there as it was. Each file is watched from the moment it is
// created until it is finished; whatever ends the process in between (any
// failRun of any stage, the array offset error, a stop signal) removes the
// watched files on the way out. Only SIGKILL can leave one behind, and its
// name says what it is ("<output>.korvan-unfinished-<pid>").
#pragma once

#include <cstddef>
#include <cstdio>

// The files a run may have begun at once.
enum WatchedSlot { kChunkSlot, kVolumeSlot, kByteSlot, kSliceSlot, kWatchedSlots };

// Creates a file that did not exist, named "<base>.<what>-<pid>" (with a
// count, should that name be taken), and watches it in `slot`; it never
// replaces a file of the user's. `target` is where finishWatched moves it
// ("" for a temporary file such as the chunk file). nullptr when none can be
// created.
FILE* createWatched(WatchedSlot slot, const char* base, const char* what, const char* target);
// An output file begun under its temporary name "<target>.korvan-unfinished-<pid>".
FILE* beginOutput(WatchedSlot slot, const char* target);
// Reopens the watched file of `slot` with `mode`; nullptr when it does not open.
FILE* reopenWatched(WatchedSlot slot, const char* mode);
// The name the watched file of `slot` has now.
const char* watchedName(WatchedSlot slot);
// Writes to the watched file, failing the run ("could not write ... (disk
// full?)") when the write fails.
void writeWatched(WatchedSlot slot, const void* data, size_t size, long count);
// Closes the file, failing when any write to it went wrong; it stays watched
// until finishWatched or removeWatched.
void closeWatched(WatchedSlot slot);
// The file is complete: closed and, for an output, moved into place.
void finishWatched(WatchedSlot slot);
// The file is removed and no longer watched.
void removeWatched(WatchedSlot slot);

// Closes and removes every watched file: the exit handler of a failed run;
// the array offset error, which skips the exit handlers, calls it itself.
void discardUnfinishedOutput();
