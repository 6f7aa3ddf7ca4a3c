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
#include <functional>
#include <limits>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "backproject/backproject.h"
#include "host/host.h"
#include "support/testutil.h"

using namespace testutil;

namespace {

constexpr int kWidth = 16;  // detector columns and rows of the series
constexpr int kViews = 12;  // a full turn in steps of 30 degrees
const std::string kTwoSlabs = std::to_string(kWidth * kWidth * 4 * 8);  // memory for eight slices

// One view: a smooth projection of a cylinder about the axis column 7.5.
std::vector<double> viewSamples() {
  std::vector<double> samples;
  for (int r = 0; r < kWidth; ++r)
    for (int c = 0; c < kWidth; ++c) samples.push_back(std::max(0.0, 1.0 - (c - 7.5) * (c - 7.5) / 36.0));
  return samples;
}

std::string viewFile(const std::vector<double>& samples) {
  return vffFile({kWidth, kWidth}, 32,
                        {"center_of_rotation=7.5;", "central_slice=7.5;", "rfan=64;", "angle_increment=30;"}, samples);
}

// A small tmpfs at `path`, mounted for the object's lifetime when the system
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

class Robustness : public ::testing::Test {
 protected:
  void SetUp() override { writeSeries(); }
  void writeSeries() {
    for (int v = 0; v < kViews; ++v) writeFile(view(v), viewFile(viewSamples()));
  }
  std::string view(int v) const { return dir_.file("p" + std::to_string(v) + ".vff"); }

