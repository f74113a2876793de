// Date-time values, regional formats, the integer and hexadecimal readers,
// the replaceable clock and the channel colours.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/ChannelColors.h"
#include "common/QxClock.h"
#include "common/QxDateTime.h"
#include "common/QxFormat.h"
#include "common/QxNumber.h"

TEST(DateTime, EpochAndKnownDates) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
  EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  const auto p = DecodeDateTime(EncodeDateTime(2026, 12, 8, 14, 3, 7, 123));
  EXPECT_EQ(p.Year, 2026);
  EXPECT_EQ(p.Month, 12);
  EXPECT_EQ(p.Day, 8);
  EXPECT_EQ(p.Hour, 14);
  EXPECT_EQ(p.Minute, 3);
  EXPECT_EQ(p.Second, 7);
  EXPECT_EQ(p.MSec, 123);
}

TEST(DateTime, RoundsToMillisecondAcrossMidnight) {
  const double almost = EncodeDate(2026, 12, 31) + (MSecsPerDay - 0.4) / MSecsPerDay;
  const auto p = DecodeDateTime(almost);
  EXPECT_EQ(p.Year, 2027);
  EXPECT_EQ(p.Month, 1);
  EXPECT_EQ(p.Day, 1);
  EXPECT_EQ(p.Hour, 0);
  EXPECT_EQ(p.MSec, 0);
}

TEST(DateTime, NonFiniteGivesBaseDate) {
  for (double v : {double(NAN), double(INFINITY), -double(INFINITY), 1e300}) {
    const auto p = DecodeDateTime(v);
    EXPECT_EQ(p.Year, 1899);
    EXPECT_EQ(p.Day, 30);
  }
}

TEST(DateTime, SystemNowIsPlausible) {
  const double now = SystemNow();
  EXPECT_GT(now, EncodeDate(2020, 1, 1));
  EXPECT_LT(now, EncodeDate(2200, 1, 1));
}

TEST(Clock, VirtualClockAdvancesOnSleep) {
  TVirtualClock vc(EncodeDate(2026, 1, 1));
  TScopedClock scope(&vc);
  const double t0 = Clock().Now();
  Clock().Sleep(50);
  Clock().Sleep(2);
  EXPECT_EQ(vc.SleepCalls(), 2);
  EXPECT_EQ(vc.SleptMs(), 52);
  EXPECT_EQ(Clock().TickMs(), 52);
  EXPECT_NEAR((Clock().Now() - t0) * MSecsPerDay, 52.0, 1e-3);
}

TEST(FormatDateTime, SpecifiersAndMinuteAfterHour) {
  const auto g = TFormatSettings::GermanLike();
  const double dt = EncodeDateTime(2026, 12, 8, 10, 44, 7, 0);
  EXPECT_EQ(FormatDateTime("dd.mm.yy hh.MM.ss", dt, g), "08.12.26 10.44.07");
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy", dt, g), "08.12.2026");
  EXPECT_EQ(FormatDateTime("hh:nn:ss", dt, g), "10:44:07");
  // m right after a month stays month; after an hour with only non-letters between it is minutes.
  EXPECT_EQ(FormatDateTime("h:m", dt, g), "10:44");
  EXPECT_EQ(FormatDateTime("m/d/yyyy", dt, g), "12.8.2026");  // '/' is the date separator
  EXPECT_EQ(FormatDateTime("hh \"h\" mm", dt, g), "10 h 44");
  EXPECT_EQ(FormatDateTime("hh:nn:ss.zzz", EncodeDateTime(2026, 1, 2, 3, 4, 5, 7), g),
            "03:04:05.007");
}

TEST(FormatDateTime, MillisecondRoundingCarriesIntoSeconds) {
  const auto g = TFormatSettings::GermanLike();
  const double dt = EncodeDateTime(2026, 12, 8, 10, 44, 7, 0) + 999.6 / MSecsPerDay;
  EXPECT_EQ(FormatDateTime("hh.MM.ss", dt, g), "10.44.08");
}

