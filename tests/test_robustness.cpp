// What korvan does with bad input and faults around it: broken projection
// files, unusable option values, an output place that cannot take the
// output, files changing under a running reconstruction and a server that
// misbehaves. The built korvan runs as a process on a tiny series written
// here; every case checks the message, the end state the server receives
// and the files left behind (docs/ROBUSTNESS.md lists them).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "backproject/backproject.h"
#include "host/host.h"
#include "support/testutil.h"

namespace {

using testutil::fileExists;
using testutil::ProcessResult;
using testutil::readFile;
using testutil::RpcServer;
using testutil::TempDir;

constexpr int kWidth = 16;  // detector columns and rows of the series
constexpr int kViews = 12;  // a full turn in steps of 30 degrees

// One view: a smooth projection of a cylinder about the axis column 7.5.
std::vector<float> viewSamples() {
  std::vector<float> samples;
  for (int r = 0; r < kWidth; ++r)
    for (int c = 0; c < kWidth; ++c) {
      const double x = (c - 7.5) / 6.0;
      samples.push_back(static_cast<float>(std::max(0.0, 1.0 - x * x)));
    }
  return samples;
}

std::string viewFile(const std::vector<float>& samples) {
  return testutil::vffHeader(kWidth, kWidth, 32,
                             {"center_of_rotation=7.5;", "central_slice=7.5;", "rfan=64;", "angle_increment=30;"}) +
         testutil::bigEndianFloats(samples);
}

// The texts of the setJobStatus calls that end a job, among the calls from
// the `first` one on.
std::vector<std::string> finalStates(const RpcServer& server, size_t first = 0) {
  static const std::regex final(R"re(setJobStatus\t\[-?\d+, \["(done|error|suspended|killed)", 1\.0\]\])re");
  const std::vector<std::string> calls = server.calls();
  std::vector<std::string> states;
  for (size_t i = first; i < calls.size(); ++i) {
    std::smatch m;
    if (std::regex_match(calls[i], m, final)) states.push_back(m[1]);
  }
  return states;
}

std::vector<double> progressReports(const RpcServer& server) {
  static const std::regex progress(R"re(setJobStatus\t\[\d+, \["Back-projecting in spatial domain\.\.\.", ([0-9.e-]+)\]\])re");
  std::vector<double> values;
  for (const std::string& call : server.calls("setJobStatus")) {
    std::smatch m;
    if (std::regex_match(call, m, progress)) values.push_back(std::stod(m[1]));
  }
  return values;
}

// The value of a header key of a VFF file, or "" when absent.
std::string headerValue(const std::string& file, const std::string& key) {
  const std::string text = file.substr(0, file.find('\f'));
  const size_t at = text.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 2;
  return text.substr(start, text.find(';', start) - start);
}

class Robustness : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int v = 0; v < kViews; ++v) testutil::writeFile(view(v), viewFile(viewSamples()));
  }

  std::string view(int v) const { return dir_.file("p" + std::to_string(v) + ".vff"); }
  std::string config(const std::string& memoryLimit = "") const {
    return testutil::writeConfig(dir_, dir_.file("korvan.log"), memoryLimit);
  }

  // A run of the series with a job number, reporting to `server`, plus the
  // given arguments. Every end but the array offset error has status 0.
  ProcessResult korvan(const RpcServer& server, const std::vector<std::string>& extra,
                       const std::string& memoryLimit = "", int status = 0) {
    std::vector<std::string> argv = {testutil::korvanBinary(), "-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff",
                                     "-U", server.url(), "-P", "5"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ProcessResult r = testutil::runProcess(argv, {{"KORVAN_CONFIG", config(memoryLimit)}}, "", 60, dir_.path());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, status) << r.err;
    return r;
  }

  // A run without a server through the shell, after `limits` (ulimit,
  // trap), writing `out`.
  ProcessResult limitedKorvan(const std::string& limits, const std::string& out, const std::string& memoryLimit = "") {
    const std::string command =
        limits + "; exec '" + testutil::korvanBinary() + "' -i 'p%d.vff' -f 0 -v -o '" + out + "'";
    return testutil::runProcess({"/bin/sh", "-c", command}, {{"KORVAN_CONFIG", config(memoryLimit)}}, "", 60,
                                dir_.path());
  }

  std::vector<std::string> logged() const { return testutil::logTexts(readFile(dir_.file("korvan.log"))); }
  std::string lastLogged() const {
    const std::vector<std::string> texts = logged();
    return texts.empty() ? "<nothing logged>" : texts.back();
  }

  // korvan-view info on a file: 0 complete, 2 unreadable, 3 truncated.
  ProcessResult info(const std::string& file) const {
    return testutil::runProcess({testutil::toolBinary("korvan-view"), "info", file}, {}, "", 30, dir_.path());
  }

  TempDir dir_;
};