  // A run of the series as job 5, reporting to `server` (the test's own
  // when none is given), plus the given arguments.
  KorvanRun korvan(const std::vector<std::string>& extra, const std::string& memoryLimit = "", int status = 0,
                   const RpcServer* server = nullptr) {
    std::vector<std::string> args = {"-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff", "-P", "5"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunOptions o;
    o.server = server ? server : &server_;
    o.memoryLimit = memoryLimit;
    o.expectStatus = status;
    return runKorvan(dir_.path(), args, o);
  }

  // A run without a server through the shell, after `limits` (ulimit, trap).
  ProcessResult limitedKorvan(const std::string& limits, const std::string& out, const std::string& memoryLimit = "") {
    const std::string config = writeConfig(dir_.path(), dir_.file("korvan.log"), memoryLimit);
    return runProcess({"/bin/sh", "-c", limits + "; exec '" + korvanBinary() + "' -i 'p%d.vff' -f 0 -v -o '" + out + "'"},
                      {{"KORVAN_CONFIG", config}}, "", 60, dir_.path());
  }

  std::string lastLogged() const {
    const std::vector<std::string> texts = logTexts(readFile(dir_.file("korvan.log")));
    return texts.empty() ? "<nothing logged>" : texts.back();
  }

  // Starts a job in two slabs reporting to `server`, does `act` once the
  // chunk file appears, and returns the job's end status.
  int actOnChunkFile(const RpcServer& server, const std::function<bool(int pid)>& act) {
    const int pid = startProcess(
        {korvanBinary(), "-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff", "-U", server.url(), "-P", "5"},
        {{"KORVAN_CONFIG", writeConfig(dir_.path(), dir_.file("korvan.log"), kTwoSlabs)}}, dir_.path(),
        dir_.file("stdout"), dir_.file("stderr"));
    bool acted = false;
    for (int i = 0; i < 3000 && !acted; ++i) {  // at most 30 s
      if (!korvanLeftovers(dir_.path()).empty()) acted = act(pid);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(acted);
    return waitProcess(pid, 60);
  }

  TempDir dir_;
  RpcServer server_;
};

using Refusals = Robustness;
using OutputPlace = Robustness;
using MidRunFailure = Robustness;
using BrokenServer = Robustness;

}  // namespace

// Every input korvan refuses, and every file that fails under a run: the
// message is the last text logged, the server hears one end state, "error",
// no input changes, the output is never written and no chunk file is left.
// A row may first replace a view (content), cut bytes off its end (cut > 0)
// or remove it (cut < 0), and may run in two slabs.
TEST_F(Refusals, EachRefusalIsLoggedAndEndsTheJobInError) {
  const std::string geometry = "center_of_rotation=7.5;\ncentral_slice=7.5;\nrfan=64;\nangle_increment=30;\n";
  const auto header = [&](const std::string& entries) { return "ncaa\n" + entries + geometry + "\f\n"; };
  const struct {
    std::vector<std::string> args;
    std::string message;
    int view = -1;
    std::string content;
    long cut = 0;
    bool slabs = false;
  } rows[] = {
      // Projection files
      {{}, "Error: p0.vff has no VFF header end (form feed) before the end of the file", 0, ""},
      {{}, "Error: p0.vff: size= must give two positive numbers, got '0 0'", 0, header("size=0 0;\nbits=32;\n")},
      {{}, "Error: p0.vff: projections must have bits=16 or bits=32, got 64", 0, header("size=16 16;\nbits=64;\n")},
      {{}, "Error: working projection width of 100000 columns exceeds the limit of 65536", 0,
       header("size=100000 16;\nbits=32;\n")},
      {{}, "Error: working projection width of 2147483647 columns exceeds the limit of 65536", 0,
       header("size=2147483647 2147483647;\nbits=16;\n")},
      {{}, "Error: rfan 64.000000 puts the source inside the field of view (rfan must exceed 32767.500000)", 0,
       header("size=65536 16;\nbits=16;\n")},
      {{}, "Error: end of input file reached!!!", 4, "", 10},
      {{}, "Error: unable to open p7.vff.\nNot enough input files to perform reconstruction.", 7, "", -1},
      // The last two rows of view 5 are needed by the second slab only.
      {{}, "Error: end of input file reached!!!", 5, "", 2 * kWidth * 4, true},
      // Option values
      {{"-a", "1e30"},
       "Error: center of rotation 1000000015047466219876688855040.000000 is outside the projection width 16"},
      {{"-s", "1e30"},
       "Error: central slice 1000000015047466219876688855040.000000 is outside the projection height 16"},
      {{"-p", "-a", "-6"}, "Error: width-truncated data needs the center of rotation on the detector row (center -6.000000)"},
      {{"-k", "-2"}, "Error: z bin size must be at least 1 (got -2)"},
      {{"-k", "2147483647"}, "Error: projections of 16 x 16 are too small for bin sizes 1 x 2147483647"},
      // Where the output goes: nothing the user had is lost.
      {{"-o", "missing/out.vff"}, "Error: could not open outfile missing/out.vff\n"},
      {{"-o", "plain/out.vff"}, "Error: could not open outfile plain/out.vff\n"},
      {{"-o", "p3.vff"}, "Error: outfile p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-o", "./p3.vff"}, "Error: outfile ./p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-b", "p3.vff"}, "Error: bytefile p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-b", "out.vff"}, "Error: outfile out.vff and bytefile out.vff are the same file; give them different names"},
  };
  writeFile(dir_.file("plain"), "a file, not a directory");
  const std::string projection = readFile(view(3));
  for (const auto& row : rows) {
    writeSeries();
    if (row.view >= 0) {
      const std::string whole = readFile(view(row.view));
      if (row.cut < 0) std::remove(view(row.view).c_str());
      if (row.cut >= 0) writeFile(view(row.view), row.cut ? whole.substr(0, whole.size() - row.cut) : row.content);
    }
    std::remove(dir_.file("out.vff").c_str());
    const KorvanRun r = korvan(row.args, row.slabs ? kTwoSlabs : "");
    EXPECT_EQ(r.lastLogged(), row.message);
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    EXPECT_EQ(finalStates(r.calls), std::vector<std::string>{"error"}) << row.message;
    EXPECT_EQ(readFile(view(3)), projection) << row.message;
    EXPECT_EQ(readFile(dir_.file("out.vff")), "") << row.message;
    EXPECT_TRUE(korvanLeftovers(dir_.path()).empty()) << row.message;
    // Options are refused before any projection is read; a later slab
    // fails only after the first was reconstructed and stored.
    if (row.view < 0 || row.cut < 0) {
      EXPECT_EQ(r.out.find("Reading file"), std::string::npos) << row.message;
    }
    if (row.slabs) {
      EXPECT_GT(progress(r.calls).back(), 0.5);
    }
  }
}

