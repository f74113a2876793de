// Regional formats read from the C locale, and the conversions of dates,
// times and decimal numbers that follow them.
#include "common/QxFormat.h"

#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

#include "common/QxDateTime.h"

namespace {
TFormatSettings& Global() {
  static TFormatSettings fs;
  return fs;
}

bool IsLetter(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

void AppendNumber(std::string& out, int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  out += buf;
}

// Length of the run of letter c (case-insensitive) starting at i.
size_t RunLength(const std::string& fmt, size_t i) {
  size_t n = 1;
  while (i + n < fmt.size() && Lower(fmt[i + n]) == Lower(fmt[i])) ++n;
  return n;
}

bool StartsWithNoCase(const std::string& s, size_t i, const char* word) {
  for (size_t k = 0; word[k]; ++k) {
    if (i + k >= s.size() || Lower(s[i + k]) != word[k]) return false;
  }
  return true;
}

const char* const ShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const LongMonths[] = {"January",   "February", "March",    "April",
                                  "May",       "June",     "July",     "August",
                                  "September", "October",  "November", "December"};
const char* const ShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const LongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                "Thursday", "Friday", "Saturday"};

int DayOfWeek(const TDateTimeParts& p) {
  // 1899-12-30 was a Saturday. The decoded fields are always in range, even
  // for values that are not.
  const long long days = static_cast<long long>(EncodeDate(p.Year, p.Month, p.Day));
  return static_cast<int>(((days + 6) % 7 + 7) % 7);
}

bool HasAmPm(const std::string& fmt) {
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] == '"' || fmt[i] == '\'') {
      const char q = fmt[i];
      ++i;
      while (i < fmt.size() && fmt[i] != q) ++i;
      continue;
    }
    if (StartsWithNoCase(fmt, i, "am/pm") || StartsWithNoCase(fmt, i, "a/p") ||
        StartsWithNoCase(fmt, i, "ampm"))
      return true;
  }
  return false;
}

void FormatInto(std::string& out, const std::string& fmt, const TDateTimeParts& p,
                const TFormatSettings& fs, int depth);

// "am/pm", "ampm" or "a/p" at fmt[i] (n becomes its length); other letters
// starting with a are copied.
void AppendAmPm(std::string& out, const std::string& fmt, size_t i, size_t& n,
                const TDateTimeParts& p, const TFormatSettings& fs) {
  if (StartsWithNoCase(fmt, i, "am/pm")) {
    out += p.Hour < 12 ? fs.TimeAMString : fs.TimePMString;
    n = 5;
  } else if (StartsWithNoCase(fmt, i, "ampm")) {
    out += p.Hour < 12 ? fs.TimeAMString : fs.TimePMString;
    n = 4;
  } else if (StartsWithNoCase(fmt, i, "a/p")) {
    out += p.Hour < 12 ? 'a' : 'p';
    n = 3;
  } else {
    out.append(fmt, i, n);
  }
}

// One run of a format letter (n letters at fmt[i]); may widen n when the
// letters belong to a longer token (am/pm). Returns whether it was an hour,
// since "mm" right after one means minutes.
bool FormatField(std::string& out, const std::string& fmt, size_t i, size_t& n, char lc,
                 bool afterHour, bool twelve, const TDateTimeParts& p, const TFormatSettings& fs,
                 int depth) {
  bool isHour = false;
  switch (lc) {
    case 'd':
      if (n == 1)
        AppendNumber(out, p.Day, 1);
      else if (n == 2)
        AppendNumber(out, p.Day, 2);
      else if (n == 3)
        out += ShortDays[DayOfWeek(p)];
      else if (n == 4)
        out += LongDays[DayOfWeek(p)];
      else if (depth < 2)
        FormatInto(out, fs.ShortDateFormat, p, fs, depth + 1);
      break;
    case 'm':
      if (afterHour && n <= 2) {
        AppendNumber(out, p.Minute, static_cast<int>(n));
      } else if (n <= 2) {
        AppendNumber(out, p.Month, static_cast<int>(n));
      } else if (n == 3) {
        out += ShortMonths[p.Month - 1];
      } else {
        out += LongMonths[p.Month - 1];
      }
      break;
    case 'y':
      if (n <= 2)
        AppendNumber(out, p.Year % 100, 2);
      else
        AppendNumber(out, p.Year, 4);
      break;
    case 'h': {
      int h = p.Hour;
      if (twelve) {
        h %= 12;
        if (h == 0) h = 12;
      }
      AppendNumber(out, h, n >= 2 ? 2 : 1);
      isHour = true;
      break;
    }
    case 'n':
      AppendNumber(out, p.Minute, n >= 2 ? 2 : 1);
      break;
    case 's':
      AppendNumber(out, p.Second, n >= 2 ? 2 : 1);
      break;
    case 'z':
      AppendNumber(out, p.MSec, n >= 3 ? 3 : 1);
      break;
    case 't':
      if (depth < 2)
        FormatInto(out, n >= 2 ? fs.LongTimeFormat : fs.ShortTimeFormat(), p, fs, depth + 1);
      break;
    case 'c':
      if (depth < 2) {
        FormatInto(out, fs.ShortDateFormat, p, fs, depth + 1);
        out += ' ';
        FormatInto(out, fs.LongTimeFormat, p, fs, depth + 1);
      }
      n = 1;
      break;
    case 'a':
      AppendAmPm(out, fmt, i, n, p, fs);
      break;
    default:
      out.append(fmt, i, n);
      break;
  }
  return isHour;
}

