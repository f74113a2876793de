// The program against misbehaving devices and a failing line, end to end:
// the real main window and serial port, quilex-sim on a pseudo-terminal.
#include <sys/resource.h>

#include "serial/CPortLed.h"
#include "tests/faults/fault_fixture.h"

namespace {

// Two devices, three channels: 21.50, 30.00 and -3.25 degrees.
const std::vector<std::string> kBus = {
    "--device",          "1:2:10",  "--device",        "2:1:100", "--curve",
    "1:1:constant:21.5", "--curve", "1:2:constant:30", "--curve", "2:1:constant:-3.25"};
const QString kCh0 = QString::fromUtf8("21.50°C");
const QString kCh1 = QString::fromUtf8("30.00°C");
const QString kCh2 = QString::fromUtf8("-3.25°C");

class DeviceFaults : public FaultFixture {};

TEST_F(DeviceFaults, SilentBusKeepsPanelsAndRecoversWithRightChannels) {
  StartSim(kBus);
  MakeMain();
  std::vector<QString> frozenTexts;
  std::vector<int> frozenPoints;
  int64_t last = 0, slowestFrozenTurn = 0;
  bool changedWhileFrozen = false;
  std::vector<QString> after;
  Run([&](int turn, int channel) {
    const int64_t now = SteadyMs();
    if (turn == 6) {  // two passes done: the devices fall silent
      frozenTexts = {PanelText(0), PanelText(1), PanelText(2)};
      frozenPoints = {DiagramPoints(0), DiagramPoints(1), DiagramPoints(2)};
      sim.Freeze();
    } else if (turn > 6 && turn <= 15) {
      slowestFrozenTurn = std::max(slowestFrozenTurn, now - last);
      for (int i = 0; i < 3; ++i)
        if (PanelText(size_t(i)) != frozenTexts[size_t(i)] ||
            DiagramPoints(i) != frozenPoints[size_t(i)])
          changedWhileFrozen = true;
      if (turn == 15) sim.Resume();
    }
    last = now;
    // Long after the bus came back every channel must show its own value.
    if (turn > 36 && channel == 2) {
      after = {PanelText(0), PanelText(1), PanelText(2)};
      return false;
    }
    return true;
  });
  EXPECT_EQ(frozenTexts, (std::vector<QString>{kCh0, kCh1, kCh2}));
  EXPECT_FALSE(changedWhileFrozen);
  // A silent device costs one bounded wait per channel, never a hang.
  EXPECT_LT(slowestFrozenTurn, 1000);
  std::printf("[ measured ] slowest turn of a silent channel: %lld ms\n",
              (long long)slowestFrozenTurn);
  EXPECT_EQ(after, (std::vector<QString>{kCh0, kCh1, kCh2}));
  EXPECT_GT(DiagramPoints(0), frozenPoints[0]);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
}

TEST_F(DeviceFaults, PartialLateAndBadlyAcknowledgedRepliesStillRead) {
  StartSim({"--device",          "1:1:10",          "--device",
            "2:1:100",           "--device",        "3:1:10",
            "--device",          "4:1:10",          "--curve",
            "1:1:constant:21.5", "--curve",         "2:1:constant:-3.25",
            "--curve",           "3:1:constant:40", "--curve",
            "4:1:constant:55.5", "--fault",         "1:split:3",
            "--fault",           "2:leading-lf",    "--fault",
            "3:wrong-ack",       "--fault",         "4:no-ack"});
  MakeMain();
  std::vector<QString> texts;
  Run([&](int turn, int) {
    if (turn < 12) return true;
    texts = {PanelText(0), PanelText(1), PanelText(2), PanelText(3)};
    return false;
  });
  EXPECT_EQ(texts, (std::vector<QString>{kCh0, kCh2, QString::fromUtf8("40.00°C"),
                                         QString::fromUtf8("55.50°C")}));
  EXPECT_TRUE(messages.empty());
}

TEST_F(DeviceFaults, GarbageAndFloodWithoutLineFeedNeitherHangNorCorrupt) {
  for (const char* fault : {"2:garbage", "2:garbage:200000", "2:non-hex"}) {
    SCOPED_TRACE(fault);
    StartSim({"--device", "1:1:10", "--device", "2:1:10", "--curve", "1:1:constant:21.5", "--fault",
              fault});
    MakeMain();
    messages.clear();
    QString first;
    const int64_t t0 = SteadyMs();
    const int turns = Run(
        [&](int turn, int) {
          if (turn == 1) first = PanelText(0);
          return turn < 6;
        },
        60);
    const int64_t took = SteadyMs() - t0;
    // Either the babbling device's identity is unreadable and the connect
    // fails with its message, or the bus is measured and the good device
    // shows its own value.
    if (turns == 0) {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0].section('\n', 0, 0), "Connection Failed");
    } else {
      EXPECT_TRUE(messages.empty());
      EXPECT_EQ(first, kCh0);
    }
    EXPECT_EQ(main->ConnectButton->text(), "Connect");
    EXPECT_FALSE(main->ComPort1->Connected());
    EXPECT_LT(took, 30000);
    std::printf("[ measured ] %s: %d turns in %lld ms\n", fault, turns, (long long)took);
    main.reset();
    sim.Stop(SIGTERM);
  }
}

