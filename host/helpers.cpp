// Allocators, rounding and byte-order helpers shared by every stage, and the
// one failure path of the program.
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/host.h"

int32_t job_end_state = kEndDone;
int32_t exit_job_id = 0;

namespace {

template <typename T>
T* allocate(long count, const char* failure) {
  if (count == 0) return nullptr;
  T* block = count > 0 ? static_cast<T*>(std::calloc(static_cast<size_t>(count), sizeof(T))) : nullptr;
  if (!block) failRun(failure);
  return block;
}

}  // namespace

float* vector(long count) { return allocate<float>(count, "allocation failure in vector()"); }
int16_t* svector(long count) { return allocate<int16_t>(count, "allocation failure in svector()"); }
uint8_t* bvector(long count) { return allocate<uint8_t>(count, "allocation failure in bvector()"); }

void swapBytes16(void* samples, long count) {
  auto* b = static_cast<unsigned char*>(samples);
  for (long i = 0; i < count; ++i, b += 2) {
    unsigned char t = b[0];
    b[0] = b[1];
    b[1] = t;
  }
}

void swapBytes32(void* samples, long count) {
  auto* b = static_cast<unsigned char*>(samples);
  for (long i = 0; i < count; ++i, b += 4) {
    unsigned char t0 = b[0], t1 = b[1];
    b[0] = b[3];
    b[1] = b[2];
    b[2] = t1;
    b[3] = t0;
  }
}

void (*endRunHook)() = nullptr;

void endRun() {
  if (endRunHook) endRunHook();
  std::exit(0);
}

void failRun(const char* message) {
  log_error(message);
  // The log and the server have the message; the console gets it too, so
  // that a run watched by hand never just stops.
  std::fflush(stdout);
  const size_t length = std::strlen(message);
  std::fprintf(stderr, length > 0 && message[length - 1] == '\n' ? "%s" : "%s\n", message);
  endRunInError();
}

void endRunInError() {
  job_end_state = kEndError;
  endRun();
}

std::string formatText(const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  return text;
}

void failRunf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatText(format, args);
  va_end(args);
  failRun(text.c_str());
}

namespace {

volatile sig_atomic_t pendingStopSignal = 0;
const char* stopMessage = "";

void markStop(int signalNumber) { pendingStopSignal = signalNumber; }

}  // namespace

void deferStopSignals(const char* message) {
  stopMessage = message;
  for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction action = {};
    action.sa_handler = markStop;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
  }
}

void checkStopSignal() {
  if (pendingStopSignal != 0) failRunf("%s (signal %d)", stopMessage, static_cast<int>(pendingStopSignal));
}

void exitWithoutHandlers(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}
