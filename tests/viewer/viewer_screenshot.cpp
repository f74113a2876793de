// Opens log files in the viewer window, optionally zooms the time axis in
// with the mouse wheel around a point and renames channels, and then
// photographs the X screen with ImageMagick's import. Used to look at the
// viewer under Xvfb; not a test.
//   viewer_screenshot OUT.png [--notches N] [--at FRACTION] [--channel C=NAME]... FILE...
#include <QApplication>
#include <QCursor>
#include <QProcess>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "common/QxFormat.h"
#include "diagram/plot/sgr_def.h"
#include "viewer/ViewWindow.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: viewer_screenshot OUT.png [--notches N] [--at F] FILE...\n");
    return 2;
  }
  LoadFormatSettingsFromLocale();
  const QString out = argv[1];
  int notches = 0;
  double at = 0.5;
  QStringList files, names;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--notches") == 0 && i + 1 < argc)
      notches = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--at") == 0 && i + 1 < argc)
      at = QString(argv[++i]).toDouble();  // not atof: the locale may want a comma
    else if (std::strcmp(argv[i], "--channel") == 0 && i + 1 < argc)
      names << QString::fromLocal8Bit(argv[++i]);
    else
      files << QString::fromLocal8Bit(argv[i]);
  }
  qxview::TViewWindow w;
  w.move(0, 0);
  w.resize(1260, 760);
  w.show();
  w.OpenFiles(files);
  if (!w.WaitLoaded(120000)) return 1;
  for (const QString& n : names) {
    const int eq = n.indexOf('=');
    if (eq > 0) w.SetChannelName(n.left(eq).toInt() - 1, n.mid(eq + 1));
  }
  Tsp_XYPlot* plot = w.Plot();
  // Laid out and drawn once, so that the field's place is known.
  QApplication::processEvents();
  plot->RepaintNow();
  // The zoom as the wheel gives it (0.8 per notch), around a point of the
  // whole range; then the pointer there, once the field is drawn.
  double t0 = 0, t1 = 0;
  w.Data().TimeRange(t0, t1);
  const double centre = t0 + at * (t1 - t0);
  for (int i = 0; i < notches; ++i) w.ZoomTime(0.8, centre);
  QTimer::singleShot(1000, &app, [&] {
    const int x = plot->BottomAxis().ValueToPixel(centre);
    const QPoint pos(x, (plot->FieldTop() + plot->FieldBottom()) / 2);
    QCursor::setPos(plot->mapToGlobal(pos));
  });
  QTimer::singleShot(2500, &app, [&] {
    QProcess::execute("import", {"-window", "root", out});
    app.quit();
  });
  return app.exec();
}
