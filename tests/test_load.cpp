// Eight runs at once, one server, one log, half in slabs: every report arrives, every entry whole, outputs as alone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "support/testutil.h"

using namespace testutil;

TEST(Load, EightSimultaneousRunsReportLogAndWriteAsOneRunAlone) {
  constexpr int kJobs = 8, kViews = 60, kSide = 32;  // two slabs for the even-numbered jobs
  const auto outputs = [](const std::string& d) {  // cmdLine names the job
    const std::regex commandLine("\ncmdLine=.*\n");
    return std::regex_replace(readFile(d + "/out.vff") + readFile(d + "/bytes.vff"), commandLine, "\n");
  };
  TempDir dir, alone, configs, slabConfigs;
  runPhantom(dir.path(), {"-o", "p%d.vff", "--width", "32", "--height", "32", "--full360", "--step", "6"});
  const std::vector<std::string> run = {korvanBinary(), "-i", dir.file("p%d.vff"), "-f", "0", "-v", "-o", "out.vff",
                                        "-b", "bytes.vff"};
  runKorvan(alone.path(), std::vector<std::string>(run.begin() + 1, run.end()));  // the reference, on its own
  const std::string reference = outputs(alone.path());
  ASSERT_GT(reference.size(), size_t(kSide * kSide * kSide * 2));

  RpcServer server;
  const std::string log = dir.file("korvan.log"), oneSlab = writeConfig(configs.path(), log);
  const std::string inSlabs = writeConfig(slabConfigs.path(), log, std::to_string(kSide * kSide * 4 * kSide / 2));
  std::map<int, int> pidOfJob;
  for (int job = 1; job <= kJobs; ++job) {
    const std::string jobDir = dir.file(std::to_string(job));
    std::vector<std::string> argv = run;
    argv.insert(argv.end(), {"-U", server.url(), "-P", std::to_string(job)});
    ASSERT_EQ(mkdir(jobDir.c_str(), 0755), 0);
    pidOfJob[job] = startProcess(argv, {{"KORVAN_CONFIG", job % 2 ? oneSlab : inSlabs}}, jobDir, jobDir + "/out",
                                 jobDir + "/err");
  }
  for (const auto& [job, pid] : pidOfJob) EXPECT_EQ(waitProcess(pid, 120), 0) << "job " << job;

  // Each job: its pid, every progress report, rising between the slabs' 0 and 1, one "done", no chunk file left.
  for (const auto& [job, pid] : pidOfJob) {
    const std::string number = std::to_string(job) + "\t", jobDir = dir.file(std::to_string(job));
    std::vector<std::string> calls;
    for (const std::string& c : server.calls())
      if (c.rfind("setJobPid\t" + number, 0) == 0 || c.rfind("setJobStatus\t" + number, 0) == 0) calls.push_back(c);
    EXPECT_EQ(callsOf(calls, "setJobPid"), std::vector<std::string>{number + std::to_string(pid)}) << job;
    EXPECT_EQ(finalStates(calls), std::vector<std::string>{"done"}) << job;
    std::vector<double> p = progress(calls);
    EXPECT_EQ(p.size(), (kViews + 2) * (job % 2 ? 1u : 2u)) << job;
    p.erase(std::remove_if(p.begin(), p.end(), [](double v) { return v == 0 || v == 1; }), p.end());
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()) && std::adjacent_find(p.begin(), p.end()) == p.end()) << job;
    EXPECT_TRUE(outputs(jobDir) == reference && korvanLeftovers(jobDir).empty()) << job;
  }

  // The log: whole entries, each job's start, end and timings once, chunking for region and slabs of slab jobs.
  std::map<std::string, int> counts, expected = {{"Setup time = # seconds\n", kJobs}, {"Execution time = # seconds\n",
      kJobs}, {"Backproject speed = # bp/s\n", kJobs}, {"Enabling chunking operation", kJobs / 2 * 3}};
  for (const std::string& text : logTexts(readFile(log)))
    ++counts[std::regex_replace(text, std::regex("-?\\d+\\.\\d+"), "#")];
  for (int job = 1; job <= kJobs; ++job)
    for (const char* end : {" started on node 0...", " finished."}) expected["process " + std::to_string(job) + end]++;
  EXPECT_EQ(counts, expected);
}
