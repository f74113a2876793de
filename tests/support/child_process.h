#pragma once
// A program run as a child of a test: its output in files, every wait
// bounded, and taken down with the test if the test dies first.
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qxtest {

int64_t SteadyMs();
// Polls cond until it holds or timeoutMs passed.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs, int pollMs = 10);
std::string ReadFile(const std::string& path);
// QX_BUILD_DIR as ctest sets it; by hand, the build tree the test binary is in.
std::string BuildDir();
// Waits for pid to end; after timeoutMs it is killed, so that a child that
// hangs cannot hold up the test. The exit status, 128 + signal when a signal
// ended it, or -1 when it had to be killed.
int WaitOrKill(pid_t pid, int timeoutMs);

}  // namespace qxtest

class TChildProcess {
 public:
  struct TOptions {
    std::string StdoutPath = "/dev/null";  // empty: the test's own
    std::string StderrPath;                // empty: the test's own
    std::vector<std::string> Env;          // NAME=value, added or replacing
    int DeathSignal = SIGTERM;             // sent to the child when the test dies
  };

  TChildProcess() = default;
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  ~TChildProcess() { Stop(SIGKILL); }

  // argv[0] without a slash is looked up in PATH.
  bool Start(const std::vector<std::string>& argv, const TOptions& options);
  void Signal(int sig);
  // True once the child ended (reaped without blocking).
  bool Exited();
  int WaitOrKill(int timeoutMs);
  // Signals (and continues a stopped child so that it sees the signal), then
  // waits at most timeoutMs before the kill.
  int Stop(int sig, int timeoutMs = 10000);
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // The status WaitOrKill or Stop last gave.
  int Status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};
