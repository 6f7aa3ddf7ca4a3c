#include "support/testutil.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testutil {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/korvan-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) {
    // Leave it: a failed clean-up must not fail the test run.
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> korvanLeftovers(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (std::strstr(e->d_name, ".korvan-")) names.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::string& input, double timeoutSeconds,
                         const std::string& workDir) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe(inPipe) || pipe(outPipe) || pipe(errPipe)) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    for (const auto& kv : env) {
      if (kv.second.empty())
        unsetenv(kv.first.c_str());
      else
        setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    // Small inputs fit the pipe buffer; the child reads them when it wants.
    ssize_t w = write(inPipe[1], input.data(), input.size());
    (void)w;
  }
  close(inPipe[1]);
  setNonBlocking(outPipe[0]);
  setNonBlocking(errPipe[0]);

  ProcessResult result;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  bool outOpen = true, errOpen = true;
  char buf[65536];
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    int n = poll(fds, 2, static_cast<int>(std::min<long>(left, 1000)));
    if (n < 0) continue;
    for (int i = 0; i < 2; ++i) {
      bool& open = i == 0 ? outOpen : errOpen;
      if (!open || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t r = read(fds[i].fd, buf, sizeof buf);
      if (r > 0)
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(r));
      else if (r == 0)
        open = false;
    }
  }
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status))
    result.exitStatus = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.exitStatus = 128 + WTERMSIG(status);
  return result;
}

int startProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& workDir, const std::string& outFile, const std::string& errFile) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) environment.push_back(entry);
  }
  for (const auto& kv : env)
    if (!kv.second.empty()) environment.push_back(kv.first + "=" + kv.second);
  std::vector<char*> envp, args;
  for (auto& e : environment) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0 || err < 0) throw std::runtime_error("cannot open the files of a started process");
  const char* dir = workDir.empty() ? nullptr : workDir.c_str();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (dir != nullptr && chdir(dir) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in);
  close(out);
  close(err);
  return pid;
}

int waitProcess(int pid, double timeoutSeconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::string korvanBinary() { return KORVAN_BIN; }

std::vector<std::string> mpirun(int processes) {
  const std::string launcher = KORVAN_MPIEXEC;
  if (launcher.empty() || processes <= 1) return {};
  // Launchers started at the same moment by tests running side by side race
  // to create the same session directory under /tmp; each test process
  // gives its launchers one of their own.
  static const TempDir sessions;
  return {launcher, "--oversubscribe", "--allow-run-as-root", "--mca", "orte_tmpdir_base", sessions.path(),
          "-np", std::to_string(processes)};
}
std::string toolBinary(const std::string& name) { return std::string(KORVAN_TOOLS_DIR) + "/" + name; }
std::string testDataDir() { return KORVAN_TEST_DATA; }
std::string sourceDir() { return KORVAN_SOURCE_DIR; }

std::string writeConfig(const TempDir& dir, const std::string& logFile, const std::string& memoryLimit) {
  std::string text = "[SOFTWARE\\ALVERO\\ReconServer]\nLogFile=" + logFile + "\n";
  if (!memoryLimit.empty()) text += "\n[SOFTWARE\\ALVERO\\Recon]\nMemoryLimit=" + memoryLimit + "\n";
  std::string path = dir.file("korvan.ini");
  writeFile(path, text);
  return path;
}

RpcServer::RpcServer(const std::vector<std::string>& options) {
  std::string record = dir_.file("calls.txt");
  writeFile(record, "");
  int outPipe[2];
  if (pipe(outPipe)) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(outPipe[1], 1);
    close(outPipe[0]);
    close(outPipe[1]);
    std::string script = std::string(KORVAN_SOURCE_DIR) + "/tests/support/rpc_server.py";
    std::vector<std::string> argv = {KORVAN_PYTHON, script, record};
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(outPipe[1]);
  std::string line;
  char c;
  while (read(outPipe[0], &c, 1) == 1 && c != '\n') line += c;
  close(outPipe[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) throw std::runtime_error("the XML-RPC test server did not start");
}

RpcServer::~RpcServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::string RpcServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> RpcServer::calls() const {
  std::vector<std::string> lines;
  std::istringstream in(readFile(dir_.path() + "/calls.txt"));
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  return lines;
}

std::vector<std::string> RpcServer::calls(const std::string& method) const {
  std::vector<std::string> out;
  for (const auto& l : calls())
    if (l.compare(0, method.size() + 1, method + "\t") == 0) out.push_back(l);
  return out;
}

std::vector<std::string> logTexts(const std::string& log) {
  static const std::regex stamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n: )");
  std::vector<size_t> starts;
  for (size_t at = 0; at < log.size();) {
    if (std::regex_search(log.begin() + static_cast<long>(at), log.end(), stamp, std::regex_constants::match_continuous))
      starts.push_back(at);
    const size_t next = log.find('\n', at);
    if (next == std::string::npos) break;
    at = next + 1;
  }
  std::vector<std::string> texts;
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t end = i + 1 < starts.size() ? starts[i + 1] : log.size();
    texts.push_back(log.substr(starts[i] + 27, end - starts[i] - 28));
  }
  if (!log.empty() && (starts.empty() || starts[0] != 0 || log.back() != '\n')) texts.push_back("<malformed>");
  return texts;
}

std::string vffHeader(int width, int height, int bits, const std::vector<std::string>& extra) {
  std::string h = "ncaa\nrank=2;\ntype=raster;\nsize=" + std::to_string(width) + " " + std::to_string(height) +
                  ";\nbands=1;\nbits=" + std::to_string(bits) + ";\nformat=slice;\n";
  for (const auto& e : extra) h += e + "\n";
  h += "\f\n";
  return h;
}

std::string bigEndianFloats(const std::vector<float>& values) {
  std::string out;
  for (float v : values) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((u >> s) & 0xFF);
  }
  return out;
}

std::string bigEndianShorts(const std::vector<int16_t>& values) {
  std::string out;
  for (int16_t v : values) {
    uint16_t u = static_cast<uint16_t>(v);
    out += static_cast<char>(u >> 8);
    out += static_cast<char>(u & 0xFF);
  }
  return out;
}

}  // namespace testutil

namespace {

// failRun ends the process with status 0; on a path a test expects to
// succeed that would end the test binary as if all had passed. The guard
// turns such an exit of the test process itself (not of a death-test child)
// into a failure, in every suite.
const pid_t testProcess = getpid();
bool inTest = false;
struct ExitGuard : testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { inTest = true; }
  void OnTestEnd(const testing::TestInfo&) override { inTest = false; }
};
const bool exitGuardInstalled = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new ExitGuard);
  return std::atexit([] {
           if (inTest && getpid() == testProcess) {
             std::fputs("the process ended inside a test\n", stderr);
             std::_Exit(1);
           }
         }) == 0;
}();

}  // namespace
