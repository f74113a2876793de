#pragma once
// Small log files for the viewer's tests, written as the program writes them.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace viewertest {

inline void WriteText(const std::string& path, const std::string& text, bool append = false) {
  std::ofstream f(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  f << text;
}

// "dd.mm.yyyy hh:nn:ss,zzz" and cells " %7.2f" with a comma (or "  N/A  ").
inline std::string GermanLine(int day, int h, int m, int s, int ms, const std::vector<double>& v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d.03.2026 %02d:%02d:%02d,%03d ", day, h, m, s, ms);
  std::string line = buf;
  for (double x : v) {
    if (x >= 900) {
      line += "  N/A  ";
      continue;
    }
    std::snprintf(buf, sizeof buf, " %7.2f", x);
    for (char* p = buf; *p; ++p)
      if (*p == '.') *p = ',';
    line += buf;
  }
  return line + "\r\n";
}

}  // namespace viewertest