TEST(FormatDateTime, TwelveHourClock) {
  const auto us = TFormatSettings::EnglishUSLike();
  EXPECT_EQ(FormatDateTime(us.LongTimeFormat, EncodeTime(14, 3, 7, 0), us), "02:03:07 PM");
  EXPECT_EQ(FormatDateTime(us.LongTimeFormat, EncodeTime(0, 3, 7, 0), us), "12:03:07 AM");
}

TEST(FormatSettings, StrftimeTranslation) {
  EXPECT_EQ(TFormatSettings::FromStrftime("%d.%m.%Y", false), "dd.mm.yyyy");
  EXPECT_EQ(TFormatSettings::FromStrftime("%m/%d/%y", false), "mm/dd/yy");
  EXPECT_EQ(TFormatSettings::FromStrftime("%H:%M:%S", true), "hh:nn:ss");
  EXPECT_EQ(TFormatSettings::FromStrftime("%I:%M:%S %p", true), "hh:nn:ss ampm");
  EXPECT_EQ(TFormatSettings::FromStrftime("%T", true), "hh:nn:ss");
}

TEST(StrToFloat, LocaleSeparatorOnly) {
  const auto g = TFormatSettings::GermanLike();
  const auto us = TFormatSettings::EnglishUSLike();
  double v = 0;
  EXPECT_TRUE(TryStrToFloat("2,5", v, g));
  EXPECT_EQ(v, 2.5);
  EXPECT_FALSE(TryStrToFloat("2.5", v, g));
  EXPECT_TRUE(TryStrToFloat("2.5", v, us));
  EXPECT_FALSE(TryStrToFloat("0,0", v, us));
  EXPECT_TRUE(TryStrToFloat(" -12,75 ", v, g));
  EXPECT_EQ(v, -12.75);
  EXPECT_TRUE(TryStrToFloat("1e3", v, us));
  EXPECT_EQ(v, 1000.0);
  for (const char* bad : {"", " ", "abc", "1.2.3", "1e", "--1", "1 2", ",", "1e999", "nan"})
    EXPECT_FALSE(TryStrToFloat(bad, v, us)) << bad;
}

