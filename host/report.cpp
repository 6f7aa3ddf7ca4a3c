// Job status reports to the reconstruction server over XML-RPC. Nothing is
// sent unless a server address was given; no report failure stops the run.
#include <XmlRpc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/host_detail.h"

namespace {

XmlRpc::XmlRpcClient* report_client = nullptr;
char* report_host = nullptr;
int32_t report_port = 0;
double report_timeout = 30.0;

// The library's own diagnostics would mix with the program's console texts;
// failures are reported by the messages below instead.
class QuietErrors : public XmlRpc::XmlRpcErrorHandler {
 public:
  void error(const char*) override {}
};
QuietErrors quietErrors;

// A server that takes the connection and never answers must not hold the run
// up: each call waits at most the configured timeout, once, and a call that
// times out fails like one to an unreachable server. The connection is
// dropped then, so that a late answer cannot pass for the next call's.
bool call(const char* method, const XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) {
  if (report_client->execute(method, params, result, report_timeout)) return true;
  report_client->close();
  return false;
}

}  // namespace

void init_report_client(const char* host, int port) {
  if (quietLogHook) return;
  XmlRpc::XmlRpcErrorHandler::setErrorHandler(&quietErrors);
  XmlRpc::setVerbosity(0);
  // A second -U (the parameter file's after the command line's) replaces
  // the first client.
  delete report_client;
  report_client = new XmlRpc::XmlRpcClient(host, port);
  std::free(report_host);
  report_host = strdup(host);
  report_port = port;
  report_timeout = read_report_timeout();
}

void report_child_pid(int jobId, int pid) {
  if (!report_host) return;
  XmlRpc::XmlRpcValue params, result;
  params[0] = jobId;
  params[1] = pid;
  if (!call("setJobPid", params, result)) std::printf("Error occured in report_child_pid()!\n");
}

int32_t report_status(int jobId, const char* text, double progress) {
  if (!report_host) return job_end_state;
  XmlRpc::XmlRpcValue params, result;
  params[0] = jobId;
  params[1][0] = text;
  params[1][1] = progress;
  int reply = 0;
  if (!call("setJobStatus", params, result))
    std::printf("Error in setJobStatus call!!\n");
  else if (!report_client->isFault() && result.getType() == XmlRpc::XmlRpcValue::TypeInt)
    reply = static_cast<int>(result);
  if (reply == 1) {
    // The server asks the job to suspend; the run goes on and reports the
    // suspended state at its end.
    job_end_state = kEndSuspended;
    log_errorf("process %d entering suspended state", jobId);
  }
  return job_end_state;
}

int32_t report_error(const char* text) {
  if (!report_host) return job_end_state;
  XmlRpc::XmlRpcValue params, result;
  params[0] = text;
  if (!call("setErrorMessage", params, result)) std::printf("Error occured in report_error()!\n");
  return job_end_state;
}

void report_done(int jobId) {
  if (!report_host) return;
  XmlRpc::XmlRpcValue params, result;
  params[0] = jobId;
  params[1][0] = endStateText(job_end_state);
  params[1][1] = 1.0;
  if (!call("setJobStatus", params, result)) std::printf("Error occured in report_done()!n");
}

void report_at_exit() { report_done(exit_job_id); }
