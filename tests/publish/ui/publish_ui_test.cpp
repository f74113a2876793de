// Publishing in the desktop program: the Options window's button and status
// line, the settings dialog and file, the device list's frames, and a reading
// from quilex-sim over a pseudo-terminal seen by mosquitto_sub.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "app/oem_main.h"
#include "app/oem_options.h"
#include "common/QxClock.h"
#include "common/QxFormat.h"
#include "protocol/DeviceInfo.h"
#include "protocol/OEMLib.h"
#include "publish/ui/PublishGlue.h"
#include "serial/CPort.h"
#include "sim/SimBus.h"
#include "tests/publish/broker_process.h"
#include "tests/support/sim_process.h"

using namespace qxtest;

namespace {

class PublishUiTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  std::string IniPath() { return dir.filePath("quilex-station.ini").toStdString(); }
};

// The identity asked for the broker's device list: name, serial and firmware
// of each device in address order, nothing more of a device whose name is
// garbled, and nothing at all while publishing is off.
TEST_F(PublishUiTest, DevicesScannedAsksEachIdentityOnceInAddressOrder) {
  TVirtualClock clock;
  TScopedClock scoped(&clock);
  TSimBus bus;
  TOEMData oem;
  oem.AttachPort(&bus);
  TSimDevice& bad = bus.AddDevice(2, 3, 10, "Kiln");
  TSimDevice& oven = bus.AddDevice(5, 1, 100, "Oven");
  oven.SerialNumber = "0012";
  oem.ScanBus();
  ReadChannelLayout(oem);
  bad.Faults.NonHex = true;
  bus.Written.clear();
  {
    TPublishing off(IniPath());
    off.DevicesScanned(oem);
    EXPECT_EQ(bus.Written, "");
  }
  // Port 1 on this host: nothing listens, the publisher keeps retrying.
  std::ofstream(IniPath()) << "[Publish]\nEnabled=1\nHost=127.0.0.1\nPort=1\nStation=ids\n";
  TPublishing publishing(IniPath());
  ASSERT_TRUE(publishing.Publisher().Running());
  publishing.DevicesScanned(oem);
  EXPECT_EQ(bus.Written, "A02 ?40\rA05 ?40\rA05 ?41\rA05 ?42\r");
}

TEST_F(PublishUiTest, OptionsWindowGrowsBelowItsControlsWhichStayWhereTheyWere) {
  TOptions options;
  std::map<QWidget*, QRect> before;
  for (QWidget* w : options.findChildren<QWidget*>()) before[w] = w->geometry();
  const QSize size = options.size();
  TPublishing publishing(IniPath());
  publishing.AttachTo(&options);
  for (const auto& [w, g] : before) EXPECT_EQ(w->geometry(), g) << w->metaObject()->className();
  EXPECT_EQ(options.width(), size.width());
  EXPECT_GT(options.height(), size.height());
  ASSERT_NE(publishing.PublishButton, nullptr);
  EXPECT_EQ(publishing.PublishButton->text(), "Publishing...");
  EXPECT_GE(publishing.PublishButton->y(), size.height());
  EXPECT_GE(publishing.StatusLabel->y(), publishing.PublishButton->geometry().bottom());
  EXPECT_LE(publishing.StatusLabel->geometry().bottom(), options.height());
  EXPECT_EQ(publishing.StatusLabel->text(), "Publishing: off");
  // Off, nothing is written and nothing runs.
  EXPECT_FALSE(publishing.Publisher().Running());
  EXPECT_NE(::access(IniPath().c_str(), F_OK), 0);
  publishing.Reading(1, 1, 46000.0, 20.0);
  EXPECT_EQ(publishing.Publisher().Status().Accepted, 0u);

  publishing.PublishButton->click();
  ASSERT_TRUE(publishing.Dialog->isVisible());
  EXPECT_EQ(publishing.Dialog->Current(), publishing.Settings());
  publishing.Dialog->CancelButton->click();
  EXPECT_FALSE(publishing.Dialog->isVisible());
}

