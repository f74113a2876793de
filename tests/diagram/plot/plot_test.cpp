// The plot widget: grid and axis room, the reduced drawing against every
// segment, drawing on two threads and after a failed line, and zoom, pan and
// double clicks with the mouse.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <cmath>
#include <memory>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_thread.h"

namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kGray = qRgb(128, 128, 128);

// A plot with a fixed font so that the layout does not depend on the machine.
struct PlotFixture : ::testing::Test {
  Tsp_XYPlot plot;
  PlotFixture() {
    QFont f = plot.font();
    f.setPixelSize(11);
    plot.setFont(f);
    plot.resize(300, 200);
  }
  QImage Render() { return plot.ToImage(); }
  void Send(QEvent::Type t, QPoint pos, Qt::MouseButton b, Qt::MouseButtons bs,
            Qt::KeyboardModifiers m) {
    QPointF p(pos);
    QMouseEvent e(t, p, plot.mapToGlobal(p), b, bs, m);
    QApplication::sendEvent(&plot, &e);
  }
  void Drag(QPoint from, QPoint to, Qt::KeyboardModifiers m) {
    Send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton, m);
    QPoint mid = (from + to) / 2;
    Send(QEvent::MouseMove, mid, Qt::NoButton, Qt::LeftButton, m);
    Send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton, m);
    Send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton, m);
  }
  QPoint At(double x, double y) {
    return QPoint(plot.BottomAxis().ValueToPixel(x), plot.LeftAxis().ValueToPixel(y));
  }
};

TEST_F(PlotFixture, GridOnlyStrictlyInsideTheField) {
  QImage img = Render();
  const int l = plot.FieldLeft(), t = plot.FieldTop(), r = plot.FieldRight(),
            b = plot.FieldBottom();
  // Ticks 0 and 10 fall on the field's first and last row/column.
  EXPECT_EQ(plot.LeftAxis().TickPos(0), b - 1);
  EXPECT_EQ(plot.LeftAxis().TickPos(plot.LeftAxis().TicksCount() - 1), t);
  // Rows t and b - 1 only cross the vertical grid lines; no horizontal one.
  auto grayIn = [&](int x0, int y0, int dx, int dy, int n) {
    int c = 0;
    for (int k = 0; k < n; ++k) c += img.pixel(x0 + k * dx, y0 + k * dy) == kGray;
    return c;
  };
  EXPECT_LE(grayIn(l, t, 1, 0, r - l), 5);
  EXPECT_LE(grayIn(l, b - 1, 1, 0, r - l), 5);
  EXPECT_LE(grayIn(l, t, 0, 1, b - t), 5);
  EXPECT_LE(grayIn(r - 1, t, 0, 1, b - t), 5);
  EXPECT_GE(grayIn(l, plot.LeftAxis().ValueToPixel(5), 1, 0, r - l), r - l - 5);
  const int mid = plot.LeftAxis().ValueToPixel(5);
  EXPECT_EQ(img.pixel((l + r) / 2 + 1, mid), kGray);
  const int col = plot.BottomAxis().ValueToPixel(2.5);
  EXPECT_EQ(img.pixel(col, (t + b) / 2 + 1), kGray);
  // The axis lines sit just outside the field.
  EXPECT_EQ(img.pixel(l - 1, (t + b) / 2), qRgb(0, 0, 0));
  EXPECT_EQ(img.pixel((l + r) / 2, b), qRgb(0, 0, 0));
}

