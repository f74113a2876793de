// The kept field: drawings at a line's pace redraw only the columns that
// changed. Two plots get the same data and the same axis moves, one with the
// kept field and one drawing every field in full; after every drawing their
// off-screen images must agree pixel for pixel, while the kept one really
// redraws only a small part.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBackingStore>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "diagram/plot/sgr_data.h"
#include "diagram/plot/sgr_def.h"

namespace {

struct TTwin {
  Tsp_XYPlot Plot;
  std::vector<std::unique_ptr<Tsp_XYLine>> Lines;
};

class KeptField : public ::testing::Test {
 protected:
  TTwin kept, full;
  std::mt19937 rng{11};

  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    // These plots paint to the window, and Qt (not built for the thread
    // checker) copies large images on its own pooled threads, which the
    // checker reports as races inside Qt. The kept field runs on one thread;
    // the two-thread drawing has its own tests here.
    GTEST_SKIP() << "paints through Qt's pooled threads";
#endif
    full.Plot.SetKeptField(false);
    for (TTwin* t : {&kept, &full}) {
      t->Plot.resize(635, 419);
      t->Plot.SetBufferedDisplay(true);
      t->Plot.LeftAxis().SetMinMax(-20, 120);
      t->Plot.show();
    }
  }

  // The same change on both plots.
  void Both(const std::function<void(TTwin&)>& change) {
    change(kept);
    change(full);
  }

  void AddLines(int n, double spacing, double from, double to, int width = 2, double step = 10) {
    std::normal_distribution<double> noise(0, 0.8);
    for (int k = 0; k < n; ++k) {
      std::vector<std::pair<double, double>> pts;
      for (double x = from; x < to; x += spacing) pts.push_back({x, step * k + noise(rng)});
      Both([&](TTwin& t) {
        auto l = std::make_unique<Tsp_XYLine>();
        l->LineAttr().SetWidth(width);
        l->LineAttr().SetColor(static_cast<TColor>((0x3A1F77u * (k + 1)) & 0xFFFFFF));
        for (auto& p : pts) l->AddXY(p.first, p.second);
        l->SetPlot(&t.Plot);
        t.Lines.push_back(std::move(l));
      });
    }
  }

  // One reading, as the diagram takes it: a point on one line, the oldest
  // points dropped, the time axis moved to the new point; drawn once.
  void Reading(int line, double x, double y, double keep) {
    Both([&](TTwin& t) {
      t.Plot.BeginUpdate();
      Tsp_XYLine& l = *t.Lines[static_cast<size_t>(line)];
      l.AddXY(x, y);
      while (l.Count() > 0 && l.GetX(0) < x - keep) l.Delete(0);
      t.Plot.BottomAxis().MoveMinMax(x - t.Plot.BottomAxis().Max());
      t.Plot.EndUpdate();
    });
  }

  // Drawings more than a millisecond apart count as a line's pace.
  static void Pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  int Differing() {
    const QImage* a = kept.Plot.Bitmap();
    const QImage* b = full.Plot.Bitmap();
    if (!a || !b || a->size() != b->size()) return -1;
    const QRect f = kept.Plot.FieldRect();
    if (f != full.Plot.FieldRect()) return -2;
    int diff = 0;
    for (int y = f.top(); y <= f.bottom(); ++y)
      for (int x = f.left(); x <= f.right(); ++x) diff += a->pixel(x, y) != b->pixel(x, y);
    return diff;
  }

  void Settle() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
    Both([](TTwin& t) { t.Plot.RepaintNow(); });
    Pause();
  }
};

