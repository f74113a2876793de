// The command line and the [Station] section: what is taken, what is refused
// with a reason, and which of the two wins.
#include <gtest/gtest.h>

#include <map>

#include "station/Station.h"
#include "station/StationArgs.h"
#include "station/StationConfig.h"

namespace {

struct TParsed {
  bool Ok;
  TStationSettings S;
  TStationArgsGiven Given;
  std::string Error;
};

TParsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "quilex-station");
  TParsed p;
  p.Ok = ParseStationArgs(args, p.S, p.Given, p.Error);
  return p;
}

TStationLookup Lookup(const std::map<std::string, std::string>& m) {
  return [m](const std::string& key, std::string& value) {
    auto it = m.find(key);
    if (it == m.end()) return false;
    value = it->second;
    return true;
  };
}

}  // namespace

TEST(StationArgs, EveryOptionInBothSpellings) {
  TParsed p = Parse({"--config", "/etc/quilex/oven", "--port=/dev/ttyUSB1", "--log", "/tmp/x.log",
                     "--append", "--interval=2.5", "--buffer-hours", "0.5", "--once"});
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.S.ConfigDir, "/etc/quilex/oven");
  EXPECT_EQ(p.S.Port, "/dev/ttyUSB1");
  EXPECT_EQ(p.S.LogFile, "/tmp/x.log");
  EXPECT_TRUE(p.S.Append);
  EXPECT_FALSE(p.S.EveryValue);
  EXPECT_DOUBLE_EQ(p.S.Interval, 2.5);
  EXPECT_DOUBLE_EQ(p.S.BufferHours, 0.5);
  EXPECT_TRUE(p.S.Once);

  TParsed d = Parse({});
  ASSERT_TRUE(d.Ok);
  EXPECT_DOUBLE_EQ(d.S.Interval, 10.0);
  EXPECT_DOUBLE_EQ(d.S.BufferHours, 12.0);
  EXPECT_TRUE(d.S.LogFile.empty());
  EXPECT_FALSE(d.S.Append || d.S.EveryValue || d.S.Once || d.S.Help);
  EXPECT_TRUE(Parse({"--every-value"}).S.EveryValue);
  EXPECT_TRUE(Parse({"-h"}).S.Help);
}

TEST(StationArgs, WrongOptionsAndValuesAreRefusedWithOneLine) {
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},
      {"port"},
      {"--interval"},
      {"--interval", "abc"},
      {"--interval", "-1"},
      {"--interval", "2,5"},  // the locale's comma is not taken on a command line
      {"--interval", "1e3"},
      {"--interval", "nan"},
      {"--interval", "99999"},
      {"--buffer-hours", "0"},
      {"--buffer-hours", ""},
      {"--log="},
      {"--append=1"},
      {"--interval", "5", "--every-value"},
      {"--every-value", "--interval=5"},
  };
  for (const auto& args : bad) {
    TParsed p = Parse(args);
    EXPECT_FALSE(p.Ok) << args[0];
    EXPECT_FALSE(p.Error.empty());
    EXPECT_EQ(p.Error.find('\n'), std::string::npos) << p.Error;
  }
  EXPECT_NE(Parse({"--bogus"}).Error.find("--bogus"), std::string::npos);
  EXPECT_TRUE(Parse({"--interval", "0"}).Ok);
  EXPECT_TRUE(Parse({"--interval", "0.05"}).Ok);
}

TEST(StationConfig, SectionFillsWhatTheCommandLineLeftOpen) {
  TParsed p = Parse({"--log", "/cli.log", "--every-value"});
  ASSERT_TRUE(p.Ok);
  std::string error;
  ASSERT_TRUE(ApplyStationSection(Lookup({{"Log", "/file.log"},
                                          {"Port", "/dev/ttyACM0"},
                                          {"Append", "1"},
                                          {"Interval", "3"},
                                          {"EveryValue", "0"},
                                          {"BufferHours", "2"}}),
                                  "s.ini", p.S, p.Given, error))
      << error;
  EXPECT_EQ(p.S.LogFile, "/cli.log");
  EXPECT_EQ(p.S.Port, "/dev/ttyACM0");
  EXPECT_TRUE(p.S.Append);
  EXPECT_TRUE(p.S.EveryValue);  // the command line's mode stays, with its interval
  EXPECT_DOUBLE_EQ(p.S.Interval, 10.0);
  EXPECT_DOUBLE_EQ(p.S.BufferHours, 2.0);

  TParsed q = Parse({});
  ASSERT_TRUE(ApplyStationSection(Lookup({{"Interval", "0.5"}, {"EveryValue", "0"}}), "s.ini", q.S,
                                  q.Given, error));
  EXPECT_DOUBLE_EQ(q.S.Interval, 0.5);
  EXPECT_FALSE(q.S.EveryValue);
}

TEST(StationConfig, UnusableValuesNameFileKeyAndValue) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"Interval", "ten"}, {"Interval", "-3"},   {"EveryValue", "yes please"},
      {"Append", "2"},     {"BufferHours", "0"}, {"Port", ""}};
  for (const auto& kv : bad) {
    TParsed p = Parse({});
    std::string error;
    EXPECT_FALSE(
        ApplyStationSection(Lookup({kv}), "/etc/quilex/a/quilex-station.ini", p.S, p.Given, error))
        << kv.first;
    EXPECT_NE(error.find("/etc/quilex/a/quilex-station.ini"), std::string::npos) << error;
    EXPECT_NE(error.find(kv.first + "=" + kv.second), std::string::npos) << error;
  }
  // A value the command line overrides is not looked at.
  TParsed p = Parse({"--interval", "4"});
  std::string error;
  EXPECT_TRUE(ApplyStationSection(Lookup({{"Interval", "ten"}}), "s.ini", p.S, p.Given, error));
}

TEST(StationBus, ChangeIsOneLineNamingWhatDiffers) {
  const std::vector<TStationDevice> before = {{3, "QTM-2", "A1", "1.0", 2},
                                              {7, "QTM-1", "B2", "1.0", 1}};
  auto after = before;
  after[0].Firmware = "2.0";  // a firmware update is still the same device
  EXPECT_EQ(DescribeBusChange(before, after), "");
  after[1].Serial = "C3";
  after[0].Channels = 1;
  const std::string text = DescribeBusChange(before, after);
  EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  EXPECT_NE(text.find("Device 7"), std::string::npos) << text;
  EXPECT_NE(text.find("C3"), std::string::npos) << text;
  EXPECT_NE(text.find("Device 3"), std::string::npos) << text;
  EXPECT_NE(DescribeBusChange(before, {before[0]}).find("7"), std::string::npos);
}
