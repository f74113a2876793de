// The lamp and bulb glyphs drawn in code, the lamp's link to a port's
// signal, and the short lit time of the ring signal.
#include "serial/CPortLed.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kGlyphSize = 15;

// A 16-colour palette is all the glyphs use.
constexpr QRgb kBlack = 0xFF000000;
constexpr QRgb kGrey = 0xFF808080;
constexpr QRgb kSilver = 0xFFC0C0C0;
constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kOlive = 0xFF808000;
constexpr QRgb kPurple = 0xFF800080;
constexpr QRgb kYellow = 0xFFFFFF00;

struct TLampColors {
  QRgb lit;
  QRgb dark;
  QRgb background;  // never used inside the lamp: it is the transparent key
};

QImage NewGlyph(QRgb background) {
  QImage img(kGlyphSize, kGlyphSize, QImage::Format_RGB32);
  img.fill(background);
  return img;
}

// A round lamp in a grey bezel. Lit: bright body with a white highlight and
// small marks of the lamp's colour glowing through the bezel. Unlit: the
// same shape with a dark body of the same hue.
QImage DrawLamp(const TLampColors& c, bool lit) {
  QImage img = NewGlyph(c.background);
  const double centre = 7.0;
  for (int y = 0; y < kGlyphSize; ++y) {
    for (int x = 0; x < kGlyphSize; ++x) {
      const double dx = x - centre, dy = y - centre;
      const double d = std::sqrt(dx * dx + dy * dy);
      QRgb p;
      if (d > 7.3) {
        continue;
      } else if (d > 6.3) {
        p = (dx + dy < 0) ? kGrey : kWhite;  // light falls from the upper left
      } else if (d > 5.1) {
        p = kSilver;
        const bool onAxis = (dx == 0 || dy == 0 || std::abs(dx) == std::abs(dy));
        if (lit && onAxis) p = c.lit;
      } else if (d > 4.3) {
        p = (dx + dy < 0) ? kBlack : kGrey;  // inner shadow of the bezel
      } else {
        p = lit ? c.lit : c.dark;
      }
      img.setPixel(x, y, p);
    }
  }
  // Highlight on the glass.
  const QRgb hi = lit ? kWhite : kGrey;
  img.setPixel(5, 5, hi);
  img.setPixel(6, 5, hi);
  img.setPixel(5, 6, hi);
  return img;
}

// A light bulb: round glass over a threaded base. Lit: yellow glass and
// yellow rays; unlit: plain white glass.
QImage DrawBulb(bool lit) {
  QImage img = NewGlyph(kOlive);
  const double cx = 7.0, cy = 5.5;
  for (int y = 0; y < 11; ++y) {
    for (int x = 0; x < kGlyphSize; ++x) {
      const double dx = x - cx, dy = y - cy;
      const double d = std::sqrt(dx * dx + dy * dy);
      if (d > 4.7) continue;
      img.setPixel(x, y, d > 3.8 ? kGrey : (lit ? kYellow : kWhite));
    }
  }
  img.setPixel(5, 3, kWhite);
  img.setPixel(5, 4, kWhite);
  for (int y = 10; y <= 12; ++y)
    for (int x = 5; x <= 9; ++x) img.setPixel(x, y, (y % 2 == 0) ? kSilver : kGrey);
  for (int x = 6; x <= 8; ++x) img.setPixel(x, 13, kBlack);
  if (lit) {
    const int rays[][2] = {{1, 0},  {2, 1},  {13, 0}, {12, 1}, {0, 5},  {1, 5},
                           {13, 5}, {14, 5}, {1, 9},  {2, 8},  {13, 9}, {12, 8}};
    for (const auto& r : rays) img.setPixel(r[0], r[1], kYellow);
  }
  return img;
}

// The glyph with its background (the lower-left pixel's colour) see-through.
QImage Transparent(const QImage& glyph) {
  QImage a = glyph.convertToFormat(QImage::Format_ARGB32);
  if (a.isNull()) return a;
  const QRgb key = a.pixel(0, a.height() - 1) & 0xFFFFFF;
  for (int y = 0; y < a.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(a.scanLine(y));
    for (int x = 0; x < a.width(); ++x)
      if ((line[x] & 0xFFFFFF) == key) line[x] = 0;
  }
  return a;
}

}  // namespace

QString LedGlyphName(TLedKind kind, bool lit) {
  static const char* const names[] = {"RED", "GREEN", "BLUE", "YELLOW", "PURPLE", "BULB"};
  if (kind < lkRedLight || kind > lkBulb) return {};
  return QString("LED%1%2").arg(names[kind], lit ? "ON" : "OFF");
}

QImage LoadLedGlyph(const QString& name) {
  static const struct {
    const char* colour;
    TLampColors c;
  } lamps[] = {
      {"RED", {0xFFFF0000, 0xFF800000, kOlive}},  {"GREEN", {0xFF00FF00, 0xFF008000, kOlive}},
      {"BLUE", {0xFF0000FF, 0xFF000080, kOlive}}, {"YELLOW", {kYellow, kOlive, kPurple}},
      {"PURPLE", {0xFFFF00FF, kPurple, kOlive}},
  };
  if (!name.startsWith("LED")) return {};
  QString rest = name.mid(3);
  bool lit;
  if (rest.endsWith("OFF")) {
    lit = false;
    rest.chop(3);
  } else if (rest.endsWith("ON")) {
    lit = true;
    rest.chop(2);
  } else {
    return {};
  }
  if (rest == "BULB") return DrawBulb(lit);
  for (const auto& l : lamps)
    if (rest == l.colour) return DrawLamp(l.c, lit);
  return {};
}

