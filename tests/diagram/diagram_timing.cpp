// Repaint cost of the diagram with full 12-hour buffers on all 32 channels.
// One poll takes about 55 ms, so with 32 channels each line gets a point
// every 1.8 s: 24000 points per line in 12 hours.
#include <QApplication>
#include <QElapsedTimer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "common/QxClock.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_def.h"

namespace {

double MsPer(int n, const std::function<void()>& fn) {
  QElapsedTimer t;
  t.start();
  for (int i = 0; i < n; ++i) fn();
  return t.nsecsElapsed() / 1e6 / n;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int perLine = argc > 1 ? std::atoi(argv[1]) : 24000;
  const double stepDays = 12.0 / 24.0 / perLine;

  TVirtualClock clock(46000.5);
  TScopedClock scoped(&clock);
  TDiagramm diag;
  diag.BufferHours = [] { return 12.0; };
  diag.show();
  QApplication::processEvents();

  // Fill without a repaint per point: detach, fill, re-attach in order.
  const double start = clock.Now();
  for (int i = 0; i < MaxChannels; ++i) diag.Line(i)->SetPlot(nullptr);
  for (int i = 0; i < MaxChannels; ++i)
    for (int k = 0; k < perLine; ++k)
      diag.Line(i)->AddXY(start + k * stepDays, 20 + 2 * i + 5 * std::sin(k / 400.0 + i));
  for (int i = 0; i < MaxChannels; ++i) diag.Line(i)->SetPlot(diag.Plot1);
  clock.Advance(12 * 3600 * 1000);

  std::printf("points per line %d, lines %d, total %d\n", perLine, MaxChannels,
              perLine * MaxChannels);
  for (double minutes : {10.0, 12 * 60.0}) {
    diag.SetTimeRange(minutes / 1440.0);
    QApplication::processEvents();
    const double full = MsPer(20, [&] {
      diag.Plot1->Invalidate();
      diag.Plot1->RepaintNow();
    });
    const double field = MsPer(20, [&] {
      diag.Plot1->InvalidateParts(false, false, true);
      diag.Plot1->RepaintNow();
    });
    int channel = 0;
    const double add = MsPer(200, [&] {
      clock.Advance(55);
      diag.AddPoint(channel, clock.Now(), 25);
      channel = (channel + 1) % MaxChannels;
      QApplication::processEvents();
    });
    std::printf(
        "time range %6.0f min: full repaint %.2f ms, field repaint %.2f ms, "
        "AddPoint incl. trim and axis move %.2f ms\n",
        minutes, full, field, add);
  }
  return 0;
}
