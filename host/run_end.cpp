// The one end of a run in error, its message forms, and the stop signals a
// shared job defers until it can end cleanly.
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/host_detail.h"

int32_t job_end_state = kEndDone;
int32_t exit_job_id = 0;

const char* endStateText(int32_t state) {
  switch (state) {
    case kEndDone:
      return "done";
    case kEndSuspended:
      return "suspended";
    case kEndKilled:
      return "killed";
    default:
      return "error";
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
