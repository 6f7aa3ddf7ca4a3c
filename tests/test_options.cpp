// The option scanner, both passes over the options and the parameter file,
// driven in-process. Paths that end the process run as death tests; what
// they log is read back from the log file of a test configuration.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "host/host.h"
#include "support/testutil.h"

namespace {

using testutil::TempDir;

// Every test gets a fresh log through its own host configuration.
class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = dir_.file("korvan.log");
    setenv("KORVAN_CONFIG", testutil::writeConfig(dir_, logPath_).c_str(), 1);
    initReconParams(p_);
    for (char* name : {runNames.outFile, runNames.byteFile, runNames.inSpec, runNames.outSpec})
      std::strcpy(name, "NULL");
    exit_job_id = 0;
    scanner::reset();
  }

  // A run keeps its heap texts to the end of the process; a test's record
  // ends with the test.
  void TearDown() override {
    std::free(p_.outDir);
    std::free(p_.serverUrl);
  }

  void parse(const std::vector<std::string>& args) {
    words_ = args;
    argv_.clear();
    for (auto& w : words_) argv_.push_back(&w[0]);
    argv_.push_back(nullptr);
    scanner::reset();
    parseArguments(p_, static_cast<int>(words_.size()), argv_.data());
  }

  std::string paramFile(const std::string& text) {
    std::string path = dir_.file("params");
    testutil::writeFile(path, text);
    return path;
  }

  std::string log() const { return testutil::readFile(logPath_); }

  TempDir dir_;
  std::string logPath_;
  ReconParams p_;
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

using Scanner = OptionsTest;
using Options = OptionsTest;
using ParameterFile = OptionsTest;
using OptionsDeathTest = OptionsTest;

