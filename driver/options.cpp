// The options of korvan: one table for the command line (pass 1) and the
// parameter file (pass 2), and the reading of that file. The table alone
// fixes which letters each pass accepts (the option strings are derived from
// it) and what a letter does, once, for both.
#include <limits.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "host/host.h"

namespace {

// The parameter file is read into 80 words of at most 79 characters.
constexpr int kMaxWords = 80;
constexpr int kWordSize = 80;

char paramFileName[256];

// Usage errors are not logged: the operator sees the usage text, the server
// sees the error end state sent by the exit handler.
[[noreturn]] void endWithUsage() {
  printUsage();
  endRunInError();
}

// Arguments longer than their field are refused: a cut name would silently
// read or write another file.
template <size_t N>
void copyArgument(char (&field)[N], const char* option, const char* arg) {
  if (std::strlen(arg) > N - 1)
    failRunf("Error: %s argument is too long (at most %d characters)", option, static_cast<int>(N - 1));
  std::strcpy(field, arg);
}

void copyPattern(char (&field)[512], const char* option, const char* arg) {
  copyArgument(field, option, arg);
  if (nameGiven(arg) && !checkFilePattern(arg, nullptr))
    failRunf("Error: %s pattern %s must hold exactly one integer conversion such as %%d", option, arg);
}

// The full path of a file that need not exist yet: the directory is resolved
// when it exists, otherwise the name is made absolute against the current
// directory.
std::string fullPath(const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : name.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) != nullptr) {
    std::string path = resolved;
    if (path.back() != '/') path += '/';
    return path + base;
  }
  if (!name.empty() && name[0] == '/') return name;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return name;
  return std::string(cwd) + "/" + name;
}

