// What only a whole korvan process shows: the console texts and their order
// (the literal ones against tests/data/console), the log, and the calls the
// reconstruction server receives, for runs that stop early and runs that
// complete.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/testutil.h"

using namespace testutil;

namespace {

const std::string kBanner = "\n\nkorvan version 1.13(WIN32)\n";
std::string console(const std::string& name) { return readFile(testDataDir() + "/console/" + name); }

// A 16-bit 4 x 4 projection with the given header lines.
void writeProjection(const std::string& path, const std::vector<std::string>& keys) {
  writeFile(path, vffFile({4, 4}, 16, keys, std::vector<double>(16, 1)));
}

// A port on this machine where nobody listens.
std::string closedServer() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

// Two slices of the full-turn reference series: a complete run in moments.
std::vector<std::string> referenceRun(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"-i", testDataDir() + "/shepp64-full/p%d.vff", "-f", "0", "-o", "out.vff",
                                   "-v", "-z", "31", "-e", "2"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

// Runs that end before reconstructing: what goes to standard output and
// standard error, and what is logged (no log file at all where nothing is
// logged). Each row runs in a fresh directory holding a bare projection
// p1.vff, a parameter file and an older out.vff.
TEST(Console, TextsAndLogOfRunsThatEndEarly) {
  const std::string usage = console("usage.txt"), header = "Reading header from file p1.vff\n";
  const struct {
    std::vector<std::string> args;
    std::string input, out;
    const char* err;  // null: not checked
    std::vector<std::string> log;
  } rows[] = {
      {{"-q", "-V", "-i", "missing%d.vff"}, "", console("version.txt"), "", {}},
      {{}, "", usage, "", {"Error: No in_spec given!"}},
      {{"-G", "3"}, "", usage, "Unrecognised option -- G\n", {}},
      {{"-q", "-O", "3"}, "", usage, "", {}},
      {{"-f"}, "", usage, "Option requires an argument\n", {}},
      {{"-h"}, "\n\n", console("help.txt"), "", {}},
      {{"-h"}, "", console("help.txt"), "", {}},  // without input there is no wait
      {{"-i", "p%d.vff", "extra", "-f", "1", "-o", "out.vff"}, "", usage, nullptr, {"No first file number given!"}},
      {{"-i", "p%d.vff", "-f", "1", "-o", "NULL"}, "", usage, nullptr, {"No outfile given!"}},
      {{"-i", "p%d.vff", "-f", "1", "-o", "no-such-dir/out.vff"}, "", kBanner, nullptr,
       {"Error: could not open outfile no-such-dir/out.vff\n"}},
      {{"-F", "absent"}, "", kBanner + "Error: could not open parameter file absent\n", nullptr, {}},
      {{"-F", "params", "-f", "4"}, "", kBanner + "Reading parameters from file params\n" + usage.substr(kBanner.size()),
       nullptr, {"No outfile given!"}},
      // Header values are checked in order, after the output file.
      {{"-i", "p%d.vff", "-f", "1", "-o", "out.vff"}, "", kBanner + header + usage.substr(kBanner.size()), nullptr,
       {"\nNo center of rotation given!\n"}},
      {{"-i", "p%d.vff", "-f", "1", "-o", "out.vff", "-a", "1.5"}, "", kBanner + header + usage.substr(kBanner.size()),
       nullptr, {"\nNo central slice given!\n"}},
      {{"-i", "p%d.vff", "-f", "1", "-o", "out.vff", "-a", "1.5", "-s", "2"}, "",
       kBanner + header + usage.substr(kBanner.size()), nullptr, {"\nNo rfan given!\n"}},
      {{"-i", "p%d.vff", "-f", "1", "-o", "out.vff", "-a", "1.5", "-s", "2", "-r", "100"}, "",
       kBanner + header + usage.substr(kBanner.size()), nullptr, {"\nNo angle increment given!\n"}},
      // Unusable values (test_options pins them all) are logged without the usage.
      {{"-U", "localhost"}, "", kBanner, nullptr,
       {"Error: server address localhost is not of the form http://host:port"}},
  };
  for (const auto& row : rows) {
    TempDir dir;
    writeProjection(dir.file("p1.vff"), {});
    writeFile(dir.file("params"), "korvan -i p%d.vff\n");
    writeFile(dir.file("out.vff"), "an older volume");
    RunOptions o;
    o.input = row.input;
    const KorvanRun r = runKorvan(dir.path(), row.args, o);
    const std::string what = row.args.empty() ? "no arguments" : row.args[0] + " " + row.args.back();
    EXPECT_EQ(r.out, row.out) << what;
    if (row.err) {
      EXPECT_EQ(r.err, row.err) << what;
    }
    EXPECT_EQ(r.log, row.log) << what;
    EXPECT_EQ(fileExists(dir.file("korvan.log")), !row.log.empty()) << what;
    // The output file was checked for writing, not emptied.
    EXPECT_EQ(readFile(dir.file("out.vff")), "an older volume") << what;
  }
}

// On a shared host idle threads must sleep, not spin: that is korvan's
// default; a wait policy or spin count the user set wins. The OpenMP
// runtime shows what it took with OMP_DISPLAY_ENV (the last display is the
// one of the program that runs).
TEST(Console, IdleThreadsSleepUnlessTheUserChose) {
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
    const ProcessResult r = runProcess({korvanBinary(), "-V"}, env, "", 30);
    const size_t at = r.err.rfind("GOMP_SPINCOUNT = ");
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(at + 17, r.err.find('\n', at) - at - 17), row.spinCount);
  }
}

