// Eight korvan processes at once on one series, one server and one log, half
// of them in slabs: every report arrives, every log entry is whole, every
// output is that of a run on its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "support/testutil.h"

using namespace testutil;

namespace {

constexpr int kJobs = 8, kViews = 60, kSide = 32, kSlabs = 2;  // slabs for the even-numbered jobs

// A VFF file without its cmdLine entry, the one header line that names the
// job (-P) and so differs between runs.
std::string withoutCommandLine(const std::string& file) {
  return std::regex_replace(file, std::regex("\ncmdLine=\"[^\"]*\";\n"), "\n");
}

// The setJobPid and setJobStatus calls by job number, their first parameter.
std::map<int, std::vector<std::string>> callsByJob(const std::vector<std::string>& calls) {
  std::map<int, std::vector<std::string>> byJob;
  for (const std::string& call : calls)
    if (call.rfind("setJobPid\t", 0) == 0 || call.rfind("setJobStatus\t", 0) == 0)
      byJob[std::atoi(call.c_str() + call.find('\t') + 1)].push_back(call);
  return byJob;
}

}  // namespace

TEST(Load, EightSimultaneousRunsReportLogAndWriteAsOneRunAlone) {
  TempDir dir, alone, configs, slabConfigs;
  runPhantom(dir.path(), {"-o", "p%d.vff", "--width", std::to_string(kSide), "--height", std::to_string(kSide),
                          "--full360", "--step", std::to_string(360 / kViews)});
  const std::vector<std::string> run = {korvanBinary(), "-i", dir.file("p%d.vff"), "-f", "0", "-v", "-o", "out.vff",
                                        "-b", "bytes.vff"};
  runKorvan(alone.path(), std::vector<std::string>(run.begin() + 1, run.end()));  // the reference, on its own
  const std::string referenceVolume = withoutCommandLine(readFile(alone.file("out.vff")));
  const std::string referenceBytes = withoutCommandLine(readFile(alone.file("bytes.vff")));
  ASSERT_GT(referenceVolume.size(), static_cast<size_t>(kSide * kSide * kSide * 2));

  // Eight jobs at once, one server, one log; the even ones in two slabs.
  RpcServer server({"--threaded"});
  const std::string log = dir.file("korvan.log"), oneSlab = writeConfig(configs.path(), log);
  const std::string inSlabs = writeConfig(slabConfigs.path(), log, std::to_string(kSide * kSide * 4 * (kSide / kSlabs)));
  std::map<int, int> pidOfJob;
  for (int job = 1; job <= kJobs; ++job) {
    const std::string jobDir = dir.file("job" + std::to_string(job));
    ASSERT_EQ(mkdir(jobDir.c_str(), 0755), 0);
    std::vector<std::string> argv = run;
    argv.insert(argv.end(), {"-U", server.url(), "-P", std::to_string(job)});
    pidOfJob[job] = startProcess(argv, {{"KORVAN_CONFIG", job % 2 ? oneSlab : inSlabs}}, jobDir, jobDir + "/stdout",
                                 jobDir + "/stderr");
  }
  for (const auto& [job, pid] : pidOfJob) EXPECT_EQ(waitProcess(pid, 120), 0) << "job " << job;

  // Each job: one process id, one final state "done"; per slab 0, the
  // fraction of the whole run after each view, then 1; its outputs those of
  // the run alone, no chunk file left.
  const std::map<int, std::vector<std::string>> reports = callsByJob(server.calls());
  EXPECT_EQ(reports.size(), static_cast<size_t>(kJobs));
  for (const auto& [job, calls] : reports) {
    SCOPED_TRACE("job " + std::to_string(job));
    EXPECT_EQ(callsOf(calls, "setJobPid"), std::vector<std::string>{std::to_string(job) + "\t" + std::to_string(pidOfJob[job])});
    EXPECT_EQ(finalStates(calls), std::vector<std::string>{"done"});
    const std::vector<double> p = progress(calls);
    ASSERT_EQ(p.size(), (kViews + 2) * (job % 2 ? 1 : kSlabs));
    std::vector<double> fractions;
    for (size_t at = 0; at < p.size(); at += kViews + 2) {
      EXPECT_TRUE(p[at] == 0.0 && p[at + kViews + 1] == 1.0) << at;
      fractions.insert(fractions.end(), &p[at + 1], &p[at + kViews + 1]);
    }
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_EQ(std::adjacent_find(fractions.begin(), fractions.end()), fractions.end());
    EXPECT_NEAR(fractions.back(), 1.0, 1e-5);
    const std::string jobDir = dir.file("job" + std::to_string(job));
    EXPECT_TRUE(withoutCommandLine(readFile(jobDir + "/out.vff")) == referenceVolume);
    EXPECT_TRUE(withoutCommandLine(readFile(jobDir + "/bytes.vff")) == referenceBytes);
    EXPECT_TRUE(korvanLeftovers(jobDir).empty());
  }

  // The log: whole entries of known texts only; each job's start and end
  // once, its timing figures, and chunking set up for the region and per slab.
  const std::regex known(R"((process (\d) (started on node 0\.\.\.|finished\.))|(Setup time = \d+\.\d\d seconds\n)|)"
                         R"((Execution time = -?\d+\.\d\d seconds\n)|(Backproject speed = \d+\.\d{6} bp/s\n)|)"
                         R"((Enabling chunking operation))");
  std::map<std::string, int> counts;
  for (const std::string& text : logTexts(readFile(log))) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(text, m, known)) << "log entry: [" << text << "]";
    for (size_t k = 1; k < m.size(); ++k)
      if (m[k].matched && k != 2 && k != 3) ++counts[k == 1 ? m[k].str() : std::to_string(k)];
  }
  for (int job = 1; job <= kJobs; ++job)
    for (const char* end : {" started on node 0...", " finished."})
      EXPECT_EQ(counts["process " + std::to_string(job) + end], 1) << job << end;
  EXPECT_EQ((std::vector<int>{counts["4"], counts["5"], counts["6"]}), std::vector<int>(3, kJobs));  // the timings
  EXPECT_EQ(counts["7"], kJobs / 2 * (kSlabs + 1));
}
