// Scanning a stamp, parsing one line against a format, and recognising the
// date order and decimal separator from a run of lines, two runs combined.
#include "viewer/LogFormat.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/QxDateTime.h"
#include "common/QxFormat.h"

namespace qxview {

namespace {

inline bool IsDigit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

// Up to `max` digits; false when there is none.
inline bool Number(const char*& p, const char* e, int max, int& value, int& digits) {
  value = 0;
  digits = 0;
  while (p < e && IsDigit(*p) && digits < max) {
    value = value * 10 + (*p - '0');
    ++p;
    ++digits;
  }
  return digits > 0 && !(p < e && IsDigit(*p));
}

// A date separator: one punctuation character, optionally followed by a
// blank ("4. 3. 2026" in some regions).
inline bool DateSeparator(const char*& p, const char* e) {
  if (p >= e || IsDigit(*p) || *p == ' ' || static_cast<unsigned char>(*p) < 0x20) return false;
  ++p;
  if (p + 1 < e && *p == ' ' && IsDigit(p[1])) ++p;
  return true;
}

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return days[m - 1];
}

int FullYear(int y, int digits) {
  // Two-digit years: the writer's clock is not older than this program.
  if (digits <= 2) return y + 2000;
  return y;
}

struct TStampParts {
  const char* DateBegin;
  const char* DateEnd;
  int G[3], Digits[3];
  int Hour, Minute, Second, MSec;
  int AmPm;  // 0 none, 1 am, 2 pm
  char Decimal;
  char DateSep;
  const char* Rest;  // first byte after the milliseconds
};

// Date, time, optional am/pm, separator and three digits of milliseconds,
// then a blank or the line end.
bool ScanParts(const char* b, const char* e, TStampParts& s) {
  const char* p = b;
  s.DateBegin = b;
  for (int i = 0; i < 3; ++i) {
    if (!Number(p, e, 4, s.G[i], s.Digits[i])) return false;
    if (i == 0) s.DateSep = p < e ? *p : 0;
    if (i < 2 && !DateSeparator(p, e)) return false;
  }
  if (p < e && *p == '.') ++p;  // "2026. 03. 04." writes a final dot
  s.DateEnd = p;
  if (p >= e || *p != ' ') return false;
  while (p < e && *p == ' ') ++p;
  int d;
  if (!Number(p, e, 2, s.Hour, d)) return false;
  if (p >= e || IsDigit(*p) || *p == ' ') return false;
  const char tsep = *p++;
  if (!Number(p, e, 2, s.Minute, d) || d != 2) return false;
  if (p >= e || *p != tsep) return false;
  ++p;
  if (!Number(p, e, 2, s.Second, d) || d != 2) return false;
  s.AmPm = 0;
  const char* q = p;
  if (q < e && *q == ' ') ++q;
  if (q < e && std::isalpha(static_cast<unsigned char>(*q))) {
    const char first = static_cast<char>(std::tolower(static_cast<unsigned char>(*q)));
    int n = 0;
    // Letters, and dots between them ("p.m."); a dot before a digit is the
    // separator of the milliseconds.
    while (q < e && n < 8 &&
           (std::isalpha(static_cast<unsigned char>(*q)) ||
            (*q == '.' && q + 1 < e && std::isalpha(static_cast<unsigned char>(q[1])))))
      ++q, ++n;
    if (q < e && *q == '.' && q > p && q[-1] != '.' && q + 1 < e &&
        !std::isdigit(static_cast<unsigned char>(q[1])))
      ++q;
    if (first == 'a')
      s.AmPm = 1;
    else if (first == 'p')
      s.AmPm = 2;
    else
      return false;
    p = q;
  }
  if (p >= e || (*p != '.' && *p != ',')) return false;
  s.Decimal = *p++;
  if (!Number(p, e, 3, s.MSec, d) || d != 3) return false;
  if (p < e && *p != ' ') return false;
  s.Rest = p;
  return true;
}

bool HasControlBytes(const char* b, const char* e) {
  for (const char* p = b; p < e; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) return true;
  }
  return false;
}

// The date part of a stamp in the file's order, or leDate. Most lines repeat
// the date of the line before, so its text and value are kept in the cache.
TLineError StampDate(const TStampParts& s, const TLogFormat& f, TDateCache& cache, double& date) {
  const size_t dlen = static_cast<size_t>(s.DateEnd - s.DateBegin);
  if (dlen == cache.Len && dlen <= sizeof cache.Text && dlen > 0 &&
      std::memcmp(cache.Text, s.DateBegin, dlen) == 0) {
    date = cache.Value;
    return leOk;
  }
  int y, m, d, yd;
  switch (f.Order) {
    case doMDY:
      m = s.G[0], d = s.G[1], y = s.G[2], yd = s.Digits[2];
      break;
    case doYMD:
      y = s.G[0], m = s.G[1], d = s.G[2], yd = s.Digits[0];
      break;
    default:
      d = s.G[0], m = s.G[1], y = s.G[2], yd = s.Digits[2];
      break;
  }
  y = FullYear(y, yd);
  if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m) || y < 1900) return leDate;
  date = EncodeDate(y, m, d);
  if (dlen <= sizeof cache.Text) {
    std::memcpy(cache.Text, s.DateBegin, dlen);
    cache.Len = dlen;
    cache.Value = date;
  }
  return leOk;
}