TEST_F(PlotFixture, AxisRoomsAndMinimumField) {
  plot.LeftAxis().SetTicksCount(0);
  plot.BottomAxis().SetTicksCount(0);
  Render();
  // Without ticks each side needs its line width plus the margin.
  EXPECT_EQ(plot.FieldLeft(), 1 + 4);
  EXPECT_EQ(plot.FieldTop(), 1 + 4);
  EXPECT_EQ(plot.FieldRight(), 300 - 5);
  EXPECT_EQ(plot.FieldBottom(), 200 - 5);
  plot.LeftAxis().SetTicksCount(5);
  plot.BottomAxis().SetTicksCount(5);
  plot.LeftAxis().SetMargin(20);
  Render();
  EXPECT_GT(plot.FieldLeft(), 20 + 6);
  plot.resize(24, 22);
  QImage small = Render();
  EXPECT_EQ(plot.FieldRight() - plot.FieldLeft(), 3);
  EXPECT_EQ(plot.FieldBottom() - plot.FieldTop(), 3);
  // Too small a canvas is refused; nothing breaks.
  QImage tiny(9, 9, QImage::Format_RGB32);
  tiny.fill(kWhite);
  QPainter p(&tiny);
  plot.DrawToCanvas(&p, 9, 9);
  plot.DrawToCanvas(nullptr, 100, 100);
  p.end();
  EXPECT_EQ(tiny.pixel(4, 4), kWhite);
}

bool FieldHasColour(const QImage& img, const QRect& field, QRgb c) {
  for (int y = field.top(); y <= field.bottom(); ++y)
    for (int x = field.left(); x <= field.right(); ++x)
      if (img.pixel(x, y) == c) return true;
  return false;
}

TEST_F(PlotFixture, SeriesDrawsOnlyWhatIsVisible) {
  plot.LeftAxis().GridAttr().SetVisible(false);
  plot.BottomAxis().GridAttr().SetVisible(false);
  Tsp_XYLine line;
  line.LineAttr().SetColor(0xFF0000);
  line.PointAttr().SetVisible(true);
  line.PointAttr().SetColor(0x00FF00);
  line.SetPlot(&plot);
  const QRgb red = qRgb(255, 0, 0), green = qRgb(0, 255, 0);
  // Wholly right of the bottom axis: nothing, not even markers.
  line.AddXY(20, 5);
  line.AddXY(30, 6);
  QImage img = Render();
  EXPECT_FALSE(FieldHasColour(img, plot.FieldRect(), red));
  EXPECT_FALSE(FieldHasColour(img, plot.FieldRect(), green));
  // One visible point: its marker only.
  line.Delete(1);
  line.Delete(0);
  line.AddXY(5, 5);
  img = Render();
  EXPECT_TRUE(FieldHasColour(img, plot.FieldRect(), green));
  EXPECT_FALSE(FieldHasColour(img, plot.FieldRect(), red));
  line.PointAttr().SetVisible(false);
  img = Render();
  EXPECT_FALSE(FieldHasColour(img, plot.FieldRect(), green));
  // Huge and non-finite values neither crash nor leave the field.
  line.AddXY(6, 1e300);
  line.AddXY(7, std::nan(""));
  line.AddXY(8, -INFINITY);
  line.AddXY(9, 5);
  img = Render();
  EXPECT_TRUE(FieldHasColour(img, plot.FieldRect(), red));
}

