// Shared inside host/ and with its reporting layer (korvan_report), and
// driven directly by the tests: formatting, the report timeout and the
// end-state texts.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "host/host.h"

// printf-style formatting into a text of at most 1023 characters, for
// failRunf and log_errorf.
std::string formatText(const char* format, va_list args);

// ReportTimeout under SOFTWARE\ALVERO\Recon: seconds a report waits for the
// server's answer (30 when missing or not a positive number).
double read_report_timeout();

// The end-state text sent by report_done: "done", "suspended", "killed", "error".
const char* endStateText(int32_t state);
