// The disk flush of the log: a stream of lines shares one flush per spacing,
// while the first line after a quiet spell, a drain and a change of file are
// served without waiting for it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/LogFlusher.h"

namespace {

using namespace std::chrono_literals;
using TClockS = std::chrono::steady_clock;

double MsSince(TClockS::time_point t) {
  return std::chrono::duration<double, std::milli>(TClockS::now() - t).count();
}

TEST(LogFlusher, AStreamSharesFlushesAndADrainCutsTheSpacing) {
  std::atomic<int> flushes{0};
  TLogFlusher f([&](int) { return ++flushes, 0; }, 400ms);
  const std::string path = "/dev/null";
  const auto t0 = TClockS::now();
  f.Request(path);  // after a quiet spell: at once
  for (int i = 0; i < 100 && flushes == 0; ++i) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(flushes.load(), 1);
  EXPECT_LT(MsSince(t0), 300.0);
  for (int i = 0; i < 20; ++i) {  // a line every 10 ms
    f.Request(path);
    std::this_thread::sleep_for(10ms);
  }
  // 200 ms of lines inside one spacing: none flushed yet, then all at once.
  EXPECT_EQ(flushes.load(), 1);
  const auto d0 = TClockS::now();
  f.Drain();
  EXPECT_EQ(flushes.load(), 2);
  EXPECT_LT(MsSince(d0), 150.0);  // the drain did not sit out the spacing
  std::this_thread::sleep_for(450ms);
  EXPECT_EQ(flushes.load(), 2);  // nothing was left over
}

TEST(LogFlusher, LinesKeepComingAndAreFlushedOncePerSpacing) {
  std::atomic<int> flushes{0};
  TLogFlusher f([&](int) { return ++flushes, 0; }, 100ms);
  const auto t0 = TClockS::now();
  while (MsSince(t0) < 550) {
    f.Request("/dev/null");
    std::this_thread::sleep_for(5ms);
  }
  // Without a drain every line still reaches the disk within a spacing.
  std::this_thread::sleep_for(150ms);
  const int n = flushes.load();
  EXPECT_GE(n, 3);
  EXPECT_LE(n, 8);
  f.Drain();
  EXPECT_EQ(flushes.load(), n);
}

TEST(LogFlusher, AnotherFileDoesNotWaitForTheSpacing) {
  std::atomic<int> flushes{0};
  TLogFlusher f([&](int) { return ++flushes, 0; }, 2000ms);
  f.Request("/dev/null");
  std::this_thread::sleep_for(50ms);
  f.Request("/dev/null");  // waits for the spacing
  const auto t0 = TClockS::now();
  f.Request("/dev/zero");  // must not block the loop for two seconds
  EXPECT_LT(MsSince(t0), 500.0);
  f.Drain();
  EXPECT_EQ(flushes.load(), 3);
}

}  // namespace
