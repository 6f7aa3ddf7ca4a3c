// The log, the memory limit and the report timeout from the host
// configuration.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "host/config_store.h"
#include "host/host_detail.h"

namespace {
const char* const kServerKey = "SOFTWARE\\ALVERO\\ReconServer";
const char* const kReconKey = "SOFTWARE\\ALVERO\\Recon";
constexpr int32_t kDefaultMemoryLimit = 268435456;
constexpr double kDefaultReportTimeout = 30.0;
}  // namespace

void (*quietLogHook)(const char* text) = nullptr;

void log_error(const char* text) {
  if (quietLogHook) {
    quietLogHook(text);
    return;
  }
  report_error(text);

  ConfigKey key;
  if (!configCreateKey(kServerKey, key)) return;
  char logFile[128];
  if (configReadValue(key, "LogFile", logFile, sizeof logFile)) {
    // The entry goes out in a single append so that entries of several
    // korvan processes sharing one log file never interleave.
    time_t now = std::time(nullptr);
    const char* when = std::ctime(&now);
    std::string entry = std::string(when ? when : "\n") + ": " + text + "\n";
    int fd = ::open(logFile, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd >= 0) {
      ssize_t written = ::write(fd, entry.data(), entry.size());
      (void)written;  // a log that cannot be written is not an error of the run
      ::close(fd);
    }
  }
  configCloseKey(key);
}

void log_errorf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatText(format, args);
  va_end(args);
  log_error(text.c_str());
}

namespace {

// The text of key `name` under SOFTWARE\ALVERO\Recon; false when the
// section, the key or its value is missing.
bool readReconValue(const char* name, char* text, size_t size) {
  ConfigKey key;
  if (!configOpenKey(kReconKey, key)) return false;
  const bool found = configReadValue(key, name, text, size);
  configCloseKey(key);
  return found;
}

}  // namespace

int32_t read_memory_limit() {
  int32_t limit = kDefaultMemoryLimit;
  char text[1024];
  long value;
  if (readReconValue("MemoryLimit", text, sizeof text) && std::sscanf(text, "%ld", &value) == 1) {
    // The record holds the limit as a 32-bit count of bytes.
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    limit = static_cast<int32_t>(value);
  }
  return limit;
}

double read_report_timeout() {
  char text[1024];
  double value;
  // A value that is no positive number of seconds would mean waiting forever
  // or not at all; the default stands then.
  if (readReconValue("ReportTimeout", text, sizeof text) && std::sscanf(text, "%lf", &value) == 1 && value > 0 &&
      value < 1e9)
    return value;
  return kDefaultReportTimeout;
}
