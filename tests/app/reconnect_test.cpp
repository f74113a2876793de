// Unattended runs in virtual time: the line pulled and back while logging in
// both modes, a different bus coming back, the operator ending the wait, a
// bus that falls silent, stale channels in the log and on the panels, and the
// option off keeping today's behaviour.
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <fstream>
#include <sstream>

#include "serial/CPortLed.h"
#include "tests/app/app_fixture.h"
#include "tests/support/log_lines.h"

namespace {

std::vector<std::string> LogLines(const QString& path) {
  return qxtest::LogLines(path.toStdString());
}
using qxtest::LineMs;

std::string Cells(const std::string& line) {
  return line.substr(24);
}

const std::string kNA3 = "  N/A    N/A    N/A  ";
const std::string kValues3 = "   21,50   30,00   -3,25";

// A port whose adapter can be pulled: the open port is then lost, every
// exchange fails, and opening fails until it is plugged in again.
// A handle opened before the pull stays dead until it is closed.
class TPullablePort : public TSimMainPort {
 public:
  bool Pulled = false;
  bool Dead = false;
  int Opens = 0;
  void Pull() {
    Pulled = true;
    Dead = IsOpen;
    Bus.PortFails = true;
  }
  void PlugIn() {
    Pulled = false;
    Bus.PortFails = Dead;
  }
  void Open() override {
    if (Pulled) throw std::runtime_error("Unable to open com port");
    ++Opens;
    TSimMainPort::Open();
  }
  void Close() override {
    TSimMainPort::Close();
    if (!IsOpen) {
      Dead = false;
      Bus.PortFails = Pulled;
    }
  }
  bool LineLost() override { return IsOpen && Dead; }
};

class Reconnect : public AppTest {
 protected:
  QTemporaryDir dir;
  TPullablePort* pport = nullptr;
  TStatusWindow status;
  std::unique_ptr<TComLed> led;
  // Virtual milliseconds waited, and a test hook run after each wait.
  int64_t waitedMs = 0;
  std::function<void()> whileWaiting;
  std::vector<QString> statusTexts;

  void SetUp() override {
    AppTest::SetUp();
    main.reset();
    auto p = std::make_unique<TPullablePort>();
    pport = p.get();
    port = p.get();
    main = std::make_unique<TMain>(nullptr, std::move(p));
    StatusWindow = &status;
    main->ReconnectWait = [this](int ms) {
      clock.Advance(ms);
      waitedMs += ms;
      if (status.isVisible() && status.Label2->isVisible()) {
        EXPECT_TRUE(status.ProgressBar1->isHidden()) << "a scan's bar between tries";
        const QString t = status.Label1->text() + " " + status.Label2->text();
        if (statusTexts.empty() || statusTexts.back() != t) statusTexts.push_back(t);
      }
      QCoreApplication::processEvents();
      if (whileWaiting) whileWaiting();
    };
    main->SaveDialogPrompt = [this](QString& name) {
      name = LogPath();
      return true;
    };
    Options->ReconnectAutomatically = true;
    Options->LogInterval = 1.0;
    // Three channels: 21.50, 30.00 and -3.25 degrees.
    port->Bus.AddDevice(1, 2, 10, "Oven").SerialNumber = "S-1";
    port->Bus.AddDevice(2, 1, 100, "Probe").SerialNumber = "S-2";
    port->Bus.Device(1)->Channels[0].Curve = TSimCurve::Constant(21.5);
    port->Bus.Device(1)->Channels[1].Curve = TSimCurve::Constant(30);
    port->Bus.Device(2)->Channels[0].Curve = TSimCurve::Constant(-3.25);
  }
  void TearDown() override {
    StatusWindow = nullptr;
    AppTest::TearDown();
  }
  QString LogPath() const { return dir.filePath("run.log"); }
  QString PanelText(int i) const { return main->Panels[size_t(i)]->ValueLabel->text(); }

  // Connects, starts logging at the first turn, and runs `each` after every
  // channel turn; it returns false to click Close.
  void Run(const std::function<bool(int turn)>& each) {
    int turns = 0;
    bool closing = false;
    main->OnChannelDone = [&](int) {
      ++turns;
      if (turns == 1) main->Button5->click();
      if (!closing && !each(turns)) {
        closing = true;
        main->ConnectButton->click();
      }
    };
    main->ConnectButton->click();
    main->OnChannelDone = nullptr;
  }
};

}  // namespace

