// Child processes of the tests: fork and exec with the streams redirected,
// and waits that end with a kill instead of blocking for ever.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qxtest {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs, int pollMs) {
  const int64_t end = SteadyMs() + timeoutMs;
  while (!cond()) {
    if (SteadyMs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string BuildDir() {
  if (const char* dir = std::getenv("QX_BUILD_DIR")) return dir;
  char self[4096] = {};
  if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return ".";
  std::string path = self;
  for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
       slash = path.rfind('/')) {
    path.erase(slash);
    if (::access((path + "/CMakeCache.txt").c_str(), F_OK) == 0) return path;
  }
  return ".";
}

namespace {
int Decode(int st) {
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}
}  // namespace

int WaitOrKill(pid_t pid, int timeoutMs) {
  if (pid <= 0) return -1;
  int st = 0;
  const int64_t end = SteadyMs() + timeoutMs;
  for (;;) {
    const pid_t r = ::waitpid(pid, &st, WNOHANG);
    if (r == pid) return Decode(st);
    if (r < 0) return -1;
    if (SteadyMs() > end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &st, 0);
  return -1;
}

}  // namespace qxtest

bool TChildProcess::Start(const std::vector<std::string>& args, const TOptions& options) {
  Stop(SIGKILL);
  if (args.empty()) return false;
  std::vector<std::string> all = args;
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    const size_t nameLen = eq ? size_t(eq - *e) + 1 : std::strlen(*e);
    bool replaced = false;
    for (const auto& n : options.Env)
      if (n.compare(0, nameLen, *e, nameLen) == 0) replaced = true;
    if (!replaced) env.emplace_back(*e);
  }
  env.insert(env.end(), options.Env.begin(), options.Env.end());
  std::vector<char*> argv, envp;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Only plain system calls from here on.
    ::prctl(PR_SET_PDEATHSIG, options.DeathSignal);
    if (::getppid() != parent) std::_Exit(1);
    if (!options.StdoutPath.empty()) {
      const int o = ::open(options.StdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o >= 0) ::dup2(o, 1);
    }
    if (!options.StderrPath.empty()) {
      const int e = ::open(options.StderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (e >= 0) ::dup2(e, 2);
    }
    ::execvpe(argv[0], argv.data(), envp.data());
    std::_Exit(127);
  }
  pid_ = pid;
  status_ = -1;
  return true;
}

void TChildProcess::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

bool TChildProcess::Exited() {
  if (pid_ <= 0) return true;
  int st = 0;
  if (::waitpid(pid_, &st, WNOHANG) != pid_) return false;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  pid_ = -1;
  return true;
}

int TChildProcess::WaitOrKill(int timeoutMs) {
  if (pid_ <= 0) return status_;
  status_ = qxtest::WaitOrKill(pid_, timeoutMs);
  pid_ = -1;
  return status_;
}

int TChildProcess::Stop(int sig, int timeoutMs) {
  if (pid_ <= 0) return status_;
  ::kill(pid_, sig);
  ::kill(pid_, SIGCONT);
  return WaitOrKill(timeoutMs);
}
