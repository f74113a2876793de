// Device objects against a scripted transfer: frames sent, reply parsing,
// defaults for unusable payloads.
#include <gtest/gtest.h>

#include <deque>

#include "protocol/OEMLib.h"

namespace {

// Answers each frame with the next scripted reply (empty when none is left)
// and records the frames.
struct TScript {
  std::deque<std::string> replies;
  std::vector<std::string> frames;
  std::vector<std::string> reports;

  static std::string Proc(void* ctx, const std::string& frame) {
    auto* s = static_cast<TScript*>(ctx);
    s->frames.push_back(frame);
    if (s->replies.empty()) return "";
    std::string r = s->replies.front();
    s->replies.pop_front();
    return r;
  }
  void Attach(TDeviceParam& d) {
    d.SetQueryTransfer(&Proc, this);
    d.SetSettingTransfer(&Proc, this);
    d.OnReportError = [this](const std::string& t) { reports.push_back(t); };
  }
};

class DeviceParam : public ::testing::Test {
 protected:
  void SetUp() override {
    script.Attach(dev);
    dev.Address = 5;
  }
  // A well-formed query reply from address 5 carrying payload.
  void Reply(const std::string& payload) {
    script.replies.push_back("A05 =xx " + payload + "\r\nA05 *00\r\n");
  }
  TScript script;
  TDeviceParam dev;
};

TEST(Framing, HexElementsAndPrefix) {
  EXPECT_EQ(Hex2(15), "0F");
  EXPECT_EQ(Hex2(129), "81");
  EXPECT_EQ(Hex4(200), "00C8");
  EXPECT_EQ(Hex4(-200), "FF38");
  EXPECT_EQ(Hex4(-32768), "8000");
  EXPECT_EQ(AddressPrefix(5), "A05 ");
  EXPECT_EQ(AddressPrefix(20), "A14 ");
  EXPECT_EQ(AddressPrefix(0), "");
}

TEST_F(DeviceParam, QueryPayloadIsStrippedWhateverTheAcknowledgement) {
  const std::string bodies[] = {"A05 =40 46 6F\r\nA05 *00\r\n", "A05 =40 #46 6F\r\nA05 *00\r\n",
                                "\nA05 =40 46 6F\r\nA05 *00\r\n"};
  for (const std::string& b : bodies) {
    script.replies.push_back(b);
    EXPECT_EQ(dev.SendQuery(5, 0x40), "46 6F") << b;
  }
  EXPECT_TRUE(script.reports.empty());
  EXPECT_EQ(script.frames[0], "A05 ?40\r");

  // A wrong or missing acknowledgement is reported but the payload survives.
  script.replies.push_back("A05 =40 46 6F\r\nA05 *01\r\n");
  EXPECT_EQ(dev.SendQuery(5, 0x40), "46 6F");
  ASSERT_EQ(script.reports.size(), 1u);
  EXPECT_EQ(script.reports[0], "Kommando nicht verstanden: A05 *01\r\n ; A05 ?40");
  script.replies.push_back("A05 =01 1 2345\r\n");
  EXPECT_EQ(dev.SendChannelQuery(5, 0x01, 2), "1 2345");
  EXPECT_EQ(script.reports.back(), "Kommando nicht verstanden:  ; A05 ?01 2");
  EXPECT_EQ(script.frames.back(), "A05 ?01 2\r");
}

TEST_F(DeviceParam, PayloadSpacesAndShortLines) {
  script.replies.push_back("A05 =52   12   34  \r\nA05 *00\r\n");
  EXPECT_EQ(dev.SendQuery(5, 0x52), "12 34");
  // Fewer tokens than the parse removes.
  script.replies.push_back("A05\r\nA05 *00\r\n");
  EXPECT_EQ(dev.SendQuery(5, 0x52), "");
  script.replies.push_back("");
  EXPECT_EQ(dev.SendQuery(5, 0x52), "");
}

TEST_F(DeviceParam, AddressZeroHasNoPrefixAndOneTokenLess) {
  dev.Address = 0;
  script.replies.push_back("=0F 3\r\n*00\r\n");
  EXPECT_EQ(dev.GetChannelCount(), 3);
  EXPECT_EQ(script.frames[0], "?0F\r");
  EXPECT_TRUE(script.reports.empty());
  script.replies.push_back("*00\r\n");
  EXPECT_TRUE(dev.SendSetting(0, 0x76, "2"));
  EXPECT_EQ(script.frames[1], ":76 2\r");
}

TEST_F(DeviceParam, SettingFramesAndAcknowledgement) {
  dev.SelectSubChannel(2);
  script.replies = {"A05 *00\r\n", "*00\r\n", "A05 *00\r\nx", "", ""};
  dev.SendOffsetCorrection(-10);
  dev.SetAveraging(4);
  dev.SetAnalogLimits(-200, 1000);
  dev.SetCalibrationNumber(2);
  EXPECT_EQ(script.frames, (std::vector<std::string>{"A05 :75 2 FFF6\r", "A05 :52  4\r",
                                                     "A05 :81  FF38 03E8\r", "A05 :76 2\r"}));
  // Only the exact acknowledgement line counts.
  EXPECT_EQ(script.reports, (std::vector<std::string>(3, "Daten nicht akzeptiert")));
  script.replies = {"A05 *00\r\n", "*00\r\n"};
  EXPECT_TRUE(dev.SendSetting(5, 0x76, "1"));
  EXPECT_FALSE(dev.SendSetting(5, 0x76, "1"));
}

TEST_F(DeviceParam, IdentityTexts) {
  Reply("46 6F 54");
  EXPECT_EQ(dev.GetDeviceName(), "FoT");
  Reply("");
  EXPECT_EQ(dev.GetSerialNumber(), "");
  Reply("#31 2E 30");
  EXPECT_EQ(dev.GetFirmwareRevision(), "1.0");
  EXPECT_EQ(script.frames[2], "A05 ?42\r");
  // Low byte of a wider value; lower-case digits are hex too.
  Reply("141 6f");
  EXPECT_EQ(dev.GetDeviceName(), "Ao");
  for (const char* bad : {"4G", "46 -1", "46 $41", "123456789", "1 2 zz"}) {
    Reply(bad);
    EXPECT_THROW(dev.GetDeviceName(), EConvertError) << bad;
  }
}

TEST_F(DeviceParam, ScaleIsParsedOnceWithDefaults) {
  struct {
    const char* payload;
    double scale;
  } cases[] = {{"100", 100.0},     {"0", 10.0},   {"-5", 10.0}, {"40000", 10.0},
               {"32768", 32768.0}, {"abc", 10.0}, {"", 10.0},   {"1", 1.0}};
  for (auto& c : cases) {
    TDeviceParam d;
    script.Attach(d);
    d.Address = 5;
    script.frames.clear();
    Reply(c.payload);
    EXPECT_EQ(d.GetScale(), c.scale) << c.payload;
    EXPECT_EQ(d.GetScale(), c.scale);
    EXPECT_EQ(script.frames.size(), 1u) << "second call must come from the cache";
  }
}

TEST_F(DeviceParam, ChannelCountSizesTheReadingStore) {
  EXPECT_EQ(dev.GetChannelCount(), 1);  // no reply
  EXPECT_EQ(dev.LastValues.size(), 1u);
  EXPECT_TRUE(dev.ChannelCountKnown());
  EXPECT_EQ(dev.GetChannelCount(), 1);
  EXPECT_EQ(script.frames.size(), 1u);

  // Absurd counts from a confused line neither throw nor allocate wildly:
  // the store follows the one-byte count the bus works with.
  struct {
    const char* payload;
    int count;
  } cases[] = {{"4", 4}, {"-1", 255}, {"70000", 112}, {"0", 0}, {"x", 1}};
  for (auto& c : cases) {
    TDeviceParam d;
    script.Attach(d);
    Reply(c.payload);
    d.Address = 5;
    EXPECT_EQ(d.GetChannelCount(), c.count) << c.payload;
    EXPECT_EQ(d.LastValues.size(), static_cast<size_t>(c.count)) << c.payload;
  }
}

TEST_F(DeviceParam, ReadSampleValidityAndErrorReading) {
  Reply("2");
  dev.GetChannelCount();
  dev.SelectSubChannel(2);
  int32_t raw = 0;
  Reply("1 2345");
  EXPECT_TRUE(dev.ReadSample(raw));
  EXPECT_EQ(raw, 2345);
  EXPECT_EQ(script.frames.back(), "A05 ?01 2\r");
  Reply("0 -120");
  EXPECT_FALSE(dev.ReadSample(raw));
  EXPECT_EQ(raw, -120);
  EXPECT_EQ(dev.LastValue(), -120);
  // Unparsable parts give the error reading and keep the last value.
  Reply("1 abc");
  EXPECT_TRUE(dev.ReadSample(raw));
  EXPECT_EQ(raw, 9999);
  Reply("x 12");
  EXPECT_FALSE(dev.ReadSample(raw));
  EXPECT_EQ(raw, 9999);
  Reply("1 12 13");
  EXPECT_TRUE(dev.ReadSample(raw));
  EXPECT_EQ(raw, 9999);
  EXPECT_FALSE(dev.ReadSample(raw));  // no reply
  EXPECT_EQ(raw, 9999);
  EXPECT_EQ(dev.LastValues, (std::vector<int32_t>{0, -120}));
  dev.SelectSubChannel(1);
  EXPECT_EQ(dev.LastValue(), 0);
}

TEST_F(DeviceParam, SubChannelOutsideTheStoreIsHarmless) {
  // One stored value; sub-channels 0 and 9 have no slot.
  for (uint8_t sub : {0, 9, 255}) {
    dev.SelectSubChannel(sub);
    int32_t raw = 0;
    Reply("1 777");
    EXPECT_TRUE(dev.ReadSample(raw));
    EXPECT_EQ(raw, 777);
    EXPECT_EQ(dev.LastValue(), 0);
    Reply("#0010");
    EXPECT_EQ(dev.GetCalibrationOffset(), 16);
    dev.SendOffsetCorrection(5);
    EXPECT_EQ(script.frames.back(), "A05 :75 " + std::to_string(sub) + " 0005\r");
  }
  EXPECT_EQ(dev.LastValues, std::vector<int32_t>{0});
}

TEST_F(DeviceParam, SignedSixteenBitValues) {
  struct {
    const char* payload;
    int value;
  } offsets[] = {{"FFF6", -10},    {"8000", 32768}, {"8001", -32767}, {"0", 0},
                 {"#000A 99", 10}, {"zz", 0},       {"", 0}};
  for (auto& c : offsets) {
    Reply(c.payload);
    EXPECT_EQ(dev.GetCalibrationOffset(), c.value) << c.payload;
  }
  EXPECT_EQ(script.frames.back(), "A05 ?75 1\r");

  int a = 1, b = 1;
  Reply("#FF38 03E8");
  dev.GetAnalogLimits(a, b);
  EXPECT_EQ(a, -200);
  EXPECT_EQ(b, 1000);
  for (const char* bad : {"FF38", "FF38 03E8 1", "FF38 zz", ""}) {
    a = b = 1;
    Reply(bad);
    dev.GetAnalogLimits(a, b);
    EXPECT_EQ(a, 0) << bad;
    EXPECT_EQ(b, 0) << bad;
  }
}

TEST_F(DeviceParam, CalibrationNumberAndAveraging) {
  Reply("2 extra");
  EXPECT_EQ(dev.GetCalibrationNumber(), 2);
  Reply("q");
  EXPECT_EQ(dev.GetCalibrationNumber(), 0);
  Reply("12");
  EXPECT_EQ(dev.GetAveraging(), 12);
  Reply("12 3");
  EXPECT_EQ(dev.GetAveraging(), -1);
  EXPECT_EQ(dev.GetAveraging(), -1);  // no reply
}

TEST_F(DeviceParam, UnsetTransferReadsNothing) {
  TDeviceParam d;
  d.Address = 3;
  int32_t raw;
  EXPECT_FALSE(d.ReadSample(raw));
  EXPECT_EQ(raw, 9999);
  EXPECT_EQ(d.GetDeviceName(), "");
  EXPECT_EQ(d.GetScale(), 10.0);
}

}  // namespace