TEST_F(Reconnect, IntervalLogGoesOnWithNALinesAndCarriesOnWhenTheLineIsBack) {
  int pulledAtTurn = 0, tries = 0;
  int64_t backAt = 0, firstReadingAfter = -1;
  QString buttonWhileWaiting;
  TLedKind kindWhileWaiting = lkGreenLight;
  bool lampOnWhileWaiting = false, panelsGreyWhileWaiting = false;
  whileWaiting = [&] {
    buttonWhileWaiting = main->ConnectButton->text();
    kindWhileWaiting = main->ComLed1->Kind();
    lampOnWhileWaiting = main->ComLed1->State() == lsOn;
    panelsGreyWhileWaiting = main->Panels[0]->Stale() && main->Panels[2]->Stale();
    if (waitedMs >= 5000 && pport->Pulled) {
      pport->PlugIn();  // five seconds without the line
      backAt = clock.TickMs();
    }
  };
  Run([&](int turn) {
    if (turn == 30) {
      pulledAtTurn = turn;
      pport->Pull();
    }
    if (backAt && firstReadingAfter < 0 && !main->Panels[0]->Stale())
      firstReadingAfter = clock.TickMs() - backAt;
    if (turn > 30 && main->Schedule().Tries() > 0) tries = main->Schedule().Tries();
    return turn < 120;
  });
  ASSERT_EQ(pulledAtTurn, 30);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(buttonWhileWaiting, "Close");
  EXPECT_EQ(kindWhileWaiting, lkYellowLight);
  EXPECT_TRUE(lampOnWhileWaiting);
  EXPECT_TRUE(panelsGreyWhileWaiting);
  EXPECT_EQ(pport->Opens, 2);
  // Tries at 1, 3 and 7 s: the third finds the line back.
  EXPECT_EQ(tries, 3);
  EXPECT_GE(firstReadingAfter, 0);
  ASSERT_FALSE(statusTexts.empty());
  EXPECT_TRUE(statusTexts.front().startsWith("Reconnecting... Line lost at "));
  // Shown while waiting: the loss, then each try that failed.
  ASSERT_EQ(statusTexts.size(), 3u);
  EXPECT_TRUE(statusTexts[1].endsWith(", try 1"));
  EXPECT_TRUE(statusTexts[2].endsWith(", try 2"));
  // After the run: same panels, red again, lamp back to green.
  EXPECT_EQ(main->ComLed1->Kind(), lkGreenLight);
  EXPECT_EQ(PanelText(0), QString::fromUtf8("21,50°C"));
  EXPECT_FALSE(main->Panels[0]->Stale());
  EXPECT_EQ(main->ConnectButton->text(), "Connect");

  const auto lines = LogLines(LogPath());
  ASSERT_GT(lines.size(), 12u);
  // In order, each more than the interval after the one before and none
  // late by more than a channel turn; values, then the outage, then values.
  int naLines = 0, phase = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    if (i > 0) {
      const int64_t gap = LineMs(lines[i]) - LineMs(lines[i - 1]);
      EXPECT_GT(gap, 1000);
      EXPECT_LT(gap, 1300);
    }
    const std::string cells = Cells(lines[i]);
    if (cells == kNA3) {
      ++naLines;
      if (phase == 0) phase = 1;
      EXPECT_EQ(phase, 1);
    } else {
      if (phase == 1) phase = 2;
      // A channel not read again yet after the outage is N/A, never 0.
      EXPECT_TRUE(cells == kValues3 || (phase == 2 && cells.find("    0,00") == std::string::npos))
          << cells;
    }
  }
  EXPECT_EQ(phase, 2);
  // Five seconds pulled plus the wait for the third try and the rescan.
  EXPECT_GE(naLines, 6);
  EXPECT_LE(naLines, 11);
  EXPECT_EQ(Cells(lines.back()), kValues3);
}

TEST_F(Reconnect, EveryValueModeWritesNothingWhileNothingIsRead) {
  Options->LogEveryValue = true;
  size_t linesAtPull = 0;
  whileWaiting = [&] {
    if (waitedMs >= 5000) pport->PlugIn();
  };
  Run([&](int turn) {
    if (turn == 9) {
      linesAtPull = LogLines(LogPath()).size();
      pport->Pull();
    }
    return turn < 9 + 3 + 6;
  });
  EXPECT_TRUE(messages.empty());
  const auto lines = LogLines(LogPath());
  ASSERT_GT(linesAtPull, 0u);
  // The pass cut by the pull writes nothing more; after the rescan the first
  // pass writes three lines, the channels not yet read again as N/A.
  ASSERT_EQ(lines.size(), linesAtPull + 3 + 6);
  EXPECT_EQ(Cells(lines[linesAtPull - 1]), kValues3);
  EXPECT_EQ(Cells(lines[linesAtPull]), "   21,50  N/A    N/A  ");
  EXPECT_EQ(Cells(lines[linesAtPull + 1]), "   21,50   30,00  N/A  ");
  EXPECT_EQ(Cells(lines[linesAtPull + 2]), kValues3);
  EXPECT_GT(LineMs(lines[linesAtPull]) - LineMs(lines[linesAtPull - 1]), 5000);
}

