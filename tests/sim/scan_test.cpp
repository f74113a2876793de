// The protocol against the in-process simulator, in virtual time.
#include <gtest/gtest.h>

#include "common/QxClock.h"
#include "protocol/OEMLib.h"
#include "sim/SimBus.h"

namespace {

class Scan : public ::testing::Test {
 protected:
  void SetUp() override { oem.AttachPort(&bus); }
  TVirtualClock clock;
  TScopedClock scoped{&clock};
  TSimBus bus;
  TOEMData oem;
};

TEST_F(Scan, EmptyBusCostsTwentyOneIdleWaits) {
  oem.ScanBus();
  EXPECT_TRUE(oem.Devices.empty());
  EXPECT_EQ(oem.ChannelTotal, 0);
  EXPECT_EQ(clock.SleptMs(), 21 * (52 + 81));
  EXPECT_EQ(bus.Reads, 21 * 81);
  std::printf("[ measure ] scan of an empty bus: %lld ms (virtual)\n",
              static_cast<long long>(clock.SleptMs()));
}

TEST_F(Scan, DevicesAtZeroThreeSevenGiveFlatChannelIndex) {
  bus.AddDevice(0, 1, 10);
  bus.AddDevice(3, 2, 10);
  bus.AddDevice(7, 1, 100);
  oem.ScanBus();
  ASSERT_EQ(oem.Devices.size(), 3u);
  EXPECT_EQ(oem.ChannelTotal, 4);
  // Address 0 is spoken to without prefix.
  EXPECT_EQ(bus.Written.substr(0, 9), "?40\r?0F\rA");
  const int expected[][2] = {{0, 1}, {3, 1}, {3, 2}, {7, 1}};
  for (int i = 0; i < 4; ++i) {
    TDeviceParam* d = oem.ChannelDevice(i);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Address, expected[i][0]);
    EXPECT_EQ(d->SubChannel, expected[i][1]);
  }
  EXPECT_EQ(oem.ChannelDevice(4), nullptr);
  // 18 missing addresses and three devices answering name and count.
  // Each answer is complete at the first poll after the pause.
  EXPECT_EQ(clock.SleptMs(), 18 * (52 + 81) + 6 * 52);
}

TEST_F(Scan, RescanForgetsDevicesThatLeft) {
  bus.AddDevice(3, 2, 10);
  bus.AddDevice(7, 1, 100);
  oem.ScanBus();
  EXPECT_EQ(oem.ChannelTotal, 3);
  EXPECT_EQ(oem.ChannelDevice(2)->Address, 7);
  bus.RemoveDevice(7);
  oem.ScanBus();
  ASSERT_EQ(oem.Devices.size(), 1u);
  EXPECT_EQ(oem.ChannelTotal, 2);
  EXPECT_EQ(oem.ChannelDevice(2), nullptr);
}

TEST_F(Scan, DeviceOperationsRoundTrip) {
  TSimDevice& sim = bus.AddDevice(5, 2, 100, "Oven");
  sim.Channels[0].Curve = TSimCurve::Constant(23.45);
  sim.Channels[1].Valid = false;
  oem.ScanBus();
  ASSERT_EQ(oem.ChannelTotal, 2);
  TDeviceParam* d = oem.ChannelDevice(0);
  EXPECT_EQ(d->GetDeviceName(), "Oven");
  EXPECT_EQ(d->GetSerialNumber(), sim.SerialNumber);
  EXPECT_EQ(d->GetFirmwareRevision(), "2.07");
  EXPECT_EQ(d->GetScale(), 100.0);
  int32_t raw;
  EXPECT_TRUE(d->ReadSample(raw));
  EXPECT_EQ(raw, 2345);
  EXPECT_FALSE(oem.ChannelDevice(1)->ReadSample(raw));

  // One-point calibration to 25.00 and its reset.
  d = oem.ChannelDevice(0);
  d->SendOffsetCorrection(static_cast<int16_t>(2500 - d->LastValue()));
  EXPECT_EQ(d->GetCalibrationOffset(), 155);
  EXPECT_TRUE(d->ReadSample(raw));
  EXPECT_EQ(raw, 2500);
  d->SendOffsetCorrection(static_cast<int16_t>(-d->GetCalibrationOffset()));
  EXPECT_EQ(d->GetCalibrationOffset(), 0);

  int lo, hi;
  d->SetAnalogLimits(-500, 15000);
  d->GetAnalogLimits(lo, hi);
  EXPECT_EQ(lo, -500);
  EXPECT_EQ(hi, 15000);
  d->SetCalibrationNumber(2);
  EXPECT_EQ(d->GetCalibrationNumber(), 2);
  d->SetAveraging(7);
  EXPECT_EQ(d->GetAveraging(), 7);
  EXPECT_EQ(sim.Settings, 5);
}