TEST_F(Scanner, StepsThroughGroupsAndAttachedArguments) {
  std::vector<std::string> words = {"korvan", "-qf12", "-a", "-5", "rest"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  const int argc = static_cast<int>(argv.size());

  EXPECT_EQ(scanner::getopt(argc, argv.data(), "qf:a:"), 'q');
  EXPECT_EQ(scanner::optind, 1);
  EXPECT_EQ(scanner::position, 1);
  EXPECT_EQ(scanner::getopt(argc, argv.data(), "qf:a:"), 'f');
  EXPECT_STREQ(scanner::optarg, "12");
  EXPECT_EQ(scanner::optind, 2);
  EXPECT_EQ(scanner::position, 0);
  EXPECT_EQ(scanner::getopt(argc, argv.data(), "qf:a:"), 'a');
  EXPECT_STREQ(scanner::optarg, "-5");  // the next word, even with a '-'
  EXPECT_EQ(scanner::getopt(argc, argv.data(), "qf:a:"), -1);
  EXPECT_EQ(scanner::optind, 4);
}

TEST_F(Scanner, ColonIsNoOptionLetter) {
  std::vector<std::string> words = {"korvan", "-:"};
  std::vector<char*> argv = {&words[0][0], &words[1][0]};
  testing::internal::CaptureStderr();
  EXPECT_EQ(scanner::getopt(2, argv.data(), "f:"), '?');
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unrecognised option -- :\n");
}

TEST_F(Scanner, GroupedFlagsAllApply) {
  parse({"korvan", "-qvR"});
  EXPECT_NE(p_.convolution, 0);
  EXPECT_NE(p_.full360, 0);
  EXPECT_NE(p_.reflect, 0);
  EXPECT_EQ(p_.truncated, 0);
}

TEST_F(Scanner, AttachedAndSeparateArgumentsAgree) {
  parse({"korvan", "-f12"});
  EXPECT_EQ(p_.firstFile, 12);
  SetUp();
  parse({"korvan", "-f", "12"});
  EXPECT_EQ(p_.firstFile, 12);
}

TEST_F(Scanner, DoubleDashIsConsumedAndEndsTheScan) {
  parse({"korvan", "-q", "--", "-v"});
  EXPECT_NE(p_.convolution, 0);
  EXPECT_EQ(p_.full360, 0);
  EXPECT_EQ(scanner::optind, 3);
}

TEST_F(Scanner, LoneDashEndsTheScanUnconsumed) {
  parse({"korvan", "-q", "-", "-v"});
  EXPECT_EQ(p_.full360, 0);
  EXPECT_EQ(scanner::optind, 2);
}

TEST_F(Scanner, FirstOtherWordEndsTheScan) {
  parse({"korvan", "-i", "p%d.vff", "extra", "-f", "1"});
  EXPECT_STREQ(runNames.inSpec, "p%d.vff");
  EXPECT_EQ(p_.firstFile, -1);
  EXPECT_EQ(scanner::optind, 3);
}

TEST_F(OptionsDeathTest, ScannerErrorsEndTheRun) {
  EXPECT_EXIT(parse({"korvan", "-q", "-f"}), testing::ExitedWithCode(0), "^Option requires an argument\n$");
  EXPECT_EXIT(parse({"korvan", "-G", "3"}), testing::ExitedWithCode(0), "^Unrecognised option -- G\n$");
  EXPECT_EXIT(parse({"korvan", "-O", "x"}), testing::ExitedWithCode(0), "^$");
  EXPECT_EQ(log(), "");  // usage errors show on the console only
}

// Every letter the command line accepts is described in the manual page.
TEST(ManualPage, NamesEveryOptionLetter) {
  const std::string page = testutil::readFile(testutil::sourceDir() + "/man/korvan.1");
  for (char c : commandLineOptions()) {
    if (c == ':') continue;
    EXPECT_TRUE(std::regex_search(page, std::regex(std::string("\\\\-") + c + "[^A-Za-z]"))) << c;
  }
}

TEST_F(Options, NumbersConvertLikeTheCLibrary) {
  parse({"korvan", "-n", "15.7", "-f", "abc", "-a", "12.5xyz", "-r", "200", "-t", "0.9", "-B", "-1000",
         "-u", "33", "-x", "1", "-y", "2", "-z", "3", "-c", "4", "-d", "5", "-e", "6"});
  EXPECT_EQ(p_.startAngleUser, 15.0f);
  EXPECT_NE(p_.startAngleGiven, 0);
  EXPECT_EQ(p_.firstFile, 0);
  EXPECT_EQ(p_.axisUser, 12.5f);
  EXPECT_EQ(p_.rfanY, 200.0f);
  EXPECT_EQ(p_.rfanZ, 200.0f);
  EXPECT_EQ(p_.angleIncrement, 0.9f);
  EXPECT_EQ(p_.angleIncrementUser, 0.9f);
  EXPECT_EQ(p_.boneHU, -1000);
  EXPECT_EQ(p_.kernelLength, 33);
  EXPECT_EQ(p_.xOrigin + 10 * p_.yOrigin + 100 * p_.zOrigin, 321);
  EXPECT_EQ(p_.xSize + 10 * p_.ySize + 100 * p_.zSize, 654);
}

TEST_F(Options, FlagOptionsMarkWhatWasGiven) {
  parse({"korvan", "-pNm", "-j", "2", "-k", "3", "-l", "4", "-P", "17", "-E", "0.5", "-W", "0.2", "-A", "-0.1"});
  EXPECT_NE(p_.truncated, 0);
  EXPECT_NE(p_.full360, 0);
  EXPECT_NE(p_.ringCorrection, 0);
  EXPECT_NE(p_.reverseOrder, 0);
  EXPECT_TRUE(p_.yBinGiven && p_.yBinSize == 2);
  EXPECT_TRUE(p_.zBinGiven && p_.zBinSize == 3);
  EXPECT_TRUE(p_.fileIncrementGiven && p_.fileIncrement == 4);
  EXPECT_EQ(p_.jobId, 17);
  EXPECT_EQ(exit_job_id, 17);
  EXPECT_EQ(p_.elementSize, 0.5f);
  EXPECT_EQ(p_.waterValue, 0.2f);
  EXPECT_EQ(p_.airValue, -0.1f);
}

TEST_F(Options, NamesAndPatternsAreKept) {
  parse({"korvan", "-i", "p%03d.vff", "-w", "s%%%d.vff", "-b", "b.vff", "-g", "offsets.txt"});
  EXPECT_STREQ(runNames.inSpec, "p%03d.vff");
  EXPECT_STREQ(runNames.outSpec, "s%%%d.vff");
  EXPECT_STREQ(runNames.byteFile, "b.vff");
  EXPECT_STREQ(p_.offsetFile, "offsets.txt");
}

TEST_F(Options, OutFileGivesItsResolvedDirectory) {
  char real[PATH_MAX];
  ASSERT_NE(realpath(dir_.path().c_str(), real), nullptr);
  parse({"korvan", "-o", dir_.path() + "/./out.vff"});
  EXPECT_STREQ(runNames.outFile, (dir_.path() + "/./out.vff").c_str());
  EXPECT_EQ(std::string(p_.outDir), std::string(real) + "/");

  // A directory that does not exist yet is taken against the current one.
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  parse({"korvan", "-o", "no-such-dir/out.vff"});
  EXPECT_EQ(std::string(p_.outDir), std::string(cwd) + "/no-such-dir/");
  parse({"korvan", "-o", "out.vff"});
  EXPECT_EQ(std::string(p_.outDir), std::string(cwd) + "/");
}

TEST_F(OptionsDeathTest, UnusableArgumentsAreRefused) {
  const std::string longName(512, 'a');
  EXPECT_EXIT(parse({"korvan", "-i", longName + "%d"}), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(parse({"korvan", "-g", std::string(300, 'g')}), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(parse({"korvan", "-o", "/" + std::string(300, 'o')}), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(parse({"korvan", "-i", "p.vff"}), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(parse({"korvan", "-w", "s%d%d"}), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(parse({"korvan", "-i", "p%ld"}), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(parse({"korvan", "-i", "p%s%d"}), testing::ExitedWithCode(0), "");
  const std::string text = log();
  EXPECT_NE(text.find(": Error: -i argument is too long (at most 511 characters)\n"), std::string::npos) << text;
  EXPECT_NE(text.find(": Error: -g argument is too long (at most 299 characters)\n"), std::string::npos);
  EXPECT_NE(text.find(": Error: the full path of outfile /ooo"), std::string::npos);
  EXPECT_NE(text.find(" is too long (at most 255 characters)\n"), std::string::npos);
  EXPECT_NE(text.find(": Error: -i pattern p.vff must hold exactly one integer conversion such as %d\n"),
            std::string::npos);
  EXPECT_NE(text.find(": Error: -w pattern s%d%d must hold"), std::string::npos);
  EXPECT_NE(text.find(": Error: -i pattern p%ld must hold"), std::string::npos);
  EXPECT_NE(text.find(": Error: -i pattern p%s%d must hold"), std::string::npos);
}

TEST_F(OptionsDeathTest, ServerAddressMustNameHostAndPort) {
  for (const char* address : {"http://", "http://host", "http://:8080", "http://host:", "http://host:0",
                              "http://host:65536", "http://host:80x"}) {
    EXPECT_EXIT(parse({"korvan", "-U", address}), testing::ExitedWithCode(0), "") << address;
    EXPECT_NE(log().find(std::string(": Error: server address ") + address +
                         " is not of the form http://host:port\n"),
              std::string::npos)
        << address;
  }
}

TEST_F(ParameterFile, OverridesTheCommandLine) {
  const std::string file = paramFile("x -a 20\n-f 7");
  testing::internal::CaptureStdout();
  parse({"korvan", "-a", "10", "-f", "3", "-F", file});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Reading parameters from file " + file + "\n");
  EXPECT_EQ(p_.axisUser, 20.0f);
  EXPECT_EQ(p_.firstFile, 7);
  EXPECT_NE(p_.paramFile, 0);
}

TEST_F(ParameterFile, FirstWordIsNeverInterpreted) {
  parse({"korvan", "-F", paramFile("korvan -a 127.5 -s 100\n")});
  EXPECT_EQ(p_.axisUser, 127.5f);
  EXPECT_EQ(p_.centralSliceUser, 100.0f);

  SetUp();
  parse({"korvan", "-F", paramFile("-a 127.5 -s 100\n")});
  EXPECT_EQ(p_.axisUser, -1.0f);
  EXPECT_EQ(p_.centralSliceUser, -1.0f);
}

TEST_F(ParameterFile, HoldsUpToEightyWordsOfSeventyNineCharacters) {
  std::string text = "x";
  for (int i = 1; i < 79; ++i) text += " -q";
  text += " -i" + std::string(75, 'p') + "%d";  // 80th word, 79 characters
  parse({"korvan", "-F", paramFile(text)});
  EXPECT_EQ(std::strlen(runNames.inSpec), 77u);
  EXPECT_NE(p_.convolution, 0);
}

TEST_F(OptionsDeathTest, ParameterFileBeyondItsBuffersIsRefused) {
  std::string words = "x";
  for (int i = 1; i < 81; ++i) words += " -q";
  const std::string many = paramFile(words);
  EXPECT_EXIT(parse({"korvan", "-F", many}), testing::ExitedWithCode(0), "");
  EXPECT_NE(log().find(": Error: parameter file " + many + " holds more than 80 words\n"), std::string::npos);

  const std::string longWord = dir_.file("long");
  testutil::writeFile(longWord, "x -i" + std::string(76, 'p') + "%d");
  EXPECT_EXIT(parse({"korvan", "-F", longWord}), testing::ExitedWithCode(0), "");
  EXPECT_NE(log().find(": Error: parameter file " + longWord + " has a word longer than 79 characters\n"),
            std::string::npos);
}

TEST_F(OptionsDeathTest, CommandLineOnlyOptionsAreUnknownInTheFile) {
  EXPECT_EXIT(parse({"korvan", "-F", paramFile("x -V")}), testing::ExitedWithCode(0),
              "^Unrecognised option -- V\n$");
  EXPECT_EXIT(parse({"korvan", "-F", paramFile("x -F params")}), testing::ExitedWithCode(0),
              "^Unrecognised option -- F\n$");
}

}  // namespace
