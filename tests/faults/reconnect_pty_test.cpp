// Unattended runs end to end: the real main window and serial port against
// quilex-sim on a pseudo-terminal, the simulator killed (the adapter pulled)
// and started again on the same link while logging, or a different bus
// started there. Real time; the line is away for two seconds.
#include <QFile>

#include "tests/faults/fault_fixture.h"
#include "tests/support/log_lines.h"

namespace {

const std::vector<std::string> kBus = {
    "--device",          "1:2:10",  "--device",        "2:1:100", "--curve",
    "1:1:constant:21.5", "--curve", "1:2:constant:30", "--curve", "2:1:constant:-3.25"};
const std::string kValues = "   21,50   30,00   -3,25";
const std::string kNA = "  N/A    N/A    N/A  ";

std::vector<std::string> LogLines(const QString& path) {
  return qxtest::LogLines(path.toStdString());
}
using qxtest::LineMs;

class ReconnectPty : public FaultFixture {
 protected:
  int64_t killedAt = 0, restartedAt = 0;
  std::function<void()> afterWait;

  void SetUp() override {
    FaultFixture::SetUp();
    if (IsSkipped()) return;
    SetFormatSettings(TFormatSettings::GermanLike());
    Options->ReconnectAutomatically = true;
    Options->LogInterval = 1.0;
  }
  void MakeMain() {
    FaultFixture::MakeMain();
    auto wait = main->ReconnectWait;
    main->ReconnectWait = [this, wait](int ms) {
      wait(ms);
      if (afterWait) afterWait();
    };
  }
  // The simulator comes back on the same link two seconds after the kill.
  void RestartAfterTwoSeconds(std::vector<std::string> args) {
    afterWait = [this, args] {
      if (!restartedAt && killedAt && SteadyMs() - killedAt >= 2000) {
        StartSim(args);
        restartedAt = SteadyMs();
      }
    };
  }
  // Measures with logging from the first turn; the simulator is killed at
  // turn killTurn; `more` turns after the line came back end the run.
  int RunWithPull(int killTurn, int more) {
    int back = 0;
    return Run(
        [&](int turn, int) {
          if (turn == 1) main->Button5->click();
          if (turn == killTurn) {
            killedAt = SteadyMs();
            sim.Kill();
          }
          if (restartedAt && ++back > more) return false;
          return true;
        },
        90);
  }
};

TEST_F(ReconnectPty, SimulatorKilledAndBackWhileIntervalLogging) {
  StartSim(kBus);
  MakeMain();
  RestartAfterTwoSeconds(kBus);
  const int turns = RunWithPull(30, 45);
  EXPECT_GT(turns, 30 + 45);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(PanelText(0), QString::fromUtf8("21,50°C"));
  EXPECT_EQ(PanelText(2), QString::fromUtf8("-3,25°C"));
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_FALSE(main->Logging);

  const auto lines = LogLines(logPath);
  ASSERT_GT(lines.size(), 6u);
  int phase = 0, na = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    const std::string cells = lines[i].substr(24);
    if (i > 0) {
      const int64_t gap = LineMs(lines[i]) - LineMs(lines[i - 1]);
      EXPECT_GE(gap, 1000);  // stamps are cut to whole milliseconds
      // On time during the outage too; a line missed would leave two intervals.
      EXPECT_LT(gap, 1900);
    }
    if (cells == kNA) {
      ++na;
      if (phase == 0) phase = 1;
      EXPECT_EQ(phase, 1) << "N/A lines outside the outage";
    } else {
      if (phase == 1) phase = 2;
      if (phase == 0) {
        EXPECT_EQ(cells, kValues);
      }
      // After the outage a channel not read again yet is N/A, never 0.
      EXPECT_EQ(cells.find("    0,00"), std::string::npos);
    }
  }
  EXPECT_EQ(phase, 2);
  EXPECT_GE(na, 2);
  EXPECT_EQ(lines.back().substr(24), kValues);
  std::printf("[ measured ] %zu lines, %d N/A during the outage\n", lines.size(), na);
}

TEST_F(ReconnectPty, SimulatorKilledAndBackWhileLoggingEveryValue) {
  Options->LogEveryValue = true;
  StartSim(kBus);
  MakeMain();
  RestartAfterTwoSeconds(kBus);
  RunWithPull(9, 9);
  EXPECT_TRUE(messages.empty());
  const auto lines = LogLines(logPath);
  ASSERT_GT(lines.size(), 9u);
  // Nothing is written while nothing is read: the gap shows in the times.
  int64_t longestGap = 0;
  size_t after = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    const int64_t gap = LineMs(lines[i]) - LineMs(lines[i - 1]);
    if (gap > longestGap) {
      longestGap = gap;
      after = i;
    }
  }
  EXPECT_GT(longestGap, 2000);
  EXPECT_EQ(lines[after - 1].substr(24), kValues);
  EXPECT_EQ(lines[after].substr(24), "   21,50  N/A    N/A  ");
  EXPECT_EQ(lines[after + 1].substr(24), "   21,50   30,00  N/A  ");
  EXPECT_EQ(lines[after + 2].substr(24), kValues);
  // The first line of the run may show a channel not read yet as 0, as it
  // always did; after the outage none does.
  for (size_t i = after; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].substr(24).find("    0,00"), std::string::npos) << lines[i];
}

TEST_F(ReconnectPty, ADifferentBusOnTheLinkStopsTheRun) {
  StartSim(kBus);
  MakeMain();
  RestartAfterTwoSeconds({"--device", "1:2:10", "--device", "3:1:100"});
  const int turns = RunWithPull(6, 1000);
  EXPECT_LT(turns, 20);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].startsWith("Connection Failed\n"));
  EXPECT_TRUE(messages[0].contains("Device 2 (")) << messages[0].toStdString();
  EXPECT_TRUE(messages[0].contains("Device 3 (")) << messages[0].toStdString();
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_FALSE(main->ComPort1->Connected());
  EXPECT_FALSE(main->Logging);
}

TEST_F(ReconnectPty, TheOperatorEndsTheWait) {
  StartSim(kBus);
  MakeMain();
  afterWait = [this] {
    if (killedAt && SteadyMs() - killedAt >= 2000) main->ConnectButton->click();
  };
  int64_t ended = 0;
  RunWithPull(6, 1000);
  ended = SteadyMs() - killedAt;
  EXPECT_TRUE(messages.empty());
  EXPECT_LT(ended, 4000);
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_FALSE(main->ComPort1->Connected());
  EXPECT_FALSE(main->Logging);
  EXPECT_FALSE(main->Reconnecting());
}

}  // namespace