// The values echoed are those the run uses: the kernel length defaults to
// and is capped at the projection width; the filter chosen is announced.
TEST(Console, EchoShowsTheValuesTheRunUses) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> shown, notShown;
  } rows[] = {
      {{"-q", "-n", "20"},
       {"\nkernel_length = 64\n", "\nstart_angle = 20.000000\n", "Offset correction disabled.\nUsing convolution to filter\n"},
       {"filter_size = "}},
      {{"-q", "-u", "100"}, {"\nkernel_length = 64\n"}, {}},
      {{"-q", "-u", "20"}, {"\nkernel_length = 20\n"}, {}},
      {{"-g", "none.txt"}, {"\nfilter_size = ", "\nFull 360 degree reconstruction selected\nOffset correction enabled.\n"}, {}},
  };
  for (const auto& row : rows) {
    TempDir dir;
    std::vector<std::string> args = referenceRun(row.args);
    const KorvanRun r = runKorvan(dir.path(), args);
    for (const auto& text : row.shown) EXPECT_NE(r.out.find(text), std::string::npos) << text;
    for (const auto& text : row.notShown) EXPECT_EQ(r.out.find(text), std::string::npos) << text;
  }
}

// The calls the server receives from runs that end before reconstructing,
// in order; a job number adds the process id and names the job.
TEST(Reports, CallsOfRunsThatEndEarly) {
  const std::string geometry[] = {"center_of_rotation=1.5;", "central_slice=1.5;", "rfan=100;"};
  const std::string missing = "Error: unable to open p2.vff.\\nNot enough input files to perform reconstruction.";
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> keys;
    std::vector<std::string> calls;  // "<pid>" stands for the process id
  } rows[] = {
      {{"-P", "7"}, {},
       {"setErrorMessage\tprocess 7 started on node 0...", "setJobPid\t7\t<pid>",
        "setErrorMessage\tError: No in_spec given!", "setJobStatus\t7\terror\t1.0"}},
      {{}, {}, {"setErrorMessage\tError: No in_spec given!", "setJobStatus\t0\terror\t1.0"}},
      {{"-i", "p%d.vff", "-f", "1", "-o", "out.vff"},
       {geometry[0], geometry[1], geometry[2]},
       {"setErrorMessage\t\\nNo angle increment given!\\n", "setJobStatus\t-1\tError: incorrect arguments\t1.0",
        "setJobStatus\t0\terror\t1.0"}},
      {{"-i", "p%d.vff", "-f", "1", "-o", "out.vff", "-v", "-P", "4"},
       {geometry[0], geometry[1], geometry[2], "angle_increment=90;"},
       {"setErrorMessage\tprocess 4 started on node 0...", "setJobPid\t4\t<pid>", "setJobStatus\t4\tsetup...\t0.0",
        "setErrorMessage\t" + missing, "setJobStatus\t4\t" + missing + "\t1.0", "setJobStatus\t4\terror\t1.0"}},
  };
  for (const auto& row : rows) {
    TempDir dir;
    writeProjection(dir.file("p1.vff"), row.keys);
    RpcServer server;
    RunOptions o;
    o.server = &server;
    KorvanRun r = runKorvan(dir.path(), row.args, o);
    for (auto& call : r.calls) call = std::regex_replace(call, std::regex("^(setJobPid\t\\d+\t)[1-9]\\d*$"), "$1<pid>");
    EXPECT_EQ(r.calls, row.calls);
    // Every text sent was logged as well.
    for (const auto& text : messages(r.calls))
      EXPECT_NE(std::find(r.log.begin(), r.log.end(), std::regex_replace(text, std::regex("\\\\n"), "\n")),
                r.log.end())
          << text;
  }
}

