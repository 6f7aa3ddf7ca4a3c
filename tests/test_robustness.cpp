// Bad input and faults around a run, on a tiny series: the message, the end
// state the server hears and the files left behind (docs/ROBUSTNESS.md).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <regex>
#include <thread>

#include "backproject/backproject.h"
#include "host/host.h"
#include "support/testutil.h"

using namespace testutil;

namespace {

constexpr int kWidth = 16, kViews = 12;  // 16 x 16 detector, a full turn in steps of 30 degrees
const std::string kTwoSlabs = std::to_string(kWidth * kWidth * 4 * 8);  // memory for eight slices

// One view: a cylinder's smooth projection about the axis column 7.5.
std::string viewFile(bool notFinite = false) {
  std::vector<double> samples;
  for (int i = 0; i < kWidth * kWidth; ++i) samples.push_back(std::max(0.0, 1.0 - std::pow(i % kWidth - 7.5, 2) / 36.0));
  if (notFinite) samples[7 * kWidth + 7] = NAN, samples[8 * kWidth + 9] = INFINITY;
  return vffFile({kWidth, kWidth}, 32, {"center_of_rotation=7.5;", "central_slice=7.5;", "rfan=64;", "angle_increment=30;"},
                 samples);
}

// A small tmpfs at `path` for the object's lifetime, where the system allows it.
struct SmallDisk {
  SmallDisk(const std::string& path, unsigned long flags, const char* options)
      : path(path), mounted(mkdir(path.c_str(), 0755) == 0 && mount("tmpfs", path.c_str(), "tmpfs", flags, options) == 0) {}
  ~SmallDisk() { mounted && umount2(path.c_str(), MNT_DETACH); }
  const std::string path;
  const bool mounted;
};

class Robustness : public ::testing::Test {
 protected:
  void SetUp() override { writeSeries(); }
  void writeSeries() {
    for (int v = 0; v < kViews; ++v) writeFile(view(v), viewFile());
  }
  std::string view(int v) const { return dir_.file("p" + std::to_string(v) + ".vff"); }

  // Job 5 on the series, reporting to the test's server unless `o` names one.
  KorvanRun korvan(const std::vector<std::string>& extra, RunOptions o = {}) {
    std::vector<std::string> args = {"-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff", "-P", "5"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!o.server) o.server = &server_;
    return runKorvan(dir_.path(), args, o);
  }

  // A run without a server, after the shell's `limits` (ulimit, trap).
  ProcessResult limitedKorvan(const std::string& limits, const std::string& out, const std::string& memoryLimit = "") {
    const std::string config = writeConfig(dir_.path(), dir_.file("korvan.log"), memoryLimit);
    return runProcess({"/bin/sh", "-c", limits + "; exec '" + korvanBinary() + "' -i 'p%d.vff' -f 0 -v -o '" + out + "'"},
                      {{"KORVAN_CONFIG", config}}, "", 60, dir_.path());
  }
  std::string lastLogged() const { return KorvanRun{0, "", "", logTexts(readFile(dir_.file("korvan.log")))}.lastLogged(); }

  TempDir dir_;
  RpcServer server_;
};

using Refusals = Robustness;
using OutputPlace = Robustness;
using MidRunFailure = Robustness;
using BrokenServer = Robustness;

}  // namespace

