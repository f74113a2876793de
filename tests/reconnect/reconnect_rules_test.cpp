// When a line is lost, when it is tried again, whether the same bus came
// back, and when a channel's last value stops counting as a reading.
#include <gtest/gtest.h>

#include "common/QxClock.h"
#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "protocol/OEMLib.h"
#include "reconnect/BusIdentity.h"
#include "reconnect/ChannelFreshness.h"
#include "reconnect/LineWatch.h"
#include "reconnect/ReconnectSchedule.h"
#include "sim/SimBus.h"

namespace {

constexpr double kSecond = 1.0 / 86400.0;

TEST(ReconnectSchedule, TriesAfterOneTwoFourEightSixteenThenEveryThirtySeconds) {
  TReconnectSchedule s;
  EXPECT_FALSE(s.Active());
  const double lostAt = EncodeDateTime(2026, 3, 4, 9, 5, 30, 250);
  int64_t now = 5000;
  s.Start(now, lostAt);
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(s.Tries(), 0);
  EXPECT_DOUBLE_EQ(s.LostAt(), lostAt);
  std::vector<int64_t> gaps;
  for (int i = 0; i < 8; ++i) {
    EXPECT_FALSE(s.Due(now + s.MsUntilDue(now) - 1));
    const int64_t wait = s.MsUntilDue(now);
    gaps.push_back(wait);
    now += wait;
    ASSERT_TRUE(s.Due(now));
    s.TryBegins();
    now += 40;  // a failed open takes a little time
    s.TryFailed(now);
  }
  // Each pause counts from the end of the failed try.
  EXPECT_EQ(gaps, (std::vector<int64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
  EXPECT_EQ(s.Tries(), 8);
  // Late wake-ups: a try that is overdue is due at once.
  EXPECT_EQ(s.MsUntilDue(now + 100000), 0);
  s.Stop();
  EXPECT_FALSE(s.Active());
  EXPECT_FALSE(s.Due(now + 100000));
  // A new loss starts the schedule from the beginning.
  s.Start(now, lostAt);
  EXPECT_EQ(s.Tries(), 0);
  EXPECT_EQ(s.MsUntilDue(now), 1000);
}

TEST(ReconnectSchedule, ProgressTextShowsTheTimeOfTheLossAndTheTries) {
  SetFormatSettings(TFormatSettings::GermanLike());
  const double lostAt = EncodeDateTime(2026, 3, 4, 9, 5, 30, 250);
  EXPECT_EQ(ReconnectProgressText(lostAt, 0), "Line lost at 09:05:30");
  EXPECT_EQ(ReconnectProgressText(lostAt, 3), "Line lost at 09:05:30, try 3");
  SetFormatSettings(TFormatSettings());
}

TEST(ReconnectSchedule, IntervalLineDueExactlyWhenTheLoopWouldWriteIt) {
  const double last = EncodeDateTime(2026, 3, 4, 9, 0, 0, 0);
  for (double interval : {1.0, 10.0, 0.5, 2.5, 3600.0}) {
    SCOPED_TRACE(interval);
    const double now = last + 0.2 * kSecond;
    const int64_t ms = MsUntilLogLineDue(last, interval, now);
    // When the wait ends the loop's own test holds, and the wait is no
    // more than the rounding of a millisecond longer than it must be.
    const double at = now + double(ms) / MSecsPerDay;
    EXPECT_GT((at - last) * 24 * 3600, interval);
    EXPECT_LE(ms, int64_t((interval - 0.2) * 1000) + 2);
    EXPECT_GE(ms, int64_t((interval - 0.2) * 1000));
  }
  EXPECT_EQ(MsUntilLogLineDue(last, 10.0, last + 11 * kSecond), 0);
  EXPECT_EQ(MsUntilLogLineDue(last, 0.0, last + 1.0 / MSecsPerDay), 0);
  EXPECT_EQ(MsUntilLogLineDue(last, -5.0, last), 0);
}

TEST(LineWatch, LostAfterThreeWholePassesWithoutAnyValidReading) {
  TLineWatch w;
  w.Reset();
  auto pass = [&](std::initializer_list<bool> polls) {
    for (bool v : polls) w.ChannelPolled(v);
    w.PassDone();
  };
  pass({false, false, false});
  pass({false, false, false});
  EXPECT_FALSE(w.Lost());
  // One channel answering anywhere in a pass keeps the line.
  pass({false, false, true});
  EXPECT_EQ(w.FailedPasses(), 0);
  pass({false, false, false});
  pass({false, false, false});
  // A pass cut short before any channel was polled does not count.
  w.PassDone();
  EXPECT_FALSE(w.Lost());
  pass({false, false, false});
  EXPECT_TRUE(w.Lost());
  w.Reset();
  EXPECT_FALSE(w.Lost());
  w.PortFailed();
  EXPECT_TRUE(w.Lost());
}

class Freshness : public ::testing::Test {
 protected:
  TChannelFreshness f;
  const double t0 = EncodeDateTime(2026, 3, 4, 9, 0, 0, 0);
  double At(double seconds) const { return t0 + seconds * kSecond; }
};

TEST_F(Freshness, IntervalModeStaleOnlyAfterAFailureAndOneIntervalWithoutReading) {
  f.Reset(2, t0);
  // Never read yet, no failure: the specified first lines stay as they are.
  EXPECT_FALSE(f.Stale(0, At(30), false, 10));
  f.Polled(0, true, At(1));
  f.Polled(1, true, At(1));
  f.Polled(0, false, At(2));
  EXPECT_FALSE(f.Stale(0, At(11), false, 10));  // 10 s since the reading: not longer
  EXPECT_TRUE(f.Stale(0, At(11.001), false, 10));
  EXPECT_FALSE(f.Stale(1, At(60), false, 10));  // read well, only not again
  f.Polled(0, true, At(12));
  EXPECT_FALSE(f.Stale(0, At(100), false, 10));
  // A tiny interval does not make a channel that answers stale.
  f.Polled(1, true, At(200));
  EXPECT_FALSE(f.Stale(1, At(200.2), false, 0.0));
  f.Polled(1, false, At(200.3));
  EXPECT_TRUE(f.Stale(1, At(200.3), false, 0.0));
  // Out of range asks nothing.
  EXPECT_FALSE(f.Stale(-1, At(1000), false, 1));
  EXPECT_FALSE(f.Stale(2, At(1000), false, 1));
  f.Polled(5, false, At(1));
}

TEST_F(Freshness, EveryValueModeStaleAfterThreeFailedPollsInARow) {
  f.Reset(1, t0);
  f.Polled(0, true, At(1));
  f.Polled(0, false, At(2));
  f.Polled(0, false, At(3));
  EXPECT_FALSE(f.Stale(0, At(3), true, 10));
  f.Polled(0, true, At(4));
  for (int i = 0; i < 3; ++i) f.Polled(0, false, At(5 + i));
  EXPECT_TRUE(f.Stale(0, At(8), true, 10));
  for (int i = 0; i < 10; ++i) f.Polled(0, false, At(9 + i));
  EXPECT_TRUE(f.Stale(0, At(20), true, 10));
  f.Polled(0, true, At(21));
  EXPECT_FALSE(f.Stale(0, At(21), true, 10));
}

TEST_F(Freshness, LostLineMakesEveryChannelStaleUntilItReadsAgain) {
  f.Reset(3, t0);
  for (int ch = 0; ch < 3; ++ch) f.Polled(ch, true, At(1));
  f.LineLost();
  for (int ch = 0; ch < 3; ++ch) {
    EXPECT_TRUE(f.Stale(ch, At(1.1), false, 10));
    EXPECT_TRUE(f.Stale(ch, At(1.1), true, 10));
  }
  f.Polled(1, true, At(7));
  f.Polled(2, false, At(7));
  EXPECT_FALSE(f.Stale(1, At(7), false, 10));
  EXPECT_TRUE(f.Stale(2, At(7), false, 10));
  EXPECT_TRUE(f.Stale(0, At(7), true, 10));
  // A new connection forgets the loss.
  f.Reset(3, At(8));
  EXPECT_FALSE(f.Stale(0, At(8), false, 10));
}

TEST(BusIdentity, SameBusHasNoDifference) {
  const TBusIdentity a = {{3, "Oven", "0012", 2}, {7, "Kiln", "0099", 1}};
  EXPECT_EQ(DescribeBusDifference(a, a), "");
  EXPECT_EQ(DescribeBusDifference({}, {}), "");
}

TEST(BusIdentity, EveryKindOfDifferenceInPlainWords) {
  const TBusIdentity before = {{1, "A", "11", 1}, {3, "Oven", "0012", 2}, {7, "Kiln", "0099", 4}};
  const TBusIdentity now = {{3, "Oven", "0013", 2}, {5, "", "", 1}, {7, "Kiln2", "0099", 2}};
  EXPECT_EQ(DescribeBusDifference(before, now),
            "Device 1 (\"A\", serial number \"11\", 1 channel) did not answer.\n"
            "Device 3: serial number \"0012\" before, \"0013\" now.\n"
            "Device 5 (none, serial number none, 1 channel) is new on the bus.\n"
            "Device 7: name \"Kiln\" before, \"Kiln2\" now.\n"
            "Device 7: 4 channels before, 2 now.");
  EXPECT_EQ(DescribeBusDifference(before, {}),
            "Device 1 (\"A\", serial number \"11\", 1 channel) did not answer.\n"
            "Device 3 (\"Oven\", serial number \"0012\", 2 channels) did not answer.\n"
            "Device 7 (\"Kiln\", serial number \"0099\", 4 channels) did not answer.");
}

class IdentityOnBus : public ::testing::Test {
 protected:
  void SetUp() override { oem.AttachPort(&bus); }
  TVirtualClock clock;
  TScopedClock scoped{&clock};
  TSimBus bus;
  TOEMData oem;
};

TEST_F(IdentityOnBus, ReadsNameSerialAndChannelsOfEveryDeviceInAddressOrder) {
  bus.AddDevice(7, 1, 100, "Kiln").SerialNumber = "S-7";
  bus.AddDevice(3, 2, 10, "Oven").SerialNumber = "S-3";
  oem.ScanBus();
  const TBusIdentity ids = ReadBusIdentity(oem);
  EXPECT_EQ(ids, (TBusIdentity{{3, "Oven", "S-3", 2}, {7, "Kiln", "S-7", 1}}));
  // A replaced device behind the same address is told apart by its serial.
  bus.Device(7)->SerialNumber = "S-8";
  oem.ScanBus();
  EXPECT_EQ(DescribeBusDifference(ids, ReadBusIdentity(oem)),
            "Device 7: serial number \"S-7\" before, \"S-8\" now.");
}

TEST_F(IdentityOnBus, UnreadableTextsAreEmptyNotAnError) {
  bus.AddDevice(2, 3, 10, "Probe");
  oem.ScanBus();
  bus.Device(2)->Faults.NonHex = true;
  TBusIdentity ids;
  ASSERT_NO_THROW(ids = ReadBusIdentity(oem));
  EXPECT_EQ(ids, (TBusIdentity{{2, "", "", 3}}));
}

}  // namespace