// Dense noisy lines over a sliding time axis, spikes now and then: every
// drawing the same as the full one, most of them redrawing little.
TEST_F(KeptField, ReadingsAtALinesPaceMatchAFullDrawing) {
  constexpr int kLines = 8;
  AddLines(kLines, 0.5, 0, 3600);
  Both([](TTwin& t) { t.Plot.BottomAxis().SetMinMax(0, 3600); });
  Settle();
  std::normal_distribution<double> noise(0, 0.8);
  double x = 3600;
  int small = 0, readings = 0;
  for (int i = 0; i < 160; ++i, ++readings) {
    x += 0.0625;
    const int line = i % kLines;
    const double y = 10.0 * line + (i % 37 == 5 ? 60 : noise(rng));
    Reading(line, x, y, 3600);
    ASSERT_EQ(Differing(), 0) << "after reading " << i;
    small += kept.Plot.LastRedrawnShare() < 0.5;
    EXPECT_EQ(full.Plot.LastRedrawnShare(), 1.0);
    Pause();
  }
  EXPECT_GT(small, readings * 3 / 4) << "the kept field was rarely used";
}

// Lines a degree or so apart, so that each one's changes fall among the
// others' pixels: what is redrawn in a changed place must take in every line
// that reaches it, to the last row of its pen.
TEST_F(KeptField, CloseLinesAtALinesPaceMatchAFullDrawing) {
  constexpr int kLines = 12;
  AddLines(kLines, 2, 0, 3600, 2, 1.3);
  Both([](TTwin& t) {
    t.Plot.BottomAxis().SetMinMax(0, 3600);
    t.Plot.LeftAxis().SetMinMax(-2, 20);
  });
  Settle();
  std::normal_distribution<double> noise(0, 0.8);
  double x = 3600;
  for (int i = 0; i < 240; ++i) {
    x += 0.25;
    const int line = i % kLines;
    Reading(line, x, 1.3 * line + (i % 29 == 7 ? 6 : noise(rng)), 3600);
    ASSERT_EQ(Differing(), 0) << "after reading " << i;
    Pause();
  }
}

// Readings eight steps of the last bit apart on a date-time, zoomed in so
// far that a pixel spans a hundred steps: the columns kept across slides
// must still be exactly those a full drawing finds.
TEST_F(KeptField, DeepZoomOnDateTimesMatchesAFullDrawing) {
  constexpr int kLines = 4;
  const double day = 46000, bit = std::ldexp(1.0, -37);  // the last bit there
  ASSERT_EQ(std::nextafter(day, 1e9) - day, bit);
  const double spacing = 8 * bit, span = 7000 * spacing;
  AddLines(kLines, spacing, day, day + span);
  Both([&](TTwin& t) { t.Plot.BottomAxis().SetMinMax(day, day + span); });
  Settle();
  std::normal_distribution<double> noise(0, 0.8);
  double x = day + span;
  int small = 0;
  for (int i = 0; i < 120; ++i) {
    x += bit;
    const int line = i % kLines;
    Reading(line, x, 10.0 * line + noise(rng), span);
    ASSERT_EQ(Differing(), 0) << "after reading " << i;
    small += kept.Plot.LastRedrawnShare() < 0.5;
    Pause();
  }
  EXPECT_GT(small, 60) << "the kept field was rarely used";
}