TEST(Reports, CompleteRunReportsProgressAndEndsOnce) {
  TempDir dir;
  RpcServer server;
  RunOptions o;
  o.server = &server;
  const KorvanRun r = runKorvan(dir.path(), referenceRun({"-P", "9"}), o);
  EXPECT_EQ(callsOf(r.calls, "setJobPid").size(), 1u);
  const std::vector<std::string> s = callsOf(r.calls, "setJobStatus");
  ASSERT_GE(s.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(s.begin(), s.begin() + 3),
            (std::vector<std::string>{"9\tsetup...\t0.0", "9\tsetup...\t1.0",
                                      "9\tBack-projecting in spatial domain...\t0.0"}));
  EXPECT_EQ(std::vector<std::string>(s.end() - 3, s.end()),
            (std::vector<std::string>{"9\tBack-projecting in spatial domain...\t1.0", "9\tcleanup...\t0.0",
                                      "9\tdone\t1.0"}));
  EXPECT_EQ(finalStates(r.calls), std::vector<std::string>{"done"});
  // Every logged text went to the server as well, in the same order.
  const std::vector<std::string> m = messages(r.calls);
  const char* patterns[] = {R"(process 9 started on node 0\.\.\.)", R"(Setup time = \d+\.\d\d seconds\\n)",
                            R"(process 9 finished\.)", R"(Execution time = -?\d+\.\d\d seconds\\n)",
                            R"(Backproject speed = \d+\.\d{6} bp/s\\n)"};
  ASSERT_EQ(m.size(), 5u);
  std::vector<std::string> logged;
  for (size_t i = 0; i < m.size(); ++i) {
    EXPECT_TRUE(std::regex_match(m[i], std::regex(patterns[i]))) << m[i];
    logged.push_back(std::regex_replace(m[i], std::regex("\\\\n"), "\n"));
  }
  EXPECT_EQ(r.log, logged);
  EXPECT_NE(r.out.find("nang = 180\n"), std::string::npos);

  // Without a job number the progress carries -1 and the end state 0.
  TempDir other;
  const KorvanRun plain = runKorvan(other.path(), referenceRun({}), o);
  EXPECT_TRUE(callsOf(plain.calls, "setJobPid").empty());
  const std::vector<std::string> t = callsOf(plain.calls, "setJobStatus");
  ASSERT_FALSE(t.empty());
  for (size_t i = 0; i + 1 < t.size(); ++i) EXPECT_EQ(t[i].substr(0, 3), "-1\t") << t[i];
  EXPECT_EQ(t.back(), "0\tdone\t1.0");
}

TEST(Reports, SuspensionRequestChangesTheFinalState) {
  TempDir dir;
  RpcServer server({"--suspend-after", "2"});
  RunOptions o;
  o.server = &server;
  const KorvanRun r = runKorvan(dir.path(), referenceRun({"-P", "5"}), o);
  EXPECT_EQ(finalStates(r.calls), std::vector<std::string>{"suspended"});
  EXPECT_EQ(callsOf(r.calls, "setJobStatus").back(), "5\tsuspended\t1.0");
  const std::vector<std::string> m = messages(r.calls);
  ASSERT_GE(m.size(), 2u);
  EXPECT_EQ(m[1], "process 5 entering suspended state");
  EXPECT_TRUE(fileExists(dir.file("out.vff")));
}

// Nobody listening: every report prints that it failed, the log does not
// depend on the server, and a reconstruction still completes.
TEST(Reports, UnreachableServer) {
  TempDir dir;
  KorvanRun r = runKorvan(dir.path(), {"-U", closedServer(), "-P", "3"});
  const std::string start = kBanner + "Error occured in report_error()!\nError occured in report_child_pid()!\n" +
                            "Error occured in report_error()!\n\nUsage: korvan [-F]\n";
  EXPECT_EQ(r.out.substr(0, start.size()), start);
  EXPECT_TRUE(endsWith(r.out, "     type 'korvan -h' for help\nError occured in report_done()!n")) << r.out;
  EXPECT_EQ(r.log, (std::vector<std::string>{"process 3 started on node 0...", "Error: No in_spec given!"}));

  TempDir other;
  r = runKorvan(other.path(), referenceRun({"-U", closedServer()}));
  EXPECT_NE(r.out.find("Error in setJobStatus call!!\n"), std::string::npos);
  EXPECT_TRUE(endsWith(r.out, "Error occured in report_done()!n"));
  EXPECT_NE(r.lastLogged().find("Backproject speed = "), std::string::npos);
  EXPECT_GT(readFile(other.file("out.vff")).size(), 64u * 64u * 2u * 2u);
}