// A small tmpfs at `path`, mounted for the test's lifetime when the system
// allows it.
class SmallDisk {
 public:
  SmallDisk(const std::string& path, unsigned long flags, const char* options) : path_(path) {
    mkdir(path.c_str(), 0755);
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", flags, options) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_;
};

using BrokenProjections = Robustness;
using BadArguments = Robustness;
using OutputPlace = Robustness;
using MidRunFailure = Robustness;
using BrokenServer = Robustness;

// ---------------------------------------------------------------------------
// Projection files

TEST_F(BrokenProjections, EmptyOrUnendedFirstHeaderIsRefused) {
  RpcServer server;
  for (const std::string& content : {std::string(), std::string("ncaa\nsize=16 16;\nbits=32;\n")}) {
    const size_t before = server.calls().size();
    testutil::writeFile(view(0), content);
    korvan(server, {});
    EXPECT_EQ(lastLogged(), "Error: p0.vff has no VFF header end (form feed) before the end of the file");
    EXPECT_EQ(finalStates(server, before), std::vector<std::string>{"error"});
    EXPECT_EQ(readFile(dir_.file("out.vff")), "");  // created by the first check, never written
  }
}

TEST_F(BrokenProjections, HeaderLongerThanItsBufferIsRefused) {
  RpcServer server;
  testutil::writeFile(view(0), "ncaa\nsize=16 16;\nbits=32;\ntitle=" + std::string(9000, 'x') + ";\n\f\n");
  korvan(server, {});
  EXPECT_EQ(lastLogged(), "Error: header of p0.vff is longer than 8191 characters (no form feed found)");
  EXPECT_EQ(finalStates(server), std::vector<std::string>{"error"});
}

TEST_F(BrokenProjections, UnusableSizesAndSampleWidthsAreRefused) {
  const std::string geometry = "center_of_rotation=7.5;\ncentral_slice=7.5;\nrfan=64;\nangle_increment=30;\n";
  const struct {
    std::string entries;
    std::string message;
  } cases[] = {
      {"size=0 0;\nbits=32;\n", "Error: p0.vff: size= must give two positive numbers, got '0 0'"},
      {"size=-5 16;\nbits=32;\n", "Error: p0.vff: size= must give two positive numbers, got '-5 16'"},
      {"size=16;\nbits=32;\n", "Error: p0.vff: size= must give two positive numbers, got '16'"},
      {"bits=32;\n", "Error: p0.vff has no size= entry in its header"},
      {"size=16 16;\n", "Error: p0.vff has no bits= entry in its header"},
      {"size=16 16;\nbits=8;\n", "Error: p0.vff: projections must have bits=16 or bits=32, got 8"},
      {"size=16 16;\nbits=64;\n", "Error: p0.vff: projections must have bits=16 or bits=32, got 64"},
      {"size=100000 16;\nbits=32;\n", "Error: working projection width of 100000 columns exceeds the limit of 65536"},
      {"size=2147483647 2147483647;\nbits=16;\n",
       "Error: working projection width of 2147483647 columns exceeds the limit of 65536"},
      {"size=65536 16;\nbits=16;\n", "Error: rfan 64.000000 puts the source inside the field of view (rfan "
                                      "must exceed 32767.500000)"},
  };
  RpcServer server;
  for (const auto& c : cases) {
    const size_t before = server.calls().size();
    testutil::writeFile(view(0), "ncaa\n" + c.entries + geometry + "\f\n");
    korvan(server, {});
    EXPECT_EQ(lastLogged(), c.message) << c.entries;
    EXPECT_EQ(finalStates(server, before), std::vector<std::string>{"error"}) << c.entries;
  }
}

TEST_F(BrokenProjections, ViewCutShortEndsTheRunAndLeavesNoVolume) {
  RpcServer server;
  const std::string whole = readFile(view(4));
  testutil::writeFile(view(4), whole.substr(0, whole.size() - 10));
  ProcessResult r = korvan(server, {});
  EXPECT_EQ(lastLogged(), "Error: end of input file reached!!!");
  EXPECT_EQ(finalStates(server), std::vector<std::string>{"error"});
  EXPECT_NE(r.err.find("Error: end of input file reached!!!\n"), std::string::npos);
  EXPECT_EQ(readFile(dir_.file("out.vff")), "");
  EXPECT_EQ(info("out.vff").exitStatus, 2);
}

TEST_F(BrokenProjections, MissingViewInTheMiddleStopsBeforeReconstruction) {
  RpcServer server;
  ASSERT_EQ(std::remove(view(7).c_str()), 0);
  ProcessResult r = korvan(server, {});
  EXPECT_EQ(lastLogged(), "Error: unable to open p7.vff.\nNot enough input files to perform reconstruction.");
  EXPECT_EQ(r.err, "Error: unable to open p7.vff.\nNot enough input files to perform reconstruction.\n");
  EXPECT_EQ(finalStates(server), std::vector<std::string>{"error"});
  EXPECT_EQ(r.out.find("Reading file"), std::string::npos);
}

TEST_F(BrokenProjections, NonFiniteSamplesLeaveExtremesAndScalesFinite) {
  RpcServer server;
  std::vector<float> samples = viewSamples();
  samples[7 * kWidth + 7] = std::numeric_limits<float>::quiet_NaN();
  samples[8 * kWidth + 9] = std::numeric_limits<float>::infinity();
  testutil::writeFile(view(3), viewFile(samples));
  korvan(server, {"-w", "s%d.vff"});
  EXPECT_EQ(finalStates(server), std::vector<std::string>{"done"});
  const std::vector<std::string> texts = logged();
  ASSERT_FALSE(texts.empty());
  EXPECT_TRUE(std::regex_match(texts[1], std::regex("Warning: [1-9][0-9]* voxels are not finite numbers \\(NaN or "
                                                    "infinite projection samples\\); they are left out of min and "
                                                    "max and written as 0")))
      << texts[1];

  const std::string volume = readFile(dir_.file("out.vff"));
  const double minimum = std::stod(headerValue(volume, "min"));
  const double maximum = std::stod(headerValue(volume, "max"));
  EXPECT_TRUE(std::isfinite(minimum) && std::isfinite(maximum) && maximum > 0.05) << minimum << " " << maximum;
  // The largest magnitude still maps to the top of the 16-bit range.
  ProcessResult shown = info("out.vff");
  EXPECT_EQ(shown.exitStatus, 0);
  std::smatch top;
  ASSERT_TRUE(std::regex_search(shown.out, top, std::regex("\nmax: (\\d+)\n"))) << shown.out;
  EXPECT_GE(std::stoi(top[1]), 32766);
  // The float slices carry 0, not NaN, where the volume was not finite.
  const std::string slice = readFile(dir_.file("s7.vff"));
  for (size_t at = slice.find('\f') + 2; at + 4 <= slice.size(); at += 4) {
    const uint32_t bits = (uint32_t(uint8_t(slice[at])) << 24) | (uint32_t(uint8_t(slice[at + 1])) << 16) |
                          (uint32_t(uint8_t(slice[at + 2])) << 8) | uint8_t(slice[at + 3]);
    float value;
    std::memcpy(&value, &bits, 4);
    ASSERT_TRUE(std::isfinite(value)) << "at byte " << at;
  }
}

// ---------------------------------------------------------------------------
// Option values

TEST_F(BadArguments, ValuesThatAreNotNumbersAreCaughtByTheChecks) {
  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"-r", "far"}, "Error: rfan must be positive (got 0.000000)"},
      {{"-t", "fine"}, "Error: angle increment must not be zero"},
      {{"-t", "-30"}, "Error: angle increment must be positive (got -30.000000)"},
      {{"-t", "800"}, "Error: angle increment 800.000000 degrees leaves no view of the full turn"},
      {{"-r", "7.5"}, "Error: rfan 7.500000 puts the source inside the field of view (rfan must exceed 7.500000)"},
      {{"-a", "1e30"}, "Error: center of rotation 1000000015047466219876688855040.000000 is outside the projection "
                       "width 16"},
      {{"-s", "nan"}, "Error: central slice nan is not a finite number"},
      {{"-s", "1e30"}, "Error: central slice 1000000015047466219876688855040.000000 is outside the projection "
                       "height 16"},
      {{"-c", "all"}, "Error: reconstruction region x size 0 is too small"},
      {{"-x", "99999"}, "Error: reconstruction region x origin 99999 is outside the grid of 16"},
      {{"-e", "-5"}, "Error: reconstruction region z size -5 is too small"},
      {{"-e", "0"}, "Error: reconstruction region z size 0 is too small"},
      {{"-q", "-u", "0"}, "Error: kernel length must be at least 1 (got 0)"},
      {{"-q", "-u", "-3"}, "Error: kernel length must be at least 1 (got -3)"},
      {{"-l", "two", "-t", "30"}, "Error: file increment must be at least 1 (got 0)"},
      {{"-p", "-a", "-6"}, "Error: width-truncated data needs the center of rotation on the detector row (center "
                           "-6.000000)"},
  };
  RpcServer server;
  for (const auto& c : cases) {
    const size_t before = server.calls().size();
    korvan(server, c.options);
    EXPECT_EQ(lastLogged(), c.message) << c.options[0] << " " << c.options[1];
    EXPECT_EQ(finalStates(server, before), std::vector<std::string>{"error"}) << c.options[0];
  }
}

