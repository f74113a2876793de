// The connection lamp: its glyphs, what it shows in which state, and the
// attached mode in which it follows a port.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSet>
#include <QTest>
#include <memory>

#include "serial/CPortLed.h"

namespace {

// Just enough of a serial device for a port to open and report modem lines.
class TQuietDevice : public TComDevice {
 public:
  uint32_t Modem = 0;
  bool open = false;
  int Open(const std::string&) override {
    open = true;
    return 0;
  }
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }
  int SetupComm(int, int) override { return 0; }
  int SetCommState(const TComDCB&) override { return 0; }
  int SetCommTimeouts(const TComTimeoutValues&) override { return 0; }
  int Read(char*, int, int& got) override {
    got = 0;
    return 0;
  }
  int Write(const char*, int count, int& written, int) override {
    written = count;
    return 0;
  }
  void AbortIo() override {}
  int Purge(bool, bool) override { return 0; }
  int InputCount(int& count) override {
    count = 0;
    return 0;
  }
  int OutputCount(int& count) override {
    count = 0;
    return 0;
  }
  int LineErrors(uint32_t& e) override {
    e = 0;
    return 0;
  }
  int PollLineEvents(uint32_t& e) override {
    e = 0;
    return 0;
  }
  int ModemStatus(uint32_t& s) override {
    s = Modem;
    return 0;
  }
  int WaitEvent(int, bool, uint32_t& flags) override {
    flags = wfTimeout;
    return 0;
  }
  int WaitInput(int) override { return 0; }
  void Interrupt() override {}
};

std::unique_ptr<TComPort> QuietPort(TQuietDevice** dev = nullptr) {
  auto d = std::make_unique<TQuietDevice>();
  if (dev) *dev = d.get();
  auto port = std::make_unique<TComPort>(nullptr, std::move(d));
  port->Events = TComEvents{};  // no event thread: events are delivered by hand
  port->SetPort("/dev/quiet0");
  return port;
}

constexpr QRgb kHostColour = 0x00FFFF;

// The lamp on a host of a known colour, rendered as the screen would show it.
class LedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.resize(60, 60);
    host.setAutoFillBackground(true);
    QPalette pal = host.palette();
    pal.setColor(QPalette::Window, QColor::fromRgb(kHostColour));
    host.setPalette(pal);
    led = new TComLed(&host);
    led->move(6, 24);
    led->SetKind(lkGreenLight);
    led->OnChange = [this](TComLed* sender, TLedState s) {
      EXPECT_EQ(sender, led);
      changes.push_back(s);
    };
  }
  // Colour of the lamp's pixel (x, y), in lamp coordinates.
  QRgb Shown(int x, int y) {
    const QImage img = host.grab().toImage();
    return img.pixel(led->x() + x, led->y() + y) & 0xFFFFFF;
  }
  QRgb Glyph(const QImage& g, int x, int y) { return g.pixel(x, y) & 0xFFFFFF; }

  QWidget host;
  TComLed* led;
  std::vector<TLedState> changes;
};

