// Host services: allocators, rounding and byte order, the INI configuration
// store behind the log and the memory limit, and the XML-RPC reports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "host/config_store.h"
#include "host/host_detail.h"
#include "support/testutil.h"

using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

namespace {

// Points KORVAN_CONFIG at a file for the life of the object.
class ConfigEnv {
 public:
  explicit ConfigEnv(const std::string& path) { setenv("KORVAN_CONFIG", path.c_str(), 1); }
  ~ConfigEnv() { unsetenv("KORVAN_CONFIG"); }
};

const char* const kEntry = R"(^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] \d\d:\d\d:\d\d \d{4}\n: )";

}  // namespace

TEST(Rounding, NearestGoesAwayFromZeroAtHalves) {
  EXPECT_EQ(roundNearest(2.5f), 3);
  EXPECT_EQ(roundNearest(-2.5f), -3);
  EXPECT_EQ(roundNearest(2.49f), 2);
  EXPECT_EQ(roundNearest(-0.4f), 0);
}

TEST(Rounding, IndexBoundsExcludeWholeNumbers) {
  EXPECT_EQ(roundUpIndex(3.0f), 4);
  EXPECT_EQ(roundUpIndex(3.2f), 4);
  EXPECT_EQ(roundUpIndex(-3.0f), -3);
  EXPECT_EQ(roundUpIndex(-3.7f), -3);
  EXPECT_EQ(roundDownIndex(7.0f), 7);
  EXPECT_EQ(roundDownIndex(7.9f), 7);
  EXPECT_EQ(roundDownIndex(-2.0f), -3);
  EXPECT_EQ(roundDownIndex(-0.5f), 0);
  EXPECT_EQ(roundDownIndex(-1.5f), -2);
}