// Valid inputs that go ahead: a first file number that is not a number (file
// 0), a pattern with a precision, a wide fan (the source between the field
// of view and the grid's corners), a step beyond a full turn (one view), a
// height reaching past the detector (progress still ends at 1).
TEST_F(BadArguments, UnusualButValidValuesReconstruct) {
  const std::vector<std::vector<std::string>> rows = {
      {"-f", "first"}, {"-i", "p%.1d.vff"}, {"-r", "9"}, {"-t", "400"}, {"-e", "40"}};
  RpcServer server;
  for (const auto& options : rows) {
    const size_t before = server.calls().size(), progressBefore = progressReports(server).size();
    korvan(server, options);
    EXPECT_EQ(finalStates(server, before), std::vector<std::string>{"done"}) << options[0] << " " << options[1];
    EXPECT_EQ(info("out.vff").exitStatus, 0) << options[0];
    const std::vector<double> progress = progressReports(server);
    ASSERT_GE(progress.size(), progressBefore + 2) << options[0];
    // The last view's report, before the slab's closing 1.
    EXPECT_NEAR(progress[progress.size() - 2], 1.0, 1e-6) << options[0];
  }
}

TEST_F(BadArguments, BinFactorsOutsideTheProjectionAreRefused) {
  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"-j", "wide"}, "Error: y bin size must be at least 1 (got 0)"},
      {{"-k", "-2"}, "Error: z bin size must be at least 1 (got -2)"},
      {{"-j", "9"}, "Error: projections of 16 x 16 are too small for bin sizes 9 x 1"},
      {{"-k", "2147483647"}, "Error: projections of 16 x 16 are too small for bin sizes 1 x 2147483647"},
  };
  RpcServer server;
  for (const auto& c : cases) {
    const size_t before = server.calls().size();
    korvan(server, c.options);
    EXPECT_EQ(lastLogged(), c.message) << c.options[0] << " " << c.options[1];
    EXPECT_EQ(finalStates(server, before), std::vector<std::string>{"error"}) << c.options[0];
  }
}