// Random walk with noise and rare spikes, drawn both ways.
TEST_F(PlotFixture, ReducedDrawingMatchesEverySegment) {
  plot.resize(635, 419);
  plot.LeftAxis().SetMinMax(-200, 200);
  const int n = 200000;
  plot.BottomAxis().SetMinMax(0, n);
  Tsp_XYLine line;
  line.LineAttr().SetWidth(2);
  line.LineAttr().SetColor(0x0000FF);
  std::mt19937 rng(3);
  std::normal_distribution<double> step(0, 0.5), noise(0, 2);
  double w = 0;
  std::vector<int> spikes;
  for (int i = 0; i < n; ++i) {
    w += step(rng);
    w = std::max(-150.0, std::min(150.0, w));
    double y = w + noise(rng);
    if (i % 50000 == 25000) {
      y = w + 100;
      spikes.push_back(i);
    }
    line.AddXY(i, y);
  }
  line.SetPlot(&plot);
  ASSERT_TRUE(line.XSorted());
  QImage fast = Render();
  line.SetLineDrawing(ldEverySegment);
  QImage exact = Render();
  const QRect f = plot.FieldRect();
  int diff = 0;
  for (int y = f.top(); y <= f.bottom(); ++y)
    for (int x = f.left(); x <= f.right(); ++x) diff += fast.pixel(x, y) != exact.pixel(x, y);
  EXPECT_LE(diff, f.width() * f.height() / 200) << diff << " pixels differ";
  const QRgb blue = qRgb(0, 0, 255);
  for (int i : spikes) {
    QPoint top = At(i, line.GetY(i));
    EXPECT_EQ(fast.pixel(top.x(), top.y() + 1), blue) << "spike at " << i;
  }
  // Zoomed in, with points left and right of the visible range.
  plot.BottomAxis().SetMinMax(100000, 100300);
  line.SetLineDrawing(ldReduced);
  fast = Render();
  line.SetLineDrawing(ldEverySegment);
  exact = Render();
  diff = 0;
  for (int y = f.top(); y <= f.bottom(); ++y)
    for (int x = f.left(); x <= f.right(); ++x) diff += fast.pixel(x, y) != exact.pixel(x, y);
  EXPECT_LE(diff, f.width() * f.height() / 200);
}

// The same picture both ways, for every density of points a
// column can hold: one point in several columns (short time ranges), a few
// points walked one by one, more than that looked up, steep steps drawn
// without the shape table, a scale running downwards and lines cut at both
// field edges.
TEST_F(PlotFixture, ReducedDrawingMatchesForEveryColumnDensity) {
  plot.resize(635, 419);
  plot.LeftAxis().SetMinMax(-120, 120);
  Tsp_XYLine a, b, c;
  int colour = 0;
  for (Tsp_XYLine* l : {&a, &b, &c}) {
    l->LineAttr().SetWidth(2);
    l->LineAttr().SetColor(colour += 0x3F2F1F);
  }
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0, 3);
  double x = 0;
  // Point spacing goes from several pixels down to a fraction of one.
  for (int i = 0; i < 6000; ++i) {
    const double step = i < 300 ? 3.0 : i < 900 ? 0.9 : i < 2000 ? 0.2 : i < 4000 ? 0.13 : 0.02;
    x += step;
    a.AddXY(x, 20 * std::sin(x / 15) + noise(rng));
    b.AddXY(x, (i % 37 == 0 ? 110 : -40) + noise(rng));  // steep steps
    c.AddXY(x, -100 + (i % 9) * 25.0);                   // zigzag across the column ends
  }
  for (Tsp_XYLine* l : {&a, &b, &c}) l->SetPlot(&plot);
  auto compare = [&] {
    for (Tsp_XYLine* l : {&a, &b, &c}) l->SetLineDrawing(ldEverySegment);
    Render();  // settles the layout after the range change
    const QImage exact = Render();
    for (Tsp_XYLine* l : {&a, &b, &c}) l->SetLineDrawing(ldReduced);
    const QImage fast = Render();
    const QRect f = plot.FieldRect();
    int diff = 0;
    for (int y = f.top(); y <= f.bottom(); ++y)
      for (int xx = f.left(); xx <= f.right(); ++xx)
        diff += fast.pixel(xx, y) != exact.pixel(xx, y);
    return diff;
  };
  // Steep segments (dozens of pixels over one or two columns) may differ from
  // the painter's own stroking in a few edge pixels; anything wrong with the
  // columns would differ in thousands.
  const int tolerance = plot.width() * plot.height() / 500;
  plot.BottomAxis().SetMinMax(0, x);
  EXPECT_LE(compare(), tolerance) << "whole range";
  plot.BottomAxis().SetMinMax(150, 600);  // sparse and medium, cut at both edges
  EXPECT_LE(compare(), tolerance) << "sparse";
  plot.BottomAxis().SetMinMax(x - 30, x + 5);  // dense, ending inside the field
  EXPECT_LE(compare(), tolerance) << "dense";
  plot.LeftAxis().SetInversed(true);
  EXPECT_LE(compare(), tolerance) << "downward scale";
}

