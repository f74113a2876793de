#pragma once
// quilex-sim as a child process on a pseudo-terminal, for fault injection:
// it can be frozen (a device that falls silent), resumed, killed (a line that
// hangs up like an unplugged adapter) and started again on the same link.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

class TSimProcess {
 public:
  ~TSimProcess() { Stop(SIGTERM); }

  // The simulator binary of this build, or empty when it is missing.
  static std::string Exe() {
    const char* build = std::getenv("QX_BUILD_DIR");
    const std::string exe = std::string(build ? build : ".") + "/quilex-sim";
    return ::access(exe.c_str(), X_OK) == 0 ? exe : std::string();
  }

  // Starts the simulator with a link at `link`; true when the link appeared.
  bool Start(const std::string& link, std::vector<std::string> args) {
    link_ = link;
    ::unlink(link.c_str());
    const std::string exe = Exe();
    std::vector<std::string> all = {exe, "--link", link};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The simulator runs without the leak checker of a sanitizer build: its
    // own memory is not what these tests check, and the checker's stop of
    // the process at exit was seen to hang for minutes on a busy machine.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env.emplace_back(*e);
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + (asan ? ":" : "") +
                  "detect_leaks=0");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    // A test that crashes must not leave its simulator running.
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) std::_Exit(1);
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) ::dup2(null, 1);
      ::execve(exe.c_str(), argv.data(), envp.data());
      std::_Exit(127);
    }
    for (int i = 0; i < 500 && ::access(link.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ::access(link.c_str(), F_OK) == 0;
  }

  void Freeze() { Signal(SIGSTOP); }
  void Resume() { Signal(SIGCONT); }
  // Kills without giving the simulator a chance to clean up, then waits.
  void Kill() { Stop(SIGKILL); }
  // A simulator that has not ended 10 s after the signal is killed, so a
  // hang at its exit cannot hold up the test.
  void Stop(int sig) {
    if (pid_ <= 0) return;
    ::kill(pid_, sig);
    ::kill(pid_, SIGCONT);
    int status = 0;
    for (int i = 0; i < 1000 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  bool Running() const { return pid_ > 0; }

 private:
  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  pid_t pid_ = -1;
  std::string link_;
};