// ---------------------------------------------------------------------------
// Where the output goes

TEST_F(OutputPlace, MissingDirectoryOrAFileInThePathIsRefusedBeforeReading) {
  testutil::writeFile(dir_.file("plain"), "a file, not a directory");
  RpcServer server;
  for (const std::string out : {"missing/out.vff", "plain/out.vff"}) {
    const size_t before = server.calls().size();
    ProcessResult r = korvan(server, {"-o", out});
    EXPECT_EQ(lastLogged(), "Error: could not open outfile " + out + "\n");
    EXPECT_EQ(finalStates(server, before), std::vector<std::string>{"error"});
    EXPECT_EQ(r.out.find("Reading header"), std::string::npos);
  }
}

TEST_F(OutputPlace, ReadOnlyDirectoryIsRefused) {
  SmallDisk disk(dir_.file("ro"), MS_RDONLY, "size=64k");
  if (!disk.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
  RpcServer server;
  korvan(server, {"-o", "ro/out.vff"});
  EXPECT_EQ(lastLogged(), "Error: could not open outfile ro/out.vff\n");
  EXPECT_EQ(finalStates(server), std::vector<std::string>{"error"});
}

// A disk of 4 KiB: the 16-bit volume of 16 x 16 x 16 voxels (8 KiB) does not
// fit, nor does the chunk file of a run in two slabs. Without a tmpfs the
// same limit comes from the file size limit, with its signal ignored.
TEST_F(OutputPlace, FullDiskRemovesTheUnfinishedVolumeAndChunkFile) {
  SmallDisk disk(dir_.file("small"), 0, "size=4k");
  const std::string limits = disk.mounted() ? "true" : "ulimit -f 8; trap '' XFSZ";
  const std::string out = disk.mounted() ? "small/out.vff" : "out.vff";
  testutil::writeFile(dir_.file(out), "an older volume");

  ProcessResult r = limitedKorvan(limits, out);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(lastLogged(), "Error: could not write " + out + " (disk full?)");
  EXPECT_NE(r.err.find("Error: could not write " + out + " (disk full?)\n"), std::string::npos);
  EXPECT_EQ(readFile(dir_.file(out)), "an older volume");

  r = limitedKorvan(limits, out, std::to_string(kWidth * kWidth * 4 * 8));
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(lastLogged().rfind("Error: could not write chunk file " + out + ".korvan-chunk-", 0), 0u) << lastLogged();
  EXPECT_EQ(readFile(dir_.file(out)), "an older volume");
  EXPECT_TRUE(testutil::korvanLeftovers(dir_.file(disk.mounted() ? "small" : "")).empty());
}

// Killed by the file size limit in the middle of the volume: nothing could
// clean up. The volume the user had stays in place; the unfinished one is
// left under a name that says so, and does not pass for complete.
TEST_F(OutputPlace, RunKilledWhileWritingLeavesTheEarlierVolumeInPlace) {
  testutil::writeFile(dir_.file("out.vff"), "an older volume");
  ProcessResult r = limitedKorvan("ulimit -f 8", "out.vff");
  EXPECT_EQ(r.exitStatus, 128 + SIGXFSZ);
  EXPECT_EQ(readFile(dir_.file("out.vff")), "an older volume");
  const std::vector<std::string> left = testutil::korvanLeftovers(dir_.path());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("out.vff.korvan-unfinished-", 0), 0u) << left[0];
  ProcessResult shown = info(left[0]);
  EXPECT_EQ(shown.exitStatus, 3);
  EXPECT_NE(shown.out.find("TRUNCATED: header says 4096 samples, file holds "), std::string::npos) << shown.out;
}

