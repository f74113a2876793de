// The reading payload as the network thread writes it, without printf: the
// value text must equal the panel's for every value, and the time the
// program's own date-time text with the offset of that very hour.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "publish/PublishSettings.h"

namespace {

std::string Appended(double v) {
  std::string s = "x";  // appends, never replaces
  AppendValueText(s, v);
  return s.substr(1);
}

class ZoneScope {
 public:
  explicit ZoneScope(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneScope() {
    unsetenv("TZ");
    tzset();
  }
};

}  // namespace

TEST(PayloadText, ValueTextEqualsThePanelsForEveryKindOfValue) {
  // Every reading a device can give, in hundredths.
  for (int c = -100000; c <= 100000; ++c) {
    const double v = c / 100.0;
    ASSERT_EQ(Appended(v), ValueText(v)) << v;
  }
  // Where rounding to six digits and then to two decimals differs from
  // rounding once, exact halves, the sign of small negatives, and values
  // that need the exponent.
  for (double v :
       {0.004999995, -0.004999995, 0.125,     0.375,      2.675,     1.005,      1.015,
        -1.005,      99999.95,     99999.995, 99999.9949, 100000.0,  123456.789, 999999.5,
        1e6,         1.5e7,        -2.5e9,    1e-7,       -1e-7,     -0.001,     -0.005,
        0.005,       0.0,          -0.0,      899.995,    12.344999, 12.345001})
    EXPECT_EQ(Appended(v), ValueText(v)) << v;
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> wide(-2e6, 2e6), narrow(-1000, 1000);
  std::uniform_int_distribution<int> exp10(-9, 9);
  for (int i = 0; i < 200000; ++i) {
    const double a = narrow(rng), b = wide(rng), c = narrow(rng) * std::pow(10.0, exp10(rng));
    ASSERT_EQ(Appended(a), ValueText(a)) << a;
    ASSERT_EQ(Appended(b), ValueText(b)) << b;
    ASSERT_EQ(Appended(c), ValueText(c)) << c;
  }
}

TEST(PayloadText, TimeIsTheDateTimeTextWithTheOffsetOfItsOwnHour) {
  ZoneScope berlin("Europe/Berlin");
  // Across two years at random moments: the text is the program's own
  // date-time text, and the offset winter or summer time.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> when(EncodeDateTime(2026, 1, 1, 0, 0, 0, 0),
                                              EncodeDateTime(2028, 1, 1, 0, 0, 0, 0));
  for (int i = 0; i < 20000; ++i) {
    const double t = when(rng);
    const std::string iso = IsoLocalTime(t);
    ASSERT_EQ(iso.size(), 29u) << iso;
    EXPECT_EQ(iso.substr(0, 23), FormatDateTime("yyyy-mm-dd\"T\"hh:nn:ss.zzz", t));
    const std::string offset = iso.substr(23);
    EXPECT_TRUE(offset == "+01:00" || offset == "+02:00") << iso;
  }
  // A reading a fraction of a millisecond before midnight is shown as the
  // next day's first moment, and takes that hour's offset, even right after
  // a reading from the first hour of the day before (same day number, same
  // hour): 29 March 2026 begins in winter time and ends in summer time.
  const double dayOfChange = EncodeDateTime(2026, 3, 29, 0, 0, 0, 0);
  EXPECT_EQ(IsoLocalTime(dayOfChange + 0.5 / 24), "2026-03-29T00:30:00.000+01:00");
  EXPECT_EQ(IsoLocalTime(dayOfChange + 1 - 0.0004 / 86400), "2026-03-30T00:00:00.000+02:00");
  EXPECT_EQ(IsoLocalTime(dayOfChange + 3.5 / 24), "2026-03-29T03:30:00.000+02:00");
}

TEST(PayloadText, AppendedPayloadEqualsTheWholeOneAndKeepsWhatCameBefore) {
  ZoneScope utc("UTC");
  const double t = EncodeDateTime(2026, 12, 9, 14, 5, 30, 250);
  std::string s = "prefix";
  AppendReadingPayload(s, t, 23.456);
  EXPECT_EQ(s,
            "prefix{\"time\":\"2026-12-09T14:05:30.250+00:00\",\"value\":23.46,\"unit\":\"\xc2\xb0"
            "C\"}");
  for (double v : {950.0, 900.0, std::nan(""), HUGE_VAL}) {
    s.clear();
    AppendReadingPayload(s, t, v);
    EXPECT_EQ(s, ReadingPayload(t, v));
    EXPECT_NE(s.find("\"value\":null,"), std::string::npos) << v;
  }
  s.clear();
  AppendReadingPayload(s, t, -HUGE_VAL);
  EXPECT_NE(s.find("\"value\":null,"), std::string::npos);
}
