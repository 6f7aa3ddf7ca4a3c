// What only a whole korvan process shows: the console texts and their order
// (literal ones against tests/data/console), the log, and the calls the
// reconstruction server receives.
#include <gtest/gtest.h>

#include <regex>

#include "support/testutil.h"

using namespace testutil;

namespace {

const std::string kBanner = "\n\nkorvan version 1.13(WIN32)\n";
std::string console(const std::string& name) { return readFile(testDataDir() + "/console/" + name); }

// A 16-bit 4 x 4 projection with the given header lines.
void writeProjection(const std::string& path, const std::vector<std::string>& keys) {
  writeFile(path, vffFile({4, 4}, 16, keys, std::vector<double>(16, 1)));
}

// Two slices of the full-turn reference series: a complete run in moments.
std::vector<std::string> referenceRun(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"-i", testDataDir() + "/shepp64-full/p%d.vff", "-f", "0", "-o", "out.vff",
                                   "-v", "-z", "31", "-e", "2"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// A server address where nobody listens any more.
std::string closedServer() { return RpcServer().url(); }

std::string tail(const std::string& text, size_t n) { return text.substr(text.size() - std::min(n, text.size())); }

}  // namespace

// Runs that end before reconstructing, each in a directory holding a bare
// p1.vff, a parameter file and an older out.vff (checked, never emptied):
// standard output and error, and the log (no file where nothing is logged).
TEST(Console, TextsAndLogOfRunsThatEndEarly) {
  const std::string usage = console("usage.txt"), afterHeader = kBanner + "Reading header from file p1.vff\n" +
                                                                usage.substr(kBanner.size());
  const std::vector<std::string> run = {"-i", "p%d.vff", "-f", "1", "-o", "out.vff"};
  const auto with = [&](std::vector<std::string> extra) { return extra.insert(extra.begin(), run.begin(), run.end()), extra; };
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
      {run, "", afterHeader, nullptr, {"\nNo center of rotation given!\n"}},
      {with({"-a", "1.5"}), "", afterHeader, nullptr, {"\nNo central slice given!\n"}},
      {with({"-a", "1.5", "-s", "2"}), "", afterHeader, nullptr, {"\nNo rfan given!\n"}},
      {with({"-a", "1.5", "-s", "2", "-r", "100"}), "", afterHeader, nullptr, {"\nNo angle increment given!\n"}},
      // Unusable values (test_options pins them all) are logged without the usage.
      {{"-U", "localhost"}, "", kBanner, nullptr, {"Error: server address localhost is not of the form http://host:port"}},
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
    EXPECT_EQ(row.err ? r.err : "", row.err ? row.err : "") << what;
    EXPECT_EQ(r.log, row.log) << what;
    EXPECT_EQ(fileExists(dir.file("korvan.log")), !row.log.empty()) << what;
    EXPECT_EQ(readFile(dir.file("out.vff")), "an older volume") << what;
  }
}

// Idle threads sleep, not spin, on a shared host, unless the user set a wait
// policy or spin count (OMP_DISPLAY_ENV: the last display is the program's).
TEST(Console, IdleThreadsSleepUnlessTheUserChose) {
  const std::pair<std::map<std::string, std::string>, const char*> rows[] = {
      {{}, "'0'"}, {{{"OMP_WAIT_POLICY", "active"}}, "'30000000000'"}, {{{"GOMP_SPINCOUNT", "1000"}}, "'1000'"}};
  for (auto [env, spinCount] : rows) {
    env["OMP_DISPLAY_ENV"] = "verbose";
    const std::string err = runProcess({korvanBinary(), "-V"}, env, "", 30).err;
    const size_t at = err.rfind("GOMP_SPINCOUNT = ");
    EXPECT_EQ(at == std::string::npos ? err : err.substr(at + 17, err.find('\n', at) - at - 17), spinCount);
  }
}

// The values echoed are those the run uses: the kernel length defaults to
// and is capped at the projection width; the filter chosen is announced.
TEST(Console, EchoShowsTheValuesTheRunUses) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> shown;
    const char* notShown;
  } rows[] = {
      {{"-q", "-n", "20"},
       {"\nkernel_length = 64\n", "\nstart_angle = 20.000000\n", "Offset correction disabled.\nUsing convolution to filter\n"},
       "filter_size = "},
      {{"-q", "-u", "100"}, {"\nkernel_length = 64\n"}, "\nkernel_length = 100\n"},
      {{"-q", "-u", "20"}, {"\nkernel_length = 20\n"}, "\nkernel_length = 64\n"},
      {{"-g", "none.txt"}, {"\nfilter_size = ", "\nFull 360 degree reconstruction selected\nOffset correction enabled.\n"},
       "Using convolution to filter"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    const KorvanRun r = runKorvan(dir.path(), referenceRun(row.args));
    for (const auto& text : row.shown) EXPECT_NE(r.out.find(text), std::string::npos) << text;
    EXPECT_EQ(r.out.find(row.notShown), std::string::npos) << row.notShown;
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
    for (const auto& text : messages(r.calls))  // every text sent was logged as well
      EXPECT_GE(std::count(r.log.begin(), r.log.end(), std::regex_replace(text, std::regex("\\\\n"), "\n")), 1) << text;
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
  EXPECT_EQ(tail(r.out, 60), tail("     type 'korvan -h' for help\nError occured in report_done()!n", 60));
  EXPECT_EQ(r.log, (std::vector<std::string>{"process 3 started on node 0...", "Error: No in_spec given!"}));

  TempDir other;
  r = runKorvan(other.path(), referenceRun({"-U", closedServer()}));
  EXPECT_NE(r.out.find("Error in setJobStatus call!!\n"), std::string::npos);
  EXPECT_EQ(tail(r.out, 32), "Error occured in report_done()!n");
  EXPECT_NE(r.lastLogged().find("Backproject speed = "), std::string::npos);
  EXPECT_GT(readFile(other.file("out.vff")).size(), 64u * 64u * 2u * 2u);
}
