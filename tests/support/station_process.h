#pragma once
// quilex-station of this build as a child process, its standard output and
// error in files, with bounded waits for text to appear and for its exit.
#include <string>
#include <vector>

#include "tests/support/child_process.h"

class TStationProcess {
 public:
  static std::string Exe();

  // outBase: files outBase.out and outBase.err receive the two streams.
  // env: NAME=value entries added to (or replacing in) this environment.
  bool Start(const std::vector<std::string>& args, const std::string& outBase,
             const std::vector<std::string>& env = {});
  void Signal(int sig) { child_.Signal(sig); }
  // The exit status, or -1 when it has not ended within timeoutMs (it is
  // killed then), or 128 + signal when a signal ended it.
  int Wait(int timeoutMs) { return child_.WaitOrKill(timeoutMs); }
  // Runs to the end (bounded) and gives the status.
  int Run(const std::vector<std::string>& args, const std::string& outBase, int timeoutMs,
          const std::vector<std::string>& env = {}) {
    if (!Start(args, outBase, env)) return -2;
    return Wait(timeoutMs);
  }
  std::string Out() const { return qxtest::ReadFile(out_); }
  std::string Err() const { return qxtest::ReadFile(err_); }
  bool WaitForErr(const std::string& text, int timeoutMs) const;
  pid_t Pid() const { return child_.Pid(); }

 private:
  TChildProcess child_;
  std::string out_, err_;
};
