// The direct rasteriser against the painter: the same segments, filled into
// one image and stroked into another, must give the same pixels.
#include <gtest/gtest.h>

#include <QPainter>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "diagram/plot/sgr_raster.h"

namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kInk = qRgb(200, 30, 60);

QImage Blank(QSize size) {
  QImage img(size, QImage::Format_RGB32);
  img.fill(kWhite);
  return img;
}

QImage Stroked(QSize size, const std::vector<TPixelSegment>& segs, int width, const QRect& clip) {
  QImage img = Blank(size);
  QPainter p(&img);
  p.setClipRect(clip);
  QPen pen{QColor(kInk)};
  pen.setWidth(width);
  p.setPen(pen);
  for (const TPixelSegment& s : segs) p.drawLine(s.X1, s.Y1, s.X2, s.Y2);
  return img;
}

QImage Filled(QSize size, const std::vector<TPixelSegment>& segs, int width, const QRect& clip) {
  QImage img = Blank(size);
  FillSegments(img, clip, segs, width / 2.0, 0xFF000000u | kInk);
  return img;
}

// The first pixel where the two differ, as text, or "" when they are equal.
std::string FirstDifference(const QImage& a, const QImage& b) {
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      if (a.pixel(x, y) != b.pixel(x, y))
        return "first difference at " + std::to_string(x) + "," + std::to_string(y);
  return "";
}

// The first differing pixel that does not touch the painter's stroke, as
// text, or "" when every difference lies on the stroke's edge.
std::string DifferenceOffTheEdge(const QImage& painter, const QImage& filled) {
  const QRect r = painter.rect();
  for (int y = 0; y < r.height(); ++y)
    for (int x = 0; x < r.width(); ++x) {
      if (painter.pixel(x, y) == filled.pixel(x, y)) continue;
      bool edge = false;
      for (int dy = -1; dy <= 1 && !edge; ++dy)
        for (int dx = -1; dx <= 1 && !edge; ++dx) {
          const QPoint q(x + dx, y + dy);
          edge = (dx || dy) && r.contains(q) && painter.pixel(q) != painter.pixel(x, y);
        }
      if (!edge) return "difference off the edge at " + std::to_string(x) + "," + std::to_string(y);
    }
  return "";
}

TPixelSegment Seg(int x1, int y1, int x2, int y2) {
  return TPixelSegment(QPoint(x1, y1), QPoint(x2, y2));
}

std::string Name(int width, const TPixelSegment& s) {
  return "width " + std::to_string(width) + ", segment " + std::to_string(s.X1) + "," +
         std::to_string(s.Y1) + " - " + std::to_string(s.X2) + "," + std::to_string(s.Y2);
}

// What the reduced line consists of, with the diagram's 2-pixel pen:
// upright columns, level runs and the short joins between neighbouring
// columns of a slowly changing reading, in all directions.
TEST(Raster, ColumnsAndJoinsMatchThePainterExactly) {
  const QSize size(240, 240);
  const QRect all(QPoint(0, 0), size);
  std::vector<TPixelSegment> cases = {Seg(50, 40, 50, 90), Seg(50, 90, 50, 40), Seg(60, 7, 60, 230),
                                      Seg(20, 60, 180, 60), Seg(180, 61, 20, 61)};
  for (int dx = -2; dx <= 2; ++dx)
    for (int dy = -8; dy <= 8; ++dy)
      if (dx != 0 || dy != 0) cases.push_back(Seg(120, 120, 120 + dx, 120 + dy));
  for (const TPixelSegment& s : cases) {
    const std::vector<TPixelSegment> one{s};
    EXPECT_EQ(FirstDifference(Stroked(size, one, 2, all), Filled(size, one, 2, all)), "")
        << Name(2, s);
  }
  // Even widths keep upright and level strokes centred as the painter does.
  for (int width : {4, 8})
    for (const TPixelSegment& s : {Seg(50, 40, 50, 90), Seg(20, 60, 180, 60)}) {
      const std::vector<TPixelSegment> one{s};
      EXPECT_EQ(FirstDifference(Stroked(size, one, width, all), Filled(size, one, width, all)), "")
          << Name(width, s);
    }
}

// Steep joins (a jump of the reading) and long slanted strokes (a line's
// first join from far outside, unsorted data) may differ from the painter's
// in a pixel on the edge here and there, never inside or away from the
// stroke.
TEST(Raster, SteepAndLongSegmentsDifferAtMostOnTheEdge) {
  const QSize size(240, 240);
  const QRect all(QPoint(0, 0), size);
  std::vector<TPixelSegment> cases;
  for (int dx = -3; dx <= 3; ++dx)
    for (int dy : {-110, -97, -96, -60, -9, 9, 33, 95, 96, 97, 110})
      if (dx != 0) cases.push_back(Seg(120, 120, 120 + dx, 120 + dy));
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> coord(5, 234);
  for (int k = 0; k < 150; ++k)
    cases.push_back(Seg(coord(rng), coord(rng), coord(rng), coord(rng)));
  for (const TPixelSegment& s : cases) {
    const std::vector<TPixelSegment> one{s};
    for (int width : {2, 4}) {
      EXPECT_EQ(DifferenceOffTheEdge(Stroked(size, one, width, all), Filled(size, one, width, all)),
                "")
          << Name(width, s);
    }
  }
}

// A reduced line of many columns reaching over the clip writes nothing
// outside the clip and the same as the painter inside it.
TEST(Raster, ClippedLineMatchesThePainter) {
  const QSize size(200, 160);
  const QRect clip(30, 20, 120, 100);
  std::vector<TPixelSegment> segs = {Seg(10, 50, 190, 50), Seg(31, 0, 31, 159),
                                     Seg(149, 5, 149, 140), Seg(29, 70, 30, 118),
                                     Seg(150, 119, 151, 121)};
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> step(-8, 8);
  QPoint at(20, 80);
  for (int x = 20; x < 180; ++x) {
    const QPoint next(x + 1, std::clamp(at.y() + step(rng), 0, 159));
    segs.emplace_back(at, next);
    segs.push_back(Seg(next.x(), next.y(), next.x(), std::clamp(next.y() + step(rng), 0, 159)));
    at = QPoint(next.x(), segs.back().Y2);
  }
  const QImage filled = Filled(size, segs, 2, clip);
  EXPECT_EQ(FirstDifference(Stroked(size, segs, 2, clip), filled), "");
  segs.push_back(Seg(0, 0, 199, 159));
  const QImage crossed = Filled(size, segs, 2, clip);
  for (int y = 0; y < size.height(); ++y)
    for (int x = 0; x < size.width(); ++x)
      if (!clip.contains(x, y)) {
        ASSERT_EQ(crossed.pixel(x, y), kWhite) << x << "," << y;
      }
}

}  // namespace
