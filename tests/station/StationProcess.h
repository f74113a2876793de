#pragma once
// quilex-station of this build as a child process, its standard output and
// error in files, with bounded waits for text to appear and for its exit.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Polls cond every 10 ms until it holds or timeoutMs passed.
inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
  const int64_t end = SteadyMs() + timeoutMs;
  while (!cond()) {
    if (SteadyMs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class TStationProcess {
 public:
  ~TStationProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  static std::string Exe() {
    const char* build = std::getenv("QX_BUILD_DIR");
    const std::string exe = std::string(build ? build : ".") + "/quilex-station";
    return ::access(exe.c_str(), X_OK) == 0 ? exe : std::string();
  }

  // outBase: files outBase.out and outBase.err receive the two streams.
  // env: NAME=value entries added to (or replacing in) this environment.
  bool Start(const std::vector<std::string>& args, const std::string& outBase,
             const std::vector<std::string>& env = {}) {
    out_ = outBase + ".out";
    err_ = outBase + ".err";
    std::vector<std::string> all = {Exe()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
      const std::string s = *e;
      bool replaced = false;
      for (const auto& n : env)
        if (s.compare(0, n.find('=') + 1, n, 0, n.find('=') + 1) == 0) replaced = true;
      if (!replaced) envs.push_back(s);
    }
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) std::_Exit(1);
      const int o = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o >= 0) ::dup2(o, 1);
      if (e >= 0) ::dup2(e, 2);
      ::execve(argv[0], argv.data(), envp.data());
      std::_Exit(127);
    }
    return true;
  }

  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  // The exit status, or -1 when it has not ended within timeoutMs (it is
  // killed then), or 128 + signal when a signal ended it.
  int Wait(int timeoutMs) {
    if (pid_ <= 0) return status_;
    int st = 0;
    const int64_t end = SteadyMs() + timeoutMs;
    while (::waitpid(pid_, &st, WNOHANG) == 0) {
      if (SteadyMs() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
        return status_ = -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
    return status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  // Runs to the end (bounded) and gives the status.
  int Run(const std::vector<std::string>& args, const std::string& outBase, int timeoutMs,
          const std::vector<std::string>& env = {}) {
    if (!Start(args, outBase, env)) return -2;
    return Wait(timeoutMs);
  }
  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }
  bool WaitForErr(const std::string& text, int timeoutMs) {
    return WaitUntil([&] { return Err().find(text) != std::string::npos; }, timeoutMs);
  }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_, err_;
};
