// Bad input and faults around a run: the message, the end state reported, the files left (docs/ROBUSTNESS.md).
#include <gtest/gtest.h>
#include <signal.h>

#include <unistd.h>

#include <regex>

#include "support/testutil.h"

using namespace testutil;

namespace {

constexpr int kWidth = 16, kViews = 12;  // 16 x 16 detector, a full turn in steps of 30 degrees
const std::string kTwoSlabs = std::to_string(kWidth * kWidth * 4 * 8);  // memory for eight slices
const std::string kGeometry = "center_of_rotation=7.5;\ncentral_slice=7.5;\nrfan=64;\nangle_increment=30;";
const std::vector<std::string> kRun = {"-i", "p%d.vff", "-f", "0", "-v", "-o", "out.vff"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
  return a.insert(a.end(), b.begin(), b.end()), a;
}

// One view: a cylinder's smooth projection about the axis column 7.5, with a NaN and an infinity if asked.
std::string viewFile(bool notFinite = false) {
  std::vector<double> samples(kWidth * kWidth);
  for (int i = 0; i < kWidth * kWidth; ++i) samples[i] = std::max(0.0, 1 - std::pow(i % kWidth - 7.5, 2) / 36);
  if (notFinite) samples[7 * kWidth + 7] = NAN, samples[8 * kWidth + 9] = INFINITY;
  return vffFile({kWidth, kWidth}, 32, {kGeometry}, samples);
}

class Robustness : public ::testing::Test {
 protected:
  void SetUp() override { writeSeries(); }
  void writeSeries() { for (int v = 0; v < kViews; ++v) writeFile(view(v), viewFile()); }
  std::string view(int v) const { return dir_.file("p" + std::to_string(v) + ".vff"); }
  auto lastLogged() const { return KorvanRun{0, {}, {}, logTexts(readFile(dir_.file("korvan.log")))}.lastLogged(); }

  TempDir dir_;
  RpcServer server_;
};

using Refusals = Robustness;
using OutputPlace = Robustness;
using MidRunFailure = Robustness;
using BrokenServer = Robustness;

}  // namespace

