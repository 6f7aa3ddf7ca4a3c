// The option scanner and both passes over the options and the parameter file, in-process; paths that end the
// process run as death tests, whose log is read back from a test configuration.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>

#include "driver/driver.h"
#include "host/host.h"
#include "support/testutil.h"

namespace {

// Every test gets a fresh log through its own host configuration.
class Scanner : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KORVAN_CONFIG", testutil::writeConfig(dir_.path(), dir_.file("korvan.log")).c_str(), 1);
    initReconParams(p_);
    std::strcpy(runNames.inSpec, "NULL");
  }
  // A run keeps its heap texts to the end of the process; a test's record ends with the test.
  void TearDown() override { std::free(p_.outDir), std::free(p_.serverUrl); }

  // Parses korvan `args`, then the parameter file `file` after them unless empty.
  void parse(std::vector<std::string> args, const std::string& file = "") {
    if (!file.empty()) testutil::writeFile(params_, file), args.push_back(params_);
    args.insert(args.begin(), "korvan");
    words_ = args, argv_.clear();
    for (auto& w : words_) argv_.push_back(&w[0]);
    argv_.push_back(nullptr);
    scanner::reset();
    parseArguments(p_, static_cast<int>(words_.size()), argv_.data());
  }

  testutil::TempDir dir_;
  const std::string params_ = dir_.file("params");
  ReconParams p_;
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

using OptionsDeathTest = Scanner;

// Where the scan ends and what it set. The file's words follow the command
// line's, so they win; its first word (the program's name in a saved command
// line) is never interpreted; it holds up to 80 words of up to 79 characters.
TEST_F(Scanner, GroupsAttachedArgumentsAndTheEndOfTheScan) {
  const std::string inSpec = std::string(75, 'p') + "%d";
  const std::string eighty = "x" + std::regex_replace(std::string(78, 'q'), std::regex("q"), " -q") + " -i" + inSpec;
  // The state: flags, -f, -a, -s, -n ("!": given), -i, -U, then where the scan ended.
  const struct { const char* name; std::vector<std::string> args; std::string file, state; } rows[] = {
      {"flags grouped", {"-qvR"}, "", "q v R -1 -1 -1 0 NULL - 2"},
      {"argument attached, or beginning with '-'", {"-qf12", "-a", "-5", "rest"}, "", "q 12 -5 -1 0 NULL - 4"},
      {"\"--\" is consumed and ends the scan", {"-q", "--", "-v"}, "", "q -1 -1 -1 0 NULL - 3"},
      {"a lone \"-\" ends it unconsumed", {"-q", "-", "-v"}, "", "q -1 -1 -1 0 NULL - 2"},
      {"a word that is no option ends it", {"-i", "p%d.vff", "extra", "-f", "1"}, "", "-1 -1 -1 0 p%d.vff - 3"},
      {"numbers as atoi and atof read them", {"-n", "15.7", "-f", "abc", "-a", "12.5xyz"}, "", "0 12.5 -1 15! NULL - 7"},
      {"the file wins", {"-a", "10", "-f", "3", "-F"}, "x -a 20\n-f 7", "7 20 -1 0 NULL - 5"},
      {"the file's first word skipped", {"-F"}, "korvan -a 127.5 -s 100\n", "-1 127.5 100 0 NULL - 5"},
      {"nor taken as an option", {"-F"}, "-a 127.5 -s 100\n", "-1 -1 -1 0 NULL - 1"},
      {"80 words, the last of 79 characters", {"-F"}, eighty, "q -1 -1 -1 0 " + inSpec + " - 80"},
      {"the lowest port", {"-U", "http://host:1"}, "", "-1 -1 -1 0 NULL http://host:1 3"},
      {"the highest port", {"-U", "http://host:65535"}, "", "-1 -1 -1 0 NULL http://host:65535 3"},
  };
  for (const auto& row : rows) {
    TearDown(), SetUp();
    parse(row.args, row.file);
    std::ostringstream state;
    state << (p_.convolution ? "q " : "") << (p_.full360 ? "v " : "") << (p_.reflect ? "R " : "") << p_.firstFile << " "
          << p_.axisUser << " " << p_.centralSliceUser << " " << p_.startAngleUser << (p_.startAngleGiven ? "! " : " ")
          << runNames.inSpec << " " << (p_.serverUrl ? p_.serverUrl : "-") << " " << scanner::optind;
    EXPECT_EQ(state.str(), row.state) << row.name;
  }
}

// Arguments that end the run: what is logged (usage errors show on standard
// error only). Each text buffer holds its longest argument and not one more.
TEST_F(OptionsDeathTest, UnusableArgumentsEndTheRun) {
  const std::string inSpec = std::string(76, 'p') + "%d", outFile = "/" + std::string(300, 'o');
  const std::string eightyOne = std::regex_replace(std::string(81, 'q'), std::regex("q"), "q ");
  const std::string conversion = " must hold exactly one integer conversion such as %d", form = " is not of the form http://host:port";
  const struct { std::vector<std::string> args; std::string file, logged, err; } rows[] = {
      {{"-:"}, "", "", "^Unrecognised option -- :\n$"},  // the separator of the option list is no letter
      {{"-i", std::string(510, 'a') + "%d"}, "", "Error: -i argument is too long (at most 511 characters)"},
      {{"-g", std::string(300, 'g')}, "", "Error: -g argument is too long (at most 299 characters)"},
      {{"-o", outFile}, "", "Error: the full path of outfile " + outFile + " is too long (at most 255 characters)"},
      {{"-i", "p.vff"}, "", "Error: -i pattern p.vff" + conversion},
      {{"-w", "s%d%d"}, "", "Error: -w pattern s%d%d" + conversion},
      {{"-i", "p%ld"}, "", "Error: -i pattern p%ld" + conversion},
      {{"-F"}, eightyOne, "Error: parameter file " + params_ + " holds more than 80 words"},
      {{"-F"}, "x -i" + inSpec, "Error: parameter file " + params_ + " has a word longer than 79 characters"},
      {{"-F"}, "x -V", "", "^Unrecognised option -- V\n$"},  // options of the command line only are unknown in the file
      {{"-F"}, "x -F params", "", "^Unrecognised option -- F\n$"},
      {{"-U", "http://host:0"}, "", "Error: server address http://host:0" + form},  // ports 1 to 65535 only
      {{"-U", "http://host:65536"}, "", "Error: server address http://host:65536" + form},
  };
  for (const auto& row : rows) {
    const auto logged = row.logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.logged};
    EXPECT_EQ(testutil::loggedEnd([&] { parse(row.args, row.file); }, 0, row.err), logged) << row.args[0];
  }
}

// Every letter the command line accepts is described in the manual page.
TEST(ManualPage, NamesEveryOptionLetter) {
  const std::string page = testutil::readFile(testutil::sourceDir() + "/man/korvan.1");
  for (char c : commandLineOptions())
    EXPECT_TRUE(c == ':' || std::regex_search(page, std::regex(std::string("\\\\-") + c + "[^A-Za-z]"))) << c;
}

}  // namespace
