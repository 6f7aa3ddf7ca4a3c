// The option scanner, both passes over the options and the parameter file,
// driven in-process. Paths that end the process run as death tests; what
// they log is read back from the log file of a test configuration.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "host/host.h"
#include "support/testutil.h"

namespace {

// Every test gets a fresh log through its own host configuration.
class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KORVAN_CONFIG", testutil::writeConfig(dir_.path(), dir_.file("korvan.log")).c_str(), 1);
    initReconParams(p_);
    for (char* name : {runNames.outFile, runNames.byteFile, runNames.inSpec, runNames.outSpec}) std::strcpy(name, "NULL");
    exit_job_id = 0;
  }
  // A run keeps its heap texts to the end of the process; a test's record
  // ends with the test.
  void TearDown() override { std::free(p_.outDir), std::free(p_.serverUrl); }

  void parse(std::vector<std::string> args) {
    args.insert(args.begin(), "korvan");
    words_ = args;
    argv_.clear();
    for (auto& w : words_) argv_.push_back(&w[0]);
    argv_.push_back(nullptr);
    scanner::reset();
    parseArguments(p_, static_cast<int>(words_.size()), argv_.data());
  }
  std::string paramFile(const std::string& text) {
    testutil::writeFile(dir_.file("params"), text);
    return dir_.file("params");
  }

  testutil::TempDir dir_;
  ReconParams p_;
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

using Scanner = OptionsTest;
using Options = OptionsTest;
using OptionsDeathTest = OptionsTest;

// Where the scan ends and what it set: -q, -v and -R as flags, -f, -a, -i.
TEST_F(Scanner, GroupsAttachedArgumentsAndTheEndOfTheScan) {
  const struct {
    std::vector<std::string> args;
    const char* state;
    int optind;
  } rows[] = {
      {{"-qvR"}, "q v R f-1 a-1 i=NULL", 2},
      {{"-qf12", "-a", "-5", "rest"}, "q f12 a-5 i=NULL", 4},  // an argument may begin with '-'
      {{"-f", "12"}, "f12 a-1 i=NULL", 3},
      {{"-q", "--", "-v"}, "q f-1 a-1 i=NULL", 3},  // "--" is consumed and ends the scan
      {{"-q", "-", "-v"}, "q f-1 a-1 i=NULL", 2},   // a lone "-" ends it unconsumed
      {{"-i", "p%d.vff", "extra", "-f", "1"}, "f-1 a-1 i=p%d.vff", 3},
  };
  for (const auto& row : rows) {
    SetUp();
    parse(row.args);
    std::ostringstream state;
    state << (p_.convolution ? "q " : "") << (p_.full360 ? "v " : "") << (p_.reflect ? "R " : "") << "f"
          << p_.firstFile << " a" << p_.axisUser << " i=" << runNames.inSpec;
    EXPECT_EQ(state.str(), row.state) << row.args[0];
    EXPECT_EQ(scanner::optind, row.optind) << row.args[0];
  }
}

