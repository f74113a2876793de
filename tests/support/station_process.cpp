// Starting quilex-station for the tests that run it as a program.
#include "tests/support/station_process.h"

#include <unistd.h>

std::string TStationProcess::Exe() {
  const std::string exe = qxtest::BuildDir() + "/quilex-station";
  return ::access(exe.c_str(), X_OK) == 0 ? exe : std::string();
}

bool TStationProcess::Start(const std::vector<std::string>& args, const std::string& outBase,
                            const std::vector<std::string>& env) {
  out_ = outBase + ".out";
  err_ = outBase + ".err";
  std::vector<std::string> all = {Exe()};
  all.insert(all.end(), args.begin(), args.end());
  TChildProcess::TOptions o;
  o.StdoutPath = out_;
  o.StderrPath = err_;
  o.Env = env;
  o.DeathSignal = SIGKILL;
  return child_.Start(all, o);
}

bool TStationProcess::WaitForErr(const std::string& text, int timeoutMs) const {
  return qxtest::WaitUntil([&] { return Err().find(text) != std::string::npos; }, timeoutMs);
}