char* heapCopy(const std::string& text) {
  char* copy = reinterpret_cast<char*>(bvector(static_cast<long>(text.size()) + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// -o: the output file and its directory, where the suspension dump goes.
void applyOutFile(ReconParams& p, const char* arg) {
  copyArgument(runNames.outFile, "-o", arg);
  const std::string full = fullPath(arg);
  if (full.size() > 255)
    failRunf("Error: the full path of outfile %s is too long (at most 255 characters)", arg);
  std::free(p.outDir);
  p.outDir = heapCopy(full.substr(0, full.rfind('/') + 1));
}

// -U: "http://host:port". The scheme prefix is skipped unchecked; the client
// always posts to the server's default path.
void applyServerAddress(ReconParams& p, const char* arg) {
  const char* colon = std::strlen(arg) >= 8 ? std::strchr(arg + 7, ':') : nullptr;
  long port = 0;
  bool valid = colon != nullptr && colon > arg + 7 && std::isdigit(static_cast<unsigned char>(colon[1]));
  if (valid) {
    char* end = nullptr;
    port = std::strtol(colon + 1, &end, 10);
    valid = port >= 1 && port <= 65535 && (*end == '\0' || *end == '/');
  }
  if (!valid) failRunf("Error: server address %s is not of the form http://host:port", arg);
  std::free(p.serverUrl);
  p.serverUrl = heapCopy(arg);
  const std::string host(arg + 7, colon);
  init_report_client(host.c_str(), static_cast<int>(port));
}

using Effect = void (*)(ReconParams& p, const char* arg);

enum Pass { kBothPasses, kCommandLineOnly };

struct Option {
  char letter;
  const char* argument;  // what the argument is; nullptr for a flag
  Effect apply;
  Pass pass = kBothPasses;
};

// Numbers convert like atoi/atof: text without a number gives 0 without a
// message; the geometry checks catch what such values mean. A parameter file
// can neither name another one (-F) nor ask for the version (-V).
const Option kOptions[] = {
    {'V', nullptr, [](ReconParams&, const char*) {
       printVersionLines();
       endRun();
     }, kCommandLineOnly},
    {'F', "file name", [](ReconParams& p, const char* a) {
       copyArgument(paramFileName, "-F", a);
       p.paramFile = kOn;
     }, kCommandLineOnly},
    {'N', nullptr, [](ReconParams& p, const char*) { p.ringCorrection = kOn; }},
    {'i', "in_spec", [](ReconParams&, const char* a) { copyPattern(runNames.inSpec, "-i", a); }},
    {'f', "first", [](ReconParams& p, const char* a) { p.firstFile = std::atoi(a); }},
    {'g', "offsetfile", [](ReconParams& p, const char* a) { copyArgument(p.offsetFile, "-g", a); }},
    {'o', "outfile", applyOutFile},
    {'b', "bytefile", [](ReconParams&, const char* a) { copyArgument(runNames.byteFile, "-b", a); }},
    {'w', "out_spec", [](ReconParams&, const char* a) { copyPattern(runNames.outSpec, "-w", a); }},
    {'q', nullptr, [](ReconParams& p, const char*) { p.convolution = kOn; }},
    {'v', nullptr, [](ReconParams& p, const char*) { p.full360 = kOn; }},
    {'p', nullptr, [](ReconParams& p, const char*) {
       p.truncated = kOn;
       p.full360 = kOn;
     }},
    {'j', "y bin size", [](ReconParams& p, const char* a) {
       p.yBinGiven = kOn;
       p.yBinSize = std::atoi(a);
     }},
    {'k', "z bin size", [](ReconParams& p, const char* a) {
       p.zBinGiven = kOn;
       p.zBinSize = std::atoi(a);
     }},
    {'l', "file increment", [](ReconParams& p, const char* a) {
       p.fileIncrementGiven = kOn;
       p.fileIncrement = std::atoi(a);
     }},
    {'a', "center of rotation", [](ReconParams& p, const char* a) { p.axisUser = static_cast<float>(std::atof(a)); }},
    {'s', "central slice", [](ReconParams& p, const char* a) { p.centralSliceUser = static_cast<float>(std::atof(a)); }},
    {'r', "rfan", [](ReconParams& p, const char* a) {
       p.rfanY = static_cast<float>(std::atof(a));
       p.rfanZ = p.rfanY;
     }},
    {'t', "angle increment", [](ReconParams& p, const char* a) {
       p.angleIncrement = static_cast<float>(std::atof(a));
       p.angleIncrementUser = p.angleIncrement;
     }},
    {'E', "element size", [](ReconParams& p, const char* a) { p.elementSize = static_cast<float>(std::atof(a)); }},
    {'W', "float number for water", [](ReconParams& p, const char* a) { p.waterValue = static_cast<float>(std::atof(a)); }},
    {'A', "float number for air", [](ReconParams& p, const char* a) { p.airValue = static_cast<float>(std::atof(a)); }},
    {'B', "Hounsfield value for SB3", [](ReconParams& p, const char* a) { p.boneHU = std::atoi(a); }},
    // Whole degrees: the start angle is read as an integer.
    {'n', "start angle", [](ReconParams& p, const char* a) {
       p.startAngleGiven = kOn;
       p.startAngleUser = static_cast<float>(std::atoi(a));
     }},
    {'u', "kernel length", [](ReconParams& p, const char* a) { p.kernelLength = std::atoi(a); }},
    {'x', "x origin", [](ReconParams& p, const char* a) { p.xOrigin = std::atoi(a); }},
    {'y', "y origin", [](ReconParams& p, const char* a) { p.yOrigin = std::atoi(a); }},
    {'z', "z origin", [](ReconParams& p, const char* a) { p.zOrigin = std::atoi(a); }},
    {'c', "x size", [](ReconParams& p, const char* a) { p.xSize = std::atoi(a); }},
    {'d', "y size", [](ReconParams& p, const char* a) { p.ySize = std::atoi(a); }},
    {'e', "z size", [](ReconParams& p, const char* a) { p.zSize = std::atoi(a); }},
    {'R', nullptr, [](ReconParams& p, const char*) { p.reflect = kOn; }},
    // Sets the flag only; the header merge toggles it against "reverse_order=".
    {'m', nullptr, [](ReconParams& p, const char*) { p.reverseOrder = kOn; }},
    {'h', nullptr, [](ReconParams&, const char*) {
       printHelp();
       endRunInError();
     }},
    // Scanned with its argument but without an effect of its own: refused
    // like an unknown letter.
    {'O', "ignored", [](ReconParams&, const char*) { endWithUsage(); }},
    {'U', "server address", applyServerAddress},
    // The job number of progress reports and of the final report.
    {'P', "job number", [](ReconParams& p, const char* a) {
       p.jobId = std::atoi(a);
       exit_job_id = p.jobId;
     }},
};

// The scanner's option string of a pass: each letter, with ':' after those
// that take an argument.
std::string optionString(bool commandLine) {
  std::string letters;
  for (const Option& option : kOptions) {
    if (option.pass == kCommandLineOnly && !commandLine) continue;
    letters += option.letter;
    if (option.argument != nullptr) letters += ':';
  }
  return letters;
}

void applyOption(ReconParams& p, int letter) {
  for (const Option& option : kOptions) {
    if (option.letter == letter) {
      option.apply(p, option.argument != nullptr ? scanner::optarg : nullptr);
      return;
    }
  }
  endWithUsage();  // '?' from the scanner
}

// Whitespace-separated words, as a plain string conversion reads them; the
// file is refused rather than cut when it does not fit the buffers.
int readWords(FILE* file, char* buffers, char** words) {
  int count = 0;
  std::string word;
  for (int ch = std::getc(file);; ch = std::getc(file)) {
    if (ch != EOF && !std::isspace(ch)) {
      word += static_cast<char>(ch);
      continue;
    }
    if (!word.empty()) {
      if (count == kMaxWords) failRunf("Error: parameter file %s holds more than 80 words", paramFileName);
      if (word.size() > kWordSize - 1)
        failRunf("Error: parameter file %s has a word longer than 79 characters", paramFileName);
      words[count] = buffers + count * kWordSize;
      std::memcpy(words[count], word.c_str(), word.size() + 1);
      ++count;
      word.clear();
    }
    if (ch == EOF) return count;
  }
}

// Pass 2. The first word stands where the program name stands on a command
// line and is never interpreted.
void readParameterFile(ReconParams& p) {
  std::vector<char> buffers(kMaxWords * kWordSize, '\0');
  char* words[kMaxWords] = {};
  // Owned, so that a refused file is closed however the run ends.
  const OwnedFile file = openOwned(paramFileName, "r");
  if (!file) {
    std::printf("Error: could not open parameter file %s\n", paramFileName);
    endRunInError();
  }
  std::printf("Reading parameters from file %s\n", paramFileName);
  const int count = readWords(file.get(), buffers.data(), words);

  scanner::optind = 1;
  const std::string options = parameterFileOptions();
  for (int c; (c = scanner::getopt(count, words, options.c_str())) != -1;) applyOption(p, c);
}

}  // namespace

std::string commandLineOptions() { return optionString(true); }
std::string parameterFileOptions() { return optionString(false); }

void parseArguments(ReconParams& p, int argc, char** argv) {
  const std::string options = commandLineOptions();
  for (int c; (c = scanner::getopt(argc, argv, options.c_str())) != -1;) applyOption(p, c);
  if (p.paramFile) readParameterFile(p);
}
