#pragma once
// The log file read back as its lines and the time of day of a line, for the
// tests that check the gaps between logged lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qxtest {

// Every line ends with CR LF; a last line without it fails the calling test.
inline std::vector<std::string> LogLines(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string text = ss.str();
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2)
    out.push_back(text.substr(start, pos - start));
  EXPECT_EQ(start, text.size()) << "a line without its end";
  return out;
}

// The time of a line ("dd.mm.yyyy hh:mm:ss,mmm") as milliseconds of the day.
inline int64_t LineMs(const std::string& line) {
  const int h = std::stoi(line.substr(11, 2)), m = std::stoi(line.substr(14, 2)),
            s = std::stoi(line.substr(17, 2)), ms = std::stoi(line.substr(20, 3));
  return ((h * 60 + m) * 60 + s) * 1000 + ms;
}

}  // namespace qxtest