TEST(LedGlyphs, SixKindsOfFifteenPixelPairsOnTheirBackground) {
  QSet<QString> names;
  for (TLedKind k : {lkRedLight, lkGreenLight, lkBlueLight, lkYellowLight, lkPurpleLight, lkBulb}) {
    const QImage on = LoadLedGlyph(LedGlyphName(k, true));
    const QImage off = LoadLedGlyph(LedGlyphName(k, false));
    names << LedGlyphName(k, true) << LedGlyphName(k, false);
    ASSERT_EQ(on.size(), QSize(15, 15)) << k;
    ASSERT_EQ(off.size(), QSize(15, 15)) << k;
    EXPECT_NE(on, off) << k;
    const QRgb bg = on.pixel(0, 14) & 0xFFFFFF;
    EXPECT_EQ(bg, k == lkYellowLight ? 0x800080u : 0x808000u) << k;
    EXPECT_EQ(off.pixel(0, 14) & 0xFFFFFF, bg) << k;
    // The background colour never appears inside the lamp, or it would
    // show through there.
    EXPECT_NE(on.pixel(7, 7) & 0xFFFFFF, bg) << k;
    EXPECT_NE(off.pixel(7, 7) & 0xFFFFFF, bg) << k;
  }
  EXPECT_EQ(names.size(), 12);
  EXPECT_TRUE(names.contains("LEDREDON") && names.contains("LEDBULBOFF"));
  EXPECT_EQ(LedGlyphName(lkCustom, true), "");
  EXPECT_TRUE(LoadLedGlyph("LEDORANGEON").isNull());
  EXPECT_EQ(LoadLedGlyph("LEDREDON").pixel(7, 7) & 0xFFFFFF, 0xFF0000u);
  EXPECT_EQ(LoadLedGlyph("LEDBULBON").pixel(7, 6) & 0xFFFFFF, 0xFFFF00u);
  EXPECT_EQ(LoadLedGlyph("LEDBULBOFF").pixel(7, 6) & 0xFFFFFF, 0xFFFFFFu);
}

TEST_F(LedTest, ProgramLampShowsUnlitThenLitGreenAndReportsEveryChange) {
  EXPECT_EQ(led->State(), lsOff);
  EXPECT_EQ(led->size(), QSize(25, 25));
  EXPECT_EQ(led->RingDuration(), 1000);
  EXPECT_EQ(led->LedSignal(), lsConn);
  // The 15-pixel glyph sits at 5,5 in the 25-pixel lamp.
  EXPECT_EQ(Shown(5 + 7, 5 + 7), 0x008000u);
  led->SetState(lsOn);
  EXPECT_EQ(Shown(5 + 7, 5 + 7), 0x00FF00u);
  led->SetState(lsOn);  // the same state still reports
  led->SetState(lsOff);
  EXPECT_EQ(Shown(5 + 7, 5 + 7), 0x008000u);
  EXPECT_EQ(changes, (std::vector<TLedState>{lsOn, lsOn, lsOff}));

  led->Loading = true;  // restoring a stored lamp reports nothing
  led->SetState(lsOn);
  EXPECT_EQ(changes.size(), 3u);
}

TEST_F(LedTest, BackgroundOfTheGlyphIsSeeThrough) {
  led->SetState(lsOn);
  // Corners of the glyph are its background: the host shows there.
  EXPECT_EQ(Shown(5 + 0, 5 + 14), kHostColour);
  EXPECT_EQ(Shown(5 + 0, 5 + 0), kHostColour);
  EXPECT_EQ(Shown(5 + 14, 5 + 14), kHostColour);
  EXPECT_EQ(Shown(2, 2), kHostColour);  // outside the glyph

  // A custom glyph: whatever its lower-left pixel holds is the see-through
  // colour; set glyphs are ignored for the built-in kinds.
  QImage custom(15, 15, QImage::Format_RGB32);
  custom.fill(0x123456);
  custom.setPixel(0, 14, 0xABCDEF);
  custom.setPixel(3, 3, 0xABCDEF);
  led->SetGlyphOn(custom);
  EXPECT_EQ(Glyph(led->GlyphOn(), 7, 7), 0x00FF00u);
  led->SetKind(lkCustom);
  EXPECT_EQ(Glyph(led->GlyphOn(), 7, 7), 0x00FF00u);  // kept from the green kind
  led->SetGlyphOn(custom);
  EXPECT_EQ(Shown(5 + 7, 5 + 7), 0x123456u);
  EXPECT_EQ(Shown(5 + 3, 5 + 3), kHostColour);
  EXPECT_EQ(Shown(5 + 0, 5 + 14), kHostColour);
}

TEST_F(LedTest, DisabledLampShowsTheUnlitGlyph) {
  led->SetState(lsOn);
  led->setEnabled(false);
  EXPECT_EQ(Shown(12, 12), 0x008000u);
  EXPECT_EQ(led->State(), lsOn);
  led->setEnabled(true);
  EXPECT_EQ(Shown(12, 12), 0x00FF00u);
}

