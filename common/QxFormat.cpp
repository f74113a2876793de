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
        break;
      default:
        out.append(fmt, i, n);
        break;
    }
    afterHour = isHour;
    i += n;
  }
}

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
    switch (f) {
      case 'd':
        out += "dd";
        break;
      case 'e':
        out += "d";
        break;
      case 'm':
        out += "mm";
        break;
      case 'y':
        out += "yy";
        break;
      case 'Y':
        out += "yyyy";
        break;
      case 'C':
        out += "yy";
        break;
      case 'b':
      case 'h':
        out += "mmm";
        break;
      case 'B':
        out += "mmmm";
        break;
      case 'a':
        out += "ddd";
        break;
      case 'A':
        out += "dddd";
        break;
      case 'H':
      case 'k':
        out += "hh";
        break;
      case 'I':
      case 'l':
        out += "hh";
        break;
      case 'M':
        out += "nn";
        break;
      case 'S':
        out += "ss";
        break;
      case 'p':
      case 'P':
        out += "ampm";
        break;
      case 'T':
        out += "hh:nn:ss";
        if (sepOut && !*sepOut) *sepOut = ':';
        break;
      case 'R':
        out += "hh:nn";
        if (sepOut && !*sepOut) *sepOut = ':';
        break;
      case 'r':
        out += "hh:nn:ss ampm";
        if (sepOut && !*sepOut) *sepOut = ':';
        break;
      case 'D':
        out += "mm/dd/yy";
        if (sepOut && !*sepOut) *sepOut = '/';
        break;
      case 'F':
        out += "yyyy-mm-dd";
        if (sepOut && !*sepOut) *sepOut = '-';
        break;
      case 'n':
      case 't':
        out += ' ';
        break;
      case '%':
        out += '%';
        break;
      default:
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

bool TryStrToInt(const std::string& text, int& value) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  if (b == e) return false;
  bool neg = false;
  if (text[b] == '+' || text[b] == '-') {
    neg = text[b] == '-';
    ++b;
  }
  int base = 10;
  if (b < e && text[b] == '$') {
    base = 16;
    ++b;
  } else if (e - b > 2 && text[b] == '0' && (text[b + 1] == 'x' || text[b + 1] == 'X')) {
    base = 16;
    b += 2;
  }
  if (b == e) return false;
  long long v = 0;
  for (size_t i = b; i < e; ++i) {
    const char c = text[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * base + d;
    if (v > 0x100000000LL) return false;
  }
  if (neg) v = -v;
  if (base == 10 && (v > INT_MAX || v < INT_MIN)) return false;
  if (base == 16) {
    // Hexadecimal text names a bit pattern: $FFFFFFFF is -1.
    if (v > 0xFFFFFFFFLL || v < -0xFFFFFFFFLL) return false;
    v = static_cast<int32_t>(static_cast<uint32_t>(v));
  }
  value = static_cast<int>(v);
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
  // Round to the significant digits first, as the display promises.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", precision - 1, value);
  double rounded = 0;
  {
    std::string s(buf);
    for (char& c : s)
      if (c == ',') c = '.';
    std::from_chars(s.data(), s.data() + s.size(), rounded);
  }
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