void FormatInto(std::string& out, const std::string& fmt, const TDateTimeParts& p,
                const TFormatSettings& fs, int depth) {
  const bool twelve = HasAmPm(fmt);
  bool afterHour = false;
  size_t i = 0;
  while (i < fmt.size()) {
    const char c = fmt[i];
    if (c == '"' || c == '\'') {
      size_t j = i + 1;
      while (j < fmt.size() && fmt[j] != c) out += fmt[j++];
      i = j + 1;
      continue;
    }
    if (!IsLetter(c)) {
      if (c == '/')
        out += fs.DateSeparator;
      else if (c == ':')
        out += fs.TimeSeparator;
      else
        out += c;
      ++i;
      continue;
    }
    const char lc = Lower(c);
    size_t n = RunLength(fmt, i);
    afterHour = FormatField(out, fmt, i, n, lc, afterHour, twelve, p, fs, depth);
    i += n;
  }
}

// A strftime conversion and the pattern letters it stands for; conversions
// that spell out a whole date or time also name its separator.
struct TStrftimeField {
  char Conversion;
  const char* Pattern;
  char Separator;
};
const TStrftimeField kStrftimeFields[] = {
    {'d', "dd", 0},         {'e', "d", 0},
    {'m', "mm", 0},         {'y', "yy", 0},
    {'Y', "yyyy", 0},       {'C', "yy", 0},
    {'b', "mmm", 0},        {'h', "mmm", 0},
    {'B', "mmmm", 0},       {'a', "ddd", 0},
    {'A', "dddd", 0},       {'H', "hh", 0},
    {'k', "hh", 0},         {'I', "hh", 0},
    {'l', "hh", 0},         {'M', "nn", 0},
    {'S', "ss", 0},         {'p', "ampm", 0},
    {'P', "ampm", 0},       {'T', "hh:nn:ss", ':'},
    {'R', "hh:nn", ':'},    {'r', "hh:nn:ss ampm", ':'},
    {'D', "mm/dd/yy", '/'}, {'F', "yyyy-mm-dd", '-'},
    {'n', " ", 0},          {'t', " ", 0},
    {'%', "%", 0},
};

std::string ConvertStrftime(const std::string& pat, bool isTime, char* sepOut) {
  std::string out;
  for (size_t i = 0; i < pat.size(); ++i) {
    const char c = pat[i];
    if (c != '%') {
      if (IsLetter(c)) {
        out += '"';
        out += c;
        out += '"';
      } else {
        if (sepOut && *sepOut == 0 && c != ' ') *sepOut = c;
        out += c;
      }
      continue;
    }
    if (++i >= pat.size()) break;
    char f = pat[i];
    // Skip glibc flags and the E/O modifiers.
    while ((f == '-' || f == '_' || f == '0' || f == '^' || f == '#' || f == 'E' || f == 'O') &&
           i + 1 < pat.size())
      f = pat[++i];
    for (const TStrftimeField& field : kStrftimeFields) {
      if (field.Conversion != f) continue;
      out += field.Pattern;
      if (field.Separator && sepOut && !*sepOut) *sepOut = field.Separator;
      break;
    }
  }
  (void)isTime;
  return out;
}
}  // namespace

std::string TFormatSettings::ShortTimeFormat() const {
  // The long time format without its seconds.
  std::string s = LongTimeFormat;
  for (size_t i = 0; i < s.size(); ++i) {
    if (Lower(s[i]) == 's') {
      size_t start = i, end = i;
      while (end < s.size() && Lower(s[end]) == 's') ++end;
      while (start > 0 && !IsLetter(s[start - 1]) && s[start - 1] != ' ') --start;
      s.erase(start, end - start);
      break;
    }
  }
  return s;
}

std::string TFormatSettings::FromStrftime(const std::string& pattern, bool isTime) {
  return ConvertStrftime(pattern, isTime, nullptr);
}

TFormatSettings TFormatSettings::FromLocale() {
  TFormatSettings fs;
  locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return fs;
  const char* radix = nl_langinfo_l(RADIXCHAR, loc);
  if (radix && radix[0] && radix[1] == 0) fs.DecimalSeparator = radix[0];
  char dsep = 0, tsep = 0;
  if (const char* d = nl_langinfo_l(D_FMT, loc); d && *d)
    fs.ShortDateFormat = ConvertStrftime(d, false, &dsep);
  if (const char* t = nl_langinfo_l(T_FMT, loc); t && *t)
    fs.LongTimeFormat = ConvertStrftime(t, true, &tsep);
  if (dsep) fs.DateSeparator = dsep;
  if (tsep) fs.TimeSeparator = tsep;
  if (const char* am = nl_langinfo_l(AM_STR, loc); am && *am) fs.TimeAMString = am;
  if (const char* pm = nl_langinfo_l(PM_STR, loc); pm && *pm) fs.TimePMString = pm;
  freelocale(loc);
  return fs;
}

