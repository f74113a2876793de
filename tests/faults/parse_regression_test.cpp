// Replies and files that once produced wrong values; each case came from a
// fuzz run (the raw input is kept in tests/fuzz/corpus as well).
#include <gtest/gtest.h>

#include <string>

#include "protocol/OEMLib.h"

namespace {

std::string g_reply;
std::string Reply(void*, const std::string&) {
  return g_reply;
}

class ParseRegression : public ::testing::Test {
 protected:
  TDeviceParam dev;
  void SetUp() override {
    dev.Address = 5;
    dev.SetQueryTransfer(&Reply, nullptr);
    dev.SetSettingTransfer(&Reply, nullptr);
  }
  void Payload(const std::string& p) { g_reply = "A05 01 " + p + "\r\nA05 *00\r\n"; }
};

// A 16-bit offset or limit wider than four hex digits is no 16-bit value;
// taken at face value it became a correction far outside the device's range
// (a reset of the calibration would then send garbage).
TEST_F(ParseRegression, SixteenBitFieldsRejectWiderValues) {
  for (const char* wide : {"102690", "10000", "FFFFFFFF", "0000FFF6"}) {
    Payload(wide);
    const int offset = dev.GetCalibrationOffset();
    EXPECT_GE(offset, -32767) << wide;
    EXPECT_LE(offset, 32768) << wide;
    int a = 1, b = 1;
    Payload(std::string(wide) + " 0010");
    dev.GetAnalogLimits(a, b);
    EXPECT_GE(a, -32767) << wide;
    EXPECT_LE(a, 32768) << wide;
    Payload(std::string("0010 ") + wide);
    dev.GetAnalogLimits(a, b);
    EXPECT_GE(b, -32767) << wide;
    EXPECT_LE(b, 32768) << wide;
  }
  // Leading zeros keep a value in range.
  Payload("0000FFF6");
  EXPECT_EQ(dev.GetCalibrationOffset(), -10);
  Payload("FFFF");
  EXPECT_EQ(dev.GetCalibrationOffset(), -1);
}

}  // namespace