// Everything that is not a slide of the time axis or new data: a new
// temperature range, a colour, a width, a hidden line, a zoom; each drawn at
// a line's pace right after readings, each the same as a full drawing.
TEST_F(KeptField, OtherChangesAreDrawnInFull) {
  AddLines(4, 0.25, 0, 600);
  AddLines(2, 3.0, 0, 600, 3);  // a wider pen and sparse points
  Both([](TTwin& t) { t.Plot.BottomAxis().SetMinMax(0, 600); });
  Settle();
  double x = 600;
  std::normal_distribution<double> noise(0, 0.8);
  const std::vector<std::function<void(TTwin&)>> changes = {
      [](TTwin& t) { t.Plot.LeftAxis().SetMinMax(-10, 90); },
      [](TTwin& t) { t.Lines[1]->LineAttr().SetColor(0x00FF00); },
      [](TTwin& t) { t.Lines[2]->LineAttr().SetWidth(4); },
      [](TTwin& t) { t.Lines[0]->SetActive(false); },
      [](TTwin& t) { t.Lines[0]->SetActive(true); },
      [](TTwin& t) { t.Plot.SetFieldColor(0xE0E0E0); },
      [](TTwin& t) { t.Plot.BottomAxis().GridAttr().SetColor(0x0000FF); },
      [](TTwin& t) { t.Lines[3]->Clear(); },
      [](TTwin& t) {
        const double m = t.Plot.BottomAxis().Max();
        t.Plot.BottomAxis().SetMinMax(m - 300, m);
      },
  };
  for (size_t c = 0; c < changes.size(); ++c) {
    for (int i = 0; i < 12; ++i) {
      x += 0.5;
      Reading(i % 6, x, 10.0 * (i % 6) + noise(rng), 600);
      ASSERT_EQ(Differing(), 0) << "change " << c << ", reading " << i;
      Pause();
    }
    Both(changes[c]);
    Both([](TTwin& t) { t.Plot.RepaintNow(); });
    ASSERT_EQ(Differing(), 0) << "right after change " << c;
    Pause();
  }
}

// A line with a gap (the program was disconnected for a while) joins its
// two sides with one long stroke across the others. Their columns change
// under it as the axis slides, and each redrawn column must redraw the
// piece of the stroke that crosses it.
TEST_F(KeptField, ALongJoinOverAGapIsRedrawnWhereItCrossesChanges) {
  AddLines(5, 0.5, 0, 3600);
  std::vector<std::pair<double, double>> gap;
  for (double x = 0; x < 3600; x += 0.5)
    if (x < 1200 || x > 2600) gap.push_back({x, x < 1200 ? -10.0 : 55.0});
  Both([&](TTwin& t) {
    auto l = std::make_unique<Tsp_XYLine>();
    l->LineAttr().SetWidth(2);
    l->LineAttr().SetColor(0x202020);
    for (auto& p : gap) l->AddXY(p.first, p.second);
    l->SetPlot(&t.Plot);
    t.Lines.push_back(std::move(l));
  });
  Both([](TTwin& t) { t.Plot.BottomAxis().SetMinMax(0, 3600); });
  Settle();
  std::normal_distribution<double> noise(0, 0.8);
  double x = 3600;
  int small = 0;
  for (int i = 0; i < 120; ++i) {
    x += 0.0625;
    const int line = i % 6;
    Reading(line, x, line == 5 ? 55.0 : 10.0 * line + noise(rng), 3600);
    ASSERT_EQ(Differing(), 0) << "after reading " << i;
    small += kept.Plot.LastRedrawnShare() < 0.5;
    Pause();
  }
  EXPECT_GT(small, 60) << "the kept field was rarely used";
}

// What the window's buffer holds where the plot is: what the screen gets.
QImage OnScreen(Tsp_XYPlot& p) {
  QBackingStore* store = p.window()->backingStore();
  QPaintDevice* dev = store ? store->paintDevice() : nullptr;
  if (!dev || dev->devType() != QInternal::Image) return QImage();
  return static_cast<QImage*>(dev)
      ->copy(QRect(p.mapTo(p.window(), QPoint()), p.size()))
      .convertToFormat(QImage::Format_RGB32);
}

int DifferingOnScreen(Tsp_XYPlot& p, const QRect& skip = QRect()) {
  const QImage shown = OnScreen(p);
  const QImage* img = p.Bitmap();
  if (shown.isNull() || !img || shown.size() != img->size()) return -1;
  int diff = 0;
  for (int y = 0; y < shown.height(); ++y)
    for (int x = 0; x < shown.width(); ++x)
      if (!skip.contains(x, y)) diff += shown.pixel(x, y) != img->pixel(x, y);
  return diff;
}

struct TPaintCount : QObject {
  int Paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    Paints += e->type() == QEvent::Paint;
    return false;
  }
};

