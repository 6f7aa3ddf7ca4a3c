// What only a whole process shows: console texts and their order (tests/data/console), the log, the server's calls.
#include <gtest/gtest.h>

#include <regex>

#include "support/testutil.h"

using namespace testutil;

namespace {

const std::string kBanner = "\n\nkorvan version 1.13(WIN32)\n";
std::string console(const std::string& name) { return readFile(testDataDir() + "/console/" + name); }

std::vector<std::string> referenceRun(std::vector<std::string> extra) {
  extra.insert(extra.begin(), {"-i", testDataDir() + "/shepp64-full/p%d.vff", "-f", "0", "-o", "out.vff", "-v", "-z",
                               "31", "-e", "2"});
  return extra;
}

}  // namespace

// Runs that end early beside a bare p1.vff, a parameter file and an older out.vff (never emptied): standard output,
// error (null: not checked) and the log (no file where nothing is logged).
TEST(Console, TextsAndLogOfRunsThatEndEarly) {
  const std::string usage = console("usage.txt"), afterHeader = kBanner + "Reading header from file p1.vff\n" +
                                                                usage.substr(kBanner.size());
  const std::vector<std::string> run = {"-i", "p%d.vff", "-f", "1", "-o", "out.vff"};
  const struct { std::vector<std::string> args; std::string out; const char* err; std::vector<std::string> log; }
  rows[] = {
      {{"-q", "-V", "-i", "missing%d.vff"}, console("version.txt"), "", {}},
      {{}, usage, "", {"Error: No in_spec given!"}},
      {{"-G", "3"}, usage, "Unrecognised option -- G\n", {}},
      {{"-f"}, usage, "Option requires an argument\n", {}},
      {{"-h"}, console("help.txt"), "", {}},
      {{"-i", "p%d.vff", "extra", "-f", "1", "-o", "out.vff"}, usage, nullptr, {"No first file number given!"}},
      {{"-i", "p%d.vff", "-f", "1", "-o", "no-such-dir/out.vff"}, kBanner, nullptr,
       {"Error: could not open outfile no-such-dir/out.vff\n"}},
      {{"-F", "absent"}, kBanner + "Error: could not open parameter file absent\n", nullptr, {}},
      {{"-F", "params", "-f", "4"}, kBanner + "Reading parameters from file params\n" + usage.substr(kBanner.size()),
       nullptr, {"No outfile given!"}},
      {run, afterHeader, nullptr, {"\nNo center of rotation given!\n"}},
      {{"-i", "p%d.vff", "-f", "1", "-o", "out.vff", "-a", "1.5", "-s", "2", "-r", "100"}, afterHeader, nullptr,
       {"\nNo angle increment given!\n"}},
      // Unusable values (test_options pins them all) are logged without the usage.
      {{"-U", "localhost"}, kBanner, nullptr, {"Error: server address localhost is not of the form http://host:port"}},
  };
  for (const auto& row : rows) {
    TempDir dir;
    writeFile(dir.file("p1.vff"), vffFile({4, 4}, 16, {}, std::vector<double>(16, 1)));
    writeFile(dir.file("params"), "korvan -i p%d.vff\n");
    writeFile(dir.file("out.vff"), "an older volume");
    const KorvanRun r = runKorvan(dir.path(), row.args);
    EXPECT_EQ(std::make_tuple(r.out, row.err ? r.err : "", r.log, fileExists(dir.file("korvan.log")),
                              readFile(dir.file("out.vff"))),
              std::make_tuple(row.out, row.err ? row.err : "", row.log, !row.log.empty(), "an older volume"))
        << (row.args.empty() ? "no arguments" : row.args[0] + " " + row.args.back());
  }
}

// Idle threads sleep (a worker shares its host) unless the user chose a wait policy or spin count.
TEST(Console, IdleThreadsSleepUnlessTheUserChose) {
  const std::pair<std::map<std::string, std::string>, const char*> rows[] = {
      {{}, "'0'"}, {{{"OMP_WAIT_POLICY", "active"}}, "'30000000000'"}, {{{"GOMP_SPINCOUNT", "1000"}}, "'1000'"}};
  for (auto [env, spinCount] : rows) {
    env["OMP_DISPLAY_ENV"] = "verbose";
    const std::string err = runProcess({korvanBinary(), "-V"}, env, "", 30).err;
    const size_t at = err.rfind("GOMP_SPINCOUNT = ") + 17;
    EXPECT_EQ(at < 17 ? err : err.substr(at, err.find('\n', at) - at), spinCount);
  }
}