// A refusal is logged last and on standard error, ends the job "error" and
// never writes the output; a valid run ends "done" with a complete volume.
// Either way no file of the user's changes and no chunk file is left. A row
// may replace a view (content), cut bytes off it (cut > 0) or remove it
// (cut < 0), and may run in two slabs.
TEST_F(Refusals, EachRunEndsInErrorOrDoneLeavingTheUsersFiles) {
  const std::string geometry = "center_of_rotation=7.5;\ncentral_slice=7.5;\nrfan=64;\nangle_increment=30;\n";
  const auto header = [&](const std::string& entries) { return "ncaa\n" + entries + geometry + "\f\n"; };
  const struct {
    std::vector<std::string> args;
    std::string message;  // empty: the run goes ahead
    int view = -1;
    std::string content;
    long cut = 0;
    bool slabs = false;
  } rows[] = {
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
      {{"-a", "1e30"}, "Error: center of rotation 1000000015047466219876688855040.000000 is outside the projection width 16"},
      {{"-s", "1e30"}, "Error: central slice 1000000015047466219876688855040.000000 is outside the projection height 16"},
      {{"-p", "-a", "-6"}, "Error: width-truncated data needs the center of rotation on the detector row (center -6.000000)"},
      {{"-k", "-2"}, "Error: z bin size must be at least 1 (got -2)"},
      {{"-k", "2147483647"}, "Error: projections of 16 x 16 are too small for bin sizes 1 x 2147483647"},
      {{"-o", "missing/out.vff"}, "Error: could not open outfile missing/out.vff\n"},
      {{"-o", "plain/out.vff"}, "Error: could not open outfile plain/out.vff\n"},
      {{"-o", "ro/out.vff"}, "Error: could not open outfile ro/out.vff\n"},  // a read-only tmpfs, where one mounts
      {{"-o", "p3.vff"}, "Error: outfile p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-o", "./p3.vff"}, "Error: outfile ./p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-b", "p3.vff"}, "Error: bytefile p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-b", "out.vff"}, "Error: outfile out.vff and bytefile out.vff are the same file; give them different names"},
      // Valid: file number 0, a precision of three digits, the source between
      // the field of view and the grid's corners, one view, a height past the
      // detector, slabs beside a user's file of the chunk file's old name.
      {{"-f", "first"}}, {{"-i", "p%.001d.vff"}}, {{"-r", "9"}}, {{"-t", "400"}}, {{"-e", "40"}},
      {{}, "", -1, "", 0, true},
  };
  writeFile(dir_.file("plain"), "a file, not a directory");
  writeFile(dir_.file("out.vff.0"), "the user's file");
  const SmallDisk readOnly(dir_.file("ro"), MS_RDONLY, "size=64k");
  const std::string projection = readFile(view(3));
  for (const auto& row : rows) {
    if (row.args.size() > 1 && row.args[1] == "ro/out.vff" && !readOnly.mounted) continue;
    writeSeries();
    if (row.view >= 0) {
      const std::string whole = readFile(view(row.view));
      if (row.cut < 0) std::remove(view(row.view).c_str());
      if (row.cut >= 0) writeFile(view(row.view), row.cut ? whole.substr(0, whole.size() - row.cut) : row.content);
    }
    std::remove(dir_.file("out.vff").c_str());
    RunOptions o;
    o.memoryLimit = row.slabs ? kTwoSlabs : "";
    const KorvanRun r = korvan(row.args, o);
    const std::string& m = row.message;
    EXPECT_EQ(finalStates(r.calls), std::vector<std::string>{m.empty() ? "done" : "error"}) << m << row.args[0];
    EXPECT_EQ(readFile(view(3)), projection) << m;
    EXPECT_EQ(readFile(dir_.file("out.vff.0")), "the user's file") << m;
    EXPECT_TRUE(korvanLeftovers(dir_.path()).empty()) << m;
    const std::vector<double> p = progress(r.calls);
    if (m.empty()) {
      EXPECT_TRUE(readVff(dir_.file("out.vff")).complete()) << row.args[0];
      ASSERT_GE(p.size(), 2u) << row.args[0];
      EXPECT_NEAR(p[p.size() - 2], 1.0, 1e-6) << row.args[0];  // the last view's, before the slab's closing 1
      EXPECT_EQ(r.out.find("/2)\n") != std::string::npos, row.slabs);
      continue;
    }
    EXPECT_EQ(r.lastLogged(), m);
    EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir_.file("out.vff")), "") << m;
    // Options are refused before any view is read; a later slab after the first was stored.
    EXPECT_TRUE((row.view >= 0 && row.cut >= 0) || r.out.find("Reading file") == std::string::npos) << m;
    EXPECT_TRUE(!row.slabs || p.back() > 0.5) << m;
  }
}

