// The bus object's raw exchanges, in virtual time, against a scripted port.
#include <gtest/gtest.h>

#include <stdexcept>

#include "common/QxClock.h"
#include "protocol/OEMLib.h"

namespace {

// A port whose reads are served by a function of the read number; any
// operation can be made to fail.
class TFakePort : public TOEMPort {
 public:
  std::function<std::string(int)> Serve = [](int) { return std::string(); };
  int FailWrites = 0;  // the next n writes throw
  bool FailReads = false;
  int Writes = 0, Reads = 0, Aborts = 0;
  char EventChar = 0;
  bool RxOnly = false;
  std::function<void()> OnRx;

  int WriteText(const std::string& text) override {
    ++Writes;
    if (FailWrites > 0) {
      --FailWrites;
      throw std::runtime_error("write failed");
    }
    return static_cast<int>(text.size());
  }
  int ReadText(std::string& text, int count) override {
    ++Reads;
    if (FailReads) throw std::runtime_error("read failed");
    text = Serve(Reads).substr(0, static_cast<size_t>(count));
    return static_cast<int>(text.size());
  }
  void AbortPendingIo() override { ++Aborts; }
  void SetEventChar(char c) override { EventChar = c; }
  void SetEventsToRxFlagOnly() override { RxOnly = true; }
  void SetOnRxFlag(std::function<void()> h) override { OnRx = std::move(h); }
};

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override { bus.AttachPort(&port); }
  TVirtualClock clock;
  TScopedClock scoped{&clock};
  TFakePort port;
  TOEMData bus;
};

TEST_F(Transfer, AttachPortListensForLineFeeds) {
  EXPECT_EQ(port.EventChar, '\n');
  EXPECT_TRUE(port.RxOnly);
  ASSERT_TRUE(port.OnRx);
  port.OnRx();
  EXPECT_EQ(port.Aborts, 1);
}

TEST_F(Transfer, SilentLineCostsFixedPauseAndEightyOneIdleReads) {
  EXPECT_EQ(bus.TransferQuery("A05 ?40\r"), "");
  EXPECT_EQ(port.Reads, 81);
  EXPECT_EQ(clock.SleptMs(), 52 + 81);
  EXPECT_EQ(clock.SleepCalls(), 1 + 81);  // the answer wait is one sleep
}

TEST_F(Transfer, QueryStopsAtSecondLineFeedAndIdleRestartsOnData) {
  // Chunks arrive on reads 1, 50 and 120; each one resets the idle count.
  port.Serve = [](int n) -> std::string {
    if (n == 1) return "A05 =40 4";
    if (n == 50) return "6\r\nA05 *0";
    if (n == 120) return "0\r\nleft";
    return "";
  };
  EXPECT_EQ(bus.TransferQuery("A05 ?40\r"), "A05 =40 46\r\nA05 *00\r\nleft");
  EXPECT_EQ(port.Reads, 120);
  // A gap of more than 80 empty reads ends the wait with a partial reply.
  port.Reads = 0;
  port.Serve = [](int n) { return n == 1 ? std::string("A05 =40 46\r\n") : std::string(); };
  EXPECT_EQ(bus.TransferQuery("A05 ?40\r"), "A05 =40 46\r\n");
  EXPECT_EQ(port.Reads, 81);
}

TEST_F(Transfer, QueryRestartsOnPortErrorsButGivesUp) {
  port.FailWrites = 2;
  port.Serve = [](int) { return std::string("x\r\ny\r\n"); };
  EXPECT_EQ(bus.TransferQuery("?40\r"), "x\r\ny\r\n");
  EXPECT_EQ(port.Writes, 3);

  // A port that fails forever (closed, unplugged) must not hang the caller.
  port.Writes = 0;
  port.FailWrites = 1000;
  EXPECT_EQ(bus.TransferQuery("?40\r"), "");
  EXPECT_EQ(port.Writes, TOEMData::MaxPortRestarts + 1);
  port.FailWrites = 0;
  port.Writes = port.Reads = 0;
  port.FailReads = true;
  EXPECT_EQ(bus.TransferQuery("?40\r"), "");
  EXPECT_EQ(port.Writes, TOEMData::MaxPortRestarts + 1);

  // No port at all behaves like a dead one.
  TOEMData lonely;
  EXPECT_EQ(lonely.TransferQuery("?40\r"), "");
  EXPECT_THROW(lonely.TransferSetting(":76 1\r"), std::exception);
}

TEST_F(Transfer, EndlessStreamWithoutLineFeedIsCut) {
  port.Serve = [](int) { return std::string(100, '\x7f'); };
  const std::string q = bus.TransferQuery("?40\r");
  EXPECT_GE(q.size(), TOEMData::MaxReplyBytes);
  EXPECT_LT(q.size(), TOEMData::MaxReplyBytes + 100);
  const std::string s = bus.TransferSetting(":76 1\r");
  EXPECT_LT(s.size(), TOEMData::MaxReplyBytes + 100);
}

TEST_F(Transfer, SettingWaitsLongAndStopsAtFirstLineFeed) {
  port.Serve = [](int n) { return n == 3 ? std::string("A05 *00\r\nrest") : std::string(); };
  EXPECT_EQ(bus.TransferSetting("A05 :76 1\r"), "A05 *00\r\nrest");
  EXPECT_EQ(clock.SleptMs(), 402 + 2);

  // A write failure reaches the caller; read failures are bounded.
  port.FailWrites = 1;
  EXPECT_THROW(bus.TransferSetting("A05 :76 1\r"), std::runtime_error);
  port.FailReads = true;
  port.Reads = 0;
  EXPECT_EQ(bus.TransferSetting("A05 :76 1\r"), "");
  EXPECT_EQ(port.Reads, TOEMData::MaxPortRestarts + 1);
}

TEST_F(Transfer, SettingOnSilentDeviceWaitsItsFullIdleLimit) {
  EXPECT_EQ(bus.TransferSetting("A05 :76 1\r"), "");
  EXPECT_EQ(port.Reads, 80001);
  EXPECT_EQ(clock.SleptMs(), 402 + 80001);
}

TEST(ChannelIndex, FlatIndexMapsToDeviceAndSubChannel) {
  TOEMData bus;
  for (int count : {1, 3, 2}) {
    bus.Devices.push_back(std::make_unique<TDeviceParam>());
    bus.Devices.back()->Address = static_cast<uint8_t>(bus.Devices.size());
    bus.Devices.back()->ChannelCount = count;
    bus.ChannelTotal += count;
  }
  const int expected[][2] = {{1, 1}, {2, 1}, {2, 2}, {2, 3}, {3, 1}, {3, 2}};
  for (int i = 0; i < 6; ++i) {
    TDeviceParam* d = bus.ChannelDevice(i);
    ASSERT_NE(d, nullptr) << i;
    EXPECT_EQ(d->Address, expected[i][0]) << i;
    EXPECT_EQ(d->SubChannel, expected[i][1]) << i;
  }
  EXPECT_EQ(bus.ChannelDevice(6), nullptr);
  EXPECT_EQ(bus.ChannelDevice(-1), nullptr);
  // A total that claims more channels than the devices carry finds nothing.
  bus.ChannelTotal = 10;
  EXPECT_EQ(bus.ChannelDevice(8), nullptr);
}

}  // namespace