TComLed::TComLed(QWidget* parent) : QWidget(parent) {
  FLink = new TComLink;
  FLink->OnConn = [this](TCustomComPort*, bool on) { SignalHandler(on); };
  FRingTimer = new QTimer(this);
  FRingTimer->setInterval(FRingDuration);
  connect(FRingTimer, &QTimer::timeout, this, [this] { RingTimerExpired(); });
  resize(25, 25);
  LoadGlyphs();
}

TComLed::~TComLed() {
  FRingTimer->stop();
  // Let go of the port without a last state change: whoever listens to
  // OnChange may already be half destroyed.
  if (FComPort) {
    FComPort->RemoveFreeNotification(this);
    try {
      FComPort->DetachLink(FLink);
    } catch (const EComPort&) {
    }
    FComPort = nullptr;
  }
  delete FLink;
}

void TComLed::LoadGlyphs() {
  if (FKind == lkCustom) return;
  FGlyphOn = LoadLedGlyph(LedGlyphName(FKind, true));
  FGlyphOff = LoadLedGlyph(LedGlyphName(FKind, false));
}

void TComLed::DoChange(TLedState state) {
  FState = state;
  if (!Loading && OnChange) OnChange(this, state);
  update();
}

void TComLed::SetState(TLedState state) {
  if (FComPort) throw EComPort(CError_LedStateFailed);
  DoChange(state);
}

void TComLed::SetKind(TLedKind kind) {
  if (kind == FKind) return;
  FKind = kind;
  LoadGlyphs();
  update();
}

void TComLed::SetGlyphOn(const QImage& glyph) {
  if (FKind != lkCustom) return;
  FGlyphOn = glyph.copy();
  update();
}

void TComLed::SetGlyphOff(const QImage& glyph) {
  if (FKind != lkCustom) return;
  FGlyphOff = glyph.copy();
  update();
}

void TComLed::SetRingDuration(int ms) {
  FRingDuration = ms;
  FRingTimer->setInterval(std::max(0, ms));
}

bool TComLed::RingTimerActive() const {
  return FRingTimer->isActive();
}

TLedState TComLed::SignalStateNow() const {
  switch (FLedSignal) {
    case lsConn:
      return lsOn;
    case lsCTS:
      return FComPort->ModemSignals().Contains(csCTS) ? lsOn : lsOff;
    case lsDSR:
      return FComPort->ModemSignals().Contains(csDSR) ? lsOn : lsOff;
    case lsRLSD:
      return FComPort->ModemSignals().Contains(csRLSD) ? lsOn : lsOff;
    default:
      return lsOff;
  }
}

void TComLed::SetComPort(TComPort* port) {
  if (port == FComPort) return;
  if (FComPort) {
    FComPort->RemoveFreeNotification(this);
    try {
      FComPort->DetachLink(FLink);
    } catch (const EComPort&) {
      // Not registered there: nothing to undo.
    }
  }
  FComPort = port;
  if (!port) {
    DoChange(lsOff);
    return;
  }
  // The port may go before the lamp; then it is simply forgotten. It is not
  // called back while it is being destroyed.
  port->AddFreeNotification(this, [this] {
    FComPort = nullptr;
    FRingTimer->stop();
    DoChange(lsOff);
  });
  port->AttachLink(FLink);
  if (port->Connected() && !port->Designing() && !port->Loading() && !Loading)
    DoChange(SignalStateNow());
}

void TComLed::SetLedSignal(TComLedSignal signal) {
  if (signal == FLedSignal) return;
  FLedSignal = signal;
  FLink->OnConn = nullptr;
  FLink->OnCTSChange = nullptr;
  FLink->OnDSRChange = nullptr;
  FLink->OnRLSDChange = nullptr;
  FLink->OnRing = nullptr;
  FLink->OnTx = nullptr;
  FLink->OnRx = nullptr;
  auto handler = [this](TCustomComPort*, bool on) { SignalHandler(on); };
  switch (signal) {
    case lsConn:
      FLink->OnConn = handler;
      break;
    case lsCTS:
      FLink->OnCTSChange = handler;
      break;
    case lsDSR:
      FLink->OnDSRChange = handler;
      break;
    case lsRLSD:
      FLink->OnRLSDChange = handler;
      break;
    case lsRing:
      FLink->OnRing = [this](TCustomComPort*) { RingHandler(); };
      break;
    case lsRx:
      FLink->OnRx = handler;
      break;
    case lsTx:
      FLink->OnTx = handler;
      break;
  }
}

void TComLed::SignalHandler(bool on) {
  DoChange(on ? lsOn : lsOff);
  // Show the change now, even inside a long exchange.
  QCoreApplication::processEvents();
}

void TComLed::RingHandler() {
  FRingTimer->start();
  DoChange(lsOn);
}

void TComLed::RingTimerExpired() {
  FRingTimer->stop();
  DoChange(lsOff);
}

void TComLed::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) update();
  QWidget::changeEvent(event);
}

void TComLed::paintEvent(QPaintEvent*) {
  if (FGlyphOn.isNull() || FGlyphOff.isNull()) LoadGlyphs();
  const QImage& glyph = (isEnabled() && FState == lsOn) ? FGlyphOn : FGlyphOff;
  if (glyph.isNull()) return;
  const QRect r = contentsRect();
  const int x = r.left() + std::max(0, (r.width() - glyph.width()) / 2);
  const int y = r.top() + std::max(0, (r.height() - glyph.height()) / 2);
  QPainter p(this);
  p.drawImage(x, y, Transparent(glyph));
}
