// quilex-station.ini: kept keys and sections, atomic rewrite, garbage files,
// the file mode once a password is in it; and the [Publish] section.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/QxPaths.h"
#include "common/QxStationIni.h"
#include "publish/PublishSettings.h"

namespace {

class StationIniTest : public ::testing::Test {
 protected:
  std::string dir, path;
  void SetUp() override {
    char tmpl[] = "/tmp/qx-ini-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/quilex-station.ini";
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
  void Write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  std::string Read(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  mode_t Mode() {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
  }
};

TEST_F(StationIniTest, UnknownKeysSectionsAndCommentsSurviveARewrite) {
  Write(
      "; written by hand\n[Reconnect]\nEnabled=1\nFuture=x y\n\n[Publish]\nHost = broker.lan\n"
      "Extra=keep me\r\n[Other]\nA=1\n");
  TStationIni ini;
  std::ostringstream err;
  ASSERT_TRUE(ini.Load(path, err));
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(ini.Get("publish", "HOST"), "broker.lan");  // names without regard to case
  EXPECT_TRUE(ini.GetBool("Reconnect", "Enabled", false));
  ini.Set("Publish", "Host", "other");
  ini.Set("Publish", "Port", "1884");
  ini.Set("Station", "Name", "new section");
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ(Read(path),
            "; written by hand\n[Reconnect]\nEnabled=1\nFuture=x y\n\n[Publish]\nHost=other\n"
            "Extra=keep me\nPort=1884\n[Other]\nA=1\n[Station]\nName=new section\n");
  // Nothing left behind from the atomic write.
  EXPECT_EQ(std::system(("test $(ls -A '" + dir + "' | wc -l) -eq 1").c_str()), 0);
}

TEST_F(StationIniTest, MissingFileIsEmptyAndCreatedOnSave) {
  TStationIni ini;
  std::ostringstream err;
  EXPECT_TRUE(ini.Load(path, err));
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(ini.Get("Publish", "Host", "dflt"), "dflt");
  ini.SetBool("Publish", "Enabled", false);
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ(Read(path), "[Publish]\nEnabled=0\n");
  EXPECT_EQ(Mode(), 0644u);
}

TEST_F(StationIniTest, GarbageGivesDefaultsAMessageAndIsKeptAsideOnSave) {
  for (const std::string& garbage : {std::string("\x7f"
                                                 "ELF\x02\x01\x01\0\0\0",
                                                 10),
                                     std::string("[Publish]\nHost\n"),
                                     std::string("[Publish\nHost=x\n"), std::string("=value\n")}) {
    Write(garbage);
    TStationIni ini;
    std::ostringstream err;
    EXPECT_FALSE(ini.Load(path, err));
    EXPECT_TRUE(ini.Rejected());
    EXPECT_NE(err.str().find(path), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("line"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("defaults"), std::string::npos) << err.str();
    const TPublishSettings s = LoadPublishSettings(ini);
    EXPECT_FALSE(s.Enabled);
    EXPECT_EQ(s.Host, "localhost");
    ini.Set("Publish", "Enabled", "1");
    ASSERT_TRUE(ini.Save());
    EXPECT_EQ(Read(path + ".bad"), garbage);  // the operator's file is not lost
    EXPECT_EQ(Read(path), "[Publish]\nEnabled=1\n");
  }
}

TEST_F(StationIniTest, LineBreaksCannotInjectKeys) {
  TStationIni ini;
  ini.SetPath(path);
  EXPECT_FALSE(ini.Set("Publish", "Password", "x\n[Publish]\nHost=evil"));
  EXPECT_FALSE(ini.Set("Publish", "Ho\rst", "x"));
  EXPECT_FALSE(ini.Set("Publish", "A=B", "x"));
  EXPECT_FALSE(ini.Has("Publish", "Password"));
  TPublishSettings s;
  s.Station = "lab";
  s.Username = "u";
  s.Password = "a\nb";
  EXPECT_NE(ValidatePublishSettings(s), "");
}

TEST_F(StationIniTest, PasswordMakesTheFileOwnerOnlyAndTheTempFileNeverWider) {
  Write("[Publish]\nHost=x\n");
  ::chmod(path.c_str(), 0664);
  TStationIni ini;
  ASSERT_TRUE(ini.Load(path));
  ini.Set("Publish", "Host", "y");
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ(Mode(), 0664u);  // a mode chosen by the user stays without a password
  ini.Set("Publish", "Password", "s3cret");
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ(Mode(), 0600u);
  ::unlink(path.c_str());
  TStationIni fresh;
  fresh.SetPath(path);
  fresh.Set("Publish", "Password", "s3cret");
  ASSERT_TRUE(fresh.Save());
  EXPECT_EQ(Mode(), 0600u);
}

TEST_F(StationIniTest, FailedSaveLeavesTheOldFile) {
  Write("[Publish]\nHost=old\n");
  TStationIni ini;
  ASSERT_TRUE(ini.Load(path));
  ini.Set("Publish", "Host", "new");
  ini.SetPath(dir + "/missing-dir/x/quilex-station.ini");
  std::string error;
  EXPECT_FALSE(ini.Save(&error));
  EXPECT_NE(error.find("missing-dir"), std::string::npos);
  EXPECT_EQ(Read(path), "[Publish]\nHost=old\n");
}

TEST(StationIniPath, BesideQuilexIni) {
  EXPECT_EQ(StationIniPathBeside("/home/u/.config/quilex.ini"),
            "/home/u/.config/quilex-station.ini");
  EXPECT_EQ(StationIniPathBeside("quilex.ini"), "quilex-station.ini");
  setenv("XDG_CONFIG_HOME", "/tmp/qx-config-test", 1);
  EXPECT_EQ(StationIniPath(), StationIniPathBeside(QuilexIniPath()));
  EXPECT_EQ(StationIniPath(), "/tmp/qx-config-test/quilex-station.ini");
  unsetenv("XDG_CONFIG_HOME");
}

TEST(PublishSettingsTest, DefaultsRoundTripAndBadValues) {
  TStationIni ini;
  TPublishSettings d = LoadPublishSettings(ini);
  EXPECT_FALSE(d.Enabled);
  EXPECT_EQ(d.Port, 1883);
  EXPECT_EQ(d.TopicPrefix, "quilex");
  EXPECT_EQ(d.QoS, 1);
  EXPECT_EQ(d.Station, DefaultStationName());
  EXPECT_FALSE(d.Station.empty());

  ini.Set("Publish", "TLS", "1");
  EXPECT_EQ(LoadPublishSettings(ini).Port, 8883);  // the TLS port unless one is given
  ini.Set("Publish", "Port", "70000");
  ini.Set("Publish", "QoS", "7");
  EXPECT_EQ(LoadPublishSettings(ini).Port, 8883);
  EXPECT_EQ(LoadPublishSettings(ini).QoS, 1);

  TPublishSettings s;
  s.Enabled = true;
  s.Host = "mqtt.example";
  s.Port = 1999;
  s.Station = "Oven hall";
  s.TopicPrefix = "plant/north";
  s.Username = "me";
  s.Password = "p=w;#";
  s.TLS = true;
  s.CAFile = "/etc/ssl/certs/ca-certificates.crt";
  s.QoS = 2;
  s.HomeAssistant = true;
  StorePublishSettings(ini, s);
  EXPECT_TRUE(LoadPublishSettings(ini) == s);
}

TEST(PublishSettingsTest, StationNamesThatWouldBreakTopicsAreRefusedClearly) {
  TPublishSettings s;
  s.Station = "lab-1.oven_2";
  EXPECT_EQ(ValidatePublishSettings(s), "");
  s.Station = "Halle Süd";  // blanks and UTF-8 are fine in a topic level
  EXPECT_EQ(ValidatePublishSettings(s), "");
  for (const char* bad : {"a/b", "a+b", "#", "", " lead", "ctl\x01", "bad\xff"}) {
    s.Station = bad;
    const std::string why = ValidatePublishSettings(s);
    EXPECT_NE(why, "") << bad;
    EXPECT_NE(why.find("station name"), std::string::npos) << why;
  }
  s.Station = "a/b";
  EXPECT_NE(ValidatePublishSettings(s).find("'/'"), std::string::npos);
  s.Station = "x+";
  EXPECT_NE(ValidatePublishSettings(s).find("wildcard"), std::string::npos);
  s.Station = std::string(kMaxStationName, 'x');
  EXPECT_EQ(ValidatePublishSettings(s), "");
  s.Station += "x";
  EXPECT_NE(ValidatePublishSettings(s).find("too long"), std::string::npos);

  s.Station = "ok";
  s.TopicPrefix = "site/hall";  // levels are allowed in the prefix
  EXPECT_EQ(ValidatePublishSettings(s), "");
  for (const char* bad : {"site/+", "/site", "site//x", "site/"}) {
    s.TopicPrefix = bad;
    EXPECT_NE(ValidatePublishSettings(s), "") << bad;
  }
}

TEST(PublishSettingsTest, LoopbackHosts) {
  for (const char* h : {"localhost", "127.0.0.1", "127.1.2.3", "::1", "LOCALHOST"})
    EXPECT_TRUE(IsLoopbackHost(h)) << h;
  for (const char* h : {"10.0.0.1", "broker", "128.0.0.1", "localhost.example"})
    EXPECT_FALSE(IsLoopbackHost(h)) << h;
}

TEST(PayloadTest, ReadingAsThePanelShowsItWithLocalTimeAndOffset) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  // 9 December 2026 14:05:30.250, winter time.
  const double winter = 46365.0 + (14 * 3600 + 5 * 60 + 30.25) / 86400.0;
  EXPECT_EQ(ReadingPayload(winter, 23.45),
            "{\"time\":\"2026-12-09T14:05:30.250+01:00\",\"value\":23.45,\"unit\":\"\xc2\xb0"
            "C\"}");
  // Summer time has its own offset.
  EXPECT_EQ(IsoLocalTime(46200.5).substr(10), "T12:00:00.000+02:00");
  EXPECT_NE(ReadingPayload(winter, 899.9).find("\"value\":899.90,"), std::string::npos);
  EXPECT_NE(ReadingPayload(winter, 900.0).find("\"value\":null,"), std::string::npos);
  EXPECT_NE(ReadingPayload(winter, 999.9).find("\"value\":null,"), std::string::npos);
  EXPECT_NE(ReadingPayload(winter, -50.5).find("\"value\":-50.50,"), std::string::npos);
  EXPECT_NE(ReadingPayload(winter, -0.001).find("\"value\":0.00,"), std::string::npos);
  setenv("TZ", "America/St_Johns", 1);  // a half-hour offset below UTC
  tzset();
  EXPECT_EQ(IsoLocalTime(winter).substr(23), "-03:30");
  unsetenv("TZ");
  tzset();
}

TEST(PayloadTest, TopicsDevicesAndDiscoveryAreValidJsonTexts) {
  TPublishSettings s;
  s.TopicPrefix = "quilex";
  s.Station = "Lab \"1\"";
  EXPECT_EQ(ReadingTopic(s, 3, 1), "quilex/Lab \"1\"/3/1");
  TPublishedDevice d{7, "TM\"4\"", "S\\1", "1.2\x01", 4};
  EXPECT_EQ(DevicesPayload({d}),
            "[{\"address\":7,\"name\":\"TM\\\"4\\\"\",\"serial\":\"S\\\\1\",\"firmware\":"
            "\"1.2\\u0001\",\"channels\":4}]");
  EXPECT_EQ(DevicesPayload({}), "[]");
  EXPECT_EQ(JsonString("\xe4"), "\"\xc3\xa4\"");  // a Latin-1 device text becomes UTF-8
  EXPECT_EQ(DiscoveryTopic(s, 7, 2), "homeassistant/sensor/quilex_Lab__1__7_2/config");
  const std::string p = DiscoveryPayload(s, d, 2);
  EXPECT_NE(p.find("\"state_topic\":\"quilex/Lab \\\"1\\\"/7/2/last\""), std::string::npos) << p;
  EXPECT_NE(p.find("\"device_class\":\"temperature\""), std::string::npos);
  EXPECT_NE(p.find("\"availability_topic\":\"quilex/Lab \\\"1\\\"/status\""), std::string::npos);
}

}  // namespace
