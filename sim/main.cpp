// quilex-sim: a bus of emulated measuring devices on a pseudo-terminal.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "common/QxClock.h"
#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "sim/SimOptions.h"
#include "sim/SimPty.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}
}  // namespace

int main(int argc, char** argv) {
  TSimOptions options;
  std::string error;
  if (!options.Parse(argc, argv, error)) {
    std::cerr << "quilex-sim: " << error << "\nTry --help.\n";
    return 2;
  }
  if (options.Help) {
    std::cout << TSimOptions::Usage();
    return 0;
  }

  TSimBus bus;
  if (!options.Build(bus, error)) {
    std::cerr << "quilex-sim: " << error << "\n";
    return 2;
  }
  std::ofstream log;
  if (!options.LogFile.empty()) {
    log.open(options.LogFile, std::ios::app);
    if (!log) {
      std::cerr << "quilex-sim: cannot write " << options.LogFile << "\n";
      return 2;
    }
    bus.OnLog = [&log](const std::string& line) {
      log << FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", Clock().Now()) << " " << line << "\n";
      log.flush();
    };
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  TSimPtyServer server(bus);
  if (!server.Open(error) || (!options.Link.empty() && !server.MakeLink(options.Link, error))) {
    std::cerr << "quilex-sim: " << error << "\n";
    return 1;
  }
  std::cout << server.SlavePath() << std::endl;
  server.Serve(g_stop);
  server.Close();
  return 0;
}
