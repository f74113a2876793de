// quilex-station.ini is written by the Options window (reconnecting) and by
// the publishing dialog, each at its own time: neither may write back what
// the other stored meanwhile.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <sstream>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxStationIni.h"
#include "publish/ui/PublishGlue.h"
#include "tests/support/child_process.h"

namespace {

using qxtest::ReadFile;

TEST(StationFileShared, ReconnectAndPublishingKeepEachOthersSections) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("quilex-station.ini").toStdString();
  TOptions options;
  options.AttachStationSettings(path);
  TPublishing publishing(path);  // loaded before the Options store anything
  publishing.AttachTo(&options);
  EXPECT_FALSE(options.CheckBoxReconnect->isChecked());

  options.CheckBoxReconnect->setChecked(true);
  options.Button1Click();
  TPublishSettings s = publishing.Settings();
  s.Host = "broker.example";
  ASSERT_EQ(publishing.Apply(s), "");
  const std::string text = ReadFile(path);
  EXPECT_NE(text.find("[Reconnect]\nEnabled=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("broker.example"), std::string::npos) << text;

  // And a later OK keeps the publishing section.
  options.CheckBoxReconnect->setChecked(false);
  options.Button1Click();
  const std::string after = ReadFile(path);
  EXPECT_NE(after.find("[Reconnect]\nEnabled=0\n"), std::string::npos) << after;
  EXPECT_NE(after.find("broker.example"), std::string::npos) << after;

  // A new start reads the option back.
  TOptions again;
  again.AttachStationSettings(path);
  EXPECT_FALSE(again.ReconnectAutomatically);
  options.CheckBoxReconnect->setChecked(true);
  options.Button1Click();
  TOptions third;
  third.AttachStationSettings(path);
  EXPECT_TRUE(third.ReconnectAutomatically);
  EXPECT_TRUE(third.CheckBoxReconnect->isChecked());
}

}  // namespace
