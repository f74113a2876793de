// The axis scale: refused and widened ranges, tick values, pixel mapping,
// scrolling, label formats and the room the labels take.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "diagram/plot/sgr_scale.h"

namespace {

class Horizontal : public Tsp_Scale {
 public:
  Horizontal() : Tsp_Scale(0) { SetLinePos(0, 0, 500); }
  void SetTicks(int n) { SetTicksCountRaw(n); }
  void SetFormat(const std::string& f, bool dateTime) {
    labelFormat_ = f;
    SetFlag(sfLabelAsDateTime, dateTime);
  }
  void Invert() {
    SetFlag(sfInversed, true);
    CalcMapping();
    CalcTicks();
  }
};

std::vector<double> Ticks(const Tsp_Scale& s) {
  std::vector<double> v;
  for (int i = 0; i < s.TicksCount(); ++i) v.push_back(s.TickValue(i));
  return v;
}

TEST(ScaleRange, EqualValuesAreWidened) {
  Horizontal s;
  s.SetMinMax(5, 5);
  EXPECT_DOUBLE_EQ(s.Min(), 5);
  EXPECT_DOUBLE_EQ(s.Max(), 6);
  s.SetMinMax(100, 100);
  EXPECT_DOUBLE_EQ(s.Min(), 99);
  EXPECT_DOUBLE_EQ(s.Max(), 110);
  s.SetMinMax(0, 0);
  EXPECT_DOUBLE_EQ(s.Min(), 0);
  EXPECT_DOUBLE_EQ(s.Max(), 1);
  s.SetMinMax(7, -3);  // either order
  EXPECT_DOUBLE_EQ(s.Min(), -3);
  EXPECT_DOUBLE_EQ(s.Max(), 7);
}

TEST(ScaleRange, NonFiniteOrOverflowingRangesAreRefused) {
  Horizontal s;
  s.SetMinMax(1, 2);
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  s.SetMinMax(nan, 3);
  s.SetMinMax(0, inf);
  s.SetMinMax(-1.7e308, 1.7e308);  // span overflows
  EXPECT_DOUBLE_EQ(s.Min(), 1);
  EXPECT_DOUBLE_EQ(s.Max(), 2);
  s.ScrollByValue(nan);
  s.ScrollByValue(inf);
  EXPECT_DOUBLE_EQ(s.Min(), 1);
  // Tiny and huge spans still give a bounded tick set.
  s.SetMinMax(1e-300, 2e-300);
  EXPECT_LE(s.TicksCount(), MaxTicks);
  s.SetMinMax(1e20, 1e20 + 1e5);
  EXPECT_LE(s.TicksCount(), MaxTicks);
}

TEST(ScaleTicks, RoundValues) {
  Horizontal s;
  // A span of exactly 10 is scaled by 10: steps of 3.3.
  s.SetTicks(4);
  s.SetMinMax(0, 10);
  auto t = Ticks(s);
  ASSERT_EQ(t.size(), 4u);
  EXPECT_DOUBLE_EQ(t[0], 0);
  EXPECT_DOUBLE_EQ(t[1], 3.3);
  EXPECT_DOUBLE_EQ(t[2], 6.6);
  EXPECT_DOUBLE_EQ(t[3], 9.9);

  s.SetTicks(11);
  s.SetMinMax(0, 300);
  t = Ticks(s);
  ASSERT_EQ(t.size(), 11u);
  for (int i = 0; i < 11; ++i) EXPECT_DOUBLE_EQ(t[i], 30.0 * i);

  // 10 minutes with 5 ticks: every 0.0017 day.
  s.SetTicks(5);
  double start = EncodeDateTime(2026, 12, 8, 10, 0, 0, 0);
  s.SetMinMax(start, start + 1.0 / 144);
  t = Ticks(s);
  ASSERT_GE(t.size(), 4u);
  EXPECT_NEAR(t[1] - t[0], 0.0017, 1e-12);
  EXPECT_GE(t[0], s.Min());
  EXPECT_LE(t.back(), s.Max());

  // More ticks than asked for when the step divides unevenly.
  s.SetTicks(11);
  s.SetMinMax(0.1, 10);  // n = 99 -> step 9, 12 ticks
  EXPECT_EQ(s.TicksCount(), 12);

  s.SetTicks(0);
  EXPECT_EQ(s.TicksCount(), 0);
  EXPECT_EQ(s.Extent(7, 13), 1);  // just the line width
  EXPECT_EQ(s.StartOverhang(7, 13), 0);
}

TEST(ScaleTicks, TheGridAsAPlainFunction) {
  // 0..100 scaled by 10: 1000 units, five ticks 250 units apart.
  TScaleTicks t = CalcScaleTicks(5, true, false, 0, 1000, 10, 7);
  ASSERT_EQ(t.Count, 5);
  EXPECT_EQ(t.Step, 250);
  for (int i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(t.Values[i], 25.0 * i);
  // Inversed: from the top down, same step.
  t = CalcScaleTicks(5, true, true, 0, 1000, 10, 7);
  ASSERT_EQ(t.Count, 5);
  EXPECT_DOUBLE_EQ(t.Values[0], 100);
  EXPECT_DOUBLE_EQ(t.Values[4], 0);
  // One tick on an empty range still has a step (scrolling divides by it).
  t = CalcScaleTicks(1, true, false, 3, 3, 1, 7);
  EXPECT_EQ(t.Count, 1);
  EXPECT_EQ(t.Step, 1);
  // A range narrower than the ticks asked for: steps of one, fewer ticks.
  t = CalcScaleTicks(11, true, false, 0, 4, 1, 7);
  EXPECT_EQ(t.Count, 5);
  EXPECT_EQ(t.Step, 1);
  // An uneven division never gives more than MaxTicks.
  t = CalcScaleTicks(21, true, false, 0, 439, 1, 7);
  EXPECT_EQ(t.Step, 21);
  EXPECT_EQ(t.Count, MaxTicks);
  // Unadjusted: fractions of the length; the step stays as it was.
  t = CalcScaleTicks(3, false, false, 0, 1000, 10, 7);
  ASSERT_EQ(t.Count, 3);
  EXPECT_EQ(t.Step, 7);
  EXPECT_DOUBLE_EQ(t.Values[1], 0.5);
  EXPECT_DOUBLE_EQ(t.Values[2], 1);
  t = CalcScaleTicks(0, true, false, 0, 1000, 10, 7);
  EXPECT_EQ(t.Count, 0);
  EXPECT_EQ(t.Step, 7);
}

TEST(ScaleTicks, InvertedAndEvenlySpaced) {
  Horizontal s;
  s.SetTicks(11);
  s.SetMinMax(0, 300);
  s.Invert();
  EXPECT_DOUBLE_EQ(s.TickValue(0), 300);
  EXPECT_EQ(s.ValueToPixel(300), 0);
  EXPECT_EQ(s.ValueToPixel(0), 500);
}

TEST(ScalePixels, MappingClampsAndRoundsHalfToEven) {
  Horizontal s;
  s.SetMinMax(0, 500);  // one pixel per unit
  EXPECT_EQ(s.ValueToPixel(2.5), 2);
  EXPECT_EQ(s.ValueToPixel(3.5), 4);
  EXPECT_EQ(s.ValueToPixel(1e12), MaxPixelCoord);
  EXPECT_EQ(s.ValueToPixel(-1e12), -MaxPixelCoord);
  EXPECT_EQ(s.ValueToPixel(std::numeric_limits<double>::infinity()), MaxPixelCoord);
  EXPECT_EQ(s.ValueToPixel(std::nan("")), -MaxPixelCoord);
  EXPECT_DOUBLE_EQ(s.PixelToValue(250), 250);

  Tsp_Scale v(sfVertical);
  v.SetLinePos(10, 100, 100);
  v.SetMinMax(0, 10);
  EXPECT_EQ(v.ValueToPixel(0), 100);  // values grow upwards
  EXPECT_EQ(v.ValueToPixel(10), 0);
  // Zero and negative lengths never divide by zero.
  v.SetLinePos(10, 100, 0);
  EXPECT_EQ(v.LineLength(), 1);
  v.SetLinePos(10, 100, -40);
  EXPECT_EQ(v.LineLength(), 40);
}

TEST(ScaleScroll, SmallScrollKeepsLabelsOnTheirValues) {
  Horizontal s;
  s.SetFormat("###0.##", false);
  s.SetTicks(5);
  s.SetMinMax(0, 100);
  std::map<std::string, double> before;
  for (int i = 0; i < s.TicksCount(); ++i) before[s.TickLabel(i)] = s.TickValue(i);
  s.ScrollByValue(7.3);
  EXPECT_DOUBLE_EQ(s.Min(), 7.3);
  EXPECT_DOUBLE_EQ(s.Span(), 100);
  // Every label still visible keeps its text and value; none is off-grid.
  for (int i = 0; i < s.TicksCount(); ++i) {
    double v = s.TickValue(i);
    EXPECT_GE(v, s.Min() - 1e-9);
    EXPECT_LE(v, s.Max() + 1e-9);
    EXPECT_NEAR(std::fmod(v + 1e-9, 25.0), 0, 1e-6) << v;
  }
  EXPECT_EQ(s.TickLabel(0), "25");
  // Many tiny moves (the time axis after each reading) stay on the grid.
  for (int k = 0; k < 1000; ++k) s.ScrollByValue(0.0137);
  for (int i = 0; i < s.TicksCount(); ++i)
    EXPECT_NEAR(std::remainder(s.TickValue(i), 25.0), 0, 1e-6);

  // Scrolling by more than the span starts from the new minimum.
  s.SetMinMax(0, 100);
  s.ScrollByValue(1000.5);
  EXPECT_DOUBLE_EQ(s.Min(), 1000.5);
  EXPECT_NEAR(s.TickValue(0), 1001, 1e-9);  // grid of 24 from 1001

  // Scrolling with no ticks keeps none.
  s.SetTicks(0);
  s.ScrollByValue(3);
  EXPECT_EQ(s.TicksCount(), 0);
  // One tick: the step is never zero.
  s.SetTicks(1);
  s.SetMinMax(0, 10);
  s.ScrollByValue(1);
  for (int i = 0; i < s.TicksCount(); ++i) EXPECT_TRUE(std::isfinite(s.TickValue(i)));
}

TEST(ScaleLabels, NumberFormats) {
  EXPECT_EQ(FormatNumberLabel("###0.##", 0), "0");
  EXPECT_EQ(FormatNumberLabel("###0.##", 30), "30");
  EXPECT_EQ(FormatNumberLabel("###0.##", 2.5), "2.5");
  EXPECT_EQ(FormatNumberLabel("###0.##", -1.234), "-1.23");
  EXPECT_EQ(FormatNumberLabel("###0.##", -0.001), "0");
  EXPECT_EQ(FormatNumberLabel("###0.##", 1234567), "1234567");
  EXPECT_EQ(FormatNumberLabel("0.00", 3), "3.00");
  EXPECT_EQ(FormatNumberLabel("#.##", 0.5), ".5");
  EXPECT_EQ(FormatNumberLabel("000", 7), "007");
  EXPECT_EQ(FormatNumberLabel("###0.##", std::nan("")), "NAN");
  TFormatSettings de = TFormatSettings::GermanLike();
  TFormatSettings old = FormatSettings();
  SetFormatSettings(de);
  EXPECT_EQ(FormatNumberLabel("###0.##", 2.5), "2,5");
  SetFormatSettings(old);
}

TEST(ScaleLabels, DateTimeFormats) {
  Horizontal s;
  s.SetFormat("dd.mm.yy hh.MM.ss", true);
  s.SetTicks(1);
  double t = EncodeDateTime(2026, 12, 8, 10, 44, 7, 0);
  s.SetMinMax(t, t + 1.0 / 86400);
  // The first tick lies on a whole value of the scaled grid; compare its text
  // with a direct formatting of the same value.
  EXPECT_EQ(s.TickLabel(0), FormatDateTime("dd.mm.yy hh.MM.ss", s.TickValue(0)));
  EXPECT_EQ(FormatDateTime("dd.mm.yy hh.MM.ss", t), "08.12.26 10.44.07");
  // 999.6 ms rounds up to the next second.
  double almost = EncodeDateTime(2026, 12, 8, 10, 44, 7, 999) + 0.6 / MSecsPerDay;
  EXPECT_EQ(FormatDateTime("hh.MM.ss", almost), "10.44.08");
}

TEST(ScaleRoom, ExtentAndOverhangs) {
  Horizontal s;
  s.SetFormat("###0.##", false);
  s.SetTicks(5);
  s.SetMinMax(0, 100);  // labels 0 .. 100 at both ends
  const int cw = 6, ch = 12;
  EXPECT_EQ(s.Extent(cw, ch), 1 + ch + 5);
  EXPECT_EQ(s.StartOverhang(cw, ch), (1 * cw) / 2);
  EXPECT_EQ(s.EndOverhang(cw, ch), (3 * cw) / 2);
  Tsp_Scale v(sfVertical);
  v.SetLinePos(50, 200, 200);
  v.SetMinMax(0, 300);
  EXPECT_EQ(v.Extent(cw, ch), 1 + 3 * cw + 5);
  EXPECT_EQ(v.StartOverhang(cw, ch), ch / 2);
}

}  // namespace
