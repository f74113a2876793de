// Splitting and counting bus traffic for the tests' assertions.
#include "tests/support/frames.h"

#include <cstdint>
#include <cstdio>

namespace qxtest {

std::vector<std::string> Frames(const std::string& written) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : written) {
    if (c == '\r') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  return out;
}

int CountFrame(const std::string& written, const std::string& frame) {
  int n = 0;
  for (const auto& f : Frames(written)) n += (f == frame);
  return n;
}

std::vector<std::string> SettingFrames(const std::string& written) {
  std::vector<std::string> out;
  for (const auto& f : Frames(written))
    if (f.find(':') != std::string::npos) out.push_back(f);
  return out;
}

int CountText(const std::string& written, const std::string& what) {
  int n = 0;
  for (size_t pos = written.find(what); pos != std::string::npos; pos = written.find(what, pos + 1))
    ++n;
  return n;
}

std::vector<TSimLogFrame> SimLogFrames(const std::string& logText) {
  std::vector<TSimLogFrame> out;
  size_t pos = 0;
  while (pos < logText.size()) {
    size_t e = logText.find('\n', pos);
    if (e == std::string::npos) e = logText.size();
    const std::string l = logText.substr(pos, e - pos);
    pos = e + 1;
    int h, m, s, ms;
    if (l.size() < 28 || std::sscanf(l.c_str() + 11, "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) continue;
    const std::string kind = l.substr(24, 2);
    if (kind != "RX" && kind != "TX") continue;
    out.push_back({((h * 60 + m) * 60 + s) * 1000LL + ms, kind == "RX", l.substr(27)});
  }
  return out;
}

}  // namespace qxtest
