// [Reconnect] in quilex-station.ini: default off, stored on OK, other
// sections and unknown keys kept, a garbage file gives the default.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <sstream>

#include "common/QxStationIni.h"
#include "reconnect/ReconnectSettings.h"

namespace {

std::string Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

class ReconnectSettings : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  std::string path = dir.filePath("quilex-station.ini").toStdString();
  TReconnectSettings Loaded(std::string* err = nullptr) {
    TStationIni ini;
    std::ostringstream msg;
    ini.Load(path, msg);
    if (err) *err = msg.str();
    return LoadReconnectSettings(ini);
  }
};

TEST_F(ReconnectSettings, OffWithoutAFileOnAfterSavingOffAgain) {
  EXPECT_FALSE(Loaded().Enabled);
  ASSERT_TRUE(SaveReconnectSettings(path, {true}));
  EXPECT_EQ(Read(path), "[Reconnect]\nEnabled=1\n");
  EXPECT_TRUE(Loaded().Enabled);
  ASSERT_TRUE(SaveReconnectSettings(path, {false}));
  EXPECT_FALSE(Loaded().Enabled);
}

TEST_F(ReconnectSettings, OtherSectionsAndUnknownKeysAreKept) {
  Write(path, "; station\n[Publish]\nHost=broker\nFuture=7\n\n[Reconnect]\nEnabled=0\nLater=x\n");
  ASSERT_TRUE(SaveReconnectSettings(path, {true}));
  EXPECT_EQ(Read(path),
            "; station\n[Publish]\nHost=broker\nFuture=7\n\n[Reconnect]\nEnabled=1\nLater=x\n");
}

TEST_F(ReconnectSettings, GarbageGivesTheDefaultWithAMessage) {
  for (const char* text :
       {"\x01\x02 binary", "Enabled\n[Reconnect\n", "[Reconnect]\nEnabled=maybe\n"}) {
    SCOPED_TRACE(text);
    Write(path, text);
    std::string err;
    EXPECT_FALSE(Loaded(&err).Enabled);
  }
  Write(path, "[Reconnect]\nEnabled\n");
  std::string err;
  EXPECT_FALSE(Loaded(&err).Enabled);
  EXPECT_NE(err.find("quilex-station.ini"), std::string::npos) << err;
}

TEST_F(ReconnectSettings, UnwritableFolderIsReportedNotThrown) {
  std::string error;
  EXPECT_FALSE(SaveReconnectSettings("/proc/no-such/quilex-station.ini", {true}, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