TEST_F(PublishUiTest, DialogWarnsOfPlainPasswordsAndFollowsTheTlsPort) {
  TPublishDialog d;
  TPublishSettings s;
  s.Station = "lab";
  s.Host = "broker.plant";
  s.Username = "u";
  s.Password = "pw";
  d.Load(s);
  d.show();
  EXPECT_TRUE(d.WarningLabel->isVisible());
  EXPECT_NE(d.WarningLabel->text().indexOf("unencrypted"), -1);
  EXPECT_EQ(d.WarningLabel->text().indexOf("pw"), -1);
  d.TlsBox->setChecked(true);
  EXPECT_FALSE(d.WarningLabel->isVisible());
  EXPECT_EQ(d.PortSpin->value(), 8883);
  d.TlsBox->setChecked(false);
  EXPECT_EQ(d.PortSpin->value(), 1883);
  d.HostEdit->setText("127.0.0.1");
  EXPECT_FALSE(d.WarningLabel->isVisible());
  EXPECT_EQ(d.PasswordEdit->echoMode(), QLineEdit::Password);

  // Test runs off the GUI thread and shows the answer in words.
  TPublishSettings tested;
  d.Tester = [&](const TPublishSettings& t) {
    tested = t;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return TConnectResult{false, "No such host: x (the name is not known)."};
  };
  d.TestButton->click();
  EXPECT_FALSE(d.TestButton->isEnabled());
  ASSERT_TRUE(WaitFor(
      [&] {
        QCoreApplication::processEvents();
        return !d.Testing();
      },
      5000));
  EXPECT_EQ(d.ResultLabel->text(), "No such host: x (the name is not known).");
  EXPECT_TRUE(d.TestButton->isEnabled());
  EXPECT_EQ(tested.Host, "127.0.0.1");
}

