// Feeds the diagram a few minutes of generated readings on 4 channels over
// virtual time and saves a screenshot of the window (run under Xvfb).
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <cmath>
#include <cstdio>

#include "common/QxClock.h"
#include "diagram/oem_diagramm.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString out = argc > 1 ? argv[1] : "diagram.png";
  TVirtualClock clock(46000.5);
  TScopedClock scoped(&clock);
  TDiagramm diag;
  diag.BufferHours = [] { return 12.0; };
  diag.SetChannelCount(2);
  diag.SetLegendEntries({"Temp 1:1", "Temp 1:2", "Temp 3:1", "Temp 3:2"});
  diag.move(40, 40);
  diag.show();

  // About 8 minutes, one reading per channel every 4 x 55 ms.
  const int polls = 8 * 60 * 1000 / 55;
  for (int k = 0; k < polls; ++k) {
    const int ch = k % 4;
    const double t = k * 0.055;  // seconds
    double v = 0;
    switch (ch) {
      case 0:
        v = 22 + 0.3 * std::sin(t / 20);
        break;  // room
      case 1:
        v = 40 + 180 * (1 - std::exp(-t / 150));
        break;  // oven heating
      case 2:
        v = 260 - 120 * (1 - std::exp(-t / 200)) + 2 * std::sin(t);
        break;  // cooling
      case 3:
        v = 95 + 15 * std::sin(t / 45);
        break;  // cycling bath
    }
    clock.Advance(55);
    diag.AddPoint(ch, clock.Now(), v);
    if (k % 64 == 0) QApplication::processEvents();
  }
  QTimer::singleShot(500, [&] {
    QApplication::processEvents();
    const QRect frame = diag.frameGeometry();
    QPixmap shot =
        diag.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    std::printf("saved %s: %d\n", qPrintable(out), shot.save(out) ? 1 : 0);
    app.quit();
  });
  return app.exec();
}
