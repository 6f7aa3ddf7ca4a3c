// The entry point of korvan and the pieces of the command line that the
// tests drive directly.
#pragma once

#include <string>

#include "backproject/backproject.h"
#include "driver/params.h"
#include "vff/vff.h"

// The names of the run beside its record, held by the driver alone: the
// stages below receive what they need as arguments. A name equal to "NULL"
// means not given.
struct RunNames {
  char outFile[512];           // -o
  char byteFile[512];          // -b
  char inSpec[512];            // -i, printf pattern with one integer conversion
  char outSpec[512];           // -w, likewise
  char title[kVffTitleSize];   // header "title=" of the first projection
  char date[kVffDateSize];     // header "date="
};
extern RunNames runNames;
bool nameGiven(const char* name);

// The switches of the slab loop (backproject/backproject.h), read from the
// environment on first use and the same for the whole run.
const LoopSwitches& loopSwitches();

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

// The scanner's option strings, derived from the option table.
std::string commandLineOptions();    // pass 1
std::string parameterFileOptions();  // pass 2 (no -V, no -F)

// Pass 1 over the process arguments and, when -F named a parameter file,
// pass 2 over its words. Options take effect as they are met, so a value in
// the file overrides the command line. Ends the process (end state error,
// status 0) on -h, on usage errors and on arguments that cannot be used.
void parseArguments(ReconParams& p, int argc, char** argv);

// The required values, each failure logged with its own message:
// before the first projection is read (projection pattern, first file
// number, output file name, output file can be created) ...
void checkRequiredArguments(const ReconParams& p);
// ... and after its header has been merged (centre of rotation, central
// slice, rfan, angle increment).
void checkHeaderValues(const ReconParams& p);
// Every projection file of the scan can be opened for reading.
void checkProjectionFiles(const ReconParams& p);

// Console texts.
void printBanner();         // "korvan version ..." at the start of every run
void printVersionLines();   // -V
void printUsage();
void printHelp();           // three pages, waiting for return between them
