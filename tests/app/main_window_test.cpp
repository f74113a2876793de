// Connect, panels and their layouts, values, the failure paths and the close.
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QMenu>
#include <QPainter>
#include <QProxyStyle>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "common/ChannelColors.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_data.h"
#include "serial/CPortLed.h"
#include "tests/app/app_fixture.h"

namespace {

QSize Client(const TMain& m) {
  return m.size();
}

}  // namespace

TEST_F(AppTest, StartsWithButtonPanelOnlyAndDisconnected) {
  EXPECT_EQ(main->windowTitle(), "Quilex Assistant");
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_EQ(main->Button5->text(), "Start Logging");
  EXPECT_FALSE(main->PortOpen);
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->height(), 114);  // button panel + 1
  EXPECT_EQ(main->ComLed1->State(), lsOff);
  EXPECT_NE(OEMData, nullptr);
  EXPECT_EQ(port->Bus.EventChar, '\n');
  EXPECT_TRUE(port->Bus.RxFlagOnly);
  QStringList items;
  for (QAction* a : main->PopupMenu1->actions()) items << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(items,
            QStringList({"One Point Calibration", "Reset OP Calibration", "-", "Set Analog Output",
                         "-", "Select Calibration", "-", "Set Averaging"}));
}

TEST_F(AppTest, OneChannelGivesOneLargePanel) {
  port->Bus.AddDevice(5, 1, 10).Channels[0].Curve = TSimCurve::Constant(23.4);
  bool openDuringLoop = false, ledDuringLoop = false;
  QString captionDuringLoop;
  RunTurns(2, [&](int) {
    openDuringLoop = main->PortOpen;
    ledDuringLoop = main->ComLed1->State() == lsOn;
    captionDuringLoop = main->ConnectButton->text();
  });
  EXPECT_TRUE(openDuringLoop);
  EXPECT_TRUE(ledDuringLoop);
  EXPECT_EQ(captionDuringLoop, "Close");
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_FALSE(main->PortOpen);
  EXPECT_EQ(main->ComLed1->State(), lsOff);

  ASSERT_EQ(main->Panels.size(), 1u);
  TTempPanel* p = main->Panels[0];
  EXPECT_EQ(p->title(), "Temperature");
  EXPECT_EQ(p->CaptionColor, 0x000000u);
  EXPECT_EQ(p->geometry(), QRect(25, 117, 200, 58));
  EXPECT_EQ(p->ValuePointSize(), 24);
  EXPECT_LE(p->ValueLabel->font().pointSizeF(), 24);
  EXPECT_EQ(Client(*main).height(), 113 + 58 + 8);
  // The panels keep their last reading after the disconnect.
  EXPECT_EQ(p->ValueLabel->text(), QString::fromUtf8("23,40°C"));
  EXPECT_TRUE(messages.empty());
}

TEST_F(AppTest, TwoAndElevenChannelLayouts) {
  port->Bus.AddDevice(3, 2, 10);
  RunTurns(2);
  ASSERT_EQ(main->Panels.size(), 2u);
  EXPECT_EQ(main->Panels[0]->geometry(), QRect(4, 117, 110, 50));
  EXPECT_EQ(main->Panels[1]->geometry(), QRect(118, 117, 110, 50));
  EXPECT_EQ(main->Panels[0]->title(), "Temp 3:1");
  EXPECT_EQ(main->Panels[1]->title(), "Temp 3:2");
  EXPECT_EQ(main->Panels[1]->CaptionColor, ChannelColors[1]);
  EXPECT_EQ(main->Panels[0]->ValuePointSize(), 18);
  EXPECT_LE(main->Panels[0]->ValueLabel->font().pointSizeF(), 18);
  EXPECT_EQ(Client(*main).height(), 113 + 54 + 4);
  EXPECT_GE(Client(*main).width(), 228 + 4);

  // A second connect rescans and rebuilds from nothing.
  port->Bus.AddDevice(9, 9, 100);
  RunTurns(11);
  ASSERT_EQ(main->Panels.size(), 11u);
  EXPECT_EQ(main->findChildren<TTempPanel*>().size(), 11);
  EXPECT_EQ(main->Panels[2]->geometry(), QRect(232, 117, 110, 50));  // third column
  EXPECT_EQ(main->Panels[10]->geometry(), QRect(118, 117 + 3 * 54, 110, 50));
  EXPECT_EQ(main->Panels[10]->title(), "Temp 9:9");
  EXPECT_EQ(Client(*main), QSize(3 * 114 + 4 + 10 - 8, 113 + 4 * 54 + 4));
  for (int i = 0; i < 11; ++i) EXPECT_EQ(main->Panels[size_t(i)]->CaptionColor, ChannelColors[i]);
}

