// Whole-process tests of the console and the log: the built korvan runs in a
// temporary directory with its own host configuration, and what it prints
// and logs is compared byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <map>
#include <string>
#include <vector>

#include "support/testutil.h"

namespace {

using testutil::ProcessResult;
using testutil::TempDir;

const std::string kBanner = "\n\nkorvan version 1.13(WIN32)\n";

const std::string kUsage = R"TEXT(
Usage: korvan [-F]
               -i in_spec
               -f first
               -o outfile
               -g offsetfile
               [-G number of bad pixels on edge of sinogram]
               [-b bytefile]
               [-w out_spec]
               [-q]
               [-v]
               [-p]
               [-j y bin size]
               [-k z bin size]
               [-l file increment]
               [-a center of rotation]
               [-s central slice]
               [-r rfan]
               [-t angle increment]
               [-E element size]
               [-W float number for water]
               [-A float number for air]
               [-B Hounsfield value for SB3]
               [-n start angle]
               [-u kernel length]
               [-x x origin of reconstruction volume]
               [-y y origin of reconstruction volume]
               [-z z origin of reconstruction volume]
               [-c x size of reconstruction volume]
               [-d y size of reconstruction volume]
               [-e z size of reconstruction volume]
               [-m]
               [-V]
               [-h]

     type 'korvan -h' for help
)TEXT";

bool startsWith(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }
bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The texts of a log, one per entry: every entry is a ctime text (24
// characters and its own line feed), ": ", the text and a line feed.
std::vector<std::string> logTexts(const std::string& log) {
  static const std::regex stamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n: )");
  std::vector<size_t> starts;
  for (size_t at = 0; at < log.size(); at = log.find('\n', at) + 1) {
    if (std::regex_search(log.begin() + at, log.end(), stamp, std::regex_constants::match_continuous))
      starts.push_back(at);
    if (log.find('\n', at) == std::string::npos) break;
  }
  std::vector<std::string> texts;
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t end = i + 1 < starts.size() ? starts[i + 1] : log.size();
    texts.push_back(log.substr(starts[i] + 27, end - starts[i] - 28));
  }
  // Anything before the first stamp or a missing final line feed is no log.
  if (!log.empty() && (starts.empty() || starts[0] != 0 || log.back() != '\n')) texts.push_back("<malformed>");
  return texts;
}

class ProcessTest : public ::testing::Test {
 protected:
  ProcessResult run(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv = {testutil::korvanBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string config = testutil::writeConfig(dir_, dir_.file("korvan.log"));
    ProcessResult r = testutil::runProcess(argv, {{"KORVAN_CONFIG", config}}, input, 30, dir_.path());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 0);
    return r;
  }

  std::vector<std::string> logged() const { return logTexts(testutil::readFile(dir_.file("korvan.log"))); }
  bool logExists() const { return testutil::fileExists(dir_.file("korvan.log")); }

  // A 16-bit projection whose header gives only the sizes.
  void writeBareProjection(const std::string& name) {
    testutil::writeFile(dir_.file(name),
                        testutil::vffHeader(4, 4, 16, {}) + testutil::bigEndianShorts(std::vector<int16_t>(16, 1)));
  }

  TempDir dir_;
};

using Console = ProcessTest;
using Checks = ProcessTest;
using Arguments = ProcessTest;

TEST_F(Console, VersionLinesFollowTheBanner) {
  ProcessResult r = run({"-q", "-V", "-i", "missing%d.vff"});
  EXPECT_EQ(r.out, kBanner + "Software revision: 1.25 \nRelease date: 2007/07/30 14:13:48 \n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(logExists());
}

// On a shared host idle threads must sleep, not spin: that is korvan's
// default; a wait policy or spin count the user set wins. The OpenMP
// runtime shows what it took with OMP_DISPLAY_ENV (the last display is the
// one of the program that runs).
TEST_F(Console, IdleThreadsSleepUnlessTheUserChose) {
  const struct {
    std::map<std::string, std::string> env;
    const char* spinCount;
  } rows[] = {
      {{}, "'0'"},
      {{{"OMP_WAIT_POLICY", "active"}}, "'30000000000'"},
      {{{"GOMP_SPINCOUNT", "1000"}}, "'1000'"},
  };
  for (const auto& row : rows) {
    std::map<std::string, std::string> env = row.env;
    env["OMP_DISPLAY_ENV"] = "verbose";
    ProcessResult r = testutil::runProcess({testutil::korvanBinary(), "-V"}, env, "", 30, dir_.path());
    const size_t at = r.err.rfind("GOMP_SPINCOUNT = ");
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(at + 17, r.err.find('\n', at) - at - 17), row.spinCount);
    EXPECT_EQ(r.out, kBanner + "Software revision: 1.25 \nRelease date: 2007/07/30 14:13:48 \n");
  }
}