TEST_F(DeviceFaults, DeviceThatLeftTheBusIsGoneAfterTheNextScan) {
  StartSim(kBus);
  MakeMain();
  Run([](int turn, int) { return turn < 6; });
  ASSERT_EQ(main->Panels.size(), 3u);
  sim.Stop(SIGTERM);
  StartSim({"--device", "2:1:100", "--curve", "2:1:constant:-3.25"});
  QString text;
  Run([&](int turn, int) {
    text = PanelText(0);
    return turn < 3;
  });
  ASSERT_EQ(main->Panels.size(), 1u);
  EXPECT_EQ(text, kCh2);
  EXPECT_EQ(main->Panels[0]->title(), "Temperature");
  EXPECT_EQ(OEMData->Devices.size(), 1u);
  EXPECT_TRUE(messages.empty());
}

TEST_F(DeviceFaults, RenamedPortThatCannotOpenEndsLoggingAndLamp) {
  StartSim(kBus);
  MakeMain();
  bool loggingBefore = false, lampBefore = false;
  const int turns = Run([&](int turn, int) {
    if (turn == 2) main->Button5Click();
    if (turn == 5) {
      loggingBefore = main->Logging;
      lampBefore = main->ComLed1->State() == lsOn;
      // What the settings dialog's OK does with a new port name: the port
      // closes and fails to open again; the error is shown as any handler's.
      GuardedCall([&] { main->ComPort1->SetPort(dir.filePath("no-such-tty").toStdString()); });
    }
    return turn < 400;
  });
  EXPECT_LT(turns, 400) << "the loop went on with the port closed";
  EXPECT_TRUE(loggingBefore);
  EXPECT_TRUE(lampBefore);
  EXPECT_EQ(messages.size(), 1u);  // the open failure
  EXPECT_FALSE(main->ComPort1->Connected());
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_EQ(main->ComLed1->State(), lsOff);
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
}

TEST_F(DeviceFaults, LineHangUpEndsMeasuringKeepsDataAndIdlesUntilReconnect) {
  StartSim(kBus);
  MakeMain();
  std::vector<int> points;
  int64_t killedAt = 0;
  bool loggingBeforeHangUp = false;
  const int turns = Run([&](int turn, int) {
    if (turn == 2) main->Button5Click();  // logging on, into logPath
    if (turn == 9) {
      loggingBeforeHangUp = main->Logging;
      points = {DiagramPoints(0), DiagramPoints(1), DiagramPoints(2)};
      killedAt = SteadyMs();
      sim.Kill();  // the adapter is unplugged
    }
    return turn < 400;  // the program, not the test, must end this run
  });
  const int64_t endedAfter = SteadyMs() - killedAt;
  EXPECT_LT(turns, 400) << "the loop went on polling a dead line";
  EXPECT_LT(endedAfter, 5000);
  // The specified text first, then the port's own reason on the next line.
  ASSERT_EQ(messages.size(), 1u);
  const QStringList box = messages[0].split('\n');
  EXPECT_EQ(box[0], "Connection Failed");
  ASSERT_EQ(box.size(), 2);
  EXPECT_FALSE(box[1].trimmed().isEmpty());
  std::printf("[ measured ] loop ended %lld ms after the hang-up: %s\n", (long long)endedAfter,
              qPrintable(box[1]));
  // Logging ended with the connection: the next Connect must not write into
  // the old file without asking.
  EXPECT_TRUE(loggingBeforeHangUp);
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
  EXPECT_EQ(main->ComLed1->State(), lsOff);
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_FALSE(main->ComPort1->Connected());
  EXPECT_FALSE(main->PortOpen);
  EXPECT_EQ(PanelText(0), kCh0);
  EXPECT_EQ(PanelText(1), kCh1);
  EXPECT_EQ(PanelText(2), kCh2);
  EXPECT_EQ((std::vector<int>{DiagramPoints(0), DiagramPoints(1), DiagramPoints(2)}), points);

  // Idle afterwards: no busy loop, no thread left polling the dead line.
  const int64_t cpu0 = CpuMs();
  const int64_t wall0 = SteadyMs();
  IdleFor(3000);
  const double share = double(CpuMs() - cpu0) / double(SteadyMs() - wall0);
  std::printf("[ measured ] CPU share while idle after the hang-up: %.3f\n", share);
  RecordProperty("idle_cpu_permille", int(share * 1000));
  EXPECT_LT(share, 0.05);

  // The simulator is back: a second Connect works.
  StartSim(kBus);
  messages.clear();
  std::vector<QString> texts;
  Run([&](int turn, int) {
    texts = {PanelText(0), PanelText(1), PanelText(2)};
    return turn < 6;
  });
  EXPECT_EQ(texts, (std::vector<QString>{kCh0, kCh1, kCh2}));
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
}

}  // namespace