// The time of day added to the date, or leTime; a 12-hour clock needs 1 to 12.
TLineError StampTime(const TStampParts& s, double date, double& time) {
  int hour = s.Hour;
  if (s.AmPm) {
    if (hour < 1 || hour > 12) return leTime;
    hour = hour % 12 + (s.AmPm == 2 ? 12 : 0);
  }
  if (hour > 23 || s.Minute > 59 || s.Second > 59) return leTime;
  time = date + ((hour * 3600 + s.Minute * 60 + s.Second) * 1000.0 + s.MSec) / MSecsPerDay;
  return leOk;
}

// The writer's usual cell: a blank, then seven characters ending in the
// separator and two digits, taken without the general scan. False leaves p
// alone for the general scan.
bool FixedCell(const char*& p, const char* e, char dec, int n, int32_t& value) {
  if (!(e - p >= 8 && p[0] == ' ' && p[5] == dec && IsDigit(p[6]) && IsDigit(p[7]) &&
        IsDigit(p[4]) && (e - p == 8 || p[8] == ' ') && n < MaxColumns))
    return false;
  int k = 1;
  while (k < 4 && p[k] == ' ') ++k;
  const bool neg = k < 4 && p[k] == '-';
  if (neg) ++k;
  int ip = 0;
  for (; k < 5; ++k) {
    if (!IsDigit(p[k])) return false;
    ip = ip * 10 + (p[k] - '0');
  }
  const int v = ip * 100 + (p[6] - '0') * 10 + (p[7] - '0');
  value = neg ? -v : v;
  p += 8;
  return true;
}

// One cell at p (blanks already skipped): N/A or a signed number kept in
// hundredths, the third decimal rounding. Control bytes anywhere in the line
// make a bad cell a binary line rather than a misread one.
TLineError ScanCell(const char*& p, const char* b, const char* e, char dec, int32_t& value) {
  if (*p == 'N') {
    if (e - p >= 3 && p[1] == '/' && p[2] == 'A' && (p + 3 == e || p[3] == ' ')) {
      value = NaCell;
      p += 3;
      return leOk;
    }
    return leCell;
  }
  bool neg = false;
  if (*p == '-') {
    neg = true;
    ++p;
  } else if (*p == '+') {
    ++p;
  }
  int64_t ip = 0;
  int nd = 0;
  while (p < e && IsDigit(*p)) {
    ip = ip * 10 + (*p - '0');
    ++p;
    if (++nd > 10) return leRange;
  }
  int frac = 0, fd = 0, up = 0;
  if (p < e && *p == dec) {
    ++p;
    while (p < e && IsDigit(*p)) {
      if (fd < 2)
        frac = frac * 10 + (*p - '0');
      else if (fd == 2)
        up = *p >= '5';
      ++fd;
      ++p;
    }
  }
  if (nd == 0 && fd == 0) return HasControlBytes(b, e) ? leBinary : leCell;
  if (p < e && *p != ' ') return HasControlBytes(b, e) ? leBinary : leCell;
  if (fd == 1) frac *= 10;
  int64_t v = ip * 100 + frac + up;
  if (neg) v = -v;
  if (v > MaxCell || v < MinCell) return leRange;
  value = static_cast<int32_t>(v);
  return leOk;
}

// The cells after the stamp, up to MaxColumns of them.
TLineError ParseCells(const char* p, const char* b, const char* e, char dec, TParsedLine& out) {
  int n = 0;
  for (;;) {
    int32_t value;
    if (FixedCell(p, e, dec, n, value)) {
      out.Values[n++] = value;
      continue;
    }
    while (p < e && *p == ' ') ++p;
    if (p >= e) break;
    if (n == MaxColumns) return leColumns;
    const TLineError err = ScanCell(p, b, e, dec, value);
    if (err != leOk) return err;
    out.Values[n++] = value;
  }
  if (n == 0) return leNoCells;
  out.Count = n;
  return leOk;
}

}  // namespace

const char* LineErrorText(TLineError e) {
  switch (e) {
    case leOk:
      return "ok";
    case leEmpty:
      return "empty line";
    case leTimestamp:
      return "no date and time at the start of the line";
    case leDate:
      return "impossible date (check the date order)";
    case leTime:
      return "impossible time of day";
    case leCell:
      return "a column is neither a number nor N/A (check the decimal separator)";
    case leRange:
      return "a number too large";
    case leColumns:
      return "more than 32 columns";
    case leNoCells:
      return "a date and time without any value";
    case leTooLong:
      return "line too long (no line end for over 64 KiB)";
    case leBinary:
      return "not text (control characters)";
  }
  return "bad line";
}

