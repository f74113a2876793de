#pragma once
// quilex-sim of this build as a child process on a pseudo-terminal. It can
// be frozen (a device that falls silent), resumed, killed (a line that hangs
// up like an unplugged adapter) and started again on the same link.
#include <string>
#include <vector>

#include "tests/support/child_process.h"

class TSimProcess {
 public:
  struct TOptions {
    std::string StdoutPath = "/dev/null";  // the simulator prints its terminal here
    bool KeepOldLink = false;              // leave a stale link for the simulator to replace
  };

  ~TSimProcess() { Stop(SIGTERM); }

  // The simulator binary of this build, or empty when it is missing.
  static std::string Exe();

  // Starts the simulator with a link at `link`; true once the link leads to
  // its terminal.
  bool Start(const std::string& link, const std::vector<std::string>& args,
             const TOptions& options);
  bool Start(const std::string& link, const std::vector<std::string>& args) {
    return Start(link, args, TOptions());
  }

  void Freeze() { child_.Signal(SIGSTOP); }
  void Resume() { child_.Signal(SIGCONT); }
  // Without a chance to clean up.
  void Kill() { Stop(SIGKILL); }
  // The exit status; a simulator still there 10 s after the signal is killed
  // (-1), so a hang at its exit cannot hold up the test.
  int Stop(int sig) { return child_.Stop(sig); }
  int WaitOrKill(int timeoutMs) { return child_.WaitOrKill(timeoutMs); }
  bool Running() const { return child_.Running(); }
  pid_t Pid() const { return child_.Pid(); }
  // The terminal the link points to.
  std::string Slave() const;

 private:
  TChildProcess child_;
  std::string link_;
};