// A refusal is logged last and on standard error, ends "error", writes no output; a valid run ends "done", complete.
// No user's file changes, no chunk file stays. A row may replace view (content), cut bytes off it or remove it (-1).
TEST_F(Refusals, EachRunEndsInErrorOrDoneLeavingTheUsersFiles) {
  const auto header = [](std::string size) { return "ncaa\nsize=" + size + ";\nbits=16;\n" + kGeometry + "\n\f\n"; };
  const struct {  // message empty: the run goes ahead
    std::vector<std::string> args;
    std::string message;
    int view = -1;
    std::string content;
    long cut = 0;
    bool slabs = false;
  } rows[] = {
      {{}, "Error: p0.vff has no VFF header end (form feed) before the end of the file", 0, ""},
      {{}, "Error: p0.vff: size= must give two positive numbers, got '0 0'", 0, header("0 0")},
      {{}, "Error: working projection width of 2147483647 columns exceeds the limit of 65536", 0,
       header("2147483647 2147483647")},
      {{}, "Error: end of input file reached!!!", 4, "", 10},
      {{}, "Error: unable to open p7.vff.\nNot enough input files to perform reconstruction.", 7, "", -1},
      {{}, "Error: end of input file reached!!!", 5, "", 2 * kWidth * 4, true},  // rows only the second slab reads
      {{"-s", "1e30"},
       "Error: central slice 1000000015047466219876688855040.000000 is outside the projection height 16"},
      {{"-k", "-2"}, "Error: z bin size must be at least 1 (got -2)"},
      {{"-o", "plain/out.vff"}, "Error: could not open outfile plain/out.vff\n"},
      {{"-o", "./p3.vff"},
       "Error: outfile ./p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-b", "p3.vff"}, "Error: bytefile p3.vff is the projection p3.vff of the input series; give it another name"},
      {{"-b", "out.vff"}, "Error: outfile out.vff and bytefile out.vff are the same file; give them different names"},
      // Valid: file 0, three-digit precision, source between FOV and grid corners, one view, height past the
      // detector, slabs beside a user's file of the chunk file's old name.
      {{"-f", "first"}}, {{"-i", "p%.001d.vff"}}, {{"-r", "9"}}, {{"-t", "400"}}, {{"-e", "40"}},
      {{}, "", -1, "", 0, true},
      {{"-w", "s%d.vff"}, "", 4, viewFile(true)},  // NaN, infinity: counted, left out of min and max, 0 in outputs
  };
  writeFile(dir_.file("plain"), "a file, not a directory");
  writeFile(dir_.file("out.vff.0"), "the user's file");
  const std::string projection = readFile(view(3));
  for (const auto& row : rows) {
    const std::string& m = row.message;
    writeSeries();
    const std::string whole = readFile(view(std::max(row.view, 0)));
    if (row.cut < 0) std::remove(view(row.view).c_str());
    else if (row.view >= 0) writeFile(view(row.view), row.cut ? whole.substr(0, whole.size() - row.cut) : row.content);
    std::remove(dir_.file("out.vff").c_str());
    RunOptions o;
    o.memoryLimit = row.slabs ? kTwoSlabs : "", o.server = &server_;
    const KorvanRun r = runKorvan(dir_.path(), plus(kRun, plus({"-P", "5"}, row.args)), o);
    const std::vector<double> p = progress(r.calls);
    EXPECT_EQ(finalStates(r.calls), std::vector<std::string>{m.empty() ? "done" : "error"}) << m << r.out;
    EXPECT_TRUE(readFile(view(3)) == projection && readFile(dir_.file("out.vff.0")) == "the user's file" &&
                korvanLeftovers(dir_.path()).empty()) << m;
    if (!m.empty()) {  // options are refused before any view is read; a later slab after the first was stored
      EXPECT_TRUE(r.lastLogged() == m && r.err.find(m) != std::string::npos && readFile(dir_.file("out.vff")).empty() &&
                  (!row.slabs || p.back() > 0.5) &&
                  ((row.view >= 0 && row.cut >= 0) || r.out.find("Reading file") == std::string::npos)) << m << r.err;
      continue;
    }
    const view::Volume v = readVff(dir_.file("out.vff"));
    EXPECT_TRUE(v.complete() && p.size() >= 2 && std::abs(p[p.size() - 2] - 1) < 1e-6);  // then the slab's 1
    EXPECT_EQ(r.out.find("/2)\n") != std::string::npos, row.slabs) << r.out;
    const std::regex warning("Warning: [1-9][0-9]* voxels are not finite numbers \\(NaN or infinite projection "
                             "samples\\); they are left out of min and max and written as 0");
    EXPECT_EQ(std::count_if(r.log.begin(), r.log.end(), [&](auto& t) { return std::regex_match(t, warning); }),
              row.content.empty() ? 0 : 1);
    if (row.content.empty()) continue;
    const double low = std::stod(*v.find("min")), high = std::stod(*v.find("max"));
    EXPECT_TRUE(std::isfinite(low) && high < 1e6 && high > 0.05 && view::statistics(v.values).max >= 32766) << high;
    for (double x : readVff(dir_.file("s7.vff")).values) ASSERT_TRUE(std::isfinite(x));
  }
}

// 4 KiB (a file size limit, its signal ignored: a full disk) hold neither volume nor chunk file; killed while
// writing, the unfinished volume is left under a name that says so, incomplete. The earlier volume stays.
TEST_F(OutputPlace, FullDiskOrKillWhileWritingKeepsTheEarlierVolume) {
  const struct { std::string limits, memoryLimit, message, left; int status; } rows[] = {  // message, left: prefixes
      {"ulimit -f 8; trap '' XFSZ", "", "Error: could not write out.vff (disk full?)", "", 0},
      {"ulimit -f 8; trap '' XFSZ", kTwoSlabs, "Error: could not write chunk file out.vff.korvan-chunk-", "", 0},
      {"ulimit -f 8", "", "", "out.vff.korvan-unfinished-", 128 + SIGXFSZ},
  };
  for (const auto& row : rows) {
    writeFile(dir_.file("out.vff"), "an older volume");
    const std::string config = writeConfig(dir_.path(), dir_.file("korvan.log"), row.memoryLimit);
    const std::string run = row.limits + "; exec " + korvanBinary() + " -i p%d.vff -f 0 -v -o out.vff";
    const ProcessResult r = runProcess({"/bin/sh", "-c", run}, {{"KORVAN_CONFIG", config}}, "", 60, dir_.path());
    EXPECT_TRUE(r.exitStatus == row.status && r.err.find(row.message) != std::string::npos) << r.exitStatus << r.err;
    EXPECT_EQ(lastLogged().rfind(row.message, 0), 0u) << lastLogged();
    EXPECT_EQ(readFile(dir_.file("out.vff")), "an older volume");
    const std::vector<std::string> left = korvanLeftovers(dir_.path());
    ASSERT_EQ(left.size(), row.left.empty() ? 0u : 1u);
    EXPECT_TRUE(left.empty() || (left[0].rfind(row.left, 0) == 0 && readVff(dir_.file(left[0])).expected == 4096 &&
                                 !readVff(dir_.file(left[0])).complete())) << row.left;
  }
}