TEST_F(Reconnect, ADifferentBusStopsTheRunAndSaysWhatDiffers) {
  whileWaiting = [&] {
    if (waitedMs >= 2000 && pport->Pulled) {
      port->Bus.Device(2)->SerialNumber = "S-9";  // another probe at the same address
      port->Bus.AddDevice(4, 1, 10, "New");
      pport->PlugIn();
    }
  };
  int turns = 0;
  Run([&](int turn) {
    turns = turn;
    if (turn == 6) pport->Pull();
    return turn < 100;
  });
  EXPECT_EQ(turns, 6) << "measuring went on with a different bus";
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].Text.startsWith("Connection Failed\n"));
  EXPECT_TRUE(messages[0].Text.contains("Device 2: serial number \"S-2\" before, \"S-9\" now."));
  EXPECT_TRUE(messages[0].Text.contains("Device 4 (\"New\""));
  EXPECT_FALSE(messages[0].Text.contains("Device 1"));
  EXPECT_TRUE(messages[0].HasPos);
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_FALSE(main->PortOpen);
  EXPECT_FALSE(port->IsOpen);
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
  EXPECT_EQ(main->ComLed1->State(), lsOff);
  EXPECT_EQ(main->ComLed1->Kind(), lkGreenLight);
  EXPECT_FALSE(status.isVisible());
}

TEST_F(Reconnect, AHandleThatDidNotCloseIsClosedBeforeTheNextOpen) {
  whileWaiting = [&] {
    if (waitedMs >= 2000) pport->PlugIn();
  };
  int turnsAfter = 0;
  Run([&](int turn) {
    if (turn == 6) {
      port->CloseFailures = 1;  // the dead line refuses the first close
      pport->Pull();
    }
    if (turn > 6 && !main->Reconnecting()) ++turnsAfter;
    return turnsAfter < 3;
  });
  EXPECT_TRUE(messages.empty());
  // Back at the second try, at 3 s, on a fresh handle.
  EXPECT_EQ(main->Schedule().Tries(), 2);
  EXPECT_EQ(PanelText(2), QString::fromUtf8("-3,25°C"));
}

TEST_F(Reconnect, CloseDuringTheWaitEndsTheRunAsADisconnect) {
  whileWaiting = [&] {
    if (waitedMs >= 20000) main->ConnectButton->click();
  };
  Run([&](int turn) {
    if (turn == 6) pport->Pull();
    return turn < 100;
  });
  EXPECT_TRUE(messages.empty());
  // Tries at 1, 3, 7 and 15 s, then the click at 20 s.
  EXPECT_EQ(main->Schedule().Tries(), 4);
  EXPECT_LT(waitedMs, 21000);
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
  EXPECT_EQ(main->ComLed1->State(), lsOff);
  EXPECT_FALSE(main->Reconnecting());
  EXPECT_FALSE(status.isVisible());
  // The outage's lines are in the file up to the click.
  const auto lines = LogLines(LogPath());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(Cells(lines.back()), kNA3);
}

TEST_F(Reconnect, ClosingTheWindowDuringTheWaitEndsIt) {
  whileWaiting = [&] {
    if (waitedMs >= 3000) main->close();
  };
  Run([&](int turn) {
    if (turn == 6) pport->Pull();
    return turn < 100;
  });
  EXPECT_FALSE(main->Reconnecting());
  EXPECT_FALSE(main->Logging);
  EXPECT_LT(waitedMs, 4000);
}

TEST_F(Reconnect, ABusSilentForThreePassesIsALostLineUntilItAnswersAgain) {
  // The adapter stays; the bus behind it is off for a while.
  auto silence = [&](bool on) {
    port->Bus.Device(1)->Faults.Silent = on;
    port->Bus.Device(2)->Faults.Silent = on;
  };
  int silentAt = 0;
  whileWaiting = [&] {
    if (waitedMs >= 10000) silence(false);
  };
  int turnsAfter = 0;
  Run([&](int turn) {
    if (turn == 6) {
      silence(true);
      silentAt = turn;
    }
    if (!main->Reconnecting() && main->Schedule().Tries() > 0) ++turnsAfter;
    return turnsAfter < 6;
  });
  EXPECT_TRUE(messages.empty());
  // Tries at 1, 3 and 7 s open the port but find no device; the one after
  // finds the bus again.
  EXPECT_EQ(main->Schedule().Tries(), 4);
  EXPECT_EQ(pport->Opens, 5);
  EXPECT_EQ(PanelText(2), QString::fromUtf8("-3,25°C"));
  EXPECT_GT(turnsAfter, 0);
}

