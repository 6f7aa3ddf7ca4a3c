// The entry point of korvan and the pieces of the command line that the
// tests drive directly.
#pragma once

#include "driver/params.h"

// The whole run; never returns.
[[noreturn]] void korvanMain(int argc, char** argv);

// The option scanner, with its own process-wide state (kept apart from the C
// library's getopt, whose globals share these names).
namespace scanner {
extern int optind;     // next argument to scan, starts at 1
extern int opterr;     // print scanner messages, always 1
extern char* optarg;   // argument of the current option, or nullptr
extern int position;   // position inside a group of options, 0 = new argument
int getopt(int argc, char* const* argv, const char* optstring);
void reset();          // optind = 1, position = 0
}  // namespace scanner

extern const char* const kCommandLineOptions;   // pass 1
extern const char* const kParameterFileOptions; // pass 2 (no -V, no -F)

void printUsage();
void printHelp();
