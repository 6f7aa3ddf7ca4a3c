// Whole runs of korvan on simulated series with one, two and three threads,
// with one and with several views per pass of the back-projector, with the
// plain reference pipeline (KORVAN_BACKPROJECT=reference), and shared by two
// and three processes under mpirun: every output file must come out byte for
// byte the same.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.h"

using testutil::ProcessResult;
using testutil::TempDir;

namespace {

using Env = std::map<std::string, std::string>;

struct Pipeline {
  std::string name;
  Env env;
  int processes = 1;  // more than one: started by mpirun, sharing the slabs
};

// The pipelines compared; the first is the one the others must match.
const std::vector<Pipeline> kPipelines = {
    {"reference", {{"KORVAN_BACKPROJECT", "reference"}, {"OMP_NUM_THREADS", "1"}}},
    {"threads1", {{"KORVAN_BACKPROJECT", ""}, {"OMP_NUM_THREADS", "1"}}},
    {"threads2", {{"KORVAN_BACKPROJECT", ""}, {"OMP_NUM_THREADS", "2"}}},
    {"threads3", {{"KORVAN_BACKPROJECT", ""}, {"OMP_NUM_THREADS", "3"}}},
    // 90 views: the last pass of 7 holds 6 of them.
    {"threads2_view_per_pass", {{"KORVAN_BACKPROJECT", ""}, {"OMP_NUM_THREADS", "2"}, {"KORVAN_VIEWS_PER_PASS", "1"}}},
    {"threads2_7_views_per_pass", {{"KORVAN_BACKPROJECT", ""}, {"OMP_NUM_THREADS", "2"}, {"KORVAN_VIEWS_PER_PASS", "7"}}},
    // One slab: the other processes have none. Three slabs: process 0 takes
    // two of them with two processes, one with three.
    {"processes2", {{"KORVAN_BACKPROJECT", ""}, {"OMP_NUM_THREADS", "1"}}, 2},
    {"processes3", {{"KORVAN_BACKPROJECT", ""}, {"OMP_NUM_THREADS", "1"}}, 3},
};

// The files a run left in its working directory, by name, log excepted.
std::map<std::string, std::string> outputFiles(const std::string& work) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(work)) {
    const std::string name = entry.path().filename().string();
    if (name != "korvan.log") files[name] = testutil::readFile(entry.path().string());
  }
  return files;
}

class ThreadCount : public ::testing::Test {
 protected:
  TempDir dir;

  // Simulates a series of 90 views (a full turn in 4-degree steps, or half a
  // turn plus the fan in 2-degree steps) on a 48-column detector of 47 rows,
  // an odd count that the threads cannot share evenly.
  void simulate(std::vector<std::string> args) {
    args.insert(args.begin(), {testutil::toolBinary("korvan-phantom"), "-o", dir.file("p%d.vff"), "--width", "48",
                               "--height", "47", "--rfan", "192"});
    const ProcessResult r = testutil::runProcess(args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }

  // Runs korvan once per pipeline, each in its own directory with the same
  // command line (it goes into the headers), and expects every pipeline to
  // leave the same files as the reference pipeline, byte for byte.
  // `memoryLimit` empty: one slab. Returns korvan's console output.
  std::string expectSameOutputs(const std::vector<std::string>& options, const std::string& memoryLimit = "") {
    std::map<std::string, std::string> reference;
    std::string console;
    for (const auto& [name, env, processes] : kPipelines) {
      std::vector<std::string> args = testutil::mpirun(processes);
      if (processes > 1 && args.empty()) continue;  // built without MPI
      const std::string work = dir.file(name);
      std::filesystem::create_directory(work);
      const std::string log = work + "/korvan.log";
      Env runEnv = env;
      runEnv["KORVAN_CONFIG"] = testutil::writeConfig(dir, log, memoryLimit);
      args.insert(args.end(), {testutil::korvanBinary(), "-i", dir.file("p%d.vff"), "-f", "0", "-z", "0", "-o",
                               "out.vff", "-b", "out8.vff", "-w", "s%d.vff"});
      args.insert(args.end(), options.begin(), options.end());
      const ProcessResult r = testutil::runProcess(args, runEnv, "", 120, work);
      EXPECT_EQ(r.exitStatus, 0) << name << "\n" << r.out << r.err;
      EXPECT_NE(testutil::readFile(log).find("Backproject speed"), std::string::npos)
          << name << ": " << testutil::readFile(log);

      const std::map<std::string, std::string> files = outputFiles(work);
      if (reference.empty()) {
        reference = files;
        console = r.out;
        continue;
      }
      std::string differing;
      for (const auto& [file, bytes] : reference) {
        const auto found = files.find(file);
        if (found == files.end() || found->second != bytes) differing += " " + file;
      }
      EXPECT_EQ(files.size(), reference.size()) << name;
      EXPECT_EQ(differing, "") << name << ": missing or unlike the reference pipeline's";
    }
    // The 16-bit and byte volumes and one float file per slice; a volume of
    // zeros would match trivially, the header's extremes show that something
    // was reconstructed.
    EXPECT_GT(std::count_if(reference.begin(), reference.end(), [](const auto& f) { return f.first[0] == 's'; }), 40);
    EXPECT_EQ(reference.count("out8.vff"), 1u);
    EXPECT_EQ(reference["out.vff"].find("max=0.000000;"), std::string::npos);
    return console;
  }
};

}  // namespace

