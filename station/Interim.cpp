#include "station/Interim.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/QxDateTime.h"
#include "common/QxFormat.h"

std::string InterimFormatLogLine(double now, const std::vector<double>& temperatures) {
  const TFormatSettings& fs = FormatSettings();
  const TDateTimeParts parts = DecodeDateTime(now);
  char ms[8];
  std::snprintf(ms, sizeof ms, "%03d", parts.MSec);
  std::string line = FormatDateTime(fs.ShortDateFormat, now, fs) + " " +
                     FormatDateTime(fs.LongTimeFormat, now, fs) + fs.DecimalSeparator + ms + " ";
  for (double t : temperatures) {
    if (t >= 900.0)
      line += "  N/A  ";
    else
      line += " " + FormatFixedWidth(t, 7, 2, fs);
  }
  line += "\r\n";
  return line;
}

bool InterimAppendWhole(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (done > 0 && ::ftruncate(fd, st.st_size) != 0) {
      }
      ::close(fd);
      return false;
    }
    done += size_t(n);
  }
  return ::close(fd) == 0;
}

int InterimReconnectDelayMs(int attempt) {
  if (attempt <= 1) return 1000;
  if (attempt >= 6) return 30000;
  return 1000 << (attempt - 1);
}

namespace {
std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}
std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}
}  // namespace

bool TInterimStationIni::Load(const std::string& path, std::string& error) {
  values_.clear();
  std::ifstream f(path, std::ios::binary);
  if (!f) return true;
  std::string line, section;
  int number = 0;
  while (std::getline(f, line)) {
    ++number;
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    const bool bad = t.find('\0') != std::string::npos;
    if (!bad && t.front() == '[' && t.back() == ']') {
      section = Lower(Trim(t.substr(1, t.size() - 2)));
      continue;
    }
    const size_t eq = t.find('=');
    if (bad || eq == std::string::npos || eq == 0) {
      values_.clear();
      error = path + ": line " + std::to_string(number) + " is neither [section] nor key=value";
      return false;
    }
    values_[section + "\n" + Lower(Trim(t.substr(0, eq)))] = Trim(t.substr(eq + 1));
  }
  return true;
}

bool TInterimStationIni::Get(const std::string& section, const std::string& key,
                             std::string& value) const {
  const auto it = values_.find(Lower(section) + "\n" + Lower(key));
  if (it == values_.end()) return false;
  value = it->second;
  return true;
}
