// The diagram under the real process locale: the C library's number
// formatting follows LC_NUMERIC, which the application sets from the
// environment, so these tests switch that and not only our format settings.
#include <gtest/gtest.h>

#include <QTest>
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/QxFormat.h"
#include "diagram/oem_diagramm.h"
#include "diagram/plot/sgr_def.h"
#include "diagram/plot/sgr_scale.h"

namespace {

// Switches the whole process to a locale as a start under LANG=name would,
// and back when it goes.
class ProcessLocale {
 public:
  explicit ProcessLocale(const char* name) {
    const char* now = std::setlocale(LC_ALL, nullptr);
    saved_ = now ? now : "C";
    savedFs_ = FormatSettings();
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
    if (ok_) {
      setenv("LC_ALL", name, 1);
      SetFormatSettings(TFormatSettings::FromLocale());
    }
  }
  ~ProcessLocale() {
    unsetenv("LC_ALL");
    std::setlocale(LC_ALL, saved_.c_str());
    SetFormatSettings(savedFs_);
  }
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  TFormatSettings savedFs_;
  bool ok_ = false;
};

struct AxisView {
  std::vector<std::string> labels;
  int fieldLeft = 0;
  char separator = 0;
};

// The temperature axis of a freshly shown diagram window at 0 .. 300.
AxisView TemperatureAxisUnder(const char* locale) {
  AxisView v;
  ProcessLocale pl(locale);
  if (!pl.ok()) {
    ADD_FAILURE() << "locale " << locale
                  << " is not installed (scripts/deps.sh generates it with locale-gen)";
    return v;
  }
  v.separator = FormatSettings().DecimalSeparator;
  TDiagramm diag;
  diag.resize(640, 400);
  diag.show();
  EXPECT_TRUE(QTest::qWaitForWindowExposed(&diag));
  diag.Plot1->LeftAxis().SetMinMax(0, 300);
  // About 14.5 minutes whose first tick lies most of a step inside, so that
  // the time labels hang out little and the temperature labels decide where
  // the field begins.
  diag.Plot1->BottomAxis().SetMinMax(46000.0001, 46000.0102);
  diag.Plot1->ToImage();  // lays the plot out with the labels of this locale
  for (int i = 0; i < diag.Plot1->LeftAxis().TicksCount(); ++i)
    v.labels.push_back(diag.Plot1->LeftAxis().TickLabel(i));
  v.fieldLeft = diag.Plot1->FieldLeft();
  return v;
}

TEST(DiagramProcessLocale, IntegerTicksAndFieldAsUnderEnglish) {
  const AxisView en = TemperatureAxisUnder("en_US.UTF-8");
  const AxisView de = TemperatureAxisUnder("de_DE.UTF-8");
  ASSERT_EQ(de.separator, ',');
  ASSERT_EQ(en.separator, '.');
  std::vector<std::string> expected;
  for (int t = 0; t <= 300; t += 30) expected.push_back(std::to_string(t));
  EXPECT_EQ(en.labels, expected);
  EXPECT_EQ(de.labels, expected);
  EXPECT_EQ(de.fieldLeft, en.fieldLeft);
}

TEST(DiagramProcessLocale, FractionsTakeTheUserSeparator) {
  ProcessLocale pl("de_DE.UTF-8");
  ASSERT_TRUE(pl.ok());
  EXPECT_EQ(FormatNumberLabel("###0.##", 2.5), "2,5");
  EXPECT_EQ(FormatNumberLabel("###0.##", -1.234), "-1,23");
  EXPECT_EQ(FormatNumberLabel("0.00", 300), "300,00");
  EXPECT_EQ(FormatNumberLabel("###0.##", 0), "0");
}

TEST(DiagramProcessLocale, StoredRangeReadsBackUnderAnyLocale) {
  Tsp_Scale a(sfVertical);
  std::vector<std::pair<std::string, std::string>> stored;
  {
    ProcessLocale pl("de_DE.UTF-8");
    ASSERT_TRUE(pl.ok());
    a.SetMinMax(-12.5, 287.25);
    a.WriteTo([&](const std::string& k, const std::string& v) { stored.emplace_back(k, v); });
  }
  auto get = [&](const std::string& k, std::string& v) {
    for (auto& [key, val] : stored)
      if (key == k) {
        v = val;
        return true;
      }
    return false;
  };
  Tsp_Scale b(sfVertical);
  b.ReadFrom(get);
  EXPECT_DOUBLE_EQ(b.Min(), -12.5);
  EXPECT_DOUBLE_EQ(b.Max(), 287.25);
  // A layout stored with a comma by an earlier version reads the same.
  stored = {{"fMin", "-12,5"}, {"fMax", "287,25"}};
  Tsp_Scale c(sfVertical);
  c.ReadFrom(get);
  EXPECT_DOUBLE_EQ(c.Min(), -12.5);
  EXPECT_DOUBLE_EQ(c.Max(), 287.25);
}

}  // namespace
