#include "support/testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

extern char** environ;

namespace testutil {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/korvan-test-XXXXXX";
  if (!mkdtemp(&path_[0])) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ignored;  // a failed clean-up must not fail the test run
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::string& bytes) {
  if (!(std::ofstream(path, std::ios::binary) << bytes)) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::vector<std::string> korvanLeftovers(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code none;  // no directory: no leftovers
  for (const auto& e : std::filesystem::directory_iterator(dir, none))
    if (e.path().filename().string().find(".korvan-") != std::string::npos) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

int startProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& workDir, const std::string& outFile, const std::string& errFile,
                 const std::string& inFile) {
  // Everything is prepared before the fork, so any thread may call it.
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e)
    if (env.count(std::string(*e, std::strcspn(*e, "="))) == 0) environment.push_back(*e);
  for (const auto& [name, value] : env)
    if (!value.empty()) environment.push_back(name + "=" + value);
  std::vector<char*> envp, args;
  for (auto& e : environment) envp.push_back(&e[0]);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  envp.push_back(nullptr), args.push_back(nullptr);
  const int in = open(inFile.c_str(), O_RDONLY | O_CLOEXEC), flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  const int out = open(outFile.c_str(), flags, 0644), err = open(errFile.c_str(), flags, 0644);
  if (in < 0 || out < 0 || err < 0) throw std::runtime_error("cannot open the files of a started process");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    if (workDir.empty() || chdir(workDir.c_str()) == 0) execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in), close(out), close(err);
  return pid;
}

int waitProcess(int pid, double timeoutSeconds) {
  int status = 0;  // the deadline in real time: a loaded machine stretches each pause
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (; waitpid(pid, &status, WNOHANG) == 0; usleep(2000))
    if (std::chrono::steady_clock::now() > deadline) return kill(pid, SIGKILL), waitpid(pid, &status, 0), -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         const std::string& input, double timeoutSeconds, const std::string& workDir) {
  const TempDir io;
  writeFile(io.file("in"), input);
  const int pid = startProcess(argv, env, workDir, io.file("out"), io.file("err"), io.file("in"));
  return {waitProcess(pid, timeoutSeconds), readFile(io.file("out")), readFile(io.file("err"))};
}

std::string korvanBinary() { return KORVAN_BIN; }
std::string toolBinary(const std::string& name) { return std::string(KORVAN_TOOLS_DIR) + "/" + name; }
std::string testDataDir() { return KORVAN_TEST_DATA; }
std::string sourceDir() { return KORVAN_SOURCE_DIR; }

std::vector<std::string> mpirun(int processes) {
  const std::string launcher = KORVAN_MPIEXEC;
  if (launcher.empty() || processes <= 1) return {};
  // Launchers started side by side race to create one session directory under /tmp: each test process has its own.
  static const TempDir sessions;
  return {launcher, "--oversubscribe", "--allow-run-as-root", "--mca", "orte_tmpdir_base", sessions.path(),
          "-np", std::to_string(processes)};
}

std::string writeConfig(const std::string& dir, const std::string& logFile, const std::string& memoryLimit,
                        const std::string& reconLines) {
  writeFile(dir + "/korvan.ini", "[SOFTWARE\\ALVERO\\ReconServer]\nLogFile=" + logFile +
    "\n\n[SOFTWARE\\ALVERO\\Recon]\n" + (memoryLimit.empty() ? "" : "MemoryLimit=" + memoryLimit + "\n") + reconLines);
  return dir + "/korvan.ini";
}

RpcServer::RpcServer(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {KORVAN_PYTHON, sourceDir() + "/tests/support/rpc_server.py", dir_.file("calls")};
  argv.insert(argv.end(), options.begin(), options.end());
  writeFile(dir_.file("calls"), "");
  pid_ = startProcess(argv, {}, "", dir_.file("port"), "/dev/null");
  for (int i = 0; i < 3000 && port_ <= 0; ++i, usleep(10000)) {  // at most 30 s
    const std::string line = readFile(dir_.file("port"));
    if (line.find('\n') != std::string::npos) port_ = std::atoi(line.c_str());
  }
  if (port_ <= 0) throw std::runtime_error("the XML-RPC test server did not start");
}

RpcServer::~RpcServer() { kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0); }

