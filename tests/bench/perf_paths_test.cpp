// The fast paths of the diagram must not change what is drawn: the reduced
// columns kept between drawings, the frame kept across small scrolls, the
// one repaint per reading, and the extremes taken after trimming.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPaintEvent>
#include <QRegion>
#include <QTest>
#include <cmath>
#include <limits>
#include <memory>
#include <random>

#include "common/QxClock.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_def.h"

namespace {

const double Inf = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

// Pixels that differ between two pictures of the same size.
int Differing(const QImage& a, const QImage& b) {
  const QImage ca = a.convertToFormat(QImage::Format_RGB32);
  const QImage cb = b.convertToFormat(QImage::Format_RGB32);
  if (ca.size() != cb.size()) return -1;
  int n = 0;
  for (int y = 0; y < ca.height(); ++y)
    for (int x = 0; x < ca.width(); ++x)
      n += (ca.pixel(x, y) & 0xFFFFFF) != (cb.pixel(x, y) & 0xFFFFFF);
  return n;
}

// The plot's own picture with frame and field drawn from nothing in the same
// layout (a scroll keeps the layout): a change of the temperature scale and
// back moves every tick of it and throws away every kept column.
QImage DrawnAfresh(Tsp_XYPlot& p) {
  const double mn = p.LeftAxis().Min(), mx = p.LeftAxis().Max();
  p.LeftAxis().SetMinMax(mn, mx + 1);
  p.InvalidateParts(false, true, true);
  p.repaint();
  p.LeftAxis().SetMinMax(mn, mx);
  p.InvalidateParts(false, true, true);
  p.repaint();
  return p.Bitmap()->copy();
}

struct BufferedPlot : ::testing::Test {
  Tsp_XYPlot plot;
  int fieldDraws = 0;
  void SetUp() override {
    plot.resize(420, 300);
    plot.SetBufferedDisplay(true);
    plot.OnFieldDraw = [this](Tsp_XYPlot*) { ++fieldDraws; };
    plot.BottomAxis().SetLabelAsDataTime(false);
    plot.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&plot));
    plot.repaint();
  }
  // What is on screen: the off-screen image after the pending repaint.
  QImage Shown() {
    plot.repaint();
    return plot.Bitmap() ? plot.Bitmap()->copy() : QImage();
  }
};

}  // namespace

TEST(SeriesExtremes, AfterTrimmingMatchAFullPassWithInfinitiesAndGaps) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-50, 50);
  Tsp_XYLine s;
  double x = 0;
  for (int round = 0; round < 400; ++round) {
    const int adds = 1 + static_cast<int>(rng() % 300);
    for (int k = 0; k < adds; ++k) {
      double y = u(rng);
      const unsigned r = rng() % 97;
      if (r == 0) y = Inf;
      if (r == 1) y = -Inf;
      if (r == 2) y = NaN;
      s.AddXY(x, y);
      x += 1 + (rng() % 3);
    }
    const int drops = static_cast<int>(rng() % (s.Count() + 1));
    for (int k = 0; k < drops; ++k) s.Delete(0);
    // Expected: the finite extremes over what is left.
    bool any = false;
    double mn = 0, mx = 0, xmn = 0, xmx = 0;
    for (int i = 0; i < s.Count(); ++i) {
      const double y = s.GetY(i);
      if (!std::isfinite(y)) continue;
      if (!any) mn = mx = y;
      mn = std::min(mn, y);
      mx = std::max(mx, y);
      any = true;
    }
    if (s.Count() > 0) {
      xmn = s.GetX(0);
      xmx = s.GetX(s.Count() - 1);
    }
    double v = 0;
    ASSERT_EQ(s.GetYMin(v), any && s.Count() > 0) << round;
    if (any) {
      EXPECT_EQ(v, mn) << round;
      ASSERT_TRUE(s.GetYMax(v));
      EXPECT_EQ(v, mx) << round;
    }
    ASSERT_EQ(s.GetXMin(v), s.Count() > 0);
    if (s.Count() > 0) {
      EXPECT_EQ(v, xmn);
      ASSERT_TRUE(s.GetXMax(v));
      EXPECT_EQ(v, xmx);
    }
  }
}