TEST_F(ThreadCount, FullTurnFftFilter) {
  simulate({"--full360", "--step", "4"});
  expectSameOutputs({"-v"});
}

TEST_F(ThreadCount, FullTurnConvolution) {
  simulate({"--full360", "--step", "4"});
  expectSameOutputs({"-v", "-q"});
}

TEST_F(ThreadCount, HalfTurnFftFilter) {
  simulate({"--step", "2"});
  expectSameOutputs({});
}

TEST_F(ThreadCount, HalfTurnConvolution) {
  simulate({"--step", "2"});
  expectSameOutputs({"-q"});
}

TEST_F(ThreadCount, WidthTruncatedDetector) {
  // Columns 16.. of the detector: the axis at 23.5 and the right side.
  simulate({"--truncate-from", "16", "--step", "4"});
  expectSameOutputs({"-p"});
}

// Three slabs gathered in the chunk file, and a per-view axis shift from an
// offset table, so that rows are filtered against a moving axis.
TEST_F(ThreadCount, SlabsAndAxisOffsets) {
  simulate({"--full360", "--step", "4"});
  testutil::writeFile(dir.file("offsets.txt"), "0 0.8\n180 -0.6\n");
  const std::string console = expectSameOutputs({"-v", "-g", dir.file("offsets.txt")}, std::to_string(48 * 48 * 4 * 20));
  EXPECT_NE(console.find("/3)"), std::string::npos) << console;
}

// Two processes sharing five slabs speak as one single run: the server hears
// one process id, the texts a single run logs (the same in the log) and one
// final state, with the progress rising to 1. A projection cut short after
// the rows of the first slab fails the second slab, which the second process
// reconstructs: the job ends with the one error report of a single run and
// leaves what a failed single run leaves.
TEST_F(ThreadCount, SharedJobSpeaksAsOneRun) {
  const std::vector<std::string> launcher = testutil::mpirun(2);
  if (launcher.empty()) GTEST_SKIP() << "built without MPI";
  simulate({"--full360", "--step", "4"});
  std::filesystem::create_directory(dir.file("cut"));
  for (int view = 0; view < 90; ++view) {
    const std::string name = "p" + std::to_string(view) + ".vff";
    std::string bytes = testutil::readFile(dir.file(name));
    if (view == 5) bytes.resize(bytes.find("\f\n") + 2 + 48 * 4 * 14);
    testutil::writeFile(dir.file("cut/" + name), bytes);
  }
  const std::regex number("[0-9]+(\\.[0-9]+)?");
  const std::regex progress(R"(setJobStatus\t\[9, \["Back-projecting in spatial domain...", ([-0-9.e]+)\]\])");
  for (const std::string end : {"done", "error"}) {
    std::vector<std::string> texts[2];
    std::map<std::string, std::string> left[2];
    for (int shared = 0; shared < 2; ++shared) {
      const std::string work = dir.file(end + std::to_string(shared));
      std::filesystem::create_directory(work);
      testutil::RpcServer server;
      std::vector<std::string> args = shared ? launcher : std::vector<std::string>{};
      args.insert(args.end(), {testutil::korvanBinary(), "-i", dir.file(end == "done" ? "p%d.vff" : "cut/p%d.vff"),
                               "-f", "0", "-z", "0", "-o", "out.vff", "-v", "-U", server.url(), "-P", "9"});
      const std::string config = testutil::writeConfig(dir, work + "/korvan.log", std::to_string(48 * 48 * 4 * 10));
      const ProcessResult r =
          testutil::runProcess(args, {{"KORVAN_CONFIG", config}, {"OMP_NUM_THREADS", "1"}}, "", 120, work);
      EXPECT_FALSE(r.timedOut) << end << shared;
      EXPECT_EQ(server.calls("setJobPid").size(), 1u) << end << shared;
      std::vector<std::string> finals;
      double last = 0.0;
      for (const std::string& call : server.calls("setJobStatus")) {
        for (const char* state : {"done", "error", "suspended"})
          if (call.find(std::string("[\"") + state + "\", 1.0]") != std::string::npos) finals.push_back(state);
        // Each slab's own reports of 0 and 1 left aside, the progress rises.
        std::smatch m;
        if (!std::regex_match(call, m, progress) || std::stod(m[1]) == 0.0 || std::stod(m[1]) == 1.0) continue;
        EXPECT_GE(std::stod(m[1]), last) << end << shared;
        last = std::stod(m[1]);
      }
      EXPECT_EQ(finals, std::vector<std::string>{end}) << end << shared;
      EXPECT_NEAR(last, end == "done" ? 1.0 : last, 1e-5) << shared;
      for (const std::string& text : server.calls("setErrorMessage"))
        texts[shared].push_back(std::regex_replace(text, number, "#"));
      for (const std::string& text : testutil::logTexts(testutil::readFile(work + "/korvan.log")))
        texts[shared].push_back(std::regex_replace(text, number, "#"));
      // (The command line in the headers of complete outputs names the server.)
      if (end == "error") left[shared] = outputFiles(work);
    }
    EXPECT_EQ(texts[0], texts[1]) << end;
    // Set up: the first setup, slab 0 and slab 1 (logged and reported each).
    const long setups = std::count_if(texts[0].begin(), texts[0].end(),
                                      [](const std::string& t) { return t.find("Enabling chunking") != t.npos; });
    EXPECT_EQ(setups, end == "error" ? 6 : setups);
    EXPECT_TRUE(left[0] == left[1]) << end << ": the shared job left other files than the single run";
  }
}

