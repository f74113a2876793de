#pragma once
// When a read of the port stops waiting: the read timeouts interpreted the
// way a serial driver applies them (return at once, end at the first byte,
// a total limit for the whole read, a limit between two bytes).
#include <chrono>

#include "serial/CPortDevice.h"

class TReadDeadline {
 public:
  using Clock = std::chrono::steady_clock;
  // count: the bytes the read asks for.
  TReadDeadline(const TComTimeoutValues& t, int count, Clock::time_point start);

  // Returns with whatever is queued, never waits.
  bool AtOnce() const { return atOnce_; }
  // Returns as soon as it has any byte.
  bool AtFirstByte() const { return firstByte_; }
  // A byte arrived now (the interval limit counts from the last one).
  void NoteByte(Clock::time_point now) { lastByte_ = now; }
  // How long to wait for more, at most maxWaitMs; -1 once a limit has passed.
  long long WaitMs(Clock::time_point now, bool haveBytes, long long maxWaitMs) const;

 private:
  bool atOnce_;
  bool firstByte_;
  long long totalMs_ = -1;     // -1: no total limit
  long long intervalMs_ = -1;  // -1: no interval limit
  Clock::time_point start_;
  Clock::time_point lastByte_;
};
