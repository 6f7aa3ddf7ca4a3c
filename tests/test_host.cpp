// Host services: rounding, the failure path, the configuration behind the log and memory limit, the reports.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/host_detail.h"
#include "support/testutil.h"

using namespace testutil;

// Halves, whole numbers and the sign are where the three rules part.
TEST(Rounding, NearestAwayFromZeroIndexBoundsExcludingWholeNumbers) {
  const struct { int (*round)(float); float x; int expected; } rows[] = {
      {roundNearest, 2.5f, 3}, {roundNearest, -2.5f, -3}, {roundNearest, 2.49f, 2}, {roundUpIndex, 3.0f, 4},
      {roundUpIndex, -3.0f, -3}, {roundUpIndex, -3.7f, -3}, {roundDownIndex, 7.9f, 7}, {roundDownIndex, -2.0f, -3},
      {roundDownIndex, -0.5f, 0}, {roundDownIndex, -1.5f, -2}};
  for (const auto& row : rows) EXPECT_EQ(row.round(row.x), row.expected) << row.x;
}

TEST(AllocatorsDeathTest, FailureIsLoggedAndEndsTheRun) {
  EXPECT_EQ(loggedEnd([] { vector(-5); }), std::vector<std::string>{"allocation failure in vector()"});
}

// An entry is ctime's text, ": " and the message (logTexts reads no other
// form). Settings that cannot give a log write nothing and do not fail.
TEST(Log, EntriesAreCtimeTextThenMessageAndUnusableSettingsWriteNothing) {
  TempDir dir;
  setenv("KORVAN_CONFIG", writeConfig(dir.path(), dir.file("korvan.log")).c_str(), 1);
  log_error("first entry"), log_errorf("%0.2f seconds\n", 1.5);
  EXPECT_EQ(logTexts(readFile(dir.file("korvan.log"))), (std::vector<std::string>{"first entry", "1.50 seconds\n"}));
  const std::string full = dir.path() + "/" + std::string(127 - dir.path().size(), 'x');  // the buffer's 128 bytes
  // Rows: no configuration file (the empty log), a missing directory, no room for the path's end.
  for (const std::string& log : {std::string(), dir.file("no/log"), full}) {
    const std::string path = log.empty() ? dir.file("absent.ini") : log;  // what must not appear
    setenv("KORVAN_CONFIG", (log.empty() ? path : writeConfig(dir.path(), log)).c_str(), 1);
    EXPECT_FALSE((log_error("no log"), fileExists(path))) << log;
  }
}

// Read like %ld; the default where the entry or the file is missing.
TEST(MemoryLimit, ParsedLikeLongWithDefault) {
  TempDir dir;
  for (const auto& [value, limit] : {std::pair<std::string, long>{"1048576", 1048576}, {"512 MB", 512}, {"  -20", -20},
                                     {"MB 512", 268435456}, {"", 268435456}, {"<no file>", 268435456}}) {
    setenv("KORVAN_CONFIG", (value == "<no file>" ? dir.file("none") : writeConfig(dir.path(), "", value)).c_str(), 1);
    EXPECT_EQ(read_memory_limit(), limit) << value;
  }
}

// Only the reply 1 to setJobStatus suspends; anything else counts as 0. The
// report client is process-wide, so each server is called from a child.
TEST(ReportingDeathTest, OnlyReplyOneSuspends) {
  TempDir dir;
  setenv("KORVAN_CONFIG", writeConfig(dir.path(), dir.file("log")).c_str(), 1);
  for (const char* reply : {"1", "0", "2", "string", "fault", "float"}) {
    RpcServer server({"--status-reply", reply});
    EXPECT_EXIT((init_report_client("127.0.0.1", server.port()), report_status(7, "setup...", 0.5), report_done(7),
                 std::exit(0)), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(finalStates(server.calls()), std::vector<std::string>{*reply == '1' ? "suspended" : "done"}) << reply;
  }
}