// A process of a shared job killed from outside sends nothing; the launcher
// stops the others. Process 0 still ends the job as a failure: logged and
// reported once, the chunk file removed, the earlier volume kept.
TEST_F(ThreadCount, KilledProcessOfASharedJobEndsItAsAFailure) {
  const std::vector<std::string> launcher = testutil::mpirun(2);
  if (launcher.empty()) GTEST_SKIP() << "built without MPI";
  simulate({"--full360", "--step", "8"});
  testutil::RpcServer server({"--delay", "0.02"});  // process 0 stays busy reporting
  testutil::writeFile(dir.file("out.vff"), "an older volume");
  std::vector<std::string> args = launcher;
  args.insert(args.end(), {testutil::korvanBinary(), "-i", "p%d.vff", "-f", "0", "-o", "out.vff", "-v", "-U",
                           server.url(), "-P", "9"});
  const std::string config = testutil::writeConfig(dir, dir.file("korvan.log"), std::to_string(48 * 48 * 4 * 10));
  const int job = testutil::startProcess(args, {{"KORVAN_CONFIG", config}}, dir.path(), dir.file("out"),
                                         dir.file("err"));
  // Once the work is shared (the chunk file holds slab 0), process 1 of the
  // job: the korvan whose environment names rank 1.
  for (int i = 0; i < 3000 && testutil::korvanLeftovers(dir.path()).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  int worker = 0;
  for (int i = 0; i < 3000 && worker == 0; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string environ = testutil::readFile(entry.path().string() + "/environ");
      if (testutil::readFile(entry.path().string() + "/comm") == "korvan\n" &&
          environ.find(std::string("OMPI_COMM_WORLD_RANK=1\0", 23)) != std::string::npos &&
          environ.find(config) != std::string::npos)
        worker = std::atoi(entry.path().filename().c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(worker, 0);
  kill(worker, SIGKILL);
  testutil::waitProcess(job, 60);
  const std::vector<std::string> logged = testutil::logTexts(testutil::readFile(dir.file("korvan.log")));
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back(),
            "Error: the shared job was stopped: one of its processes ended or the job was stopped (signal 15)");
  size_t errors = 0;
  for (const std::string& call : server.calls("setJobStatus")) errors += call.find("[\"error\", 1.0]") != call.npos;
  EXPECT_EQ(errors, 1u);
  EXPECT_EQ(testutil::readFile(dir.file("out.vff")), "an older volume");
  EXPECT_TRUE(testutil::korvanLeftovers(dir.path()).empty());
}

TEST(StageTimes, PrintedToStandardErrorOnRequest) {
  TempDir dir;
  ProcessResult r = testutil::runProcess({testutil::toolBinary("korvan-phantom"), "-o", dir.file("p%d.vff"), "--width",
                                          "16", "--height", "8", "--rfan", "64", "--full360", "--step", "12"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::string config = testutil::writeConfig(dir, dir.file("korvan.log"));
  const std::vector<std::string> args = {testutil::korvanBinary(), "-i", dir.file("p%d.vff"), "-f", "0",
                                         "-o", dir.file("out.vff"), "-v"};
  r = testutil::runProcess(args, {{"KORVAN_CONFIG", config}, {"KORVAN_BENCH", "1"}});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.err.find("korvan bench: slab 0: read "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" back-project "), std::string::npos) << r.err;

  r = testutil::runProcess(args, {{"KORVAN_CONFIG", config}, {"KORVAN_BENCH", ""}});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err.find("korvan bench"), std::string::npos) << r.err;
}
