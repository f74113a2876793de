// The benchmark's picture comparison and its plain update must measure what
// they claim: the same points as AddPoint, differences only inside the field.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "bench/BenchDiagram.h"
#include "common/ChannelColors.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_def.h"

using namespace bench;

TEST(BenchPictures, OnlyFieldPixelsAreCompared) {
  QImage a(40, 30, QImage::Format_RGB32), b(40, 30, QImage::Format_ARGB32);
  a.fill(Qt::white);
  b.fill(Qt::white);
  const QRect field(10, 5, 20, 10);  // 200 pixels
  b.setPixel(0, 0, qRgb(1, 2, 3));   // outside: not counted
  b.setPixel(10, 5, qRgb(1, 2, 3));  // the field's corners count
  b.setPixel(29, 14, qRgb(1, 2, 3));
  b.setPixel(20, 10, qRgba(255, 255, 255, 0));  // alpha alone is no difference
  const TPixelDiff d = CompareField(a, b, field);
  EXPECT_EQ(d.FieldPixels, 200);
  EXPECT_EQ(d.Differing, 2);
  EXPECT_DOUBLE_EQ(d.Percent(), 1.0);
}

TEST(BenchPictures, PlainUpdateStoresAndTrimsLikeAddPoint) {
  // Two feeds of the same stream, one through AddPoint, one the plain way;
  // a point every 5 minutes for 33 hours, so both trim for 21 of them.
  TDataSet set{"t", 3, 300000.0, 0};
  TDiagramFeed ours(set, 21, 46000.5);
  for (int i = 0; i < 400; ++i) ours.Step();
  EXPECT_LT(ours.Points(), 400 * 12 / 33 + 3);
  std::vector<std::vector<std::pair<double, double>>> a(3), b(3);
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < ours.Window().Line(c)->Count(); ++i)
      a[c].push_back({ours.Window().Line(c)->GetX(i), ours.Window().Line(c)->GetY(i)});
  const double axisMax = ours.Plot().BottomAxis().Max();
  {
    TDiagramFeed plain(set, 21, 46000.5);
    for (int i = 0; i < 400; ++i) plain.StepPlain();
    for (int c = 0; c < 3; ++c)
      for (int i = 0; i < plain.Window().Line(c)->Count(); ++i)
        b[c].push_back({plain.Window().Line(c)->GetX(i), plain.Window().Line(c)->GetY(i)});
    EXPECT_DOUBLE_EQ(plain.Plot().BottomAxis().Max(), axisMax);
  }
  EXPECT_EQ(a, b);
}

TEST(BenchPictures, ASpikeIsSeenOnlyInItsLinesColour) {
  TDataSet set{"t", 2, 1000.0, 0};
  TDiagramFeed feed(set, 1, 46000.5);
  feed.Show();
  Tsp_XYPlot& plot = feed.Plot();
  plot.LeftAxis().SetMinMax(0, 100);
  const double x = (plot.BottomAxis().Min() + plot.BottomAxis().Max()) / 2;
  QImage img(plot.size(), QImage::Format_RGB32);
  img.fill(Qt::white);
  const QPoint p(plot.BottomAxis().ValueToPixel(x), plot.LeftAxis().ValueToPixel(50));
  const TSpike spike{1, x, 50};
  EXPECT_FALSE(SpikeVisible(img, plot, spike));
  img.setPixel(p + QPoint(1, -1), 0xFF000000u | ChannelColors[0]);  // another line's colour
  EXPECT_FALSE(SpikeVisible(img, plot, spike));
  img.setPixel(p + QPoint(1, -1), 0xFF000000u | ChannelColors[1]);
  EXPECT_TRUE(SpikeVisible(img, plot, spike));
  img.setPixel(p + QPoint(1, -1), qRgb(255, 255, 255));
  img.setPixel(p + QPoint(2, 0), 0xFF000000u | ChannelColors[1]);  // two columns off
  EXPECT_FALSE(SpikeVisible(img, plot, spike));
}