// Arguments that end the run: what is logged (usage errors show on the
// console only) and what standard error shows.
TEST_F(OptionsDeathTest, UnusableArgumentsEndTheRun) {
  std::string eighty = "x";
  for (int i = 1; i < 81; ++i) eighty += " -q";
  const std::string outFile = "/" + std::string(300, 'o'), pattern = " must hold exactly one integer conversion such as %d";
  const struct {
    std::vector<std::string> args;
    std::string paramText;  // written to the parameter file ("-F" takes its name)
    std::string logged;     // empty: nothing
    std::string err;        // a regular expression
  } rows[] = {
      {{"-q", "-f"}, "", "", "^Option requires an argument\n$"},
      {{"-G", "3"}, "", "", "^Unrecognised option -- G\n$"},
      {{"-:"}, "", "", "^Unrecognised option -- :\n$"},  // the separator of the option list is no letter
      {{"-O", "x"}, "", "", "^$"},
      // Each text buffer holds its longest argument and not one character more.
      {{"-i", std::string(512, 'a') + "%d"}, "", "Error: -i argument is too long (at most 511 characters)"},
      {{"-g", std::string(300, 'g')}, "", "Error: -g argument is too long (at most 299 characters)"},
      {{"-F", std::string(256, 'f')}, "", "Error: -F argument is too long (at most 255 characters)"},
      {{"-o", outFile}, "", "Error: the full path of outfile " + outFile + " is too long (at most 255 characters)"},
      {{"-i", "p.vff"}, "", "Error: -i pattern p.vff" + pattern},
      {{"-w", "s%d%d"}, "", "Error: -w pattern s%d%d" + pattern},
      {{"-i", "p%ld"}, "", "Error: -i pattern p%ld" + pattern},
      {{"-i", "p%s%d"}, "", "Error: -i pattern p%s%d" + pattern},
      {{"-F"}, eighty, "Error: parameter file <params> holds more than 80 words"},
      {{"-F"}, "x -i" + std::string(76, 'p') + "%d", "Error: parameter file <params> has a word longer than 79 characters"},
      // Options of the command line only are unknown in the file.
      {{"-F"}, "x -V", "", "^Unrecognised option -- V\n$"},
      {{"-F"}, "x -F params", "", "^Unrecognised option -- F\n$"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args, logged;
    if (!row.paramText.empty()) args.push_back(paramFile(row.paramText));
    if (!row.logged.empty()) logged.push_back(std::regex_replace(row.logged, std::regex("<params>"), dir_.file("params")));
    EXPECT_EQ(testutil::loggedEnd([&] { parse(args); }, 0, row.err), logged) << row.args[0];
  }
  for (const std::string address : {"http://", "http://host", "http://:8080", "http://host:", "http://host:0",
                                    "http://host:65536", "http://host:80x"})
    EXPECT_EQ(testutil::loggedEnd([&] { parse({"-U", address}); }),
              std::vector<std::string>{"Error: server address " + address + " is not of the form http://host:port"});
  for (const char* address : {"http://host:1", "http://host:65535", "http://host:8080/RPC2"}) {
    parse({"-U", address});
    EXPECT_STREQ(p_.serverUrl, address);
  }
}

// Every letter the command line accepts is described in the manual page.
TEST(ManualPage, NamesEveryOptionLetter) {
  const std::string page = testutil::readFile(testutil::sourceDir() + "/man/korvan.1");
  for (char c : commandLineOptions())
    EXPECT_TRUE(c == ':' || std::regex_search(page, std::regex(std::string("\\\\-") + c + "[^A-Za-z]"))) << c;
}

// Each option reaches its field; numbers convert like atoi and atof.
TEST_F(Options, ValuesReachTheirFields) {
  parse({"-n", "15.7", "-f", "abc", "-a", "12.5xyz", "-r", "200", "-t", "0.9", "-B", "-1000", "-u", "33", "-x", "1",
         "-y", "2", "-z", "3", "-c", "4", "-d", "5", "-e", "6", "-pNm", "-j", "2", "-k", "3", "-l", "4", "-P", "17",
         "-E", "0.5", "-W", "0.2", "-A", "-0.1", "-i", "p%03d.vff", "-w", "s%%%d.vff", "-b", "b.vff", "-g", "o.txt"});
  std::ostringstream s;
  s << p_.startAngleUser << (p_.startAngleGiven ? "! " : " ") << p_.firstFile << " " << p_.axisUser << " " << p_.rfanY
    << "," << p_.rfanZ << " " << p_.angleIncrement << "," << p_.angleIncrementUser << " " << p_.boneHU << " "
    << p_.kernelLength << " " << p_.xOrigin << p_.yOrigin << p_.zOrigin << p_.xSize << p_.ySize << p_.zSize << " "
    << !!p_.truncated << !!p_.full360 << !!p_.ringCorrection << !!p_.reverseOrder << " " << !!p_.yBinGiven
    << p_.yBinSize << !!p_.zBinGiven << p_.zBinSize << !!p_.fileIncrementGiven << p_.fileIncrement << " " << p_.jobId
    << "," << exit_job_id << " " << p_.elementSize << " " << p_.waterValue << " " << p_.airValue << " "
    << runNames.inSpec << " " << runNames.outSpec << " " << runNames.byteFile << " " << p_.offsetFile;
  EXPECT_EQ(s.str(), "15! 0 12.5 200,200 0.9,0.9 -1000 33 123456 1111 121314 17,17 0.5 0.2 -0.1 p%03d.vff "
                     "s%%%d.vff b.vff o.txt");
}

// The file's words follow the command line's, so they win; its first word
// (the program's name in a saved command line) is never interpreted; it
// holds up to 80 words of up to 79 characters.
TEST_F(Options, ParameterFileOverridesTheCommandLine) {
  const std::string file = paramFile("x -a 20\n-f 7");
  testing::internal::CaptureStdout();
  parse({"-a", "10", "-f", "3", "-F", file});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Reading parameters from file " + file + "\n");
  EXPECT_TRUE(p_.axisUser == 20.0f && p_.firstFile == 7 && p_.paramFile);
  for (const auto& [text, axis] : {std::pair{"korvan -a 127.5 -s 100\n", 127.5f}, {"-a 127.5 -s 100\n", -1.0f}}) {
    SetUp();
    parse({"-F", paramFile(text)});
    EXPECT_TRUE(p_.axisUser == axis && p_.centralSliceUser == (axis < 0 ? -1.0f : 100.0f)) << text;
  }
  std::string text = "x";
  for (int i = 1; i < 79; ++i) text += " -q";
  parse({"-F", paramFile(text + " -i" + std::string(75, 'p') + "%d")});  // 80th word, 79 characters
  EXPECT_TRUE(std::strlen(runNames.inSpec) == 77u && p_.convolution);
}

}  // namespace