// The columns a drawing at a line's pace changed reach the window without a
// paint event, and the window shows what the image holds; with something
// over the plot, the cursor line shown or the direct copy switched off, a
// paint shows them instead, and just as right.
TEST_F(KeptField, TheWindowShowsWhatTheImageHolds) {
  AddLines(6, 0.5, 0, 3600);
  Both([](TTwin& t) { t.Plot.BottomAxis().SetMinMax(0, 3600); });
  Settle();
  TPaintCount paints;
  kept.Plot.installEventFilter(&paints);
  std::normal_distribution<double> noise(0, 0.8);
  double x = 3600;
  auto readings = [&](int n, const char* what, const QRect& skip = QRect()) {
    for (int i = 0; i < n; ++i) {
      x += 0.0625;
      Reading(i % 6, x, 10.0 * (i % 6) + noise(rng), 3600);
      ASSERT_EQ(Differing(), 0) << what << ", reading " << i;
      ASSERT_EQ(DifferingOnScreen(kept.Plot, skip), 0) << what << ", reading " << i;
      Pause();
    }
  };
  readings(40, "direct");
  if (QGuiApplication::platformName() == "xcb") {
    // On a real display, what the X server shows (the twin moved aside).
    full.Plot.move(kept.Plot.width() + 20, 0);
    QApplication::processEvents();
    readings(5, "direct, beside");
    const QImage grabbed =
        kept.Plot.screen()
            ->grabWindow(kept.Plot.winId(), 0, 0, kept.Plot.width(), kept.Plot.height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(grabbed.size(), kept.Plot.size());
    int diff = 0;
    for (int y = 0; y < grabbed.height(); ++y)
      for (int x = 0; x < grabbed.width(); ++x)
        diff += grabbed.pixel(x, y) != kept.Plot.Bitmap()->pixel(x, y);
    EXPECT_EQ(diff, 0) << "the screen shows something else";
  }
  // The first drawing after the axis first moves redraws the frame too.
  EXPECT_LE(paints.Paints, 2) << "the changed columns were painted, not copied";
  EXPECT_LT(kept.Plot.LastRedrawnShare(), 0.5);

  kept.Plot.SetDirectShow(false);
  readings(10, "painted");
  EXPECT_GT(paints.Paints, 0);
  kept.Plot.SetDirectShow(true);

  {
    // A child over part of the field: the copy would draw over it.
    QLabel over("over", &kept.Plot);
    over.setGeometry(100, 100, 60, 30);
    over.setAutoFillBackground(true);
    over.show();
    QApplication::processEvents();
    paints.Paints = 0;
    readings(10, "covered", over.geometry());
    EXPECT_GT(paints.Paints, 0);
    const QImage shown = OnScreen(kept.Plot);
    EXPECT_NE(shown.pixel(130, 115), kept.Plot.Bitmap()->pixel(130, 115))
        << "the child was drawn over";
  }
  QApplication::processEvents();

  // The cursor line on, left of the field: a paint, with nothing to invert.
  kept.Plot.SetXCursorVal(-1000);
  kept.Plot.SetXCursorOn(true);
  paints.Paints = 0;
  readings(10, "cursor");
  EXPECT_GT(paints.Paints, 0);
  kept.Plot.SetXCursorOn(false);
  readings(10, "direct again");
}

// The picture after something drew into the off-screen image from outside
// (a quick append) is a full one again once the field is forgotten.
TEST_F(KeptField, AQuickAppendIsCoveredByTheNextDrawing) {
  AddLines(3, 0.5, 0, 300);
  Both([](TTwin& t) { t.Plot.BottomAxis().SetMinMax(0, 300); });
  Settle();
  Both([](TTwin& t) { t.Lines[0]->QuickAddXY(300.5, 90); });
  Pause();
  Reading(1, 301, 10, 300);
  EXPECT_EQ(Differing(), 0);
}

}  // namespace
