// The simulator's replies, checked byte by byte against the frames.
#include <gtest/gtest.h>

#include "common/QxClock.h"
#include "sim/SimBus.h"
#include "sim/SimOptions.h"

namespace {

class SimReplies : public ::testing::Test {
 protected:
  void SetUp() override {
    TSimDevice& d = bus.AddDevice(5, 2, 100, "Fo");
    d.Channels[0].Curve = TSimCurve::Constant(23.45);
    d.Channels[1].Curve = TSimCurve::Constant(-1.5);
    d.Channels[1].Valid = false;
    d.SerialNumber = "7";
    d.Firmware = "1.2";
    TSimDevice& z = bus.AddDevice(0, 1, 10, "Z");
    z.Channels[0].Curve = TSimCurve::Constant(20.0);
  }
  // Write a frame and collect everything readable a while later.
  std::string Ask(const std::string& frame, int waitMs = 20) {
    bus.WriteText(frame);
    clock.Advance(waitMs);
    std::string all, chunk;
    while (bus.ReadText(chunk, 100) > 0) all += chunk;
    return all;
  }
  TVirtualClock clock;
  TScopedClock scoped{&clock};
  TSimBus bus;
};

TEST_F(SimReplies, QueriesAnswerWithPayloadAndAcknowledgement) {
  const std::pair<const char*, const char*> table[] = {
      {"A05 ?40\r", "A05 =40 #46 6F\r\nA05 *00\r\n"},
      {"A05 ?41\r", "A05 =41 #37\r\nA05 *00\r\n"},
      {"A05 ?42\r", "A05 =42 #31 2E 32\r\nA05 *00\r\n"},
      {"A05 ?0F\r", "A05 =0F 2\r\nA05 *00\r\n"},
      {"A05 ?45\r", "A05 =45 100\r\nA05 *00\r\n"},
      {"A05 ?01 1\r", "A05 =01 1 2345\r\nA05 *00\r\n"},
      {"A05 ?01 2\r", "A05 =01 0 -150\r\nA05 *00\r\n"},
      {"A05 ?75 1\r", "A05 =75 #0000\r\nA05 *00\r\n"},
      {"A05 ?81\r", "A05 =81 #0000 03E8\r\nA05 *00\r\n"},
      {"A05 ?76\r", "A05 =76 1\r\nA05 *00\r\n"},
      {"A05 ?52\r", "A05 =52 1\r\nA05 *00\r\n"},
      {"?0F\r", "=0F 1\r\n*00\r\n"},
      {"?01 1\r", "=01 1 200\r\n*00\r\n"},
      // Unknown command, missing channel, bad channel.
      {"A05 ?99\r", "A05 *01\r\n"},
      {"A05 ?01\r", "A05 *03\r\n"},
      {"A05 ?01 3\r", "A05 *03\r\n"},
      // Nobody at these addresses; a prefixed address 0 is not address 0.
      {"A06 ?40\r", ""},
      {"A00 ?40\r", ""},
      // Without a prefix the frame is for address 0, which does not know it.
      {"garbage\r", "*01\r\n"},
  };
  for (auto& row : table) EXPECT_EQ(Ask(row.first), row.second) << row.first;
}

TEST_F(SimReplies, SettingsChangeTheDevice) {
  TSimDevice& d = *bus.Device(5);
  EXPECT_EQ(Ask("A05 :75 1 FFF6\r"), "A05 *00\r\n");
  EXPECT_EQ(Ask("A05 :75 1 0003\r"), "A05 *00\r\n");  // corrections add up
  EXPECT_EQ(d.Channels[0].Offset, -7);
  EXPECT_EQ(Ask("A05 ?75 1\r"), "A05 =75 #FFF9\r\nA05 *00\r\n");
  EXPECT_EQ(Ask("A05 ?01 1\r"), "A05 =01 1 2338\r\nA05 *00\r\n");
  EXPECT_EQ(Ask("A05 :81  FF38 03E8\r"), "A05 *00\r\n");
  EXPECT_EQ(d.AnalogMin, -200);
  EXPECT_EQ(Ask("A05 :76 2\r"), "A05 *00\r\n");
  EXPECT_EQ(Ask("A05 :52  4\r"), "A05 *00\r\n");
  EXPECT_EQ(d.CalibrationNumber, 2);
  EXPECT_EQ(d.Averaging, 4);
  // Rejected data leaves the device as it was.
  for (const char* bad :
       {"A05 :52  21\r", "A05 :76 3\r", "A05 :75 3 0001\r", "A05 :81  FF38\r", "A05 :75 1 -1\r"})
    EXPECT_NE(Ask(bad), "A05 *00\r\n") << bad;
  EXPECT_EQ(d.Averaging, 4);
  EXPECT_EQ(d.Settings, 5);
  EXPECT_EQ(Ask(":76 2\r"), "*00\r\n");
}

TEST_F(SimReplies, ReplyTimingAndFraming) {
  bus.ReplyDelayMs = 5;
  bus.WriteText("A05 ?0F");
  clock.Advance(100);
  EXPECT_EQ(bus.PendingBytes(), 0u) << "no reply before the CR";
  bus.WriteText("\r");
  std::string got;
  clock.Advance(4);
  EXPECT_EQ(bus.ReadText(got, 100), 0);
  clock.Advance(1);
  EXPECT_EQ(bus.ReadText(got, 5), 5);
  EXPECT_EQ(got, "A05 =");
  // Leading blanks of a hand-typed frame are ignored; input without CR is bounded.
  EXPECT_EQ(Ask("\n A05 ?76\r"), "0F 2\r\nA05 *00\r\nA05 =76 1\r\nA05 *00\r\n");
  bus.RemoveDevice(0);
  bus.WriteText(std::string(100000, 'x'));
  EXPECT_EQ(Ask("\r"), "");
  EXPECT_EQ(Ask("A05 ?76\r"), "A05 =76 1\r\nA05 *00\r\n");
}

TEST_F(SimReplies, FaultsOnDemand) {
  TSimFaults& f = bus.Device(5)->Faults;
  f.Silent = true;
  EXPECT_EQ(Ask("A05 ?0F\r"), "");
  f.Clear();
  f.NoAck = true;
  EXPECT_EQ(Ask("A05 ?0F\r"), "A05 =0F 2\r\n");
  EXPECT_EQ(Ask("A05 :76 1\r"), "");
  f.Clear();
  f.WrongAck = true;
  EXPECT_EQ(Ask("A05 :76 1\r"), "A05 *01\r\n");
  f.Clear();
  f.NonHex = true;
  EXPECT_EQ(Ask("A05 ?40\r"), "A05 =40 zz 4G\r\nA05 *00\r\n");
  f.Clear();
  f.LeadingLf = true;
  EXPECT_EQ(Ask("A05 :76 1\r"), "\nA05 *00\r\n");
  f.Clear();
  f.GarbageBytes = 300;
  const std::string g = Ask("A05 ?0F\r");
  EXPECT_EQ(g.size(), 300u);
  EXPECT_EQ(g.find('\n'), std::string::npos);
  f.Clear();
  f.SplitChunk = 4;
  bus.WriteText("A05 :76 1\r");
  clock.Advance(5);
  std::string part;
  bus.ReadText(part, 100);
  EXPECT_EQ(part, "A05 ");
  clock.Advance(10);
  bus.ReadText(part, 100);
  EXPECT_EQ(part, "*00\r");
  f.Clear();
  f.DelayMs = 150;
  EXPECT_EQ(Ask("A05 :76 1\r", 100), "\n");  // the rest of the split reply
  clock.Advance(60);
  bus.ReadText(part, 100);
  EXPECT_EQ(part, "A05 *00\r\n");
}

TEST(SimOptions, CommandLineAndConfigFile) {
  const std::string cfg = ::testing::TempDir() + "/sim.cfg";
  FILE* fp = std::fopen(cfg.c_str(), "w");
  ASSERT_TRUE(fp);
  std::fputs("# test bus\n\ndevice 0:1:10:Zero\n--curve 0:1:ramp:20:30:60\nfault 0:split:2\n", fp);
  std::fclose(fp);
  const char* argv[] = {"quilex-sim", "--device",  "4:3:100:Oven",
                        "--config",   cfg.c_str(), "--curve=4:2:constant:25.5",
                        "--invalid",  "4:3",       "--reply-delay",
                        "8"};
  TSimOptions o;
  std::string err;
  ASSERT_TRUE(o.Parse(10, argv, err)) << err;
  TSimBus bus;
  ASSERT_TRUE(o.Build(bus, err)) << err;
  ASSERT_NE(bus.Device(4), nullptr);
  ASSERT_NE(bus.Device(0), nullptr);
  EXPECT_EQ(bus.Device(3), nullptr) << "explicit devices replace the default bus";
  EXPECT_EQ(bus.Device(4)->Name, "Oven");
  EXPECT_EQ(bus.Device(4)->RawReading(2, 0), 2550);
  EXPECT_FALSE(bus.Device(4)->Channels[2].Valid);
  EXPECT_EQ(bus.Device(0)->Faults.SplitChunk, 2);
  EXPECT_EQ(bus.ReplyDelayMs, 8);

  TSimOptions d;
  ASSERT_TRUE(d.Build(bus, err));
  EXPECT_EQ(bus.Device(3)->Channels.size(), 2u);
  EXPECT_EQ(bus.Device(7)->Scale, 100);
  // Readings look like room temperatures by default.
  for (double t = 0; t < 3600; t += 97) {
    const double c = bus.Device(7)->RawReading(1, t) / 100.0;
    EXPECT_GT(c, 18.0);
    EXPECT_LT(c, 32.0);
  }

  for (const char* bad : {"--device=21:1:10", "--device=3:0:10", "--curve=3:1:sine:1:2",
                          "--fault=3:melt", "--reply-delay=-1", "--bogus=1"}) {
    TSimOptions b;
    const char* one[] = {"quilex-sim", bad};
    EXPECT_FALSE(b.Parse(2, one, err)) << bad;
  }
  TSimOptions missing;
  const char* nodev[] = {"quilex-sim", "--fault", "9:silent"};
  ASSERT_TRUE(missing.Parse(3, nodev, err));
  EXPECT_FALSE(missing.Build(bus, err));
}

}  // namespace
