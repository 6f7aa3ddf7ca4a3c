// Whole-process tests of what a run tells the reconstruction server: the
// built korvan reports to a real XML-RPC server that records every call, or
// to a port where nobody listens.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support/testutil.h"

namespace {

using testutil::ProcessResult;
using testutil::RpcServer;
using testutil::TempDir;

// One recorded setJobStatus call.
struct Status {
  int job;
  std::string text;
  double progress;
};

// The recorder writes JSON; the texts here need only its escapes for
// quotes, backslashes and line feeds.
std::string unescapeJson(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      ++i;
      out += s[i] == 'n' ? '\n' : s[i] == 't' ? '\t' : s[i];
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<Status> statuses(const RpcServer& server) {
  static const std::regex call(R"re(setJobStatus\t\[(-?\d+), \["((?:[^"\\]|\\.)*)", ([-0-9.e]+)\]\])re");
  std::vector<Status> out;
  for (const std::string& line : server.calls("setJobStatus")) {
    std::smatch m;
    if (std::regex_match(line, m, call))
      out.push_back({std::stoi(m[1]), unescapeJson(m[2]), std::stod(m[3])});
    else
      out.push_back({-99, "<unparsed> " + line, -1.0});
  }
  return out;
}

std::vector<std::string> errorMessages(const RpcServer& server) {
  static const std::regex call(R"re(setErrorMessage\t\["((?:[^"\\]|\\.)*)"\])re");
  std::vector<std::string> out;
  for (const std::string& line : server.calls("setErrorMessage")) {
    std::smatch m;
    out.push_back(std::regex_match(line, m, call) ? unescapeJson(m[1]) : "<unparsed> " + line);
  }
  return out;
}

// A port on this machine where nobody listens.
int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class ReportingTest : public ::testing::Test {
 protected:
  ProcessResult run(const std::vector<std::string>& args, const std::string& memoryLimit = "") {
    std::vector<std::string> argv = {testutil::korvanBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string config = testutil::writeConfig(dir_, dir_.file("korvan.log"), memoryLimit);
    ProcessResult r = testutil::runProcess(argv, {{"KORVAN_CONFIG", config}}, "", 120, dir_.path());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 0);
    return r;
  }

  std::string log() const { return testutil::readFile(dir_.file("korvan.log")); }

  void writeProjection(const std::string& name, const std::vector<std::string>& keys) {
    testutil::writeFile(dir_.file(name),
                        testutil::vffHeader(4, 4, 16, keys) + testutil::bigEndianShorts(std::vector<int16_t>(16, 1)));
  }

  // Two slices of the full-turn reference series: a complete run in moments.
  std::vector<std::string> referenceRun(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"-i", testutil::testDataDir() + "/shepp64-full/p%d.vff",
                                     "-f", "0", "-o", "out.vff", "-v", "-z", "31", "-e", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  TempDir dir_;
};

using ProcessId = ReportingTest;
using FailedRun = ReportingTest;
using CompleteRun = ReportingTest;
using UnreachableServer = ReportingTest;

TEST_F(ProcessId, IsSentWithJobNumberAndServerOnly) {
  RpcServer server;
  run({"-U", server.url(), "-P", "7"});
  const std::vector<std::string> calls = server.calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], "setErrorMessage\t[\"process 7 started on node 0...\"]");
  EXPECT_TRUE(std::regex_match(calls[1], std::regex(R"(setJobPid\t\[7, [1-9]\d*\])"))) << calls[1];
  EXPECT_EQ(calls[2], "setErrorMessage\t[\"Error: No in_spec given!\"]");
  EXPECT_EQ(calls[3], "setJobStatus\t[7, [\"error\", 1.0]]");

  RpcServer withoutJob;
  run({"-U", withoutJob.url()});
  EXPECT_EQ(withoutJob.calls(), (std::vector<std::string>{"setErrorMessage\t[\"Error: No in_spec given!\"]",
                                                          "setJobStatus\t[0, [\"error\", 1.0]]"}));
}

TEST_F(FailedRun, MissingAngleIncrementIsAnIncorrectArgument) {
  RpcServer server;
  writeProjection("p1.vff", {"center_of_rotation=1.5;", "central_slice=1.5;", "rfan=100;"});
  run({"-i", "p%d.vff", "-f", "1", "-o", "out.vff", "-U", server.url()});
  EXPECT_EQ(errorMessages(server), std::vector<std::string>{"\nNo angle increment given!\n"});
  const std::vector<Status> s = statuses(server);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].job, -1);
  EXPECT_EQ(s[0].text, "Error: incorrect arguments");
  EXPECT_EQ(s[0].progress, 1.0);
  EXPECT_EQ(s[1].job, 0);
  EXPECT_EQ(s[1].text, "error");
}

TEST_F(FailedRun, MissingProjectionStopsBeforeReconstruction) {
  RpcServer server;
  writeProjection("p1.vff", {"center_of_rotation=1.5;", "central_slice=1.5;", "rfan=100;", "angle_increment=90;"});
  run({"-i", "p%d.vff", "-f", "1", "-o", "out.vff", "-v", "-U", server.url(), "-P", "4"});
  const std::string message = "Error: unable to open p2.vff.\nNot enough input files to perform reconstruction.";
  EXPECT_EQ(errorMessages(server), (std::vector<std::string>{"process 4 started on node 0...", message}));
  const std::vector<Status> s = statuses(server);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].text, "setup...");
  EXPECT_EQ(s[0].progress, 0.0);
  EXPECT_EQ(s[1].text, message);
  EXPECT_EQ(s[1].progress, 1.0);
  EXPECT_EQ(s[2].job, 4);
  EXPECT_EQ(s[2].text, "error");
  EXPECT_NE(log().find(": " + message + "\n"), std::string::npos);
}

