// The field kept from one drawing to the next: after every kind of change the
// off-screen image's field must show what a drawing from scratch shows, and
// while readings only slide the lines it must really be kept.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "diagram/plot/sgr_data.h"

namespace {

struct KeptField : ::testing::Test {
  Tsp_XYPlot plot;
  std::vector<std::unique_ptr<Tsp_XYLine>> lines;
  std::mt19937 rng{7};
  double now = 1000;
  int kept = 0, narrow = 0;

  KeptField() {
    QFont f = plot.font();
    f.setPixelSize(11);
    plot.setFont(f);
    plot.resize(420, 260);
    plot.SetBufferedDisplay(true);
    plot.BottomAxis().SetMinMax(0, 1000);
    plot.LeftAxis().SetMinMax(0, 100);
    plot.show();
  }

  // A dense noisy line ending at `now`, 2 pixels wide.
  Tsp_XYLine& AddLine(TColor colour, double centre, int points = 6000) {
    lines.push_back(std::make_unique<Tsp_XYLine>());
    Tsp_XYLine& l = *lines.back();
    l.LineAttr().SetWidth(2);
    l.LineAttr().SetColor(colour);
    plot.BeginUpdate();
    l.SetPlot(&plot);
    std::normal_distribution<double> noise(centre, 1.5);
    for (int i = 0; i < points; ++i) l.AddXY(now - 1000 + 1000.0 * i / points, noise(rng));
    plot.EndUpdate();
    return l;
  }

  // One reading as the diagram takes it: a point to line k, its oldest
  // points dropped, the time axis slid to the new point (a small fraction of
  // a pixel), drawn once.
  void Reading(size_t k, double step = 0.06) {
    now += step;
    Tsp_XYLine& l = *lines[k];
    std::normal_distribution<double> noise(20.0 + 20.0 * static_cast<double>(k), 1.5);
    plot.BeginUpdate();
    l.AddXY(now, noise(rng));
    while (l.Count() > 0 && l.GetX(0) < now - 1000) l.Delete(0);
    plot.BottomAxis().MoveMinMax(now - plot.BottomAxis().Max());
    plot.EndUpdate();
    kept += plot.KeptFieldLastTime();
    narrow += plot.KeptFieldLastTime() && plot.LastFieldColumns() < plot.FieldRect().width() / 2;
  }

  // The first field pixel where the shown image differs from the field
  // drawn from scratch the usual way (a marker that draws nothing keeps the
  // plot from keeping anything), or "". The plot then starts afresh.
  struct TNothing : Tsp_PlotMarker {
    void Draw() override {}
  };
  std::string FieldDiffers() {
    const QRect f = plot.FieldRect();
    const QImage shown = plot.Bitmap()->copy(f);
    TNothing nothing;
    plot.AddMarker(&nothing, dmAfterSeries);
    plot.RepaintNow();
    const QImage fresh = plot.Bitmap()->copy(f);
    plot.RemoveMarker(&nothing, dmAfterSeries);
    plot.RepaintNow();
    if (plot.Bitmap()->copy(f) != fresh) return "the first kept drawing differs";
    if (shown.size() != fresh.size()) return "sizes differ";
    for (int y = 0; y < shown.height(); ++y)
      for (int x = 0; x < shown.width(); ++x)
        if (shown.pixel(x, y) != fresh.pixel(x, y))
          return "pixel " + std::to_string(x + f.left()) + "," + std::to_string(y + f.top());
    return "";
  }