// Valid inputs that go ahead: a first file number that is not a number (file
// 0), a pattern with a precision of three digits, a wide fan (the source between the field
// of view and the grid's corners), a step beyond a full turn (one view), a
// height reaching past the detector (progress still ends at 1).
TEST_F(Refusals, UnusualButValidValuesReconstruct) {
  const std::vector<std::vector<std::string>> rows = {
      {"-f", "first"}, {"-i", "p%.001d.vff"}, {"-r", "9"}, {"-t", "400"}, {"-e", "40"}};
  for (const auto& options : rows) {
    const KorvanRun r = korvan(options);
    EXPECT_EQ(finalStates(r.calls), std::vector<std::string>{"done"}) << options[0];
    EXPECT_TRUE(readVff(dir_.file("out.vff")).complete()) << options[0];
    const std::vector<double> p = progress(r.calls);
    ASSERT_GE(p.size(), 2u) << options[0];
    EXPECT_NEAR(p[p.size() - 2], 1.0, 1e-6) << options[0];  // the last view's, before the slab's closing 1
  }
}

// NaN and infinite samples: the extremes and scales stay finite, the largest
// magnitude still maps to the top of the 16-bit range, and the float slices
// carry 0 where the volume was not finite.
TEST_F(Refusals, NonFiniteSamplesLeaveExtremesAndScalesFinite) {
  std::vector<double> samples = viewSamples();
  samples[7 * kWidth + 7] = std::numeric_limits<double>::quiet_NaN();
  samples[8 * kWidth + 9] = std::numeric_limits<double>::infinity();
  writeFile(view(3), viewFile(samples));
  const KorvanRun r = korvan({"-w", "s%d.vff"});
  EXPECT_EQ(finalStates(r.calls), std::vector<std::string>{"done"});
  ASSERT_GE(r.log.size(), 2u);
  EXPECT_TRUE(std::regex_match(r.log[1], std::regex("Warning: [1-9][0-9]* voxels are not finite numbers \\(NaN or "
                                                    "infinite projection samples\\); they are left out of min and "
                                                    "max and written as 0")))
      << r.log[1];
  const view::Volume volume = readVff(dir_.file("out.vff"));
  const double minimum = std::stod(*volume.find("min")), maximum = std::stod(*volume.find("max"));
  EXPECT_TRUE(std::isfinite(minimum) && std::isfinite(maximum) && maximum > 0.05) << minimum << " " << maximum;
  EXPECT_GE(view::statistics(volume.values).max, 32766);
  for (double v : readVff(dir_.file("s7.vff")).values) ASSERT_TRUE(std::isfinite(v));
}

TEST_F(OutputPlace, ReadOnlyDirectoryIsRefused) {
  SmallDisk disk(dir_.file("ro"), MS_RDONLY, "size=64k");
  if (!disk.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
  const KorvanRun r = korvan({"-o", "ro/out.vff"});
  EXPECT_EQ(r.lastLogged(), "Error: could not open outfile ro/out.vff\n");
  EXPECT_EQ(finalStates(r.calls), std::vector<std::string>{"error"});
}

// A disk of 4 KiB: the 16-bit volume of 16 x 16 x 16 voxels (8 KiB) does not
// fit, nor does the chunk file of a run in two slabs. Without a tmpfs the
// same limit comes from the file size limit, with its signal ignored.
TEST_F(OutputPlace, FullDiskRemovesTheUnfinishedVolumeAndChunkFile) {
  SmallDisk disk(dir_.file("small"), 0, "size=4k");
  const std::string limits = disk.mounted() ? "true" : "ulimit -f 8; trap '' XFSZ";
  const std::string out = disk.mounted() ? "small/out.vff" : "out.vff";
  for (const std::string memoryLimit : {"", kTwoSlabs.c_str()}) {
    writeFile(dir_.file(out), "an older volume");
    const ProcessResult r = limitedKorvan(limits, out, memoryLimit);
    EXPECT_EQ(r.exitStatus, 0);
    const std::string message =
        memoryLimit.empty() ? "Error: could not write " + out + " (disk full?)" : "Error: could not write chunk file " + out + ".korvan-chunk-";
    EXPECT_EQ(lastLogged().rfind(message, 0), 0u) << lastLogged();
    EXPECT_NE(r.err.find(message), std::string::npos);
    EXPECT_EQ(readFile(dir_.file(out)), "an older volume");
    EXPECT_TRUE(korvanLeftovers(dir_.file(disk.mounted() ? "small" : "")).empty());
  }
}

// Killed by the file size limit in the middle of the volume: nothing could
// clean up. The volume the user had stays in place; the unfinished one is
// left under a name that says so, and does not pass for complete.
TEST_F(OutputPlace, RunKilledWhileWritingLeavesTheEarlierVolumeInPlace) {
  writeFile(dir_.file("out.vff"), "an older volume");
  EXPECT_EQ(limitedKorvan("ulimit -f 8", "out.vff").exitStatus, 128 + SIGXFSZ);
  EXPECT_EQ(readFile(dir_.file("out.vff")), "an older volume");
  const std::vector<std::string> left = korvanLeftovers(dir_.path());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("out.vff.korvan-unfinished-", 0), 0u) << left[0];
  view::Volume v;
  std::string error;
  ASSERT_TRUE(view::readVolume(dir_.file(left[0]), &v, &error)) << error;
  EXPECT_EQ(v.expected, 4096);
  EXPECT_FALSE(v.complete());
}

