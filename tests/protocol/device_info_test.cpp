// What is asked of the devices between a scan and the first poll: the channel
// layout once, then each device's identity in address order, against the
// in-process bus simulator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/QxClock.h"
#include "protocol/DeviceInfo.h"
#include "protocol/OEMLib.h"
#include "sim/SimBus.h"

namespace {

class DeviceInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { oem.AttachPort(&bus); }
  TVirtualClock clock;
  TScopedClock scoped{&clock};
  TSimBus bus;
  TOEMData oem;
};

TEST_F(DeviceInfoTest, LayoutOnceThenIdentityInAddressOrder) {
  TSimDevice& oven = bus.AddDevice(3, 2, 100, "Oven");
  oven.SerialNumber = "0012";
  oven.Firmware = "2.07";
  bus.AddDevice(7, 1, 10, "Bath");
  oem.ScanBus();
  bus.Written.clear();

  ReadChannelLayout(oem);
  // Count and scale of each device; the count was kept from the scan.
  EXPECT_EQ(bus.Written, "A03 ?45\rA07 ?45\r");
  EXPECT_DOUBLE_EQ(oem.Devices[0]->GetScale(), 100.0);
  bus.Written.clear();
  ReadChannelLayout(oem);
  EXPECT_EQ(bus.Written, "") << "asked again";

  const std::vector<TDeviceInfo> found = IdentifyDevices(oem);
  EXPECT_EQ(bus.Written, "A03 ?40\rA03 ?41\rA03 ?42\rA07 ?40\rA07 ?41\rA07 ?42\r");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].Address, 3);
  EXPECT_EQ(found[0].Name, "Oven");
  EXPECT_EQ(found[0].Serial, "0012");
  EXPECT_EQ(found[0].Firmware, "2.07");
  EXPECT_EQ(found[0].Channels, 2);
  EXPECT_EQ(found[1].Address, 7);
  EXPECT_EQ(found[1].Name, "Bath");
  EXPECT_EQ(found[1].Channels, 1);
}

TEST_F(DeviceInfoTest, GarbledIdentityLeavesTheRestEmptyAndTheDeviceMeasured) {
  TSimDevice& bad = bus.AddDevice(2, 3, 10, "Kiln");
  bus.AddDevice(5, 1, 10, "Bath");
  oem.ScanBus();
  ReadChannelLayout(oem);
  bad.Faults.NonHex = true;
  bus.Written.clear();
  const std::vector<TDeviceInfo> found = IdentifyDevices(oem);
  // No more questions to a device once its name was garbled; the next device
  // is still asked.
  EXPECT_EQ(bus.Written, "A02 ?40\rA05 ?40\rA05 ?41\rA05 ?42\r");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].Name, "");
  EXPECT_EQ(found[0].Serial, "");
  EXPECT_EQ(found[0].Firmware, "");
  EXPECT_EQ(found[0].Channels, 3);
  EXPECT_EQ(found[1].Name, "Bath");
}

}  // namespace