// The echo shows the values used: the kernel length defaults to and is capped at the width; the filter chosen.
TEST(Console, EchoShowsTheValuesTheRunUses) {
  const struct { std::vector<std::string> args; const char *shown, *notShown; } rows[] = {
      {{"-q", "-n", "20"}, "\nstart_angle = 20.000000\nkernel_length = 64\n", "filter_size"},
      {{"-q", "-u", "100"}, "\nkernel_length = 64\n", "kernel_length = 100"},
      {{"-q"}, "\nOffset correction disabled.\nUsing convolution to filter\n", "filter_size"},
      {{"-g", "none.txt"}, "\nFull 360 degree reconstruction selected\nOffset correction enabled.\n", "convolution"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    const std::string out = runKorvan(dir.path(), referenceRun(row.args)).out;
    EXPECT_TRUE(out.find(row.shown) != std::string::npos && out.find(row.notShown) == std::string::npos) << row.shown;
  }
}

// The calls the server receives, in order (pid, timings and inner progress as #, repeats once), and out.vff where
// written; every text sent is logged too, in order. Without a job number the job is -1 and the end state 0.
TEST(Reports, CallsOfEachRun) {
  const std::string geometry = "center_of_rotation=1.5;\ncentral_slice=1.5;\nrfan=100;";
  const std::string missing = "Error: unable to open p2.vff.\\nNot enough input files to perform reconstruction.";
  // keys: the header lines of a bare p1.vff; options: the server's.
  const struct { std::vector<std::string> args, keys, options; std::string calls; } rows[] = {
      {{}, {}, {}, "msg Error: No in_spec given! | 0 error 1.0"},
      {{"-i", "p%d.vff", "-f", "1", "-o", "out.vff"}, {geometry}, {},
       "msg \\nNo angle increment given!\\n | -1 Error: incorrect arguments 1.0 | 0 error 1.0"},
      {{"-i", "p%d.vff", "-f", "1", "-o", "out.vff", "-v", "-P", "4"}, {geometry, "angle_increment=90;"}, {},
       "msg process 4 started on node 0... | pid 4 # | 4 setup... 0.0 | msg " + missing + " | 4 " + missing +
           " 1.0 | 4 error 1.0"},
      {referenceRun({"-P", "9"}), {}, {}, "msg process 9 started on node 0... | pid 9 # | 9 setup... 0.0 | "
       "9 setup... 1.0 | 9 bp 0.0 | 9 bp # | 9 bp 1.0 | 9 cleanup... 0.0 | msg Setup time = # seconds\\n | "
       "msg process 9 finished. | msg Execution time = # seconds\\n | msg Backproject speed = # bp/s\\n | 9 done 1.0 | "
       "out.vff"},
      {referenceRun({"-P", "5"}), {}, {"--status-reply", "0,1,0"}, "msg process 5 started on node 0... | pid 5 # | "
       "5 setup... 0.0 | 5 setup... 1.0 | msg process 5 entering suspended state | 5 bp 0.0 | 5 bp # | 5 bp 1.0 | "
       "5 cleanup... 0.0 | msg Setup time = # seconds\\n | msg process 5 finished. | "
       "msg Execution time = # seconds\\n | msg Backproject speed = # bp/s\\n | 5 suspended 1.0 | out.vff"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    writeFile(dir.file("p1.vff"), vffFile({4, 4}, 16, row.keys, std::vector<double>(16, 1)));
    RpcServer server(row.options);
    RunOptions o;
    o.server = &server;
    const KorvanRun r = runKorvan(dir.path(), row.args, o);
    std::string calls, last;
    for (std::string c : r.calls) {
      for (const auto& [from, to] : std::vector<std::pair<const char*, const char*>>{
               {"^setJobPid\t(\\d+)\t\\d+$", "pid $1 #"}, {"^setErrorMessage\t", "msg "}, {"^setJobStatus\t", ""},
               {"Back-projecting in spatial domain...", "bp"}, {"(bp\t|= )(?!0\\.0$|1\\.0$)[-\\d.e]+", "$1#"},
               {"\t", " "}})
        c = std::regex_replace(c, std::regex(from), to);
      if (c != last) calls += (calls.empty() ? "" : " | ") + (last = c);
    }
    EXPECT_EQ(calls + (readFile(dir.file("out.vff")).empty() ? "" : " | out.vff"), row.calls);
    std::vector<std::string> sent;
    for (const auto& text : messages(r.calls)) sent.push_back(std::regex_replace(text, std::regex("\\\\n"), "\n"));
    EXPECT_EQ(r.log, sent);
  }
}

// Nobody listening: every report prints that it failed, in order; the log does not depend on the server.
TEST(Reports, UnreachableServer) {
  const std::string nobody = RpcServer().url();  // a port just given up
  TempDir dir;
  const KorvanRun r = runKorvan(dir.path(), {"-U", nobody, "-P", "3"});
  EXPECT_EQ(r.out, kBanner + "Error occured in report_error()!\nError occured in report_child_pid()!\n" +
                       "Error occured in report_error()!\n" + console("usage.txt").substr(kBanner.size()) +
                       "Error occured in report_done()!n");
  EXPECT_EQ(r.log, (std::vector<std::string>{"process 3 started on node 0...", "Error: No in_spec given!"}));
}
