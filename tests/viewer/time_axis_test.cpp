// The viewer's time axis in the user's regional settings: the date order
// and separators and the time format of the settings, injected and taken
// from the real process locale (de_DE and en_US, as a start under LANG
// would give them).
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <clocale>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "diagram/plot/sgr_def.h"
#include "tests/viewer/test_logs.h"
#include "viewer/LogData.h"
#include "viewer/ViewWindow.h"

namespace {

// The process switched to a locale and the settings read from it, and both
// back when it goes.
class ProcessLocale {
 public:
  explicit ProcessLocale(const char* name) {
    const char* now = std::setlocale(LC_ALL, nullptr);
    saved_ = now ? now : "C";
    savedFs_ = FormatSettings();
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
    if (ok_) {
      setenv("LC_ALL", name, 1);
      LoadFormatSettingsFromLocale();
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

// An hour of 14 March 2026 from 10:00, one line a second (a day no date
// order can read otherwise).
std::string HourLog(const QTemporaryDir& dir) {
  std::string text;
  for (int i = 0; i < 3600; ++i)
    text += viewertest::GermanLine(14, 10 + i / 3600, i / 60 % 60, i % 60, 0, {20 + i * 0.01});
  const std::string p = dir.filePath("hour.log").toStdString();
  viewertest::WriteText(p, text);
  return p;
}

struct TAxisShown {
  std::string Format;
  std::vector<std::string> Labels;
};

// The time axis of the viewer with the hour log open, under the settings in
// force when the window is made.
TAxisShown TimeAxisOfHourLog() {
  TAxisShown a;
  QTemporaryDir dir;
  qxview::TViewWindow w;
  w.resize(1000, 600);
  w.show();
  w.OpenFiles({QString::fromStdString(HourLog(dir))});
  if (!w.WaitLoaded(20000)) {
    ADD_FAILURE() << "not loaded";
    return a;
  }
  w.Plot()->ToImage();
  const Tsp_Axis& b = w.Plot()->BottomAxis();
  a.Format = b.LabelFormat();
  for (int i = 0; i < b.TicksCount(); ++i) a.Labels.push_back(b.TickLabel(i));
  return a;
}

void ExpectAllMatch(const TAxisShown& a, const char* pattern) {
  ASSERT_GE(a.Labels.size(), 3u);
  for (const std::string& l : a.Labels)
    EXPECT_TRUE(std::regex_match(l, std::regex(pattern))) << l << " against " << pattern;
}

const double kMoment = EncodeDateTime(2026, 3, 14, 15, 4, 5, 250);

}  // namespace

TEST(ViewerTimeAxis, FormatFollowsTheSettingsAtEverySpan) {
  const TFormatSettings de = TFormatSettings::GermanLike(), us = TFormatSettings::EnglishUSLike();
  TFormatSettings iso;  // year first, with dashes, and a dot in the time
  iso.ShortDateFormat = "yyyy-mm-dd";
  iso.DateSeparator = '-';
  iso.LongTimeFormat = "hh.nn.ss";
  iso.DecimalSeparator = ',';
  struct TCase {
    const TFormatSettings& Fs;
    double Span;
    const char* Shown;
  };
  const TCase cases[] = {
      {de, 7, "14.03.2026 15:04"},         {de, 0.5, "14.03.2026 15:04:05"},
      {de, 1.0 / 1440, "15:04:05,250"},    {us, 7, "03/14/2026 03:04 PM"},
      {us, 0.5, "03/14/2026 03:04:05 PM"}, {us, 1.0 / 1440, "03:04:05 PM.250"},
      {iso, 7, "2026-03-14 15.04"},        {iso, 0.5, "2026-03-14 15.04.05"},
      {iso, 1.0 / 1440, "15.04.05,250"},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(FormatDateTime(qxview::TimeAxisFormat(c.Span, c.Fs), kMoment, c.Fs), c.Shown)
        << c.Span;
}

TEST(ViewerTimeAxis, WindowUsesTheInjectedSettings) {
  const TFormatSettings saved = FormatSettings();
  SetFormatSettings(TFormatSettings::GermanLike());
  const TAxisShown de = TimeAxisOfHourLog();
  SetFormatSettings(TFormatSettings::EnglishUSLike());
  const TAxisShown us = TimeAxisOfHourLog();
  SetFormatSettings(saved);
  EXPECT_EQ(de.Format, "dd.mm.yyyy hh:nn:ss");
  EXPECT_EQ(us.Format, "mm/dd/yyyy hh:nn:ss ampm");
  ExpectAllMatch(de, R"(14\.03\.2026 10:\d\d:\d\d)");
  ExpectAllMatch(us, R"(03/14/2026 10:\d\d:\d\d AM)");
}

TEST(ViewerTimeAxis, WindowFollowsTheRealProcessLocale) {
  TAxisShown de, us;
  {
    ProcessLocale pl("de_DE.UTF-8");
    ASSERT_TRUE(pl.ok()) << "de_DE.UTF-8 is not installed (scripts/deps.sh generates it)";
    de = TimeAxisOfHourLog();
  }
  {
    ProcessLocale pl("en_US.UTF-8");
    ASSERT_TRUE(pl.ok()) << "en_US.UTF-8 is not installed (scripts/deps.sh generates it)";
    us = TimeAxisOfHourLog();
  }
  // Day first with dots and a 24-hour clock; month first with slashes and
  // a 12-hour clock, as the C library's D_FMT and T_FMT give them.
  ExpectAllMatch(de, R"(14\.03\.2026 10:\d\d:\d\d)");
  ExpectAllMatch(us, R"(03/14/2026 10:\d\d:\d\d AM)");
  EXPECT_NE(de.Format, us.Format);
}
