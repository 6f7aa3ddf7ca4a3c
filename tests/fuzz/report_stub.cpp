// The stand-in reporting layer of the fuzz harnesses, linked instead of
// korvan_report (target korvan_report_stub). Inputs can name any host with
// -U; the real client would connect there on the next logged message. Here
// nothing is sent: the calls are only recorded for the harnesses' checks.
#include <string>

#include "host/host.h"
#include "tests/fuzz/harness.h"

void init_report_client(const char* host, int port) {
  fuzz::clientHost = host;
  fuzz::clientPort = port;
}

void report_child_pid(int, int) {}
int32_t report_status(int, const char*, double) { return job_end_state; }

int32_t report_error(const char* text) {
  fuzz::loggedText = text;
  return job_end_state;
}

void report_done(int) {}
void report_at_exit() {}
