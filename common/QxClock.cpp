// The real clock on the system's time and a monotonic tick, the virtual one
// that advances only when paused or told to, and the switch between them.
#include "common/QxClock.h"

#include <time.h>

#include <cerrno>

#include "common/QxDateTime.h"

double TSystemClock::Now() {
  return SystemNow();
}

void TSystemClock::Sleep(int ms) {
  if (ms <= 0) return;
  timespec req{ms / 1000, (ms % 1000) * 1000000L};
  // Resume after signals so a pause is never cut short.
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

int64_t TSystemClock::TickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

TVirtualClock::TVirtualClock(double start) : start_(start) {}

double TVirtualClock::Now() {
  return start_ + static_cast<double>(ms_) / MSecsPerDay;
}

void TVirtualClock::Sleep(int ms) {
  ++sleepCalls_;
  if (ms > 0) {
    ms_ += ms;
    sleptMs_ += ms;
  }
}

namespace {
TSystemClock& SystemClock() {
  static TSystemClock clock;
  return clock;
}
TClock* g_clock = nullptr;
}  // namespace

TClock& Clock() {
  return g_clock ? *g_clock : SystemClock();
}

void SetClock(TClock* clock) {
  g_clock = clock;
}
