// All-ones is the driver's "infinite"; the combinations follow the driver's
// reading of the five timeout values.
#include "serial/CPortDeadline.h"

#include <algorithm>

namespace {
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

long long MsSince(TReadDeadline::Clock::time_point from, TReadDeadline::Clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - from).count();
}
}  // namespace

TReadDeadline::TReadDeadline(const TComTimeoutValues& t, int count, Clock::time_point start)
    : atOnce_(t.ReadIntervalTimeout == kInfinite && t.ReadTotalTimeoutMultiplier == 0 &&
              t.ReadTotalTimeoutConstant == 0),
      firstByte_(t.ReadIntervalTimeout == kInfinite && t.ReadTotalTimeoutMultiplier == kInfinite &&
                 t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kInfinite),
      start_(start),
      lastByte_(start) {
  if (firstByte_)
    totalMs_ = t.ReadTotalTimeoutConstant;
  else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)
    totalMs_ =
        static_cast<long long>(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
  if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kInfinite)
    intervalMs_ = static_cast<long long>(t.ReadIntervalTimeout);
}

long long TReadDeadline::WaitMs(Clock::time_point now, bool haveBytes, long long maxWaitMs) const {
  long long wait = maxWaitMs;
  if (totalMs_ >= 0) {
    const long long left = totalMs_ - MsSince(start_, now);
    if (left <= 0) return -1;
    wait = std::min(wait, left);
  }
  if (intervalMs_ >= 0 && haveBytes) {
    const long long left = intervalMs_ - MsSince(lastByte_, now);
    if (left <= 0) return -1;
    wait = std::min(wait, left);
  }
  return wait;
}