TEST_F(AppTest, ValuesPlaceholdersAndInvalidReadings) {
  TSimDevice& d = port->Bus.AddDevice(5, 4, 10);
  d.Channels[0].Curve = TSimCurve::Constant(899.9);
  d.Channels[1].Curve = TSimCurve::Constant(900.0);
  d.Channels[2].Curve = TSimCurve::Constant(-50.5);
  d.Channels[3].Valid = false;
  RunTurns(4);
  EXPECT_EQ(main->Panels[0]->ValueLabel->text(), QString::fromUtf8("899,90°C"));
  EXPECT_EQ(main->Panels[1]->ValueLabel->text(), QString::fromUtf8("---,--°C"));
  EXPECT_EQ(main->Panels[2]->ValueLabel->text(), QString::fromUtf8("-50,50°C"));
  EXPECT_EQ(main->Panels[3]->ValueLabel->text(), "");  // never a valid reading

  TTempPanel& p = *main->Panels[0];
  p.ShowValue(23.456);
  EXPECT_EQ(p.ValueLabel->text(), QString::fromUtf8("23,46°C"));
  p.ShowValue(1e38);
  EXPECT_EQ(p.ValueLabel->text(), QString::fromUtf8("---,--°C"));
  p.ShowValue(std::nan(""));
  EXPECT_EQ(p.ValueLabel->text(), QString::fromUtf8("---,--°C"));
  SetFormatSettings(TFormatSettings::EnglishUSLike());
  p.ShowValue(1e7);
  EXPECT_EQ(p.ValueLabel->text(), QString::fromUtf8("---.--°C"));
  p.ShowValue(-7.5);
  EXPECT_EQ(p.ValueLabel->text(), QString::fromUtf8("-7.50°C"));
}

namespace {
// Every text the label shows for the readings the panel can show, in
// hundredths from -999.99 to 899.99, and the placeholder, under both
// separators. Produced once, by a panel of its own that is never shown.
const QStringList& EveryReadingText() {
  static QStringList texts;
  if (!texts.isEmpty()) return texts;
  TTempPanel p(nullptr, 0, "texts");
  const TFormatSettings old = FormatSettings();
  for (auto fs : {TFormatSettings::GermanLike(), TFormatSettings::EnglishUSLike()}) {
    SetFormatSettings(fs);
    for (int c = -99999; c <= 89999; ++c) {
      p.ShowValue(c / 100.0);
      texts << p.ValueLabel->text();
    }
    p.ShowValue(1e38);
    texts << p.ValueLabel->text();
  }
  SetFormatSettings(old);
  return texts;
}

// Wholly visible, and as large as the specified size allows: half a point
// more would cut the widest reading off.
void ExpectReadingsFit(TTempPanel& p, qreal specified) {
  const QStringList& texts = EveryReadingText();
  const int room = p.ValueLabel->contentsRect().width();
  const QFont f = p.ValueLabel->font();
  const QFontMetrics fm(f);
  int widest = 0;
  QString widestText;
  for (const QString& t : texts)
    if (const int w = fm.horizontalAdvance(t); w > widest) {
      widest = w;
      widestText = t;
    }
  EXPECT_LE(widest, room) << widestText.toStdString() << " at " << f.pointSizeF() << " pt";
  if (f.pointSizeF() < specified) {
    QFont larger = f;
    larger.setPointSizeF(f.pointSizeF() + 0.5);
    EXPECT_GT(QFontMetrics(larger).horizontalAdvance(widestText), room);
  } else {
    EXPECT_EQ(f.pointSizeF(), specified);
  }
  // The label covers the panel's inside, so the text is centred in all of it.
  EXPECT_EQ(p.ValueLabel->geometry(), p.contentsRect());
}
}  // namespace

TEST_F(AppTest, EveryReadingWhollyVisibleInBothPanelSizes) {
  port->Bus.AddDevice(5, 1, 10);
  RunTurns(1);
  ASSERT_EQ(main->Panels.size(), 1u);
  ExpectReadingsFit(*main->Panels[0], 24);
  port->Bus.AddDevice(6, 2, 10);
  RunTurns(1);
  ASSERT_EQ(main->Panels.size(), 3u);
  ExpectReadingsFit(*main->Panels[1], 18);
  // The reading that was cut off in the platform's font.
  TTempPanel& p = *main->Panels[1];
  p.ShowValue(899.9);
  EXPECT_LE(QFontMetrics(p.ValueLabel->font()).horizontalAdvance(p.ValueLabel->text()),
            p.ValueLabel->contentsRect().width());
}

