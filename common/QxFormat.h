#pragma once
// The user's regional formats (decimal separator, short date, long time) and
// the number/date-time text conversions that depend on them. The program never
// changes the settings; tests install their own with SetFormatSettings.
#include <string>

// Operator entries are read with TryStrToInt as well as with these.
#include "common/QxNumber.h"

struct TFormatSettings {
  char DecimalSeparator = '.';
  char DateSeparator = '/';
  char TimeSeparator = ':';
  // Date-time patterns in the program's own notation: d dd m mm yy yyyy for
  // the date, h hh n nn s ss z zzz for the time, ampm for a 12-hour clock.
  std::string ShortDateFormat = "mm/dd/yyyy";
  std::string LongTimeFormat = "hh:nn:ss";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";

  // The long time format without its seconds.
  std::string ShortTimeFormat() const;

  bool operator==(const TFormatSettings& o) const {
    return DecimalSeparator == o.DecimalSeparator && DateSeparator == o.DateSeparator &&
           TimeSeparator == o.TimeSeparator && ShortDateFormat == o.ShortDateFormat &&
           LongTimeFormat == o.LongTimeFormat && TimeAMString == o.TimeAMString &&
           TimePMString == o.TimePMString;
  }

  // From the process locale (LC_TIME D_FMT/T_FMT, LC_NUMERIC RADIXCHAR).
  static TFormatSettings FromLocale();
  // Fixed settings for tests: a German-like and a US-like user.
  static TFormatSettings GermanLike();     // ',' dd.mm.yyyy hh:nn:ss
  static TFormatSettings EnglishUSLike();  // '.' mm/dd/yyyy hh:nn:ss
  // Translate a strftime pattern ("%d.%m.%Y", "%H:%M:%S") to our notation.
  static std::string FromStrftime(const std::string& pattern, bool isTime);
};

const TFormatSettings& FormatSettings();
void SetFormatSettings(const TFormatSettings& fs);
// Reload from the process locale (program start).
void LoadFormatSettingsFromLocale();

// Date-time to text. Letters are specifiers regardless of case; other
// characters are copied; text in "..." or '...' is copied verbatim.
//   d/dd day, m/mm month (minutes when it follows an h/hh with only
//   non-letters in between), yy/yyyy year, h/hh hour 0..23, n/nn minute,
//   s/ss second, z/zzz milliseconds, ampm switches h to 12-hour with am/pm.
// The time of day is rounded to the millisecond first.
std::string FormatDateTime(const std::string& fmt, double dt,
                           const TFormatSettings& fs = FormatSettings());

// Text to double with the given decimal separator. Leading and trailing
// blanks are allowed, a sign, digits with at most one separator and an
// optional exponent (e/E with sign). Anything else fails. Non-finite results
// fail too.
bool TryStrToFloat(const std::string& text, double& value,
                   const TFormatSettings& fs = FormatSettings());

// Fixed-point text with the given number of decimals and the separator,
// after rounding to `precision` significant digits (values that need more
// than `precision` integer digits come out in exponent notation, 1.0E+007).
std::string FloatToStrFixed(double value, int precision, int digits,
                            const TFormatSettings& fs = FormatSettings());

// printf-like "%W.Df" with the locale's decimal separator, never cut.
std::string FormatFixedWidth(double value, int width, int decimals,
                             const TFormatSettings& fs = FormatSettings());
