#pragma once
// When a lost serial line is tried again: 1, 2, 4, 8 and 16 seconds after
// each failed try, then every 30 seconds, with the time of the loss and the
// count of tries for the operator. Plain C++ on a millisecond tick, so the
// desktop program and a headless station wait the same way.
#include <cstdint>
#include <string>

class TReconnectSchedule {
 public:
  // Pause before try n (from 1); from the sixth try on it stays at the last.
  static int64_t DelayBeforeTryMs(int n);
  static constexpr int64_t kLongestDelayMs = 30000;

  // The line was lost at tick nowMs, local date-time lostAt. The first try
  // is due one second later.
  void Start(int64_t nowMs, double lostAt);
  void Stop() { active_ = false; }
  bool Active() const { return active_; }

  // Tries made so far, the one in progress included.
  int Tries() const { return tries_; }
  double LostAt() const { return lostAt_; }
  int64_t NextTryMs() const { return nextTryMs_; }
  bool Due(int64_t nowMs) const { return active_ && nowMs >= nextTryMs_; }
  // Milliseconds until the next try is due (0 when it is), for a wait.
  int64_t MsUntilDue(int64_t nowMs) const;

  // A try begins; counts it.
  void TryBegins() { ++tries_; }
  // The try that began failed at nowMs: the next one follows after the next
  // pause, counted from the end of this one (a try can take seconds when the
  // port opens and the bus is scanned).
  void TryFailed(int64_t nowMs);

 private:
  bool active_ = false;
  int tries_ = 0;
  double lostAt_ = 0.0;
  int64_t nextTryMs_ = 0;
};

// "Line lost at 16:05:12, try 3" in the user's time format; tries 0 gives
// the first part alone.
std::string ReconnectProgressText(double lostAt, int tries);

// Milliseconds from now until the interval log's next line is due: the
// line follows once strictly more than intervalSeconds have passed since
// lastLogTime (date-times). 0 when it is due already.
int64_t MsUntilLogLineDue(double lastLogTime, double intervalSeconds, double now);