// A new value repaints the area under it, and with every reading that must
// not mean drawing the styled box again; the kept box looks like the box
// drawn by the group box itself.
TEST_F(AppTest, PanelKeepsItsBoxAcrossNewValues) {
  struct TCountingStyle : QProxyStyle {
    int Boxes = 0;
    void drawComplexControl(ComplexControl cc, const QStyleOptionComplex* opt, QPainter* p,
                            const QWidget* w) const override {
      if (cc == CC_GroupBox) ++const_cast<TCountingStyle*>(this)->Boxes;
      QProxyStyle::drawComplexControl(cc, opt, p, w);
    }
  };
  QWidget window;
  window.resize(300, 120);
  auto* style = new TCountingStyle;  // owned by the application
  style->setParent(&window);
  auto* panel = new TTempPanel(&window, 0x0000FF, "Temp 3:1");
  panel->setStyle(style);
  panel->move(10, 10);
  panel->resize(110, 50);
  auto* plain = new QGroupBox("Temp 3:1", &window);
  plain->setPalette(panel->palette());
  plain->move(150, 10);
  plain->resize(110, 50);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  for (int i = 0; i < 3; ++i) QApplication::processEvents();
  const int first = style->Boxes;
  EXPECT_GE(first, 1);
  for (double v : {21.5, 22.75, -3.0, 999.0}) {
    panel->ShowValue(v);
    panel->ValueLabel->repaint();
  }
  EXPECT_EQ(style->Boxes, first);

  panel->ValueLabel->setText("");
  panel->setStyle(plain->style());
  // The style's soft edges are blended once into the kept box and then onto
  // the window, instead of straight onto the window: that may round a
  // channel by one.
  const QImage shot = window.grab().toImage();
  int worst = 0;
  for (int y = 0; y < 50; ++y)
    for (int x = 0; x < 110; ++x) {
      const QRgb a = shot.pixel(10 + x, 10 + y), b = shot.pixel(150 + x, 10 + y);
      worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                        std::abs(qBlue(a) - qBlue(b))});
    }
  EXPECT_LE(worst, 1);
}

TEST_F(AppTest, EmptyBusFailsAfterFullScan) {
  std::vector<int> ledStates;
  main->ComLed1->OnChange = [&](TComLed*, TLedState s) { ledStates.push_back(s); };
  main->move(200, 150);
  main->ConnectButton->click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text.section('\n', 0, 0), "Connection Failed");
  ASSERT_TRUE(messages[0].HasPos);
  EXPECT_EQ(messages[0].Pos,
            QPoint(main->frameGeometry().left() + 30, main->frameGeometry().top() + 20));
  EXPECT_EQ(CountFrames("?40"), 21);
  EXPECT_FALSE(port->IsOpen);
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
  EXPECT_EQ(main->ComLed1->State(), lsOff);
  for (int s : ledStates) EXPECT_EQ(s, lsOff);
}

TEST_F(AppTest, PortThatCannotOpenFailsCleanly) {
  port->Bus.AddDevice(1, 1, 10);
  port->OpenFails = true;
  main->ConnectButton->click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, "Connection Failed\nUnable to open com port");
  EXPECT_EQ(port->Bus.Writes, 0);
  EXPECT_EQ(main->ConnectButton->text(), "Connect");
}

TEST_F(AppTest, FailureAfterDevicesWereFoundLeavesNoLampLit) {
  // A device that reports no channels: the scan finds it (lamp on), but there
  // is nothing to show and the connect fails afterwards.
  port->Bus.AddDevice(4, 0, 10);
  main->ConnectButton->click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text.section('\n', 0, 0), "Connection Failed");
  EXPECT_FALSE(port->IsOpen);
  EXPECT_EQ(main->ComLed1->State(), lsOff);
}

TEST_F(AppTest, CloseThatKeepsFailingIsBoundedAndReported) {
  port->Bus.AddDevice(2, 2, 10);
  int stage = 0, callsAfterFirstClick = 0;
  bool stillOpen = false;
  main->OnChannelDone = [&](int) {
    ++stage;
    if (stage == 3) {
      port->CloseFailures = -1;
      main->ConnectButton->click();  // must come back, port still open
      callsAfterFirstClick = port->CloseCalls;
      stillOpen = port->IsOpen;
    } else if (stage == 6) {
      port->CloseFailures = 0;
      main->ConnectButton->click();
    }
  };
  main->ConnectButton->click();
  EXPECT_EQ(callsAfterFirstClick, TMain::MaxCloseAttempts);
  EXPECT_TRUE(stillOpen);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].Text.contains("could not be closed"));
  EXPECT_TRUE(messages[0].Text.contains("PurgeComm"));
  EXPECT_EQ(stage, 6);  // measuring went on until the second click
  EXPECT_FALSE(port->IsOpen);
  EXPECT_EQ(main->ComLed1->State(), lsOff);
}

