#pragma once
// TComLed: a small two-state lamp drawn from a lit and an unlit glyph. It
// shows the state the program sets or, attached to a port, follows one of
// the port's signals by itself.
#include <QImage>
#include <QWidget>
#include <functional>

#include "serial/CPort.h"

class QTimer;

enum TComLedSignal { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
enum TLedKind {
  lkRedLight,
  lkGreenLight,
  lkBlueLight,
  lkYellowLight,
  lkPurpleLight,
  lkBulb,
  lkCustom
};
enum TLedState { lsOff, lsOn };

class TComLed;
using TLedStateEvent = std::function<void(TComLed* sender, TLedState state)>;

// The built-in glyphs by resource name (LEDREDON, LEDGREENOFF, ... LEDBULBOFF):
// 15 x 15 pixels on a flat background colour, which is the lower-left pixel.
// An unknown name gives an empty image.
QImage LoadLedGlyph(const QString& name);
// The resource name of a kind's lit or unlit glyph; empty for lkCustom.
QString LedGlyphName(TLedKind kind, bool lit);

class TComLed : public QWidget {
  Q_OBJECT
 public:
  explicit TComLed(QWidget* parent = nullptr);
  ~TComLed() override;

  TComPort* ComPort() const { return FComPort; }
  void SetComPort(TComPort* port);
  TComLedSignal LedSignal() const { return FLedSignal; }
  void SetLedSignal(TComLedSignal signal);
  TLedKind Kind() const { return FKind; }
  void SetKind(TLedKind kind);
  const QImage& GlyphOn() const { return FGlyphOn; }
  const QImage& GlyphOff() const { return FGlyphOff; }
  // Only for lkCustom; the lower-left pixel's colour becomes transparent.
  void SetGlyphOn(const QImage& glyph);
  void SetGlyphOff(const QImage& glyph);
  TLedState State() const { return FState; }
  // EComPort code 19 while a port is attached: the port decides then.
  void SetState(TLedState state);
  int RingDuration() const { return FRingDuration; }
  void SetRingDuration(int ms);

  // Called on every state change, also when the state stays the same.
  TLedStateEvent OnChange;
  // While set, state changes do not call OnChange (restoring a stored lamp).
  bool Loading = false;

  // The link the lamp registers with its port; exposed for tests.
  TComLink* Link() const { return FLink; }
  bool RingTimerActive() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void DoChange(TLedState state);
  void LoadGlyphs();
  void SignalHandler(bool on);
  void RingHandler();
  void RingTimerExpired();
  TLedState SignalStateNow() const;

  TComPort* FComPort = nullptr;
  TComLedSignal FLedSignal = lsConn;
  TLedKind FKind = lkRedLight;
  QImage FGlyphOn;
  QImage FGlyphOff;
  TLedState FState = lsOff;
  int FRingDuration = 1000;
  TComLink* FLink;
  QTimer* FRingTimer;
};