TEST(SeriesExtremes, UnsortedXStillTakesTheFullPass) {
  Tsp_XYLine s;
  for (double x : {5.0, 1.0, 9.0, 3.0, -2.0}) s.AddXY(x, x * 2);
  s.Delete(0);
  double v = 0;
  ASSERT_TRUE(s.GetXMin(v));
  EXPECT_EQ(v, -2.0);
  ASSERT_TRUE(s.GetXMax(v));
  EXPECT_EQ(v, 9.0);
  ASSERT_TRUE(s.GetYMin(v));
  EXPECT_EQ(v, -4.0);
}

TEST_F(BufferedPlot, HeldRepaintsRunOnceAtTheOutermostEnd) {
  Tsp_XYLine line;
  line.SetPlot(&plot);
  plot.repaint();
  const int before = fieldDraws;
  plot.BeginUpdate();
  plot.BeginUpdate();
  line.AddXY(1, 1);
  line.AddXY(2, 2);
  line.Delete(0);
  plot.EndUpdate();
  EXPECT_EQ(fieldDraws, before);  // still held by the outer level
  plot.EndUpdate();
  EXPECT_EQ(fieldDraws, before + 1);
  // Nothing asked for: nothing drawn; an extra EndUpdate is harmless.
  plot.BeginUpdate();
  plot.EndUpdate();
  plot.EndUpdate();
  EXPECT_EQ(fieldDraws, before + 1);
  line.AddXY(3, 3);  // outside a held block: at once, as before
  EXPECT_EQ(fieldDraws, before + 2);
}

// A held block repaints once, at its end, and shows on screen only what can
// have changed: the field while no tick moves, all of the plot when one does.
// Nothing is left behind to be painted again later.
TEST_F(BufferedPlot, HeldRepaintShowsTheFieldAloneWhileTheFrameStays) {
  for (Tsp_Axis* a : {&plot.BottomAxis(), &plot.LeftAxis()}) {
    a->SetAutoMin(false);
    a->SetAutoMax(false);
    a->SetMinMax(0, 10);
  }
  Tsp_XYLine line;
  line.SetPlot(&plot);
  line.AddXY(1, 1);
  line.AddXY(2, 3);
  plot.repaint();
  QApplication::processEvents();
  struct TPaints : QObject {
    std::vector<QRegion> Regions;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) Regions.push_back(static_cast<QPaintEvent*>(e)->region());
      return false;
    }
  } paints;
  plot.installEventFilter(&paints);
  plot.BeginUpdate();
  line.AddXY(3, 2);
  line.Delete(0);
  plot.EndUpdate();
  QApplication::processEvents();
  ASSERT_EQ(paints.Regions.size(), 1u);
  EXPECT_EQ(paints.Regions[0], QRegion(plot.FieldRect()));

  paints.Regions.clear();
  plot.BeginUpdate();
  line.AddXY(4, 5);
  plot.LeftAxis().SetMax(50);  // every tick of it moves
  plot.LeftAxis().SetMin(-50);
  plot.EndUpdate();
  QApplication::processEvents();
  ASSERT_EQ(paints.Regions.size(), 1u);
  EXPECT_EQ(paints.Regions[0], QRegion(plot.rect()));
  plot.removeEventFilter(&paints);
  EXPECT_EQ(Shown(), DrawnAfresh(plot));
}