// A view deleted, or a stop signal (no final report), once the chunk file is watched (a report after it appeared):
// the file goes, out.vff is never written. 0.1 s per report keeps the last view a second away.
TEST_F(MidRunFailure, FailureUnderARunningJobRemovesTheChunkFile) {
  const struct { std::function<bool(int pid)> act; int status; std::string message; } rows[] = {
      {[&](int) { return ::unlink(view(kViews - 1).c_str()) == 0; }, 0, "Error: could not open infile p11.vff"},
      {[](int pid) { return kill(pid, SIGTERM) == 0; }, 128 + SIGTERM, ""},  // no final report
  };
  for (const auto& row : rows) {
    writeSeries();
    RpcServer server({"--delay", "0.1"});
    const int pid = startProcess(plus({korvanBinary()}, plus(kRun, {"-U", server.url()})),
                                 {{"KORVAN_CONFIG", writeConfig(dir_.path(), dir_.file("korvan.log"), kTwoSlabs)}},
                                 dir_.path(), dir_.file("stdout"), dir_.file("stderr"));
    size_t callsAtChunk = 0, acted = false;
    for (int i = 0; i < 3000 && !acted; ++i, usleep(10000)) {
      if (!callsAtChunk && !korvanLeftovers(dir_.path()).empty()) callsAtChunk = server.calls().size();
      acted = callsAtChunk && server.calls().size() > callsAtChunk && row.act(pid);
    }
    EXPECT_TRUE(waitProcess(pid, 60) == row.status && acted);
    EXPECT_EQ(readFile(dir_.file("stderr")), row.message + (row.message.empty() ? "" : "\n"));
    EXPECT_EQ(finalStates(server.calls()), std::vector<std::string>(row.message.empty() ? 0 : 1, "error"));
    EXPECT_TRUE(row.message.empty() || lastLogged() == row.message) << lastLogged();
    EXPECT_TRUE(korvanLeftovers(dir_.path()).empty() && readFile(dir_.file("out.vff")).empty());
  }
}

// Raw column 0 before the FFT buffer: status 255 at once, no final report; the chunk file goes all the same.
TEST_F(MidRunFailure, OffsetErrorEndsWithStatus255AndNoFinalReport) {
  RunOptions o;
  o.memoryLimit = kTwoSlabs, o.server = &server_, o.expectStatus = 255;
  const KorvanRun r = runKorvan(dir_.path(), plus(kRun, {"-a", "30"}), o);
  EXPECT_EQ(r.lastLogged(), "Internal array offset error.  Center of rotation value may be incorrect.\n");
  EXPECT_TRUE(finalStates(r.calls).empty() && korvanLeftovers(dir_.path()).empty());
}

// A misbehaving server never stops the run nor changes the log. Non-HTTP replies and closed connections fail every
// call (a closed one is sent again); a silent server costs each report its timeout once.
TEST_F(BrokenServer, EveryMisbehaviourLetsTheRunComplete) {
  // Seen: errors printed (all, failed status calls, pid, text, end reports); final states; progress reports.
  const struct { std::vector<std::string> options, args; std::string seen; const char* config = ""; } rows[] = {
      {{"--answer", "garbage"}, {"-P", "5"}, "24 17 1 5 1 done 14"},  // setup x2, slab start and end, cleanup, views
      {{"--answer", "close"}, {"-P", "5"}, "24 17 1 5 1 done done 28"},
      {{"--answer", "silent"}, {"-t", "120"}, "12 8 0 3 1 done 5", "ReportTimeout=1\n"},  // 3 views, 3 timing texts
  };
  for (const auto& row : rows) {
    RpcServer server(row.options);
    RunOptions o;
    o.server = &server, o.reconLines = row.config;
    const KorvanRun r = runKorvan(dir_.path(), plus(kRun, row.args), o);
    std::string seen;
    for (const char* text : {"Error", "setJobStatus call", "report_child_pid", "report_error", "report_done"}) {
      const std::regex re(text);
      seen += std::to_string(std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), re), {})) + " ";
    }
    for (const std::string& state : finalStates(r.calls)) seen += state + " ";
    const std::vector<double> p = progress(r.calls);
    EXPECT_EQ(seen + std::to_string(p.size()), row.seen) << row.options[0];
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()) && finalStates({r.calls.back()}).size() == 1) << r.calls.back();
    EXPECT_TRUE(r.lastLogged().rfind("Backproject speed = ", 0) == 0 && readVff(dir_.file("out.vff")).complete());
  }
}