TEST_F(Console, UsageFollowsAMissingPattern) {
  ProcessResult r = run({});
  EXPECT_EQ(r.out, kBanner + kUsage);
  EXPECT_EQ(logged(), std::vector<std::string>{"Error: No in_spec given!"});
}

TEST_F(Console, UnknownOptionsShowTheUsage) {
  ProcessResult r = run({"-G", "3"});
  EXPECT_EQ(r.err, "Unrecognised option -- G\n");
  EXPECT_EQ(r.out, kBanner + kUsage);
  r = run({"-q", "-O", "3"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kBanner + kUsage);
  r = run({"-f"});
  EXPECT_EQ(r.err, "Option requires an argument\n");
  EXPECT_EQ(r.out, kBanner + kUsage);
  EXPECT_FALSE(logExists());
}

TEST_F(Console, HelpPausesBetweenItsThreePages) {
  const std::string pause = "\n-- Press return to continue --\n";
  for (const std::string input : {"\n\n", ""}) {  // without input there is no wait
    ProcessResult r = run({"-h"}, input);
    ASSERT_TRUE(startsWith(r.out, kBanner));
    const std::string help = r.out.substr(kBanner.size());
    const size_t first = help.find(pause);
    const size_t second = help.find(pause, first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(help.find(pause, second + 1), std::string::npos);
    const std::string page1 = help.substr(0, first);
    const std::string page2 = help.substr(first + pause.size(), second - first - pause.size());
    const std::string page3 = help.substr(second + pause.size());
    EXPECT_TRUE(startsWith(page1, "\nName:\n     korvan - perform filtered or convolution back-projection for cone-beam\n"));
    EXPECT_TRUE(endsWith(page1, "               [-R]\n               [-m]\n               [-V]\n               [-h]\n"));
    EXPECT_EQ(page1.size(), 1486u);
    EXPECT_TRUE(startsWith(page2, "\n     The -F option specifies that the command line is to be read from a file\n"));
    EXPECT_TRUE(endsWith(page2, "turned off.\n\n     The -V options prints korvan version information.\n"
                                "     The -h option prints this help.\n"));
    EXPECT_EQ(page2.size(), 3010u);
    EXPECT_EQ(page3,
              "\n     An example vff header follows:\n\nncaa\nrank=2;\ntype=raster;\nsize=256 256;\nbands=1;\nbits=16;\n"
              "format=base;\ntitle=CT reconstruction test;      /* From this line down is optional */\n"
              "center_of_rotation=127.000000;\ncentral_slice=127.000000;\nrfan=1000.000000;\n"
              "angle_increment=0.900000;\nstart_angle=15.000000;\nkernel_length=120;\nx_origin=64;\ny_origin=64;\n"
              "z_origin=64;\nx_size=128;\ny_size=128;\nz_size=128;\nreverse_order=yes;\n");
    EXPECT_FALSE(logExists());
  }
}

TEST_F(Checks, RequiredArgumentsInOrder) {
  ProcessResult r = run({"-i", "p%d.vff", "extra", "-f", "1", "-o", "out.vff"});
  EXPECT_EQ(r.out, kBanner + kUsage);
  EXPECT_EQ(logged(), std::vector<std::string>{"No first file number given!"});

  r = run({"-i", "p%d.vff", "-f", "1", "-o", "NULL"});
  EXPECT_EQ(r.out, kBanner + kUsage);
  EXPECT_EQ(logged(), (std::vector<std::string>{"No first file number given!", "No outfile given!"}));
}

TEST_F(Checks, UncreatableOutFileShowsNoUsage) {
  ProcessResult r = run({"-i", "p%d.vff", "-f", "1", "-o", "no-such-dir/out.vff"});
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(logged(), std::vector<std::string>{"Error: could not open outfile no-such-dir/out.vff\n"});
}

TEST_F(Checks, HeaderValuesInOrder) {
  writeBareProjection("p1.vff");
  testutil::writeFile(dir_.file("out.vff"), "an older volume");
  const std::vector<std::string> base = {"-i", "p%d.vff", "-f", "1", "-o", "out.vff"};
  const std::vector<std::pair<std::vector<std::string>, std::string>> steps = {
      {{}, "\nNo center of rotation given!\n"},
      {{"-a", "1.5"}, "\nNo central slice given!\n"},
      {{"-a", "1.5", "-s", "2"}, "\nNo rfan given!\n"},
      {{"-a", "1.5", "-s", "2", "-r", "100"}, "\nNo angle increment given!\n"},
  };
  std::vector<std::string> expected;
  for (const auto& step : steps) {
    std::vector<std::string> args = base;
    args.insert(args.end(), step.first.begin(), step.first.end());
    ProcessResult r = run(args);
    EXPECT_EQ(r.out, kBanner + "Reading header from file p1.vff\n" + kUsage) << step.second;
    expected.push_back(step.second);
    EXPECT_EQ(logged(), expected);
  }
  // The output file was checked for writing, not emptied.
  EXPECT_EQ(testutil::readFile(dir_.file("out.vff")), "an older volume");
}

TEST_F(Arguments, ParameterFileIsAnnouncedOrReported) {
  ProcessResult r = run({"-F", "absent"});
  EXPECT_EQ(r.out, kBanner + "Error: could not open parameter file absent\n");
  EXPECT_FALSE(logExists());

  testutil::writeFile(dir_.file("params"), "korvan -i p%d.vff\n");
  r = run({"-F", "params", "-f", "4"});
  EXPECT_EQ(r.out, kBanner + "Reading parameters from file params\n" + kUsage);
  EXPECT_EQ(logged(), std::vector<std::string>{"No outfile given!"});
}

TEST_F(Arguments, UnusableValuesAreLoggedWithoutUsage) {
  run({"-i", "p%s.vff"});
  run({"-w", "slice.vff"});
  run({"-b", std::string(600, 'b')});
  run({"-U", "localhost"});
  ProcessResult r = run({"-o", "out.vff", "-F", std::string(256, 'f')});
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(logged(), (std::vector<std::string>{
                          "Error: -i pattern p%s.vff must hold exactly one integer conversion such as %d",
                          "Error: -w pattern slice.vff must hold exactly one integer conversion such as %d",
                          "Error: -b argument is too long (at most 511 characters)",
                          "Error: server address localhost is not of the form http://host:port",
                          "Error: -F argument is too long (at most 255 characters)",
                      }));
}

// The reference series with the given options, in its own directory of
// dir_ (the output header records the command line, so runs to compare use
// the same one); each must reconstruct.
class Reconstruction : public ProcessTest {
 protected:
  ProcessResult reconstruct(const std::string& name, const std::vector<std::string>& extra,
                            const std::string& memoryLimit = "") {
    const std::string workDir = dir_.file(name);
    mkdir(workDir.c_str(), 0755);
    std::vector<std::string> argv = {testutil::korvanBinary(), "-o", "out.vff", "-i",
                                     testutil::testDataDir() + "/shepp64-full/p%d.vff", "-f", "0", "-v"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const std::string config = testutil::writeConfig(dir_, dir_.file(name + ".log"), memoryLimit);
    ProcessResult r = testutil::runProcess(argv, {{"KORVAN_CONFIG", config}}, "", 120, workDir);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(testutil::readFile(dir_.file(name + ".log")).find("Execution time = "), std::string::npos) << name;
    return r;
  }
};

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A run in several slabs must give the same volume as a run in one: every
// slab starts from the same record and only its z range differs.
TEST_F(Reconstruction, SlabsReproduceTheSingleSlabVolume) {
  const std::vector<std::string> region = {"-c", "64", "-d", "64", "-z", "30", "-e", "3"};
  ProcessResult whole = reconstruct("whole", region);
  ProcessResult slabs = reconstruct("slabs", region, std::to_string(64 * 64 * 4));

  EXPECT_EQ(occurrences(whole.out, "Offset correction disabled.\n"), 1);
  EXPECT_EQ(occurrences(slabs.out, "Offset correction disabled.\n"), 3);
  EXPECT_EQ(occurrences(slabs.out, "subject = "), 1);
  EXPECT_NE(slabs.out.find("z size of reconstruction matrix = 1\n"), std::string::npos);
  EXPECT_NE(testutil::readFile(dir_.file("slabs.log")).find(": Enabling chunking operation\n"), std::string::npos);
  const std::string wholeVolume = testutil::readFile(dir_.file("whole/out.vff"));
  EXPECT_GT(wholeVolume.size(), 64u * 64u * 3u * 2u);
  EXPECT_TRUE(wholeVolume == testutil::readFile(dir_.file("slabs/out.vff")));
}

TEST_F(Reconstruction, EchoShowsTheValuesTheRunUses) {
  ProcessResult r = reconstruct("plain", {"-z", "31", "-e", "1", "-q", "-n", "20"});
  EXPECT_NE(r.out.find("\nkernel_length = 64\n"), std::string::npos);  // the projection width
  EXPECT_NE(r.out.find("\nstart_angle = 20.000000\n"), std::string::npos);
  EXPECT_NE(r.out.find("Offset correction disabled.\nUsing convolution to filter\n"), std::string::npos);
  EXPECT_EQ(r.out.find("filter_size = "), std::string::npos);

  EXPECT_NE(reconstruct("long", {"-z", "31", "-e", "1", "-q", "-u", "100"}).out.find("\nkernel_length = 64\n"),
            std::string::npos);
  EXPECT_NE(reconstruct("short", {"-z", "31", "-e", "1", "-q", "-u", "20"}).out.find("\nkernel_length = 20\n"),
            std::string::npos);
  r = reconstruct("offsets", {"-z", "31", "-e", "1", "-g", "none.txt"});
  EXPECT_NE(r.out.find("\nfilter_size = "), std::string::npos);
  EXPECT_NE(r.out.find("\nFull 360 degree reconstruction selected\nOffset correction enabled.\n"),
            std::string::npos);
}

}  // namespace
