// Many workers at once: eight korvan processes reconstruct the same series
// at the same time, reporting to one server and appending to one log file,
// half of them in slabs gathered in chunk files. Every job's reports must
// arrive, every log entry must be whole, none lost, and every output must
// be the same as that of a run on its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/testutil.h"

namespace {

using testutil::readFile;
using testutil::RpcServer;
using testutil::TempDir;

constexpr int kJobs = 8;
constexpr int kViews = 60;
constexpr int kSide = 32;
constexpr int kSlabs = 2;  // for the even-numbered jobs

// A VFF file without its cmdLine entry, the one header line that names the
// job (-P) and so differs between runs.
std::string withoutCommandLine(const std::string& file) {
  return std::regex_replace(file, std::regex("\ncmdLine=\"[^\"]*\";\n"), "\n");
}

// The calls of each job, by job number: the job number is the first
// parameter of setJobPid and setJobStatus.
std::map<int, std::vector<std::string>> callsByJob(const std::vector<std::string>& calls) {
  std::map<int, std::vector<std::string>> byJob;
  for (const std::string& call : calls) {
    const size_t tab = call.find('\t');
    if (call.compare(0, tab, "setJobPid") == 0 || call.compare(0, tab, "setJobStatus") == 0)
      byJob[std::atoi(call.c_str() + tab + 1)].push_back(call);
  }
  return byJob;
}

TEST(Load, EightSimultaneousRunsReportLogAndWriteAsOneRunAlone) {
  TempDir dir;
  testutil::runPhantom(dir.path(), {"-o", "p%d.vff", "--width", std::to_string(kSide), "--height",
                                    std::to_string(kSide), "--full360", "--step", std::to_string(360 / kViews)});

  // The reference: one run on its own, with its own log.
  TempDir alone;
  const std::vector<std::string> run = {testutil::korvanBinary(), "-i", dir.file("p%d.vff"), "-f", "0", "-v",
                                        "-o", "out.vff", "-b", "bytes.vff"};
  testutil::runKorvan(alone.path(), std::vector<std::string>(run.begin() + 1, run.end()));
  const std::string referenceVolume = withoutCommandLine(readFile(alone.file("out.vff")));
  const std::string referenceBytes = withoutCommandLine(readFile(alone.file("bytes.vff")));
  ASSERT_GT(referenceVolume.size(), static_cast<size_t>(kSide * kSide * kSide * 2));

  // Eight jobs at once, one server, one log; the even ones in two slabs.
  RpcServer server({"--threaded"});
  const std::string log = dir.file("korvan.log");
  TempDir configs;
  const std::string oneSlab = testutil::writeConfig(configs.path(), log);
  TempDir slabConfigs;
  const std::string inSlabs =
      testutil::writeConfig(slabConfigs.path(), log, std::to_string(kSide * kSide * 4 * (kSide / kSlabs)));
  std::map<int, int> pidOfJob;
  for (int job = 1; job <= kJobs; ++job) {
    const std::string jobDir = dir.file("job" + std::to_string(job));
    ASSERT_EQ(mkdir(jobDir.c_str(), 0755), 0);
    std::vector<std::string> argv = run;
    argv.insert(argv.end(), {"-U", server.url(), "-P", std::to_string(job)});
    pidOfJob[job] = testutil::startProcess(argv, {{"KORVAN_CONFIG", job % 2 ? oneSlab : inSlabs}}, jobDir,
                                           jobDir + "/stdout", jobDir + "/stderr");
  }
  for (const auto& [job, pid] : pidOfJob)
    EXPECT_EQ(testutil::waitProcess(pid, 120), 0)
        << "job " << job << ": " << readFile(dir.file("job" + std::to_string(job) + "/stderr"));

  // Reports: one process id; for every slab 0, then the fraction of the
  // whole run done after each view, then 1; exactly one final state, "done".
  const std::map<int, std::vector<std::string>> reports = callsByJob(server.calls());
  for (int job = 1; job <= kJobs; ++job) {
    SCOPED_TRACE("job " + std::to_string(job));
    ASSERT_EQ(reports.count(job), 1u);
    const std::vector<std::string>& calls = reports.at(job);
    EXPECT_EQ(testutil::callsOf(calls, "setJobPid"),
              std::vector<std::string>{std::to_string(job) + "\t" + std::to_string(pidOfJob[job])});
    EXPECT_EQ(testutil::finalStates(calls), std::vector<std::string>{"done"});
    const std::vector<double> progress = testutil::progress(calls);
    const size_t slabs = job % 2 ? 1 : kSlabs;
    ASSERT_EQ(progress.size(), (kViews + 2) * slabs);
    std::vector<double> fractions;
    for (size_t slab = 0; slab < slabs; ++slab) {
      const double* reported = &progress[slab * (kViews + 2)];
      EXPECT_EQ(reported[0], 0.0) << "slab " << slab;
      EXPECT_EQ(reported[kViews + 1], 1.0) << "slab " << slab;
      fractions.insert(fractions.end(), reported + 1, reported + kViews + 1);
    }
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_EQ(std::adjacent_find(fractions.begin(), fractions.end()), fractions.end());
    EXPECT_NEAR(fractions.back(), 1.0, 1e-5);
  }
  EXPECT_EQ(reports.size(), static_cast<size_t>(kJobs));

  // The log: whole entries of known texts only, each job's start and end
  // once, every job's timing figures.
  const std::vector<std::pair<std::string, std::regex>> known = {
      {"started", std::regex(R"(process (\d) started on node 0\.\.\.)")},
      {"finished", std::regex(R"(process (\d) finished\.)")},
      {"setup", std::regex(R"(Setup time = \d+\.\d\d seconds\n)")},
      {"execution", std::regex(R"(Execution time = -?\d+\.\d\d seconds\n)")},
      {"speed", std::regex(R"(Backproject speed = \d+\.\d{6} bp/s\n)")},
      {"chunking", std::regex(R"(Enabling chunking operation)")},
  };
  std::map<std::string, int> counts;
  std::map<std::string, int> perJob;
  for (const std::string& text : testutil::logTexts(readFile(log))) {
    bool matched = false;
    for (const auto& [kind, pattern] : known) {
      std::smatch m;
      if (!std::regex_match(text, m, pattern)) continue;
      matched = true;
      ++counts[kind];
      if (m.size() > 1) ++perJob[kind + " " + m[1].str()];
    }
    EXPECT_TRUE(matched) << "log entry: [" << text << "]";
  }
  for (int job = 1; job <= kJobs; ++job) {
    EXPECT_EQ(perJob["started " + std::to_string(job)], 1) << job;
    EXPECT_EQ(perJob["finished " + std::to_string(job)], 1) << job;
  }
  EXPECT_EQ(counts["setup"], kJobs);
  EXPECT_EQ(counts["execution"], kJobs);
  EXPECT_EQ(counts["speed"], kJobs);
  // Each slab run sets up once for the whole region and once per slab.
  EXPECT_EQ(counts["chunking"], kJobs / 2 * (kSlabs + 1));

  // The outputs, byte for byte, and no chunk file left.
  for (int job = 1; job <= kJobs; ++job) {
    const std::string jobDir = dir.file("job" + std::to_string(job));
    EXPECT_TRUE(withoutCommandLine(readFile(jobDir + "/out.vff")) == referenceVolume) << "volume of job " << job;
    EXPECT_TRUE(withoutCommandLine(readFile(jobDir + "/bytes.vff")) == referenceBytes) << "byte volume of job " << job;
    EXPECT_TRUE(testutil::korvanLeftovers(jobDir).empty()) << job;
  }
}

}  // namespace
