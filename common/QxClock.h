#pragma once
// The program's one source of "now" and of pauses. Device exchanges pause with
// fixed sleeps and the loop timestamps readings; tests swap in a virtual clock
// so those pauses cost no real time.
#include <cstdint>

class TClock {
 public:
  virtual ~TClock() = default;
  // Local date-time: days since 1899-12-30, fraction = time of day.
  virtual double Now() = 0;
  // Pause the calling thread for ms milliseconds.
  virtual void Sleep(int ms) = 0;
  // Monotonic milliseconds, for measuring elapsed time only.
  virtual int64_t TickMs() = 0;
};

// The real wall clock and real sleeps.
class TSystemClock : public TClock {
 public:
  double Now() override;
  void Sleep(int ms) override;
  int64_t TickMs() override;
};

// Virtual time: Sleep advances the clock instead of waiting.
class TVirtualClock : public TClock {
 public:
  explicit TVirtualClock(double start = 46000.5);  // 2025-12-10 12:00
  double Now() override;
  void Sleep(int ms) override;
  int64_t TickMs() override { return ms_; }
  void Advance(int64_t ms) { ms_ += ms; }
  int64_t SleepCalls() const { return sleepCalls_; }
  int64_t SleptMs() const { return sleptMs_; }
  void ResetCounters() {
    sleepCalls_ = 0;
    sleptMs_ = 0;
  }

 private:
  double start_;
  int64_t ms_ = 0;
  int64_t sleepCalls_ = 0;
  int64_t sleptMs_ = 0;
};

// Program-wide clock. SetClock(nullptr) restores the system clock; the caller
// keeps ownership of what it installs.
TClock& Clock();
void SetClock(TClock* clock);

// RAII helper for tests and benchmarks.
class TScopedClock {
 public:
  explicit TScopedClock(TClock* c) { SetClock(c); }
  ~TScopedClock() { SetClock(nullptr); }
  TScopedClock(const TScopedClock&) = delete;
  TScopedClock& operator=(const TScopedClock&) = delete;
};
