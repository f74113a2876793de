// Starting quilex-sim for the tests that talk to it over a real terminal.
#include "tests/support/sim_process.h"

#include <unistd.h>

#include <cstdlib>

std::string TSimProcess::Exe() {
  const std::string exe = qxtest::BuildDir() + "/quilex-sim";
  return ::access(exe.c_str(), X_OK) == 0 ? exe : std::string();
}

bool TSimProcess::Start(const std::string& link, const std::vector<std::string>& args,
                        const TOptions& options) {
  link_ = link;
  if (!options.KeepOldLink) ::unlink(link.c_str());
  const std::string exe = Exe();
  if (exe.empty()) return false;
  std::vector<std::string> all = {exe, "--link", link};
  all.insert(all.end(), args.begin(), args.end());
  TChildProcess::TOptions o;
  o.StdoutPath = options.StdoutPath;
  // The simulator runs without the leak checker of a sanitizer build: its
  // own memory is not what these tests check, and the checker's stop of the
  // process at exit was seen to hang for minutes on a busy machine.
  const char* asan = std::getenv("ASAN_OPTIONS");
  o.Env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + (asan ? ":" : "") +
                  "detect_leaks=0");
  if (!child_.Start(all, o)) return false;
  // access() follows the link: a stale one does not count.
  return qxtest::WaitUntil([&] { return ::access(link.c_str(), F_OK) == 0; }, 5000);
}

std::string TSimProcess::Slave() const {
  char target[4096] = {};
  if (::readlink(link_.c_str(), target, sizeof target - 1) <= 0) return std::string();
  return target;
}
