// The time stamp with its UTC offset, values from hundredths, field quoting,
// and the file written beside its target and renamed only when complete.
#include "viewer/CsvExport.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/QxDateTime.h"

namespace qxview {

namespace {

// The UTC offset of a local time in minutes. Looking it up costs a time
// zone search, so the last hour's answer is kept: it holds for the whole
// hour except at a change of summer time, which happens on the hour.
int OffsetMinutes(const TDateTimeParts& p) {
  static thread_local long long lastKey = -1;
  static thread_local int lastOffset = 0;
  const long long key = ((p.Year * 13LL + p.Month) * 32 + p.Day) * 24 + p.Hour;
  if (key == lastKey) return lastOffset;
  struct tm tm {};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = 30;
  tm.tm_isdst = -1;
  int off = 0;
  if (mktime(&tm) != static_cast<time_t>(-1)) off = static_cast<int>(tm.tm_gmtoff / 60);
  lastKey = key;
  lastOffset = off;
  return off;
}

}  // namespace

std::string IsoStamp(double t) {
  const TDateTimeParts p = DecodeDateTime(t);
  const int off = OffsetMinutes(p);
  const int a = std::abs(off);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", p.Year, p.Month,
                p.Day, p.Hour, p.Minute, p.Second, p.MSec, off < 0 ? '-' : '+', a / 60, a % 60);
  return buf;
}

void AppendCenti(std::string& out, int32_t v) {
  int64_t x = v;
  if (x < 0) {
    out += '-';
    x = -x;
  }
  char buf[24];
  int n = 0;
  int64_t ip = x / 100;
  const int frac = static_cast<int>(x % 100);
  do {
    buf[n++] = static_cast<char>('0' + ip % 10);
    ip /= 10;
  } while (ip);
  while (n) out += buf[--n];
  out += '.';
  out += static_cast<char>('0' + frac / 10);
  out += static_cast<char>('0' + frac % 10);
}

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  q += '"';
  return q;
}

bool WriteCsv(const TLogData& data, const std::string& path, const TCsvOptions& o,
              std::string& error, int64_t* rowsOut) {
  const std::string tmp = path + ".part";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    error = "Could not access File : " + path + "\n" + std::strerror(errno);
    return false;
  }
  std::string line = "Time";
  for (size_t i = 0; i < o.Columns.size(); ++i) {
    line += ',';
    line +=
        CsvField(i < o.Names.size() ? o.Names[i] : "Column " + std::to_string(o.Columns[i] + 1));
  }
  line += "\r\n";
  bool ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  int64_t rows = 0;
  std::string out;
  out.reserve(1 << 20);
  for (const TSegment& s : data.Segments()) {
    if (!ok) break;
    if (!o.All && (s.TMax < o.T0 || s.TMin > o.T1)) continue;
    for (const auto& cp : s.Chunks) {
      const TChunk& c = *cp;
      const std::vector<double>& ts = c.Times();
      for (int64_t r = 0; r < c.Rows(); ++r) {
        const double t = ts[r];
        if (!o.All && (t < o.T0 || t > o.T1)) continue;
        out += IsoStamp(t);
        for (int col : o.Columns) {
          out += ',';
          if (col < c.Columns()) {
            const int32_t v = c.Value(col, r);
            if (v != NaCell) AppendCenti(out, v);
          }
        }
        out += "\r\n";
        ++rows;
        if (out.size() > (1 << 20) - 4096) {
          ok = ok && std::fwrite(out.data(), 1, out.size(), f) == out.size();
          out.clear();
        }
      }
    }
  }
  if (ok && !out.empty()) ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  if (std::fflush(f) != 0) ok = false;
  if (std::fclose(f) != 0) ok = false;
  if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    error = "Could not access File : " + path + "\n" + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  if (rowsOut) *rowsOut = rows;
  return true;
}

}  // namespace qxview