  // Readings, compared every third one so that kept drawings follow each
  // other.
  void Readings(int n, double step = 0.06) {
    for (int i = 0; i < n; ++i) {
      Reading(static_cast<size_t>(i) % lines.size(), step);
      if (i % 3 == 2) {
        ASSERT_EQ(FieldDiffers(), "") << "reading " << i;
      }
    }
  }
};

TEST_F(KeptField, SlidingReadingsRedrawFewColumnsAndMatchAFullDrawing) {
  for (int k = 0; k < 4; ++k) AddLine(0x0000C0u << (k % 3 * 8), 20.0 + 20.0 * k);
  plot.RepaintNow();
  ASSERT_EQ(FieldDiffers(), "");
  // A reading slides each column by a tenth of a line's point spacing, as
  // readings at the line's pace do with full buffers.
  Readings(60, 0.015);
  EXPECT_GE(kept, 55);
  EXPECT_GE(narrow, 30);  // most readings change a few columns only
  // The same on one thread.
  plot.SetTwoThreadDrawing(false);
  kept = narrow = 0;
  Readings(20, 0.015);
  EXPECT_GE(narrow, 10);
}

// The changes a kept picture could miss, each followed by readings.
TEST_F(KeptField, EveryChangeOfRangesSeriesAndLooksIsDrawn) {
  for (int k = 0; k < 3; ++k)
    AddLine(0x00A000u + static_cast<TColor>(k) * 0x500050u, 20.0 + 20.0 * k);
  plot.RepaintNow();
  Readings(8, 0.015);
  struct TChange {
    const char* Name;
    std::function<void()> Apply;
    bool Later = false;  // compared after the readings only
  };
  const std::vector<TChange> changes = {
      {"zoom", [&] { plot.BottomAxis().SetMinMax(now - 400, now - 100); }, true},
      {"back", [&] { plot.BottomAxis().SetMinMax(now - 1000, now); }, true},
      {"temperature range", [&] { plot.LeftAxis().SetMinMax(10, 70); }, true},
      {"new series", [&] { AddLine(0x804000u, 80, 3000); }},
      {"series cleared", [&] { lines[1]->Clear(); }},
      {"colour", [&] { lines[0]->LineAttr().SetColor(0xC000C0u); }},
      {"width", [&] { lines[2]->LineAttr().SetWidth(3); }},
      {"width back", [&] { lines[2]->LineAttr().SetWidth(2); }},
      {"hidden", [&] { lines[3]->LineAttr().SetVisible(false); }},
      {"shown", [&] { lines[3]->LineAttr().SetVisible(true); }},
      {"inactive", [&] { lines[0]->SetActive(false); }},
      {"active", [&] { lines[0]->SetActive(true); }},
      {"markers", [&] { lines[2]->PointAttr().SetVisible(true); }},
      {"no markers", [&] { lines[2]->PointAttr().SetVisible(false); }},
      {"oldest dropped",
       [&] {
         plot.BeginUpdate();
         for (int i = 0; i < 2500; ++i) lines[2]->Delete(0);
         plot.EndUpdate();
       }},
      {"field colour", [&] { plot.SetFieldColor(0xE0E0FFu); }},
      {"grid colour", [&] { plot.LeftAxis().GridAttr().SetColor(0x00FF00u); }},
      {"grid off", [&] { plot.BottomAxis().GridAttr().SetVisible(false); }},
      // The quick append draws its own segment until the next drawing.
      {"quick point", [&] { lines[0]->QuickAddXY(now, 99); }, true},
      {"resize", [&] { plot.resize(380, 240); }, true},
      {"one thread", [&] { plot.SetTwoThreadDrawing(false); }},
      {"removed", [&] { plot.RemoveSeries(lines[3].get()); }},
  };
  for (const TChange& c : changes) {
    c.Apply();
    plot.RepaintNow();
    // A new range shows its first tick's grid line only from the next
    // drawing on, kept or not; the readings below compare those.
    if (!c.Later) {
      ASSERT_EQ(FieldDiffers(), "") << "after " << c.Name;
    }
    // Readings past the end of a cleared line refill it.
    for (int i = 0; i < 3; ++i) Reading(static_cast<size_t>(i) % lines.size(), 0.015);
    ASSERT_EQ(FieldDiffers(), "") << "readings after " << c.Name;
  }
  EXPECT_GE(kept, 20);
}

// Many readings into a line whose ring has wrapped, on a time axis running
// right to left, and with a line leaving the field: the kept picture stays
// the drawn one.
TEST_F(KeptField, WrappedBuffersAndAReversedAxis) {
  AddLine(0x0000C0u, 30, 2000);
  AddLine(0xC00000u, 60, 2000);
  plot.RepaintNow();
  for (int i = 0; i < 300; ++i) Reading(static_cast<size_t>(i) % 2, 3.0);
  ASSERT_EQ(FieldDiffers(), "");
  plot.BottomAxis().SetInversed(true);
  plot.RepaintNow();
  ASSERT_EQ(FieldDiffers(), "");
  Readings(6);
  plot.BottomAxis().SetInversed(false);
  plot.LeftAxis().SetMinMax(40, 100);  // the first line below the field
  plot.RepaintNow();
  Readings(6);
  EXPECT_GT(kept, 0);
}

}  // namespace