// Nothing the user had is lost: an output path naming an input is refused
// before anything is written, and the chunk file of a run in slabs never
// takes the name of a file that exists.
TEST_F(OutputPlace, OutputPathsNamingInputsAreRefusedAndTheInputsKept) {
  RpcServer server;
  const std::string projection = readFile(view(3));
  const struct {
    std::vector<std::string> args;
    std::string message;
  } rows[] = {
      {{"-o", "p3.vff"}, "Error: outfile p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-o", "./p3.vff"},
       "Error: outfile ./p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-b", "p3.vff"}, "Error: bytefile p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-b", "out.vff"}, "Error: outfile out.vff and bytefile out.vff are the same file; give them different names"},
  };
  for (const auto& row : rows) {
    const size_t before = server.calls().size();
    ProcessResult r = korvan(server, row.args);
    EXPECT_EQ(lastLogged(), row.message);
    EXPECT_NE(r.err.find(row.message + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(finalStates(server, before), std::vector<std::string>{"error"}) << row.message;
    EXPECT_EQ(readFile(view(3)), projection) << row.message;
  }
}

TEST_F(OutputPlace, ChunkFileLeavesAUsersFileOfItsOldNameAlone) {
  testutil::writeFile(dir_.file("out.vff.0"), "the user's file");
  RpcServer server;
  ProcessResult r = korvan(server, {}, std::to_string(kWidth * kWidth * 4 * 8));
  EXPECT_NE(r.out.find("/2)\n"), std::string::npos);
  EXPECT_EQ(finalStates(server), std::vector<std::string>{"done"});
  EXPECT_EQ(readFile(dir_.file("out.vff.0")), "the user's file");
  EXPECT_TRUE(testutil::korvanLeftovers(dir_.path()).empty());
  EXPECT_EQ(info("out.vff").exitStatus, 0);
}

// ---------------------------------------------------------------------------
// Files that change while the reconstruction runs. A memory limit of eight
// slices splits the volume into two slabs gathered in the chunk file.

TEST_F(MidRunFailure, ViewCutShortForALaterSlabRemovesTheChunkFile) {
  RpcServer server;
  // The last two rows are needed by the second slab only.
  const std::string whole = readFile(view(5));
  testutil::writeFile(view(5), whole.substr(0, whole.size() - 2 * kWidth * 4));
  ProcessResult r = korvan(server, {}, std::to_string(kWidth * kWidth * 4 * 8));
  EXPECT_NE(r.out.find("/2)\n"), std::string::npos);
  EXPECT_EQ(lastLogged(), "Error: end of input file reached!!!");
  EXPECT_EQ(finalStates(server), std::vector<std::string>{"error"});
  // The first slab was reconstructed and stored before the failure.
  const std::vector<double> progress = progressReports(server);
  ASSERT_FALSE(progress.empty());
  EXPECT_GT(progress.back(), 0.5);
  EXPECT_TRUE(testutil::korvanLeftovers(dir_.path()).empty());
  EXPECT_EQ(readFile(dir_.file("out.vff")), "");
}

TEST_F(MidRunFailure, ViewDeletedAfterTheCheckRemovesTheChunkFile) {
  // Each report takes the server 0.05 s, so the second slab reaches the
  // last view more than half a second after the chunk file appears.
  RpcServer server({"--delay", "0.05"});
  const std::string last = view(kViews - 1);
  const int pid = testutil::startProcess(
      {testutil::korvanBinary(), "-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff", "-U", server.url(), "-P", "5"},
      {{"KORVAN_CONFIG", config(std::to_string(kWidth * kWidth * 4 * 8))}}, dir_.path(), dir_.file("stdout"),
      dir_.file("stderr"));
  bool deleted = false;
  for (int i = 0; i < 3000 && !deleted; ++i) {  // at most 30 s
    if (!testutil::korvanLeftovers(dir_.path()).empty()) deleted = ::unlink(last.c_str()) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(testutil::waitProcess(pid, 60), 0);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(lastLogged(), "Error: could not open infile p11.vff");
  EXPECT_EQ(finalStates(server), std::vector<std::string>{"error"});
  EXPECT_TRUE(testutil::korvanLeftovers(dir_.path()).empty());
  EXPECT_EQ(readFile(dir_.file("out.vff")), "");
  EXPECT_EQ(readFile(dir_.file("stderr")), "Error: could not open infile p11.vff\n");
}

// A worker stopped by the server or an operator (SIGTERM, SIGINT, SIGHUP)
// sends no final report, but takes its chunk file with it.
TEST_F(MidRunFailure, StopSignalRemovesTheChunkFile) {
  RpcServer server({"--delay", "0.05"});
  const int pid = testutil::startProcess(
      {testutil::korvanBinary(), "-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff", "-U", server.url(), "-P", "5"},
      {{"KORVAN_CONFIG", config(std::to_string(kWidth * kWidth * 4 * 8))}}, dir_.path(), dir_.file("stdout"),
      dir_.file("stderr"));
  bool stopped = false;
  for (int i = 0; i < 3000 && !stopped; ++i) {  // at most 30 s
    if (!testutil::korvanLeftovers(dir_.path()).empty()) stopped = kill(pid, SIGTERM) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(testutil::waitProcess(pid, 60), 128 + SIGTERM);
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(testutil::korvanLeftovers(dir_.path()).empty());
  EXPECT_EQ(readFile(dir_.file("out.vff")), "");
  EXPECT_TRUE(finalStates(server).empty());
}

TEST_F(MidRunFailure, OffsetErrorEndsWithStatus255AndNoFinalReport) {
  RpcServer server;
  // A centre of rotation near the right end of a row twice the detector's
  // width puts raw column 0 before the start of the FFT buffer.
  korvan(server, {"-a", "30"}, std::to_string(kWidth * kWidth * 4 * 8), 255);
  EXPECT_EQ(lastLogged(), "Internal array offset error.  Center of rotation value may be incorrect.\n");
  EXPECT_TRUE(finalStates(server).empty());
  EXPECT_TRUE(testutil::korvanLeftovers(dir_.path()).empty());
}

// That end skips the exit handlers, so the loop removes the chunk file
// itself: here the chunk file of an earlier slab exists when it happens.
TEST(OffsetErrorDeathTest, RemovesTheChunkFileOfEarlierSlabs) {
  TempDir dir;
  setenv("KORVAN_CONFIG", testutil::writeConfig(dir, dir.file("korvan.log")).c_str(), 1);
  const std::string outFile = dir.file("out.vff");
  ReconParams p;
  initReconParams(p);
  std::vector<float> voxels(4, 1.0f), slice(4, 0.0f);
  p.xSize = p.ySize = 2;
  p.zSize = 1;
  p.nChunks = 2;
  p.chunkIndex = 0;
  p.volume = voxels.data();
  p.floatSlice = slice.data();
  writeSlab(p, {outFile.c_str(), nullptr, nullptr, "", ""});
  ASSERT_EQ(testutil::korvanLeftovers(dir.path()).size(), 1u);

  p.zprojSize = 1;
  p.filterSize = 8;
  p.filterSizeHalf = 4;
  p.axisUser = p.axis = 6.0f;
  EXPECT_EXIT(reconstructSlabFft(p, "p%d.vff", {}), testing::ExitedWithCode(255), "");
  EXPECT_TRUE(testutil::korvanLeftovers(dir.path()).empty());
  unsetenv("KORVAN_CONFIG");
}

// ---------------------------------------------------------------------------
// A server that misbehaves never stops the reconstruction.

TEST_F(BrokenServer, FaultAndNonIntegerRepliesAreIgnored) {
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--fault-all"}, std::vector<std::string>{"--status-reply", "string"}}) {
    RpcServer server(options);
    ProcessResult r = korvan(server, {});
    EXPECT_EQ(r.out.find("Error"), std::string::npos) << options[0];
    EXPECT_EQ(finalStates(server), std::vector<std::string>{"done"}) << options[0];
    EXPECT_EQ(progressReports(server).size(), kViews + 2u) << options[0];
    EXPECT_EQ(info("out.vff").exitStatus, 0) << options[0];
  }
}

// Replies that are not HTTP, and connections closed without a reply, fail
// every call: each report prints its failure and the run completes. (The
// client library sends a request once more when the connection closes
// unanswered.)
TEST_F(BrokenServer, GarbageOrNoReplyFailsEveryCallAndTheRunCompletes) {
  for (const std::string answer : {"garbage", "close"}) {
    RpcServer server({"--answer", answer});
    ProcessResult r = korvan(server, {});
    size_t failures = 0;
    for (size_t at = r.out.find("Error in setJobStatus call!!\n"); at != std::string::npos;
         at = r.out.find("Error in setJobStatus call!!\n", at + 1))
      ++failures;
    EXPECT_EQ(failures, kViews + 5u) << answer;  // setup x2, slab start and end, cleanup, the views
    EXPECT_NE(r.out.find("Error occured in report_child_pid()!\n"), std::string::npos) << answer;
    const std::string last = "Error occured in report_done()!n";
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), last.size())), last) << answer;
    EXPECT_EQ(finalStates(server), std::vector<std::string>(answer == "close" ? 2 : 1, "done")) << answer;
    EXPECT_EQ(info("out.vff").exitStatus, 0) << answer;
    EXPECT_NE(readFile(dir_.file("korvan.log")).find(": process 5 finished.\n"), std::string::npos) << answer;
  }
}