TEST_F(PublishUiTest, OkStoresTheSectionOwnerOnlyAndRefusesBadNames) {
  { std::ofstream(IniPath()) << "[Reconnect]\nEnabled=1\n"; }
  TOptions options;
  TPublishing publishing(IniPath());
  publishing.AttachTo(&options);
  publishing.PublishButton->click();
  TPublishDialog& d = *publishing.Dialog;
  d.StationEdit->setText("hall/2");
  d.OkButton->click();
  EXPECT_TRUE(d.isVisible());
  EXPECT_NE(d.ResultLabel->text().indexOf("'/'"), -1) << d.ResultLabel->text().toStdString();
  EXPECT_EQ(ReadFile(IniPath()), "[Reconnect]\nEnabled=1\n");

  d.StationEdit->setText("hall 2");
  d.EnabledBox->setChecked(true);
  d.HostEdit->setText("127.0.0.1");
  d.PortSpin->setValue(FreeLoopbackPort());
  d.UserEdit->setText("me");
  d.PasswordEdit->setText("secret");
  d.OkButton->click();
  EXPECT_FALSE(d.isVisible()) << d.ResultLabel->text().toStdString();
  const std::string text = ReadFile(IniPath());
  EXPECT_EQ(text.find("[Reconnect]\nEnabled=1\n[Publish]\nEnabled=1\nHost=127.0.0.1\n"), 0u)
      << text;
  EXPECT_NE(text.find("Station=hall 2\n"), std::string::npos);
  struct stat st;
  ASSERT_EQ(::stat(IniPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(publishing.Publisher().Running());

  // Nothing listens on that port: the status line says so once, in words.
  ASSERT_TRUE(WaitFor(
      [&] {
        QCoreApplication::processEvents();
        return publishing.StatusLabel->text().contains("refused");
      },
      10000))
      << publishing.StatusLabel->text().toStdString();
  EXPECT_FALSE(publishing.StatusLabel->text().contains("secret"));

  // Read back at the next start.
  TPublishing again(IniPath());
  EXPECT_EQ(again.Settings(), publishing.Settings());
  EXPECT_TRUE(again.Publisher().Running());
}

// The shipped wiring: quilex-sim on a pseudo-terminal, the main window with
// its real port, publishing on, and mosquitto_sub as the subscriber.
TEST_F(PublishUiTest, ReadingFromTheSimulatorReachesMosquittoSub) {
  if (TSimProcess::Exe().empty()) GTEST_SKIP() << "quilex-sim is not built";
  if (BrokerProgram().empty() || !Executable("/usr/bin/mosquitto_sub"))
    GTEST_SKIP() << "mosquitto or mosquitto_sub missing";
  const std::string d = dir.path().toStdString();
  TBroker broker;
  ASSERT_TRUE(broker.Start(d));
  const std::string link = d + "/ttyQX";
  TSimProcess sim;
  ASSERT_TRUE(sim.Start(
      link, {"--device", "1:2:10", "--curve", "1:1:constant:21.5", "--curve", "1:2:constant:95"}));
  const std::string subOut = d + "/sub.txt";
  TChildProcess sub;
  TChildProcess::TOptions subOptions;
  subOptions.StdoutPath = subOut;
  subOptions.StderrPath = std::string();
  ASSERT_TRUE(sub.Start({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.Port()),
                         "-t", "quilex/e2e/1/1", "-C", "3", "-W", "60", "-F", "%U %t %p"},
                        subOptions));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  {
    std::ofstream(IniPath()) << "[Publish]\nEnabled=1\nHost=127.0.0.1\nPort=" << broker.Port()
                             << "\nStation=e2e\n";
  }
  SetFormatSettings(TFormatSettings::EnglishUSLike());
  MessageBoxHook = [](TMsgKind, const QString& text, const QPoint*) {
    ADD_FAILURE() << text.toStdString();
    return TMsgResult::mrOk;
  };
  Options = new TOptions();
  TPublishing publishing(IniPath());
  ASSERT_TRUE(WaitFor(
      [&] { return publishing.Publisher().Status().State == TPublishState::psConnected; }, 10000));
  auto main = std::make_unique<TMain>();
  main->ComPort1->SetPort(link);
  std::map<std::string, int64_t> handedAtUs;  // reading time text -> wall clock
  main->OnLoopStart = [&] { publishing.DevicesScanned(*OEMData); };
  main->OnReading = [&](const TDeviceParam& dev, double when, double t) {
    if (dev.SubChannel == 1)
      handedAtUs[IsoLocalTime(when)] = std::chrono::duration_cast<std::chrono::microseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count();
    publishing.Reading(dev.Address, dev.SubChannel, when, t);
  };
  bool subDone = false;
  int turns = 0;
  main->OnChannelDone = [&](int) {
    ++turns;
    subDone = subDone || sub.Exited();
    if (subDone || turns > 400) main->ConnectButton->click();
  };
  main->ConnectButton->click();
  EXPECT_TRUE(subDone);
  if (!subDone) sub.Stop(SIGTERM, 5000);
  main.reset();
  sim.Stop(SIGTERM);

  // "<receive time> <topic> <payload>", three readings of channel 1:1.
  std::istringstream in(ReadFile(subOut));
  std::string line;
  std::vector<double> latencyMs;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    std::istringstream f(line);
    double recvS = 0;
    std::string topic, payload;
    f >> recvS >> topic;
    std::getline(f, payload);
    EXPECT_EQ(topic, "quilex/e2e/1/1");
    EXPECT_NE(payload.find("\"value\":21.50,\"unit\":\"\xc2\xb0"
                           "C\"}"),
              std::string::npos)
        << payload;
    const size_t t = payload.find("\"time\":\"");
    ASSERT_NE(t, std::string::npos);
    const std::string when = payload.substr(t + 8, 29);
    ASSERT_EQ(handedAtUs.count(when), 1u) << when;
    latencyMs.push_back(recvS * 1000.0 - double(handedAtUs[when]) / 1000.0);
  }
  EXPECT_EQ(lines, 3);
  ASSERT_FALSE(latencyMs.empty());
  std::sort(latencyMs.begin(), latencyMs.end());
  std::printf("[ measured ] reading -> mosquitto_sub: median %.2f ms, max %.2f ms\n",
              latencyMs[latencyMs.size() / 2], latencyMs.back());
  EXPECT_LT(latencyMs.back(), 1000.0);

  // The devices list is retained on the broker with what the scan found.
  TSubscriber late;
  ASSERT_TRUE(late.Start(broker.Port(), "quilex/e2e/devices"));
  ASSERT_TRUE(WaitFor([&] { return late.Count() >= 1; }, 5000));
  EXPECT_NE(late.Messages()[0].Payload.find("\"address\":1,"), std::string::npos);
  EXPECT_NE(late.Messages()[0].Payload.find("\"channels\":2}"), std::string::npos);

  delete Options;
  Options = nullptr;
  MessageBoxHook = nullptr;
  SetFormatSettings(TFormatSettings());
}

}  // namespace