int FieldDiff(const QImage& a, const QImage& b, const QRect& f) {
  int diff = 0;
  for (int y = f.top(); y <= f.bottom(); ++y)
    for (int x = f.left(); x <= f.right(); ++x) diff += a.pixel(x, y) != b.pixel(x, y);
  return diff;
}

// Hands every drawing to the helper thread, however far apart the renders
// come, so that the two-thread pictures below are really drawn on two.
struct TEveryRunOnHelper {
  TEveryRunOnHelper() {
    if (Tsp_DrawHelper* h = Tsp_DrawHelper::Get()) h->SetEveryRun(true);
  }
  ~TEveryRunOnHelper() {
    if (Tsp_DrawHelper* h = Tsp_DrawHelper::Get()) h->SetEveryRun(false);
  }
};

// Many lines are drawn on two threads; the picture must be the one drawn on
// one, pixel for pixel: lines crossing each other come out in their order,
// series that cannot be drawn straight into the image (markers, a thin pen,
// every-segment drawing) keep their place between them, and so do inactive
// ones. Checked while the time axis slides, as it does with every reading.
TEST_F(PlotFixture, TwoThreadDrawingMatchesOneThread) {
  TEveryRunOnHelper everyRun;
  plot.resize(635, 419);
  plot.LeftAxis().SetMinMax(-60, 60);
  std::vector<std::unique_ptr<Tsp_XYLine>> lines;
  std::mt19937 rng(5);
  std::normal_distribution<double> step(0, 1.5);
  for (int k = 0; k < 24; ++k) {
    auto l = std::make_unique<Tsp_XYLine>();
    l->LineAttr().SetWidth(k % 5 == 4 ? 3 : 2);
    l->LineAttr().SetColor(static_cast<TColor>(0x102030 * (k + 1) & 0xFFFFFF));
    // Point spacing from several pixels down to many points per column.
    const double dx = k < 8 ? 0.7 : k < 16 ? 0.05 : 0.004;
    double w = 0;
    for (double x = 0; x < 1000; x += dx) {
      w = std::max(-55.0, std::min(55.0, w + step(rng)));
      l->AddXY(x, w);
    }
    lines.push_back(std::move(l));
  }
  lines[6]->PointAttr().SetVisible(true);
  lines[11]->LineAttr().SetWidth(1);
  lines[15]->SetLineDrawing(ldEverySegment);
  lines[19]->SetActive(false);
  for (auto& l : lines) l->SetPlot(&plot);
  plot.BottomAxis().SetMinMax(200, 800);
  Render();  // settles the layout after the range change
  for (int move = 0; move < 6; ++move) {
    plot.SetTwoThreadDrawing(true);
    const QImage two = Render();
    const bool usedTwo = plot.DrewOnTwoThreads();
    plot.SetTwoThreadDrawing(false);
    const QImage one = Render();
    EXPECT_FALSE(plot.DrewOnTwoThreads());
    if (Tsp_DrawHelper::Get()) {
      EXPECT_TRUE(usedTwo);
    }
    EXPECT_EQ(FieldDiff(two, one, plot.FieldRect()), 0) << "after move " << move;
    plot.BottomAxis().MoveMinMax(move < 3 ? 0.37 : 25.0);
  }
}