// A server that takes the connection and never answers: each report waits
// its timeout once, prints its failure as for an unreachable server, and
// the run completes. Three views and no job number keep the reports few.
TEST_F(BrokenServer, SilentServerCostsEachReportItsTimeoutOnce) {
  RpcServer server({"--answer", "silent"});
  testutil::writeFile(dir_.file("korvan.ini"), "[SOFTWARE\\ALVERO\\ReconServer]\nLogFile=" + dir_.file("korvan.log") +
                                                   "\n[SOFTWARE\\ALVERO\\Recon]\nReportTimeout=1\n");
  ProcessResult r = testutil::runProcess(
      {testutil::korvanBinary(), "-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff", "-t", "120", "-U", server.url()},
      {{"KORVAN_CONFIG", dir_.file("korvan.ini")}}, "", 60, dir_.path());
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitStatus, 0);
  const auto count = [&r](const std::string& text) {
    size_t n = 0;
    for (size_t at = r.out.find(text); at != std::string::npos; at = r.out.find(text, at + 1)) ++n;
    return n;
  };
  // Setup twice, slab start and end, the three views and cleanup; the three
  // timing texts of the log; the end state.
  EXPECT_EQ(count("Error in setJobStatus call!!\n"), 8u);
  EXPECT_EQ(count("Error occured in report_error()!\n"), 3u);
  EXPECT_EQ(count("Error occured in report_done()!n"), 1u);
  EXPECT_EQ(server.calls("setJobStatus").size(), 9u);  // each sent once
  EXPECT_EQ(server.calls("setErrorMessage").size(), 3u);
  EXPECT_EQ(info("out.vff").exitStatus, 0);
}

TEST_F(BrokenServer, SlowServerReceivesEveryReportInOrder) {
  RpcServer server({"--delay", "0.2"});
  const auto start = std::chrono::steady_clock::now();
  korvan(server, {"-t", "60"});  // six views
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::vector<std::string> calls = server.calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), "setErrorMessage\t[\"process 5 started on node 0...\"]");
  EXPECT_EQ(calls.back(), "setJobStatus\t[5, [\"done\", 1.0]]");
  const std::vector<double> progress = progressReports(server);
  ASSERT_EQ(progress.size(), 8u);
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1], progress[i]);
  EXPECT_EQ(progress.back(), 1.0);
  EXPECT_GE(seconds, 0.2 * calls.size());
  EXPECT_EQ(info("out.vff").exitStatus, 0);
}

}  // namespace
