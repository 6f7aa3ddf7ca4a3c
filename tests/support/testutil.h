// Support for the tests: temporary directories, files, running the built
// programs as real processes, and a real XML-RPC server that records calls.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// The chunk and unfinished output files of korvan ("<name>.korvan-chunk-<pid>",
// "<name>.korvan-unfinished-<pid>") in a directory, sorted.
std::vector<std::string> korvanLeftovers(const std::string& dir);

struct ProcessResult {
  int exitStatus = -1;   // exit status, or 128 + signal when killed
  bool timedOut = false;
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs argv[0] (a path) with the given arguments. `env` adds or replaces
// environment variables (an empty value removes the variable); `input` is
// fed on standard input; the process is killed after `timeoutSeconds`.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& input = "", double timeoutSeconds = 120,
                         const std::string& workDir = "");

// Starts argv[0] (a path) without waiting for it: `env` as for runProcess,
// standard input from /dev/null, standard output and standard error into
// the files outFile and errFile. Returns the process id. Everything is
// prepared before the fork, so any thread may call it.
int startProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& workDir, const std::string& outFile, const std::string& errFile);
// Waits for a started process: its exit status, or 128 + signal when killed;
// after timeoutSeconds it is killed and -1 returned.
int waitProcess(int pid, double timeoutSeconds);

// Paths of the built programs.
std::string korvanBinary();
// The launcher words that start `processes` processes sharing one job (as
// root, on however few cores); none for one process, or when korvan was
// built without MPI.
std::vector<std::string> mpirun(int processes);
std::string toolBinary(const std::string& name);  // korvan-phantom, korvan-view
std::string testDataDir();                          // tests/data
std::string sourceDir();

// A configuration file for korvan (KORVAN_CONFIG) naming a log file and,
// when memoryLimit is not empty, a memory limit.
std::string writeConfig(const TempDir& dir, const std::string& logFile,
                        const std::string& memoryLimit = "");

// A python3 xmlrpc.server on 127.0.0.1 with an ephemeral port. Every call is
// recorded as one line "method\t<JSON of the parameter list>". `options` go
// to the server script (see tests/support/rpc_server.py), e.g.
// {"--status-reply", "1"}.
class RpcServer {
 public:
  explicit RpcServer(const std::vector<std::string>& options = {});
  ~RpcServer();
  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;
  int port() const { return port_; }
  std::string url() const;              // "http://127.0.0.1:<port>"
  std::vector<std::string> calls() const;
  // Calls whose line starts with method + '\t'.
  std::vector<std::string> calls(const std::string& method) const;

 private:
  TempDir dir_;
  int pid_ = -1;
  int port_ = 0;
};

// The texts of a log written by log_error, one per entry: every entry is a
// ctime text (24 characters and its own line feed), ": ", the text and a
// line feed. Anything else in the log (text before the first entry, an
// entry cut short, a missing final line feed) adds the text "<malformed>".
std::vector<std::string> logTexts(const std::string& log);

// Big-endian VFF writing for tests: a projection header with the given
// extra lines (each "key=value;"), followed by samples.
std::string vffHeader(int width, int height, int bits, const std::vector<std::string>& extra);
std::string bigEndianFloats(const std::vector<float>& values);
std::string bigEndianShorts(const std::vector<int16_t>& values);

}  // namespace testutil
