// The shipped main window with its real serial port against quilex-sim over
// a pseudo-terminal: connect, a few passes, log, disconnect, and the settings
// file written at close.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxClock.h"
#include "common/QxFormat.h"
#include "common/QxPaths.h"
#include "protocol/OEMLib.h"
#include "serial/CPort.h"
#include "serial/CPortLed.h"
#include "tests/support/sim_process.h"

namespace {

using qxtest::ReadFile;
using qxtest::SteadyMs;

class PtyEndToEnd : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  TSimProcess sim;
  std::string link;

  void SetUp() override {
    if (TSimProcess::Exe().empty()) GTEST_SKIP() << "quilex-sim is not built";
    link = dir.filePath("ttyQX").toStdString();
    ASSERT_TRUE(sim.Start(link, {"--device", "1:2:10", "--device", "2:2:100", "--curve",
                                 "1:1:constant:21.5", "--curve", "2:2:constant:-3.25"}))
        << "simulator link did not appear";
    setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1);
    SetFormatSettings(TFormatSettings::EnglishUSLike());
  }

  void TearDown() override {
    sim.Stop(SIGTERM);
    SetFormatSettings(TFormatSettings());
  }
};

}  // namespace

TEST_F(PtyEndToEnd, ConnectMeasureLogDisconnectAndStoreSettings) {
  std::vector<QString> messages;
  MessageBoxHook = [&](TMsgKind, const QString& text, const QPoint*) {
    messages.push_back(text);
    return TMsgResult::mrOk;
  };
  Options = new TOptions();
  Options->LogEveryValue = true;
  auto main = std::make_unique<TMain>();
  ASSERT_NE(main->ComPort1, nullptr);
  main->ComPort1->SetPort(link);
  const QString logPath = dir.filePath("e2e.log");
  main->SaveDialogPrompt = [&](QString& name) {
    name = logPath;
    return true;
  };

  constexpr int kPasses = 8;
  int turns = 0;
  std::vector<int64_t> passEnds;
  bool ledOn = false;
  main->OnChannelDone = [&](int channel) {
    ++turns;
    if (turns == 1) main->Button5Click();
    if (channel == OEMData->ChannelTotal - 1) passEnds.push_back(SteadyMs());
    ledOn = main->ComLed1->State() == lsOn;
    if (turns == kPasses * 4) main->ConnectButton->click();
  };
  main->ConnectButton->click();

  for (const QString& m : messages) ADD_FAILURE() << m.toStdString();
  EXPECT_EQ(turns, kPasses * 4);
  EXPECT_TRUE(ledOn);
  EXPECT_EQ(main->ComLed1->State(), lsOff);
  EXPECT_FALSE(main->ComPort1->Connected());
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_FALSE(main->Logging);
  ASSERT_EQ(main->Panels.size(), 4u);
  EXPECT_EQ(main->Panels[0]->ValueLabel->text(), QString::fromUtf8("21.50°C"));
  EXPECT_EQ(main->Panels[3]->ValueLabel->text(), QString::fromUtf8("-3.25°C"));
  EXPECT_EQ(main->Panels[3]->title(), "Temp 2:2");

  // Every turn after the start of logging wrote one whole line.
  const std::string log = ReadFile(logPath.toStdString());
  std::istringstream in(log);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    ASSERT_GE(line.size(), 2u);
    EXPECT_EQ(line.back(), '\r');
    EXPECT_EQ(line.size(), std::string("12/08/2026 02:03:07 PM.123 ").size() + 4 * 8 + 1) << line;
    EXPECT_NE(line.find("   21.50"), std::string::npos) << line;
  }
  EXPECT_EQ(lines, kPasses * 4 - 1);

  // One pass over the four channels, next to the protocol's floor of 4 x 52 ms.
  ASSERT_GE(passEnds.size(), 3u);
  const double perPass = double(passEnds.back() - passEnds[1]) / double(passEnds.size() - 2);
  std::cout << "[ measured ] one pass over 4 channels: " << perPass
            << " ms (floor 208 ms plus reply time)" << std::endl;
  RecordProperty("pass_ms", int(perPass));
  EXPECT_GE(perPass, 208.0);
  EXPECT_LT(perPass, 1000.0);

  main->close();
  const std::string ini = ReadFile(QuilexIniPath());
  EXPECT_NE(ini.find("[ComPort1]"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Port=" + link), std::string::npos) << ini;
  EXPECT_NE(ini.find("BaudRate=57600"), std::string::npos) << ini;

  main.reset();
  delete Options;
  Options = nullptr;
  MessageBoxHook = nullptr;
}
