// Host services: rounding, the failure path, the INI configuration store
// behind the log and the memory limit, and the XML-RPC reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "host/host_detail.h"
#include "support/testutil.h"

using namespace testutil;

namespace {

// Points KORVAN_CONFIG at a file for the life of the object.
struct ConfigEnv {
  explicit ConfigEnv(const std::string& path) { setenv("KORVAN_CONFIG", path.c_str(), 1); }
  ~ConfigEnv() { unsetenv("KORVAN_CONFIG"); }
};

}  // namespace

// Halves, whole numbers and the sign are where the three rules part.
TEST(Rounding, NearestAwayFromZeroIndexBoundsExcludingWholeNumbers) {
  const struct { int (*round)(float); float x; int expected; } rows[] = {
      {roundNearest, 2.5f, 3}, {roundNearest, -2.5f, -3}, {roundNearest, 2.49f, 2}, {roundNearest, -0.4f, 0},
      {roundUpIndex, 3.0f, 4}, {roundUpIndex, -3.0f, -3}, {roundUpIndex, -3.7f, -3}, {roundDownIndex, 7.9f, 7},
      {roundDownIndex, -2.0f, -3}, {roundDownIndex, -0.5f, 0}, {roundDownIndex, -1.5f, -2}};
  for (const auto& row : rows) EXPECT_EQ(row.round(row.x), row.expected) << row.x;
}

TEST(AllocatorsDeathTest, FailureIsLoggedAndEndsTheRun) {
  EXPECT_EQ(loggedEnd([] { vector(-5); }), std::vector<std::string>{"allocation failure in vector()"});
}

// An entry is ctime's text, ": " and the message. Settings that cannot give
// a log write nothing and do not fail the run.
TEST(Log, EntriesAreCtimeTextThenMessageAndUnusableSettingsWriteNothing) {
  TempDir dir;
  const std::string entry = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] \d\d:\d\d:\d\d \d{4}\n: )";
  {
    ConfigEnv env(writeConfig(dir.path(), dir.file("korvan.log")));
    log_error("first entry");
    log_errorf("Execution time = %0.2f seconds\n", 1.5);
  }
  EXPECT_TRUE(std::regex_match(readFile(dir.file("korvan.log")),
                               std::regex(entry + "first entry\n" + entry + "Execution time = 1.50 seconds\n\n")));
  const struct { const char* name; std::string log; } rows[] = {
      {"no configuration file", ""}, {"missing directory", dir.file("no/log.txt")},
      {"path of exactly the 128-byte buffer: no room for its end", dir.path() + "/" + std::string(127 - dir.path().size(), 'x')}};
  for (const auto& row : rows) {
    const std::string path = row.log.empty() ? dir.file("absent.ini") : row.log;  // what must not appear
    ConfigEnv env(row.log.empty() ? path : writeConfig(dir.path(), row.log));
    log_error("no log");
    EXPECT_FALSE(fileExists(path)) << row.name;
  }
}

// Read like %ld; the default where the entry or the file is missing.
TEST(MemoryLimit, ParsedLikeLongWithDefault) {
  TempDir dir;
  for (const auto& [value, limit] : {std::pair<std::string, long>{"1048576", 1048576}, {"512 MB", 512}, {"  -20", -20},
                                     {"MB 512", 268435456}, {"", 268435456}, {"<no file>", 268435456}}) {
    ConfigEnv env(value == "<no file>" ? dir.file("missing.ini") : writeConfig(dir.path(), dir.file("log"), value));
    EXPECT_EQ(read_memory_limit(), limit) << value;
  }
}

// Only the reply 1 to setJobStatus suspends; anything else counts as 0. The
// report client is process-wide, so each server is called from a child.
TEST(ReportingDeathTest, CallsCarryTheirParametersAndSuspensionIsRemembered) {
  TempDir dir;
  ConfigEnv env(writeConfig(dir.path(), dir.file("log")));
  for (const char* reply : {"1", "0", "2", "string", "fault", "float"}) {
    RpcServer server({"--status-reply", reply});
    EXPECT_EXIT((init_report_client("127.0.0.1", server.port()), report_child_pid(7, 4242),
                 report_status(7, "setup...", 0.5), report_done(7), std::exit(0)), ::testing::ExitedWithCode(0), "");
    const std::string end = std::string(reply) == "1" ? "suspended" : "done";
    std::vector<std::string> calls = {"setJobPid\t7\t4242", "setJobStatus\t7\tsetup...\t0.5", "setJobStatus\t7\t" + end + "\t1.0"};
    if (end == "suspended") calls.insert(calls.begin() + 2, "setErrorMessage\tprocess 7 entering suspended state");
    EXPECT_EQ(server.calls(), calls) << reply;
  }
  EXPECT_EQ(logTexts(readFile(dir.file("log"))), std::vector<std::string>{"process 7 entering suspended state"});
}