TEST(StrToInt, DecimalHexAndOverflow) {
  int v = 0;
  EXPECT_TRUE(TryStrToInt("-505", v));
  EXPECT_EQ(v, -505);
  EXPECT_TRUE(TryStrToInt("$FF", v));
  EXPECT_EQ(v, 255);
  EXPECT_FALSE(TryStrToInt("2147483648", v));
  EXPECT_FALSE(TryStrToInt("12a", v));
  EXPECT_FALSE(TryStrToInt("", v));
  EXPECT_FALSE(TryStrToInt("99999999999999999999999", v));
  // Hexadecimal names a 32-bit pattern, with or without a sign before it.
  EXPECT_TRUE(TryStrToInt(" \t0xFFFFFFFF\t", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(TryStrToInt("-$FFFFFFFF", v));
  EXPECT_EQ(v, 1);
  EXPECT_FALSE(TryStrToInt("$100000000", v));
  EXPECT_TRUE(TryStrToInt("-2147483648", v));
  EXPECT_EQ(v, INT_MIN);
  for (const char* bad : {"+", "-", "$", "0x", "+ 5", "1 2", "--1", "0x-1"})
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
}

TEST(ScanInt, SyntaxDecidesWhatIsANumber) {
  TIntText t;
  TIntSyntax bare;  // a device field: digits of one base and nothing else
  bare.Base = 16;
  EXPECT_TRUE(ScanInt("00c8", bare, t));
  EXPECT_EQ(t.Magnitude, 200u);
  EXPECT_TRUE(ScanInt("FFFFFFFF", bare, t));
  EXPECT_EQ(t.Magnitude, 0xFFFFFFFFu);
  for (const char* bad : {"", " 1", "1 ", "-1", "0x1", "$1", "100000000"})
    EXPECT_FALSE(ScanInt(bad, bare, t)) << bad;

  TIntSyntax lead;  // blanks before only
  lead.Blanks = TIntBlanks::LeadingSpaces;
  EXPECT_TRUE(ScanInt("  12", lead, t));
  EXPECT_FALSE(ScanInt("12 ", lead, t));
  EXPECT_FALSE(ScanInt("\t12", lead, t));

  TIntSyntax wide;  // a digit limit instead of a value limit
  wide.Base = 16;
  wide.MaxDigits = 9;
  wide.MaxMagnitude = UINT64_MAX;
  EXPECT_TRUE(ScanInt("FFFFFFFFF", wide, t));
  EXPECT_EQ(t.Magnitude, 0xFFFFFFFFFull);
  EXPECT_FALSE(ScanInt("0FFFFFFFFF", wide, t));
  // A limit just below the value fails instead of wrapping.
  TIntSyntax small;
  small.MaxMagnitude = 99;
  EXPECT_TRUE(ScanInt("99", small, t));
  EXPECT_FALSE(ScanInt("100", small, t));
}

TEST(HexDigits, LowBitsUpperCase) {
  EXPECT_EQ(Hex2(0xAB), "AB");
  EXPECT_EQ(Hex2(0x1FF), "FF");
  EXPECT_EQ(Hex2(static_cast<unsigned>(static_cast<char>(-1))), "FF");
  EXPECT_EQ(Hex4(0x12345), "2345");
  EXPECT_EQ(Hex4(-1), "FFFF");
}

TEST(FloatFormats, FixedWithPrecisionAndWidth) {
  const auto g = TFormatSettings::GermanLike();
  const auto us = TFormatSettings::EnglishUSLike();
  EXPECT_EQ(FloatToStrFixed(23.456, 6, 2, us), "23.46");
  EXPECT_EQ(FloatToStrFixed(-50.5, 6, 2, g), "-50,50");
  EXPECT_EQ(FloatToStrFixed(300, 6, 2, us), "300.00");
  EXPECT_EQ(FloatToStrFixed(0, 6, 2, us), "0.00");
  EXPECT_EQ(FloatToStrFixed(1e7, 6, 2, us).find('E') != std::string::npos, true);
  EXPECT_EQ(FormatFixedWidth(23.45, 7, 2, g), "  23,45");
  EXPECT_EQ(FormatFixedWidth(-1000.5, 7, 2, us), "-1000.50");
  EXPECT_EQ(FormatFixedWidth(899.99, 7, 2, us), " 899.99");
  EXPECT_EQ(FormatFixedWidth(-1.2, 7, 2, us), "  -1.20");
}

// The significant-digit rounding against printf's, the conversion it
// replaced: the same text for ties, carries into a new digit and values of
// every size.
TEST(FloatFormats, SignificantRoundingMatchesPrintf) {
  const auto us = TFormatSettings::EnglishUSLike();
  auto viaPrintf = [&](double v, int precision, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", precision - 1, v);
    std::string t(buf);
    for (char& c : t)
      if (c == ',') c = '.';
    const double rounded = std::strtod(t.c_str(), nullptr);
    // Whole texts compared: the rounded value formatted the same way.
    return FloatToStrFixed(rounded, 18, digits, us);
  };
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> mant(-10.0, 10.0);
  std::uniform_int_distribution<int> exp10(-8, 8), prec(1, 17), dig(0, 4);
  std::vector<std::tuple<double, int, int>> cases = {
      {1234.565, 6, 2},   {0.125, 2, 3},  {2.5, 1, 0},  {999999.5, 6, 2},
      {-0.0049999, 2, 2}, {99.995, 4, 2}, {1e-7, 6, 2}, {-899.99, 6, 2}};
  for (int i = 0; i < 20000; ++i)
    cases.emplace_back(mant(rng) * std::pow(10.0, exp10(rng)), prec(rng), dig(rng));
  int mismatches = 0;
  for (const auto& [v, p, d] : cases) {
    const std::string got = FloatToStrFixed(v, p, d, us);
    if (got.find('E') != std::string::npos) continue;  // exponent notation: other digits
    if (got != viaPrintf(v, p, d) && ++mismatches <= 5)
      ADD_FAILURE() << v << " precision " << p << " digits " << d << ": " << got << " vs "
                    << viaPrintf(v, p, d);
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(ChannelColors, TableEnds) {
  EXPECT_EQ(ChannelColors[0], 0x000000u);
  EXPECT_EQ(ChannelColors[1], 0xFF0000u);
  EXPECT_EQ(ChannelColors[19], 0x000040u);
  EXPECT_EQ(ChannelColors[31], 0xC0C0C0u);
}