TEST_F(UnreachableServer, EveryReportSaysItFailedAndTheRunEnds) {
  const std::string url = "http://127.0.0.1:" + std::to_string(closedPort());
  ProcessResult r = run({"-U", url, "-P", "3"});
  const std::string out = r.out;
  const std::string expectedStart = "\n\nkorvan version 1.13(WIN32)\n"
                                    "Error occured in report_error()!\n"
                                    "Error occured in report_child_pid()!\n"
                                    "Error occured in report_error()!\n"
                                    "\nUsage: korvan [-F]\n";
  EXPECT_EQ(out.substr(0, expectedStart.size()), expectedStart);
  const std::string expectedEnd = "     type 'korvan -h' for help\nError occured in report_done()!n";
  ASSERT_GE(out.size(), expectedEnd.size());
  EXPECT_EQ(out.substr(out.size() - expectedEnd.size()), expectedEnd);
  // The log does not depend on the server.
  EXPECT_NE(log().find(": process 3 started on node 0...\n"), std::string::npos);
  EXPECT_NE(log().find(": Error: No in_spec given!\n"), std::string::npos);
}

TEST_F(CompleteRun, ReportsProgressAndDoneOnce) {
  RpcServer server;
  ProcessResult r = run(referenceRun({"-U", server.url(), "-P", "9"}));
  EXPECT_EQ(server.calls("setJobPid").size(), 1u);

  const std::vector<Status> s = statuses(server);
  ASSERT_GE(s.size(), 6u);
  EXPECT_EQ(s.front().text, "setup...");
  EXPECT_EQ(s.front().progress, 0.0);
  EXPECT_EQ(s[1].text, "setup...");
  EXPECT_EQ(s[1].progress, 1.0);
  EXPECT_EQ(s[2].text, "Back-projecting in spatial domain...");
  EXPECT_EQ(s[2].progress, 0.0);
  EXPECT_EQ(s[s.size() - 3].text, "Back-projecting in spatial domain...");
  EXPECT_EQ(s[s.size() - 3].progress, 1.0);
  EXPECT_EQ(s[s.size() - 2].text, "cleanup...");
  EXPECT_EQ(s.back().text, "done");
  EXPECT_EQ(s.back().progress, 1.0);
  for (const Status& status : s) EXPECT_EQ(status.job, 9) << status.text;
  int finals = 0;
  for (const Status& status : s) finals += status.text == "done" || status.text == "error";
  EXPECT_EQ(finals, 1);

  // Every logged text went to the server as well, in the same order.
  const std::vector<std::string> messages = errorMessages(server);
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0], "process 9 started on node 0...");
  EXPECT_TRUE(std::regex_match(messages[1], std::regex(R"(Setup time = \d+\.\d\d seconds\n)")));
  EXPECT_EQ(messages[2], "process 9 finished.");
  EXPECT_TRUE(std::regex_match(messages[3], std::regex(R"(Execution time = -?\d+\.\d\d seconds\n)")));
  EXPECT_TRUE(std::regex_match(messages[4], std::regex(R"(Backproject speed = \d+\.\d{6} bp/s\n)")));
  std::string expectedLog;
  for (const std::string& m : messages) expectedLog += ": " + m + "\n";
  std::string logText = std::regex_replace(log(), std::regex(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n: )"), ": ");
  EXPECT_EQ(logText, expectedLog);
  EXPECT_NE(r.out.find("nang = 180\n"), std::string::npos);
}

TEST_F(CompleteRun, WithoutJobNumberProgressCarriesMinusOne) {
  RpcServer server;
  run(referenceRun({"-U", server.url()}));
  EXPECT_TRUE(server.calls("setJobPid").empty());
  const std::vector<Status> s = statuses(server);
  ASSERT_FALSE(s.empty());
  for (size_t i = 0; i + 1 < s.size(); ++i) EXPECT_EQ(s[i].job, -1) << s[i].text;
  EXPECT_EQ(s.back().job, 0);
  EXPECT_EQ(s.back().text, "done");
}

TEST_F(CompleteRun, SuspensionRequestChangesTheFinalState) {
  RpcServer server({"--suspend-after", "2"});
  run(referenceRun({"-U", server.url(), "-P", "5"}));
  const std::vector<Status> s = statuses(server);
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(s.back().text, "suspended");
  EXPECT_EQ(s.back().job, 5);
  const std::vector<std::string> messages = errorMessages(server);
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[1], "process 5 entering suspended state");
  EXPECT_TRUE(testutil::fileExists(dir_.file("out.vff")));
}

TEST_F(UnreachableServer, ReconstructionStillCompletes) {
  const std::string url = "http://127.0.0.1:" + std::to_string(closedPort());
  ProcessResult r = run(referenceRun({"-U", url}));
  EXPECT_NE(r.out.find("Error in setJobStatus call!!\n"), std::string::npos);
  const std::string end = "Error occured in report_done()!n";
  ASSERT_GE(r.out.size(), end.size());
  EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
  EXPECT_NE(log().find(": Execution time = "), std::string::npos);
  EXPECT_GT(testutil::readFile(dir_.file("out.vff")).size(), 64u * 64u * 2u * 2u);
}

}  // namespace
