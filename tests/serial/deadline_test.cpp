// When a read of the port stops waiting, for each way the five read
// timeouts can be combined, on a clock the test moves by hand.
#include <gtest/gtest.h>

#include "serial/CPortDeadline.h"

namespace {

using Clock = TReadDeadline::Clock;
using std::chrono::milliseconds;

constexpr uint32_t kInf = 0xFFFFFFFFu;

TComTimeoutValues Read(uint32_t interval, uint32_t multiplier, uint32_t constant) {
  TComTimeoutValues t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  return t;
}

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

Clock::time_point At(int ms) {
  return t0 + milliseconds(ms);
}

}  // namespace

TEST(ReadDeadline, ModesOfTheDriver) {
  // The port's defaults: whatever is queued, at once.
  TReadDeadline atOnce(Read(kInf, 0, 0), 100, t0);
  EXPECT_TRUE(atOnce.AtOnce());
  EXPECT_FALSE(atOnce.AtFirstByte());

  // All ones for interval and multiplier with a constant: the first byte
  // ends the read, the constant bounds the wait for it.
  TReadDeadline first(Read(kInf, kInf, 500), 100, t0);
  EXPECT_FALSE(first.AtOnce());
  EXPECT_TRUE(first.AtFirstByte());
  EXPECT_EQ(first.WaitMs(At(0), false, 20), 20);
  EXPECT_EQ(first.WaitMs(At(490), false, 20), 10);
  EXPECT_EQ(first.WaitMs(At(500), false, 20), -1);

  // An infinite constant in that pattern is not the first-byte mode.
  TReadDeadline noFirst(Read(kInf, kInf, kInf), 1, t0);
  EXPECT_FALSE(noFirst.AtFirstByte());
  EXPECT_FALSE(noFirst.AtOnce());
}

TEST(ReadDeadline, TotalLimitGrowsWithTheCount) {
  TReadDeadline d(Read(0, 10, 100), 5, t0);  // 10 * 5 + 100 = 150 ms
  EXPECT_EQ(d.WaitMs(At(0), false, 20), 20);
  EXPECT_EQ(d.WaitMs(At(140), true, 20), 10);
  EXPECT_EQ(d.WaitMs(At(150), true, 20), -1);
  // Bytes do not extend a total limit.
  d.NoteByte(At(149));
  EXPECT_EQ(d.WaitMs(At(151), true, 20), -1);
  // A multiplier near all ones times a large count does not wrap around.
  TReadDeadline huge(Read(0, kInf - 1, 0), 100000, t0);
  EXPECT_EQ(huge.WaitMs(At(1000000), false, 20), 20);
}

TEST(ReadDeadline, IntervalCountsFromTheLastByteOnly) {
  TReadDeadline d(Read(30, 0, 0), 10, t0);
  // Before the first byte the interval does not run.
  EXPECT_EQ(d.WaitMs(At(10000), false, 20), 20);
  d.NoteByte(At(100));
  EXPECT_EQ(d.WaitMs(At(120), true, 20), 10);
  EXPECT_EQ(d.WaitMs(At(130), true, 20), -1);
  d.NoteByte(At(130));
  EXPECT_EQ(d.WaitMs(At(135), true, 20), 20);
  // 0 and all ones mean no interval limit.
  for (uint32_t none : {0u, kInf}) {
    TReadDeadline n(Read(none, 1, 0), 1000, t0);
    n.NoteByte(At(0));
    EXPECT_EQ(n.WaitMs(At(900), true, 20), 20) << none;
  }
  // With both limits the nearer one counts.
  TReadDeadline both(Read(50, 0, 200), 1, t0);
  both.NoteByte(At(180));
  EXPECT_EQ(both.WaitMs(At(190), true, 100), 10);
  both.NoteByte(At(199));
  EXPECT_EQ(both.WaitMs(At(199), true, 100), 1);
}