TEST_F(LedTest, KindChangeSwapsTheGlyphsAndSmallLampDrawsFromTheCorner) {
  led->SetState(lsOn);
  led->SetKind(lkRedLight);
  EXPECT_EQ(Shown(12, 12), 0xFF0000u);
  led->SetKind(lkBulb);
  EXPECT_EQ(led->GlyphOn(), LoadLedGlyph("LEDBULBON"));
  EXPECT_EQ(led->GlyphOff(), LoadLedGlyph("LEDBULBOFF"));
  led->SetKind(lkRedLight);
  led->resize(10, 10);
  EXPECT_EQ(Shown(7, 7), 0xFF0000u);  // glyph centre at 7,7: drawn from 0,0
}

TEST_F(LedTest, AttachedLampRefusesStateAndFollowsOpenAndClose) {
  auto port = QuietPort();
  led->SetState(lsOn);
  led->SetComPort(port.get());  // closed port: state stays
  EXPECT_EQ(led->State(), lsOn);
  try {
    led->SetState(lsOff);
    ADD_FAILURE() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), CError_LedStateFailed);
  }
  EXPECT_EQ(led->State(), lsOn);

  led->SetComPort(nullptr);  // detached: off
  EXPECT_EQ(led->State(), lsOff);
  led->SetComPort(port.get());
  changes.clear();
  port->Open();
  EXPECT_EQ(led->State(), lsOn);
  EXPECT_EQ(Shown(12, 12), 0x00FF00u);
  port->Close();
  EXPECT_EQ(led->State(), lsOff);
  EXPECT_EQ(changes, (std::vector<TLedState>{lsOn, lsOff}));

  // Attaching to a port that is already open lights it at once.
  led->SetComPort(nullptr);
  port->Open();
  led->SetComPort(port.get());
  EXPECT_EQ(led->State(), lsOn);

  // The port going away leaves the lamp unattached and usable.
  port.reset();
  EXPECT_EQ(led->ComPort(), nullptr);
  EXPECT_EQ(led->State(), lsOff);
  led->SetState(lsOn);
  EXPECT_EQ(led->State(), lsOn);
}

TEST_F(LedTest, LampFollowsTheChosenModemLine) {
  TQuietDevice* dev = nullptr;
  auto port = QuietPort(&dev);
  led->SetLedSignal(lsCTS);
  EXPECT_FALSE(led->Link()->OnConn);
  EXPECT_TRUE(led->Link()->OnCTSChange);
  dev->Modem = MS_CTS_ON;
  port->Open();
  led->SetComPort(port.get());
  EXPECT_EQ(led->State(), lsOn);
  dev->Modem = 0;
  port->HandleEventMessage(EventToMask(evCTS));
  EXPECT_EQ(led->State(), lsOff);
  dev->Modem = MS_DSR_ON;  // another line does not move it
  port->HandleEventMessage(EventToMask(evDSR));
  EXPECT_EQ(led->State(), lsOff);
  led->SetComPort(nullptr);
}

TEST_F(LedTest, RingLightsTheLampForRingDuration) {
  auto port = QuietPort();
  led->SetLedSignal(lsRing);
  led->SetRingDuration(60);
  port->Open();
  led->SetComPort(port.get());
  EXPECT_EQ(led->State(), lsOff);  // a ring lamp starts dark on an open port
  port->HandleEventMessage(EventToMask(evRing));
  EXPECT_EQ(led->State(), lsOn);
  EXPECT_TRUE(led->RingTimerActive());
  for (int waited = 0; led->State() == lsOn && waited < 2000; waited += 10) QTest::qWait(10);
  EXPECT_EQ(led->State(), lsOff);
  EXPECT_FALSE(led->RingTimerActive());
  led->SetComPort(nullptr);
}

}  // namespace