TEST_F(Scan, FaultyDevicesGiveDefaultsNotCrashes) {
  TSimDevice& sim = bus.AddDevice(4, 2, 100);
  oem.ScanBus();
  TDeviceParam* d = oem.ChannelDevice(1);
  std::vector<std::string> reports;
  d->OnReportError = [&](const std::string& t) { reports.push_back(t); };
  int32_t raw;

  sim.Faults.WrongAck = true;
  EXPECT_TRUE(d->ReadSample(raw));
  EXPECT_NE(raw, 9999);
  EXPECT_EQ(reports.size(), 1u);
  sim.Faults.Clear();

  sim.Faults.NoAck = true;  // waits out the idle polls, payload still used
  EXPECT_TRUE(d->ReadSample(raw));
  EXPECT_NE(raw, 9999);
  sim.Faults.Clear();

  for (bool split : {false, true}) {
    sim.Faults.SplitChunk = split ? 3 : 0;
    sim.Faults.LeadingLf = !split;
    EXPECT_TRUE(d->ReadSample(raw));
    EXPECT_NE(raw, 9999);
    EXPECT_EQ(d->GetDeviceName(), "QTM-2");
  }
  sim.Faults.Clear();

  sim.Faults.NonHex = true;
  EXPECT_FALSE(d->ReadSample(raw));
  EXPECT_EQ(raw, 9999);
  EXPECT_EQ(d->GetCalibrationOffset(), 0);
  EXPECT_EQ(d->GetAveraging(), -1);
  EXPECT_THROW(d->GetDeviceName(), EConvertError);
  EXPECT_THROW(oem.ScanBus(), EConvertError);
  sim.Faults.Clear();
  oem.ScanBus();
  d = oem.ChannelDevice(0);

  // A late reply is missed and then read as the start of the next one.
  sim.Faults.DelayMs = 200;
  EXPECT_FALSE(d->ReadSample(raw));
  sim.Faults.Clear();
  clock.Advance(300);
  EXPECT_EQ(d->GetAveraging(), -1) << "stale sample reply taken for the answer";

  bus.PortFails = true;
  clock.ResetCounters();
  EXPECT_FALSE(d->ReadSample(raw));
  EXPECT_EQ(clock.SleptMs(), 0) << "a dead port gives up at once";
  oem.ScanBus();
  EXPECT_EQ(oem.ChannelTotal, 0);
}

TEST_F(Scan, GarbageOfAnyLengthGivesDefaults) {
  TSimDevice& sim = bus.AddDevice(9, 1, 10);
  TDeviceParam d;
  oem.ConnectTransfers(d);
  d.Address = 9;
  for (int n : {1, 2, 99, 100, 101, 4095, 5000, 100000}) {
    sim.Faults.GarbageBytes = n;
    int32_t raw = 0;
    EXPECT_FALSE(d.ReadSample(raw) && raw != 9999) << n;
    d.GetCalibrationOffset();
    int a, b;
    d.GetAnalogLimits(a, b);
    d.GetCalibrationNumber();
    d.GetAveraging();
    try {
      d.GetDeviceName();
    } catch (const EConvertError&) {
    }
    const std::string raw1 = oem.TransferQuery("A09 ?0F\r");
    EXPECT_LE(raw1.size(), TOEMData::MaxReplyBytes + 100) << n;
    // Drain what a huge reply left behind before the next length.
    sim.Faults.Clear();
    clock.Advance(1000);
    std::string rest;
    while (bus.ReadText(rest, 100000) > 0) {
    }
  }
}

}  // namespace