// The reduced columns are kept between drawings and the frame across small
// scrolls; sliding the axis by small and large steps while points arrive and
// expire must always show exactly what a drawing from nothing shows.
TEST_F(BufferedPlot, KeptColumnsAndFrameShowWhatAFreshDrawingShows) {
  // A dense line (many points per column) and a sparse one (a few).
  Tsp_XYLine line, sparse;
  line.LineAttr().SetWidth(2);
  sparse.LineAttr().SetWidth(2);
  sparse.LineAttr().SetColor(0xFF0000);
  line.SetPlot(&plot);
  sparse.SetPlot(&plot);
  plot.LeftAxis().SetMinMax(-20, 20);
  std::mt19937 rng(4);
  std::normal_distribution<double> noise(0, 3);
  double x = 0;
  for (int i = 0; i < 20000; ++i, x += 1) {
    line.AddXY(x, noise(rng) + (i % 5000 == 0 ? 15 : 0));
    if (i % 23 == 0) sparse.AddXY(x, 10 + noise(rng));
  }
  plot.BottomAxis().SetMinMax(x - 8000, x);
  plot.Invalidate();
  Shown();
  // About as fast as the points arrive, with jumps both ways.
  const double steps[] = {0.3, 0.3, 7.9, 1.0, -40.0, 0.05, 2.5, 40.0, 0.7, 3.0, 0.4};
  for (int round = 0; round < 30; ++round) {
    for (int k = 0; k < 6; ++k) {
      plot.BeginUpdate();
      for (int a = 0; a < 1 + (round + k) % 4; ++a, x += 1) {
        line.AddXY(x, noise(rng));
        if (static_cast<int>(x) % 23 == 0) sparse.AddXY(x, 10 + noise(rng));
      }
      for (Tsp_XYLine* l : {&line, &sparse})
        while (l->Count() > 0 && l->GetX(0) < x - 15000) l->Delete(0);
      plot.BottomAxis().MoveMinMax(steps[(round * 6 + k) % 11]);
      plot.EndUpdate();
    }
    const QImage shown = Shown();
    ASSERT_EQ(Differing(shown, DrawnAfresh(plot)), 0) << "round " << round;
  }
}

// Kept columns check their ends against the X values they remember: the
// axis creeping by fractions of a point moves one end point at a time into
// a neighbouring column, and zigzag values make a column that keeps a point too
// many or too few draw its first or last segment elsewhere. Replacing the
// newest point and starting the line anew must not reuse stale X values.
TEST_F(BufferedPlot, KeptColumnEndsFollowACreepingAxisAndEdits) {
  Tsp_XYLine line;
  line.SetPlot(&plot);
  plot.LeftAxis().SetMinMax(-20, 20);
  auto zigzag = [](int i) { return (i % 2 ? 15.0 : -15.0) + (i % 7) - 3.0; };
  auto fill = [&](double step) {
    for (int i = 0; i < 6000; ++i) line.AddXY(i * step, zigzag(i));
  };
  fill(1.0);
  plot.BottomAxis().SetMinMax(0, 5000);  // about 14 points per column
  plot.Invalidate();
  Shown();
  for (int k = 0; k < 40; ++k) {
    plot.BottomAxis().MoveMinMax(k % 3 == 2 ? -0.9 : 0.37);  // both ways
    const QImage shown = Shown();
    ASSERT_EQ(Differing(shown, DrawnAfresh(plot)), 0) << "step " << k;
  }
  line.Delete(line.Count() - 1);
  line.AddXY(5000.5, 19);
  plot.BottomAxis().MoveMinMax(0.37);
  ASSERT_EQ(Differing(Shown(), DrawnAfresh(plot)), 0);
  line.Clear();
  fill(0.93);
  plot.BottomAxis().MoveMinMax(0.37);
  EXPECT_EQ(Differing(Shown(), DrawnAfresh(plot)), 0);
}

TEST(DiagramUpdate, OneFieldDrawPerReadingAlsoWhenItTrims) {
  TVirtualClock clock(46000.5);
  TScopedClock scoped(&clock);
  TDiagramm diag;
  diag.BufferHours = [] { return 1.0 / 60.0; };  // one minute
  diag.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&diag));
  int draws = 0;
  diag.Plot1->OnFieldDraw = [&](Tsp_XYPlot*) { ++draws; };
  for (int i = 0; i < 120; ++i) {
    clock.Advance(1000);
    diag.AddPoint(i % 2, clock.Now(), 20 + i % 7);
  }
  QApplication::processEvents();
  const int before = draws;
  // Ten seconds later the new point of line 0 expires five old ones.
  clock.Advance(10000);
  diag.AddPoint(0, clock.Now(), 25);
  EXPECT_EQ(draws, before + 1);
  QApplication::processEvents();
  EXPECT_EQ(draws, before + 1);  // the axis move was drawn with it
  EXPECT_EQ(diag.Line(0)->Count(), 26);
  // What is shown is what a fresh drawing of the window gives.
  const QImage shown = diag.Plot1->Bitmap()->copy();
  EXPECT_EQ(Differing(shown, DrawnAfresh(*diag.Plot1)), 0);
}
