// The handlers, the self-pipe they write to, and the waits that end on it.
#include "station/StationSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t reopenCount = 0;
int wakePipe[2] = {-1, -1};

void Wake() {
  if (wakePipe[1] >= 0) {
    const char c = 1;
    const int saved = errno;
    (void)!::write(wakePipe[1], &c, 1);
    errno = saved;
  }
}

void OnSignal(int sig) {
  if (sig == SIGHUP)
    reopenCount = reopenCount + 1;
  else
    stopSignal = sig;
  Wake();
}

void EnsurePipe() {
  if (wakePipe[0] >= 0) return;
  if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
}

}  // namespace

void InstallStationSignals() {
  EnsurePipe();
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  // Interrupted reads and writes of the port go on; the loop looks at the
  // flags between exchanges.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  // A journal or pipe reader that went away must not end the station.
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() {
  return stopSignal != 0;
}

std::string StopSignalName() {
  switch (stopSignal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case 0:
      return "";
    default:
      return "signal " + std::to_string(int(stopSignal));
  }
}

bool TakeReopenRequest() {
  if (reopenCount == 0) return false;
  reopenCount = 0;
  return true;
}

void WaitForSignal(int ms) {
  EnsurePipe();
  if (StopRequested()) return;
  if (wakePipe[0] < 0) {
    ::usleep(useconds_t(ms) * 1000);
    return;
  }
  pollfd p{wakePipe[0], POLLIN, 0};
  const int r = ::poll(&p, 1, ms);
  if (r > 0) {
    char buf[64];
    while (::read(wakePipe[0], buf, sizeof buf) > 0) {
    }
  }
}

void RequestStop(int sig) {
  OnSignal(sig);
}

void ResetStationSignals() {
  stopSignal = 0;
  reopenCount = 0;
}