// The chunk file of a run in slabs never takes the name of a file that exists.
TEST_F(OutputPlace, ChunkFileLeavesAUsersFileOfItsOldNameAlone) {
  writeFile(dir_.file("out.vff.0"), "the user's file");
  const KorvanRun r = korvan({}, kTwoSlabs);
  EXPECT_NE(r.out.find("/2)\n"), std::string::npos);
  EXPECT_EQ(finalStates(r.calls), std::vector<std::string>{"done"});
  EXPECT_EQ(readFile(dir_.file("out.vff.0")), "the user's file");
  EXPECT_TRUE(korvanLeftovers(dir_.path()).empty());
  EXPECT_TRUE(readVff(dir_.file("out.vff")).complete());
}

// Files that change while the reconstruction runs, and stop signals: each
// report takes the server 0.05 s, so the second slab reaches the last view
// more than half a second after the chunk file appears (on a heavily loaded
// machine that can be too little). A stopped worker (SIGTERM, SIGINT,
// SIGHUP) sends no final report but takes its chunk file with it.
TEST_F(MidRunFailure, ViewDeletedAfterTheCheckRemovesTheChunkFile) {
  RpcServer server({"--delay", "0.05"});
  EXPECT_EQ(actOnChunkFile(server, [&](int) { return ::unlink(view(kViews - 1).c_str()) == 0; }), 0);
  EXPECT_EQ(lastLogged(), "Error: could not open infile p11.vff");
  EXPECT_EQ(readFile(dir_.file("stderr")), "Error: could not open infile p11.vff\n");
  EXPECT_EQ(finalStates(server.calls()), std::vector<std::string>{"error"});
  EXPECT_TRUE(korvanLeftovers(dir_.path()).empty());
  EXPECT_EQ(readFile(dir_.file("out.vff")), "");
}

TEST_F(MidRunFailure, StopSignalRemovesTheChunkFile) {
  RpcServer second({"--delay", "0.05"});
  EXPECT_EQ(actOnChunkFile(second, [](int pid) { return kill(pid, SIGTERM) == 0; }), 128 + SIGTERM);
  EXPECT_TRUE(korvanLeftovers(dir_.path()).empty());
  EXPECT_EQ(readFile(dir_.file("out.vff")), "");
  EXPECT_TRUE(finalStates(second.calls()).empty());
}

// A centre of rotation near the right end of a row twice the detector's
// width puts raw column 0 before the start of the FFT buffer: status 255,
// no final report. That end skips the exit handlers, so the loop removes the
// chunk file itself, also one of earlier slabs.
TEST_F(MidRunFailure, OffsetErrorEndsWithStatus255AndNoFinalReport) {
  const KorvanRun r = korvan({"-a", "30"}, kTwoSlabs, 255);
  EXPECT_EQ(r.lastLogged(), "Internal array offset error.  Center of rotation value may be incorrect.\n");
  EXPECT_TRUE(finalStates(r.calls).empty());
  EXPECT_TRUE(korvanLeftovers(dir_.path()).empty());

  const std::string outFile = dir_.file("in-process.vff");
  ReconParams p;
  initReconParams(p);
  std::vector<float> voxels(4, 1.0f), slice(4, 0.0f);
  p.xSize = p.ySize = 2;
  p.zSize = 1;
  p.nChunks = 2;
  p.chunkIndex = 0;
  p.volume = voxels.data();
  p.floatSlice = slice.data();
  setenv("KORVAN_CONFIG", writeConfig(dir_.path(), dir_.file("korvan.log")).c_str(), 1);
  writeSlab(p, {outFile.c_str(), nullptr, nullptr, "", ""});
  unsetenv("KORVAN_CONFIG");
  ASSERT_EQ(korvanLeftovers(dir_.path()).size(), 1u);
  p.zprojSize = 1;
  p.filterSize = 8;
  p.filterSizeHalf = 4;
  p.axisUser = p.axis = 6.0f;
  loggedEnd([&] { reconstructSlabFft(p, "p%d.vff", {}); }, 255);
  EXPECT_TRUE(korvanLeftovers(dir_.path()).empty());
}