std::vector<std::string> RpcServer::calls() const {
  std::vector<std::string> lines;
  std::istringstream in(readFile(dir_.file("calls")));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> callsOf(const std::vector<std::string>& calls, const std::string& method) {
  std::vector<std::string> out;
  for (const auto& l : calls)
    if (l.compare(0, method.size() + 1, method + "\t") == 0) out.push_back(l.substr(method.size() + 1));
  return out;
}

std::vector<std::string> finalStates(const std::vector<std::string>& calls) {
  std::vector<std::string> states;
  for (const auto& c : callsOf(calls, "setJobStatus"))
    for (const std::string state : {"done", "error", "suspended"})
      if (c.substr(c.find('\t')) == "\t" + state + "\t1.0") states.push_back(state);
  return states;
}

std::vector<double> progress(const std::vector<std::string>& calls) {
  const std::string text = "\tBack-projecting in spatial domain...\t";
  std::vector<double> values;
  for (const auto& c : callsOf(calls, "setJobStatus"))
    if (c.find(text) != std::string::npos) values.push_back(std::stod(c.substr(c.find(text) + text.size())));
  return values;
}

std::vector<std::string> messages(const std::vector<std::string>& calls) { return callsOf(calls, "setErrorMessage"); }

std::vector<std::string> logTexts(const std::string& log) {
  // Each entry: a ctime stamp, line feed, ": ", the text, line feed; split at stamps, a whole log leaves nothing else.
  static const std::regex stamp(R"((^|\n)[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n: )");
  if (log.empty()) return {};
  std::vector<std::string> texts(std::sregex_token_iterator(log.begin(), log.end(), stamp, -1), {});
  const bool whole = texts.size() > 1 && texts[0].empty() && log.back() == '\n';
  if (texts.size() > 1) texts.erase(texts.begin()), texts.back().pop_back();
  if (!whole) texts.push_back("<malformed>");
  return texts;
}

std::vector<std::string> loggedEnd(const std::function<void()>& step, int status, const std::string& err) {
  const TempDir dir;
  setenv("KORVAN_CONFIG", writeConfig(dir.path(), dir.file("korvan.log")).c_str(), 1);
  EXPECT_EXIT(step(), ::testing::ExitedWithCode(status), err);
  unsetenv("KORVAN_CONFIG");
  return logTexts(readFile(dir.file("korvan.log")));
}

KorvanRun runKorvan(const std::string& dir, std::vector<std::string> args, const RunOptions& o) {
  std::map<std::string, std::string> env = o.env;
  env["KORVAN_CONFIG"] = writeConfig(dir, dir + "/korvan.log", o.memoryLimit, o.reconLines);
  args.insert(args.begin(), korvanBinary());
  const std::vector<std::string> launcher = mpirun(o.processes);
  args.insert(args.begin(), launcher.begin(), launcher.end());
  if (o.server) args.insert(args.end(), {"-U", o.server->url()});
  const size_t before = o.server ? o.server->calls().size() : 0;
  const ProcessResult p = runProcess(args, env, "", 120, dir);
  EXPECT_TRUE(p.exitStatus == o.expectStatus || (o.expectStatus == kAnyStatus && p.exitStatus != -1))
      << p.exitStatus << p.out << p.err;
  KorvanRun r{p.exitStatus, p.out, p.err, logTexts(readFile(dir + "/korvan.log")), {}};
  if (o.server) r.calls = o.server->calls(), r.calls.erase(r.calls.begin(), r.calls.begin() + long(before));
  return r;
}

void runPhantom(const std::string& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {toolBinary("korvan-phantom")};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult r = runProcess(argv, {}, "", 120, dir);
  ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
}

std::string vffFile(const std::vector<int>& size, int bits, const std::vector<std::string>& extra,
                    const std::vector<double>& samples) {
  std::string f = "ncaa\nrank=" + std::to_string(size.size()) + ";\ntype=raster;\nsize=";
  for (size_t i = 0; i < size.size(); ++i) f += (i ? " " : "") + std::to_string(size[i]);
  f += ";\nbands=1;\nbits=" + std::to_string(bits) + ";\nformat=slice;\n";
  for (const auto& e : extra) f += e + "\n";
  f += "\f\n";
  for (double v : samples) {
    const float x = static_cast<float>(v);
    uint32_t u = static_cast<uint32_t>(static_cast<int32_t>(v));
    if (bits == 32) std::memcpy(&u, &x, 4);
    for (int s = bits - 8; s >= 0; s -= 8) f += static_cast<char>((u >> s) & 0xFF);
  }
  return f;
}

view::Volume readVff(const std::string& path) {
  view::Volume v;
  std::string error;
  EXPECT_TRUE(view::readVolume(path, &v, &error)) << path << ": " << error;
  return v;
}

}  // namespace testutil

namespace {

// failRun ends the process with status 0: on a path a test expects to succeed, the test binary would end as if
// all had passed. The guard makes such an exit of the test process (not a death-test child) a failure. The test
// registry is made first, so that it outlives the guard.
const pid_t testProcess = getpid();
const bool exitGuardInstalled = testing::UnitTest::GetInstance() && std::atexit([] {
  if (testing::UnitTest::GetInstance()->current_test_info() && getpid() == testProcess)
    std::fputs("exit inside a test\n", stderr), std::_Exit(1);
}) == 0;

}  // namespace
