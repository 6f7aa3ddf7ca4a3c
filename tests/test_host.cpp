// Host services: rounding, the failure path, the INI configuration
// store behind the log and the memory limit, and the XML-RPC reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "host/config_store.h"
#include "host/host_detail.h"
#include "support/testutil.h"

using testutil::readFile;
using testutil::TempDir;
using testutil::writeConfig;

namespace {

// Points KORVAN_CONFIG at a file for the life of the object.
struct ConfigEnv {
  explicit ConfigEnv(const std::string& path) { setenv("KORVAN_CONFIG", path.c_str(), 1); }
  ~ConfigEnv() { unsetenv("KORVAN_CONFIG"); }
};

}  // namespace

TEST(Rounding, NearestAwayFromZeroIndexBoundsExcludingWholeNumbers) {
  const struct {
    int (*round)(float);
    float x;
    int expected;
  } rows[] = {{roundNearest, 2.5f, 3},   {roundNearest, -2.5f, -3},  {roundNearest, 2.49f, 2},  {roundNearest, -0.4f, 0},
              {roundUpIndex, 3.0f, 4},   {roundUpIndex, -3.0f, -3},  {roundUpIndex, -3.7f, -3}, {roundDownIndex, 7.9f, 7},
              {roundDownIndex, -2.0f, -3}, {roundDownIndex, -0.5f, 0}, {roundDownIndex, -1.5f, -2}};
  for (const auto& row : rows) EXPECT_EQ(row.round(row.x), row.expected) << &row - rows;
}

TEST(AllocatorsDeathTest, FailureIsLoggedAndEndsTheRun) {
  EXPECT_EQ(testutil::loggedEnd([] { vector(-5); }), std::vector<std::string>{"allocation failure in vector()"});
}

TEST(Log, EntriesAreCtimeTextThenMessage) {
  TempDir dir;
  ConfigEnv env(writeConfig(dir.path(), dir.file("korvan.log")));
  log_error("first entry");
  log_errorf("Execution time = %0.2f seconds\n", 1.5);
  const std::string entry = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] \d\d:\d\d:\d\d \d{4}\n: )";
  EXPECT_TRUE(std::regex_match(readFile(dir.file("korvan.log")),
                               std::regex(entry + "first entry\n" + entry + "Execution time = 1.50 seconds\n\n")));
}

// Settings that cannot give a log: nothing is written and the run goes on.
TEST(Log, UnusableSettingsWriteNothingAndDoNotFail) {
  TempDir dir;
  const std::string ini = dir.file("k.ini");
  testutil::writeFile(ini, "[SOFTWARE\\ALVERO\\Recon]\nMemoryLimit=1000\n");
  {
    ConfigEnv env(ini);  // no log entry: the key is created, nothing logged
    log_error("nowhere");
    EXPECT_NE(readFile(ini).find("[SOFTWARE\\ALVERO\\ReconServer]"), std::string::npos);
    ConfigKey key;
    EXPECT_TRUE(configOpenKey("software\\alvero\\reconserver", key));
  }
  // A path of exactly the 128-byte buffer leaves no room for the terminator.
  const std::string longPath = dir.path() + "/" + std::string(127 - dir.path().size(), 'x');
  for (const std::string& config : {dir.file("absent.ini"), writeConfig(dir.path(), dir.file("no/dir/log.txt")),
                                    writeConfig(dir.path(), longPath)}) {
    ConfigEnv env(config);
    log_error("no log");
  }
  EXPECT_FALSE(testutil::fileExists(dir.file("absent.ini")) || testutil::fileExists(dir.file("no")) ||
               testutil::fileExists(longPath));
}

TEST(MemoryLimit, ParsedLikeLongWithDefault) {
  TempDir dir;
  const long fallback = 268435456;  // also when the entry is missing ("") or the file is
  for (const auto& [value, limit] : {std::pair<std::string, long>{"1048576", 1048576}, {"512 MB", 512}, {"  -20", -20},
                                     {"MB 512", fallback}, {"", fallback}}) {
    ConfigEnv env(writeConfig(dir.path(), dir.file("log"), value));
    EXPECT_EQ(read_memory_limit(), limit) << value;
  }
  ConfigEnv none(dir.file("missing.ini"));
  EXPECT_EQ(read_memory_limit(), fallback);
}

// The report client is process-wide, so every case that talks to a server
// runs in its own child process.
TEST(ReportingDeathTest, CallsCarryTheirParametersAndSuspensionIsRemembered) {
  testutil::RpcServer server({"--status-reply", "1"});
  TempDir dir;
  ConfigEnv env(writeConfig(dir.path(), dir.file("log")));
  auto suspended = [&] {
    init_report_client("127.0.0.1", server.port());
    report_child_pid(7, 4242);
    const int state = report_status(7, "setup...", 0.5);
    report_done(7);
    return state == kEndSuspended;
  };
  EXPECT_EXIT(std::exit(suspended() ? 0 : 1), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(server.calls(), (std::vector<std::string>{"setJobPid\t7\t4242", "setJobStatus\t7\tsetup...\t0.5",
                                                      "setErrorMessage\tprocess 7 entering suspended state",
                                                      "setJobStatus\t7\tsuspended\t1.0"}));
  EXPECT_NE(readFile(dir.file("log")).find("\n: process 7 entering suspended state\n"), std::string::npos);
  for (const char* reply : {"0", "2", "string", "fault", "float"}) {  // only 1 suspends
    testutil::RpcServer other({"--status-reply", reply});
    auto done = [&] { return init_report_client("127.0.0.1", other.port()), report_status(1, "setup...", 0.0) == kEndDone; };
    EXPECT_EXIT(std::exit(done() ? 0 : 1), ::testing::ExitedWithCode(0), "") << reply;
  }
}
