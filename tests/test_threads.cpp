// No thread or process count changes a single output bit; processes sharing a job speak and fail as one run.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "support/testutil.h"

using namespace testutil;

namespace {

const std::string kTenSlices = std::to_string(48 * 48 * 4 * 10), kTwentySlices = std::to_string(48 * 48 * 4 * 20);

std::map<std::string, std::string> outputFiles(const std::string& work) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(work))
    if (entry.path().stem() != "korvan") files[entry.path().filename()] = readFile(entry.path());
  return files;
}

// 90 views on 48 columns of 47 rows: a count threads cannot share evenly.
void simulate(const std::string& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"-o", "p%d.vff", "--width", "48", "--height", "47", "--rfan", "192"});
  runPhantom(dir, args);
}

}  // namespace

// korvan-phantom's and korvan's options, the memory limit of every pipeline but the slab one (ten slices: five slabs).
struct Series { const char* name; std::vector<std::string> phantom, korvan; std::string memoryLimit; };
void PrintTo(const Series& series, std::ostream* os) { *os << series.name; }
class Equality : public ::testing::TestWithParam<Series> {};

// Every pipeline runs the same command line (it goes into the headers) and must leave the first one's files.
TEST_P(Equality, EveryPipelineWritesTheReferenceBytes) {
  const Series& row = GetParam();
  struct Pipeline { std::string name; std::map<std::string, std::string> env; int processes = 1; bool slabs = false; };
  const Pipeline pipelines[] = {
      {"reference", {{"KORVAN_BACKPROJECT", "reference"}, {"OMP_NUM_THREADS", "1"}}},
      {"threads1", {{"OMP_NUM_THREADS", "1"}}},
      {"threads2, 7 a pass, bench", {{"OMP_NUM_THREADS", "2"}, {"KORVAN_VIEWS_PER_PASS", "7"}, {"KORVAN_BENCH", "1"}}},
      {"threads3, a view per pass", {{"OMP_NUM_THREADS", "3"}, {"KORVAN_VIEWS_PER_PASS", "1"}}},
      {"threads2 in slabs", {{"OMP_NUM_THREADS", "2"}}, 1, true},
      {"processes2", {{"OMP_NUM_THREADS", "1"}}, 2},
      {"processes3", {{"OMP_NUM_THREADS", "1"}}, 3},
  };
  TempDir dir;
  simulate(dir.path(), row.phantom);
  std::map<std::string, std::string> reference;
  for (const auto& pipe : pipelines) {
    if (pipe.processes > 1 && mpirun(pipe.processes).empty()) continue;
    const TempDir work;
    writeFile(work.file("offsets.txt"), "0 0.8\n180 -0.6\n");
    const RunOptions o{pipe.slabs ? kTenSlices : row.memoryLimit, "", pipe.env, nullptr, pipe.processes, 0};
    std::vector<std::string> args = {"-i", dir.file("p%d.vff"), "-f", "0", "-z", "0", "-o", "out.vff", "-b",
                                     "out8.vff", "-w", "s%d.vff"};
    args.insert(args.end(), row.korvan.begin(), row.korvan.end());
    const KorvanRun r = runKorvan(work.path(), args, o);
    const std::string slabs = o.memoryLimit.empty() || o.processes > 1 ? "" : pipe.slabs ? "/5)" : "/3)";
    EXPECT_NE(r.out.find(slabs), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("korvan bench: slab 0: read ") != std::string::npos, o.env.count("KORVAN_BENCH") > 0) << r.err;
    if (reference.empty()) reference = outputFiles(work.path());
    EXPECT_TRUE(outputFiles(work.path()) == reference) << pipe.name << ": files unlike the reference pipeline's";
  }
  // Zeros would match trivially: the header's extremes show that something was reconstructed.
  EXPECT_TRUE(reference.count("s40.vff") && reference.count("out8.vff") &&
              reference["out.vff"].find("max=0.000000;") == std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Rows, Equality, ::testing::Values(
      Series{"full turn, FFT filter", {"--full360", "--step", "4"}, {"-v"}, ""},
      Series{"full turn, convolution", {"--full360", "--step", "4"}, {"-v", "-q"}, ""},
      Series{"half turn plus the fan, FFT filter", {"--step", "2"}, {}, ""},
      Series{"half turn plus the fan, convolution", {"--step", "2"}, {"-q"}, ""},
      Series{"width-truncated detector, columns 16..", {"--truncate-from", "16", "--step", "4"}, {"-p"}, ""},
      Series{"3 slabs, axis offsets", {"--full360", "--step", "4"}, {"-v", "-g", "offsets.txt"}, kTwentySlices}));

// Two processes sharing five slabs speak as one run: one process id, a single run's texts and end, the progress rising
// to 1; a view cut short in the second slab's rows (the second process's) ends the job as a single run, same files.
TEST(SharedJob, SpeaksAsOneRun) {
  if (mpirun(2).empty()) GTEST_SKIP() << "built without MPI";
  TempDir dir;
  simulate(dir.path(), {"--full360", "--step", "4"});
  for (const std::string end : {"done", "error"}) {
    const std::string view5 = readFile(dir.file("p5.vff"));
    if (end == "error") writeFile(dir.file("p5.vff"), view5.substr(0, view5.find("\f\n") + 2 + 48 * 4 * 14));
    std::vector<std::string> texts[2];
    std::map<std::string, std::string> left[2];
    for (int shared = 0; shared < 2; ++shared) {
      const TempDir work;
      RpcServer server;
      const RunOptions o{kTenSlices, "", {{"OMP_NUM_THREADS", "1"}}, &server, shared + 1, kAnyStatus};  // mpirun's
      const KorvanRun r = runKorvan(work.path(), {"-i", dir.file("p%d.vff"), "-f", "0", "-z", "0", "-o", "out.vff",
                                                  "-v", "-P", "9"}, o);
      // Each slab's own reports of 0 and 1 left aside, the progress rises.
      std::vector<double> p = progress(r.calls);
      p.erase(std::remove_if(p.begin(), p.end(), [](double v) { return v == 0.0 || v == 1.0; }), p.end());
      EXPECT_TRUE(std::is_sorted(p.begin(), p.end()) && (end == "error" || std::fabs(p.back() - 1.0) < 1e-5)) << shared;
      EXPECT_EQ(callsOf(r.calls, "setJobPid").size() * 10 + finalStates(r.calls).size(), 11u) << end << shared;
      texts[shared] = messages(r.calls), texts[shared].insert(texts[shared].end(), r.log.begin(), r.log.end());
      texts[shared].push_back(finalStates(r.calls).at(0));
      for (std::string& text : texts[shared]) text = std::regex_replace(text, std::regex("[0-9]+(\\.[0-9]+)?"), "#");
      if (end == "error") left[shared] = outputFiles(work.path());  // complete outputs' headers name the server
    }
    EXPECT_EQ(texts[0], texts[1]) << end;
    EXPECT_TRUE(texts[0].back() == end && left[0] == left[1]) << end << ": other end, or files left, than one run's";
  }
}

// A process killed from outside ends the job as a failure: logged and reported once, chunk file gone, old volume kept.
TEST(SharedJob, KilledProcessEndsItAsAFailure) {
  std::vector<std::string> args = mpirun(2);
  if (args.empty()) GTEST_SKIP() << "built without MPI";
  TempDir dir;
  simulate(dir.path(), {"--full360", "--step", "8"});
  RpcServer server({"--delay", "0.02"});  // process 0 stays busy reporting
  writeFile(dir.file("out.vff"), "an older volume");
  args.insert(args.end(), {korvanBinary(), "-i", "p%d.vff", "-f", "0", "-o", "out.vff", "-v", "-U", server.url(),
                           "-P", "9"});
  const std::string config = writeConfig(dir.path(), dir.file("korvan.log"), kTenSlices);
  const int job = startProcess(args, {{"KORVAN_CONFIG", config}}, dir.path(), dir.file("out"), dir.file("err"));
  int worker = 0;  // once the work is shared (the chunk file holds slab 0): the korvan whose environment names rank 1
  for (int i = 0; i < 6000 && worker == 0; ++i, usleep(10000))
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string environ = readFile(entry.path().string() + "/environ");
      if (readFile(entry.path().string() + "/comm") == "korvan\n" && environ.find(config) != std::string::npos &&
          environ.find(std::string("OMPI_COMM_WORLD_RANK=1\0", 23)) != std::string::npos &&
          !korvanLeftovers(dir.path()).empty())
        worker = std::atoi(entry.path().filename().c_str());
    }
  ASSERT_GT(worker, 0);
  kill(worker, SIGKILL);
  waitProcess(job, 60);
  EXPECT_EQ((KorvanRun{0, "", "", logTexts(readFile(dir.file("korvan.log"))), {}}.lastLogged()),
            "Error: the shared job was stopped: one of its processes ended or the job was stopped (signal 15)");
  EXPECT_EQ(finalStates(server.calls()), std::vector<std::string>{"error"});
  EXPECT_TRUE(readFile(dir.file("out.vff")) == "an older volume" && korvanLeftovers(dir.path()).empty());
}
