// The registry of unfinished files (host/unfinished_files.h).
#include "host/unfinished_files.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "host/host.h"

namespace {

constexpr size_t kNameRoom = 1100;

struct WatchedFile {
  bool active;
  FILE* file;
  char name[kNameRoom];    // the file being written
  char target[kNameRoom];  // where it goes when complete (outputs only)
};
WatchedFile watched[kWatchedSlots];

// A stop signal that arrives while a file is created and not yet watched
// (on this thread or another) waits until it is, so that the new file goes
// with the others. Each side writes its own flag before it reads the other's,
// so at least one of them sees the other and ends the run.
std::atomic<int> creating{0}, pendingSignal{0};

// A run stopped by a signal (the server cancelling the job, an operator's
// Ctrl-C) ends without exit handlers. The watched files are unlinked here
// (unlink may be called in a handler, fclose may not), then the signal takes
// its default course.
void discardOnSignal(int signalNumber) {
  pendingSignal = signalNumber;
  if (creating > 0) return;
  for (const WatchedFile& w : watched)
    if (w.active) unlink(w.name);
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signalNumber, &fallback, nullptr);
  raise(signalNumber);
}

// Signals a worker is stopped with; one that the process was started to
// ignore (nohup) stays ignored.
void catchStopSignals() {
  for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction current = {};
    if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction action = {};
    action.sa_handler = discardOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
  }
}

void registerCleanup() {
  static bool registered = false;
  if (registered) return;
  std::atexit(discardUnfinishedOutput);
  catchStopSignals();
  registered = true;
}

FILE* watch(WatchedSlot slot, FILE* file, const char* name, const char* target) {
  WatchedFile& w = watched[slot];
  std::snprintf(w.name, sizeof w.name, "%s", name);
  std::snprintf(w.target, sizeof w.target, "%s", target);
  w.file = file;
  w.active = true;
  return file;
}

[[noreturn]] void failWrite(WatchedSlot slot) {
  if (slot == kChunkSlot) failRunf("Error: could not write chunk file %s (disk full?)", watched[slot].name);
  failRunf("Error: could not write %s (disk full?)", watched[slot].target);
}

}  // namespace

// Creates a file that did not exist, named after `base` with `what` and the
// process id (and a count, should that name be taken), and watches it; it
// never replaces a file of the user's. nullptr when none can be created.
FILE* createWatched(WatchedSlot slot, const char* base, const char* what, const char* target) {
  registerCleanup();
  struct Creating {
    Creating() { ++creating; }
    ~Creating() {
      if (--creating == 0 && pendingSignal != 0) discardOnSignal(pendingSignal);
    }
  } duringCreation;
  char name[kNameRoom];
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = attempt == 0 ? std::snprintf(name, sizeof name, "%s.%s-%d", base, what, static_cast<int>(getpid()))
                                    : std::snprintf(name, sizeof name, "%s.%s-%d-%d", base, what,
                                                    static_cast<int>(getpid()), attempt);
    if (length < 0 || static_cast<size_t>(length) >= sizeof name) return nullptr;
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
      ::close(fd);
      std::remove(name);
      return nullptr;
    }
    return watch(slot, file, name, target);
  }
  return nullptr;
}

// An output file begun under its temporary name.
FILE* beginOutput(WatchedSlot slot, const char* target) {
  return createWatched(slot, target, "korvan-unfinished", target);
}

// Reopens the watched file of `slot` with `mode`.
FILE* reopenWatched(WatchedSlot slot, const char* mode) {
  WatchedFile& w = watched[slot];
  w.file = std::fopen(w.name, mode);
  return w.file;
}

void writeWatched(WatchedSlot slot, const void* data, size_t size, long count) {
  if (std::fwrite(data, size, count, watched[slot].file) != static_cast<size_t>(count)) failWrite(slot);
}

// Closes the file, failing when any write to it went wrong; it stays watched
// until finishWatched or removeWatched.
void closeWatched(WatchedSlot slot) {
  FILE* file = watched[slot].file;
  if (!file) return;
  watched[slot].file = nullptr;
  const bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed) failWrite(slot);
}

// The file is complete: close it and, for an output, move it into place.
void finishWatched(WatchedSlot slot) {
  closeWatched(slot);
  WatchedFile& w = watched[slot];
  if (w.target[0] != '\0' && std::rename(w.name, w.target) != 0)
    failRunf("Error: could not move %s into place as %s", w.name, w.target);
  w.active = false;
}

void removeWatched(WatchedSlot slot) {
  if (watched[slot].file) std::fclose(watched[slot].file);
  std::remove(watched[slot].name);
  watched[slot].active = false;
  watched[slot].file = nullptr;
}

const char* watchedName(WatchedSlot slot) { return watched[slot].name; }

void discardUnfinishedOutput() {
  for (WatchedFile& w : watched) {
    if (!w.active) continue;
    if (w.file) std::fclose(w.file);
    std::remove(w.name);
    w.active = false;
    w.file = nullptr;
  }
}

