#pragma once
// What a test bus was sent, split and counted: the frames themselves, the
// ones that set something, and how often a piece of text occurs.
#include <string>
#include <vector>

namespace qxtest {

// Every frame in `written`, its CR removed.
std::vector<std::string> Frames(const std::string& written);
// Frames equal to `frame`.
int CountFrame(const std::string& written, const std::string& frame);
// Frames that set something (":" after the address prefix).
std::vector<std::string> SettingFrames(const std::string& written);
// Occurrences of `what` anywhere, overlapping ones included.
int CountText(const std::string& written, const std::string& what);

// One frame the simulator received or one reply it sent, from its --log.
struct TSimLogFrame {
  int64_t Ms;  // time of day
  bool Rx;
  std::string Text;
};
std::vector<TSimLogFrame> SimLogFrames(const std::string& logText);

}  // namespace qxtest