// Lines on top of each other: wherever they run, the last one added shows.
TEST_F(PlotFixture, OverlappingLinesShowTheLastOneOnTwoThreads) {
  TEveryRunOnHelper everyRun;
  plot.resize(635, 419);
  plot.LeftAxis().SetMinMax(-10, 10);
  plot.BottomAxis().SetMinMax(0, 100);
  std::vector<std::unique_ptr<Tsp_XYLine>> lines;
  for (int k = 0; k < 12; ++k) {
    auto l = std::make_unique<Tsp_XYLine>();
    l->LineAttr().SetWidth(2);
    l->LineAttr().SetColor(static_cast<TColor>(0x000011 * (k + 1)));
    for (int i = 0; i <= 2000; ++i) l->AddXY(i * 0.05, 8 * std::sin(i * 0.01));
    l->SetPlot(&plot);
    lines.push_back(std::move(l));
  }
  const QImage img = Render();
  if (Tsp_DrawHelper::Get()) {
    EXPECT_TRUE(plot.DrewOnTwoThreads());
  }
  const QRgb last = qRgb(0, 0, 0x11 * 12);
  int lastPixels = 0, others = 0;
  const QRect f = plot.FieldRect();
  for (int y = f.top(); y <= f.bottom(); ++y)
    for (int x = f.left(); x <= f.right(); ++x) {
      const QRgb c = img.pixel(x, y);
      if (c == last)
        ++lastPixels;
      else if (qRed(c) == 0 && qGreen(c) == 0 && qBlue(c) > 0)
        ++others;
    }
  EXPECT_GT(lastPixels, 500);
  EXPECT_EQ(others, 0);
}

// A line whose segments cannot be found (memory ran out) fails the drawing
// on the GUI thread, whichever of the two threads met the failure, and the
// plot draws as before afterwards: nothing hangs, no thread is lost.
struct TFailingLine : Tsp_XYLine {
  bool Fail = true;
  void DirectBuild(std::vector<TPixelSegment>& segs) override {
    if (Fail) throw std::bad_alloc();
    Tsp_XYLine::DirectBuild(segs);
  }
};

TEST_F(PlotFixture, AFailedLineFailsTheDrawingAndTheNextOneWorks) {
  plot.resize(635, 419);
  plot.BottomAxis().SetMinMax(0, 100);
  std::vector<std::unique_ptr<TFailingLine>> lines;
  for (int k = 0; k < 16; ++k) {
    auto l = std::make_unique<TFailingLine>();
    l->LineAttr().SetWidth(2);
    // While the GUI thread works through the long first line, the helper
    // takes the second, which fails, and the GUI thread must not wait for
    // it for ever (or it takes the second itself and fails there).
    l->Fail = k == 1;
    const int n = k == 0 ? 400000 : 2000;
    for (int i = 0; i <= n; ++i) l->AddXY(i * 100.0 / n, 8 * std::sin(i * 20.0 / n + k));
    l->SetPlot(&plot);
    lines.push_back(std::move(l));
  }
  for (int round = 0; round < 30; ++round) {
    plot.LeftAxis().SetMinMax(-10 - round * 0.1, 10);  // no columns kept: the first line is slow
    EXPECT_THROW(Render(), std::bad_alloc);
  }
  for (auto& l : lines) l->Fail = false;
  const QImage two = Render();
  plot.SetTwoThreadDrawing(false);
  EXPECT_EQ(FieldDiff(two, Render(), plot.FieldRect()), 0);
}

struct MousePlot : PlotFixture {
  int fieldDraws = 0;
  MousePlot() {
    plot.SetBufferedDisplay(true);
    plot.OnFieldDraw = [this](Tsp_XYPlot*) { ++fieldDraws; };
    plot.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&plot));
    plot.repaint();
  }
};