TFormatSettings TFormatSettings::GermanLike() {
  TFormatSettings fs;
  fs.DecimalSeparator = ',';
  fs.DateSeparator = '.';
  fs.TimeSeparator = ':';
  fs.ShortDateFormat = "dd.mm.yyyy";
  fs.LongTimeFormat = "hh:nn:ss";
  return fs;
}

TFormatSettings TFormatSettings::EnglishUSLike() {
  TFormatSettings fs;
  fs.DecimalSeparator = '.';
  fs.DateSeparator = '/';
  fs.TimeSeparator = ':';
  fs.ShortDateFormat = "mm/dd/yyyy";
  fs.LongTimeFormat = "hh:nn:ss ampm";
  return fs;
}

const TFormatSettings& FormatSettings() {
  return Global();
}

void SetFormatSettings(const TFormatSettings& fs) {
  Global() = fs;
}

void LoadFormatSettingsFromLocale() {
  Global() = TFormatSettings::FromLocale();
}

std::string FormatDateTime(const std::string& fmt, double dt, const TFormatSettings& fs) {
  std::string out;
  const TDateTimeParts p = DecodeDateTime(dt);
  FormatInto(out, fmt, p, fs, 0);
  return out;
}

bool TryStrToFloat(const std::string& text, double& value, const TFormatSettings& fs) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  if (b == e || e - b > 400) return false;
  std::string norm;
  norm.reserve(e - b);
  size_t i = b;
  if (text[i] == '+' || text[i] == '-') {
    if (text[i] == '-') norm += '-';
    ++i;
  }
  int digits = 0;
  bool sep = false;
  for (; i < e; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      norm += c;
      ++digits;
    } else if (c == fs.DecimalSeparator && !sep) {
      norm += '.';
      sep = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i < e && (text[i] == 'e' || text[i] == 'E')) {
    norm += 'e';
    ++i;
    if (i < e && (text[i] == '+' || text[i] == '-')) norm += text[i++];
    int expDigits = 0;
    for (; i < e && text[i] >= '0' && text[i] <= '9'; ++i, ++expDigits) norm += text[i];
    if (expDigits == 0) return false;
  }
  if (i != e) return false;
  double v = 0;
  const char* first = norm.data();
  const char* last = norm.data() + norm.size();
  // from_chars rejects a leading '+' only, which was removed above.
  auto res = std::from_chars(first, last, v);
  if (res.ec != std::errc() || res.ptr != last || !std::isfinite(v)) return false;
  value = v;
  return true;
}

namespace {
std::string ToFixed(double v, int decimals) {
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  if (res.ec != std::errc()) return "";
  return std::string(buf, res.ptr);
}

void SetSeparator(std::string& s, char sep) {
  for (char& c : s)
    if (c == '.') c = sep;
}
}  // namespace

std::string FloatToStrFixed(double value, int precision, int digits, const TFormatSettings& fs) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (precision < 1) precision = 1;
  if (precision > 18) precision = 18;
  if (digits < 0) digits = 0;
  if (digits > 18) digits = 18;
  // Round to the significant digits first, as the display promises:
  // correctly rounded both ways, as printf's "%.*e" would be, without the
  // locale's separator and at a fraction of its cost (every reading).
  char buf[64];
  double rounded = 0;
  const auto sci =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, precision - 1);
  std::from_chars(buf, sci.ptr, rounded);
  const double mag = std::fabs(rounded);
  if (mag != 0 && std::floor(std::log10(mag)) + 1 > precision) {
    // Too many integer digits for the precision: exponent notation.
    const int exp10 = static_cast<int>(std::floor(std::log10(mag)));
    const double mant = rounded / std::pow(10.0, exp10);
    std::string m = ToFixed(mant, precision - 1);
    SetSeparator(m, fs.DecimalSeparator);
    char e[16];
    std::snprintf(e, sizeof e, "E%c%03d", exp10 < 0 ? '-' : '+', std::abs(exp10));
    return m + e;
  }
  std::string s = ToFixed(rounded, digits);
  if (s == "-" + ToFixed(0.0, digits)) s.erase(0, 1);  // no "-0.00"
  SetSeparator(s, fs.DecimalSeparator);
  return s;
}

std::string FormatFixedWidth(double value, int width, int decimals, const TFormatSettings& fs) {
  std::string s;
  if (std::isnan(value))
    s = "nan";
  else if (std::isinf(value))
    s = value > 0 ? "inf" : "-inf";
  else
    s = ToFixed(value, decimals);
  SetSeparator(s, fs.DecimalSeparator);
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<size_t>(width) - s.size(), ' ');
  return s;
}