TEST_F(Reconnect, ADeviceSilentForAWhileIsNAAndGreyThenBack) {
  // Holds with the option off: a dead device is never logged with its last value.
  Options->ReconnectAutomatically = false;
  bool greyWhileSilent = false, othersRed = true;
  Run([&](int turn) {
    if (turn == 30) port->Bus.Device(2)->Faults.Silent = true;
    if (turn > 60 && turn < 150) {
      greyWhileSilent = greyWhileSilent || main->Panels[2]->Stale();
      othersRed = othersRed && !main->Panels[0]->Stale() && !main->Panels[1]->Stale();
    }
    if (turn == 150) port->Bus.Device(2)->Faults.Silent = false;
    return turn < 200;
  });
  EXPECT_TRUE(greyWhileSilent);
  EXPECT_TRUE(othersRed);
  EXPECT_FALSE(main->Panels[2]->Stale());
  EXPECT_EQ(main->Panels[2]->ValueLabel->palette().color(QPalette::WindowText), QColor(Qt::red));
  const auto lines = LogLines(LogPath());
  int stale = 0;
  bool backAfter = false;
  for (const auto& l : lines) {
    const std::string cells = Cells(l);
    if (cells == "   21,50   30,00  N/A  ")
      ++stale;
    else if (stale > 0 && cells == kValues3)
      backAfter = true;
    else
      EXPECT_EQ(cells, kValues3);
  }
  EXPECT_GT(stale, 3);
  EXPECT_TRUE(backAfter);
  EXPECT_TRUE(messages.empty());
}

TEST_F(Reconnect, EveryValueModeStaleAfterThreeFailedPolls) {
  Options->ReconnectAutomatically = false;
  Options->LogEveryValue = true;
  port->Bus.Device(1)->Channels[1].Valid = false;  // device says: no valid reading
  Run([&](int turn) { return turn < 3 * 5; });
  const auto lines = LogLines(LogPath());
  // Logging starts after the first turn: two lines in pass 1, three after.
  ASSERT_EQ(lines.size(), 14u);
  // Until channel 1's third failed poll (pass 3, the line after it) the
  // value the device sent with its flag cleared is logged, then N/A.
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(Cells(lines[i]).substr(8, 7) == "  N/A  ", i >= 6) << i << ": " << lines[i];
}

TEST_F(Reconnect, OptionOffKeepsTodaysFailureAndFrames) {
  Options->ReconnectAutomatically = false;
  int turns = 0;
  Run([&](int turn) {
    turns = turn;
    if (turn == 6) pport->Pull();
    return turn < 100;
  });
  EXPECT_EQ(turns, 6);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].Text.startsWith("Connection Failed"));
  EXPECT_EQ(main->Schedule().Tries(), 0);
  EXPECT_EQ(pport->Opens, 1);
  EXPECT_EQ(waitedMs, 0);
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  // No identity queries: the frames are those the program always sent.
  EXPECT_EQ(CountFrames("?41"), 0);
}

TEST_F(Reconnect, IdentityAskedOnlyWithTheOptionOn) {
  Run([&](int turn) { return turn < 6; });
  EXPECT_EQ(CountFrames("A01 ?41\r"), 1);
  EXPECT_EQ(CountFrames("A02 ?41\r"), 1);
}

TEST(ReconnectOptions, CheckBoxBelowTheOriginalControlsTakenOverWithOK) {
  TOptions o;
  // The original controls keep their places; the window grew below them.
  EXPECT_EQ(o.Button1->geometry(), QRect(40, 254, 75, 25));
  EXPECT_EQ(o.Button2->geometry(), QRect(163, 254, 75, 25));
  EXPECT_GE(o.CheckBoxReconnect->geometry().top(), 290);
  EXPECT_LE(o.CheckBoxReconnect->geometry().bottom(), o.height());
  EXPECT_EQ(o.CheckBoxReconnect->text(), "Reconnect automatically");
  EXPECT_FALSE(o.ReconnectAutomatically);
  EXPECT_FALSE(o.CheckBoxReconnect->isChecked());
  int accepted = 0;
  o.OnAccepted = [&] { ++accepted; };
  o.CheckBoxReconnect->setChecked(true);
  MessageBoxHook = [](TMsgKind, const QString&, const QPoint*) { return TMsgResult::mrOk; };
  o.Edit1->setText("abc");
  o.Button1Click();  // "Invalid Entry": nothing of ours taken or stored
  EXPECT_FALSE(o.ReconnectAutomatically);
  EXPECT_EQ(accepted, 0);
  o.Edit1->setText("10");
  o.Button1Click();
  EXPECT_TRUE(o.ReconnectAutomatically);
  EXPECT_EQ(accepted, 1);
  o.CheckBoxReconnect->setChecked(false);
  o.Button2Click();  // Cancel keeps the field
  EXPECT_TRUE(o.ReconnectAutomatically);
  o.SetReconnectAutomatically(false);
  EXPECT_FALSE(o.CheckBoxReconnect->isChecked());
  MessageBoxHook = nullptr;
}