TEST(ByteOrder, SwapsReverseEachSample) {
  unsigned char s16[4] = {1, 2, 3, 4};
  swapBytes16(s16, 2);
  EXPECT_EQ(std::memcmp(s16, "\x02\x01\x04\x03", 4), 0);
  unsigned char s32[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  swapBytes32(s32, 2);
  EXPECT_EQ(std::memcmp(s32, "\x04\x03\x02\x01\x08\x07\x06\x05", 8), 0);
}

TEST(Allocators, ZeroFilledAndEmptyForCountZero) {
  float* f = vector(1000);
  int16_t* s = svector(10);
  uint8_t* b = bvector(10);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(f[i], 0.0f);
  EXPECT_EQ(s[9], 0);
  EXPECT_EQ(b[9], 0);
  EXPECT_EQ(vector(0), nullptr);
  std::free(f);
  std::free(s);
  std::free(b);
}

TEST(AllocatorsDeathTest, FailureIsLoggedAndEndsWithStatusZero) {
  TempDir dir;
  ConfigEnv env(testutil::writeConfig(dir, dir.file("log.txt")));
  EXPECT_EXIT(vector(-5), ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(std::regex_search(readFile(dir.file("log.txt")),
                                std::regex(std::string(kEntry) + "allocation failure in vector\\(\\)\n$")));
}

TEST(Log, EntriesAreCtimeTextThenMessage) {
  TempDir dir;
  ConfigEnv env(testutil::writeConfig(dir, dir.file("korvan.log")));
  log_error("first entry");
  log_errorf("Execution time = %0.2f seconds\n", 1.5);
  std::string log = readFile(dir.file("korvan.log"));
  std::regex two(std::string(kEntry) + "first entry\n" + std::string(kEntry).substr(1) +
                 "Execution time = 1.50 seconds\n\n$");
  EXPECT_TRUE(std::regex_search(log, two)) << log;
}

TEST(Log, MissingKeyIsCreatedButNothingIsWritten) {
  TempDir dir;
  std::string ini = dir.file("k.ini");
  writeFile(ini, "[SOFTWARE\\ALVERO\\Recon]\nMemoryLimit=1000\n");
  ConfigEnv env(ini);
  log_error("nowhere");
  EXPECT_NE(readFile(ini).find("[SOFTWARE\\ALVERO\\ReconServer]"), std::string::npos);
  ConfigKey key;
  EXPECT_TRUE(configOpenKey("software\\alvero\\reconserver", key));
}

TEST(Log, UnusableSettingsWriteNothingAndDoNotFail) {
  TempDir dir;
  ConfigEnv missingFile(dir.file("absent.ini"));
  log_error("no configuration");
  EXPECT_FALSE(testutil::fileExists(dir.file("absent.ini")));

  ConfigEnv badDir(testutil::writeConfig(dir, dir.file("no/such/dir/log.txt")));
  log_error("no directory");
  EXPECT_FALSE(testutil::fileExists(dir.file("no")));

  std::string longPath = dir.path() + "/" + std::string(140, 'x');
  ConfigEnv tooLong(testutil::writeConfig(dir, longPath));
  log_error("path too long for the 128-byte buffer");
  EXPECT_FALSE(testutil::fileExists(longPath));
}

TEST(MemoryLimit, ParsedLikeLongWithDefault) {
  TempDir dir;
  auto limitFor = [&](const std::string& value) {
    ConfigEnv env(testutil::writeConfig(dir, dir.file("log"), value));
    return read_memory_limit();
  };
  EXPECT_EQ(limitFor("1048576"), 1048576);
  EXPECT_EQ(limitFor("512 MB"), 512);
  EXPECT_EQ(limitFor("  -20"), -20);
  EXPECT_EQ(limitFor("MB 512"), 268435456);
  EXPECT_EQ(limitFor(""), 268435456);  // no Recon section at all
  ConfigEnv none(dir.file("missing.ini"));
  EXPECT_EQ(read_memory_limit(), 268435456);
}

TEST(EndState, Texts) {
  EXPECT_STREQ(endStateText(0), "done");
  EXPECT_STREQ(endStateText(1), "suspended");
  EXPECT_STREQ(endStateText(2), "killed");
  EXPECT_STREQ(endStateText(-1), "error");
  EXPECT_STREQ(endStateText(7), "error");
}

// The report client is process-wide, so every case that talks to a server
// runs in its own child process.
TEST(ReportingDeathTest, NothingIsSentWithoutAClient) {
  EXPECT_EXIT(
      {
        testing::internal::CaptureStdout();
        report_child_pid(1, 2);
        report_error("x");
        int state = report_status(1, "setup...", 0.0);
        report_done(1);
        std::string out = testing::internal::GetCapturedStdout();
        std::exit(out.empty() && state == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ReportingDeathTest, CallsCarryTheirParametersAndSuspensionIsRemembered) {
  testutil::RpcServer server({"--status-reply", "1"});
  TempDir dir;
  ConfigEnv env(testutil::writeConfig(dir, dir.file("log")));
  EXPECT_EXIT(
      {
        init_report_client("127.0.0.1", server.port());
        report_child_pid(7, 4242);
        int state = report_status(7, "setup...", 0.5);
        report_done(7);
        std::exit(state == kEndSuspended ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  std::vector<std::string> expected = {
      "setJobPid\t[7, 4242]",
      "setJobStatus\t[7, [\"setup...\", 0.5]]",
      "setErrorMessage\t[\"process 7 entering suspended state\"]",
      "setJobStatus\t[7, [\"suspended\", 1.0]]",
  };
  EXPECT_EQ(server.calls(), expected);
  EXPECT_NE(readFile(dir.file("log")).find("\n: process 7 entering suspended state\n"), std::string::npos);
}

TEST(ReportingDeathTest, RepliesThatAreNotOneLeaveTheStateAlone) {
  for (const char* reply : {"0", "2", "string", "fault", "float"}) {
    testutil::RpcServer server({"--status-reply", reply});
    EXPECT_EXIT(
        {
          init_report_client("127.0.0.1", server.port());
          std::exit(report_status(1, "setup...", 0.0) == kEndDone ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << reply;
  }
}

TEST(ReportingDeathTest, UnreachableServerPrintsEachFailure) {
  EXPECT_EXIT(
      {
        testing::internal::CaptureStdout();
        init_report_client("127.0.0.1", 1);  // nothing listens on port 1
        report_child_pid(1, 2);
        report_status(1, "setup...", 0.0);
        report_error("text");
        report_done(1);
        std::string out = testing::internal::GetCapturedStdout();
        std::exit(out == "Error occured in report_child_pid()!\nError in setJobStatus call!!\n"
                         "Error occured in report_error()!\nError occured in report_done()!n"
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