// NaN and infinite samples: finite extremes and scales, the largest magnitude
// at the top of the 16-bit range, 0 in the float slices where not finite.
TEST_F(Refusals, NonFiniteSamplesLeaveExtremesAndScalesFinite) {
  writeFile(view(3), viewFile(true));
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

// A disk of 4 KiB holds neither the 8 KiB volume nor the chunk file of two
// slabs; without a tmpfs, the file size limit with its signal ignored.
TEST_F(OutputPlace, FullDiskRemovesTheUnfinishedVolumeAndChunkFile) {
  const SmallDisk disk(dir_.file("small"), 0, "size=4k");
  const std::string limits = disk.mounted ? "true" : "ulimit -f 8; trap '' XFSZ";
  const std::string out = disk.mounted ? "small/out.vff" : "out.vff";
  for (const std::string memoryLimit : {"", kTwoSlabs.c_str()}) {
    writeFile(dir_.file(out), "an older volume");
    const ProcessResult r = limitedKorvan(limits, out, memoryLimit);
    EXPECT_EQ(r.exitStatus, 0);
    const std::string message = memoryLimit.empty() ? "Error: could not write " + out + " (disk full?)"
                                                    : "Error: could not write chunk file " + out + ".korvan-chunk-";
    EXPECT_EQ(lastLogged().rfind(message, 0), 0u) << lastLogged();
    EXPECT_NE(r.err.find(message), std::string::npos);
    EXPECT_EQ(readFile(dir_.file(out)), "an older volume");
    EXPECT_TRUE(korvanLeftovers(dir_.file(disk.mounted ? "small" : "")).empty());
  }
}

// Killed while writing: the earlier volume stays; the unfinished one is left
// under a name that says so, and does not pass for complete.
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

// Once the chunk file of a job in two slabs appears (0.1 s per report keeps
// the last view a second away, also on a loaded machine): a view deleted, or
// a stop signal (no final report). The chunk file goes, out.vff is never written.
TEST_F(MidRunFailure, FailureUnderARunningJobRemovesTheChunkFile) {
  const struct {
    std::function<bool(int pid)> act;
    int status;
    const char* message;  // null: no final report
  } rows[] = {
      {[&](int) { return ::unlink(view(kViews - 1).c_str()) == 0; }, 0, "Error: could not open infile p11.vff"},
      {[](int pid) { return kill(pid, SIGTERM) == 0; }, 128 + SIGTERM, nullptr},
  };
  for (const auto& row : rows) {
    writeSeries();
    RpcServer server({"--delay", "0.1"});
    const int pid = startProcess({korvanBinary(), "-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff", "-U", server.url()},
                                 {{"KORVAN_CONFIG", writeConfig(dir_.path(), dir_.file("korvan.log"), kTwoSlabs)}},
                                 dir_.path(), dir_.file("stdout"), dir_.file("stderr"));
    bool acted = false;
    for (int i = 0; i < 3000 && !acted; ++i) {  // at most 30 s
      if (!korvanLeftovers(dir_.path()).empty()) acted = row.act(pid);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(acted);
    EXPECT_EQ(waitProcess(pid, 60), row.status);
    if (row.message) {
      EXPECT_EQ(lastLogged(), row.message);
      EXPECT_EQ(readFile(dir_.file("stderr")), std::string(row.message) + "\n");
    }
    EXPECT_EQ(finalStates(server.calls()), row.message ? std::vector<std::string>{"error"} : std::vector<std::string>{});
    EXPECT_TRUE(korvanLeftovers(dir_.path()).empty());
    EXPECT_EQ(readFile(dir_.file("out.vff")), "");
  }
}

// Raw column 0 before the FFT buffer: status 255, no final report. That end
// skips the exit handlers, so the loop removes the chunk file itself, also
// one an earlier slab wrote (made here in-process).
TEST_F(MidRunFailure, OffsetErrorEndsWithStatus255AndNoFinalReport) {
  RunOptions o;
  o.memoryLimit = kTwoSlabs;
  o.expectStatus = 255;
  const KorvanRun r = korvan({"-a", "30"}, o);
  EXPECT_EQ(r.lastLogged(), "Internal array offset error.  Center of rotation value may be incorrect.\n");
  EXPECT_TRUE(finalStates(r.calls).empty());
  EXPECT_TRUE(korvanLeftovers(dir_.path()).empty());

  ReconParams p;
  initReconParams(p);
  std::vector<float> voxels(4, 1.0f), slice(4, 0.0f);
  p.xSize = p.ySize = 2, p.zSize = 1, p.nChunks = 2, p.chunkIndex = 0;
  p.volume = voxels.data(), p.floatSlice = slice.data();
  const std::string outFile = dir_.file("in-process.vff");
  loggedEnd([&] {
    writeSlab(p, {outFile.c_str(), nullptr, nullptr, "", ""});
    if (korvanLeftovers(dir_.path()).size() != 1) std::exit(1);
    p.zprojSize = 1, p.filterSize = 8, p.filterSizeHalf = 4, p.axisUser = p.axis = 6.0f;
    reconstructSlabFft(p, "p%d.vff", {});
  }, 255);
  EXPECT_TRUE(korvanLeftovers(dir_.path()).empty());
}

// A misbehaving server never stops the run. Faults and non-integer replies
// are ignored; replies that are not HTTP and closed connections fail every
// call (a closed one is sent once more).
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
    RunOptions o;
    o.server = &server;
    const KorvanRun r = korvan({}, o);
    EXPECT_EQ(occurrences(r.out, "Error in setJobStatus call!!\n"), row.callFailures) << row.options[0];
    EXPECT_EQ(occurrences(r.out, "Error occured in report_child_pid()!\n"), row.callFailures ? 1 : 0);
    EXPECT_EQ(occurrences(r.out, "Error occured in report_done()!n"), row.callFailures ? 1 : 0);
    EXPECT_EQ(finalStates(r.calls), row.finals) << row.options[0];
    EXPECT_TRUE(row.callFailures || (progress(r.calls).size() == kViews + 2u && occurrences(r.out, "Error") == 0)) << r.out;
    EXPECT_TRUE(readVff(dir_.file("out.vff")).complete()) << row.options[0];
    EXPECT_EQ(r.log[r.log.size() - 3], "process 5 finished.");
  }
}

// Silent: each of 8 status reports, 3 timing texts and the end waits its timeout once.
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
  RunOptions o;
  o.server = &slow;
  const auto start = std::chrono::steady_clock::now();
  const KorvanRun r = korvan({"-t", "60"}, o);  // six views
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_FALSE(r.calls.empty());
  EXPECT_EQ(r.calls.front(), "setErrorMessage\tprocess 5 started on node 0...");
  EXPECT_EQ(r.calls.back(), "setJobStatus\t5\tdone\t1.0");
  const std::vector<double> p = progress(r.calls);
  ASSERT_EQ(p.size(), 8u);
  EXPECT_TRUE(std::is_sorted(p.begin(), p.end()) && p.back() == 1.0);
  EXPECT_GE(seconds, 0.2 * r.calls.size());
}