// A server that misbehaves never stops the reconstruction. Faults and
// non-integer replies are ignored; replies that are not HTTP, and
// connections closed without a reply, fail every call, each report prints
// its failure (the client library sends a request once more when the
// connection closes unanswered).
TEST_F(BrokenServer, EveryMisbehaviourLetsTheRunComplete) {
  const struct {
    std::vector<std::string> options;
    int callFailures;  // "Error in setJobStatus call!!"
    std::vector<std::string> finals;
  } rows[] = {
      {{"--fault-all"}, 0, {"done"}},
      {{"--status-reply", "string"}, 0, {"done"}},
      {{"--answer", "garbage"}, kViews + 5, {"done"}},  // setup x2, slab start and end, cleanup, the views
      {{"--answer", "close"}, kViews + 5, {"done", "done"}},
  };
  for (const auto& row : rows) {
    RpcServer server(row.options);
    const KorvanRun r = korvan({}, "", 0, &server);
    EXPECT_EQ(occurrences(r.out, "Error in setJobStatus call!!\n"), row.callFailures) << row.options[0];
    EXPECT_EQ(occurrences(r.out, "Error occured in report_child_pid()!\n"), row.callFailures ? 1 : 0);
    EXPECT_EQ(occurrences(r.out, "Error occured in report_done()!n"), row.callFailures ? 1 : 0);
    EXPECT_EQ(finalStates(r.calls), row.finals) << row.options[0];
    if (!row.callFailures) {
      EXPECT_EQ(progress(r.calls).size(), kViews + 2u) << row.options[0];
    }
    EXPECT_TRUE(readVff(dir_.file("out.vff")).complete()) << row.options[0];
    EXPECT_EQ(r.log[r.log.size() - 3], "process 5 finished.");
    if (!row.callFailures) {
      EXPECT_EQ(r.out.find("Error"), std::string::npos) << row.options[0];
    }
  }

}

// Silent: each report waits its timeout once. Setup twice, slab start and
// end, the three views and cleanup; the three timing texts of the log; the
// end state. Each sent once.
TEST_F(BrokenServer, SilentServerCostsEachReportItsTimeoutOnce) {
  RpcServer silent({"--answer", "silent"});
  RunOptions o;
  o.server = &silent;
  o.reconLines = "ReportTimeout=1\n";
  const KorvanRun r = runKorvan(dir_.path(), {"-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff", "-t", "120"}, o);
  EXPECT_EQ(occurrences(r.out, "Error in setJobStatus call!!\n"), 8);
  EXPECT_EQ(occurrences(r.out, "Error occured in report_error()!\n"), 3);
  EXPECT_EQ(occurrences(r.out, "Error occured in report_done()!n"), 1);
  EXPECT_EQ(callsOf(r.calls, "setJobStatus").size(), 9u);
  EXPECT_EQ(messages(r.calls).size(), 3u);

}

TEST_F(BrokenServer, SlowServerReceivesEveryReportInOrder) {
  RpcServer slow({"--delay", "0.2"});
  const auto start = std::chrono::steady_clock::now();
  const KorvanRun r = korvan({"-t", "60"}, "", 0, &slow);  // six views
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_FALSE(r.calls.empty());
  EXPECT_EQ(r.calls.front(), "setErrorMessage\tprocess 5 started on node 0...");
  EXPECT_EQ(r.calls.back(), "setJobStatus\t5\tdone\t1.0");
  const std::vector<double> p = progress(r.calls);
  ASSERT_EQ(p.size(), 8u);
  EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
  EXPECT_EQ(p.back(), 1.0);
  EXPECT_GE(seconds, 0.2 * r.calls.size());
}
