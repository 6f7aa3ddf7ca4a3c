// Test support: temporary files, the built programs as processes, a recording XML-RPC server, VFF writing and reading.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/view/view.h"

namespace testutil {

class TempDir {
  std::string path_;

 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// korvan's chunk and unfinished output files (names holding ".korvan-") in a directory, sorted.
std::vector<std::string> korvanLeftovers(const std::string& dir);

// Runs argv[0] (a path) in workDir (default: the current one), `env` adding or replacing (empty: removing)
// variables; exit status 128 + signal when killed, -1 (killed) after timeoutSeconds. startProcess does not wait.
struct ProcessResult { int exitStatus = -1; std::string out, err; };
ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                         const std::string& input = "", double timeoutSeconds = 120, const std::string& workDir = "");
int startProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& workDir, const std::string& outFile, const std::string& errFile,
                 const std::string& inFile = "/dev/null");
int waitProcess(int pid, double timeoutSeconds);

std::string korvanBinary();
std::string toolBinary(const std::string& name);  // korvan-phantom, korvan-view
std::string testDataDir();                        // tests/data
std::string sourceDir();
// The launcher words that start `processes` processes sharing one job; none for one, or without MPI.
std::vector<std::string> mpirun(int processes);

// The host configuration dir/korvan.ini (KORVAN_CONFIG): log file, memory limit unless empty, further Recon lines.
std::string writeConfig(const std::string& dir, const std::string& logFile, const std::string& memoryLimit = "",
                        const std::string& reconLines = "");

// tests/support/rpc_server.py with `options`; calls() are its recorded lines, e.g. "setJobStatus\t9\tdone\t1.0".
class RpcServer {
  TempDir dir_;
  int pid_ = -1, port_ = 0;

 public:
  explicit RpcServer(const std::vector<std::string>& options = {});
  ~RpcServer();
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> calls() const;
};

std::vector<std::string> callsOf(const std::vector<std::string>& calls, const std::string& method);
std::vector<std::string> finalStates(const std::vector<std::string>& calls);  // done, error, suspended
std::vector<double> progress(const std::vector<std::string>& calls);          // of the back-projection
std::vector<std::string> messages(const std::vector<std::string>& calls);     // setErrorMessage texts

// The texts of a log, one per entry; anything but whole entries adds "<malformed>".
std::vector<std::string> logTexts(const std::string& log);

// Runs `step` as a death test ending with `status` (0: a failed run) and stderr matching `err`; the log's texts.
std::vector<std::string> loggedEnd(const std::function<void()>& step, int status = 0, const std::string& err = "");

constexpr int kAnyStatus = -1000;
struct RunOptions {
  std::string memoryLimit, reconLines;     // of the configuration (writeConfig)
  std::map<std::string, std::string> env;  // as for runProcess
  const RpcServer* server = nullptr;       // adds -U <its url>; its calls are recorded
  int processes = 1;                       // more: started by mpirun
  int expectStatus = 0;                    // checked unless kAnyStatus; a timeout (120 s) always fails
};
struct KorvanRun {
  int status = -1;
  std::string out, err;
  std::vector<std::string> log, calls;  // texts of dir/korvan.log after the run (earlier runs' too); its server calls
  std::string lastLogged() const { return log.empty() ? "<nothing logged>" : log.back(); }
};
// Runs korvan with `args` in `dir`, with dir/korvan.ini naming the log dir/korvan.log.
KorvanRun runKorvan(const std::string& dir, std::vector<std::string> args, const RunOptions& options = {});
void runPhantom(const std::string& dir, const std::vector<std::string>& args);  // korvan-phantom, expecting success

// A VFF file of `size` (rank 2 or 3), `bits` 8, 16 (signed) or 32 (float), extra "key=value;" lines, big-endian.
std::string vffFile(const std::vector<int>& size, int bits, const std::vector<std::string>& extra,
                    const std::vector<double>& samples);
// A VFF file read with korvan-view's reader; a file it refuses fails the test.
view::Volume readVff(const std::string& path);

}  // namespace testutil