bool ScanStamp(const char* b, const char* e, TRawStamp& out) {
  if (e > b && e[-1] == '\r') --e;
  TStampParts s;
  if (!ScanParts(b, e, s)) return false;
  for (int i = 0; i < 3; ++i) {
    out.G[i] = s.G[i];
    out.Digits[i] = s.Digits[i];
  }
  out.Decimal = s.Decimal;
  out.DateSep = s.DateSep;
  return true;
}

TLineError ParseLogLine(const char* b, const char* e, const TLogFormat& f, TDateCache& cache,
                        TParsedLine& out) {
  if (e > b && e[-1] == '\r') --e;
  if (static_cast<size_t>(e - b) > MaxLineBytes) return leTooLong;
  const char* p = b;
  while (p < e && (*p == ' ' || *p == '\t')) ++p;
  if (p == e) return leEmpty;
  TStampParts s;
  if (!ScanParts(b, e, s) || s.Decimal != f.Decimal)
    return HasControlBytes(b, e) ? leBinary : leTimestamp;
  double date;
  if (const TLineError err = StampDate(s, f, cache, date); err != leOk) return err;
  if (const TLineError err = StampTime(s, date, out.Time); err != leOk) return err;
  return ParseCells(s.Rest, b, e, f.Decimal, out);
}

TDateOrder LocaleDateOrder() {
  for (char c : FormatSettings().ShortDateFormat) {
    const char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (l == 'd') return doDMY;
    if (l == 'm') return doMDY;
    if (l == 'y') return doYMD;
  }
  return doDMY;
}

TDetection DetectFormat(const char* data, size_t size, TDateOrder fallback, int maxLines) {
  TDetection r;
  if (fallback == doAuto) fallback = doDMY;
  const char* p = data;
  const char* const end = data + size;
  if (size >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  int commas = 0, points = 0, stamps = 0;
  char sep = 0;
  bool yearFirst = false, dayFirstOk = true, monthFirstOk = true;
  for (int line = 0; line < maxLines && p < end; ++line) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* le = nl ? nl : end;
    TRawStamp s;
    if (static_cast<size_t>(le - p) <= MaxLineBytes && ScanStamp(p, le, s)) {
      ++stamps;
      if (!sep) sep = s.DateSep;
      (s.Decimal == ',' ? commas : points)++;
      if (s.Digits[0] >= 3) yearFirst = true;
      if (!(s.G[0] >= 1 && s.G[0] <= 31 && s.G[1] >= 1 && s.G[1] <= 12)) dayFirstOk = false;
      if (!(s.G[0] >= 1 && s.G[0] <= 12 && s.G[1] >= 1 && s.G[1] <= 31)) monthFirstOk = false;
    }
    if (!nl) break;
    p = nl + 1;
  }
  if (stamps == 0) return r;
  r.Found = true;
  r.Format.Decimal = commas > points ? ',' : '.';
  if (yearFirst) {
    r.Format.Order = doYMD;
    r.OrderCertain = true;
  } else if (dayFirstOk != monthFirstOk) {
    r.Format.Order = dayFirstOk ? doDMY : doMDY;
    r.OrderCertain = true;
  } else if (sep == '.' || r.Format.Decimal == ',') {
    // Dotted dates and decimal commas go with the day first everywhere.
    r.Format.Order = doDMY;
    r.OrderCertain = true;
  } else {
    r.Format.Order = fallback == doYMD ? doDMY : fallback;
  }
  r.DateSep = sep;
  r.Description = DescribeFormat(r.Format);
  if (!r.OrderCertain) r.Description += " (day and month order assumed)";
  return r;
}

TDetection Combine(const TDetection& head, const TDetection& tail) {
  if (!head.Found) return tail;
  if (head.OrderCertain || !tail.Found || !tail.OrderCertain) return head;
  TDetection r = head;
  r.Format.Order = tail.Format.Order;
  r.OrderCertain = true;
  r.Description = DescribeFormat(r.Format);
  return r;
}

TLogFormat Resolve(const TDetection& d, const TFormatChoice& c) {
  TLogFormat f = d.Format;
  if (c.Order != doAuto) f.Order = c.Order;
  if (c.Decimal == '.' || c.Decimal == ',') f.Decimal = c.Decimal;
  return f;
}

std::string DescribeFormat(const TLogFormat& f) {
  std::string s;
  switch (f.Order) {
    case doMDY:
      s = "month/day/year";
      break;
    case doYMD:
      s = "year-month-day";
      break;
    default:
      s = "day.month.year";
      break;
  }
  s += f.Decimal == ',' ? ", decimal comma" : ", decimal point";
  return s;
}

}  // namespace qxview
