// The scan reports each address before probing it, and the status window
// paints its bar as the scan goes without letting anything else run.
#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QObject>
#include <vector>

#include "tests/app/app_fixture.h"

namespace {

// Records the bar's value at every paint of the progress bar.
class TPaintRecorder : public QObject {
 public:
  std::vector<int> Values;
  std::function<void(int value)> OnPaint;
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Paint) {
      const int v = static_cast<QProgressBar*>(watched)->value();
      Values.push_back(v);
      if (OnPaint) OnPaint(v);
    }
    return false;
  }
};

}  // namespace

TEST(ScanProgress, EveryAddressIsAnnouncedBeforeItsProbeAndTheEndOnce) {
  TVirtualClock clock;
  TScopedClock scoped(&clock);
  TSimBus bus;
  bus.AddDevice(0, 1, 10);
  bus.AddDevice(7, 2, 100);
  TOEMData data;
  data.AttachPort(&bus);
  std::vector<int> seen;
  std::vector<int> probesBefore;
  data.OnScanProgress = [&](int address) {
    seen.push_back(address);
    // Name queries already sent: one per earlier address.
    probesBefore.push_back(qxtest::CountText(bus.Written, "?40"));
  };
  data.ScanBus();
  ASSERT_EQ(seen.size(), 22u);
  for (int a = 0; a <= 21; ++a) {
    EXPECT_EQ(seen[size_t(a)], a);
    EXPECT_EQ(probesBefore[size_t(a)], a);
  }
  EXPECT_EQ(data.Devices.size(), 2u);
  EXPECT_EQ(data.ChannelTotal, 3);

  // Without a hook the scan runs as before.
  data.OnScanProgress = nullptr;
  data.ScanBus();
  EXPECT_EQ(data.ChannelTotal, 3);
}

class StatusProgressTest : public AppTest {
 protected:
  TPaintRecorder recorder;
  void SetUp() override {
    AppTest::SetUp();
    StatusWindow = new TStatusWindow();
    StatusWindow->ProgressBar1->installEventFilter(&recorder);
  }
  void TearDown() override {
    delete StatusWindow;
    StatusWindow = nullptr;
    AppTest::TearDown();
  }
};

TEST_F(StatusProgressTest, EmptyBusPaintsEveryStepThenFailsWithTheBarFull) {
  std::vector<QString> labels;
  recorder.OnPaint = [&](int) { labels.push_back(StatusWindow->Label1->text()); };
  main->ConnectButton->click();

  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text.section('\n', 0, 0), "Connection Failed");
  EXPECT_FALSE(StatusWindow->isVisible());
  EXPECT_EQ(StatusWindow->ProgressBar1->value(), 21);
  EXPECT_EQ(StatusWindow->ProgressBar1->minimum(), 0);
  EXPECT_EQ(StatusWindow->ProgressBar1->maximum(), 21);
  // Each step was on screen before the next probe: 1..21 painted in order
  // (0 is painted by the first drawing of the window).
  std::vector<int> steps;
  for (int v : recorder.Values)
    if (v > 0 && (steps.empty() || steps.back() != v)) steps.push_back(v);
  ASSERT_EQ(steps.size(), 21u);
  for (int a = 1; a <= 21; ++a) EXPECT_EQ(steps[size_t(a - 1)], a);
  for (const QString& l : labels) EXPECT_EQ(l, "Connecting...");
  // The hook belongs to the connect attempt only.
  EXPECT_FALSE(OEMData->OnScanProgress);
}

TEST_F(StatusProgressTest, QueuedWorkAndInputWaitUntilTheScanIsThrough) {
  port->Bus.AddDevice(4, 2, 10);
  bool ranDuringScan = false;
  bool ran = false;
  bool clickRanDuringScan = false;
  bool posted = false;
  recorder.OnPaint = [&](int value) {
    if (value == 3 && !posted) {
      posted = true;
      QMetaObject::invokeMethod(
          qApp, [&] { ran = true; }, Qt::QueuedConnection);
      // A click on "Options" while the bus is scanned must not open anything.
      const QPointF at(5, 5);
      QCoreApplication::postEvent(
          main->Button4,
          new QMouseEvent(QEvent::MouseButtonPress, at, main->Button4->mapToGlobal(at),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
      QCoreApplication::postEvent(
          main->Button4,
          new QMouseEvent(QEvent::MouseButtonRelease, at, main->Button4->mapToGlobal(at),
                          Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    }
    if (value == 21) {
      ranDuringScan = ran;
      clickRanDuringScan = Options->isVisible();
    }
  };
  RunTurns(2);
  EXPECT_TRUE(posted);
  EXPECT_FALSE(ranDuringScan);
  EXPECT_FALSE(clickRanDuringScan);
  // The measurement loop processes both afterwards.
  EXPECT_TRUE(ran);
  EXPECT_TRUE(Options->isVisible());
  EXPECT_EQ(main->Panels.size(), 2u);
  EXPECT_TRUE(messages.empty());
  EXPECT_FALSE(OEMData->OnScanProgress);
}

TEST_F(StatusProgressTest, ASecondConnectStartsTheBarFromZero) {
  port->Bus.AddDevice(2, 1, 10);
  RunTurns(1);
  ASSERT_EQ(StatusWindow->ProgressBar1->value(), 21);
  recorder.Values.clear();
  int firstShown = -1;
  recorder.OnPaint = [&](int v) {
    if (firstShown < 0) firstShown = v;
  };
  RunTurns(1);
  EXPECT_EQ(firstShown, 0);
  EXPECT_EQ(main->Panels.size(), 1u);
}