TEST_F(AppTest, WindowCloseWhileMeasuringStopsTheLoop) {
  port->Bus.AddDevice(2, 2, 10);
  main->show();
  int turns = 0;
  main->OnChannelDone = [&](int) {
    if (++turns == 3) main->close();
  };
  main->ConnectButton->click();
  EXPECT_EQ(turns, 3);
  EXPECT_FALSE(port->IsOpen);
  EXPECT_FALSE(main->Logging);

  // A port that refuses to close does not keep the window from closing.
  port->IsOpen = true;
  port->CloseFailures = -1;
  port->CloseCalls = 0;
  main->show();
  main->close();
  EXPECT_EQ(port->CloseCalls, TMain::MaxCloseAttempts);
  EXPECT_FALSE(main->isVisible());
}

TEST_F(AppTest, MoreThan32ChannelsAreShownLoggedButOnlyColouredUpTo32) {
  port->Bus.AddDevice(1, 20, 10);
  port->Bus.AddDevice(2, 20, 10);
  RunTurns(40);
  ASSERT_EQ(OEMData->ChannelTotal, 40);
  ASSERT_EQ(main->Panels.size(), 40u);
  for (TTempPanel* p : main->Panels) ASSERT_NE(p, nullptr);
  EXPECT_EQ(main->Panels[31]->CaptionColor, ChannelColors[31]);
  EXPECT_EQ(main->Panels[39]->CaptionColor, 0x000000u);
  EXPECT_EQ(main->Panels[39]->title(), "Temp 2:20");
  EXPECT_TRUE(main->Panels[39]->ValueLabel->text().endsWith(QString::fromUtf8("°C")));
  const std::string line = main->FormatLogLine(46000.5);
  EXPECT_EQ(line.size(), std::string("10.12.2025 12:00:00,000 ").size() + 40 * 8 + 2);
}

TEST_F(AppTest, PopupOnPanelOrItsValueRemembersThePanel) {
  port->Bus.AddDevice(3, 2, 10);
  RunTurns(2);
  main->show();
  for (int k = 0; k < 2; ++k) {
    TTempPanel* p = main->Panels[size_t(k)];
    QTimer::singleShot(0, main->PopupMenu1, [this] { main->PopupMenu1->close(); });
    QWidget* target = k == 0 ? static_cast<QWidget*>(p->ValueLabel) : p;
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 20),
                         target->mapToGlobal(QPoint(5, 20)));
    QApplication::sendEvent(target, &ev);
    EXPECT_EQ(main->PopupComponent, p);
  }
}

TEST_F(AppTest, ReadingsReachTheDiagramAndTheStatusWindowHides) {
  Diagramm = new TDiagramm();
  StatusWindow = new TStatusWindow();
  TSimDevice& d = port->Bus.AddDevice(3, 2, 10);
  d.Channels[1].Curve = TSimCurve::Constant(950.0);
  port->Bus.AddDevice(6, 1, 100).Channels[0].Curve = TSimCurve::Constant(-12.5);
  RunTurns(3 * 4);  // four passes
  EXPECT_EQ(Diagramm->ChannelCount(), 2);
  ASSERT_EQ(Diagramm->Legend()->Entries().size(), 3u);
  EXPECT_EQ(Diagramm->Legend()->Entries()[2].Caption, "Temp 6:1");
  EXPECT_EQ(Diagramm->Line(0)->Count(), 4);
  EXPECT_EQ(Diagramm->Line(1)->Count(), 0);  // 950 degrees: no point
  EXPECT_EQ(Diagramm->Line(2)->Count(), 4);
  EXPECT_FALSE(StatusWindow->isVisible());
  EXPECT_EQ(StatusWindow->Label1->text(), "Connecting...");

  main->Button6Click();
  EXPECT_TRUE(Diagramm->isVisible());
  main->Button6Click();
  EXPECT_FALSE(Diagramm->isVisible());

  delete Diagramm;
  Diagramm = nullptr;
  delete StatusWindow;
  StatusWindow = nullptr;
}

TEST_F(AppTest, ErrorsOfHandlersAreShownAndTheProgramGoesOn) {
  bool after = false;
  GuardedCall([] { throw std::runtime_error("Unable to open com port"); });
  after = true;
  EXPECT_TRUE(after);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Kind, TMsgKind::mkError);
  EXPECT_EQ(messages[0].Text, "Unable to open com port");
}
