// Host services shared by every stage of korvan: the array allocators, the
// rounding and byte-order helpers, the one failure path, the log, the memory
// limit from the host configuration and the job-status reports sent to the
// reconstruction server over XML-RPC.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// ---------------------------------------------------------------------------
// Array allocators. Each returns a zero-filled heap block of `count` elements
// (release it with free()). A count of 0 gives nullptr and is no error. When
// memory cannot be had (or the count is negative) the run fails with
// "allocation failure in vector()" (svector(), bvector()).
float* vector(long count);
int16_t* svector(long count);
uint8_t* bvector(long count);

// ---------------------------------------------------------------------------
// Rounding from float to int, trunc meaning conversion toward zero. These
// exact rules, not floor and ceil, fix view counts, detector windows, the
// filter length and the back-projector's loop bounds.
// They are inline: the back-projector rounds two bounds per voxel column and
// view.
//
// Conversions toward zero of values far outside the int range are undefined
// in C++; the geometry never produces such values once its inputs have been
// checked, so they are clamped here rather than trapped. The low end stops
// one above INT_MIN, so that roundDownIndex can still subtract its 1.
inline int truncToInt(double x) {
  if (!(x == x)) return 0;
  if (x >= 2147483647.0) return 2147483647;
  if (x <= -2147483647.0) return -2147483647;
  return static_cast<int>(x);
}
// Halves away from zero.
inline int roundNearest(float x) {
  return x >= 0 ? truncToInt(static_cast<double>(x) + 0.5) : truncToInt(static_cast<double>(x) - 0.5);
}
// t = trunc(x); t - 1 when t < 0.
inline int roundDownIndex(float x) {
  const int t = truncToInt(x);
  return t < 0 ? t - 1 : t;
}
// trunc(x + 1) when x >= 0, else trunc(x).
inline int roundUpIndex(float x) { return x >= 0 ? truncToInt(static_cast<double>(x) + 1.0) : truncToInt(x); }

// A run is one process; its node number appears in messages and in the
// suspension dump's name.
constexpr int kNodeNumber = 0;

// File-name patterns (projection series, slice files) are formatted with one
// int: true when `pattern` holds exactly one integer conversion (%d, %i, %u,
// %o, %x, %X with flags, a width and a precision of up to three digits each,
// such as %04d or %.3d); otherwise false, and *why (when given) says what is
// wrong, as a phrase to follow the pattern.
bool checkFilePattern(const char* pattern, std::string* why);

// A FILE owned by its scope: closed however the scope is left, also when a
// failure unwinds through it (the fuzz harnesses' endRunHook), so that no
// failure branch closes it by hand.
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<FILE, FileCloser>;
inline OwnedFile openOwned(const char* name, const char* mode) { return OwnedFile(std::fopen(name, mode)); }

// Conversion toward zero into the 16-bit range that stays defined for values
// out of it: it saturates, and a NaN gives 0.
inline int16_t truncToShort(double value) {
  if (value >= 32767.0) return 32767;
  if (value <= -32768.0) return -32768;
  return value == value ? static_cast<int16_t>(value) : 0;
}

// Reverse the bytes of each sample in place (VFF samples are big-endian).
void swapBytes16(void* samples, long count);
void swapBytes32(void* samples, long count);

// ---------------------------------------------------------------------------
// End state of the run, reported once to the server when the process ends.
enum : int32_t { kEndDone = 0, kEndSuspended = 1, kEndKilled = 2, kEndError = -1 };
extern int32_t job_end_state;
extern int32_t exit_job_id;

// The one failure path: passes the message to log_error, writes it on
// standard error for whoever watches the console, sets the end state to
// error and ends the run (endRun).
[[noreturn]] void failRun(const char* message);
[[noreturn]] void failRunf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the process with status 0 through the exit handlers, which send the
// final report: every end of a run but the normal one and the internal
// array offset error. The caller sets job_end_state first.
[[noreturn]] void endRun();

// The one end of a run in error: sets the end state to error and ends the
// run (endRun). failRun, the failed checks, the usage ending, -h and a
// parameter file that cannot be opened all end here.
[[noreturn]] void endRunInError();

// Null in a plain run: endRun calls it first when set. A harness that feeds
// many inputs through the stages in one process sets it to a function that
// throws, so that each input's end unwinds back to the harness (destructors
// close its files) instead of ending the process; a worker process of a
// cluster run hands its failure to the process that speaks for the job.
extern void (*endRunHook)();

// Stop signals (SIGTERM, SIGINT, SIGHUP) that must end the run through the
// failure path, logged and reported, rather than at once: after
// deferStopSignals such a signal only marks the run, and the next
// checkStopSignal ends it with "<message> (signal N)". A job shared by
// several processes needs this: when one of them dies, the launcher stops
// the others with SIGTERM, and the one that speaks for the job must say so.
void deferStopSignals(const char* message);
void checkStopSignal();

// Ends the process at once with `status`, skipping the exit handlers, after
// flushing standard output and standard error.
[[noreturn]] void exitWithoutHandlers(int status);

// ---------------------------------------------------------------------------
// Host configuration and log. The configuration store is an INI file named by
// the environment variable KORVAN_CONFIG (default /etc/korvan/korvan.ini)
// whose sections are key paths such as [SOFTWARE\ALVERO\ReconServer].

// Sends the text to the server (report_error) and appends "<ctime>: text\n"
// to the file named by LogFile under SOFTWARE\ALVERO\ReconServer.
void log_error(const char* text);
void log_errorf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Null in a plain run. Set in a process that works for another one (a worker
// of a cluster run), which must not speak for the job: log_error hands its
// texts to the hook instead of the log and the server, and
// init_report_client starts no client, so that nothing is reported.
extern void (*quietLogHook)(const char* text);

// MemoryLimit under SOFTWARE\ALVERO\Recon parsed like "%ld"; 268435456 when
// the key, the value or a leading number is missing.
int32_t read_memory_limit();

// ---------------------------------------------------------------------------
// Job status reporting. Nothing is sent until init_report_client has run.
void init_report_client(const char* host, int port);
void report_child_pid(int jobId, int pid);
int32_t report_status(int jobId, const char* text, double progress);
int32_t report_error(const char* text);
void report_done(int jobId);
// Exit handler: sends report_done(exit_job_id).
void report_at_exit();
