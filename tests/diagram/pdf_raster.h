#pragma once
// Renders the first page of a PDF back to an image with pdftoppm, so print
// tests can measure where things landed on paper.
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QTemporaryDir>

// At 254 dpi one pixel is 0.1 mm.
inline QImage RasterizePdf(const QString& pdf, int dpi = 254) {
  QTemporaryDir dir;
  const QString prefix = dir.filePath("page");
  QProcess p;
  p.start("pdftoppm", {"-r", QString::number(dpi), "-png", "-singlefile", pdf, prefix});
  if (!p.waitForFinished(60000) || p.exitCode() != 0) return QImage();
  return QImage(prefix + ".png").convertToFormat(QImage::Format_RGB32);
}

inline bool IsDark(QRgb c) {
  return qGray(c) < 96;
}

// Bounding box of the pixels for which pred holds.
template <typename Pred>
QRect BoundingBox(const QImage& img, Pred pred) {
  int l = img.width(), t = img.height(), r = -1, b = -1;
  for (int y = 0; y < img.height(); ++y) {
    const QRgb* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    for (int x = 0; x < img.width(); ++x)
      if (pred(line[x])) {
        if (x < l) l = x;
        if (x > r) r = x;
        if (y < t) t = y;
        if (y > b) b = y;
      }
  }
  if (r < 0) return QRect();
  return QRect(QPoint(l, t), QPoint(r, b));
}