TEST_F(MousePlot, RubberBandZoomAndUndo) {
  QPoint a = At(2, 8), b = At(6, 2);
  int draws = fieldDraws;
  Send(QEvent::MouseButtonPress, a, Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(plot.MouseState(), TMouseState::ZoomPending);
  Send(QEvent::MouseMove, a + QPoint(2, 3), Qt::NoButton, Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(plot.MouseState(), TMouseState::ZoomPending);  // within 3 pixels
  Send(QEvent::MouseMove, b, Qt::NoButton, Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(plot.MouseState(), TMouseState::Zooming);
  // The band shows over the buffered picture without redrawing the field.
  QImage shown = plot.grab().toImage().convertToFormat(QImage::Format_RGB32);
  int dark = 0;
  for (int x = a.x(); x <= b.x(); ++x) dark += qGray(shown.pixel(x, a.y())) < 64;
  EXPECT_GT(dark, (b.x() - a.x()) / 4);
  EXPECT_EQ(fieldDraws, draws);
  Send(QEvent::MouseButtonRelease, b, Qt::LeftButton, Qt::NoButton, Qt::ShiftModifier);
  EXPECT_EQ(plot.MouseState(), TMouseState::Idle);
  EXPECT_NEAR(plot.BottomAxis().Min(), 2, 0.1);
  EXPECT_NEAR(plot.BottomAxis().Max(), 6, 0.1);
  EXPECT_NEAR(plot.LeftAxis().Min(), 2, 0.15);
  EXPECT_NEAR(plot.LeftAxis().Max(), 8, 0.15);
  // A second zoom, then a Shift click undoes both.
  plot.repaint();
  Drag(At(3, 6), At(5, 4), Qt::ShiftModifier);
  EXPECT_LT(plot.BottomAxis().Max() - plot.BottomAxis().Min(), 3);
  QPoint c = At(4, 5);
  Send(QEvent::MouseButtonPress, c, Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
  Send(QEvent::MouseButtonRelease, c, Qt::LeftButton, Qt::NoButton, Qt::ShiftModifier);
  EXPECT_DOUBLE_EQ(plot.BottomAxis().Min(), 0);
  EXPECT_DOUBLE_EQ(plot.BottomAxis().Max(), 10);
  EXPECT_DOUBLE_EQ(plot.LeftAxis().Max(), 10);
}

TEST_F(MousePlot, SmallBandsAndProgramMovesDisableUndo) {
  QPoint a = At(5, 5);
  Drag(a, a + QPoint(2, 40), Qt::ShiftModifier);  // moved > 3 but only 2 wide
  EXPECT_DOUBLE_EQ(plot.BottomAxis().Max(), 10);
  Drag(At(2, 8), At(6, 2), Qt::ShiftModifier);
  plot.BottomAxis().MoveMinMax(1);  // the program moves an axis
  QPoint c = At(4, 5);
  Send(QEvent::MouseButtonPress, c, Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
  Send(QEvent::MouseButtonRelease, c, Qt::LeftButton, Qt::NoButton, Qt::ShiftModifier);
  EXPECT_NEAR(plot.BottomAxis().Min(), 3, 0.1);  // no undo
}

TEST_F(MousePlot, PanFollowsThePointer) {
  const double ppu = plot.BottomAxis().PixelsPerUnit();
  QPoint a = At(5, 5);
  Drag(a, a + QPoint(20, 0), Qt::ControlModifier);
  EXPECT_NEAR(plot.BottomAxis().Min(), -20 / ppu, 1e-9);
  EXPECT_DOUBLE_EQ(plot.LeftAxis().Min(), 0);
  EXPECT_EQ(plot.MouseState(), TMouseState::Idle);
  // Dragging down moves the vertical range up.
  Drag(a, a + QPoint(0, 10), Qt::ControlModifier);
  EXPECT_GT(plot.LeftAxis().Min(), 0);
}

TEST_F(MousePlot, OnlyTheLeftButtonDoubleClicks) {
  int handler = 0, signal = 0;
  plot.OnDblClick = [&](Tsp_XYPlot* sender) {
    EXPECT_EQ(sender, &plot);
    ++handler;
  };
  QObject::connect(&plot, &Tsp_XYPlot::DblClick, [&] { ++signal; });
  const QPoint mid = At(5, 5);
  for (Qt::MouseButton b : {Qt::RightButton, Qt::MiddleButton}) {
    Send(QEvent::MouseButtonPress, mid, b, b, Qt::NoModifier);
    Send(QEvent::MouseButtonRelease, mid, b, Qt::NoButton, Qt::NoModifier);
    Send(QEvent::MouseButtonDblClick, mid, b, b, Qt::NoModifier);
    Send(QEvent::MouseButtonRelease, mid, b, Qt::NoButton, Qt::NoModifier);
  }
  EXPECT_EQ(handler, 0);
  EXPECT_EQ(signal, 0);
  Send(QEvent::MouseButtonPress, mid, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  Send(QEvent::MouseButtonRelease, mid, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  Send(QEvent::MouseButtonDblClick, mid, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  Send(QEvent::MouseButtonRelease, mid, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  EXPECT_EQ(handler, 1);
  EXPECT_EQ(signal, 1);
}

TEST_F(MousePlot, ExtraModifierStartsNothing) {
  Send(QEvent::MouseButtonPress, At(2, 8), Qt::LeftButton, Qt::LeftButton,
       Qt::ShiftModifier | Qt::ControlModifier);
  EXPECT_EQ(plot.MouseState(), TMouseState::Idle);
  Send(QEvent::MouseMove, At(6, 2), Qt::NoButton, Qt::LeftButton,
       Qt::ShiftModifier | Qt::ControlModifier);
  Send(QEvent::MouseButtonRelease, At(6, 2), Qt::LeftButton, Qt::NoButton,
       Qt::ShiftModifier | Qt::ControlModifier);
  Drag(At(2, 8), At(6, 2), Qt::NoModifier);  // plain drag does nothing either
  EXPECT_DOUBLE_EQ(plot.BottomAxis().Min(), 0);
  EXPECT_DOUBLE_EQ(plot.BottomAxis().Max(), 10);
  EXPECT_DOUBLE_EQ(plot.LeftAxis().Max(), 10);
}

TEST_F(MousePlot, AxisZoomVetoAndHorizontalOnly) {
  plot.OnAxisZoom = [this](Tsp_Axis* a, double&, double&, bool& can) {
    if (a == &plot.LeftAxis()) can = false;
  };
  Drag(At(2, 8), At(6, 2), Qt::ShiftModifier);
  EXPECT_DOUBLE_EQ(plot.LeftAxis().Max(), 10);
  EXPECT_NEAR(plot.BottomAxis().Max(), 6, 0.1);
  plot.OnAxisZoom = nullptr;
  plot.RestoreRanges();
  plot.SetZoom(zpdHorizontal);
  Drag(At(2, 8), At(6, 7), Qt::ShiftModifier);  // band spans the full height
  EXPECT_NEAR(plot.BottomAxis().Min(), 2, 0.1);
  EXPECT_DOUBLE_EQ(plot.LeftAxis().Min(), 0);
  EXPECT_DOUBLE_EQ(plot.LeftAxis().Max(), 10);
}

TEST_F(MousePlot, AddingPointsRedrawsOnlyTheField) {
  Tsp_XYLine line;
  line.SetPlot(&plot);
  plot.repaint();
  ASSERT_TRUE(plot.LayoutValid() && plot.FrameValid() && plot.FieldValid());
  int draws = fieldDraws;
  line.AddXY(1, 1);
  line.AddXY(2, 3);
  EXPECT_EQ(fieldDraws, draws + 2);  // repainted synchronously each time
  EXPECT_TRUE(plot.FrameValid());
  plot.BottomAxis().MoveMinMax(0.5);
  EXPECT_FALSE(plot.FrameValid());
  EXPECT_TRUE(plot.LayoutValid());
  // Automatic maximum only: current minimum kept, 2.5 % added on top.
  plot.LeftAxis().SetAutoMax(true);
  EXPECT_DOUBLE_EQ(plot.LeftAxis().Min(), 0);
  EXPECT_DOUBLE_EQ(plot.LeftAxis().Max(), 3 + 0.025 * 3);
}

}  // namespace
